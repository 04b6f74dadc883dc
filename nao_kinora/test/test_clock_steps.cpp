// ROS time that steps while the node waits: back (a simulator reset, /clock
// restarted) or forward. A pause keeps no more than what was left of it, so a
// step back never stalls the session for the length of the step; a step
// forward ends it at once, as a long sleep would.
#include "run_script.h"

#include <gtest/gtest.h>

#include <unistd.h>

using kinora_test::Harness;
using kinora_test::TempDir;
using namespace run_script;

namespace
{
const double kMaxSim = 60;
const ros::Duration kReset(-1000);  // the clock goes back by this
const ros::Duration kTick(0.01);    // one step of the driven clock

ros::Time cueStamp(const Harness& h, const std::string& file)
{
  for (const kinora_test::Event& e : h.eventsOn("talkerfilename"))
    if (e.text == file)
      return e.stamp;
  return ros::Time();
}

ros::Time signalStamp(const Harness& h, int value)
{
  for (const kinora_test::Event& e : h.eventsOn("motionStartStop"))
    if (e.value == value)
      return e.stamp;
  return ros::Time();
}

ros::Time rowStamp(const Harness& h, std::size_t row)
{
  const std::vector<kinora_test::Event> rows = h.eventsOn("jointAngleArray");
  return row < rows.size() ? rows[row].stamp : ros::Time();
}
}  // namespace

TEST(ClockSteps, BackDuringTheGreetingPauseKeepsWhatWasLeft)
{
  Harness h;
  TempDir dir;
  auto node = startRun(h, dir.path(), "1", {makeRecording("a.txt", 1, 2, 0.5f, {})});
  ASSERT_TRUE(runUntil(
      h, kTick.toSec(), [&] { return cueSent(h, "merhaba.wav"); }, kMaxSim))
      << node->err();
  h.advance(ros::Duration(2));
  const ros::Duration left = cueStamp(h, "merhaba.wav") + ros::Duration(5) - h.now();

  h.jump(kReset);
  const ros::Time reset = h.now();
  ASSERT_TRUE(h.runUntil([&] { return cueSent(h, "aciklama.wav"); }, ros::Duration(kMaxSim))) << node->err();
  const ros::Duration took = cueStamp(h, "aciklama.wav") - reset;
  EXPECT_LE(took, left);
  EXPECT_GE(took, left - kTick);
}

TEST(ClockSteps, BackDuringARowPauseKeepsWhatWasLeftAndTheRowsTheirDurations)
{
  Harness h;
  TempDir dir;
  const Recording rec = makeRecording("a.txt", 1, 4, 2.0f, {});
  auto node = startRun(h, dir.path(), "1", {rec});
  ASSERT_TRUE(runUntil(
      h, kTick.toSec(), [&] { return h.count("jointAngleArray") == 2; }, kMaxSim))
      << node->err();
  h.advance(ros::Duration(0.5));
  const ros::Duration left = rowStamp(h, 1) + ros::Duration(2) - h.now();

  h.jump(kReset);
  const ros::Time reset = h.now();
  ASSERT_TRUE(h.runUntil([&] { return h.count("jointAngleArray") == 4; }, ros::Duration(kMaxSim))) << node->err();
  EXPECT_LE(rowStamp(h, 2) - reset, left);
  EXPECT_GE(rowStamp(h, 2) - reset, left - kTick);
  // The schedule starts again from the row sent after the step.
  EXPECT_EQ(ros::Duration(2), rowStamp(h, 3) - rowStamp(h, 2));
  for (std::size_t r = 0; r < 4; ++r)
    EXPECT_EQ(rec.wire(r), h.eventsOn("jointAngleArray")[r].floats) << "row " << r;
}

// The tracking timeout is a wait too: a step back does not lengthen it.
TEST(ClockSteps, BackDuringTheWaitForTrackingKeepsWhatWasLeftOfItsTimeout)
{
  Harness h;
  TempDir dir;
  const std::vector<Recording> recs{makeRecording("a.txt", 1, 2, 0.5f, {}), makeRecording("b.txt", 2, 2, 0.5f, {})};
  auto node = startRun(h, dir.path(), "2", recs, nodeTopics(), {"_tracking_timeout:=10"});
  ASSERT_TRUE(runUntil(
      h, kTick.toSec(), [&] { return signals(h, 1) == 1; }, kMaxSim))
      << node->err();
  h.advance(ros::Duration(4));
  const ros::Duration left = signalStamp(h, 1) + ros::Duration(10) - h.now();

  h.jump(kReset);
  const ros::Time reset = h.now();
  ASSERT_TRUE(h.runUntil([&] { return signals(h, 0) == 2; }, ros::Duration(kMaxSim))) << node->err();
  const ros::Duration took = h.eventsOn("motionStartStop")[2].stamp - reset;
  EXPECT_GE(took, left);
  // The faults this catches take 10 s (a timeout started anew at the step) or
  // over 1000 s (one that counts across it). Late by a tick or more it may be:
  // the driven clock holds a tick for a node that is not given a CPU only up
  // to its settle limit, so on a loaded machine the node can read the tick its
  // timeout ends in a few ticks late (6.03 s seen against 6.01 s).
  EXPECT_LE(took, left + ros::Duration(1));
}

TEST(ClockSteps, ForwardEndsThePauseAtOnce)
{
  Harness h;
  TempDir dir;
  auto node = startRun(h, dir.path(), "1", {makeRecording("a.txt", 1, 2, 0.5f, {})});
  ASSERT_TRUE(runUntil(
      h, kTick.toSec(), [&] { return cueSent(h, "merhaba.wav"); }, kMaxSim))
      << node->err();

  h.jump(ros::Duration(1000));
  const ros::Time jumped = h.now();
  ASSERT_TRUE(h.runUntil([&] { return cueSent(h, "aciklama.wav"); }, ros::Duration(1))) << node->err();
  EXPECT_EQ(jumped, cueStamp(h, "aciklama.wav"));
}

// In wall time the system clock can be stepped by time synchronisation; the
// node's pauses follow the steady clock, so a step back of its system clock
// (faked for the node alone by libfaketime) changes no pause.
TEST(ClockSteps, SystemClockBackInWallTimeChangesNoPause)
{
  const char* const kFaketime = "/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1";
  if (access(kFaketime, R_OK) != 0)
    GTEST_SKIP() << kFaketime << " is not installed (Debian package libfaketime)";
  Harness h(false);
  TempDir dir;
  writeRecordings(dir.path(), {makeRecording("a.txt", 1, 2, 0.5f, {})});
  const std::string offset = dir.write("faketime.rc", "+0\n");
  h.record("talkerfilename");
  kinora_test::Process node({KINORA_NODE, "1", "a.txt", "_recording_dir:=" + dir.path()},
                            {std::string("LD_PRELOAD=") + kFaketime, "FAKETIME_TIMESTAMP_FILE=" + offset,
                             "FAKETIME_NO_CACHE=1", "FAKETIME_DONT_FAKE_MONOTONIC=1", "DONT_FAKE_MONOTONIC=1"});
  ASSERT_TRUE(h.waitWall([&] { return cueSent(h, "merhaba.wav"); }, 20)) << node.err();
  dir.write("faketime.rc", "-1000s\n");

  ASSERT_TRUE(h.waitWall([&] { return cueSent(h, "aciklama.wav"); }, 20)) << node.err();
  const ros::Duration pause = cueStamp(h, "aciklama.wav") - cueStamp(h, "merhaba.wav");
  // Stamped on receipt in wall time: a cue delivered late shortens what is
  // measured by its delay (1 s is far beyond a loopback delivery, loaded or
  // not). Had the pause followed the stepped clock it would last 1005 s: any
  // bound below the wait's 20 s shows it did not, on however loaded a machine.
  EXPECT_GT(pause, ros::Duration(4.0));
  EXPECT_LT(pause, ros::Duration(15));
}
