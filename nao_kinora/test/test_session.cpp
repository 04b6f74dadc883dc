// The main loop's decisions and the start of a recording, on the run variables
// alone: no master, no node object.
#include "nao_kinora/session.h"

#include "nao_kinora/recording.h"
#include "nao_kinora/command_line.h"
#include "nao_kinora/run_flags.h"
#include "recording_files.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace nao_kinora;

using kinora_test::TempDir;
using recording_files::rowLines;

namespace
{
struct PassCase
{
  int state;
  int argv;
  float count;
  int tracking;
  PassAction action;
};

TEST(Session, ChoosesEachPassFromTheRunVariables)
{
  const PassCase cases[] = {
      {kPlaying, 2, 1.0f, 0, PassAction::kPlay},
      {kPlaying, 3, 2.5f, 0, PassAction::kPlay},  // a fractional count is compared exactly
      {kPlaying, 4, 2.5f, 0, PassAction::kIdle},
      {kPlaying, 2, 0.0f, 1, PassAction::kIdle},
      {kMotionOver, 3, 1.0f, 0, PassAction::kReport},  // whether or not a recording remains
      {kWaitingForTracking, 3, 2.0f, 1, PassAction::kResume},
      {kWaitingForTracking, 3, 2.0f, 0, PassAction::kWait},
      {kWaitingForTracking, 3, 1.0f, 0, PassAction::kClose},  // no trackingfinished needed
      {kWaitingForTracking, 3, 1.0f, 1, PassAction::kClose},
  };
  for (const PassCase& c : cases)
  {
    systemstate = c.state;
    currentargv = c.argv;
    numberofFiles = c.count;
    trackingfinished = c.tracking;
    EXPECT_EQ(c.action, choosePass()) << "state " << c.state << ", argument " << c.argv << ", count " << c.count
                                      << ", trackingfinished " << c.tracking;
  }
}

class NextRecording : public ::testing::Test
{
protected:
  void SetUp()
  {
    savedDir_ = staticdisplaycommand2;
    staticdisplaycommand2 = dir_.path();
    dir_.write("good.txt", rowLines(0, 2));
    dir_.write("empty.txt", "");
    systemstate = kPlaying;
    firsttime = 0;
    trackingfinished = 1;
    tempcounter = 57;
    feedbacks = {94};
  }
  void TearDown() { staticdisplaycommand2 = savedDir_; }

  bool load(std::vector<const char*> args, int at)
  {
    numberofFiles = static_cast<float>(args.size());
    args.insert(args.begin(), {"nao_kinora", "count"});
    currentargv = at;
    ::testing::internal::CaptureStderr();
    const bool loaded = loadNextRecording(const_cast<char**>(args.data()));
    errors_ = ::testing::internal::GetCapturedStderr();
    return loaded;
  }

  TempDir dir_;
  std::string errors_;

private:
  std::string savedDir_;
};

TEST_F(NextRecording, ResetsTheRunFlagsAndLoadsTheRecordingAtCurrentargv)
{
  ASSERT_TRUE(load({"empty.txt", "good.txt"}, 3));
  EXPECT_EQ(3u, play_joints.size());
  EXPECT_EQ(kFirstRowDuration, play_joints[0][kDurationColumn]);
  EXPECT_EQ(3, currentargv);
  EXPECT_EQ(1, firsttime);
  EXPECT_EQ(0, trackingfinished);
  EXPECT_EQ(-1, tempcounter);
  EXPECT_TRUE(feedbacks.empty());
  EXPECT_EQ(kPlaying, systemstate);
}

TEST_F(NextRecording, SkipsARecordingWithNoRowAndClosesWhenNoneRemains)
{
  EXPECT_FALSE(load({"empty.txt", "good.txt"}, 2));
  EXPECT_EQ(3, currentargv);
  EXPECT_EQ(0, firsttime);  // the next pass loads good.txt
  EXPECT_EQ(0, trackingfinished);
  EXPECT_EQ(kPlaying, systemstate);
  EXPECT_EQ(PassAction::kPlay, choosePass());
  EXPECT_NE(std::string::npos, errors_.find("skipping recording [" + dir_.path() + "empty.txt]")) << errors_;

  EXPECT_FALSE(load({"good.txt", "empty.txt"}, 3));
  EXPECT_EQ(4, currentargv);
  EXPECT_EQ(kWaitingForTracking, systemstate);
  EXPECT_EQ(PassAction::kClose, choosePass());
}

// A "trackingfinished" handled after a load counts for the wait after that
// recording; when the load was skipped, for the wait after the next one.
TEST_F(NextRecording, KeepsATrackingfinishedHandledAfterASkippedLoad)
{
  EXPECT_FALSE(load({"empty.txt", "good.txt"}, 2));
  trackingfinished = 1;  // handled at the end of the pass that skipped
  ASSERT_TRUE(load({"empty.txt", "good.txt"}, 3));
  EXPECT_EQ(1, trackingfinished);
  ASSERT_TRUE(load({"good.txt", "good.txt"}, 3));
  EXPECT_EQ(0, trackingfinished);
}

struct MotionfinishedCase
{
  const char* when;
  int state;
  int firsttime;
  float count;
  bool endsTheMotion;
};

// Only a recording loaded and set up (or the idle run of a count that plays
// none) can end; in the pass that leaves the wait for tracking, or the one
// that skipped a recording, state 0 holds no motion yet.
TEST(Motionfinished, EndsOnlyAMotionInProgress)
{
  const MotionfinishedCase cases[] = {
      {"playing", kPlaying, 1, 2.0f, true},
      {"idle run", kPlaying, 0, 0.0f, true},
      {"the pass that leaves the wait, or skipped a recording", kPlaying, 0, 2.0f, false},
      {"motion over", kMotionOver, 1, 2.0f, false},
      {"waiting for tracking", kWaitingForTracking, 0, 2.0f, false},
  };
  std_msgs::Int32::Ptr msg(new std_msgs::Int32);
  for (const MotionfinishedCase& c : cases)
  {
    systemstate = c.state;
    firsttime = c.firsttime;
    numberofFiles = c.count;
    currentargv = kFirstRecordingArg + 1;
    ::testing::internal::CaptureStdout();
    motionFinishedHandle(msg);
    EXPECT_EQ("Motionfinished0\n", ::testing::internal::GetCapturedStdout()) << c.when;
    EXPECT_EQ(c.endsTheMotion ? kMotionOver : c.state, systemstate) << c.when;
  }
}
}  // namespace
