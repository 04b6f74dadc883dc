// The operator's requests as the services answer them, phase by phase, and
// how the main loop takes them up; no master, no node.
#include "nao_kinora/operator_state.h"

#include <gtest/gtest.h>

#include <string>

using namespace nao_kinora;

namespace
{
enum class Ask
{
  kPause,
  kResume,
  kSkip,
  kEnd,
};

Answer ask(Ask what)
{
  switch (what)
  {
    case Ask::kPause:
      return requestPause(true);
    case Ask::kResume:
      return requestPause(false);
    case Ask::kSkip:
      return requestSkip();
    default:
      return requestEnd();
  }
}

struct Case
{
  Phase phase;
  int recording;
  int row;
  Ask ask;
  bool success;
  std::string message;
  Request taken;  // what the main loop then takes up
};

class OperatorState : public ::testing::Test
{
protected:
  void SetUp()
  {
    ros::Time::init();
    resetOperatorState();
  }
  void TearDown() { resetOperatorState(); }

  // Moves the session to phase in recording, with row sent.
  void at(Phase phase, int recording, int row)
  {
    resetOperatorState();
    if (recording > 0)
      beginRecording(recording);
    ros::Time deadline;
    if (row >= 0)
      clearToSendRow(row, deadline);
    enterPhase(phase);
  }
};
}  // namespace

TEST_F(OperatorState, AnswersEachRequestInEachPhase)
{
  const Case cases[] = {
      {Status::PHASE_STARTING, 0, -1, Ask::kPause, true, "paused while waiting for the audio player", Request::kNone},
      {Status::PHASE_STARTING, 0, -1, Ask::kResume, false,
       "not paused: the session goes on while waiting for the audio player", Request::kNone},
      {Status::PHASE_STARTING, 0, -1, Ask::kSkip, false,
       "nothing to skip while waiting for the audio player: the first recording starts after the greeting",
       Request::kNone},
      {Status::PHASE_GREETING, 0, -1, Ask::kSkip, false,
       "nothing to skip in the greeting: the first recording starts after the greeting", Request::kNone},
      {Status::PHASE_GREETING, 0, -1, Ask::kEnd, true, "ending the session in the greeting: the goodbye next",
       Request::kEnd},
      {Status::PHASE_OPENING_CUE, 3, -1, Ask::kPause, true, "paused in recording 3 before its first row",
       Request::kNone},
      {Status::PHASE_OPENING_CUE, 3, -1, Ask::kSkip, true,
       "skipping the rest of recording 3 before its first row: the robot stops now", Request::kSkip},
      {Status::PHASE_PLAYING, 3, 412, Ask::kPause, true, "paused in recording 3 at row 412", Request::kNone},
      {Status::PHASE_PLAYING, 3, 412, Ask::kSkip, true,
       "skipping the rest of recording 3 after row 412: the robot stops now", Request::kSkip},
      {Status::PHASE_PLAYING, 3, 412, Ask::kEnd, true,
       "ending the session in recording 3 at row 412: the robot stops, then the goodbye", Request::kEnd},
      {Status::PHASE_REPORT, 3, 412, Ask::kSkip, false, "recording 3 is already over: its report is going out",
       Request::kNone},
      {Status::PHASE_WAITING_FOR_TRACKING, 3, 899, Ask::kSkip, true,
       "going on after recording 3 without waiting for person tracking", Request::kSkip},
      {Status::PHASE_WAITING_FOR_TRACKING, 3, 899, Ask::kEnd, true,
       "ending the session after recording 3, waiting for person tracking: the goodbye next", Request::kEnd},
      {Status::PHASE_WAITING_FOR_TRACKING, 0, -1, Ask::kSkip, false,
       "nothing to skip after the greeting, with no recording to play", Request::kNone},
      {Status::PHASE_CLOSING, 3, 899, Ask::kPause, true, "paused in the closing", Request::kNone},
      {Status::PHASE_CLOSING, 3, 899, Ask::kSkip, false, "nothing to skip in the closing", Request::kNone},
      {Status::PHASE_CLOSING, 3, 899, Ask::kEnd, false, "the session is already closing", Request::kNone},
      {Status::PHASE_OVER, 3, 899, Ask::kPause, false, "the session is over", Request::kNone},
      {Status::PHASE_OVER, 3, 899, Ask::kEnd, false, "the session is over", Request::kNone},
  };
  for (const Case& c : cases)
  {
    at(c.phase, c.recording, c.row);
    const Answer answer = ask(c.ask);
    SCOPED_TRACE(c.message);
    EXPECT_EQ(c.success, answer.success);
    EXPECT_EQ(c.message, answer.message);
    EXPECT_EQ(c.taken != Request::kNone, interrupted());
    EXPECT_EQ(c.taken, takeRequest());
    EXPECT_EQ(Request::kNone, takeRequest());  // once
    EXPECT_FALSE(interrupted());
  }
}

TEST_F(OperatorState, PauseAndResumeSayWhereAndRefuseTwice)
{
  at(Status::PHASE_PLAYING, 2, 7);
  const Answer first = requestPause(true);
  EXPECT_TRUE(first.success);
  EXPECT_EQ("paused in recording 2 at row 7", first.message);
  EXPECT_TRUE(paused());
  const Answer again = requestPause(true);
  EXPECT_FALSE(again.success);
  EXPECT_EQ("already paused in recording 2 at row 7", again.message);
  const Answer resumed = requestPause(false);
  EXPECT_TRUE(resumed.success);
  EXPECT_EQ(0u, resumed.message.find("resumed in recording 2 at row 7 after ")) << resumed.message;
  EXPECT_FALSE(paused());
  // No skip or end came: nothing for the main loop, nothing interrupts its pauses.
  EXPECT_FALSE(interrupted());
  EXPECT_EQ(Request::kNone, takeRequest());
}

// A skip meant for a recording lapses once it has ended on its own, and one
// meant for the wait once the next recording has begun; it stays across the
// step from the opening cues to the rows.
TEST_F(OperatorState, ASkipLapsesOnceItsPhaseIsOver)
{
  at(Status::PHASE_OPENING_CUE, 1, -1);
  ASSERT_TRUE(requestSkip().success);
  enterPhase(Status::PHASE_PLAYING);
  EXPECT_TRUE(interrupted());
  EXPECT_EQ(Request::kSkip, takeRequest());

  at(Status::PHASE_PLAYING, 1, 5);
  ASSERT_TRUE(requestSkip().success);
  EXPECT_FALSE(requestSkip().success);  // already under way
  enterPhase(Status::PHASE_REPORT);
  EXPECT_FALSE(interrupted());
  EXPECT_EQ(Request::kNone, takeRequest());

  at(Status::PHASE_WAITING_FOR_TRACKING, 1, 5);
  ASSERT_TRUE(requestSkip().success);
  beginRecording(2);
  EXPECT_FALSE(interrupted());
  EXPECT_EQ(Request::kNone, takeRequest());
}

// A skip while paused acts at once; the session stays paused for what follows.
TEST_F(OperatorState, ASkipWhilePausedActsAndThePauseStays)
{
  at(Status::PHASE_PLAYING, 4, 20);
  ASSERT_TRUE(requestPause(true).success);
  ASSERT_TRUE(requestSkip().success);
  EXPECT_TRUE(interrupted());  // ends the hold of the row's pause
  EXPECT_EQ(Request::kSkip, takeRequest());
  EXPECT_TRUE(paused());
  enterPhase(Status::PHASE_REPORT);
  EXPECT_EQ("already paused in recording 4 at its report", requestPause(true).message);
}

// An end lifts a pause and ends the session whatever comes after; the closing
// takes it as done, so its pause is not cut short.
TEST_F(OperatorState, AnEndLiftsThePauseAndTheClosingTakesIt)
{
  at(Status::PHASE_PLAYING, 1, 5);
  ASSERT_TRUE(requestPause(true).success);
  ASSERT_TRUE(requestEnd().success);
  EXPECT_FALSE(paused());
  EXPECT_TRUE(interrupted());
  EXPECT_EQ("the session is ending", requestSkip().message);
  enterPhase(Status::PHASE_CLOSING);
  EXPECT_FALSE(interrupted());
  EXPECT_EQ(Request::kNone, takeRequest());
  EXPECT_EQ("the session is already ending", requestEnd().message);
}
