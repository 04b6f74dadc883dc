// A recording's rows against the robot's joint limits: ranges with their
// tolerance, the speed rule (row k's own duration carries the change into
// row k, divided by the speed), the highest safe speed and its bounds from
// each row, and the words of each fault.
#include "nao_kinora/joint_limits.h"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

using namespace nao_kinora;

namespace
{
const int kLShoulderPitch = 2;  // -2.0857 to 2.0857, at most 8.268 rad/s
const int kLShoulderRoll = 3;   // -0.3142 to 1.3264, at most 7.194 rad/s
const int kRElbowRoll = 9;      // 0.0349 to 1.5446
const double kUnbounded = INFINITY;

struct Set
{
  int row;
  int joint;  // -1: the row's duration
  float value;
};

// rows rows at the middle of every joint's range, each held duration, with
// the values set.
std::vector<JointRow> recording(int rows, float duration, const std::vector<Set>& sets)
{
  JointRow pose;
  for (int j = 0; j < kJointCount; ++j)
    pose[j] = static_cast<float>((jointLimit(j).lower + jointLimit(j).upper) / 2);
  pose[kDurationColumn] = duration;
  std::vector<JointRow> out(rows, pose);
  for (const Set& s : sets)
    out[s.row][s.joint < 0 ? kDurationColumn : s.joint] = s.value;
  return out;
}

struct Fault
{
  LimitViolation::Kind kind;
  int row;
  int joint;

  bool operator==(const Fault& o) const { return kind == o.kind && row == o.row && joint == o.joint; }
};

std::ostream& operator<<(std::ostream& os, const Fault& f)
{
  return os << "{kind " << f.kind << ", row " << f.row << ", joint " << f.joint << "}";
}

const LimitViolation::Kind kBelow = LimitViolation::kBelowRange;
const LimitViolation::Kind kAbove = LimitViolation::kAboveRange;
const LimitViolation::Kind kFast = LimitViolation::kTooFast;

struct Case
{
  const char* name;
  std::vector<JointRow> rows;
  double speed;
  std::vector<Fault> faults;
  double highest;  // highestSafeSpeed(rows).speed
};

// The middles of LShoulderRoll's and RElbowRoll's ranges, as the rows hold them.
const float kRollMid = static_cast<float>((-0.3142 + 1.3264) / 2);
const float kElbowMid = static_cast<float>((0.0349 + 1.5446) / 2);

const Case kCases[] = {
    {"a still pose", recording(3, 0.04f, {}), 2.0, {}, kUnbounded},
    {"just inside the tolerance",
     recording(3, 1.0f, {{1, kLShoulderRoll, 1.3264f + 0.017f}}),
     1.0,
     {},
     7.194 / ((1.3264f + 0.017f) - kRollMid)},
    // RElbowRoll 0.01 below its lower limit 0.0349.
    {"just inside the tolerance, below",
     recording(3, 1.0f, {{1, kRElbowRoll, 0.0349f - 0.01f}}),
     1.0,
     {},
     7.194 / (kElbowMid - (0.0349f - 0.01f))},
    {"past it, above",
     recording(3, 1.0f, {{1, kLShoulderRoll, 1.3264f + 0.018f}}),
     1.0,
     {{kAbove, 1, 3}},
     7.194 / ((1.3264f + 0.018f) - kRollMid)},
    {"past it, below",
     recording(3, 1.0f, {{2, kRElbowRoll, 0.0349f - 0.018f}}),
     1.0,
     {{kBelow, 2, 9}},
     7.194 / (kElbowMid - (0.0349f - 0.018f))},
    {"too fast at the normal speed, there and back",
     recording(3, 0.04f, {{1, kLShoulderPitch, 0.4f}}),
     1.0,
     {{kFast, 1, 2}, {kFast, 2, 2}},
     8.268 * 0.04 / 0.4},
    {"within its speed at 1", recording(3, 0.04f, {{1, kLShoulderPitch, 0.2f}}), 1.0, {}, 8.268 * 0.04 / 0.2},
    {"too fast at 2 only",
     recording(3, 0.04f, {{1, kLShoulderPitch, 0.2f}}),
     2.0,
     {{kFast, 1, 2}, {kFast, 2, 2}},
     8.268 * 0.04 / 0.2},
    // Row 2 moves 0.4 rad and is held 1 s: slow, whatever row 1's 0.04 s.
    {"the change is carried by its own row's duration",
     recording(3, 0.04f, {{2, kLShoulderPitch, 0.4f}, {2, -1, 1.0f}}),
     2.0,
     {},
     8.268 * 1.0 / 0.4},
    // Row 1 is held 1 s, row 2 moves 0.4 rad in its own 0.04 s.
    {"not by the row before's",
     recording(3, 0.04f, {{1, -1, 1.0f}, {2, kLShoulderPitch, 0.4f}}),
     1.0,
     {{kFast, 2, 2}},
     8.268 * 0.04 / 0.4},
    // Row 0 brings the robot from wherever it stands: its duration carries nothing.
    {"not by row 0's", recording(2, 1.0f, {{0, -1, 0.0f}, {1, kLShoulderPitch, 0.4f}}), 2.0, {}, 8.268 / 0.4},
    {"a row not held that moves",
     recording(3, 0.04f, {{2, -1, 0.0f}, {2, kLShoulderPitch, 0.01f}}),
     0.25,
     {{kFast, 2, 2}},
     0.0},
    {"a row held less than nothing that moves",
     recording(3, 0.04f, {{1, -1, -1.0f}, {1, kLShoulderRoll, 0.6f}}),
     0.25,
     {{kFast, 1, 3}},
     0.0},
    {"a row not held that keeps still", recording(3, 0.04f, {{1, -1, 0.0f}}), 2.0, {}, kUnbounded},
    // In a row, the ranges come before the speeds, each by joint.
    {"every fault of a row, in order",
     recording(2, 0.04f, {{1, kRElbowRoll, 0.0f}, {1, kLShoulderRoll, 1.5f}, {1, kLShoulderPitch, 0.5f}}),
     1.0,
     {{kAbove, 1, 3}, {kBelow, 1, 9}, {kFast, 1, 2}, {kFast, 1, 3}, {kFast, 1, 9}},
     7.194 * 0.04 / (1.5 - kRollMid)},
};

std::vector<Fault> faultsOf(const std::vector<LimitViolation>& violations)
{
  std::vector<Fault> out;
  for (const LimitViolation& v : violations)
    out.push_back({v.kind, v.row, v.joint});
  return out;
}

TEST(JointLimits, FaultsAndHighestSafeSpeedOfEachCase)
{
  for (const Case& c : kCases)
  {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.faults, faultsOf(jointLimitViolations(c.rows, c.speed)));
    const SpeedBound bound = highestSafeSpeed(c.rows);
    if (std::isinf(c.highest))
    {
      EXPECT_TRUE(std::isinf(bound.speed)) << bound.speed;
      EXPECT_EQ(-1, bound.row);
      continue;
    }
    EXPECT_NEAR(c.highest, bound.speed, 1e-5 * c.highest);
    // At the bound nothing goes too fast; just above it something does.
    for (const LimitViolation& v : jointLimitViolations(c.rows, bound.speed))
      EXPECT_NE(kFast, v.kind) << "row " << v.row << " at " << bound.speed;
    bool tooFast = false;
    for (const LimitViolation& v : jointLimitViolations(c.rows, bound.speed * 1.0001 + 1e-9))
      tooFast = tooFast || (v.kind == kFast && v.row == bound.row && v.joint == bound.joint);
    EXPECT_TRUE(tooFast) << "nothing too fast just above " << bound.speed;
  }
}

TEST(JointLimits, Words)
{
  const std::vector<JointRow> rows =
      recording(3, 0.04f, {{1, kLShoulderRoll, 1.5f}, {2, kRElbowRoll, 0.0f}, {2, kLShoulderPitch, 0.5f}});
  const std::vector<LimitViolation> faults = jointLimitViolations(rows, 1.5);
  ASSERT_EQ(6u, faults.size());
  EXPECT_EQ("LShoulderRoll at 1.5 rad is above its upper limit 1.3264 rad", describeViolation(faults[0]));
  EXPECT_EQ(faults[0].value, 1.5);
  EXPECT_EQ(faults[0].limit, 1.3264);
  EXPECT_EQ("LShoulderRoll moves 0.9939 rad in 0.0266667 s at speed 1.5: 37.2713 rad/s, above its maximum 7.194 rad/s",
            describeViolation(faults[1]));
  EXPECT_EQ("RElbowRoll at 0 rad is below its lower limit 0.0349 rad", describeViolation(faults[2]));
  EXPECT_EQ("row 1: LShoulderRoll at 1.5 rad is above its upper limit 1.3264 rad (and 5 more)",
            describeViolations(faults));
  EXPECT_EQ("", describeViolations({}));

  const std::vector<JointRow> unheld = recording(2, 0.0f, {{1, kLShoulderPitch, 0.25f}});
  EXPECT_EQ(
      "LShoulderPitch moves 0.25 rad in a row that is not held (its duration is 0 or less): faster than its maximum "
      "8.268 rad/s at any speed",
      describeViolation(jointLimitViolations(unheld, 1.0).at(0)));
}

// The bounds from each row, computed in one pass, are those of the rows from
// there on; on a recording that wanders every joint at its own pace.
TEST(JointLimits, BoundsFromEachRowAreThoseOfTheRowsLeft)
{
  std::vector<JointRow> rows = recording(200, 0.04f, {});
  unsigned seed = 20240611;
  for (std::size_t r = 1; r < rows.size(); ++r)
    for (int j = 0; j <= kDurationColumn; ++j)
    {
      seed = seed * 1103515245u + 12345u;
      const float step = static_cast<float>((seed >> 16) % 2001) / 1000.0f - 1.0f;  // -1 to 1
      rows[r][j] = j == kDurationColumn ? 0.02f + 0.02f * std::fabs(step) : rows[r - 1][j] + 0.05f * step;
    }
  const std::vector<SpeedBound> bounds = speedBoundsFromEachRow(rows);
  ASSERT_EQ(rows.size(), bounds.size());
  for (std::size_t k = 0; k < rows.size(); ++k)
  {
    const SpeedBound expected = highestSafeSpeed(rows, k);
    EXPECT_EQ(expected.speed, bounds[k].speed) << "from row " << k;
    EXPECT_EQ(expected.row, bounds[k].row) << "from row " << k;
    EXPECT_EQ(expected.joint, bounds[k].joint) << "from row " << k;
  }
}

TEST(JointLimits, TwentyTwoJointsAndNoOther)
{
  EXPECT_EQ(-2.0857, jointLimit(0).lower);
  EXPECT_EQ(4.162, jointLimit(kJointCount - 1).maxSpeed);
  EXPECT_THROW(jointLimit(-1), std::out_of_range);
  EXPECT_THROW(jointLimit(kJointCount), std::out_of_range);
}
}  // namespace
