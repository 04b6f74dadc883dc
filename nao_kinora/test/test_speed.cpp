// The rows' speed without a master: what ~set_speed answers in each phase and
// whether it changes the speed, the rows as sent at a speed, and the timeline
// (time left, a recording's playing time) at a speed.
#include "nao_kinora/recording.h"
#include "nao_kinora/session_speed.h"
#include "nao_kinora/timeline.h"

#include "test_util.h"

#include <gtest/gtest.h>

#include <cmath>
#include <locale>
#include <sstream>
#include <string>

using namespace nao_kinora;

namespace
{
bool statusForced = false;

void noteForce(bool force, const ros::Time&)
{
  statusForced = statusForced || force;
}

struct SpeedCase
{
  Phase phase;
  int recording;
  int row;
  double asked;
  bool success;
  std::string message;
  double after;  // the speed then in force (it was 1)
};
}  // namespace

TEST(SetSpeed, AnswersInEachPhaseAndChangesOnlyWhenItSays)
{
  ros::Time::init();
  const SpeedCase cases[] = {
      {Status::PHASE_PLAYING, 3, 412, 0.5, true, "speed 0.5 from row 413 of recording 3 on (it was 1)", 0.5},
      {Status::PHASE_PLAYING, 3, 412, 2.0, true, "speed 2 from row 413 of recording 3 on (it was 1)", 2.0},
      {Status::PHASE_PLAYING, 3, 412, 0.25, true, "speed 0.25 from row 413 of recording 3 on (it was 1)", 0.25},
      {Status::PHASE_OPENING_CUE, 2, -1, 1.5, true, "speed 1.5 from the first rows of recording 2 on (it was 1)",
       1.5},
      {Status::PHASE_GREETING, 0, -1, 0.75, true, "speed 0.75 from the next recording on (it was 1)", 0.75},
      {Status::PHASE_WAITING_FOR_TRACKING, 3, 899, 0.5, true, "speed 0.5 from the next recording on (it was 1)",
       0.5},
      {Status::PHASE_PLAYING, 3, 412, 1.0, true, "the speed is already 1", 1.0},
      {Status::PHASE_PLAYING, 3, 412, 2.5, false,
       "a speed of 2.5 cannot be played: give 0.25 (slowest) to 2 (fastest); the speed stays 1", 1.0},
      {Status::PHASE_PLAYING, 3, 412, 0.2, false,
       "a speed of 0.2 cannot be played: give 0.25 (slowest) to 2 (fastest); the speed stays 1", 1.0},
      {Status::PHASE_PLAYING, 3, 412, 0.0, false,
       "a speed of 0 cannot be played: give 0.25 (slowest) to 2 (fastest); the speed stays 1", 1.0},
      {Status::PHASE_PLAYING, 3, 412, -1.0, false,
       "a speed of -1 cannot be played: give 0.25 (slowest) to 2 (fastest); the speed stays 1", 1.0},
      {Status::PHASE_PLAYING, 3, 412, NAN, false,
       "a speed of nan cannot be played: give 0.25 (slowest) to 2 (fastest); the speed stays 1", 1.0},
      {Status::PHASE_OVER, 3, 899, 0.5, false, "the session is over", 1.0},
  };
  setProgressHook(noteForce);
  for (const SpeedCase& c : cases)
  {
    SCOPED_TRACE(c.message);
    resetOperatorState();
    resetSpeed();
    if (c.recording > 0)
      beginRecording(c.recording);
    ros::Time deadline;
    if (c.row >= 0)
      clearToSendRow(c.row, deadline);
    enterPhase(c.phase);
    statusForced = false;

    const Answer answer = requestSpeed(c.asked);
    EXPECT_EQ(c.success, answer.success);
    EXPECT_EQ(c.message, answer.message);
    EXPECT_EQ(c.after, currentSpeed());
    // A change has the status go out at the next tick.
    progressTick();
    EXPECT_EQ(c.after != kNormalSpeed, statusForced);
  }
  setProgressHook(nullptr);
  resetOperatorState();
  resetSpeed();
}

TEST(SetSpeed, RowsCarryTheirDurationAtTheSpeedButRowZero)
{
  const struct
  {
    int index;
    float duration;
    double speed;
    float sent;
  } cases[] = {
      {1, 0.5f, 0.5, 1.0f},  {1, 0.5f, 2.0, 0.25f},   {7, 0.04f, 0.25, static_cast<float>(0.04f / 0.25)},
      {7, 0.3f, 1.0, 0.3f},  {7, 0.3f, 1.5, static_cast<float>(0.3f / 1.5)},
      {0, 2.0f, 0.5, 2.0f},  {0, 2.0f, 2.0, 2.0f},  // row 0's 2 s are the start's
      {3, -1.0f, 2.0, -0.5f},  // still no pause
  };
  for (const auto& c : cases)
  {
    SCOPED_TRACE(std::to_string(c.index) + " " + std::to_string(c.duration) + " at " + std::to_string(c.speed));
    JointRow row;
    for (int j = 0; j < kJointCount; ++j)
      row[j] = 0.1f * j;
    row[kDurationColumn] = c.duration;
    const JointRow sent = rowAtSpeed(row, c.index, c.speed);
    EXPECT_EQ(c.sent, sent[kDurationColumn]);
    for (int j = 0; j < kJointCount; ++j)
      EXPECT_EQ(row[j], sent[j]) << "joint " << j;
  }
}

namespace
{
// rows rows of 0.5 s, nothing moving.
std::string halfSecondRows(int rows)
{
  std::ostringstream text;
  text.imbue(std::locale::classic());
  for (int r = 0; r < rows; ++r)
  {
    for (int j = 0; j < kJointCount; ++j)
      text << 0.1 << ' ';
    text << "0.5\n";
  }
  return text.str();
}
}  // namespace

// Two recordings of 5 rows: greeting 10 s; the first starts at 10, its rows
// 1-4 from 17 to 19; the second starts at 19, its rows 1-4 from 26 to 28; the
// closing from 28 to 33. Only rows 1-4 of each change pace.
TEST(SpeedTimeline, OnlyTheRowsAfterRowZeroChangePace)
{
  kinora_test::TempDir dir;
  dir.write("a.txt", halfSecondRows(5));
  const std::string savedDir = staticdisplaycommand2;
  staticdisplaycommand2 = dir.path();
  const SessionTimeline session = planSession({2.0f, {"a.txt", "a.txt"}});
  staticdisplaycommand2 = savedDir;
  ASSERT_EQ(33.0, session.length());

  const struct
  {
    double t;
    double speed;
    double at;
  } cases[] = {
      {16.0, 2.0, 16.0},  {17.0, 0.5, 17.0},  {18.0, 2.0, 17.5},  {18.0, 0.5, 19.0},  {19.0, 2.0, 18.0},
      {27.0, 2.0, 25.5},  {33.0, 2.0, 31.0},  {33.0, 0.5, 37.0},  {33.0, 0.25, 45.0}, {20.0, 0.5, 22.0},
      {18.3, 1.0, 18.3},  {33.0, 1.0, 33.0},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.at, session.atSpeed(c.t, c.speed)) << c.t << " at " << c.speed;

  // Within a recording: from its start signal; its playing time from row 0 on.
  const RecordingTimeline& first = session.recordings[0];
  EXPECT_EQ(9.0, first.atSpeed(first.end, 1.0));
  EXPECT_EQ(8.0, first.atSpeed(first.end, 2.0));
  EXPECT_EQ(11.0, first.atSpeed(first.end, 0.5));
  EXPECT_EQ(7.5, first.atSpeed(8.0, 2.0));
}
