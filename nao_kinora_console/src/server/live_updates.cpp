// The console's live updates: the node's status and joint rows as they come,
// and the event stream that carries them to each open page.
#include "nao_kinora_console/server/console_server.h"
#include "nao_kinora_console/http/json_text.h"
#include "nao_kinora_console/clinic/clinic_follower.h"
#include "nao_kinora_console/server/console_gate.h"

#include "nao_kinora_console/session/status_view.h"

#include <nao_kinora/joint_message.h>

#include <algorithm>
#include <cmath>
#include <sstream>

namespace nao_kinora_console
{
namespace
{
// The pose at most 25 times a second; the status at least once a second, so
// a page sees a lost connection soon and a wait's seconds go on.
const std::chrono::milliseconds kPoseEvery(40);
const std::chrono::milliseconds kStatusEvery(1000);
// A page that takes nothing in for this long (a tablet asleep) gives its place up.
const std::chrono::seconds kWriteTime(10);
// Each open page holds one event stream; a ninth is refused, and one account
// holds at most half of them (the admin's page, another therapist's, keep theirs).
const std::size_t kMaxStreams = 8;
const std::size_t kMaxStreamsPerAccount = kMaxStreams / 2;

// The answer's head, sent once; the events follow as its chunks.
std::string eventStreamHead()
{
  http::response<http::empty_body> head{http::status::ok, 11};
  head.set(http::field::content_type, "text/event-stream");
  head.set(http::field::cache_control, "no-store");
  head.set("X-Content-Type-Options", "nosniff");
  head.set("X-Frame-Options", "DENY");
  head.set("Referrer-Policy", "no-referrer");
  head.chunked(true);
  std::ostringstream text;
  text << head.base();
  return text.str();
}

std::string chunk(const std::string& data)
{
  std::ostringstream text;
  text << std::hex << data.size() << "\r\n" << data << "\r\n";
  return text.str();
}
}  // namespace

struct Console::Stream
{
  Stream(std::unique_ptr<OpenStream> open, std::shared_ptr<void> place)
      : connection(std::move(open)), timer(connection->executor()), place(std::move(place))
  {
  }
  std::unique_ptr<OpenStream> connection;  // plain or TLS
  net::steady_timer timer;                 // until the next status or pose is due
  std::shared_ptr<void> place;
  bool waiting = false;  // on the timer
  bool writing = false;
  bool closed = false;
  std::string out;  // being written
  char in[256];     // what the page sends, read only to see it go
  bool statusOnce = false;
  unsigned long statusSent = 0;
  unsigned long poseSent = 0;
  unsigned long clinicSent = 0;
  std::chrono::steady_clock::time_point lastStatus;
  std::chrono::steady_clock::time_point lastPose;
  std::string login;                 // the login's secret hash: "" without accounts
  int64_t account = 0;               // its account
  LoginEnd ended = LoginEnd::kNone;  // its login is over: said, then closed
};

void Console::statusHandle(const nao_kinora_msgs::SessionStatus::ConstPtr& status)
{
  {
    std::lock_guard<std::mutex> lock(mutex_);
    status_ = *status;
    haveStatus_ = true;
    ++statusCount_;
    statusAt_ = std::chrono::steady_clock::now();
    statusRosAt_ = ros::Time::now();
  }
  wakeStreams();
}

void Console::rowHandle(const std_msgs::Float32MultiArray::ConstPtr& row)
{
  nao_kinora::JointRow decoded;
  const std::string fault = nao_kinora::decodeJointMessage(row->data, decoded);
  if (!fault.empty())
  {
    ROS_WARN_THROTTLE(10, "joint row not shown: %s", fault.c_str());
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    pose_.assign(decoded.begin(), decoded.begin() + nao_kinora::kJointCount);
    ++poseCount_;
  }
  wakeStreams();
}

nlohmann::json Console::view()
{
  StatusContext context;
  nao_kinora_msgs::SessionStatus status;
  double silent = 0;
  nlohmann::json pending = nlohmann::json::array();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    status = status_;
    context.haveStatus = haveStatus_;
    silent = std::chrono::duration<double>(std::chrono::steady_clock::now() - statusAt_).count();
    // A simulated clock held still holds the program still too: not silence.
    if (ros::Time::isSimTime())
      silent = std::min(silent, (ros::Time::now() - statusRosAt_).toSec());
    for (const PendingControl& p : pending_)
      pending.push_back({{"control", p.control}, {"who", p.who}, {"asked", p.asked}});
  }
  context.coachRunning = statusSub_.getNumPublishers() > 0;
  context.consoleOnJointRows = rowSub_.getNumPublishers() > 0;
  const ros::Time now = ros::Time::now();
  if (context.haveStatus && !status.stamp.isZero() && now > status.stamp)
    context.age = (now - status.stamp).toSec();
  nlohmann::json v = statusView(status, context);
  // The database lost: the session goes on, and what it plays is stored once
  // the database is back.
  v["records_saved"] = !follower_ || follower_->lastError().empty();
  // Wall seconds since the coaching program last said where it stands: it
  // says so at least once a second, so a few seconds mean it is frozen or gone.
  v["silent_seconds"] = context.haveStatus ? nlohmann::json(std::round(silent * 10) / 10) : nlohmann::json();
  // Controls sent that the program has not confirmed yet.
  v["pending"] = pending;
  return v;
}

void Console::serveEvents(const std::shared_ptr<HttpSession>& session, const Visitor& by)
{
  std::size_t open = 0, mine = 0;
  for (const auto& weak : streams_)
  {
    const auto stream = weak.lock();
    open += stream && !stream->closed;
    mine += stream && !stream->closed && by.account.id != 0 && stream->account == by.account.id;
  }
  if (open >= kMaxStreams || mine >= kMaxStreamsPerAccount)
  {
    Response answer{http::status::service_unavailable, 11};
    answer.body() = open >= kMaxStreams ? "Too many pages are open on this console.\n"
                                        : "Too many pages of this account are open: close one of them.\n";
    session->reply(std::move(answer));
    return;
  }
  streams_.erase(std::remove_if(streams_.begin(), streams_.end(),
                                [](const std::weak_ptr<Stream>& weak) { return weak.expired(); }),
                 streams_.end());
  auto stream = std::make_shared<Stream>(session->takeStream(), session->place());
  stream->login = by.hash;
  stream->account = by.account.id;
  streams_.push_back(stream);
  // EventSource tries again after this many milliseconds when the console goes away.
  stream->out = eventStreamHead() + chunk("retry: 1000\n\n");
  listen(stream);
  pump(stream);
}

// The page sends nothing more: a read ends when it goes.
void Console::listen(const std::shared_ptr<Stream>& stream)
{
  stream->connection->read(net::buffer(stream->in),
                           [this, stream](beast::error_code error)
                           {
                             if (error)
                               closeStream(stream);
                             else
                               listen(stream);
                           });
}

void Console::closeStream(const std::shared_ptr<Stream>& stream)
{
  stream->closed = true;
  stream->timer.cancel();
  stream->connection->close();
}

void Console::wakeStreams()
{
  if (wakePending_.exchange(true))
    return;
  net::post(io_,
            [this]
            {
              wakePending_ = false;
              for (const auto& weak : streams_)
              {
                const auto stream = weak.lock();
                if (stream && stream->waiting)
                  stream->timer.cancel();
              }
            });
}

// The pages of logins that are over are told why, then their streams close.
void Console::loginsEnded(const std::vector<std::string>& hashes, LoginEnd why)
{
  net::post(io_,
            [this, hashes, why]
            {
              for (const auto& weak : streams_)
              {
                const auto stream = weak.lock();
                if (!stream || stream->closed || stream->login.empty() ||
                    std::find(hashes.begin(), hashes.end(), stream->login) == hashes.end())
                  continue;
                stream->ended = why;
                if (stream->waiting)
                  stream->timer.cancel();
              }
            });
}

// Writes what has changed for one page: the status when it changed or a
// second went by, the pose when it changed and 40 ms went by; else waits on
// the timer for the first of these, or a wake.
void Console::pump(const std::shared_ptr<Stream>& stream)
{
  using Clock = std::chrono::steady_clock;
  if (stream->closed || stream->writing || stream->waiting)
    return;
  if (stream->ended != LoginEnd::kNone)
  {
    stream->out +=
        chunk("event: login\ndata: " + jsonText({{"ended", loginEndName(stream->ended)}}) + "\n\n") + "0\r\n\r\n";
    stream->writing = true;
    stream->connection->write(net::buffer(stream->out), kWriteTime,
                              [this, stream](beast::error_code)
                              {
                                stream->writing = false;
                                closeStream(stream);
                              });
    return;
  }
  bool sendStatus = false;
  std::string clinic;  // the clinic's last change, when the page has not had it
  std::vector<double> pose;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const Clock::time_point now = Clock::now();
    sendStatus = !stream->statusOnce || statusCount_ != stream->statusSent || now - stream->lastStatus >= kStatusEvery;
    if (poseCount_ != stream->poseSent && now - stream->lastPose >= kPoseEvery)
    {
      pose = pose_;
      stream->poseSent = poseCount_;
      stream->lastPose = now;
    }
    if (clinicCount_ != stream->clinicSent)
    {
      clinic = jsonText({{"count", clinicCount_}, {"what", clinicWhat_}});
      stream->clinicSent = clinicCount_;
    }
    if (sendStatus)
    {
      stream->statusOnce = true;
      stream->statusSent = statusCount_;
      stream->lastStatus = now;
    }
    else if (pose.empty() && clinic.empty())
    {
      Clock::time_point until = stream->lastStatus + kStatusEvery;
      if (poseCount_ != stream->poseSent)
        until = std::min(until, stream->lastPose + kPoseEvery);
      stream->waiting = true;
      stream->timer.expires_at(until);
      stream->timer.async_wait(
          [this, stream](beast::error_code)
          {
            stream->waiting = false;
            pump(stream);
          });
      return;
    }
  }
  std::string events;
  if (sendStatus)
    events += "event: status\ndata: " + jsonText(view()) + "\n\n";
  if (!clinic.empty())
    events += "event: clinic\ndata: " + clinic + "\n\n";
  if (!pose.empty())
    events += "event: pose\ndata: " + jsonText(nlohmann::json(pose)) + "\n\n";
  stream->out += chunk(events);
  stream->writing = true;
  stream->connection->write(net::buffer(stream->out), kWriteTime,
                            [this, stream](beast::error_code error)
                            {
                              stream->writing = false;
                              stream->out.clear();
                              if (error)
                                closeStream(stream);
                              else
                                pump(stream);
                            });
}
}  // namespace nao_kinora_console
