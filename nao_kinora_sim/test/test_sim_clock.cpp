// The simulated clock: its speed from wall time, in small steps.
#include "peer_rig.h"

namespace
{
using namespace peer_test;

TEST(SimClock, RunsAtItsSpeedFromWallNowInSmallSteps)
{
  ros::NodeHandle nh;
  std::vector<std::pair<ros::WallTime, ros::Time>> ticks;  // arrival, clock
  ros::Subscriber sub = nh.subscribe<rosgraph_msgs::Clock>("/clock", 1000,
                                                           [&](const rosgraph_msgs::Clock::ConstPtr& m)
                                                           { ticks.emplace_back(ros::WallTime::now(), m->clock); });
  const ros::WallTime started = ros::WallTime::now();
  const auto clock = peer("sim_clock", {"_speed:=10", "_max_step:=0.02"});
  // Two wall seconds: the ticks are stamped when this thread takes them up,
  // up to a few tens of milliseconds late on a loaded machine, which moves
  // the speed measured below by a few percent at most.
  ASSERT_TRUE(waitFor([&] { return ticks.size() > 1000; })) << clock->err();

  const auto first = ticks.front();
  const auto last = ticks.back();
  // clock = S + 10 (wall - S), S the wall time at which the clock started;
  // taken up d late, a tick puts S 1.1 d later. Another start (0, or the
  // clock of another program) would be off by far more than half a second.
  const double clockStart = (10 * first.first.toSec() - first.second.toSec()) / 9;
  EXPECT_GE(clockStart, started.toSec() - 0.05);
  EXPECT_LT(clockStart, started.toSec() + 0.5);
  EXPECT_NEAR(10.0, (last.second - first.second).toSec() / (last.first - first.first).toSec(), 1.0);
  // 10x at 500 updates per wall second: a step of 0.02 s, longer only after a
  // late wakeup (then the next one is shorter); at the rate it was asked (100
  // per second) a step would be 0.1 s.
  std::vector<double> steps;
  for (std::size_t k = 1; k < ticks.size(); ++k)
    steps.push_back((ticks[k].second - ticks[k - 1].second).toSec());
  std::nth_element(steps.begin(), steps.begin() + steps.size() / 2, steps.end());
  EXPECT_NEAR(0.02, steps[steps.size() / 2], 0.01);
  EXPECT_TRUE(printed(*clock, "[clock] /clock at 10x wall speed, 500 updates per second\n")) << clock->out();
}
}  // namespace
