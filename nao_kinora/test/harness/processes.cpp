#include "processes.h"

#include "test_util.h"

#include <xmlrpcpp/XmlRpcClient.h>
#include <xmlrpcpp/XmlRpcValue.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace kinora_test
{
namespace
{
// Only ends the wait for a master that is starting: a Python program took
// over 10 s to start with thirty runnable threads on the two cores.
const double kMasterStartSeconds = 120.0;
const double kMasterStopSeconds = 5.0;
const int kMasterAttempts = 3;  // another process may take the free port before the master binds it
const double kMasterPoll = 0.01;

std::string tempFile(const std::string& tag)
{
  std::string path = "/tmp/kinora_" + tag + ".XXXXXX";
  const int fd = mkstemp(&path[0]);
  if (fd < 0)
    throw std::runtime_error("cannot create a temporary file for " + tag);
  close(fd);
  return path;
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
  auto add = [&](const std::string& entry)
  {
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
  return waitWallFor([this] { return !running(); }, wallSeconds);
}

std::string Process::out() const
{
  return readFile(outPath_);
}

std::string Process::err() const
{
  return readFile(errPath_);
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
    if (waitWallFor([&] { return masterAnswers(port) || !process_->running(); }, kMasterStartSeconds, kMasterPoll) &&
        process_->running())
      return;
    failures += process_->err();
    if (process_->running())
      break;  // alive but silent past the deadline: another port would not help
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

// The master logs every registration ("+PUB [/topic] /node uri", "+SUB ...",
// "+SERVICE ..."). ros::init itself only sets the private parameters.
bool registeredAnything(const std::string& node)
{
  std::istringstream log(readFile(std::string(std::getenv("ROS_LOG_DIR")) + "/master.log"));
  std::string line;
  while (std::getline(log, line))
  {
    const bool registration = contains(line, "+PUB [") || contains(line, "+SUB [") || contains(line, "+SERVICE [");
    if (registration && contains(line, "] " + node + " "))
      return true;
  }
  return false;
}
}  // namespace kinora_test
