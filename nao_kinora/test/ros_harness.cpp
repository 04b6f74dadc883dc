#include "ros_harness.h"

#include <rosgraph_msgs/Clock.h>
#include <std_msgs/Float32MultiArray.h>
#include <std_msgs/Int32.h>
#include <std_msgs/Int32MultiArray.h>
#include <std_msgs/String.h>
#include <ros/network.h>
#include <xmlrpcpp/XmlRpcClient.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace kinora_test
{
namespace
{
const double kMasterStartSeconds = 10.0;
const double kMasterStopSeconds = 5.0;
const int kMasterAttempts = 3;  // another process may take the free port before the master binds it
const ros::WallDuration kPoll(0.001);
const ros::WallDuration kMasterPoll(0.01);
const ros::WallDuration kBusyPoll(0.0003);  // how often a tick looks at the threads
// A node under sim time polls the clock about once a millisecond; the first run
// of its main thread after a tick may come before the clock has reached it.
const long kRunsToSeeATick = 2;
const ros::WallDuration kMainThreadWait(0.005);  // for a main thread blocked elsewhere than a clock poll
const ros::WallDuration kSettleLimit(0.5);       // a program that never stops running costs this per tick
const uint32_t kRecordQueue = 10000;  // never drop a recorded message
const uint32_t kSendQueue = 10;

std::string tempFile(const std::string& tag)
{
  std::string path = "/tmp/kinora_" + tag + ".XXXXXX";
  const int fd = mkstemp(&path[0]);
  if (fd < 0)
    throw std::runtime_error("cannot create a temporary file for " + tag);
  close(fd);
  return path;
}

std::string readFile(const std::string& path)
{
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// A program name without a slash is looked up on PATH, before fork, because
// the child may only make async-signal-safe calls.
std::string resolveProgram(const std::string& name)
{
  if (name.find('/') != std::string::npos)
    return name;
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path ? path : "");
  std::string dir;
  while (std::getline(dirs, dir, ':'))
  {
    const std::string candidate = dir + "/" + name;
    if (!dir.empty() && access(candidate.c_str(), X_OK) == 0)
      return candidate;
  }
  return name;
}

std::vector<std::string> mergedEnvironment(const std::vector<std::string>& extra)
{
  std::map<std::string, std::string> byName;
  std::vector<std::string> order;
  auto add = [&](const std::string& entry) {
    const std::string name = entry.substr(0, entry.find('='));
    if (!byName.count(name))
      order.push_back(name);
    byName[name] = entry;
  };
  for (char** e = environ; *e; ++e)
    add(*e);
  for (const std::string& entry : extra)
    add(entry);
  std::vector<std::string> merged;
  for (const std::string& name : order)
    merged.push_back(byName[name]);
  return merged;
}

std::vector<char*> cStrings(std::vector<std::string>& strings)
{
  std::vector<char*> pointers;
  for (std::string& s : strings)
    pointers.push_back(&s[0]);
  pointers.push_back(nullptr);
  return pointers;
}

void defaultSignal(int sig)
{
  struct sigaction action = {};
  action.sa_handler = SIG_DFL;
  sigaction(sig, &action, nullptr);
}

// Runs in the forked child: only async-signal-safe calls until execve.
[[noreturn]] void execChild(pid_t parent, int outFd, int errFd, const char* program, char** argv, char** envp)
{
  setpgid(0, 0);  // a Ctrl-C on the terminal reaches the test, which then stops its children
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent)
    _exit(127);
  const int nullFd = open("/dev/null", O_RDONLY);
  dup2(nullFd, 0);
  dup2(outFd, 1);
  dup2(errFd, 2);
  // Sockets of the test's own ROS node must not outlive it in the child.
  syscall(SYS_close_range, 3u, ~0u, 0u);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  defaultSignal(SIGINT);
  defaultSignal(SIGTERM);
  defaultSignal(SIGPIPE);
  execve(program, argv, envp);
  const char message[] = "exec failed\n";
  (void)!write(2, message, sizeof(message) - 1);
  _exit(127);
}

int freeLoopbackPort()
{
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    throw std::runtime_error("cannot find a free loopback port");
  close(fd);
  return ntohs(address.sin_port);
}

bool portOpen(int port)
{
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool open = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  close(fd);
  return open;
}

// Asked only once the port accepts, so XmlRpc has no refused connection to complain about.
bool masterAnswers(int port)
{
  if (!portOpen(port))
    return false;
  XmlRpc::XmlRpcClient client("localhost", port, "/");
  XmlRpc::XmlRpcValue params, result;
  params[0] = "/kinora_test";
  const bool answered = client.execute("getPid", params, result) &&
                        result.getType() == XmlRpc::XmlRpcValue::TypeArray && int(result[0]) == 1;
  client.close();
  return answered;
}

bool waitWallFor(const std::function<bool()>& cond, double wallSeconds, ros::WallDuration poll)
{
  const ros::WallTime deadline = ros::WallTime::now() + ros::WallDuration(wallSeconds);
  while (!cond())
  {
    if (ros::WallTime::now() >= deadline)
      return cond();
    poll.sleep();
  }
  return true;
}

std::vector<std::string> publishersOf(const std::string& topic)
{
  XmlRpc::XmlRpcValue args, result, state;
  args[0] = ros::this_node::getName();
  std::vector<std::string> nodes;
  if (!ros::master::execute("getSystemState", args, result, state, false))
    return nodes;
  XmlRpc::XmlRpcValue& published = state[0];
  for (int i = 0; i < published.size(); ++i)
    if (std::string(published[i][0]) == topic)
      for (int j = 0; j < published[i][1].size(); ++j)
        nodes.push_back(published[i][1][j]);
  return nodes;
}

// Whether `node` has taken the harness node as a subscriber of `topic`. A
// publisher lists the connection only after the handshake, from when on it
// sends everything it publishes; the subscriber side knows of the connection
// earlier.
bool acceptedBy(const std::string& node, const std::string& topic)
{
  const std::string self = ros::this_node::getName();
  XmlRpc::XmlRpcValue args, result, uri;
  args[0] = self;
  args[1] = node;
  std::string host;
  uint32_t port = 0;
  if (!ros::master::execute("lookupNode", args, result, uri, false) || !ros::network::splitURI(uri, host, port))
    return false;
  XmlRpc::XmlRpcClient client(host.c_str(), port, "/");
  XmlRpc::XmlRpcValue params, reply;
  params[0] = self;
  if (!client.execute("getBusInfo", params, reply) || int(reply[0]) != 1)
    return false;
  XmlRpc::XmlRpcValue& links = reply[2];
  for (int i = 0; i < links.size(); ++i)
    if (std::string(links[i][1]) == self && std::string(links[i][2]) == "o" && std::string(links[i][4]) == topic)
      return true;
  return false;
}

// The state letter of a thread or process from its /proc stat file ('R'
// running or runnable, 'S' sleeping, 'Z' ended...); 0 when it has gone.
char taskState(const std::filesystem::path& dir)
{
  std::string stat;
  std::getline(std::ifstream(dir / "stat"), stat);
  const size_t nameEnd = stat.rfind(')');  // the name may hold blanks and parentheses
  return nameEnd != std::string::npos && nameEnd + 2 < stat.size() ? stat[nameEnd + 2] : 0;
}

// Whether a thread of the process (other than `skip`) is running or waiting
// for a CPU. A process that has gone has none.
bool anyThreadRunnable(const std::string& taskDir, pid_t skip)
{
  std::error_code gone;
  for (const auto& task : std::filesystem::directory_iterator(taskDir, gone))
    if (std::stoi(task.path().filename().string()) != skip && taskState(task.path()) == 'R')
      return true;
  return false;
}

// How often the main thread of the process has been given a CPU; -1 when that
// is not known (the process has ended, or the kernel does not count it).
long timesRun(pid_t pid)
{
  const std::filesystem::path dir = "/proc/" + std::to_string(pid);
  const char state = taskState(dir);
  if (state == 0 || state == 'Z')
    return -1;
  long onCpuNs = 0, waitingNs = 0, runs = -1;
  std::ifstream(dir / "schedstat") >> onCpuNs >> waitingNs >> runs;
  return runs;
}

void sleepUntil(ros::WallTime t)
{
  const ros::WallDuration left = t - ros::WallTime::now();
  if (left > ros::WallDuration(0))
    left.sleep();
}

rosgraph_msgs::Clock clockAt(ros::Time t)
{
  rosgraph_msgs::Clock clock;
  clock.clock = t;
  return clock;
}
}  // namespace

// ---------------------------------------------------------------- Process

Process::Process(const std::vector<std::string>& argv, const std::vector<std::string>& env)
  : outPath_(tempFile("out")), errPath_(tempFile("err"))
{
  if (argv.empty())
    throw std::invalid_argument("Process: empty argv");
  const std::string program = resolveProgram(argv[0]);
  std::vector<std::string> args = argv;
  std::vector<std::string> envs = mergedEnvironment(env);
  std::vector<char*> argPointers = cStrings(args);
  std::vector<char*> envPointers = cStrings(envs);
  const int outFd = open(outPath_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  const int errFd = open(errPath_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  const pid_t parent = getpid();
  pid_ = fork();
  if (pid_ == 0)
    execChild(parent, outFd, errFd, program.c_str(), argPointers.data(), envPointers.data());
  close(outFd);
  close(errFd);
  if (pid_ < 0)
    throw std::runtime_error("cannot start " + program);
}

Process::~Process()
{
  if (running())
  {
    kill(pid_, SIGKILL);
    reap(true);
  }
  unlink(outPath_.c_str());
  unlink(errPath_.c_str());
}

void Process::reap(bool block)
{
  if (status_ >= 0)
    return;
  int raw = 0;
  if (waitpid(pid_, &raw, block ? 0 : WNOHANG) != pid_)
    return;
  status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

bool Process::running()
{
  reap(false);
  return status_ < 0;
}

int Process::exitStatus()
{
  reap(false);
  return status_;
}

void Process::interrupt()
{
  if (running())
    kill(pid_, SIGINT);
}

void Process::terminate()
{
  if (running())
    kill(pid_, SIGTERM);
}

bool Process::waitExit(double wallSeconds)
{
  return waitWallFor([this] { return !running(); }, wallSeconds, kPoll);
}

std::string Process::out() const
{
  return readFile(outPath_);
}

std::string Process::err() const
{
  return readFile(errPath_);
}

std::vector<std::string> linesWith(const std::string& text, const std::string& prefix)
{
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (line.compare(0, prefix.size(), prefix) == 0)
      lines.push_back(line);
  return lines;
}

// ---------------------------------------------------------------- Master

Master::Master()
{
  std::string dir = "/tmp/kinora_ros.XXXXXX";
  if (!mkdtemp(&dir[0]))
    throw std::runtime_error("cannot create a temporary ROS_HOME");
  dir_ = dir;
  setenv("ROS_HOME", dir_.c_str(), 1);
  setenv("ROS_LOG_DIR", dir_.c_str(), 1);
  setenv("ROS_HOSTNAME", "localhost", 1);
  unsetenv("ROS_IP");
  unsetenv("ROS_NAMESPACE");

  std::string failures;
  for (int attempt = 0; attempt < kMasterAttempts; ++attempt)
  {
    const int port = freeLoopbackPort();
    uri_ = "http://localhost:" + std::to_string(port) + "/";
    setenv("ROS_MASTER_URI", uri_.c_str(), 1);
    process_.reset(new Process({"rosmaster", "--core", "-p", std::to_string(port)}));
    if (waitWallFor([&] { return masterAnswers(port) || !process_->running(); }, kMasterStartSeconds,
                    kMasterPoll) &&
        process_->running())
      return;
    failures += process_->err();
  }
  process_.reset();
  std::filesystem::remove_all(dir_);
  throw std::runtime_error("rosmaster did not answer: " + failures);
}

Master::~Master()
{
  process_->terminate();
  process_->waitExit(kMasterStopSeconds);
  process_.reset();
  std::error_code ignored;  // a leftover temporary directory is no reason to fail a test
  std::filesystem::remove_all(dir_, ignored);
}

// ---------------------------------------------------------------- Harness

const ros::Time Harness::kStartTime(1000.0);

Harness::Harness(bool simTime)
  : simTime_(simTime)
  , tick_(0.01)
  , settleBase_(0.002)
  , settleQuiet_(0.005)
  , now_(kStartTime)
{
  // roscpp cannot be initialised again after a shutdown.
  static bool used = false;
  if (used)
    throw std::logic_error("one Harness per process: run the tests through ctest or one at a time");
  used = true;
  ros::init(ros::M_string(), "kinora_test",
            ros::init_options::AnonymousName | ros::init_options::NoSigintHandler);
  // The first node handle starts the node; it reads /use_sim_time only then,
  // so the harness keeps wall time while the nodes under test get the clock.
  nh_.reset(new ros::NodeHandle);
  if (simTime_)
  {
    ros::param::set("/use_sim_time", true);
    // Latched, so a node that connects late still learns the current time.
    clockPub_ = nh_->advertise<rosgraph_msgs::Clock>("/clock", 1, true);
    clockPub_.publish(clockAt(now_));
  }
  spinner_.reset(new ros::AsyncSpinner(1, &recordQueue_));
  spinner_->start();
}

Harness::~Harness()
{
  spinner_->stop();
  recorders_.clear();
  senders_.clear();
  clockPub_.shutdown();
  nh_.reset();
  ros::shutdown();
}

std::unique_ptr<Process> Harness::start(const std::string& program, const std::vector<std::string>& args)
{
  std::vector<std::string> argv{program};
  argv.insert(argv.end(), args.begin(), args.end());
  const uint32_t clockListeners = simTime_ ? clockPub_.getNumSubscribers() : 0;
  std::unique_ptr<Process> process(new Process(argv));
  started_.push_back(process->pid());
  // A tick sent before the program listens to /clock would reach it late.
  if (simTime_)
    waitWallFor([&] { return clockPub_.getNumSubscribers() > clockListeners || !process->running(); },
                kConnectSeconds, kPoll);
  return process;
}

ros::Time Harness::now() const
{
  if (!simTime_)
    return ros::Time::now();
  std::lock_guard<std::mutex> lock(mutex_);
  return now_;
}

void Harness::setSettle(double baseWallSeconds, double quietWallSeconds)
{
  settleBase_ = ros::WallDuration(baseWallSeconds);
  settleQuiet_ = ros::WallDuration(quietWallSeconds);
}

void Harness::requireSimTime() const
{
  if (!simTime_)
    throw std::logic_error("the harness drives the clock only in simulated-time mode");
}

void Harness::advance(ros::Duration d)
{
  requireSimTime();
  settleBeforeTicks();
  const ros::Time target = now() + d;
  while (now() < target)
    step(std::min(tick_, target - now()));
}

bool Harness::runUntil(const std::function<bool()>& cond, ros::Duration maxSim, double maxWallSeconds)
{
  requireSimTime();
  settleBeforeTicks();
  const ros::Time limit = now() + maxSim;
  const ros::WallTime deadline = ros::WallTime::now() + ros::WallDuration(maxWallSeconds);
  while (!cond())
  {
    if (now() >= limit || ros::WallTime::now() >= deadline)
      return false;
    step(std::min(tick_, limit - now()));
  }
  return true;
}

void Harness::step(ros::Duration d)
{
  ros::Time t;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    now_ += d;
    t = now_;
  }
  const ros::WallTime tickStart = ros::WallTime::now();
  const std::vector<long> runs = mainThreadRuns();
  clockPub_.publish(clockAt(t));
  settle(tickStart, runs);
}

// How long a tick lasts. A node under sim time polls the clock in its sleeps,
// about once a millisecond, so it has seen the new time once its main thread
// has run kRunsToSeeATick times since the tick. Its reaction then passes
// through threads of the node and of this process, each runnable until it has
// done its part: while one is, the tick stays open and the runs are counted
// again from then on. Messages that arrive hold the tick open until the topics
// have been quiet for a while, so a burst is stamped with the tick that caused
// it. A main thread blocked elsewhere than in a clock poll is waited for
// kMainThreadWait at most. A fixed 2 ms wait instead stamped a few messages in
// a hundred a tick late, even on an idle machine.
void Harness::settle(ros::WallTime tickStart, std::vector<long> runs) const
{
  sleepUntil(tickStart + settleBase_);
  const ros::WallTime limit = tickStart + kSettleLimit;
  ros::WallTime counting = tickStart;
  for (ros::WallTime now = ros::WallTime::now(); now < limit; now = ros::WallTime::now())
  {
    // Runs first: a main thread counted as run may be running right now.
    const bool seenTheTick = ranEnoughSince(runs) || now >= counting + kMainThreadWait;
    if (busy())
    {
      runs = mainThreadRuns();
      counting = now;
    }
    else if (seenTheTick)
    {
      ros::WallTime last;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        last = lastArrival_;
      }
      if (last < tickStart || now >= last + settleQuiet_)
        return;
    }
    kBusyPoll.sleep();
  }
}

// What the test has just set off in wall time (a connection, a message it
// sent) must play out at the current time, not at the next tick.
void Harness::settleBeforeTicks() const
{
  settle(ros::WallTime::now(), mainThreadRuns());
}

bool Harness::busy() const
{
  if (anyThreadRunnable("/proc/self/task", gettid()))
    return true;
  for (pid_t pid : started_)
    if (anyThreadRunnable("/proc/" + std::to_string(pid) + "/task", 0))
      return true;
  return false;
}

std::vector<long> Harness::mainThreadRuns() const
{
  std::vector<long> runs;
  for (pid_t pid : started_)
    runs.push_back(timesRun(pid));
  return runs;
}

bool Harness::ranEnoughSince(const std::vector<long>& runs) const
{
  const std::vector<long> now = mainThreadRuns();
  for (std::size_t i = 0; i < runs.size(); ++i)
    if (runs[i] >= 0 && now[i] >= 0 && now[i] - runs[i] < kRunsToSeeATick)
      return false;
  return true;
}

bool Harness::waitWall(const std::function<bool()>& cond, double wallSeconds)
{
  return waitWallFor(cond, wallSeconds, kPoll);
}

// ---------------------------------------------------------------- Recording

template <class M, class Fill>
ros::Subscriber Harness::subscribe(const std::string& topic, Fill fill)
{
  ros::SubscribeOptions options;
  options.init<M>(topic, kRecordQueue, [this, topic, fill](const typename M::ConstPtr& msg) {
    Event event;
    event.topic = topic;
    fill(*msg, event);
    store(std::move(event));
  });
  options.callback_queue = &recordQueue_;
  options.transport_hints = ros::TransportHints().tcpNoDelay();
  return nh_->subscribe(options);
}

void Harness::record(const std::string& topic)
{
  if (recorders_.count(topic))
    return;
  const std::string base = topic.substr(topic.rfind('/') + 1);
  ros::Subscriber sub;
  if (base == "jointAngleArray")
    sub = subscribe<std_msgs::Float32MultiArray>(topic, [](const std_msgs::Float32MultiArray& m, Event& e) {
      e.floats = m.data;
      e.layoutDims = m.layout.dim.size();
      e.dataOffset = m.layout.data_offset;
    });
  else if (base == "variancedJoints")
    sub = subscribe<std_msgs::Int32MultiArray>(topic, [](const std_msgs::Int32MultiArray& m, Event& e) {
      e.ints = m.data;
      e.layoutDims = m.layout.dim.size();
      e.dataOffset = m.layout.data_offset;
    });
  else if (base == "talkerfilename")
    sub = subscribe<std_msgs::String>(topic, [](const std_msgs::String& m, Event& e) { e.text = m.data; });
  else if (base == "motionStartStop")
    sub = subscribe<std_msgs::Int32>(topic, [](const std_msgs::Int32& m, Event& e) { e.value = m.data; });
  else
    throw std::invalid_argument("record: no known message type for topic [" + topic + "]");
  recorders_[topic] = sub;
}

void Harness::store(Event event)
{
  std::lock_guard<std::mutex> lock(mutex_);
  event.stamp = simTime_ ? now_ : ros::Time::now();
  lastArrival_ = ros::WallTime::now();
  events_.push_back(std::move(event));
}

bool Harness::waitForPublisher(const std::string& topic, double wallSeconds)
{
  const auto found = recorders_.find(topic);
  if (found == recorders_.end())
    throw std::invalid_argument("waitForPublisher: topic [" + topic + "] is not recorded");
  const ros::Subscriber& sub = found->second;
  const std::string resolved = ros::names::resolve(topic);
  return waitWallFor(
      [&] {
        if (sub.getNumPublishers() == 0)
          return false;
        const std::vector<std::string> nodes = publishersOf(resolved);
        return !nodes.empty() && std::all_of(nodes.begin(), nodes.end(), [&](const std::string& node) {
          return acceptedBy(node, resolved);
        });
      },
      wallSeconds, kMasterPoll);
}

std::vector<Event> Harness::events() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return events_;
}

std::vector<Event> Harness::eventsOn(const std::string& topic) const
{
  std::vector<Event> on;
  for (const Event& e : events())
    if (e.topic == topic)
      on.push_back(e);
  return on;
}

std::size_t Harness::count(const std::string& topic) const
{
  return eventsOn(topic).size();
}

// ---------------------------------------------------------------- Sending

template <class M>
bool Harness::send(const std::string& topic, const M& msg)
{
  auto found = senders_.find(topic);
  if (found == senders_.end())
    found = senders_.emplace(topic, nh_->advertise<M>(topic, kSendQueue)).first;
  const ros::Publisher& pub = found->second;
  if (!waitWall([&pub] { return pub.getNumSubscribers() > 0; }, kConnectSeconds))
    return false;
  pub.publish(msg);
  return true;
}

bool Harness::publish(const std::string& topic, int value)
{
  std_msgs::Int32 msg;
  msg.data = value;
  return send(topic, msg);
}

bool Harness::publishText(const std::string& topic, const std::string& text)
{
  std_msgs::String msg;
  msg.data = text;
  return send(topic, msg);
}

}  // namespace kinora_test
