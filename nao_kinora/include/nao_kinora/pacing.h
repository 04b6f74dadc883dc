// Pauses and waits in ROS time that end early when the node shuts down, so
// Ctrl-C takes effect within a fraction of a second even in wall time.
#ifndef NAO_KINORA_PACING_H
#define NAO_KINORA_PACING_H

#include <ros/ros.h>

namespace nao_kinora
{
// A pause as ros::Duration: no pause for a negative or non-finite value, and
// values too large for ros::Duration capped instead of throwing.
ros::Duration pauseLength(double seconds);

// t + seconds (as pauseLength reads them), capped below the largest ros::Time.
ros::Time addPause(const ros::Time& t, double seconds);

// Sleeps until deadline. False when the node is shutting down.
bool sleepUntil(const ros::Time& deadline);

// Sleeps for the given seconds (as pauseLength reads them). False on shutdown.
bool pauseFor(double seconds);

// Polls at 100 Hz until pub has a subscriber. False on shutdown.
bool waitForSubscriber(const ros::Publisher& pub);
}  // namespace nao_kinora

#endif  // NAO_KINORA_PACING_H
