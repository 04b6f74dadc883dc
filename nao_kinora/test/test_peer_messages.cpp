// Messages from the tracking node and the motion executor at every point of a
// run: they end a wait or a motion when they may, and change nothing when
// they come late.
#include "run_script.h"

#include <gtest/gtest.h>

using kinora_test::Harness;
using kinora_test::TempDir;
using namespace run_script;

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
  EXPECT_TRUE(closesAsScripted(h, *node, s, {a, b}));
  EXPECT_EQ(
      "burdayım\nburdayım\nTrackingfinished1\nburdayım\nburdayım\nmotion is over\nvarianced 1\n"
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
  EXPECT_TRUE(closesAsScripted(h, *node, s, {a, b}));
  EXPECT_EQ("burdayım\nTrackingfinished5\nburdayım\nmotion is over\nvarianced 6\n" + playedLines(1, {}), node->out());
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
  EXPECT_TRUE(closesAsScripted(h, *node, s, {rec}));
  EXPECT_EQ("burdayım\nburdayım\nburdayım\nMotionfinished4\nmotion is over\nvarianced 2\nvarianced 9\n", node->out());
}

// A late "motionfinished" while the node waits for the tracking node writes
// its line and changes nothing: no second report, no recording skipped.
TEST(PeerMessages, MotionfinishedWhileWaitingSkipsNothing)
{
  Harness h;
  TempDir dir;
  const Recording a = makeRecording("a.txt", 1, 2, 0.5f, {1});
  const Recording b = makeRecording("b.txt", 2, 2, 0.5f, {2});
  auto node = startRun(h, dir.path(), "2", {a, b});

  Script s;
  s.greeting();
  s.play(a, scheduleFor(2));
  s.act(
      [&]
      {
        ASSERT_TRUE(tell(h, "motionfinished", 9));
        EXPECT_TRUE(h.waitWall([&] { return kinora_test::contains(node->out(), "Motionfinished9"); },
                               kinora_test::kConnectSeconds));
      });
  s.wait(5000);
  s.act([&] { ASSERT_TRUE(tell(h, "trackingfinished", 2)); });
  s.play(b, scheduleFor(3));
  EXPECT_TRUE(closesAsScripted(h, *node, s, {a, b}));
  EXPECT_EQ(playedLines(2, {1}) + "Motionfinished9\nTrackingfinished2\n" + playedLines(2, {2}), node->out());
}

// A recording ended early leaves its feedback rows behind; the next recording
// must not inherit them (that would shift the cue names and say some twice).
TEST(PeerMessages, EarlyEndLeavesNoFeedbackRows)
{
  Harness h;
  TempDir dir;
  const int rows = 100;  // past the first feedback row, 94
  const Recording a = makeRecording("a.txt", 1, rows, 0.5f, {});
  const Recording b = makeQuickRecording("b.txt", 2, rows, {3}, scheduleFor(3).feedbackRows);
  auto node = startRun(h, dir.path(), "2", {a, b});

  Script s;
  s.greeting();
  s.startRecording(scheduleFor(2));
  s.rows(a, scheduleFor(2), 0, 1);
  s.during([&] { ASSERT_TRUE(tell(h, "motionfinished", 1)); });  // row 1's pause
  s.report(a.reported());
  s.act([&] { ASSERT_TRUE(tell(h, "trackingfinished", 1)); });
  s.play(b, scheduleFor(3));
  EXPECT_TRUE(closesAsScripted(h, *node, s, {a, b}));
}

// Messages the greeting leaves in the queue are handled at the end of the
// first pass. When that pass skips its recording (emptied since start-up), a
// "motionfinished" there has no motion to end: it must not report the
// skipped recording nor end the next one.
TEST(PeerMessages, MotionfinishedAfterASkippedRecordingEndsNothing)
{
  Harness h;
  TempDir dir;
  const Recording a = makeRecording("a.txt", 1, 2, 0.5f, {});
  const Recording b = makeRecording("b.txt", 2, 3, 0.5f, {4});
  auto node = startRun(h, dir.path(), "2", {a, b});

  Script s;
  s.cue("merhaba.wav");
  s.act(
      [&]
      {
        dir.write(a.name, "");
        ASSERT_TRUE(tell(h, "motionfinished", 3));
      });
  s.wait(kGreetingPauseMs);
  s.cue("aciklama.wav");
  s.wait(kGreetingPauseMs);
  s.play(b, scheduleFor(3));
  EXPECT_TRUE(closesAsScripted(h, *node, s, {a, b}));
  EXPECT_EQ("Motionfinished3\n" + playedLines(3, {4}), node->out());
}

// A "trackingfinished" handled after a skipped load counts for the wait after
// the next recording, as one from the greeting counts for the first wait.
TEST(PeerMessages, TrackingfinishedAfterASkippedRecordingEndsTheNextWait)
{
  Harness h;
  TempDir dir;
  const Recording a = makeRecording("a.txt", 1, 2, 0.5f, {});
  const Recording b = makeRecording("b.txt", 2, 2, 0.5f, {3});
  const Recording c = makeRecording("c.txt", 3, 2, 0.5f, {5});
  auto node = startRun(h, dir.path(), "3", {a, b, c});

  Script s;
  s.cue("merhaba.wav");
  s.act(
      [&]
      {
        dir.write(a.name, "");
        ASSERT_TRUE(tell(h, "trackingfinished", 7));
      });
  s.wait(kGreetingPauseMs);
  s.cue("aciklama.wav");
  s.wait(kGreetingPauseMs);
  s.play(b, scheduleFor(3));
  s.play(c, scheduleFor(4));  // no second "trackingfinished"
  EXPECT_TRUE(closesAsScripted(h, *node, s, {a, b, c}));
  EXPECT_EQ("Trackingfinished7\n" + playedLines(2, {3}) + playedLines(2, {5}), node->out());
}
