// nao_kinora_robot: the motion executor for the robot's own ROS driver
// (robot_executor.h). Ends with status 1 when a parameter is refused.
//
//   rosrun nao_kinora_robot nao_kinora_robot [_approach_fraction:=0.1] [_arrived_within:=0.05]
//       [_state_timeout:=0.5] [_status_topic:=/nao_kinora/status]
#include "nao_kinora_robot/robot_executor.h"

int main(int argc, char** argv)
{
  ros::init(argc, argv, "nao_kinora_robot");
  nao_kinora_robot::RobotExecutor executor;
  if (!executor.ok())
    return 1;
  executor.run();
  return 0;
}
