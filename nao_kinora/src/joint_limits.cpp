#include "nao_kinora/joint_limits.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <stdexcept>

namespace nao_kinora
{
namespace
{
// NAO body version 5: each joint's mechanical range and its motor's no-load
// speed, in the column order of a recording row.
const JointLimit kJointLimits[kJointCount] = {
    {-2.0857, 2.0857, 8.268},   // HeadYaw
    {-0.6720, 0.5149, 7.194},   // HeadPitch
    {-2.0857, 2.0857, 8.268},   // LShoulderPitch
    {-0.3142, 1.3264, 7.194},   // LShoulderRoll
    {-2.0857, 2.0857, 8.268},   // LElbowYaw
    {-1.5446, -0.0349, 7.194},  // LElbowRoll
    {-2.0857, 2.0857, 8.268},   // RShoulderPitch
    {-1.3264, 0.3142, 7.194},   // RShoulderRoll
    {-2.0857, 2.0857, 8.268},   // RElbowYaw
    {0.0349, 1.5446, 7.194},    // RElbowRoll
    {-1.1453, 0.7407, 4.162},   // LHipYawPitch
    {-0.3794, 0.7905, 4.162},   // LHipRoll
    {-1.5359, 0.4840, 6.402},   // LHipPitch
    {-0.0923, 2.1126, 6.402},   // LKneePitch
    {-1.1894, 0.9226, 6.402},   // LAnklePitch
    {-0.3978, 0.7690, 4.162},   // LAnkleRoll
    {-1.1453, 0.7407, 4.162},   // RHipYawPitch
    {-0.7905, 0.3794, 4.162},   // RHipRoll
    {-1.5359, 0.4840, 6.402},   // RHipPitch
    {-0.0923, 2.1126, 6.402},   // RKneePitch
    {-1.1863, 0.9320, 6.402},   // RAnklePitch
    {-0.7690, 0.3978, 4.162},   // RAnkleRoll
};

const double kUnbounded = std::numeric_limits<double>::infinity();

// The time row gives its change at the normal speed: its pause, which is
// none for a duration that is not above 0 (pacing.h).
double heldFor(const JointRow& row)
{
  const double duration = row[kDurationColumn];
  return duration > 0 ? duration : 0.0;
}

double changeOf(const JointRow& before, const JointRow& row, int joint)
{
  return std::fabs(static_cast<double>(row[joint]) - static_cast<double>(before[joint]));
}

// The highest speed at which joint's change into row is within its maximum.
double stepSafeSpeed(const JointRow& before, const JointRow& row, int joint)
{
  const double change = changeOf(before, row, joint);
  if (!(change > 0))
    return kUnbounded;
  return jointLimit(joint).maxSpeed * heldFor(row) / change;
}

void addRangeViolations(const JointRow& row, int r, std::vector<LimitViolation>& out)
{
  for (int j = 0; j < kJointCount; ++j)
  {
    const JointLimit& limit = jointLimit(j);
    const double angle = row[j];
    if (angle < limit.lower - kRangeTolerance)
      out.push_back({LimitViolation::kBelowRange, r, j, angle, limit.lower, 0, 0, 0});
    else if (!(angle <= limit.upper + kRangeTolerance))  // NaN too
      out.push_back({LimitViolation::kAboveRange, r, j, angle, limit.upper, 0, 0, 0});
  }
}

void addSpeedViolations(const JointRow& before, const JointRow& row, int r, double speed,
                        std::vector<LimitViolation>& out)
{
  for (int j = 0; j < kJointCount; ++j)
    if (speed > stepSafeSpeed(before, row, j))
    {
      const double change = changeOf(before, row, j);
      const double time = heldFor(row) / speed;
      const double asked = time > 0 ? change / time : kUnbounded;
      out.push_back({LimitViolation::kTooFast, r, j, asked, jointLimit(j).maxSpeed, change, time, speed});
    }
}

std::string number(double value)
{
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}
}  // namespace

const JointLimit& jointLimit(int column)
{
  if (column < 0 || column >= kJointCount)
    throw std::out_of_range("joint column " + std::to_string(column) + " is not one of 0 to 21");
  return kJointLimits[column];
}

std::vector<LimitViolation> jointLimitViolations(const std::vector<JointRow>& rows, double speed)
{
  std::vector<LimitViolation> out;
  for (std::size_t r = 0; r < rows.size(); ++r)
  {
    addRangeViolations(rows[r], static_cast<int>(r), out);
    if (r > 0)
      addSpeedViolations(rows[r - 1], rows[r], static_cast<int>(r), speed, out);
  }
  return out;
}

std::string describeViolation(const LimitViolation& v)
{
  const std::string joint = robotJointName(v.joint);
  switch (v.kind)
  {
    case LimitViolation::kBelowRange:
      return joint + " at " + number(v.value) + " rad is below its lower limit " + number(v.limit) + " rad";
    case LimitViolation::kAboveRange:
      return joint + " at " + number(v.value) + " rad is above its upper limit " + number(v.limit) + " rad";
    case LimitViolation::kTooFast:
      break;
  }
  const std::string moves = joint + " moves " + number(v.change) + " rad";
  if (!(v.time > 0))
    return moves + " in a row that is not held (its duration is 0 or less): faster than its maximum " +
           number(v.limit) + " rad/s at any speed";
  return moves + " in " + number(v.time) + " s at speed " + number(v.speed) + ": " + number(v.value) +
         " rad/s, above its maximum " + number(v.limit) + " rad/s";
}

std::string describeViolations(const std::vector<LimitViolation>& violations)
{
  if (violations.empty())
    return "";
  std::string text = "row " + std::to_string(violations.front().row) + ": " + describeViolation(violations.front());
  if (violations.size() > 1)
    text += " (and " + std::to_string(violations.size() - 1) + " more)";
  return text;
}

SpeedBound highestSafeSpeed(const std::vector<JointRow>& rows, std::size_t from)
{
  SpeedBound bound = {kUnbounded, -1, -1};
  for (std::size_t r = std::max<std::size_t>(from, 1); r < rows.size(); ++r)
    for (int j = 0; j < kJointCount; ++j)
    {
      const double safe = stepSafeSpeed(rows[r - 1], rows[r], j);
      if (safe < bound.speed)
        bound = {safe, static_cast<int>(r), j};
    }
  return bound;
}

std::vector<SpeedBound> speedBoundsFromEachRow(const std::vector<JointRow>& rows)
{
  std::vector<SpeedBound> bounds(rows.size(), SpeedBound{kUnbounded, -1, -1});
  // From the last row back; the earlier row and joint set the bound on a tie,
  // as highestSafeSpeed has it.
  for (std::size_t r = rows.size(); r-- > 1;)
  {
    SpeedBound own = {kUnbounded, -1, -1};
    for (int j = 0; j < kJointCount; ++j)
    {
      const double safe = stepSafeSpeed(rows[r - 1], rows[r], j);
      if (safe < own.speed)
        own = {safe, static_cast<int>(r), j};
    }
    const bool last = r + 1 == rows.size();
    bounds[r] = last || own.speed <= bounds[r + 1].speed ? own : bounds[r + 1];
  }
  if (rows.size() > 1)
    bounds[0] = bounds[1];
  return bounds;
}
}  // namespace nao_kinora
