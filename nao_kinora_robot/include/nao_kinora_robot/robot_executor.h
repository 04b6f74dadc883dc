// The motion executor for the robot's own ROS driver: takes the node's joint
// rows ("jointAngleArray") and start and stop signals ("motionStartStop"), the
// robot's joint states ("joint_states") and the node's status (~status_topic),
// and sends the driver's joint commands ("joint_angles",
// naoqi_bridge_msgs/JointAnglesWithSpeed). What to send is motion_plan.h's;
// this class only carries messages in and out, and says what it did.
//
// A pause of the session (the status's phase PAUSED), a stop signal (the end
// of an exercise, skipped or ended too), the end of the session (phase OVER)
// and the executor's own end on a signal each send one command that keeps
// the robot where it is.
//
// Parameters: ~approach_fraction (0.1), ~arrived_within (0.05 rad),
// ~state_timeout (0.5 s), ~status_topic ("/nao_kinora/status").
#ifndef NAO_KINORA_ROBOT_ROBOT_EXECUTOR_H
#define NAO_KINORA_ROBOT_ROBOT_EXECUTOR_H

#include "nao_kinora_robot/motion_plan.h"

#include <nao_kinora/ordered_clock.h>
#include <nao_kinora_msgs/SessionStatus.h>
#include <ros/ros.h>
#include <sensor_msgs/JointState.h>
#include <std_msgs/Float32MultiArray.h>
#include <std_msgs/Int32.h>

#include <functional>
#include <string>

namespace nao_kinora_robot
{
class RobotExecutor
{
public:
  // Reads the parameters, then advertises and subscribes.
  RobotExecutor();

  // False when a parameter was refused (one error names it): nothing is
  // advertised then, and the program ends with status 1.
  bool ok() const { return ok_; }

  // Takes the messages as they come until ROS shuts down or stopRequested
  // (polled about once a millisecond) says so; then, in the second case,
  // holds the robot where it is and shuts ROS down.
  void run(const std::function<bool()>& stopRequested);

private:
  bool readParameters(PlannerOptions& options);
  void rowHandle(const std_msgs::Float32MultiArray::ConstPtr& msg);
  void startStopHandle(const std_msgs::Int32::ConstPtr& msg);
  void stateHandle(const sensor_msgs::JointState::ConstPtr& msg);
  void statusHandle(const nao_kinora_msgs::SessionStatus::ConstPtr& msg);
  void report(const RowPlan& plan);
  void hold(const std::string& why);
  void send(const JointCommand& command, const ros::Time& stamp);

  bool ok_ = true;
  std::string statusTopic_ = "/nao_kinora/status";
  MotionPlanner planner_;
  double speed_ = 1.0;  // the session's, as the status says: for the words of a refusal
  uint8_t phase_ = nao_kinora_msgs::SessionStatus::PHASE_STARTING;

  int recording_ = 0;  // counted from the start signals
  int row_ = -1;       // the last row received in it, from 0
  int refused_ = 0;    // rows not sent in it
  bool approachSaid_ = false;

  ros::NodeHandle nh_;
  nao_kinora::OrderedClock clock_{nh_};  // a row's time, after every tick that came before it
  ros::Publisher commandPub_;
  ros::Subscriber rowSub_;
  ros::Subscriber startStopSub_;
  ros::Subscriber stateSub_;
  ros::Subscriber statusSub_;
};
}  // namespace nao_kinora_robot

#endif  // NAO_KINORA_ROBOT_ROBOT_EXECUTOR_H
