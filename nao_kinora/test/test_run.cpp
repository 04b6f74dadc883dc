// Whole runs of the node against a private master, ROS time driven through
// /clock: every message on every topic with its ROS time, the console and the
// exit status, for the usual counts, for the peers' messages arriving at
// different points of a run, and for peers that are missing at first.
#include "recording_files.h"
#include "ros_harness.h"
#include "run_script.h"

#include <gtest/gtest.h>

using kinora_test::Harness;
using recording_files::TempDir;
using namespace run_script;

namespace
{
const double kFineStep = 0.02;  // while rows of 40 ms play
const double kShutdownWallSeconds = 1.0;
const int kStoppedStatus = 0;
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
  s.cue("bitis.wav");
  ASSERT_TRUE(follow(h, s)) << node->err();
  EXPECT_TRUE(closesAfterPause(h, *node));

  EXPECT_TRUE(ranAsScripted(h, s, {rec}));
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
  s.cue("bitis.wav");
  ASSERT_TRUE(follow(h, s)) << node->err();
  EXPECT_TRUE(closesAfterPause(h, *node));

  EXPECT_TRUE(ranAsScripted(h, s, {a, b}));
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
  s.cue("bitis.wav");
  ASSERT_TRUE(follow(h, s)) << node->err();
  EXPECT_TRUE(closesAfterPause(h, *node));

  EXPECT_TRUE(ranAsScripted(h, s, {a, b}));
  EXPECT_EQ(playedLines(2, {4}) + "Trackingfinished0\n" + playedLines(1, {}), node->out());
}

// Count 0: the greeting, then nothing, until Ctrl-C ends the node with status 0.
TEST(FullRun, CountZeroIdlesUntilShutdown)
{
  Harness h;
  TempDir dir;
  auto node = startRun(h, dir.path(), "0", {});

  Script s;
  s.greeting();
  s.wait(60000);
  s.act([&] { node->interrupt(); });
  ASSERT_TRUE(follow(h, s)) << node->err();
  ASSERT_TRUE(node->waitExit(kShutdownWallSeconds));
  EXPECT_EQ(kStoppedStatus, node->exitStatus());

  EXPECT_TRUE(ranAsScripted(h, s, {}));
  EXPECT_EQ("", node->out());
  EXPECT_NE(std::string::npos, node->err().find("WARN")) << node->err();
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
  s.cue("bitis.wav");
  ASSERT_TRUE(follow(h, s)) << node->err();
  EXPECT_TRUE(closesAfterPause(h, *node));

  EXPECT_TRUE(ranAsScripted(h, s, {}));
  EXPECT_EQ("Motionfinished3\nmotion is over\n", node->out());
}

// A "trackingfinished" during playback counts for the wait after that
// recording: the next one starts as soon as the report is out.
TEST(PeerMessages, TrackingfinishedDuringPlaybackEndsTheNextWait)
{
  Harness h;
  TempDir dir;
  const Recording a = makeRecording("a.txt", 1, 4, 0.5f, {1, 2});
  const Recording b = makeRecording("b.txt", 2, 2, 0.5f, {});
  auto node = startRun(h, dir.path(), "2", {a, b});

  Script s;
  s.greeting();
  s.startRecording(scheduleFor(2));
  s.rows(a, scheduleFor(2), 0, 1);
  s.during([&] { ASSERT_TRUE(tell(h, "trackingfinished", 1)); });  // row 1's pause
  s.rows(a, scheduleFor(2), 2, 3);
  s.report(a.reported());
  s.play(b, scheduleFor(3));
  s.cue("bitis.wav");
  ASSERT_TRUE(follow(h, s)) << node->err();
  EXPECT_TRUE(closesAfterPause(h, *node));

  EXPECT_TRUE(ranAsScripted(h, s, {a, b}));
  EXPECT_EQ("burdayım\nburdayım\nTrackingfinished1\nburdayım\nburdayım\nmotion is over\nvarianced 1\n"
            "varianced 2\n" +
                playedLines(2, {}),
            node->out());
}

// A "trackingfinished" during the greeting waits in its queue until the end
// of the first pass, after the first load, so it ends the first wait.
TEST(PeerMessages, TrackingfinishedDuringGreetingEndsTheFirstWait)
{
  Harness h;
  TempDir dir;
  const Recording a = makeRecording("a.txt", 1, 2, 0.5f, {6});
  const Recording b = makeRecording("b.txt", 2, 1, 0.5f, {});
  auto node = startRun(h, dir.path(), "2", {a, b});

  Script s;
  s.cue("merhaba.wav");
  s.act([&] { ASSERT_TRUE(tell(h, "trackingfinished", 5)); });
  s.wait(kGreetingPauseMs);
  s.cue("aciklama.wav");
  s.wait(kGreetingPauseMs);
  s.play(a, scheduleFor(2));
  s.play(b, scheduleFor(3));
  s.cue("bitis.wav");
  ASSERT_TRUE(follow(h, s)) << node->err();
  EXPECT_TRUE(closesAfterPause(h, *node));

  EXPECT_TRUE(ranAsScripted(h, s, {a, b}));
  EXPECT_EQ("burdayım\nTrackingfinished5\nburdayım\nmotion is over\nvarianced 6\n" + playedLines(1, {}),
            node->out());
}

// A "motionfinished" during a row's pause: that row is the last one sent, and
// the report covers every row of the recording, played or not.
TEST(PeerMessages, MotionfinishedDuringPlaybackEndsTheMotion)
{
  Harness h;
  TempDir dir;
  Recording rec = makeRecording("a.txt", 1, 6, 0.5f, {2, 9});
  rec.swingFrom = 3;  // only the rows that are never played move
  auto node = startRun(h, dir.path(), "1", {rec});

  Script s;
  s.greeting();
  s.startRecording(scheduleFor(2));
  s.rows(rec, scheduleFor(2), 0, 2);
  s.during([&] { ASSERT_TRUE(tell(h, "motionfinished", 4)); });  // row 2's pause
  s.report(rec.reported());
  s.cue("bitis.wav");
  ASSERT_TRUE(follow(h, s)) << node->err();
  EXPECT_TRUE(closesAfterPause(h, *node));

  EXPECT_TRUE(ranAsScripted(h, s, {rec}));
  EXPECT_EQ("burdayım\nburdayım\nburdayım\nMotionfinished4\nmotion is over\nvarianced 2\nvarianced 9\n",
            node->out());
}

// Without an audio player the node sends nothing at all; the greeting goes
// out on the first step after one subscribes, and the run follows from there.
TEST(SubscriberWaits, NoGreetingBeforeTheAudioPlayer)
{
  Harness h;
  TempDir dir;
  const Recording rec = makeRecording("a.txt", 1, 2, 0.5f, {8});
  writeRecordings(dir.path(), {rec});
  const std::vector<std::string> others{"motionStartStop", "jointAngleArray", "variancedJoints"};
  for (const std::string& topic : others)
    h.record(topic);
  auto node = startNode(h, dir.path(), {"1", rec.name});
  ASSERT_TRUE(connectedTo(h, others)) << node->err();

  h.setTick(ros::Duration(kCoarseTick));
  h.advance(ros::Duration(30));
  EXPECT_TRUE(h.events().empty());
  h.record("talkerfilename");
  ASSERT_TRUE(h.waitForPublisher("talkerfilename"));
  const ros::Time subscribed = h.now();

  Script s;
  s.greeting();
  s.play(rec, scheduleFor(2));
  s.cue("bitis.wav");
  ASSERT_TRUE(follow(h, s)) << node->err();
  EXPECT_TRUE(closesAfterPause(h, *node));

  EXPECT_EQ(subscribed + ros::Duration(kCoarseTick), firstStamp(h));
  EXPECT_TRUE(ranAsScripted(h, s, {rec}));
}

// Without a motion executor the node greets and then waits: no start signal,
// no opening cue, no row, until one subscribes to "motionStartStop".
TEST(SubscriberWaits, NoStartSignalBeforeTheMotionExecutor)
{
  Harness h;
  TempDir dir;
  const Recording rec = makeRecording("a.txt", 1, 2, 0.5f, {8});
  writeRecordings(dir.path(), {rec});
  const std::vector<std::string> others{"talkerfilename", "jointAngleArray", "variancedJoints"};
  for (const std::string& topic : others)
    h.record(topic);
  auto node = startNode(h, dir.path(), {"1", rec.name});
  ASSERT_TRUE(connectedTo(h, others)) << node->err();

  Script s;
  s.greeting();
  s.wait(30000);
  const int lookAgainMs = 10;
  s.act([&] {
    EXPECT_EQ(2u, h.events().size()) << "sent something before the motion executor came";
    h.record("motionStartStop");
    ASSERT_TRUE(h.waitForPublisher("motionStartStop"));
    h.advance(ros::Duration(lookAgainMs / 1000.0));  // the node looks again when the clock moves
  });
  s.wait(lookAgainMs);
  s.play(rec, scheduleFor(2));
  s.cue("bitis.wav");
  ASSERT_TRUE(follow(h, s)) << node->err();
  EXPECT_TRUE(closesAfterPause(h, *node));
  EXPECT_TRUE(ranAsScripted(h, s, {rec}));
}
