// The executor's decisions as tables: the fraction each joint of a row is
// sent at and the commands they are grouped into, at speeds 0.5, 1 and 1.5;
// the first row's slow approach; rows refused (too fast, out of range) or
// not sent (no joint states); holds at the robot's predicted pose.
#include "nao_kinora_robot/motion_plan.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>
#include <vector>

namespace
{
using nao_kinora::JointRow;
using nao_kinora::LimitViolation;
using nao_kinora_robot::JointCommand;
using nao_kinora_robot::MotionPlanner;
using nao_kinora_robot::RowPlan;

const int kHeadYaw = 0;
const int kLShoulderPitch = 2;
const int kLShoulderRoll = 3;
const int kLElbowRoll = 5;
const int kRElbowRoll = 9;
const int kLHipRoll = 11;
const double kRecorded = 0.04;  // a row's duration in a recording: 25 rows a second

// Level k of the eight per halving: 2^(-k/8).
double level(int k)
{
  return std::exp2(-k / 8.0);
}

// A pose every joint may take: 0, but the elbows, whose range leaves 0 out.
JointRow basePose(double duration)
{
  JointRow row{};
  row[kLElbowRoll] = -0.5f;
  row[kRElbowRoll] = 0.5f;
  row[nao_kinora::kDurationColumn] = static_cast<float>(duration);
  return row;
}

// The node sends a row's duration divided by the session's speed.
JointRow moved(const std::map<int, double>& changes, double speed, double recorded = kRecorded)
{
  JointRow row = basePose(static_cast<float>(recorded / speed));
  for (const auto& change : changes)
    row[change.first] += static_cast<float>(change.second);
  return row;
}

// The robot's joint state: the 22 joints at row's angles, and the wrists (left out).
void observe(MotionPlanner& planner, const JointRow& pose, double stamp)
{
  std::vector<std::string> names = {"LWristYaw"};
  std::vector<double> positions = {1.0};
  for (int j = 0; j < nao_kinora::kJointCount; ++j)
  {
    names.push_back(nao_kinora::robotJointName(j));
    positions.push_back(pose[j]);
  }
  planner.observe(names, positions, stamp);
}

// A planner past the approach of an exercise's first row: the robot stood at
// the base pose, got row 0 there, and stands there 2 s later.
MotionPlanner atBasePose()
{
  MotionPlanner planner;
  observe(planner, basePose(2), 0.0);
  EXPECT_EQ(RowPlan::kApproach, planner.planRow(basePose(2), 0.0, 1.0).outcome);
  observe(planner, basePose(2), 2.0);
  return planner;
}

// {fraction: joints} of a plan's commands, each joint in exactly one.
std::map<double, std::vector<int>> groups(const RowPlan& plan)
{
  std::map<double, std::vector<int>> out;
  std::vector<int> seen(nao_kinora::kJointCount, 0);
  for (const JointCommand& command : plan.commands)
  {
    EXPECT_FALSE(command.relative);
    EXPECT_EQ(0u, out.count(command.fraction)) << "two commands at " << command.fraction;
    out[command.fraction] = command.joints;
    for (int j : command.joints)
      ++seen[j];
  }
  for (int j = 0; j < nao_kinora::kJointCount; ++j)
    EXPECT_EQ(1, seen[j]) << nao_kinora::robotJointName(j);
  return out;
}

// Every joint but those given, in column order.
std::vector<int> allBut(std::vector<int> left)
{
  std::vector<int> joints;
  for (int j = 0; j < nao_kinora::kJointCount; ++j)
    if (std::find(left.begin(), left.end(), j) == left.end())
      joints.push_back(j);
  return joints;
}

struct GroupCase
{
  const char* name;
  double speed;
  std::map<int, double> changes;                // from the base pose, rad
  std::map<double, std::vector<int>> commands;  // expected: fraction -> joints
};

// Needed: change / (maximum speed x recorded / speed); the level is the
// nearest 2^(-k/8), k = round(8 log2(1 / needed)).
const GroupCase kGroupCases[] = {
    // LShoulderPitch 0.2 / (8.268 x 0.04) = 0.6048: k 5.81 -> 6; HeadYaw
    // 0.005 / 0.3307 = 0.01512: k 48.4 -> 48; the rest need nothing: 1/128.
    {"one joint far, one near, the rest still",
     1.0,
     {{kLShoulderPitch, 0.2}, {kHeadYaw, 0.005}},
     {{level(6), {kLShoulderPitch}}, {level(48), {kHeadYaw}}, {level(56), allBut({kLShoulderPitch, kHeadYaw})}}},
    // At half speed the row is held 0.08 s: 0.3024 (k 13.8 -> 14) and 0.00756 (k 56.4 -> the slowest).
    {"the same at speed 0.5",
     0.5,
     {{kLShoulderPitch, 0.2}, {kHeadYaw, 0.005}},
     {{level(14), {kLShoulderPitch}}, {level(56), allBut({kLShoulderPitch})}}},
    // At 1.5, 0.02667 s: 0.9072 (k 1.12 -> 1) and 0.02268 (k 43.7 -> 44).
    {"the same at speed 1.5",
     1.5,
     {{kLShoulderPitch, 0.2}, {kHeadYaw, 0.005}},
     {{level(1), {kLShoulderPitch}}, {level(44), {kHeadYaw}}, {level(56), allBut({kLShoulderPitch, kHeadYaw})}}},
    // Two joints needing the same level share a command: LShoulderPitch
    // 0.1 / 0.3307 = 0.3024 and LShoulderRoll 0.087 / (7.194 x 0.04) = 0.3023.
    {"two joints at one level",
     1.0,
     {{kLShoulderPitch, 0.1}, {kLShoulderRoll, 0.087}},
     {{level(14), {kLShoulderPitch, kLShoulderRoll}}, {level(56), allBut({kLShoulderPitch, kLShoulderRoll})}}},
    // Near a joint's maximum: LHipRoll 0.166 / (4.162 x 0.04) = 0.9971 (k 0.03 -> 0).
    {"a joint at its full speed", 1.0, {{kLHipRoll, 0.166}}, {{1.0, {kLHipRoll}}, {level(56), allBut({kLHipRoll})}}},
};

TEST(MotionPlan, FractionsAndGroups)
{
  for (const GroupCase& c : kGroupCases)
  {
    SCOPED_TRACE(c.name);
    MotionPlanner planner = atBasePose();
    const RowPlan plan = planner.planRow(moved(c.changes, c.speed), 2.0, c.speed);
    ASSERT_EQ(RowPlan::kTracking, plan.outcome);
    const auto got = groups(plan);
    ASSERT_EQ(c.commands.size(), got.size());
    for (const auto& expected : c.commands)
    {
      SCOPED_TRACE(expected.first);
      ASSERT_EQ(1u, got.count(expected.first));
      EXPECT_EQ(expected.second, got.at(expected.first));
    }
    // Fastest first; each joint's angle is its place in the row.
    for (std::size_t k = 1; k < plan.commands.size(); ++k)
      EXPECT_GT(plan.commands[k - 1].fraction, plan.commands[k].fraction);
    for (const JointCommand& command : plan.commands)
      for (std::size_t i = 0; i < command.joints.size(); ++i)
        EXPECT_EQ(moved(c.changes, c.speed)[command.joints[i]], static_cast<float>(command.angles[i]));
  }
}

TEST(MotionPlan, FractionLevels)
{
  const struct
  {
    double needed;
    double level;
  } cases[] = {
      {1.0, 1.0},
      {3.0, 1.0},
      {0.96, 1.0},
      {0.5, 0.5},
      {0.9, level(1)},
      {0.6048, level(6)},
      {1.0 / 128, level(56)},
      {0.001, level(56)},
      {0.0, level(56)},
      {NAN, level(56)},
  };
  for (const auto& c : cases)
    EXPECT_DOUBLE_EQ(c.level, nao_kinora_robot::fractionLevel(c.needed)) << c.needed;
  // Nearest by ratio: a joint arrives within 2^(1/16) of its row's time.
  for (double needed = 0.008; needed < 1; needed *= 1.01)
  {
    const double ratio = nao_kinora_robot::fractionLevel(needed) / needed;
    EXPECT_LE(ratio, std::exp2(1.0 / 16) + 1e-12) << needed;
    EXPECT_GE(ratio, std::exp2(-1.0 / 16) - 1e-12) << needed;
  }
}

struct RefusalCase
{
  const char* name;
  double speed;
  std::map<int, double> changes;  // from the base pose
  LimitViolation::Kind kind;
  int joint;
  const char* words;
};

const RefusalCase kRefusals[] = {
    {"faster than the joint's maximum",
     1.0,
     {{kLShoulderRoll, 0.3}},
     LimitViolation::kTooFast,
     kLShoulderRoll,
     "LShoulderRoll moves 0.3 rad in 0.04 s at speed 1: 7.5 rad/s, above its maximum 7.194 rad/s"},
    {"too fast only at 1.5",
     1.5,
     {{kLShoulderRoll, 0.2}},
     LimitViolation::kTooFast,
     kLShoulderRoll,
     "LShoulderRoll moves 0.2 rad in 0.0266667 s at speed 1.5: 7.5 rad/s, above its maximum 7.194 rad/s"},
    {"above its range",
     1.0,
     {{kLShoulderRoll, 1.5}},
     LimitViolation::kAboveRange,
     kLShoulderRoll,
     "LShoulderRoll at 1.5 rad is above its upper limit 1.3264 rad"},
    // RElbowRoll from 0.5 to 0: below 0.0349 by more than the tolerance.
    {"below its range",
     1.0,
     {{kRElbowRoll, -0.5}},
     LimitViolation::kBelowRange,
     kRElbowRoll,
     "RElbowRoll at 0 rad is below its lower limit 0.0349 rad"},
};

TEST(MotionPlan, RowsOutOfRangeOrTooFastAreNotSent)
{
  for (const RefusalCase& c : kRefusals)
  {
    SCOPED_TRACE(c.name);
    MotionPlanner planner = atBasePose();
    const RowPlan plan = planner.planRow(moved(c.changes, c.speed), 2.0, c.speed);
    EXPECT_EQ(RowPlan::kRefused, plan.outcome);
    EXPECT_TRUE(plan.commands.empty());
    EXPECT_EQ(c.kind, plan.fault.kind);
    EXPECT_EQ(c.joint, plan.fault.joint);
    EXPECT_EQ(1, plan.fault.row);
    EXPECT_EQ(c.words, nao_kinora::describeViolation(plan.fault));
    // The next row is checked against the row sent before the refused one.
    EXPECT_EQ(RowPlan::kTracking, planner.planRow(moved({}, c.speed), 2.04, c.speed).outcome);
  }
  // At half speed the same change is within the joint's maximum.
  MotionPlanner planner = atBasePose();
  EXPECT_EQ(RowPlan::kTracking, planner.planRow(moved({{kLShoulderRoll, 0.3}}, 0.5), 2.0, 0.5).outcome);
}

TEST(MotionPlan, JustInsideTheRangeToleranceIsSentClampedToTheRange)
{
  MotionPlanner planner = atBasePose();
  // RElbowRoll 0.0249: 0.01 below its lower limit 0.0349, within the tolerance.
  JointRow row = moved({}, 1.0, 1.0);
  row[kRElbowRoll] = 0.0249f;
  const RowPlan plan = planner.planRow(row, 2.0, 1.0);
  ASSERT_EQ(RowPlan::kTracking, plan.outcome);
  for (const JointCommand& command : plan.commands)
    for (std::size_t i = 0; i < command.joints.size(); ++i)
      if (command.joints[i] == kRElbowRoll)
      {
        EXPECT_DOUBLE_EQ(0.0349, command.angles[i]);
      }
}

TEST(MotionPlan, FirstRowIsApproachedSlowlyUntilTheRobotIsThere)
{
  MotionPlanner planner;
  observe(planner, basePose(2), 10.0);
  // Row 0 far from where the robot stands: every joint at the approach fraction.
  const JointRow first = moved({{kLShoulderPitch, 1.0}}, 1.0, 2.0);
  RowPlan plan = planner.planRow(first, 10.0, 1.0);
  ASSERT_EQ(RowPlan::kApproach, plan.outcome);
  ASSERT_EQ(1u, plan.commands.size());
  EXPECT_DOUBLE_EQ(0.1, plan.commands[0].fraction);
  EXPECT_EQ(allBut({}), plan.commands[0].joints);
  EXPECT_DOUBLE_EQ(1.0, plan.commands[0].angles[kLShoulderPitch]);
  EXPECT_TRUE(planner.approaching());

  // 1 s later the joint is 0.8268 rad on its way (its state 0.1 s before that
  // said 0.74412): the next row, however near, goes at the approach fraction
  // too, and no speed check applies.
  JointRow onTheWay = basePose(2);
  onTheWay[kLShoulderPitch] = 0.74412f;
  observe(planner, onTheWay, 10.9);
  plan = planner.planRow(moved({{kLShoulderPitch, 1.0}, {kLShoulderRoll, 0.3}}, 1.0), 11.0, 1.0);
  ASSERT_EQ(RowPlan::kApproach, plan.outcome);
  EXPECT_NEAR(0.8268, planner.predicted(kLShoulderPitch, 11.0), 1e-7);

  // Within 0.05 rad of it (0.3 s later, LShoulderRoll there since 11.42 s): the rows are followed.
  observe(planner, moved({{kLShoulderPitch, 1.0}, {kLShoulderRoll, 0.3}}, 1.0), 11.5);
  plan = planner.planRow(moved({{kLShoulderPitch, 1.0}, {kLShoulderRoll, 0.3}}, 1.0), 11.54, 1.0);
  EXPECT_EQ(RowPlan::kTracking, plan.outcome);
  EXPECT_FALSE(planner.approaching());

  // A start signal: the next exercise's first row is approached again.
  planner.expectFirstRow();
  EXPECT_EQ(RowPlan::kApproach, planner.planRow(basePose(2), 12.0, 1.0).outcome);
}

TEST(MotionPlan, PredictionFollowsTheCommandsSinceTheLastState)
{
  MotionPlanner planner = atBasePose();
  // LShoulderPitch 0.2 in 0.04 s at level 6 (0.5946 x 8.268 = 4.916 rad/s): there at 2.0407 s.
  planner.planRow(moved({{kLShoulderPitch, 0.2}}, 1.0), 2.0, 1.0);
  const double rate = level(6) * 8.268;
  EXPECT_NEAR(rate * 0.02, planner.predicted(kLShoulderPitch, 2.02), 1e-9);
  EXPECT_NEAR(0.2, planner.predicted(kLShoulderPitch, 2.05), 1e-7);
  // A state taken on the way: on from there toward the same target.
  JointRow onTheWay = basePose(0.04);
  onTheWay[kLShoulderPitch] = 0.05f;
  observe(planner, onTheWay, 2.01);
  EXPECT_NEAR(0.05 + rate * 0.01, planner.predicted(kLShoulderPitch, 2.02), 1e-7);
  EXPECT_DOUBLE_EQ(0.0, planner.predicted(kHeadYaw, 2.02));
}

TEST(MotionPlan, PauseAndEndHoldTheRobotWhereItIs)
{
  MotionPlanner planner = atBasePose();
  planner.planRow(moved({{kLShoulderPitch, 0.2}}, 1.0), 2.0, 1.0);
  // Halfway through the row: every joint's target is where it is, so nothing moves on.
  const JointCommand hold = planner.holdWhereItIs(2.02);
  EXPECT_FALSE(hold.relative);
  EXPECT_DOUBLE_EQ(0.1, hold.fraction);
  ASSERT_EQ(allBut({}), hold.joints);
  for (int j = 0; j < nao_kinora::kJointCount; ++j)
    EXPECT_DOUBLE_EQ(planner.predicted(j, 2.02), hold.angles[j]) << nao_kinora::robotJointName(j);
  EXPECT_NEAR(level(6) * 8.268 * 0.02, hold.angles[kLShoulderPitch], 1e-9);
  // Held: later it is still there, not at the row's 0.2.
  EXPECT_DOUBLE_EQ(hold.angles[kLShoulderPitch], planner.predicted(kLShoulderPitch, 3.0));

  // Without a recent joint state: a relative command of zeros, which stops every joint where it is.
  MotionPlanner blind;
  const JointCommand stop = blind.holdWhereItIs(5.0);
  EXPECT_TRUE(stop.relative);
  EXPECT_EQ(allBut({}), stop.joints);
  EXPECT_EQ(std::vector<double>(nao_kinora::kJointCount, 0.0), stop.angles);
}

TEST(MotionPlan, NoRowIsSentWithoutTheRobotsPose)
{
  MotionPlanner planner;
  RowPlan plan = planner.planRow(basePose(2), 1.0, 1.0);
  EXPECT_EQ(RowPlan::kNoRobot, plan.outcome);
  EXPECT_TRUE(plan.commands.empty());
  EXPECT_EQ("no joint state of HeadYaw yet (and 21 more)", plan.missing);
  // A state that is 0.6 s old by now.
  observe(planner, basePose(2), 1.0);
  plan = planner.planRow(basePose(2), 1.6, 1.0);
  EXPECT_EQ(RowPlan::kNoRobot, plan.outcome);
  EXPECT_EQ("the last joint state of HeadYaw is 0.6 s old (and 21 more)", plan.missing);
  // Not counted as sent: the next row is still the first.
  observe(planner, basePose(2), 1.6);
  EXPECT_EQ(RowPlan::kApproach, planner.planRow(basePose(2), 1.6, 1.0).outcome);
}

TEST(MotionPlan, ARowNotHeldThatChangesNothingSendsNothing)
{
  MotionPlanner planner = atBasePose();
  EXPECT_EQ(RowPlan::kStill, planner.planRow(basePose(0), 2.0, 1.0).outcome);
  JointRow jump = basePose(0);
  jump[kHeadYaw] = 0.01f;
  const RowPlan plan = planner.planRow(jump, 2.0, 1.0);
  EXPECT_EQ(RowPlan::kRefused, plan.outcome);
  EXPECT_EQ(LimitViolation::kTooFast, plan.fault.kind);
}
}  // namespace
