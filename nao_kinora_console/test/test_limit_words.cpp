// The library's marks for the robot's joint limits, as one table of
// recordings: playable or not, the highest safe speed, the therapist's words
// (a time, a part of the body, what is wrong) and the node's. The moments
// there are the rows' starts: row 0 held 2 s, each later row 0.1 s (0.05 s).
#include "nao_kinora_console/clinic/limit_words.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

using namespace nao_kinora_console;
using nao_kinora::JointRow;

namespace
{
const int kLeftShoulderPitch = 2;  // at most 8.268 rad/s, range +-2.0857
const int kLeftShoulderRoll = 3;   // range -0.3142 to 1.3264
const int kRightKnee = 19;

// Rows of 0.1 s (row 0 held 2 s, as the node loads it), the elbows bent
// inside their ranges, the given joint at each angle in turn.
std::vector<JointRow> rowsOf(int joint, const std::vector<double>& angles, double duration = 0.1)
{
  std::vector<JointRow> rows;
  for (double angle : angles)
  {
    JointRow row;
    row.fill(0.0f);
    row[5] = -0.5f;  // left elbow roll
    row[9] = 0.5f;   // right elbow roll
    row[joint] = static_cast<float>(angle);
    row[nao_kinora::kDurationColumn] = static_cast<float>(rows.empty() ? 2.0 : duration);
    rows.push_back(row);
  }
  return rows;
}

const double kAnySpeed = std::numeric_limits<double>::infinity();

struct MarkCase
{
  const char* name;
  std::vector<JointRow> rows;
  bool playable;
  double safeSpeed;  // within 1e-3
  std::string words;
  std::string detail;  // its beginning
  std::string speedWords;
};

// The left shoulder pitch turns at most 8.268 rad/s, its roll 7.194 rad/s.
// 0.6 rad in 0.1 s is 6 rad/s: within up to 1.378x. 0.9 rad in 0.1 s is 9
// rad/s: too fast at 1x, within up to 0.919x. 2 rad in 0.05 s is 40 rad/s:
// within only up to 0.207x, below the slowest speed a plan may have (0.25x).
const std::vector<MarkCase> kCases = {
    {"within the limits at every speed", rowsOf(kLeftShoulderPitch, {0, 0.05, 0.1}), true, 8.268 * 0.1 / 0.05, "", "",
     "the left shoulder would move faster than the robot can at 0:02.0"},
    {"nothing moves", rowsOf(kLeftShoulderPitch, {0.3, 0.3, 0.3}), true, kAnySpeed, "", "", ""},
    {"too fast only above 1.378x", rowsOf(kLeftShoulderPitch, {0, 0.1, 0.7}), true, 8.268 * 0.1 / 0.6, "", "",
     "the left shoulder would move faster than the robot can at 0:02.1"},
    {"too fast at the recorded pace", rowsOf(kLeftShoulderPitch, {0, 0.1, 1.0}), true, 8.268 * 0.1 / 0.9,
     "At 0:02.1 the left shoulder moves faster than the robot can at the recorded pace: play it slower.",
     "row 2: LShoulderPitch moves 0.9 rad in 0.1 s at speed 1", ""},
    {"too fast even at the slowest speed", rowsOf(kLeftShoulderPitch, {0, 0, 0, 2.0}, 0.05), false, 8.268 * 0.05 / 2.0,
     "At 0:02.1 the left shoulder moves faster than the robot can, even at the slowest speed.",
     "row 3: LShoulderPitch moves 2 rad in 0.05 s at speed 1", ""},
    {"a change in a row not held", rowsOf(kRightKnee, {0.5, 0.5, 0.8}, 0.0), false, 0,
     "At 0:02.0 the right knee moves faster than the robot can, even at the slowest speed.",
     "row 2: RKneePitch moves 0.3 rad in a row that is not held", ""},
    {"past the range", rowsOf(kLeftShoulderRoll, {0, 0.5, 1.0, 1.4, 1.0, 0.5}), false, 7.194 * 0.1 / 0.5,
     "At 0:02.2 the left shoulder goes further than the robot can.",
     "row 3: LShoulderRoll at 1.4 rad is above its upper limit 1.3264 rad", ""},
    {"just inside the tolerance past the range", rowsOf(kLeftShoulderRoll, {0, 0.5, 1.0, 1.34, 1.0}), true,
     7.194 * 0.1 / 0.5, "", "", ""},
};

TEST(LimitMarks, OfEachRecording)
{
  for (const MarkCase& c : kCases)
  {
    SCOPED_TRACE(c.name);
    const LimitMarks marks = limitMarks(c.rows);
    EXPECT_EQ(c.playable, marks.playable);
    if (std::isinf(c.safeSpeed))
      EXPECT_TRUE(std::isinf(marks.bound.speed)) << marks.bound.speed;
    else
      EXPECT_NEAR(c.safeSpeed, marks.bound.speed, 1e-3);
    EXPECT_EQ(c.words, marks.words);
    EXPECT_EQ(0u, marks.detail.find(c.detail)) << marks.detail;
    EXPECT_EQ(c.detail.empty(), marks.detail.empty()) << marks.detail;
    if (!c.speedWords.empty())
      EXPECT_EQ(c.speedWords, marks.speedWords);
  }
}

TEST(LimitWords, PartsAndMoments)
{
  const std::vector<std::pair<int, std::string>> parts = {
      {1, "head"},      {3, "left shoulder"}, {4, "left elbow"}, {7, "right shoulder"}, {9, "right elbow"},
      {10, "left hip"}, {13, "left knee"},    {16, "right hip"}, {21, "right ankle"}};
  for (const auto& p : parts)
    EXPECT_EQ(p.second, bodyPart(p.first)) << p.first;
  // Counted down to the tenth: the moment a row begins, never after it.
  const std::vector<std::pair<double, std::string>> moments = {
      {0, "0:00.0"}, {12.46, "0:12.4"}, {59.99, "0:59.9"}, {61.2, "1:01.2"}, {600.0, "10:00.0"}};
  for (const auto& m : moments)
    EXPECT_EQ(m.second, momentWords(m.first)) << m.first;
}
}  // namespace
