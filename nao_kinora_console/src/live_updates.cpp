// The console's live updates: the node's status and joint rows as they come,
// and the event stream that carries them to each open page.
#include "nao_kinora_console/console_server.h"

#include "nao_kinora_console/status_view.h"

#include <nao_kinora/joint_message.h>

namespace nao_kinora_console
{
namespace
{
// The pose at most 25 times a second; the status at least once a second, so
// a page sees a lost connection soon and a wait's seconds go on.
const std::chrono::milliseconds kPoseEvery(40);
const std::chrono::milliseconds kStatusEvery(1000);
}  // namespace

void Console::statusHandle(const nao_kinora_msgs::SessionStatus::ConstPtr& status)
{
  {
    std::lock_guard<std::mutex> lock(mutex_);
    status_ = *status;
    haveStatus_ = true;
    ++statusCount_;
  }
  changed_.notify_all();
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
  changed_.notify_all();
}

nlohmann::json Console::view()
{
  StatusContext context;
  nao_kinora_msgs::SessionStatus status;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    status = status_;
    context.haveStatus = haveStatus_;
  }
  context.coachRunning = statusSub_.getNumPublishers() > 0;
  context.consoleOnJointRows = rowSub_.getNumPublishers() > 0;
  const ros::Time now = ros::Time::now();
  if (context.haveStatus && !status.stamp.isZero() && now > status.stamp)
    context.age = (now - status.stamp).toSec();
  return statusView(status, context);
}

// Writes what has changed for one page: the status when it changed or a
// second went by, the pose when it changed and 40 ms went by. Waits for
// either; false ends the stream.
bool Console::pump(Stream& stream, httplib::DataSink& sink)
{
  using Clock = std::chrono::steady_clock;
  std::string events;
  if (!stream.started)
  {
    // EventSource tries again after this many milliseconds when the console goes away.
    events = "retry: 1000\n\n";
    stream.started = true;
  }
  bool sendStatus = false;
  std::vector<double> pose;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;)
    {
      if (stopping_)
        return false;
      const Clock::time_point now = Clock::now();
      sendStatus = !stream.statusOnce || statusCount_ != stream.statusSent || now - stream.lastStatus >= kStatusEvery;
      const bool poseDue = poseCount_ != stream.poseSent && now - stream.lastPose >= kPoseEvery;
      if (sendStatus || poseDue)
      {
        if (poseDue)
        {
          pose = pose_;
          stream.poseSent = poseCount_;
          stream.lastPose = now;
        }
        if (sendStatus)
        {
          stream.statusOnce = true;
          stream.statusSent = statusCount_;
          stream.lastStatus = now;
        }
        break;
      }
      Clock::time_point until = stream.lastStatus + kStatusEvery;
      if (poseCount_ != stream.poseSent)
        until = std::min(until, stream.lastPose + kPoseEvery);
      changed_.wait_until(lock, until);
    }
  }
  if (sendStatus)
    events += "event: status\ndata: " + view().dump() + "\n\n";
  if (!pose.empty())
    events += "event: pose\ndata: " + nlohmann::json(pose).dump() + "\n\n";
  return sink.write(events.data(), events.size());
}
}  // namespace nao_kinora_console
