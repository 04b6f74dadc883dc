// The rows' speed in whole runs, the clock driven by the test: a recording at
// ~speed 0.5 and 2.0, every row at its exact time and the cues at their rows;
// a change through ~set_speed mid-recording, on ~status and in the session
// log; ~set_speed with the joint limits in force and without them.
#include "operator_calls.h"
#include "ros_harness.h"
#include "run_script.h"

#include <nao_kinora_msgs/SetSpeed.h>

#include <gtest/gtest.h>

using kinora_test::Harness;
using kinora_test::TempDir;
using namespace run_script;
using namespace operator_calls;

namespace
{
const double kFineStep = 0.125;

// The recording as the node sends it at speed: each duration but row 0's
// divided by it, as a float, which is what the row then carries and is held for.
Recording atSpeed(Recording rec, double speed)
{
  for (std::size_t r = 1; r < rec.durations.size(); ++r)
    rec.durations[r] = static_cast<float>(rec.durations[r] / speed);
  return rec;
}

Reply setSpeed(double speed)
{
  nao_kinora_msgs::SetSpeed srv;
  srv.request.speed = speed;
  return callService("/nao_kinora/set_speed", srv);
}

class Speed : public ::testing::TestWithParam<double>
{
};
}  // namespace

// At ~speed S every row after row 0 is held its duration / S and carries it;
// row 0 keeps its 2 s, the opening cue its 5 s, the closing its 5 s, and the
// feedback cue still goes out before row 94. The console lines are those of
// the normal speed, and the session log tells the speed at the start.
TEST_P(Speed, RowsAreHeldTheirDurationDividedByIt)
{
  const double speed = GetParam();
  Harness h;
  TempDir dir;
  const std::string log = dir.write("session.jsonl", "");
  Recording rec = makeQuickRecording("q.txt", 1, 100, {2, 9}, {94});
  rec.durations[1] = 0.25f;
  rec.durations[2] = 1.5f;
  const Recording sent = atSpeed(rec, speed);
  auto node =
      startRun(h, dir.path(), "1", {rec}, nodeTopics(), {"_speed:=" + std::to_string(speed), "_session_log:=" + log});

  Script s;
  s.greeting();
  s.steps(kFineStep);
  s.play(sent, scheduleFor(2));
  EXPECT_TRUE(closesAsScripted(h, *node, s, {sent}));
  EXPECT_EQ(playedLines(rec.rows(), rec.reported()), node->out());
  const std::vector<nlohmann::json> events = eventsNamed(sessionLog(log), "speed");
  ASSERT_EQ(1u, events.size());
  EXPECT_EQ((nlohmann::json{{"event", "speed"}, {"speed", speed}, {"recording", 0}, {"row", -1}}), events[0]);
}

INSTANTIATE_TEST_SUITE_P(HalfAndDouble, Speed, ::testing::Values(0.5, 2.0),
                         [](const ::testing::TestParamInfo<double>& info)
                         { return info.param < 1 ? std::string("Half") : std::string("Double"); });

// Speed 2 asked in the pause after row 5: row 5 keeps its 0.5 s, rows 6 on
// are held 0.25 s and carry it. A speed out of range is refused and changes
// nothing. ~status tells the speed at once, with the time left and the
// recording's figures at it; the session log has the change with its row.
TEST(SetSpeedService, ChangesThePaceFromTheNextRow)
{
  Harness h;
  TempDir dir;
  const std::string log = dir.write("session.jsonl", "");
  const Recording rec = makeRecording("rec.txt", 1, 12, 0.5f, {2, 9});
  Recording fast = atSpeed(rec, 2.0);
  fast.name += "@2";  // so that the run shows which duration each row carried
  StatusLog status("/nao_kinora/status");
  auto node = startRun(h, dir.path(), "1", {rec}, nodeTopics(), {"_session_log:=" + log});

  Script s;
  s.greeting();
  s.startRecording(scheduleFor(2));
  s.steps(kFineStep);
  s.rows(rec, scheduleFor(2), 0, 4);
  s.row(rec, 5);
  s.wait(250);
  s.act(
      [&]
      {
        // Latched: the status the node published before the test subscribed comes once connected.
        ASSERT_TRUE(h.waitWall([&] { return status.size() > 0; }, kinora_test::kConnectSeconds));
        ASSERT_EQ(1.0, status.last().speed);
        EXPECT_TRUE(answered(setSpeed(2.5), false,
                             "a speed of 2.5 cannot be played: give 0.25 (slowest) to 2 (fastest); the speed stays 1"));
        EXPECT_TRUE(answered(setSpeed(2.0), true, "speed 2 from row 6 of recording 1 on (it was 1)"));
        ASSERT_TRUE(h.waitWall([&] { return status.last().speed == 2.0; }, kinora_test::kConnectSeconds));
        const Status m = status.last();
        EXPECT_EQ(5, m.row);
        // Greeting 10 s, opening 5 s, row 0 2 s, then rows 1-11 of 0.5 s and the
        // closing 5 s: from row 5 on, 7 rows at 0.25 s and the closing.
        EXPECT_EQ(7 * 0.25 + 5, m.session_remaining);
        EXPECT_EQ(2 + 11 * 0.25, m.total);
        EXPECT_EQ(2 + 4 * 0.25, m.played);
      });
  s.wait(250);  // row 5's pause, as it began
  s.rows(fast, scheduleFor(2), 6, rec.rows() - 1);
  s.report(rec.reported());
  EXPECT_TRUE(closesAsScripted(h, *node, s, {fast, rec}));

  EXPECT_EQ(playedLines(rec.rows(), rec.reported()), node->out());
  EXPECT_EQ(2.0, status.last().speed);
  const std::vector<nlohmann::json> events = eventsNamed(sessionLog(log), "speed");
  ASSERT_EQ(1u, events.size());
  EXPECT_EQ((nlohmann::json{{"event", "speed"}, {"speed", 2.0}, {"recording", 1}, {"row", 5}}), events[0]);
}

namespace
{
// Two recordings within the joint limits, rows of 0.75 s. In the second,
// LShoulderPitch goes from -1.6 rad (row 1) to 1.6 rad (row 2), 3.2 rad: at
// most 8.268 rad/s, so that row allows speeds up to 8.268 * 0.75 / 3.2 =
// 1.94; the rows from 3 on, 1.6 rad back, up to 3.88.
struct TwoRecordings
{
  TwoRecordings()
  {
    a = makeRecording("a.txt", 1, 4, 0.75f, {});
    a.pose = poseWithinLimits();
    b = makeRecording("b.txt", 2, 5, 0.75f, {});
    b.pose = poseWithinLimits();
    b.angles = {{1, 2, -1.6f}, {2, 2, 1.6f}};
  }

  // The recording as sent at speed, named for it so the run tells them apart;
  // but for row 0, which is the same at every speed: given after it, the
  // recording as it is names that row.
  static Recording at(const Recording& rec, double speed)
  {
    Recording sent = atSpeed(rec, speed);
    sent.name += "@" + std::to_string(speed);
    return sent;
  }

  Recording a, b;
};
// The greeting, recording 1's start and its rows 0 and 1; then a quarter
// second into row 1, where the speed is asked for.
void playUpToRow1(Script& s, const TwoRecordings& r)
{
  s.greeting();
  s.startRecording(scheduleFor(2));
  s.rows(r.a, scheduleFor(2), 0, 0);
  s.row(r.a, 1);
  s.wait(250);
}
}  // namespace

// With the joint limits in force, a speed at which a recording still to play
// would move a joint faster than it can turn is refused, naming the recording,
// the row and the joint, and the speed stays; a speed within it is taken. Once
// the row that bounds it has gone out, the higher speed is taken too.
TEST(SetSpeedWithinJointLimits, RefusedForARowAheadThenTakenOnceItIsPast)
{
  Harness h;
  TempDir dir;
  const TwoRecordings r;
  auto node = startRun(h, dir.path(), "2", {r.a, r.b}, nodeTopics(), {"_joint_limits:=true"});

  Script s;
  playUpToRow1(s, r);
  s.act(
      [&]
      {
        EXPECT_TRUE(answered(setSpeed(2.0), false,
                             "a speed of 2 would move LShoulderPitch faster than it can turn in recording 2 (b.txt) at "
                             "row 2: it allows at most 1.93; the speed stays 1"));
        EXPECT_TRUE(answered(setSpeed(1.5), true, "speed 1.5 from row 2 of recording 1 on (it was 1)"));
      });
  s.wait(500);
  s.rows(TwoRecordings::at(r.a, 1.5), scheduleFor(2), 2, 3);
  s.report({});
  s.act([&] { ASSERT_TRUE(tell(h, "trackingfinished", 1)); });
  s.startRecording(scheduleFor(3));
  s.rows(r.b, scheduleFor(3), 0, 0);
  s.rows(TwoRecordings::at(r.b, 1.5), scheduleFor(3), 1, 1);
  s.row(TwoRecordings::at(r.b, 1.5), 2);
  s.wait(250);
  s.act([&] { EXPECT_TRUE(answered(setSpeed(2.0), true, "speed 2 from row 3 of recording 2 on (it was 1.5)")); });
  s.wait(250);
  s.rows(TwoRecordings::at(r.b, 2.0), scheduleFor(3), 3, 4);
  s.report({2});
  EXPECT_TRUE(closesAsScripted(
      h, *node, s, {TwoRecordings::at(r.a, 1.5), TwoRecordings::at(r.b, 1.5), TwoRecordings::at(r.b, 2.0), r.a, r.b}));
  EXPECT_EQ(playedLines(4, {}) + "Trackingfinished1\n" + playedLines(5, {2}), node->out());
}

// Without them (~joint_limits false, as on the bare command line) every speed
// in range is taken, as before they existed.
TEST(SetSpeedWithinJointLimits, OutOfForceEverySpeedInRangeIsTaken)
{
  Harness h;
  TempDir dir;
  const TwoRecordings r;
  auto node = startRun(h, dir.path(), "2", {r.a, r.b}, nodeTopics(), {"_joint_limits:=false"});

  Script s;
  playUpToRow1(s, r);
  s.act([&] { EXPECT_TRUE(answered(setSpeed(2.0), true, "speed 2 from row 2 of recording 1 on (it was 1)")); });
  s.wait(500);
  s.rows(TwoRecordings::at(r.a, 2.0), scheduleFor(2), 2, 3);
  s.report({});
  s.act([&] { ASSERT_TRUE(tell(h, "trackingfinished", 1)); });
  s.startRecording(scheduleFor(3));
  s.rows(r.b, scheduleFor(3), 0, 0);
  s.rows(TwoRecordings::at(r.b, 2.0), scheduleFor(3), 1, 4);
  s.report({2});
  EXPECT_TRUE(closesAsScripted(h, *node, s, {TwoRecordings::at(r.a, 2.0), TwoRecordings::at(r.b, 2.0), r.a, r.b}));
}
