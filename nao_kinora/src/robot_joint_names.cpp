#include "nao_kinora/robot_joint_names.h"

#include "nao_kinora/joint_row.h"

namespace nao_kinora
{
namespace
{
// In the columns' order, which jointName() gives in the recordings' own words.
const char* const kRobotJointNames[kJointCount] = {
  "HeadYaw",        "HeadPitch",
  "LShoulderPitch", "LShoulderRoll", "LElbowYaw",   "LElbowRoll",
  "RShoulderPitch", "RShoulderRoll", "RElbowYaw",   "RElbowRoll",
  "LHipYawPitch",   "LHipRoll",      "LHipPitch",   "LKneePitch", "LAnklePitch", "LAnkleRoll",
  "RHipYawPitch",   "RHipRoll",      "RHipPitch",   "RKneePitch", "RAnklePitch", "RAnkleRoll",
};
}  // namespace

const char* robotJointName(int column)
{
  if (column < 0 || column >= kJointCount)
    return 0;
  return kRobotJointNames[column];
}

int robotJointColumn(const std::string& name)
{
  for (int column = 0; column < kJointCount; ++column)
    if (name == kRobotJointNames[column])
      return column;
  return -1;
}
}  // namespace nao_kinora
