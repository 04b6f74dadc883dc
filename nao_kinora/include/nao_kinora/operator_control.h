// The operator's services, in the node's private namespace:
//   ~pause_playback  std_srvs/SetBool  true pauses, false resumes (as rosbag play's)
//   ~skip_exercise   std_srvs/Trigger  ends the recording in progress, or the wait for tracking
//   ~end_session     std_srvs/Trigger  ends the recording in progress, then closes the session
//   ~set_speed       nao_kinora_msgs/SetSpeed  the rows' speed from the next row on (session_speed.h)
// They are served from a callback queue of their own by a thread of their own,
// so they answer at once whatever the main thread is doing (a long pause, a
// wait); they only set requests (operator_state.h) that the main loop takes up.
#ifndef NAO_KINORA_OPERATOR_CONTROL_H
#define NAO_KINORA_OPERATOR_CONTROL_H

#include <nao_kinora_msgs/SetSpeed.h>
#include <ros/callback_queue.h>
#include <ros/ros.h>
#include <std_srvs/SetBool.h>
#include <std_srvs/Trigger.h>

namespace nao_kinora
{
class OperatorControl
{
public:
  OperatorControl();
  ~OperatorControl();
  OperatorControl(const OperatorControl&) = delete;
  OperatorControl& operator=(const OperatorControl&) = delete;

private:
  bool pause(std_srvs::SetBool::Request& request, std_srvs::SetBool::Response& response);
  bool skip(std_srvs::Trigger::Request& request, std_srvs::Trigger::Response& response);
  bool end(std_srvs::Trigger::Request& request, std_srvs::Trigger::Response& response);
  bool setSpeed(nao_kinora_msgs::SetSpeed::Request& request, nao_kinora_msgs::SetSpeed::Response& response);

  ros::CallbackQueue queue_;
  ros::NodeHandle nh_;
  ros::ServiceServer pauseService_;
  ros::ServiceServer skipService_;
  ros::ServiceServer endService_;
  ros::ServiceServer speedService_;
  ros::AsyncSpinner spinner_;
};
}  // namespace nao_kinora

#endif  // NAO_KINORA_OPERATOR_CONTROL_H
