// The sample exercises and the spoken cue table: what the demo plays and says.
#include <nao_kinora/command_line.h>
#include <nao_kinora/cues.h>
#include <nao_kinora/joint_limits.h>
#include <nao_kinora/recording.h>
#include <nao_kinora/recording_check.h>
#include <nao_kinora/run_flags.h>
#include <nao_kinora/session_speed.h>
#include <nao_kinora/variance.h>

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

using namespace nao_kinora;

namespace
{
const std::string kExercises = SIM_DIR "/exercises/";
const std::string kCueTexts = SIM_DIR "/sounds/cue_texts.tsv";
const float kRowDuration = 0.04f;  // 25 rows per second
// "Well inside" the joint limits: at least this far from each.
const double kLimitClearance = 0.05;
// The largest change of one joint from a row to the next: 2.5 rad/s.
const double kLargestStep = 0.1;
const int kLeftHipYawPitch = 10;
const int kRightHipYawPitch = 16;

struct Sample
{
  const char* file;
  std::size_t rows;
  std::vector<int> moving;
};

// In playing order: the n-th sample is played at argument n + 1.
const std::vector<Sample> kSamples = {
    {"01_hands_on_waist_left.txt", 900, {11, 15, 17, 21}},
    {"02_hands_on_waist_right.txt", 900, {11, 15, 17, 21}},
    {"03_arms_to_the_side.txt", 960, {3, 7}},
    {"04_seated_elbows.txt", 780, {5, 9}},
    {"05_nao_sits.txt", 250, {2, 6, 12, 13, 18, 19}},
    {"06_right_knee.txt", 600, {19, 20}},
    {"07_left_knee.txt", 600, {13, 14}},
    {"08_right_wrist.txt", 600, {8}},
    {"09_left_wrist.txt", 600, {4}},
};

// The library's tenth sample, played at no place of the demo's session.
const Sample kArmsForward = {"10_arms_forward.txt", 300, {2, 4, 6, 8}};

// Every sample of the folder, for what does not depend on a place.
std::vector<Sample> allSamples()
{
  std::vector<Sample> all = kSamples;
  all.push_back(kArmsForward);
  return all;
}

std::vector<JointRow> load(const Sample& sample, RecordingCheck* check = 0)
{
  std::vector<JointRow> rows;
  const RecordingCheck result = checkRecording(kExercises + sample.file, &rows);
  if (check)
    *check = result;
  return rows;
}

TEST(Samples, LoadWholeWithoutProblemsAtTwentyFiveRowsPerSecond)
{
  for (const Sample& sample : allSamples())
  {
    SCOPED_TRACE(sample.file);
    RecordingCheck check;
    const std::vector<JointRow> rows = load(sample, &check);
    EXPECT_TRUE(check.problems.empty()) << check.problems.front().message;
    ASSERT_EQ(sample.rows, rows.size());
    EXPECT_NEAR(kFirstRowDuration + (sample.rows - 1) * kRowDuration, check.playingTime, 1e-3);
    for (std::size_t r = 1; r < rows.size(); ++r)
      ASSERT_EQ(kRowDuration, rows[r][kDurationColumn]) << "row " << r;
  }
}

TEST(Samples, StayWellInsideTheJointLimitsAndMoveSmoothly)
{
  for (const Sample& sample : allSamples())
  {
    SCOPED_TRACE(sample.file);
    const std::vector<JointRow> rows = load(sample);
    ASSERT_FALSE(rows.empty());
    for (std::size_t r = 0; r < rows.size(); ++r)
    {
      for (int j = 0; j < kJointCount; ++j)
      {
        ASSERT_GE(rows[r][j], jointLimit(j).lower + kLimitClearance) << "row " << r << " joint " << j;
        ASSERT_LE(rows[r][j], jointLimit(j).upper - kLimitClearance) << "row " << r << " joint " << j;
        if (r > 0)
        {
          ASSERT_LE(std::fabs(rows[r][j] - rows[r - 1][j]), kLargestStep) << "row " << r << " joint " << j;
        }
      }
      // One motor turns both hips' yaw-pitch joints.
      ASSERT_EQ(rows[r][kLeftHipYawPitch], rows[r][kRightHipYawPitch]) << "row " << r;
    }
  }
}

// With the robot's joint limits in force, every sample plays at every speed
// the node offers: up to the fastest.
TEST(Samples, KeepTheJointLimitsUpToTheFastestSpeed)
{
  for (const Sample& sample : allSamples())
  {
    SCOPED_TRACE(sample.file);
    const std::vector<JointRow> rows = load(sample);
    EXPECT_EQ("", describeViolations(jointLimitViolations(rows, kFastestSpeed)));
    EXPECT_TRUE(highestSafeSpeed(rows).allows(kFastestSpeed));
  }
}

TEST(Samples, MoveTheJointsOfTheirExercise)
{
  for (const Sample& sample : allSamples())
  {
    SCOPED_TRACE(sample.file);
    calculateVariance(load(sample));
    EXPECT_EQ(sample.moving, movingJoints());
  }
}

TEST(Samples, ReachEveryFeedbackRowOfTheirPlace)
{
  for (std::size_t k = 0; k < kSamples.size(); ++k)
  {
    SCOPED_TRACE(kSamples[k].file);
    const CueSchedule* schedule = cueScheduleFor(kFirstRecordingArg + static_cast<int>(k));
    ASSERT_TRUE(schedule);
    for (int row : schedule->feedbackRows)
      EXPECT_LT(static_cast<std::size_t>(row), kSamples[k].rows);
  }
}

// Each of the nine carries, in its cue file, the cues of its place in the
// demo's session, so a console session says what the demo says; the tenth
// has none, as it has no place.
TEST(Samples, CarryTheCuesOfTheirPlaceInTheirCueFile)
{
  for (std::size_t k = 0; k < kSamples.size(); ++k)
  {
    SCOPED_TRACE(kSamples[k].file);
    std::ifstream in(kExercises + kSamples[k].file + ".cues");
    ASSERT_TRUE(in.good());
    CueSchedule own;
    ASSERT_EQ("", cuesFromJson(nlohmann::json::parse(in), own));
    const CueSchedule* place = cueScheduleFor(kFirstRecordingArg + static_cast<int>(k));
    ASSERT_EQ(place->opening.size(), own.opening.size());
    for (std::size_t c = 0; c < own.opening.size(); ++c)
    {
      EXPECT_EQ(place->opening[c].file, own.opening[c].file);
      EXPECT_EQ(place->opening[c].pauseSeconds, own.opening[c].pauseSeconds);
    }
    EXPECT_EQ(place->feedbackRows, own.feedbackRows);
    for (std::size_t p = 0; p < own.feedbackRows.size(); ++p)
      EXPECT_EQ(place->feedbackFile(p), own.feedbackFile(p));
  }
  EXPECT_FALSE(std::ifstream(kExercises + kArmsForward.file + ".cues").good());
}

std::map<std::string, std::string> readCueTexts()
{
  std::map<std::string, std::string> texts;
  std::ifstream table(kCueTexts.c_str());
  std::string line;
  while (std::getline(table, line))
  {
    const std::string::size_type tab = line.find('\t');
    EXPECT_NE(std::string::npos, tab) << line;
    if (tab != std::string::npos)
    {
      EXPECT_TRUE(texts.emplace(line.substr(0, tab), line.substr(tab + 1)).second) << "twice: " << line;
    }
  }
  return texts;
}

// Every cue the node can name in a session of the nine samples.
std::set<std::string> cuesOfASession()
{
  std::set<std::string> cues = {kGreetingCue, kExplanationCue, kClosingCue};
  for (std::size_t k = 0; k < kSamples.size(); ++k)
  {
    const CueSchedule* schedule = cueScheduleFor(kFirstRecordingArg + static_cast<int>(k));
    for (const OpeningCue& cue : schedule->opening)
      cues.insert(cue.file);
    for (std::size_t p = 0; p < schedule->feedbackRows.size(); ++p)
      cues.insert(feedbackCueName(p));
  }
  return cues;
}

TEST(CueTexts, GiveASentenceForEveryCueAndNoOther)
{
  const std::map<std::string, std::string> texts = readCueTexts();
  std::set<std::string> named;
  for (const auto& entry : texts)
  {
    EXPECT_FALSE(entry.second.empty()) << entry.first;
    named.insert(entry.first);
  }
  EXPECT_EQ(cuesOfASession(), named);
}
}  // namespace
