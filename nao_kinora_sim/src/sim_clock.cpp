// sim_clock: publishes /clock running at a multiple of wall speed, starting at
// the wall time of its start, as `rosbag play --clock -r SPEED` does. Nodes
// started with /use_sim_time true then take their pauses in this time.
//
// Parameters: ~speed (default 1), ~rate (updates per wall second, default 100),
// ~max_step (simulated seconds, default 0.02): the rate is raised so that one
// update never moves the clock further than this, which keeps a recording's
// 25 rows per second paced row by row at any speed.
#include <ros/ros.h>
#include <rosgraph_msgs/Clock.h>

#include <algorithm>
#include <iostream>

namespace
{
const double kSlowestSpeed = 0.01;
const double kFewestUpdatesPerSecond = 1.0;
const double kSmallestStep = 0.001;

double atLeast(double value, double lowest, const char* name)
{
  if (value >= lowest)
    return value;
  ROS_WARN("~%s %g is too small: using %g", name, value, lowest);
  return lowest;
}

class SimClock
{
public:
  SimClock()
  {
    ros::NodeHandle pnh("~");
    pnh.param<double>("speed", speed_, 1.0);
    pnh.param<double>("rate", rate_, 100.0);
    pnh.param<double>("max_step", maxStep_, 0.02);
    speed_ = atLeast(speed_, kSlowestSpeed, "speed");
    rate_ = atLeast(rate_, kFewestUpdatesPerSecond, "rate");
    maxStep_ = atLeast(maxStep_, kSmallestStep, "max_step");
    rate_ = std::max(rate_, speed_ / maxStep_);

    clockPub_ = nh_.advertise<rosgraph_msgs::Clock>("/clock", 1);
  }

  void run()
  {
    std::cout << "[clock] /clock at " << speed_ << "x wall speed, " << rate_ << " updates per second"
              << std::endl;
    const ros::WallTime wallStart = ros::WallTime::now();
    const ros::Time simStart(wallStart.sec, wallStart.nsec);
    ros::WallRate rate(rate_);
    rosgraph_msgs::Clock clock;
    while (ros::ok())
    {
      clock.clock = simStart + ros::Duration((ros::WallTime::now() - wallStart).toSec() * speed_);
      clockPub_.publish(clock);
      rate.sleep();
    }
  }

private:
  ros::NodeHandle nh_;
  ros::Publisher clockPub_;
  double speed_;
  double rate_;
  double maxStep_;
};
}  // namespace

int main(int argc, char** argv)
{
  ros::init(argc, argv, "sim_clock");
  SimClock clock;
  clock.run();
  return 0;
}
