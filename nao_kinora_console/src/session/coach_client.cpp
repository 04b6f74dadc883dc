#include "nao_kinora_console/session/coach_client.h"

#include <nao_kinora_msgs/SetSpeed.h>
#include <ros/ros.h>
#include <std_srvs/SetBool.h>
#include <std_srvs/Trigger.h>

#include <chrono>
#include <cstdio>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace nao_kinora_console
{
namespace
{
// A program that hangs keeps one thread per call waiting; past this many the
// console refuses new calls instead of piling up threads.
const int kMaxWaiting = 4;
}  // namespace

CoachClient::CoachClient(const std::string& coach, double deadlineSeconds)
    : coach_(coach), deadline_(deadlineSeconds), waiting_(std::make_shared<std::atomic<int>>(0))
{
}

CallOutcome CoachClient::pause(bool pause, Late late)
{
  std_srvs::SetBool service;
  service.request.data = pause;
  return call("pause_playback", service, std::move(late));
}

CallOutcome CoachClient::skip(Late late)
{
  return call("skip_exercise", std_srvs::Trigger(), std::move(late));
}

CallOutcome CoachClient::end(Late late)
{
  return call("end_session", std_srvs::Trigger(), std::move(late));
}

CallOutcome CoachClient::setSpeed(double speed, Late late)
{
  nao_kinora_msgs::SetSpeed service;
  service.request.speed = speed;
  return call("set_speed", service, std::move(late));
}

namespace
{
// What the waiting thread and the call's own thread share: the outcome, or
// the word that nobody waits for it any more (then it goes to late).
struct CallState
{
  std::mutex mutex;
  std::condition_variable done;
  bool answered = false;
  bool gaveUp = false;
  CallOutcome outcome;
  CoachClient::Late late;
};
}  // namespace

template <class Service>
CallOutcome CoachClient::call(const std::string& control, Service service, Late late)
{
  CallOutcome outcome;
  if (++*waiting_ > kMaxWaiting)
  {
    --*waiting_;
    outcome.kind = CallOutcome::kBusy;
    outcome.message = "Still waiting for the coaching program to answer earlier requests.";
    return outcome;
  }
  // roscpp's calls have no deadline of their own: a worker makes the call
  // and this thread waits for it as long as the deadline allows.
  const std::string name = coach_ + "/" + control;
  auto state = std::make_shared<CallState>();
  state->late = std::move(late);
  std::shared_ptr<std::atomic<int>> waiting = waiting_;
  std::thread(
      [state, name, service, waiting]() mutable
      {
        CallOutcome result;
        if (!ros::service::exists(name, false))
        {
          result.kind = CallOutcome::kNotRunning;
          result.message = "The coaching program is not running.";
        }
        else if (ros::service::call(name, service))
        {
          result.kind = CallOutcome::kAnswered;
          result.success = service.response.success;
          result.message = service.response.message;
        }
        else
        {
          ROS_WARN("call to [%s] failed", name.c_str());
          result.kind = CallOutcome::kFailed;
          result.message = "The connection to the coaching program broke off.";
        }
        --*waiting;
        Late late;
        {
          std::lock_guard<std::mutex> hold(state->mutex);
          state->outcome = result;
          state->answered = true;
          if (state->gaveUp)
            late = state->late;
        }
        state->done.notify_all();
        if (late)
          late(result);
      })
      .detach();

  {
    std::unique_lock<std::mutex> hold(state->mutex);
    if (state->done.wait_for(hold, std::chrono::duration<double>(deadline_), [&] { return state->answered; }))
      return state->outcome;
    state->gaveUp = true;
  }
  ROS_WARN("[%s] did not answer within %g s", name.c_str(), deadline_);
  outcome.kind = CallOutcome::kNoAnswer;
  char text[120];
  std::snprintf(text, sizeof text, "The coaching program did not answer within %g s.", deadline_);
  outcome.message = text;
  return outcome;
}
}  // namespace nao_kinora_console
