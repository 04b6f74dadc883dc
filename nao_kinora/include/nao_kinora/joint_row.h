// The vocabulary of a recording: the joint row, its columns and the joints'
// names. Every package that reads or sends rows uses this, and nothing here
// touches the node's run state.
#ifndef NAO_KINORA_JOINT_ROW_H
#define NAO_KINORA_JOINT_ROW_H

#include <boost/array.hpp>

namespace nao_kinora
{
const int kJointCount = 22;       // columns 0..21: joint angles
const int kRowColumns = 23;       // plus column 22: the row's duration in seconds
const int kDurationColumn = 22;

typedef boost::array<float, kRowColumns> JointRow;

// The name of joint column index, e.g. "headyaw" for 0; null outside 0..21.
// Recordings hold the joints in the order of the nao_msgs/AllAngles fields
// 0..21, and so do these names.
const char* jointName(int index);
}  // namespace nao_kinora

#endif  // NAO_KINORA_JOINT_ROW_H
