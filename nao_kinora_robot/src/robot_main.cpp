// nao_kinora_robot: the motion executor for the robot's own ROS driver
// (robot_executor.h). Ends with status 1 when a parameter is refused; on
// SIGINT or SIGTERM it holds the robot where it is, then ends with status 0.
//
//   rosrun nao_kinora_robot nao_kinora_robot [_approach_fraction:=0.1] [_arrived_within:=0.05]
//       [_state_timeout:=0.5] [_status_topic:=/nao_kinora/status]
#include "nao_kinora_robot/robot_executor.h"

#include <csignal>

namespace
{
volatile std::sig_atomic_t stopSignalled = 0;

void onStopSignal(int)
{
  stopSignalled = 1;
}
}  // namespace

int main(int argc, char** argv)
{
  // roscpp's own SIGINT handler would shut ROS down before the hold goes out.
  ros::init(argc, argv, "nao_kinora_robot", ros::init_options::NoSigintHandler);
  std::signal(SIGINT, onStopSignal);
  std::signal(SIGTERM, onStopSignal);
  nao_kinora_robot::RobotExecutor executor;
  if (!executor.ok())
    return 1;
  executor.run([] { return stopSignalled != 0; });
  return 0;
}
