// Child programs and a private rosmaster for one test process.
#ifndef NAO_KINORA_TEST_HARNESS_PROCESSES_H
#define NAO_KINORA_TEST_HARNESS_PROCESSES_H

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

namespace kinora_test
{
// Wall seconds allowed for a connection between two nodes to be set up.
const double kConnectSeconds = 10.0;

// A child program started with fork/exec. Its standard output and error go to
// temporary files that can be read at any time. It runs in a process group of
// its own and is killed if the test process dies. The destructor kills it
// (SIGKILL) if it still runs.
class Process
{
public:
  // argv[0] is the program: a path, or a bare name looked up on PATH.
  // env entries "NAME=value" are added to (or replace) this process's environment.
  explicit Process(const std::vector<std::string>& argv, const std::vector<std::string>& env = {});
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const { return pid_; }
  void interrupt();  // SIGINT, as Ctrl-C would
  void terminate();  // SIGTERM
  // Waits until the process has exited; false when the wall deadline passed first.
  bool waitExit(double wallSeconds);
  bool running();
  // The exit code 0..255, or 128 + signal number when killed; -1 while it runs.
  int exitStatus();
  std::string out() const;
  std::string err() const;

private:
  void reap(bool block);

  pid_t pid_ = -1;
  int status_ = -1;
  std::string outPath_;
  std::string errPath_;
};

// A private rosmaster on a free loopback port. The constructor sets, in this
// process's environment (and so for ros::init and every Process started
// afterwards), ROS_MASTER_URI, ROS_HOSTNAME=localhost, and ROS_HOME/ROS_LOG_DIR
// to a temporary directory, and returns once the master answers. Throws
// std::runtime_error when it does not answer in time.
class Master
{
public:
  Master();
  ~Master();
  Master(const Master&) = delete;
  Master& operator=(const Master&) = delete;

  const std::string& uri() const { return uri_; }
  const std::string& dir() const { return dir_; }  // ROS_HOME and ROS_LOG_DIR

private:
  std::string dir_;
  std::string uri_;
  std::unique_ptr<Process> process_;
};
// Whether the program named node registered a publisher, subscriber or service
// with this process's master (read from the master's log).
bool registeredAnything(const std::string& node);
}  // namespace kinora_test

#endif  // NAO_KINORA_TEST_HARNESS_PROCESSES_H
