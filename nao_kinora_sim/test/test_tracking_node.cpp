// The simulated tracking node: finished after each motion, in ROS time.
#include "peer_rig.h"

namespace
{
using namespace peer_test;

TEST(TrackingNode, ReportsTrackingFinishedItsWaitAfterEachMotionInRosTime)
{
  Wire wire;
  std::vector<int>& finished = wire.listen("trackingfinished");
  wire.setClock(50.0);
  const auto tracker = peer("tracking_node", {"_wait:=2.0"});
  ASSERT_TRUE(wire.connected("trackingfinished"));

  ASSERT_TRUE(wire.send("motionStartStop", number(0)));
  ASSERT_TRUE(wire.send("motionStartStop", number(1)));
  ASSERT_TRUE(waitFor([&] { return printed(*tracker, "[tracking] motion 1 over: tracking for 2.00 s\n"); }));
  wire.setClock(51.9);
  settle();
  EXPECT_TRUE(finished.empty());
  wire.setClock(52.0);
  EXPECT_TRUE(waitFor([&] { return finished == std::vector<int>{1}; }));

  ASSERT_TRUE(wire.send("motionStartStop", number(1)));
  ASSERT_TRUE(waitFor([&] { return printed(*tracker, "motion 2 over"); }));
  wire.setClock(54.0);
  EXPECT_TRUE(waitFor([&] { return finished == std::vector<int>({1, 2}); }));

  // Its waits over, no thread of it keeps waking: a ROS timer's thread polls
  // a simulated clock every millisecond for the program's life (about 500
  // runs in this half second), and holds every tick of a driven clock open.
  const long before = threadRunsBesidesMain(tracker->pid());
  ros::WallDuration(0.5).sleep();
  EXPECT_LT(threadRunsBesidesMain(tracker->pid()) - before, 50);
}
}  // namespace
