// The clock that pauses are measured on, shared by the pacing and the
// operator's pause accounting.
#ifndef NAO_KINORA_PAUSE_CLOCK_H
#define NAO_KINORA_PAUSE_CLOCK_H

#include <ros/time.h>

namespace nao_kinora
{
// ROS time under simulated time (the session follows /clock), otherwise the
// steady clock, which time synchronisation cannot step.
ros::Time pauseClockNow();
}  // namespace nao_kinora

#endif  // NAO_KINORA_PAUSE_CLOCK_H
