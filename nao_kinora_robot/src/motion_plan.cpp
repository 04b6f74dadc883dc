#include "nao_kinora_robot/motion_plan.h"

#include <nao_kinora/joint_motion.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <map>

namespace nao_kinora_robot
{
namespace
{
using nao_kinora::JointLimit;
using nao_kinora::jointLimit;
using nao_kinora::JointMotion;
using nao_kinora::JointRow;
using nao_kinora::kJointCount;
using nao_kinora::LimitViolation;

const int kSlowestStep = 7 * kLevelsPerHalving;  // 2^-7
// Enough of a joint's commands to replay from its last state: states come
// every 20 ms, rows every 20 ms at the fastest.
const std::size_t kSentKept = 16;

double clampToRange(double angle, const JointLimit& limit)
{
  return std::min(std::max(angle, limit.lower), limit.upper);
}

bool rangeFault(const JointRow& row, LimitViolation& fault)
{
  for (int j = 0; j < kJointCount; ++j)
  {
    const JointLimit& limit = jointLimit(j);
    const double angle = row[j];
    if (angle < limit.lower - nao_kinora::kRangeTolerance)
      fault = {LimitViolation::kBelowRange, 0, j, angle, limit.lower, 0, 0, 0};
    else if (!(angle <= limit.upper + nao_kinora::kRangeTolerance))  // NaN too
      fault = {LimitViolation::kAboveRange, 0, j, angle, limit.upper, 0, 0, 0};
    else
      continue;
    return true;
  }
  return false;
}

bool speedFault(const JointRow& row, const JointRow& previous, double seconds, double speed, LimitViolation& fault)
{
  for (int j = 0; j < kJointCount; ++j)
  {
    const double change = std::fabs(static_cast<double>(row[j]) - static_cast<double>(previous[j]));
    const double maxSpeed = jointLimit(j).maxSpeed;
    if (!(change > 0) || (seconds > 0 && change <= maxSpeed * seconds))
      continue;
    const double asked = seconds > 0 ? change / seconds : std::numeric_limits<double>::infinity();
    fault = {LimitViolation::kTooFast, 0, j, asked, maxSpeed, change, std::max(seconds, 0.0), speed};
    return true;
  }
  return false;
}

std::string word(double value)
{
  char text[32];
  std::snprintf(text, sizeof text, "%.2g", value);
  return text;
}
}  // namespace

double fractionLevel(double fraction)
{
  if (!(fraction > 0))  // NaN too
    return kSlowestLevel;
  if (fraction >= 1)
    return 1.0;
  const long step = std::lround(-std::log2(fraction) * kLevelsPerHalving);
  return std::exp2(-static_cast<double>(std::min<long>(step, kSlowestStep)) / kLevelsPerHalving);
}

MotionPlanner::MotionPlanner(const PlannerOptions& options) : options_(options) {}

void MotionPlanner::observe(const std::vector<std::string>& names, const std::vector<double>& positions, double stamp)
{
  for (std::size_t k = 0; k < names.size() && k < positions.size(); ++k)
  {
    const int column = nao_kinora::robotJointColumn(names[k]);
    if (column < 0 || !std::isfinite(positions[k]))
      continue;
    Joint& joint = joints_[column];
    // Out of order (two bridges, a replay): the newer state stands.
    if (joint.seen && stamp < joint.stamp)
      continue;
    joint.seen = true;
    joint.position = positions[k];
    joint.stamp = stamp;
  }
}

void MotionPlanner::expectFirstRow()
{
  haveLast_ = false;
  approaching_ = true;
  nextRow_ = 0;
}

double MotionPlanner::predicted(int j, double now) const
{
  const Joint& joint = joints_[j];
  if (!joint.seen)
    return std::numeric_limits<double>::quiet_NaN();
  // The state, moving on toward the target of the command in force then...
  JointMotion motion{joint.position, joint.position, 0.0, joint.stamp};
  for (const Sent& sent : joint.sent)
    if (sent.time <= joint.stamp)
      motion = JointMotion{joint.position, sent.target, sent.rate, joint.stamp};
  // ...and turned by each command since.
  for (const Sent& sent : joint.sent)
    if (sent.time > joint.stamp && sent.time <= now)
      motion = motion.redirected(sent.time, sent.target, sent.rate);
  return motion.at(now);
}

std::string MotionPlanner::poseUnknown(double now) const
{
  std::string first;
  int more = 0;
  for (int j = 0; j < kJointCount; ++j)
  {
    const Joint& joint = joints_[j];
    if (joint.seen && now - joint.stamp <= options_.stateTimeout)
      continue;
    if (!first.empty())
    {
      ++more;
      continue;
    }
    const std::string name = nao_kinora::robotJointName(j);
    first = joint.seen ? "the last joint state of " + name + " is " + word(now - joint.stamp) + " s old"
                       : "no joint state of " + name + " yet";
  }
  if (more > 0)
    first += " (and " + std::to_string(more) + " more)";
  return first;
}

JointCommand MotionPlanner::approachCommand(const JointRow& row) const
{
  JointCommand command;
  command.fraction = options_.approachFraction;
  for (int j = 0; j < kJointCount; ++j)
  {
    command.joints.push_back(j);
    command.angles.push_back(clampToRange(row[j], jointLimit(j)));
  }
  return command;
}

bool MotionPlanner::arrived(double now) const
{
  for (int j = 0; j < kJointCount; ++j)
    if (!(std::fabs(predicted(j, now) - clampToRange(last_[j], jointLimit(j))) <= options_.arrivedWithin))
      return false;
  return true;
}

void MotionPlanner::remember(const JointCommand& command, double now)
{
  for (std::size_t k = 0; k < command.joints.size(); ++k)
  {
    const int j = command.joints[k];
    Joint& joint = joints_[j];
    const double target = command.relative ? predicted(j, now) + command.angles[k] : command.angles[k];
    joint.sent.push_back({now, target, command.fraction * jointLimit(j).maxSpeed});
    if (joint.sent.size() > kSentKept)
      joint.sent.pop_front();
  }
}

RowPlan MotionPlanner::planRow(const JointRow& row, double now, double speed)
{
  const int index = nextRow_++;
  RowPlan plan;
  if (rangeFault(row, plan.fault))
  {
    plan.outcome = RowPlan::kRefused;
    plan.fault.row = index;
    return plan;
  }
  plan.missing = poseUnknown(now);
  if (!plan.missing.empty())
  {
    plan.outcome = RowPlan::kNoRobot;
    return plan;
  }
  if (haveLast_ && approaching_ && arrived(now))
    approaching_ = false;
  if (!haveLast_ || approaching_)
  {
    plan.outcome = RowPlan::kApproach;
    plan.commands.push_back(approachCommand(row));
  }
  else
  {
    plan = track(row, now, speed);
    plan.fault.row = index;
    if (plan.outcome == RowPlan::kRefused || plan.outcome == RowPlan::kStill)
      return plan;
  }
  for (const JointCommand& command : plan.commands)
    remember(command, now);
  haveLast_ = true;
  last_ = row;
  return plan;
}

RowPlan MotionPlanner::track(const JointRow& row, double now, double speed)
{
  RowPlan plan;
  const double seconds = row[nao_kinora::kDurationColumn];
  if (speedFault(row, last_, seconds, speed, plan.fault))
  {
    plan.outcome = RowPlan::kRefused;
    return plan;
  }
  if (!(seconds > 0))  // not held, and (not refused) changing nothing
  {
    plan.outcome = RowPlan::kStill;
    return plan;
  }
  std::map<double, JointCommand> levels;
  for (int j = 0; j < kJointCount; ++j)
  {
    const JointLimit& limit = jointLimit(j);
    const double target = clampToRange(row[j], limit);
    const double needed = std::fabs(target - predicted(j, now)) / (limit.maxSpeed * seconds);
    if (needed > plan.neededMost)
    {
      plan.neededMost = needed;
      plan.neededMostJoint = j;
    }
    JointCommand& command = levels[fractionLevel(needed)];
    command.joints.push_back(j);
    command.angles.push_back(target);
  }
  for (auto level = levels.rbegin(); level != levels.rend(); ++level)
  {
    level->second.fraction = level->first;
    plan.commands.push_back(level->second);
  }
  return plan;
}

JointCommand MotionPlanner::holdWhereItIs(double now)
{
  JointCommand command;
  command.fraction = options_.approachFraction;
  const bool known = poseUnknown(now).empty();
  command.relative = !known;
  for (int j = 0; j < kJointCount; ++j)
  {
    command.joints.push_back(j);
    command.angles.push_back(known ? predicted(j, now) : 0.0);
  }
  if (known)
    remember(command, now);
  return command;
}
}  // namespace nao_kinora_robot
