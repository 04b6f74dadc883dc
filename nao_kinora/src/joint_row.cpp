#include "nao_kinora/joint_row.h"

namespace nao_kinora
{
namespace
{
struct JointNames
{
  const char* recording;  // the recordings' own words
  const char* robot;      // the robot's, as a robot bridge names its joint states
};

const JointNames kJointNames[kJointCount] = {
    {"headyaw", "HeadYaw"},
    {"headpitch", "HeadPitch"},
    {"leftshoulderpitch", "LShoulderPitch"},
    {"leftshoulderroll", "LShoulderRoll"},
    {"leftelbowyaw", "LElbowYaw"},
    {"leftelbowroll", "LElbowRoll"},
    {"rightshoulderpitch", "RShoulderPitch"},
    {"rightshoulderroll", "RShoulderRoll"},
    {"rightelbowyaw", "RElbowYaw"},
    {"rightelbowroll", "RElbowRoll"},
    {"lefthipyawpitch", "LHipYawPitch"},
    {"lefthiproll", "LHipRoll"},
    {"lefthippitch", "LHipPitch"},
    {"leftkneepitch", "LKneePitch"},
    {"leftanklepitch", "LAnklePitch"},
    {"leftankleroll", "LAnkleRoll"},
    {"righthipyawpitch", "RHipYawPitch"},
    {"righthiproll", "RHipRoll"},
    {"righthippitch", "RHipPitch"},
    {"rightkneepitch", "RKneePitch"},
    {"rightanklepitch", "RAnklePitch"},
    {"rightankleroll", "RAnkleRoll"},
};
}  // namespace

const char* jointName(int index)
{
  if (index < 0 || index >= kJointCount)
    return 0;
  return kJointNames[index].recording;
}

const char* robotJointName(int column)
{
  if (column < 0 || column >= kJointCount)
    return 0;
  return kJointNames[column].robot;
}

int robotJointColumn(const std::string& name)
{
  for (int column = 0; column < kJointCount; ++column)
    if (name == kJointNames[column].robot)
      return column;
  return -1;
}
}  // namespace nao_kinora
