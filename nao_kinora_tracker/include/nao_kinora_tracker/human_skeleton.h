// Forward kinematics of a human skeleton of adult proportions: the 33
// landmarks (PersonPose's) a person in a given pose shows, in the person's
// frame (origin mid-hips, x forward, y left, z up; metres). The simulated
// patient poses it, and tests make known poses with it.
#ifndef NAO_KINORA_TRACKER_HUMAN_SKELETON_H
#define NAO_KINORA_TRACKER_HUMAN_SKELETON_H

#include "nao_kinora_tracker/body_angles.h"

namespace nao_kinora_tracker
{
// A pose: the twelve anatomical angles (degrees, as measureAngles defines
// them) and, per limb, the twist of the bend (bendTwist: left arm, right
// arm, left leg, right leg), which places a wrist or an ankle without
// changing any of the twelve.
struct HumanPose
{
  std::array<double, kJointCount> degrees{};
  std::array<double, 4> twist{};
};

enum Limb
{
  kLeftArm,
  kRightArm,
  kLeftLeg,
  kRightLeg
};

// Standing upright, arms hanging, knees straight.
HumanPose standingPose();

// Every landmark of the pose, visibility 1.
Skeleton humanSkeleton(const HumanPose& pose);
}  // namespace nao_kinora_tracker

#endif  // NAO_KINORA_TRACKER_HUMAN_SKELETON_H
