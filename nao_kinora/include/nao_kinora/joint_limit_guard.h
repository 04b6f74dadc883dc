// ~joint_limits: whether the robot's joint limits (joint_limits.h) are in
// force for this session, and what the node refuses when they are: a
// recording that breaks them at the speed in force (at start-up, and again
// when its turn comes, in case the file changed), and a ~set_speed at which a
// recording still to play would. With ~joint_limits false, the default,
// nothing here refuses anything and no table is kept.
//
// The recordings' speed bounds are written by the main thread and read by
// the operator's thread, under a lock of their own.
#ifndef NAO_KINORA_JOINT_LIMIT_GUARD_H
#define NAO_KINORA_JOINT_LIMIT_GUARD_H

#include "nao_kinora/joint_row.h"
#include "nao_kinora/operator_state.h"

#include <string>
#include <vector>

namespace nao_kinora
{
// Reads the private parameter ~joint_limits (true or false), when given.
// False, with one error naming it, for anything else.
bool readJointLimitsParam();

bool jointLimitsInForce();
void setJointLimitsInForce(bool inForce);

// The recording at place (1-based in the full session), file name as given
// and path as read, with its rows as loadRecording stores them: when the
// limits are in force, checked at speed and its speed bounds kept for
// speedRefusal. False, with one error naming the file, the first row and
// joint at fault, the value and the limit (and how many more faults follow),
// when it breaks them; it then counts as not played.
bool admitRecording(int place, const std::string& name, const std::string& path, const std::vector<JointRow>& rows,
                    double speed);

// Why speed cannot be set with the session at w, naming the recording, row and
// joint that would go too fast and the highest speed it allows; "" when the
// limits are not in force or every row still to play allows it. The rows
// still to play: those after w.row in the recording that is opening or
// playing, and every recording after it (after w.recording in other phases).
std::string speedRefusal(double speed, const Where& w);

// Forgets every recording's bounds and takes the limits out of force (tests).
void resetJointLimitGuard();
}  // namespace nao_kinora

#endif  // NAO_KINORA_JOINT_LIMIT_GUARD_H
