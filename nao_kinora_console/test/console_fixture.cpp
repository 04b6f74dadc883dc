#include "console_fixture.h"

#include <std_msgs/Float32MultiArray.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace console_test
{
namespace
{
const double kStartSeconds = 15.0;  // wall time for the console to print its address
}

bool waitWall(const std::function<bool()>& cond, double seconds)
{
  const ros::WallTime end = ros::WallTime::now() + ros::WallDuration(seconds);
  while (!cond() && ros::WallTime::now() < end)
    ros::WallDuration(0.005).sleep();
  return cond();
}

std::unique_ptr<kinora_test::Process> startConsole(const std::vector<std::string>& params)
{
  std::vector<std::string> argv{CONSOLE_PROGRAM};
  argv.insert(argv.end(), params.begin(), params.end());
  // The console finds its page through the package path, as rosrun would set it.
  return std::unique_ptr<kinora_test::Process>(
      new kinora_test::Process(argv, {std::string("ROS_PACKAGE_PATH=") + CONSOLE_PACKAGE_PARENT}));
}

Console::Console(const std::vector<std::string>& params)
{
  std::vector<std::string> all{"_port:=0"};
  all.insert(all.end(), params.begin(), params.end());
  process = startConsole(all);
  // "console: http://HOST:PORT/..." or https://, whatever address it was
  // bound to; under TLS, then "certificate: SHA-256 AB:...".
  const std::string prefix = "console: ";
  const std::string named = "certificate: SHA-256 ";
  const auto printed = [&]
  {
    const std::string out = process->out();
    const std::size_t at = out.find(prefix);
    if (at == std::string::npos || out.find('\n', at) == std::string::npos)
      return false;
    const bool secure = out.compare(at + prefix.size(), 8, "https://") == 0;
    const std::size_t fingerprintAt = out.find(named);
    return !secure || (fingerprintAt != std::string::npos && out.find('\n', fingerprintAt) != std::string::npos);
  };
  waitWall([&] { return printed() || !process->running(); }, kStartSeconds);
  if (!printed())
  {
    ADD_FAILURE() << "the console printed no address; stdout:\n" << process->out() << "\nstderr:\n" << process->err();
    return;
  }
  const std::string out = process->out();
  const std::size_t at = out.find(prefix) + prefix.size();
  tls = out.compare(at, 8, "https://") == 0;
  const std::size_t hostAt = out.find("://", at) + 3;
  const std::size_t slash = out.find('/', hostAt);
  const std::size_t colon = out.rfind(':', slash);
  port = std::atoi(out.c_str() + colon + 1);
  const std::string printedHost = out.substr(hostAt, colon - hostAt);
  if (printedHost != "0.0.0.0" && printedHost != "[::]")
    host = printedHost;
  if (tls)
  {
    const std::size_t from = out.find(named) + named.size();
    fingerprint = out.substr(from, out.find('\n', from) - from);
  }
}

std::string Reply::header(const std::string& name) const
{
  const auto it = headers.find(name);
  return it == headers.end() ? "" : it->second;
}

Reply request(int port, const std::string& method, const std::string& target, const httplib::Headers& headers,
              const std::string& body)
{
  return request(Endpoint{"127.0.0.1", port, false}, method, target, headers, body);
}

namespace
{
std::string urlOf(const Endpoint& at)
{
  return (at.tls ? "https://" : "http://") + at.host + ":" + std::to_string(at.port);
}
}  // namespace

Reply request(const Endpoint& at, const std::string& method, const std::string& target, const httplib::Headers& headers,
              const std::string& body)
{
  httplib::Client client(urlOf(at));
  client.enable_server_certificate_verification(false);
  client.set_connection_timeout(5);
  client.set_read_timeout(10);
  const ros::WallTime start = ros::WallTime::now();
  const std::string type = "application/json";
  httplib::Result result = method == "GET"      ? client.Get(target.c_str(), headers)
                           : method == "POST"   ? client.Post(target.c_str(), headers, body, type.c_str())
                           : method == "PUT"    ? client.Put(target.c_str(), headers, body, type.c_str())
                           : method == "DELETE" ? client.Delete(target.c_str(), headers)
                                                : client.Options(target.c_str(), headers);
  Reply reply;
  reply.seconds = (ros::WallTime::now() - start).toSec();
  if (result)
  {
    reply.status = result->status;
    reply.body = result->body;
    reply.headers = result->headers;
  }
  return reply;
}

int rawStatus(int port, const std::string& bytes)
{
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval timeout{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  int status = 0;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size()))
  {
    std::string answer;
    char buffer[512];
    ssize_t n;
    while (answer.find("\r\n") == std::string::npos && (n = recv(fd, buffer, sizeof buffer, 0)) > 0)
      answer.append(buffer, n);
    if (answer.compare(0, 9, "HTTP/1.1 ") == 0)
      status = std::atoi(answer.c_str() + 9);
  }
  close(fd);
  return status;
}

EventStream::EventStream(int port, const std::string& target) : EventStream(Endpoint{"127.0.0.1", port, false}, target)
{
}

EventStream::EventStream(const Endpoint& at, const std::string& target, const httplib::Headers& headers)
    : client_(urlOf(at)), opened_(ros::WallTime::now())
{
  client_.enable_server_certificate_verification(false);
  client_.set_read_timeout(30);
  reader_ = std::thread(
      [this, target, headers]
      {
        auto result = client_.Get(
            target.c_str(), headers,
            [this](const httplib::Response& response)
            {
              status_ = response.status;
              return true;
            },
            [this](const char* data, std::size_t length)
            {
              feed(data, length);
              return !stop_;
            });
        if (result && status_ == 0)
          status_ = result->status;
      });
}

EventStream::~EventStream()
{
  stop_ = true;
  client_.stop();
  reader_.join();
}

double EventStream::now() const
{
  return (ros::WallTime::now() - opened_).toSec();
}

void EventStream::feed(const char* data, std::size_t length)
{
  const double at = now();
  std::lock_guard<std::mutex> lock(mutex_);
  pending_.append(data, length);
  std::size_t end;
  while ((end = pending_.find("\n\n")) != std::string::npos)
  {
    Event event{"message", "", at};
    std::istringstream lines(pending_.substr(0, end));
    pending_.erase(0, end + 2);
    std::string line;
    bool any = false;
    while (std::getline(lines, line))
      if (line.compare(0, 7, "event: ") == 0)
        event.type = line.substr(7);
      else if (line.compare(0, 6, "data: ") == 0)
      {
        event.data += line.substr(6);
        any = true;
      }
    if (any)
      events_.push_back(event);
  }
}

std::vector<EventStream::Event> EventStream::events() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return events_;
}

int EventStream::waitFor(const std::function<bool(const Event&)>& cond, double seconds, std::size_t from) const
{
  int found = -1;
  waitWall(
      [&]
      {
        const std::vector<Event> all = events();
        for (std::size_t k = from; k < all.size(); ++k)
          if (cond(all[k]))
          {
            found = static_cast<int>(k);
            return true;
          }
        return false;
      },
      seconds);
  return found;
}

FakeCoach::FakeCoach()
{
  nh_.setCallbackQueue(&queue_);
  pauseSrv_ = nh_.advertiseService("/nao_kinora/pause_playback", &FakeCoach::pause, this);
  skipSrv_ = nh_.advertiseService<std_srvs::Trigger::Request, std_srvs::Trigger::Response>(
      "/nao_kinora/skip_exercise",
      [this](std_srvs::Trigger::Request&, std_srvs::Trigger::Response& response) { return trigger("skip", response); });
  endSrv_ = nh_.advertiseService<std_srvs::Trigger::Request, std_srvs::Trigger::Response>(
      "/nao_kinora/end_session",
      [this](std_srvs::Trigger::Request&, std_srvs::Trigger::Response& response) { return trigger("end", response); });
  speedSrv_ = nh_.advertiseService<nao_kinora_msgs::SetSpeed::Request, nao_kinora_msgs::SetSpeed::Response>(
      "/nao_kinora/set_speed",
      [this](nao_kinora_msgs::SetSpeed::Request& request, nao_kinora_msgs::SetSpeed::Response& response)
      {
        std_srvs::Trigger::Response answered;
        trigger("speed " + std::to_string(request.speed).substr(0, 4), answered);
        response.success = answered.success;
        response.message = answered.message;
        return true;
      });
  statusPub_ = nh_.advertise<nao_kinora_msgs::SessionStatus>("/nao_kinora/status", 1, true);
  rowPub_ = nh_.advertise<std_msgs::Float32MultiArray>("/jointAngleArray", 100);
  // Two threads: a control that hangs does not hold up the others.
  spinner_.reset(new ros::AsyncSpinner(2, &queue_));
  spinner_->start();
}

FakeCoach::~FakeCoach()
{
  spinner_->stop();
}

void FakeCoach::answer(const Answer& a)
{
  std::lock_guard<std::mutex> lock(mutex_);
  answer_ = a;
}

std::vector<std::string> FakeCoach::calls() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return calls_;
}

void FakeCoach::publish(const nao_kinora_msgs::SessionStatus& status)
{
  statusPub_.publish(status);
}

void FakeCoach::wait(const Answer& a)
{
  if (a.delay > 0)
    ros::WallDuration(a.delay).sleep();
}

bool FakeCoach::pause(std_srvs::SetBool::Request& request, std_srvs::SetBool::Response& response)
{
  Answer a;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(request.data ? "pause" : "resume");
    a = answer_;
  }
  wait(a);
  response.success = a.success;
  response.message = a.message;
  return true;
}

bool FakeCoach::trigger(const std::string& name, std_srvs::Trigger::Response& response)
{
  Answer a;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(name);
    a = answer_;
  }
  wait(a);
  response.success = a.success;
  response.message = a.message;
  return true;
}

nao_kinora_msgs::SessionStatus playingStatus()
{
  nao_kinora_msgs::SessionStatus status;
  status.stamp = ros::Time(100, 0);
  status.phase = nao_kinora_msgs::SessionStatus::PHASE_PLAYING;
  status.recording = 3;
  status.recordings = 9;
  status.file = "03_arms_to_the_side.txt";
  status.row = 431;
  status.rows = 960;
  status.played = 18.2;
  status.total = 40.36;
  status.session_elapsed = 120.5;
  status.session_remaining = 210.0;
  status.last_cue = "kollaryana.wav";
  for (const char* file :
       {"01_hands_on_waist_left.txt", "02_hands_on_waist_right.txt", "03_arms_to_the_side.txt", "04_seated_elbows.txt",
        "05_nao_sits.txt", "06_right_knee.txt", "07_left_knee.txt", "08_right_wrist.txt", "09_left_wrist.txt"})
  {
    nao_kinora_msgs::RecordingStatus recording;
    recording.file = file;
    recording.rows = 900;
    recording.playing_time = 37.96;
    status.session.push_back(recording);
  }
  status.session[0].reported = true;
  status.session[0].moving_joints = {11, 15, 17, 21};
  status.session[1].reported = true;
  status.session[1].moving_joints = {11, 15, 17, 21};
  status.talkerfilename_subscribers = 1;
  status.joint_angle_array_subscribers = 2;
  status.motion_start_stop_subscribers = 2;
  return status;
}
}  // namespace console_test
