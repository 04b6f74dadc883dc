#include "nao_kinora_tracker/patient_motion.h"

#include "nao_kinora_tracker/robot_skeleton.h"

#include <cmath>

namespace nao_kinora_tracker
{
namespace
{
// Degrees from the final pose within which the patient has finished moving.
const double kSettled = 1.0;

// The robot's pose as anatomical angles and limb twists. An angle the row
// leaves undefined (a limb along a plane's normal) keeps its last value.
HumanPose robotPose(const nao_kinora::JointRow& row, const HumanPose& last)
{
  const Skeleton s = robotSkeleton(row);
  const BodyAngles a = measureAngles(s, 0.5);
  HumanPose pose;
  for (int j = 0; j < kJointCount; ++j)
    pose.degrees[j] = a.measured[j] ? a.degrees[j] : last.degrees[j];
  const TorsoFrame torso;
  const int marks[4][3] = {{kLeftShoulder, kLeftElbow, kLeftWrist},
                           {kRightShoulder, kRightElbow, kRightWrist},
                           {kLeftHip, kLeftKnee, kLeftAnkle},
                           {kRightHip, kRightKnee, kRightAnkle}};
  for (int limb = 0; limb < 4; ++limb)
  {
    const double side = limb % 2 == 0 ? 1.0 : -1.0;
    const Vec3 upper = s.points[marks[limb][1]] - s.points[marks[limb][0]];
    const Vec3 lower = s.points[marks[limb][2]] - s.points[marks[limb][1]];
    pose.twist[limb] = bendTwist(torso, side, limb < 2, upper, lower);
  }
  return pose;
}
}  // namespace

PatientMotion::PatientMotion(const PatientStyle& style) : style_(style), random_(style.seed) {}

void PatientMotion::startExercise()
{
  rows_.clear();
}

void PatientMotion::addRobotRow(double t, const nao_kinora::JointRow& row)
{
  lastRobot_ = robotPose(row, lastRobot_);
  const HumanPose robot = follow(lastRobot_);
  // The robot holds its first row while both get into the starting pose: the
  // patient takes it at once, and lags only in following the motion.
  const bool first = rows_.empty();
  if (first)
    rest_ = robot;
  rows_.push_back({first ? t : t + style_.delaySeconds, robot});
}

HumanPose PatientMotion::follow(const HumanPose& robot) const
{
  const bool mirrored = style_.mirror != style_.swapSides;
  HumanPose pose;
  for (int j = 0; j < kJointCount; ++j)
    pose.degrees[j] = robot.degrees[mirrored ? otherSide(j) : j];
  for (int limb = 0; limb < 4; ++limb)
    pose.twist[limb] = robot.twist[mirrored ? (limb ^ 1) : limb];
  return pose;
}

HumanPose PatientMotion::poseAt(double t)
{
  if (!style_.still)
  {
    const Row* due = nullptr;
    for (const Row& r : rows_)
      if (r.t <= t)
        due = &r;
    if (due)
    {
      for (int j = 0; j < kJointCount; ++j)
        current_.degrees[j] = rest_.degrees[j] + style_.amplitude * (due->pose.degrees[j] - rest_.degrees[j]);
      current_.twist = due->pose.twist;
    }
  }
  HumanPose noisy = current_;
  if (style_.noiseDegrees > 0.0)
  {
    std::normal_distribution<double> noise(0.0, style_.noiseDegrees);
    for (double& d : noisy.degrees)
      d += noise(random_);
  }
  return noisy;
}

double PatientMotion::lastMoveAt() const
{
  if (rows_.empty() || style_.still)
    return -1.0;
  // The first row from which the patient stays within kSettled of their
  // final pose: recordings end with the robot at rest for a while.
  const HumanPose& last = rows_.back().pose;
  size_t settled = rows_.size() - 1;
  while (settled > 0)
  {
    const HumanPose& p = rows_[settled - 1].pose;
    bool near = true;
    for (int j = 0; j < kJointCount; ++j)
      near = near && style_.amplitude * std::fabs(p.degrees[j] - last.degrees[j]) <= kSettled;
    if (!near)
      break;
    --settled;
  }
  return rows_[settled].t;
}
}  // namespace nao_kinora_tracker
