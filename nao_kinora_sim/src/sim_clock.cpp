// sim_clock: publishes /clock running at a multiple of wall speed, starting at
// the wall time of its start, as `rosbag play --clock -r SPEED` does. Nodes
// started with /use_sim_time true then take their pauses in this time.
//
// Parameters: ~speed (default 1), ~rate (updates per wall second, default 100),
// ~max_step (simulated seconds, default 0.02): the rate is raised so that one
// update never moves the clock further than this, which keeps a recording's
// 25 rows per second paced row by row at any speed.
//
// ~hold (std_msgs/Bool): true stops the clock where it is (it is still
// published, unchanged), false lets it run on from there. A test holds it to
// act at a moment of a session that the clock would otherwise carry past
// while a slow machine takes its steps. Each change is printed once it holds.
#include <ros/ros.h>
#include <nao_kinora/parameters.h>
#include <rosgraph_msgs/Clock.h>
#include <std_msgs/Bool.h>

#include <algorithm>
#include <iostream>

namespace
{
// Beyond these a clock is either stopped or no longer a simulation.
const double kSlowestSpeed = 0.01;
const double kFastestSpeed = 1000.0;
const double kFewestUpdatesPerSecond = 1.0;
const double kMostUpdatesPerSecond = 10000.0;
const double kSmallestStep = 0.001;
const double kLargestStep = 10.0;

class SimClock
{
public:
  SimClock()
  {
    ok_ = nao_kinora::readNumberParam("speed", speed_, kSlowestSpeed, kFastestSpeed, "a speed") &&
          nao_kinora::readNumberParam("rate", rate_, kFewestUpdatesPerSecond, kMostUpdatesPerSecond,
                                      "a number of updates per second") &&
          nao_kinora::readNumberParam("max_step", maxStep_, kSmallestStep, kLargestStep, "a number of ROS seconds");
    if (!ok_)
      return;
    rate_ = std::max(rate_, speed_ / maxStep_);

    clockPub_ = nh_.advertise<rosgraph_msgs::Clock>("/clock", 1);
    holdSub_ = ros::NodeHandle("~").subscribe("hold", 10, &SimClock::onHold, this);
  }

  void run()
  {
    std::cout << "[clock] /clock at " << speed_ << "x wall speed, " << rate_ << " updates per second" << std::endl;
    wallStart_ = ros::WallTime::now();
    simStart_ = ros::Time(wallStart_.sec, wallStart_.nsec);
    ros::WallRate rate(rate_);
    while (ros::ok())
    {
      ros::spinOnce();
      clockPub_.publish(now());
      rate.sleep();
    }
  }

  // False when a parameter was refused: the program then ends with status 1.
  bool ok() const { return ok_; }

private:
  rosgraph_msgs::Clock now() const
  {
    rosgraph_msgs::Clock clock;
    clock.clock = held_ ? simStart_ : simStart_ + ros::Duration((ros::WallTime::now() - wallStart_).toSec() * speed_);
    return clock;
  }

  void onHold(const std_msgs::Bool& hold)
  {
    if (hold.data == held_)
      return;
    // Either way the clock goes on from the time it shows now.
    simStart_ = now().clock;
    wallStart_ = ros::WallTime::now();
    held_ = hold.data;
    std::cout << (held_ ? "[clock] held at " : "[clock] running again from ") << simStart_ << std::endl;
  }

  ros::NodeHandle nh_;
  ros::Publisher clockPub_;
  ros::Subscriber holdSub_;
  ros::WallTime wallStart_;
  ros::Time simStart_;
  bool held_ = false;
  bool ok_ = true;
  double speed_ = 1.0;
  double rate_ = 100.0;
  double maxStep_ = 0.02;
};
}  // namespace

int main(int argc, char** argv)
{
  ros::init(argc, argv, "sim_clock");
  SimClock clock;
  if (!clock.ok())
    return 1;
  clock.run();
  return 0;
}
