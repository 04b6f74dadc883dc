// Which of the camera's frames go on to the person's pose, and when each
// was taken in ROS time: one camera at a time, at most about 30 frames a
// second, in order, none older than half a minute.
//
// A frame's stamp is the ROS time the batch arrived less the frame's age
// when the page sent the batch (both ages on the page's own clock, so the
// tablet's and the console's clocks need not agree); the time the batch
// spent on the network (milliseconds on the clinic's network) is not counted.
#ifndef NAO_KINORA_CONSOLE_POSE_RELAY_H
#define NAO_KINORA_CONSOLE_POSE_RELAY_H

#include "nao_kinora_console/camera/pose_batch.h"

#include <nao_kinora_msgs/PersonPose.h>
#include <ros/time.h>

#include <functional>
#include <mutex>
#include <string>

namespace nao_kinora_console
{
// Frames closer than this on the page's clock are dropped: 30 a second, with
// 3 ms for the page's timer.
const double kMinFrameGapMs = 1000.0 / 30 - 3;
// A frame older than this when it arrives is dropped: a tablet that slept
// has nothing to say about now. (The model's own time is in a frame's age:
// on a slow tablet without a GPU, a second or more.)
const double kMaxFrameAge = 30.0;
// Another camera may take over once the one sending has been silent this long.
const double kCameraSilence = 2.0;

class PoseRelay
{
public:
  using Publish = std::function<void(const nao_kinora_msgs::PersonPose&)>;
  explicit PoseRelay(Publish publish) : publish_(std::move(publish)) {}

  struct Outcome
  {
    bool refused = false;  // another camera is sending: nothing was taken
    int published = 0;
    int dropped = 0;  // too close to the one before, too old, out of order, or before ROS time runs
  };
  // now: ROS time as the batch arrived; wallNow: wall seconds, for the
  // silence of a camera.
  Outcome take(const PoseBatch& batch, const ros::Time& now, double wallNow);

private:
  Publish publish_;
  std::mutex mutex_;
  std::string stream_;        // the camera sending
  double heard_ = -1e9;       // wall seconds of its last batch
  double lastFrame_ = -1e18;  // page time of its last frame published
  ros::Time lastStamp_;
};
}  // namespace nao_kinora_console

#endif  // NAO_KINORA_CONSOLE_POSE_RELAY_H
