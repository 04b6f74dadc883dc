// Names of the joints in columns 0..21 of a joint row. Recordings hold them in
// the order of the nao_msgs/AllAngles fields 0..21, and so do these names.
#ifndef NAO_KINORA_JOINT_NAMES_H
#define NAO_KINORA_JOINT_NAMES_H

namespace nao_kinora
{
// The name of joint column index, e.g. "headyaw" for 0; null outside 0..21.
const char* jointName(int index);
}  // namespace nao_kinora

#endif  // NAO_KINORA_JOINT_NAMES_H
