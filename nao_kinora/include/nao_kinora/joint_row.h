// The vocabulary of a recording: the joint row, its columns and the joints'
// names. Every package that reads or sends rows uses this, and nothing here
// touches the node's run state.
#ifndef NAO_KINORA_JOINT_ROW_H
#define NAO_KINORA_JOINT_ROW_H

#include <boost/array.hpp>

#include <string>

namespace nao_kinora
{
const int kJointCount = 22;  // columns 0..21: joint angles
const int kRowColumns = 23;  // plus column 22: the row's duration in seconds
const int kDurationColumn = 22;

typedef boost::array<float, kRowColumns> JointRow;

// The name of joint column index, e.g. "headyaw" for 0; null outside 0..21.
// Recordings hold the joints in the order of the nao_msgs/AllAngles fields
// 0..21, and so do these names.
const char* jointName(int index);

// The robot's own name of joint column 0..21 ("HeadYaw" for 0), as a robot
// bridge names it on sensor_msgs/JointState; null outside.
const char* robotJointName(int column);

// The joint column of a robot joint name; -1 for any name that is not one of
// the 22 (wrists, hands, wheels...). Names are compared exactly.
int robotJointColumn(const std::string& name);
}  // namespace nao_kinora

#endif  // NAO_KINORA_JOINT_ROW_H
