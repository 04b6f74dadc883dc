#include "nao_kinora_tracker/body_angles.h"

#include <algorithm>

namespace nao_kinora_tracker
{
namespace
{
const char* const kNames[kJointCount] = {
    "left shoulder flexion", "right shoulder flexion", "left shoulder abduction", "right shoulder abduction",
    "left elbow flexion",    "right elbow flexion",    "left hip flexion",        "right hip flexion",
    "left hip abduction",    "right hip abduction",    "left knee flexion",       "right knee flexion",
};

// Below this a segment is a point: the limb has no direction.
const double kShortestSegment = 1e-6;
// A bend smaller than this has no plane to twist in.
const double kStraight = 1e-6;

bool visible(const Skeleton& s, double minVisibility, std::initializer_list<int> landmarks)
{
  return std::all_of(landmarks.begin(), landmarks.end(), [&](int l) { return s.visibility[l] >= minVisibility; });
}

double angleBetween(const Vec3& a, const Vec3& b)
{
  return degrees(std::acos(std::max(-1.0, std::min(1.0, dot(unit(a), unit(b))))));
}

// Flexion (sagittal plane) and abduction (frontal plane) of a limb whose
// upper segment points along d, as projections measured from straight down.
void elevation(const TorsoFrame& torso, double side, const Vec3& d, int flexion, int abduction, BodyAngles& out)
{
  const Vec3 u = unit(d);
  const double f = dot(u, torso.forward), s = side * dot(u, torso.left), down = -dot(u, torso.up);
  out.seen[flexion] = out.seen[abduction] = true;
  if (std::hypot(f, down) >= kMinProjection)
  {
    out.degrees[flexion] = degrees(std::atan2(f, down));
    out.measured[flexion] = true;
  }
  if (std::hypot(s, down) >= kMinProjection)
  {
    out.degrees[abduction] = degrees(std::atan2(s, down));
    out.measured[abduction] = true;
  }
}

void bend(const Vec3& upper, const Vec3& lower, int joint, BodyAngles& out)
{
  out.seen[joint] = true;
  if (norm(upper) < kShortestSegment || norm(lower) < kShortestSegment)
    return;
  out.degrees[joint] = angleBetween(upper, lower);
  out.measured[joint] = true;
}

struct Side
{
  double sign;
  int shoulder, elbow, wrist, hip, knee, ankle;
  int shoulderFlexion, shoulderAbduction, elbowFlexion, hipFlexion, hipAbduction, kneeFlexion;
};

const Side kSides[2] = {
    {1.0, kLeftShoulder, kLeftElbow, kLeftWrist, kLeftHip, kLeftKnee, kLeftAnkle, kLeftShoulderFlexion,
     kLeftShoulderAbduction, kLeftElbowFlexion, kLeftHipFlexion, kLeftHipAbduction, kLeftKneeFlexion},
    {-1.0, kRightShoulder, kRightElbow, kRightWrist, kRightHip, kRightKnee, kRightAnkle, kRightShoulderFlexion,
     kRightShoulderAbduction, kRightElbowFlexion, kRightHipFlexion, kRightHipAbduction, kRightKneeFlexion},
};
}  // namespace

const char* jointName(int joint)
{
  return joint >= 0 && joint < kJointCount ? kNames[joint] : nullptr;
}

bool isLeft(int joint)
{
  return joint % 2 == 0;
}

int otherSide(int joint)
{
  return isLeft(joint) ? joint + 1 : joint - 1;
}

bool torsoFrame(const Skeleton& s, double minVisibility, TorsoFrame& frame)
{
  if (!visible(s, minVisibility, {kLeftShoulder, kRightShoulder, kLeftHip, kRightHip}))
    return false;
  const Vec3 midHip = 0.5 * (s.points[kLeftHip] + s.points[kRightHip]);
  const Vec3 midShoulder = 0.5 * (s.points[kLeftShoulder] + s.points[kRightShoulder]);
  const Vec3 up = unit(midShoulder - midHip);
  const Vec3 across = (s.points[kLeftShoulder] - s.points[kRightShoulder]) + (s.points[kLeftHip] - s.points[kRightHip]);
  const Vec3 left = unit(across - dot(across, up) * up);
  if (norm(up) < kShortestSegment || norm(left) < kShortestSegment)
    return false;
  frame.up = up;
  frame.left = left;
  frame.forward = cross(left, up);
  return true;
}

BodyAngles measureAngles(const Skeleton& s, double minVisibility)
{
  BodyAngles out;
  TorsoFrame torso;
  const bool haveTorso = torsoFrame(s, minVisibility, torso);
  for (const Side& side : kSides)
  {
    const Vec3 upperArm = s.points[side.elbow] - s.points[side.shoulder];
    const Vec3 thigh = s.points[side.knee] - s.points[side.hip];
    if (haveTorso && visible(s, minVisibility, {side.elbow}))
      elevation(torso, side.sign, upperArm, side.shoulderFlexion, side.shoulderAbduction, out);
    if (haveTorso && visible(s, minVisibility, {side.knee}))
      elevation(torso, side.sign, thigh, side.hipFlexion, side.hipAbduction, out);
    if (visible(s, minVisibility, {side.shoulder, side.elbow, side.wrist}))
      bend(upperArm, s.points[side.wrist] - s.points[side.elbow], side.elbowFlexion, out);
    if (visible(s, minVisibility, {side.hip, side.knee, side.ankle}))
      bend(thigh, s.points[side.ankle] - s.points[side.knee], side.kneeFlexion, out);
  }
  return out;
}

Vec3 limbDirection(const TorsoFrame& torso, double side, double flexionDegrees, double abductionDegrees)
{
  const double f = radians(flexionDegrees), a = radians(abductionDegrees);
  // Components whose projections give back atan2(forward, down) = f and
  // atan2(outward, down) = a.
  const double forward = std::sin(f) * std::fabs(std::cos(a));
  const double outward = std::sin(a) * std::fabs(std::cos(f));
  const double down = std::cos(f) * std::fabs(std::cos(a));
  Vec3 d = forward * torso.forward + (side * outward) * torso.left - down * torso.up;
  if (norm(d) < kShortestSegment)  // both at 90: straight out between the planes
    d = std::sin(f) * torso.forward + (side * std::sin(a)) * torso.left;
  return unit(d);
}

void bendPlane(const TorsoFrame& torso, double side, bool arm, const Vec3& upper, Vec3& p1, Vec3& p2)
{
  const Vec3 u = unit(upper);
  Vec3 ref = arm ? torso.forward : -1.0 * torso.forward;
  Vec3 perp = ref - dot(ref, u) * u;
  if (norm(perp) < 0.1)  // the limb points along the reference: bend toward up instead
  {
    ref = arm ? torso.up : -1.0 * torso.up;
    perp = ref - dot(ref, u) * u;
  }
  p1 = unit(perp);
  p2 = unit((-side) * cross(u, p1));
}

double bendTwist(const TorsoFrame& torso, double side, bool arm, const Vec3& upper, const Vec3& lower)
{
  Vec3 p1, p2;
  bendPlane(torso, side, arm, upper, p1, p2);
  const Vec3 u = unit(upper);
  const Vec3 off = unit(lower) - dot(unit(lower), u) * u;
  if (norm(off) < kStraight)
    return 0.0;
  return degrees(std::atan2(dot(off, p2), dot(off, p1)));
}
}  // namespace nao_kinora_tracker
