#include "nao_kinora_console/camera/pose_relay.h"

namespace nao_kinora_console
{
PoseRelay::Outcome PoseRelay::take(const PoseBatch& batch, const ros::Time& now, double wallNow)
{
  std::lock_guard<std::mutex> lock(mutex_);
  Outcome out;
  if (batch.stream != stream_)
  {
    // Two cameras at once would show two people as one.
    if (!stream_.empty() && wallNow - heard_ < kCameraSilence)
    {
      out.refused = true;
      return out;
    }
    stream_ = batch.stream;
    lastFrame_ = -1e18;
  }
  heard_ = wallNow;
  // ROS time went back (a simulated clock started again): order starts anew.
  if (now + ros::Duration(1) < lastStamp_)
    lastStamp_ = ros::Time();
  for (const PoseFrame& frame : batch.frames)
  {
    const double age = (batch.sent - frame.time) / 1000;
    // Under simulated time the clock may not run yet (0), or not be this far on.
    if (frame.time - lastFrame_ < kMinFrameGapMs || age > kMaxFrameAge || now.toSec() <= age)
    {
      ++out.dropped;
      continue;
    }
    const ros::Time stamp = now - ros::Duration(age);
    if (stamp <= lastStamp_)
    {
      ++out.dropped;
      continue;
    }
    nao_kinora_msgs::PersonPose pose = personPose(frame);
    pose.header.stamp = stamp;
    publish_(pose);
    lastFrame_ = frame.time;
    lastStamp_ = stamp;
    ++out.published;
  }
  return out;
}
}  // namespace nao_kinora_console
