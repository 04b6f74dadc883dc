// The tablet camera's landmarks as the console receives them: a batch of
// frames in one POST body, parsed once with every field checked, and a
// frame turned into the person's own frame.
//
//   {"stream": "k3f9", "sent": 5120.5,
//    "frames": [{"time": 5087.2, "in_view": true, "landmarks": [[x, y, z, visibility], ... 33]}]}
//
// Times are the page's clock in milliseconds (performance.now()); landmarks
// are MediaPipe Pose's world landmarks: metres, origin between the hips, x to
// the image's right, y down, z away from the camera.
#ifndef NAO_KINORA_CONSOLE_POSE_BATCH_H
#define NAO_KINORA_CONSOLE_POSE_BATCH_H

#include "nao_kinora_console/http/request_rules.h"

#include <nao_kinora_msgs/PersonPose.h>

#include <array>
#include <cstddef>
#include <string>
#include <vector>

namespace nao_kinora_console
{
// Frames in one batch: a third of a second at 30 frames a second, with room
// for a page that fell behind.
const std::size_t kMaxPoseFrames = 15;
// A body's limit, kMaxPoseBody (request_rules.h), holds 15 frames of 33
// landmarks of 4 numbers with 4 decimals each: about 18 kB.
const std::size_t kLandmarkCount = nao_kinora_msgs::PersonPose::LANDMARK_COUNT;

struct PoseFrame
{
  double time = 0;  // the page's clock, ms
  bool inView = false;
  // x, y, z (MediaPipe's world frame, metres) and visibility (0 to 1); all
  // 33 when in view, none otherwise.
  std::vector<std::array<double, 4>> landmarks;
};

struct PoseBatch
{
  std::string stream;             // the page's camera run: new each time its camera starts
  double sent = 0;                // the page's clock when the batch was sent, ms
  std::vector<PoseFrame> frames;  // oldest first
};

// "" and the batch, or the first field at fault, named ("frames[2].time:
// ..."): never an exception, whatever the body holds.
std::string parsePoseBatch(const std::string& body, PoseBatch& batch);

// The frame in the person's frame (x the way the person faces, y to their
// left, z up): the camera faces the person, so toward the camera is -z,
// the image's right is the person's left, and up is -y.
nao_kinora_msgs::PersonPose personPose(const PoseFrame& frame);
}  // namespace nao_kinora_console

#endif  // NAO_KINORA_CONSOLE_POSE_BATCH_H
