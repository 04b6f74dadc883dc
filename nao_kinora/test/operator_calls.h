// The operator's side of a session under test: calls to the node's services
// from the harness process, and the node's ~status and /diagnostics as received.
#ifndef NAO_KINORA_TEST_OPERATOR_CALLS_H
#define NAO_KINORA_TEST_OPERATOR_CALLS_H

#include <diagnostic_msgs/DiagnosticArray.h>
#include <gtest/gtest.h>
#include <nao_kinora_msgs/SessionStatus.h>
#include <nlohmann/json.hpp>
#include <ros/callback_queue.h>
#include <ros/ros.h>
#include <std_srvs/SetBool.h>
#include <std_srvs/Trigger.h>

#include <chrono>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <string>
#include <vector>

namespace operator_calls
{
typedef nao_kinora_msgs::SessionStatus Status;

const char kPauseService[] = "/nao_kinora/pause_playback";
const char kSkipService[] = "/nao_kinora/skip_exercise";
const char kEndService[] = "/nao_kinora/end_session";

// A call that has no answer after this long fails instead of hanging the test
// (a node that served its services from its main loop would answer only when
// the clock moves, and the clock stands still during the call).
const std::chrono::seconds kCallDeadline(5);

struct Reply
{
  bool called = false;  // the node answered
  bool success = false;
  std::string message;
};

template <class Srv>
Reply callService(const std::string& service, Srv srv)
{
  auto answer = std::make_shared<std::promise<Reply>>();
  std::future<Reply> future = answer->get_future();
  std::thread(
      [service, srv, answer]() mutable
      {
        Reply reply;
        reply.called = ros::service::call(service, srv);
        reply.success = srv.response.success;
        reply.message = srv.response.message;
        answer->set_value(reply);
      })
      .detach();
  if (future.wait_for(kCallDeadline) != std::future_status::ready)
    return Reply();
  return future.get();
}

inline Reply pause(bool on)
{
  std_srvs::SetBool srv;
  srv.request.data = on;
  return callService(kPauseService, srv);
}

inline Reply trigger(const std::string& service)
{
  return callService(service, std_srvs::Trigger());
}

inline Reply skip()
{
  return trigger(kSkipService);
}

inline Reply end()
{
  return trigger(kEndService);
}

inline ::testing::AssertionResult answered(const Reply& reply, bool success, const std::string& message)
{
  if (!reply.called)
    return ::testing::AssertionFailure() << "the service did not answer";
  if (reply.success != success || reply.message != message)
    return ::testing::AssertionFailure() << "got " << (reply.success ? "success" : "refusal") << " \"" << reply.message
                                         << "\", expected " << (success ? "success" : "refusal") << " \"" << message
                                         << "\"";
  return ::testing::AssertionSuccess();
}

// Every message received on a topic, kept in arrival order; served by a
// thread of its own, so it fills while the test waits or moves the clock.
template <class M>
class Received
{
public:
  explicit Received(const std::string& topic) : spinner_(1, &queue_)
  {
    ros::NodeHandle nh;
    nh.setCallbackQueue(&queue_);
    sub_ = nh.subscribe(topic, 1000, &Received::add, this, ros::TransportHints().tcpNoDelay());
    spinner_.start();
  }
  ~Received() { spinner_.stop(); }

  // A publisher is connected: what it sends from now on is received.
  bool connected() const { return sub_.getNumPublishers() > 0; }

  std::vector<M> all() const
  {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
  }
  std::size_t size() const
  {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_.size();
  }
  M last() const
  {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_.empty() ? M() : messages_.back();
  }

private:
  void add(const typename M::ConstPtr& msg)
  {
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.push_back(*msg);
  }

  ros::CallbackQueue queue_;
  ros::Subscriber sub_;
  ros::AsyncSpinner spinner_;
  mutable std::mutex mutex_;
  std::vector<M> messages_;
};

typedef Received<Status> StatusLog;
typedef Received<diagnostic_msgs::DiagnosticArray> DiagnosticsLog;

// The session log's events, one JSON object each. Read once the node has
// ended (closesAfterPause waits for its exit): every line it logged is there.
inline std::vector<nlohmann::json> sessionLog(const std::string& path)
{
  std::vector<nlohmann::json> events;
  std::ifstream in(path.c_str());
  std::string line;
  while (std::getline(in, line))
    events.push_back(nlohmann::json::parse(line));
  return events;
}

// The events of one kind, without their time.
inline std::vector<nlohmann::json> eventsNamed(const std::vector<nlohmann::json>& events, const std::string& name)
{
  std::vector<nlohmann::json> found;
  for (nlohmann::json e : events)
    if (e["event"] == name)
    {
      e.erase("time");
      found.push_back(e);
    }
  return found;
}
}  // namespace operator_calls

#endif  // NAO_KINORA_TEST_OPERATOR_CALLS_H
