// What ~set_speed answers in each phase, and whether it changes the speed and
// has the status go out, also with the joint limits in force; no master, no node.
#include "nao_kinora/joint_limit_guard.h"
#include "nao_kinora/session_speed.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

using namespace nao_kinora;

namespace
{
bool statusForced = false;

void noteForce(bool force, const ros::Time&)
{
  statusForced = statusForced || force;
}
}  // namespace

TEST(SetSpeed, AnswersInEachPhaseAndChangesOnlyWhenItSays)
{
  const std::string range = " cannot be played: give 0.25 (slowest) to 2 (fastest); the speed stays 1";
  const struct
  {
    Phase phase;
    int recording;
    int row;
    double asked;
    bool success;
    std::string message;
    double after;  // the speed then in force (it was 1)
  } cases[] = {
      {Status::PHASE_PLAYING, 3, 412, 0.5, true, "speed 0.5 from row 413 of recording 3 on (it was 1)", 0.5},
      {Status::PHASE_PLAYING, 3, 412, 2.0, true, "speed 2 from row 413 of recording 3 on (it was 1)", 2.0},
      {Status::PHASE_OPENING_CUE, 2, -1, 0.25, true, "speed 0.25 from the first rows of recording 2 on (it was 1)",
       0.25},
      {Status::PHASE_GREETING, 0, -1, 0.75, true, "speed 0.75 from the next recording on (it was 1)", 0.75},
      {Status::PHASE_WAITING_FOR_TRACKING, 3, 899, 1.5, true, "speed 1.5 from the next recording on (it was 1)", 1.5},
      {Status::PHASE_PLAYING, 3, 412, 1.0, true, "the speed is already 1", 1.0},
      {Status::PHASE_PLAYING, 3, 412, 2.5, false, "a speed of 2.5" + range, 1.0},
      {Status::PHASE_PLAYING, 3, 412, 0.2, false, "a speed of 0.2" + range, 1.0},
      {Status::PHASE_PLAYING, 3, 412, -1.0, false, "a speed of -1" + range, 1.0},
      {Status::PHASE_PLAYING, 3, 412, NAN, false, "a speed of nan" + range, 1.0},
      {Status::PHASE_OVER, 3, 899, 0.5, false, "the session is over", 1.0},
  };
  ros::Time::init();
  setProgressHook(noteForce);
  for (const auto& c : cases)
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
    progressTick();  // a change has the status go out at the next tick
    EXPECT_EQ(c.after != kNormalSpeed, statusForced);
  }
  setProgressHook(nullptr);
  resetOperatorState();
  resetSpeed();
}

// With the joint limits in force, which rows a speed must suit: those still
// to play from where the session stands. Recording 1 has LShoulderPitch go
// 3.2 rad into row 2 in 0.75 s (it allows up to 1.93); recording 2 keeps still.
TEST(SetSpeed, WithTheJointLimitsSuitsEveryRowStillToPlay)
{
  std::vector<JointRow> fast(4), still(3);
  for (JointRow* row : {&fast[0], &fast[1], &fast[2], &fast[3], &still[0], &still[1], &still[2]})
  {
    row->fill(0.0f);
    (*row)[5] = -0.5f;  // the elbow rolls within their ranges
    (*row)[9] = 0.5f;
    (*row)[kDurationColumn] = 0.75f;
  }
  fast[1][2] = -1.6f;
  fast[2][2] = 1.6f;
  const std::string refused =
      "a speed of 2 would move LShoulderPitch faster than it can turn in recording 1 (a.txt) at row 2: it allows at "
      "most 1.93; the speed stays 1";
  const struct
  {
    bool inForce;
    Phase phase;
    int recording;
    int row;
    double asked;
    std::string message;  // refused unless it starts with "speed"
  } cases[] = {
      {true, Status::PHASE_GREETING, 0, -1, 2.0, refused},
      {true, Status::PHASE_GREETING, 0, -1, 1.5, "speed 1.5 from the next recording on (it was 1)"},
      {true, Status::PHASE_OPENING_CUE, 1, -1, 2.0, refused},
      {true, Status::PHASE_PLAYING, 1, 1, 2.0, refused},
      {true, Status::PHASE_PLAYING, 1, 2, 2.0, "speed 2 from row 3 of recording 1 on (it was 1)"},
      {true, Status::PHASE_REPORT, 1, 3, 2.0, "speed 2 from the next recording on (it was 1)"},
      {false, Status::PHASE_GREETING, 0, -1, 2.0, "speed 2 from the next recording on (it was 1)"},
  };
  ros::Time::init();
  for (const auto& c : cases)
  {
    SCOPED_TRACE(c.message);
    resetOperatorState();
    resetSpeed();
    resetJointLimitGuard();
    setJointLimitsInForce(c.inForce);
    ASSERT_TRUE(admitRecording(1, "a.txt", "/lib/a.txt", fast, kNormalSpeed));
    ASSERT_TRUE(admitRecording(2, "b.txt", "/lib/b.txt", still, kNormalSpeed));
    if (c.recording > 0)
      beginRecording(c.recording);
    ros::Time deadline;
    if (c.row >= 0)
      clearToSendRow(c.row, deadline);
    enterPhase(c.phase);

    const Answer answer = requestSpeed(c.asked);
    const bool taken = c.message.compare(0, 5, "speed") == 0;
    EXPECT_EQ(taken, answer.success);
    EXPECT_EQ(c.message, answer.message);
    EXPECT_EQ(taken ? c.asked : kNormalSpeed, currentSpeed());
  }
  resetJointLimitGuard();
  resetOperatorState();
  resetSpeed();
}
