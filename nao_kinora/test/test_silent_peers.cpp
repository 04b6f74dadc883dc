// Peers that stay silent: the node names what it waits for every 30 s of ROS
// time, and with a tracking timeout goes on without the tracking node.
#include "run_script.h"

#include <gtest/gtest.h>

using kinora_test::contains;
using kinora_test::Harness;
using kinora_test::TempDir;
using namespace run_script;

namespace
{
const double kMaxSim = 120;
const ros::Duration kCoarse(1.0);  // nothing is timed here closer than a second

struct SilentPeerCase
{
  const char* name;
  std::vector<std::string> recorded;  // the topics the test listens to: the peers that are there
  const char* waitsFor;               // as the warnings name it
  const char* missing;                // the topic of the peer that is not there
  int waitFrom;                       // ROS seconds from the start to the wait
};

void PrintTo(const SilentPeerCase& c, std::ostream* os)
{
  *os << c.name;
}

class SilentPeer : public ::testing::TestWithParam<SilentPeerCase>
{
};
}  // namespace

// Warnings at 30 and 60 s of the wait, none before or in between, and the
// session goes on once the peer is there.
TEST_P(SilentPeer, IsNamedEveryThirtySeconds)
{
  Harness h;
  TempDir dir;
  auto node = startRun(h, dir.path(), "1", {makeRecording("a.txt", 1, 2, 0.5f, {})}, GetParam().recorded);
  const std::string waiting = std::string(" s for ") + GetParam().waitsFor;
  h.setTick(kCoarse);

  h.advance(ros::Duration(GetParam().waitFrom + 29));
  EXPECT_FALSE(contains(node->err(), "waiting 30" + waiting)) << node->err();
  h.advance(ros::Duration(2));
  EXPECT_TRUE(contains(node->err(), "waiting 30" + waiting)) << node->err();
  h.advance(ros::Duration(30));
  const std::string err = node->err();
  EXPECT_TRUE(contains(err, "waiting 30" + waiting)) << err;
  EXPECT_TRUE(contains(err, "waiting 60" + waiting)) << err;
  EXPECT_FALSE(contains(err, "waiting 90" + waiting)) << err;
  std::size_t warnings = 0;
  for (const std::string& line : kinora_test::linesWith(err, ""))
    warnings += contains(line, "waiting ") ? 1 : 0;
  EXPECT_EQ(2u, warnings) << err;

  h.record(GetParam().missing);
  ASSERT_TRUE(h.waitForPublisher(GetParam().missing));
  EXPECT_TRUE(h.runUntil([&] { return h.count(GetParam().missing) > 0; }, ros::Duration(kMaxSim))) << node->err();
}

INSTANTIATE_TEST_SUITE_P(Waits, SilentPeer,
                         ::testing::Values(SilentPeerCase{"AudioPlayer",
                                                          {"jointAngleArray", "motionStartStop"},
                                                          "a subscriber on /talkerfilename (the audio player)",
                                                          "talkerfilename",
                                                          0},
                                           SilentPeerCase{"MotionExecutor",
                                                          {"jointAngleArray", "talkerfilename"},
                                                          "a subscriber on /motionStartStop (the motion executor)",
                                                          "motionStartStop",
                                                          10}),
                         [](const ::testing::TestParamInfo<SilentPeerCase>& info)
                         { return std::string(info.param.name); });

TEST(SilentTracker, IsNamedEveryThirtySecondsAfterTheRecording)
{
  Harness h;
  TempDir dir;
  auto node =
      startRun(h, dir.path(), "2", {makeRecording("a.txt", 1, 2, 0.5f, {}), makeRecording("b.txt", 2, 2, 0.5f, {})});
  ASSERT_TRUE(runUntil(
      h, kCoarseTick, [&] { return signals(h, 1) == 1; }, kMaxSim))
      << node->err();
  h.setTick(kCoarse);
  h.advance(ros::Duration(29));
  EXPECT_FALSE(contains(node->err(), "waiting 30 s for trackingfinished")) << node->err();
  h.advance(ros::Duration(32));
  const std::string err = node->err();
  EXPECT_TRUE(contains(err, "waiting 30 s for trackingfinished after recording 1")) << err;
  EXPECT_TRUE(contains(err, "waiting 60 s for trackingfinished after recording 1")) << err;
  EXPECT_EQ(1u, signals(h, 0)) << "the wait ended without the tracking node";

  ASSERT_TRUE(tell(h, "trackingfinished", 1));
  EXPECT_TRUE(h.runUntil([&] { return signals(h, 0) == 2; }, ros::Duration(kMaxSim))) << node->err();
}

// After ~tracking_timeout the next recording starts as if "trackingfinished"
// had come, with a warning and a session-log event; without the parameter
// the node waits (the test above).
TEST(SilentTracker, TrackingTimeoutGoesOnWithTheNextRecording)
{
  Harness h;
  TempDir dir;
  const std::vector<Recording> recs{makeRecording("a.txt", 1, 2, 0.5f, {}), makeRecording("b.txt", 2, 2, 0.5f, {})};
  auto node = startRun(h, dir.path(), "2", recs, nodeTopics(),
                       {"_tracking_timeout:=7.5", "_session_log:=" + dir.path() + "session.jsonl"});

  Script s;
  s.greeting();
  s.play(recs[0], scheduleFor(2));
  s.wait(7500);
  s.play(recs[1], scheduleFor(3));
  EXPECT_TRUE(closesAsScripted(h, *node, s, recs));
  EXPECT_TRUE(contains(node->err(), "tracking timeout of 7.5 s")) << node->err();
  // Read once the node has ended (closesAsScripted waits for its exit).
  const std::string log = kinora_test::readFile(dir.path() + "session.jsonl");
  EXPECT_TRUE(contains(log, "\"event\":\"tracking timeout\",\"recording\":1,\"seconds\":7.5")) << log;
}
