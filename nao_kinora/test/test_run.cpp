// Whole runs of the node against a private master, ROS time driven through
// /clock: every message on every topic with its ROS time, in the order
// received, the console and the exit status, for the usual counts and for
// peers that are missing at first.
#include "run_script.h"

#include <gtest/gtest.h>

using kinora_test::Harness;
using kinora_test::TempDir;
using namespace run_script;

namespace
{
const double kFineStep = 0.02;  // while rows of 40 ms play
}  // namespace

// Count 1: greeting, the recording with its opening cue and every row on its
// own pause, the report, and at once the closing cue; no "trackingfinished".
TEST(FullRun, OneRecordingClosesWithoutWaitingForTracking)
{
  Harness h;
  TempDir dir;
  Recording rec = makeRecording("one.txt", 1, 7, 0.04f, {0, 7, 21});
  rec.durations = {0.04f, 0.04f, 0.26f, 0.0f, 1.5f, 0.04f, 0.5f};
  auto node = startRun(h, dir.path(), "1", {rec});

  Script s;
  s.greeting();
  s.startRecording(scheduleFor(2));
  s.steps(kFineStep);
  s.rows(rec, scheduleFor(2), 0, rec.rows() - 1);
  s.report(rec.reported());
  EXPECT_TRUE(closesAsScripted(h, *node, s, {rec}));
  EXPECT_EQ(playedLines(7, {0, 7, 21}), node->out());
}

// Count 2: after the first report nothing happens until "trackingfinished".
TEST(FullRun, TwoRecordingsWaitForTheTrackingNode)
{
  Harness h;
  TempDir dir;
  Recording a = makeRecording("a.txt", 1, 5, 0.04f, {3});
  a.durations = {0.0f, 0.04f, 0.26f, 0.04f, 0.5f};
  const Recording b = makeRecording("b.txt", 2, 3, 0.5f, {});
  auto node = startRun(h, dir.path(), "2", {a, b});

  Script s;
  s.greeting();
  s.startRecording(scheduleFor(2));
  s.steps(kFineStep);
  s.rows(a, scheduleFor(2), 0, a.rows() - 1);
  s.report(a.reported());
  s.steps(kCoarseTick);
  s.wait(30000);
  s.act([&] { ASSERT_TRUE(tell(h, "trackingfinished", 7)); });
  s.play(b, scheduleFor(3));
  EXPECT_TRUE(closesAsScripted(h, *node, s, {a, b}));
  EXPECT_EQ(playedLines(5, {3}) + "Trackingfinished7\n" + playedLines(3, {}), node->out());
}

// Count 2.5 plays the recordings at arguments 2 and 3, then closes at once.
TEST(FullRun, FractionalCountPlaysTwoRecordings)
{
  Harness h;
  TempDir dir;
  const Recording a = makeRecording("a.txt", 1, 2, 0.5f, {4});
  const Recording b = makeRecording("b.txt", 2, 1, 0.5f, {});
  auto node = startRun(h, dir.path(), "2.5", {a, b});

  Script s;
  s.greeting();
  s.play(a, scheduleFor(2));
  s.act([&] { ASSERT_TRUE(tell(h, "trackingfinished", 0)); });
  s.play(b, scheduleFor(3));
  EXPECT_TRUE(closesAsScripted(h, *node, s, {a, b}));
  EXPECT_EQ(playedLines(2, {4}) + "Trackingfinished0\n" + playedLines(1, {}), node->out());
}

// Count 0 and a "motionfinished": the report over no rows ("motion is over"
// alone, an empty list, then 1), the closing cue and status 255.
TEST(FullRun, CountZeroEndsOnMotionfinished)
{
  Harness h;
  TempDir dir;
  auto node = startRun(h, dir.path(), "0", {});

  Script s;
  s.greeting();
  s.wait(2000);
  s.act([&] { ASSERT_TRUE(tell(h, "motionfinished", 3)); });
  s.report({});
  EXPECT_TRUE(closesAsScripted(h, *node, s, {}));
  EXPECT_EQ("Motionfinished3\nmotion is over\n", node->out());
}

// Without an audio player the node sends nothing at all; the greeting goes
// out on the first step after one subscribes, and the run follows from there.
TEST(SubscriberWaits, NoGreetingBeforeTheAudioPlayer)
{
  Harness h;
  TempDir dir;
  const Recording rec = makeRecording("a.txt", 1, 2, 0.5f, {8});
  auto node = startRun(h, dir.path(), "1", {rec}, {"motionStartStop", "jointAngleArray", "variancedJoints"});

  h.setTick(ros::Duration(kCoarseTick));
  h.advance(ros::Duration(30));
  EXPECT_TRUE(h.events().empty());
  h.record("talkerfilename");
  ASSERT_TRUE(h.waitForPublisher("talkerfilename"));
  const ros::Time subscribed = h.now();

  Script s;
  s.greeting();
  s.play(rec, scheduleFor(2));
  EXPECT_TRUE(closesAsScripted(h, *node, s, {rec}));
  EXPECT_EQ(subscribed + ros::Duration(kCoarseTick), firstStamp(h));
}

// Without a motion executor the node greets and then waits: no start signal,
// no opening cue, no row, until one subscribes to "motionStartStop".
TEST(SubscriberWaits, NoStartSignalBeforeTheMotionExecutor)
{
  Harness h;
  TempDir dir;
  const Recording rec = makeRecording("a.txt", 1, 2, 0.5f, {8});
  auto node = startRun(h, dir.path(), "1", {rec}, {"talkerfilename", "jointAngleArray", "variancedJoints"});

  Script s;
  s.greeting();
  s.wait(30000);
  const int lookAgainMs = 10;
  s.act(
      [&]
      {
        EXPECT_EQ(2u, h.events().size()) << "sent something before the motion executor came";
        h.record("motionStartStop");
        ASSERT_TRUE(h.waitForPublisher("motionStartStop"));
        h.advance(ros::Duration(lookAgainMs / 1000.0));  // the node looks again when the clock moves
      });
  s.wait(lookAgainMs);
  s.play(rec, scheduleFor(2));
  EXPECT_TRUE(closesAsScripted(h, *node, s, {rec}));
}
