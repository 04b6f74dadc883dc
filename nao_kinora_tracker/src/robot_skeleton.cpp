#include "nao_kinora_tracker/robot_skeleton.h"

#include <cmath>

namespace nao_kinora_tracker
{
namespace
{
// A rotation as its three columns.
struct Rot
{
  Vec3 c0 = vec(1, 0, 0), c1 = vec(0, 1, 0), c2 = vec(0, 0, 1);
};

Vec3 apply(const Rot& r, const Vec3& v)
{
  return v.x * r.c0 + v.y * r.c1 + v.z * r.c2;
}

// r followed by a rotation of angle about the unit axis k of r's frame.
Rot then(const Rot& r, const Vec3& k, double angle)
{
  Rot out;
  out.c0 = apply(r, rotate(vec(1, 0, 0), k, angle));
  out.c1 = apply(r, rotate(vec(0, 1, 0), k, angle));
  out.c2 = apply(r, rotate(vec(0, 0, 1), k, angle));
  return out;
}

const Vec3 kX = vec(1, 0, 0), kY = vec(0, 1, 0), kZ = vec(0, 0, 1);

// The robot's frames and columns (the recordings' column order).
struct ArmChain
{
  int pitch, roll, elbowYaw, elbowRoll;
  Vec3 shoulder, elbow;  // offsets: torso to shoulder, shoulder roll to elbow
  int shoulderMark, elbowMark, wristMark;
};
const double kWrist = 0.05595;  // along the forearm from the elbow roll joint
const ArmChain kArms[2] = {
    {2, 3, 4, 5, vec(0, 0.098, 0.100), vec(0.105, 0.015, 0), kLeftShoulder, kLeftElbow, kLeftWrist},
    {6, 7, 8, 9, vec(0, -0.098, 0.100), vec(0.105, -0.015, 0), kRightShoulder, kRightElbow, kRightWrist},
};

struct LegChain
{
  int yawPitch, roll, pitch, knee;
  Vec3 hip, yawPitchAxis;
  int hipMark, kneeMark, ankleMark;
};
const double kThigh = 0.100, kShank = 0.1029;
const LegChain kLegs[2] = {
    {10, 11, 12, 13, vec(0, 0.050, -0.085), vec(0, 0.7071, -0.7071), kLeftHip, kLeftKnee, kLeftAnkle},
    {16, 17, 18, 19, vec(0, -0.050, -0.085), vec(0, 0.7071, 0.7071), kRightHip, kRightKnee, kRightAnkle},
};
}  // namespace

Skeleton robotSkeleton(const nao_kinora::JointRow& row)
{
  Skeleton s;
  for (const ArmChain& a : kArms)
  {
    const Rot shoulder = then(then(Rot(), kY, row[a.pitch]), kZ, row[a.roll]);
    const Rot forearm = then(then(shoulder, kX, row[a.elbowYaw]), kZ, row[a.elbowRoll]);
    s.points[a.shoulderMark] = a.shoulder;
    s.points[a.elbowMark] = a.shoulder + apply(shoulder, a.elbow);
    s.points[a.wristMark] = s.points[a.elbowMark] + apply(forearm, vec(kWrist, 0, 0));
    s.visibility[a.shoulderMark] = s.visibility[a.elbowMark] = s.visibility[a.wristMark] = 1.0;
  }
  for (const LegChain& l : kLegs)
  {
    const Rot thigh = then(then(then(Rot(), unit(l.yawPitchAxis), row[l.yawPitch]), kX, row[l.roll]), kY, row[l.pitch]);
    const Rot shank = then(thigh, kY, row[l.knee]);
    s.points[l.hipMark] = l.hip;
    s.points[l.kneeMark] = l.hip + apply(thigh, vec(0, 0, -kThigh));
    s.points[l.ankleMark] = s.points[l.kneeMark] + apply(shank, vec(0, 0, -kShank));
    s.visibility[l.hipMark] = s.visibility[l.kneeMark] = s.visibility[l.ankleMark] = 1.0;
  }
  return s;
}

BodyAngles robotAngles(const nao_kinora::JointRow& row)
{
  return measureAngles(robotSkeleton(row), 0.5);
}
}  // namespace nao_kinora_tracker
