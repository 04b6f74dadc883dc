// The simulated robot's joints on joint_states (/joint_states outside a
// namespace), as a robot bridge publishes them: sensor_msgs/JointState at
// 50 Hz of ROS time, the robot's joint names, radians, stamped, holding the
// last row received.
#ifndef NAO_KINORA_SIM_JOINT_STATES_H
#define NAO_KINORA_SIM_JOINT_STATES_H

#include <nao_kinora/joint_row.h>
#include <ros/ros.h>
#include <sensor_msgs/JointState.h>

class JointStates
{
public:
  explicit JointStates(ros::NodeHandle& nh);

  // The pose held from now on.
  void hold(const nao_kinora::JointRow& row);

  // Publishes the pose when a period has passed since the last. Called about
  // once a millisecond by the executor's loop, not by a ros::Timer: under
  // simulated time roscpp's timer thread wakes every millisecond, which a test
  // that drives the clock cannot tell from a node at work.
  void publishWhenDue();

private:
  ros::Publisher statePub_;
  ros::Time next_;  // when the next state is due; zero before the first
  sensor_msgs::JointState state_;
  // Nothing is published before the first row: the robot's pose is not known
  // then, and a made-up one would be recorded as a jump to the first row.
  bool holding_ = false;
};

#endif  // NAO_KINORA_SIM_JOINT_STATES_H
