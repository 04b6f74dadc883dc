#include "nao_kinora_tracker/human_skeleton.h"

namespace nao_kinora_tracker
{
namespace
{
// An adult of about 1.75 m, in metres.
const double kHalfHipWidth = 0.10;
const double kHalfShoulderWidth = 0.19;
const double kShoulderHeight = 0.52;  // above mid-hips
const double kUpperArm = 0.30;
const double kForearm = 0.27;
const double kThigh = 0.44;
const double kShank = 0.43;
const double kHandReach = 0.09;   // wrist to the index finger's knuckle
const double kHandWidth = 0.035;  // from the hand's line to the pinky or the thumb
const double kHeel = 0.06;        // ankle to the sole
const double kHeelBack = 0.05;
const double kToe = 0.15;

struct Face
{
  int landmark;
  double x, y, z;  // relative to mid-shoulders
};
const Face kFace[] = {
    {0, 0.10, 0.0, 0.20},     {1, 0.085, 0.015, 0.23}, {2, 0.08, 0.03, 0.23},     {3, 0.075, 0.045, 0.23},
    {4, 0.085, -0.015, 0.23}, {5, 0.08, -0.03, 0.23},  {6, 0.075, -0.045, 0.23},  {7, 0.0, 0.075, 0.21},
    {8, 0.0, -0.075, 0.21},   {9, 0.085, 0.025, 0.17}, {10, 0.085, -0.025, 0.17},
};

// Landmarks of one side: shoulder, elbow, wrist, pinky, index, thumb, hip,
// knee, ankle, heel, foot index.
struct SideMarks
{
  double sign;
  int shoulder, elbow, wrist, pinky, index, thumb, hip, knee, ankle, heel, foot;
  int shoulderFlexion, shoulderAbduction, elbowFlexion, hipFlexion, hipAbduction, kneeFlexion;
  int arm, leg;
};
const SideMarks kSides[2] = {
    {1.0,
     11,
     13,
     15,
     17,
     19,
     21,
     23,
     25,
     27,
     29,
     31,
     kLeftShoulderFlexion,
     kLeftShoulderAbduction,
     kLeftElbowFlexion,
     kLeftHipFlexion,
     kLeftHipAbduction,
     kLeftKneeFlexion,
     kLeftArm,
     kLeftLeg},
    {-1.0,
     12,
     14,
     16,
     18,
     20,
     22,
     24,
     26,
     28,
     30,
     32,
     kRightShoulderFlexion,
     kRightShoulderAbduction,
     kRightElbowFlexion,
     kRightHipFlexion,
     kRightHipAbduction,
     kRightKneeFlexion,
     kRightArm,
     kRightLeg},
};

// The lower segment's direction for a bend of e degrees and a twist of w.
Vec3 bent(const TorsoFrame& torso, double side, bool arm, const Vec3& upper, double e, double w)
{
  Vec3 p1, p2;
  bendPlane(torso, side, arm, upper, p1, p2);
  const double er = radians(e), wr = radians(w);
  return unit(std::cos(er) * upper + std::sin(er) * (std::cos(wr) * p1 + std::sin(wr) * p2));
}
}  // namespace

HumanPose standingPose()
{
  return HumanPose();
}

Skeleton humanSkeleton(const HumanPose& pose)
{
  Skeleton s;
  const TorsoFrame torso;
  const Vec3 midShoulder = vec(0, 0, kShoulderHeight);
  for (const Face& f : kFace)
    s.points[f.landmark] = midShoulder + vec(f.x, f.y, f.z);
  for (const SideMarks& m : kSides)
  {
    const double side = m.sign;
    const auto& d = pose.degrees;
    s.points[m.shoulder] = vec(0, side * kHalfShoulderWidth, kShoulderHeight);
    const Vec3 upperArm = limbDirection(torso, side, d[m.shoulderFlexion], d[m.shoulderAbduction]);
    s.points[m.elbow] = s.points[m.shoulder] + kUpperArm * upperArm;
    const Vec3 forearm = bent(torso, side, true, upperArm, d[m.elbowFlexion], pose.twist[m.arm]);
    s.points[m.wrist] = s.points[m.elbow] + kForearm * forearm;
    Vec3 p1, p2;
    bendPlane(torso, side, true, forearm, p1, p2);
    s.points[m.index] = s.points[m.wrist] + kHandReach * forearm;
    s.points[m.pinky] = s.points[m.index] + kHandWidth * p2 - 0.01 * forearm;
    s.points[m.thumb] = s.points[m.wrist] + 0.5 * kHandReach * forearm - kHandWidth * p2;

    s.points[m.hip] = vec(0, side * kHalfHipWidth, 0);
    const Vec3 thigh = limbDirection(torso, side, d[m.hipFlexion], d[m.hipAbduction]);
    s.points[m.knee] = s.points[m.hip] + kThigh * thigh;
    const Vec3 shank = bent(torso, side, false, thigh, d[m.kneeFlexion], pose.twist[m.leg]);
    s.points[m.ankle] = s.points[m.knee] + kShank * shank;
    s.points[m.heel] = s.points[m.ankle] + kHeel * shank - kHeelBack * torso.forward;
    s.points[m.foot] = s.points[m.ankle] + kHeel * shank + kToe * torso.forward;
  }
  s.visibility.fill(1.0);
  return s;
}
}  // namespace nao_kinora_tracker
