// The console as a program under test: started against the harness's private
// master on a free port, asked over HTTP by plain clients (httplib's, or raw
// bytes for requests no client would send), beside a stand-in for the coaching
// program whose controls answer as a test tells them to.
#ifndef NAO_KINORA_CONSOLE_TEST_CONSOLE_FIXTURE_H
#define NAO_KINORA_CONSOLE_TEST_CONSOLE_FIXTURE_H

#include "ros_harness.h"

#include <nao_kinora_msgs/SessionStatus.h>
#include <nao_kinora_msgs/SetSpeed.h>
#include <ros/ros.h>
#include <std_srvs/SetBool.h>
#include <std_srvs/Trigger.h>

#include <httplib.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace console_test
{
// Where a client finds the console.
struct Endpoint
{
  std::string host = "127.0.0.1";
  int port = 0;
  bool tls = false;
};

// The console program, started with its private parameters (e.g. "_token:=x")
// and a free port; returns once it prints its address (and under TLS its
// certificate's fingerprint). Fails the test (and returns with port 0) when it
// does not.
struct Console
{
  explicit Console(const std::vector<std::string>& params = {});

  std::unique_ptr<kinora_test::Process> process;
  int port = 0;
  bool tls = false;                // it printed an https:// address
  std::string host = "127.0.0.1";  // the address it printed (127.0.0.1 for a wildcard)
  std::string fingerprint;         // the one it printed under TLS
  std::string hostPort() const { return host + ":" + std::to_string(port); }
  std::string origin() const { return (tls ? "https://" : "http://") + hostPort(); }
  Endpoint endpoint() const { return {host, port, tls}; }
};

// The console program with the given parameters, without waiting for anything.
std::unique_ptr<kinora_test::Process> startConsole(const std::vector<std::string>& params);

struct Reply
{
  int status = 0;  // 0: no answer
  std::string body;
  httplib::Headers headers;
  double seconds = 0.0;  // wall time until the answer
  std::string header(const std::string& name) const;
};

// One request from a well-behaved client, Host 127.0.0.1:port.
Reply request(int port, const std::string& method, const std::string& target, const httplib::Headers& headers = {},
              const std::string& body = "");
// The same at an endpoint, over TLS when it says so (any certificate taken:
// the tests compare fingerprints themselves).
Reply request(const Endpoint& at, const std::string& method, const std::string& target,
              const httplib::Headers& headers = {}, const std::string& body = "");

// Bytes sent as they are on a new connection; the answer's status, 0 when
// the connection ended without one within 5 s.
int rawStatus(int port, const std::string& bytes);

// A live-update stream read in the background: the events in order of arrival.
class EventStream
{
public:
  EventStream(int port, const std::string& target);
  EventStream(const Endpoint& at, const std::string& target, const httplib::Headers& headers = {});
  ~EventStream();

  struct Event
  {
    std::string type;
    std::string data;
    double at;  // wall seconds since the stream was opened
  };
  std::vector<Event> events() const;
  int status() const { return status_; }
  // Waits (wall time) until some event satisfies cond; returns its index or -1.
  int waitFor(const std::function<bool(const Event&)>& cond, double seconds, std::size_t from = 0) const;
  double now() const;

private:
  void feed(const char* data, std::size_t length);

  httplib::Client client_;
  std::thread reader_;
  std::atomic<bool> stop_{false};
  std::atomic<int> status_{0};
  ros::WallTime opened_;
  mutable std::mutex mutex_;
  std::string pending_;
  std::vector<Event> events_;
};

// Stands in for the coaching program as /nao_kinora: its four controls and
// its status. Each control answers with success and message as set, after
// delay wall seconds, and records what it was asked.
class FakeCoach
{
public:
  FakeCoach();
  ~FakeCoach();

  struct Answer
  {
    bool success = true;
    std::string message = "done";
    double delay = 0.0;
  };
  void answer(const Answer& a);
  std::vector<std::string> calls() const;  // "pause", "resume", "skip", "end", "speed 0.50", in order

  // Latched, as the coaching program's is.
  void publish(const nao_kinora_msgs::SessionStatus& status);
  ros::Publisher& statusPublisher() { return statusPub_; }
  ros::Publisher& rowPublisher() { return rowPub_; }

private:
  bool pause(std_srvs::SetBool::Request& request, std_srvs::SetBool::Response& response);
  bool trigger(const std::string& name, std_srvs::Trigger::Response& response);
  void wait(const Answer& a);

  ros::NodeHandle nh_;
  ros::CallbackQueue queue_;
  std::unique_ptr<ros::AsyncSpinner> spinner_;
  ros::ServiceServer pauseSrv_, skipSrv_, endSrv_, speedSrv_;
  ros::Publisher statusPub_, rowPub_;
  mutable std::mutex mutex_;
  Answer answer_;
  std::vector<std::string> calls_;
};

// A status in the middle of recording 3 of 9, 45 % played.
nao_kinora_msgs::SessionStatus playingStatus();

// Waits in wall time until cond holds; returns cond().
bool waitWall(const std::function<bool()>& cond, double seconds);
}  // namespace console_test

#endif  // NAO_KINORA_CONSOLE_TEST_CONSOLE_FIXTURE_H
