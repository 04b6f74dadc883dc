// The robot's body as a skeleton: forward kinematics of the NAO's arms and
// legs from a recording's joint row, placing the landmarks a person would
// show at the robot's shoulders, elbows, wrists, hips, knees and ankles (in
// the robot's torso frame: x forward, y left, z up; metres). Its anatomical
// angles then come from the same measureAngles as a person's.
#ifndef NAO_KINORA_TRACKER_ROBOT_SKELETON_H
#define NAO_KINORA_TRACKER_ROBOT_SKELETON_H

#include "nao_kinora_tracker/body_angles.h"

#include <nao_kinora/joint_row.h>

namespace nao_kinora_tracker
{
// The twelve landmarks above with visibility 1; the others (face, hands,
// feet) with visibility 0.
Skeleton robotSkeleton(const nao_kinora::JointRow& row);

// measureAngles of robotSkeleton: every joint seen.
BodyAngles robotAngles(const nao_kinora::JointRow& row);
}  // namespace nao_kinora_tracker

#endif  // NAO_KINORA_TRACKER_ROBOT_SKELETON_H
