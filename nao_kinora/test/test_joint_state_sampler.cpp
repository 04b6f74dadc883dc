// The recorder's library: joint states taken by name, resampled, trimmed,
// refused; rows written as text that the node reads back as the same floats.
#include "nao_kinora/joint_state_sampler.h"
#include "nao_kinora/recording.h"
#include "nao_kinora/recording_check.h"
#include "nao_kinora/recording_writer.h"
#include "nao_kinora/joint_row.h"

#include "test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

using namespace nao_kinora;

namespace
{
enum Edit
{
  kPlain,
  kShuffled,
  kShort,
  kNoElbow
};

// One joint state: joint j at base + j / 100, in the robot's order; shuffled
// (with joints of other kinds between) or edited as told.
struct Message
{
  double stamp;
  double base;
  Edit edit;
};

void take(JointStateSampler& sampler, const Message& m)
{
  std::vector<std::string> names;
  std::vector<double> positions;
  for (int j = 0; j < kJointCount; ++j)
  {
    if (m.edit == kNoElbow && j == 5)
      continue;
    names.push_back(robotJointName(j));
    positions.push_back(m.base + j / 100.0);
  }
  if (m.edit == kShuffled)
  {
    const int shift = static_cast<int>(m.base * 7) % kJointCount + 1;
    std::rotate(names.begin(), names.begin() + shift, names.end());
    std::rotate(positions.begin(), positions.begin() + shift, positions.end());
    names.insert(names.begin() + 3, "LWristYaw");
    positions.insert(positions.begin() + 3, 9.0);
    names.push_back("RHand");
    positions.push_back(-9.0);
  }
  if (m.edit == kShort)
    positions.pop_back();
  sampler.take(names, positions, m.stamp);
}

struct Case
{
  const char* name;
  std::vector<Message> messages;
  std::vector<double> rowBases;  // row r: joint j at rowBases[r] + j / 100
  std::string refusal;
};

// 30 Hz messages with base k * k at k / 30 s, at 25 Hz: the rows fall at k =
// 1.2 r, between messages, so each is interpolated: 1 + 0.2 * (4 - 1) = 1.6...
std::vector<Message> at30Hz(Edit edit)
{
  std::vector<Message> messages;
  for (int k = 0; k <= 6; ++k)
    messages.push_back({k / 30.0, double(k * k), edit});
  return messages;
}

std::vector<Message> with(std::vector<Message> messages, const Message& extra, std::size_t at)
{
  messages.insert(messages.begin() + at, extra);
  return messages;
}

const std::vector<double> k30at25 = {0, 1.6, 6, 13.2, 23.2, 36};

const Case kCases[] = {
    {"At30HzSampledAt25Hz", at30Hz(kPlain), k30at25, ""},
    {"NamesShuffledOtherJointsBetween", at30Hz(kShuffled), k30at25, ""},
    {"NamesAndPositionsOfDifferentLengths", with(at30Hz(kPlain), {0.05, 50, kShort}, 2), k30at25, ""},
    {"StampsGoBackEndAtTheLastGoodMessage", with(at30Hz(kPlain), {0.01, 50, kPlain}, 4), {0, 1.6, 6}, ""},
    {"StillEndsTrimmedToOneRow",
     {{0, 0, kPlain},
      {0.04, 0.005, kPlain},
      {0.08, 0, kPlain},
      {0.12, 1, kPlain},
      {0.16, 2, kPlain},
      {0.2, 2.005, kPlain},
      {0.24, 2, kPlain}},
     {0, 1, 2},
     ""},
    {"NoMovement", {{0, 3, kPlain}, {0.04, 3.004, kPlain}, {0.5, 3, kPlain}}, {}, "nothing moved"},
    {"AJointInNoMessage", {{0, 0, kNoElbow}, {0.04, 1, kNoElbow}}, {}, "joint(s) in no message: LElbowRoll"},
    {"NoMessage", {}, {}, "no joint state received"},
};

void PrintTo(const Case& c, std::ostream* os)
{
  *os << c.name;
}

class Sampling : public ::testing::TestWithParam<Case>
{
};

TEST_P(Sampling, RowsAsExpected)
{
  const Case& c = GetParam();
  JointStateSampler sampler;
  for (const Message& m : c.messages)
    take(sampler, m);
  const SampledRecording got = sampler.sample(25, 0.01);
  EXPECT_EQ(c.refusal, got.refusal);
  ASSERT_EQ(c.rowBases.size(), got.rows.size());
  for (std::size_t r = 0; r < got.rows.size(); ++r)
  {
    for (int j = 0; j < kJointCount; ++j)
      EXPECT_NEAR(c.rowBases[r] + j / 100.0, got.rows[r][j], 1e-5) << "row " << r << " joint " << j;
    EXPECT_EQ(0.04f, got.rows[r][kDurationColumn]);
  }
}

INSTANTIATE_TEST_SUITE_P(JointStates, Sampling, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// A NaN or a missing joint holds the joint's last value; one hip yaw-pitch
// gives both (one motor); a joint first given late is taken to have been there.
TEST(JointStateIntake, HoldsAndHips)
{
  JointStateSampler sampler;
  sampler.take({"LElbowRoll", "LHipYawPitch"}, {0.5, 0.25}, 0);
  sampler.take({"LElbowRoll", "RHipYawPitch", "HeadYaw"}, {NAN, -0.5, 1}, 0.04);
  sampler.take({"HeadYaw", "RHipYawPitch", "LHipYawPitch"}, {2, -1, -1}, 0.08);
  std::vector<std::string> rest;
  for (int j = 0; j < kJointCount; ++j)
    rest.push_back(robotJointName(j));
  sampler.take(rest, std::vector<double>(kJointCount, 0.0), 0.08);  // same stamp: adds the other joints
  const SampledRecording got = sampler.sample(25, 0);
  ASSERT_EQ("", got.refusal);
  ASSERT_EQ(3u, got.rows.size());
  const float expected[3][4] = {{1, 0.5, 0.25, 0.25}, {1, 0.5, -0.5, -0.5}, {0, 0, 0, 0}};
  for (int r = 0; r < 3; ++r)
  {
    EXPECT_EQ(expected[r][0], got.rows[r][0]) << "HeadYaw, row " << r;
    EXPECT_EQ(expected[r][1], got.rows[r][5]) << "LElbowRoll, row " << r;
    EXPECT_EQ(expected[r][2], got.rows[r][kLeftHipYawPitchColumn]) << "row " << r;
    EXPECT_EQ(expected[r][3], got.rows[r][kRightHipYawPitchColumn]) << "row " << r;
  }
}

TEST(RecordingWriter, DigitsReadBackAsTheSameFloats)
{
  JointRow row;
  const float awkward[] = {0.1f, 1.0f / 3, -2.5e-8f, 3.4e38f, 1e-45f, 0.04f, -0.0029f, 16777217.0f};
  for (int c = 0; c < kRowColumns; ++c)
    row[c] = awkward[c % 8] / (c + 1);
  JointRow back;
  ASSERT_TRUE(parseJointRow(formatJointRow(row), back)) << formatJointRow(row);
  for (int c = 0; c < kRowColumns; ++c)
    EXPECT_EQ(row[c], back[c]) << "column " << c << " in " << formatJointRow(row);
  EXPECT_EQ(std::string::npos, formatJointRow(row).find(',')) << "classic locale";
}

TEST(RecordingWriter, WholeFileOrNothing)
{
  kinora_test::TempDir dir;
  const std::string path = dir.path() + "taught.txt";
  std::vector<JointRow> rows(3);
  for (int r = 0; r < 3; ++r)
    rows[r].fill(0.125f * r);
  EXPECT_EQ("", checkWritable(path, false));
  ASSERT_EQ("", writeRecording(path, rows, false));
  std::vector<JointRow> loaded;
  const RecordingCheck check = checkRecording(path, &loaded);
  EXPECT_TRUE(check.problems.empty()) << check.problems.front().message;
  ASSERT_EQ(3u, loaded.size());
  EXPECT_EQ(rows[2], loaded[2]);

  const std::string before = kinora_test::readFile(path);
  EXPECT_TRUE(kinora_test::contains(checkWritable(path, false), "exists"));
  EXPECT_NE("", writeRecording(path, std::vector<JointRow>(1), false));
  EXPECT_EQ(before, kinora_test::readFile(path));
  ASSERT_EQ("", writeRecording(path, std::vector<JointRow>(1), true));
  EXPECT_EQ(formatJointRow(JointRow()) + "\n", kinora_test::readFile(path));
  EXPECT_NE("", checkWritable(dir.path() + "no/such/folder.txt", true));
}
}  // namespace
