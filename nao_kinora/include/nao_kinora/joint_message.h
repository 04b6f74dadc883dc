// The joint message on "jointAngleArray": the marker 1.0, the 22 joint
// angles, the row's duration. The node encodes it; the simulated robot and
// the console decode it, all through these two functions.
#ifndef NAO_KINORA_JOINT_MESSAGE_H
#define NAO_KINORA_JOINT_MESSAGE_H

#include "nao_kinora/joint_row.h"

#include <std_msgs/Float32MultiArray.h>

#include <cstddef>
#include <string>
#include <vector>

namespace nao_kinora
{
const float kJointMessageMarker = 1.0f;
const std::size_t kJointMessageSize = kRowColumns + 1;

std_msgs::Float32MultiArray encodeJointMessage(const JointRow& row);

// Reads a joint message into row. Returns "" when it is well formed, else what
// is wrong with it (size, marker, a joint or duration that is not a number, a
// negative duration). row is filled whenever the size is right.
std::string decodeJointMessage(const std::vector<float>& data, JointRow& row);
}  // namespace nao_kinora

#endif  // NAO_KINORA_JOINT_MESSAGE_H
