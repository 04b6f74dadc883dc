// A person's anatomical joint angles from the directions of the landmarks of
// a skeleton (the 33 landmarks of nao_kinora_msgs/PersonPose), measured in
// the person's own torso frame. A joint whose landmarks are hidden is flagged
// not seen; nothing is guessed.
#ifndef NAO_KINORA_TRACKER_BODY_ANGLES_H
#define NAO_KINORA_TRACKER_BODY_ANGLES_H

#include "nao_kinora_tracker/vec3.h"

#include <array>
#include <string>

namespace nao_kinora_tracker
{
const int kLandmarkCount = 33;

// The landmarks this library reads, in PersonPose's order (MediaPipe Pose's).
enum Landmark
{
  kNose = 0,
  kLeftShoulder = 11,
  kRightShoulder = 12,
  kLeftElbow = 13,
  kRightElbow = 14,
  kLeftWrist = 15,
  kRightWrist = 16,
  kLeftHip = 23,
  kRightHip = 24,
  kLeftKnee = 25,
  kRightKnee = 26,
  kLeftAnkle = 27,
  kRightAnkle = 28,
};

struct Skeleton
{
  std::array<Vec3, kLandmarkCount> points{};
  std::array<double, kLandmarkCount> visibility{};  // 0 to 1
};

// The twelve anatomical joints, left before right. Names are the ones the
// results carry.
enum Joint
{
  kLeftShoulderFlexion,
  kRightShoulderFlexion,
  kLeftShoulderAbduction,
  kRightShoulderAbduction,
  kLeftElbowFlexion,
  kRightElbowFlexion,
  kLeftHipFlexion,
  kRightHipFlexion,
  kLeftHipAbduction,
  kRightHipAbduction,
  kLeftKneeFlexion,
  kRightKneeFlexion,
  kJointCount
};

const char* jointName(int joint);  // e.g. "left shoulder flexion"; null outside 0..11
bool isLeft(int joint);
int otherSide(int joint);  // the same joint of the other side

// One skeleton's angles in degrees. seen: the joint's landmarks were all
// visible. measured: seen, and the angle is defined in this pose (a flexion
// or abduction angle is a projection on a plane, undefined while the limb
// points almost along that plane's normal: see kMinProjection).
struct BodyAngles
{
  std::array<double, kJointCount> degrees{};
  std::array<bool, kJointCount> seen{};
  std::array<bool, kJointCount> measured{};
};

// A flexion or abduction angle needs the limb's direction projected on its
// plane to be at least this long (the limb within about 76 degrees of the plane).
const double kMinProjection = 0.25;

// The torso frame: forward, to the person's left, up.
struct TorsoFrame
{
  Vec3 forward = vec(1, 0, 0);
  Vec3 left = vec(0, 1, 0);
  Vec3 up = vec(0, 0, 1);
};

// From the shoulders and the hips: up from mid-hips to mid-shoulders, left
// from the right shoulder and hip to the left ones, forward completing a
// right-handed frame. False when one of the four is not visible.
bool torsoFrame(const Skeleton& skeleton, double minVisibility, TorsoFrame& frame);

BodyAngles measureAngles(const Skeleton& skeleton, double minVisibility);

// A limb's direction (unit, torso frame) for a flexion and an abduction angle
// (degrees) of a side (+1 left, -1 right): the inverse of the two projections
// measureAngles makes, exact when both angles lie on the same side of 90.
Vec3 limbDirection(const TorsoFrame& torso, double side, double flexionDegrees, double abductionDegrees);

// The plane a limb bends in: p1, the reference perpendicular to the upper
// segment (forward for an arm, backward for a leg, up or down when the limb
// points that way); p2, perpendicular to both, to the outside. The lower
// segment of a bend of angle e and twist w is cos e * upper + sin e *
// (cos w * p1 + sin w * p2).
void bendPlane(const TorsoFrame& torso, double side, bool arm, const Vec3& upper, Vec3& p1, Vec3& p2);

// The twist (degrees) of a lower segment about its upper one, as bendPlane
// measures it; 0 for a straight limb.
double bendTwist(const TorsoFrame& torso, double side, bool arm, const Vec3& upper, const Vec3& lower);
}  // namespace nao_kinora_tracker

#endif  // NAO_KINORA_TRACKER_BODY_ANGLES_H
