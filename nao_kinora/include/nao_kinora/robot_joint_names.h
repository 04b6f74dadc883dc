// The robot's own names of the 22 joint columns ("HeadYaw" for column 0), as a
// robot bridge names them on sensor_msgs/JointState: the recorder reads joints
// by these names and the simulated robot publishes them.
#ifndef NAO_KINORA_ROBOT_JOINT_NAMES_H
#define NAO_KINORA_ROBOT_JOINT_NAMES_H

#include <string>

namespace nao_kinora
{
// The robot's name of joint column 0..21; null outside.
const char* robotJointName(int column);

// The joint column of a robot joint name; -1 for any name that is not one of
// the 22 (wrists, hands, wheels...). Names are compared exactly.
int robotJointColumn(const std::string& name);
}  // namespace nao_kinora

#endif  // NAO_KINORA_ROBOT_JOINT_NAMES_H
