// sim_driver: the simulated robot behind its own ROS driver, for trying the
// motion executor for a real robot (nao_kinora_robot) without one. Takes the
// driver's joint commands on "joint_angles" (naoqi_bridge_msgs/
// JointAnglesWithSpeed) and moves the joints as the robot does
// (driver_joints.h); publishes every joint, wrists and hands included, on
// "joint_states" at 50 Hz of ROS time from its first clock on.
//
// A command the robot would refuse is a ROS error naming what is wrong, and
// moves nothing. After each command, ~commands_taken (std_msgs/UInt32) says
// how many it has taken so far: a test that drives the clock moves it on
// once the driver has taken what was sent in the tick before.
#include "driver_joints.h"

#include <nao_kinora/joint_angles_with_speed.h>
#include <nao_kinora/ordered_clock.h>
#include <ros/callback_queue.h>
#include <ros/ros.h>
#include <sensor_msgs/JointState.h>
#include <std_msgs/UInt32.h>

#include <iostream>
#include <set>

namespace
{
const double kStateRate = 50.0;  // Hz of ROS time, as the robot's driver publishes
const uint32_t kCommandQueue = 100;
const uint32_t kStateQueue = 10;
// The loop takes commands and publishes states; a state is due every 20 ms.
const ros::WallDuration kPoll(0.001);

class SimDriver
{
public:
  SimDriver()
  {
    statePub_ = nh_.advertise<sensor_msgs::JointState>("joint_states", kStateQueue);
    takenPub_ = ros::NodeHandle("~").advertise<std_msgs::UInt32>("commands_taken", kCommandQueue);
    commandSub_ = nh_.subscribe("joint_angles", kCommandQueue, &SimDriver::commandHandle, this);
    state_.name = DriverJoints::names();
    std::cout << "[driver] joint commands on " << commandSub_.getTopic() << ", joint states on " << statePub_.getTopic()
              << " at " << kStateRate << " Hz" << std::endl;
  }

  void run()
  {
    while (ros::ok())
    {
      ros::getGlobalCallbackQueue()->callAvailable(kPoll);
      publishWhenDue();
    }
  }

private:
  void commandHandle(const nao_kinora::JointAnglesWithSpeed::ConstPtr& msg)
  {
    std::vector<std::string> notMoved;
    const std::string refused = joints_.apply(msg->joint_names, msg->joint_angles, msg->speed, msg->relative != 0,
                                              clock_.now().toSec(), &notMoved);
    if (!refused.empty())
      ROS_ERROR("joint command refused, nothing moved: %s", refused.c_str());
    for (const std::string& name : notMoved)
      if (warned_.insert(name).second)
        ROS_WARN(name == "RHipYawPitch" ? "%s follows LHipYawPitch (one motor): its own angle is not used"
                                        : "%s is not simulated: it stays where it is",
                 name.c_str());
    std_msgs::UInt32 taken;
    taken.data = ++taken_;
    takenPub_.publish(taken);
  }

  // Due times from one anchor, so late polls do not add up; after a clock
  // jump (or a stall) the count starts again from now.
  void publishWhenDue()
  {
    const ros::Time now = clock_.now();
    const ros::Duration period(1.0 / kStateRate);
    if (now + period < next_)  // the clock went back (a simulator reset)
      next_ = now;
    if (now.isZero() || now < next_)
      return;
    state_.header.stamp = now;
    ++state_.header.seq;
    state_.position = joints_.positions(now.toSec());
    statePub_.publish(state_);
    next_ = next_.isZero() ? now + period : next_ + period;
    if (next_ <= now)
      next_ = now + period;
  }

  ros::NodeHandle nh_;
  nao_kinora::OrderedClock clock_{nh_};  // a command's time, after every tick that came before it
  ros::Publisher statePub_;
  ros::Publisher takenPub_;
  ros::Subscriber commandSub_;
  uint32_t taken_ = 0;
  DriverJoints joints_;
  sensor_msgs::JointState state_;
  ros::Time next_;
  std::set<std::string> warned_;
};
}  // namespace

int main(int argc, char** argv)
{
  ros::init(argc, argv, "sim_driver");
  SimDriver driver;
  driver.run();
  return 0;
}
