// ROS time in order with the messages a node takes. Under simulated time
// roscpp takes /clock on a thread of its own, so a message sent after a tick
// can be handled while ros::Time::now() still reads the tick before (the
// motion executor stamped one row in some hundreds so under a driven clock).
// This clock also subscribes to /clock, on the node's own callback queue:
// its ticks are handled in the order they came with the other messages, and
// now() is the later of the two.
#ifndef NAO_KINORA_ORDERED_CLOCK_H
#define NAO_KINORA_ORDERED_CLOCK_H

#include <ros/ros.h>
#include <rosgraph_msgs/Clock.h>

namespace nao_kinora
{
class OrderedClock
{
public:
  // Subscribes to /clock under simulated time only.
  explicit OrderedClock(ros::NodeHandle& nh);

  ros::Time now() const;

private:
  void tick(const rosgraph_msgs::Clock::ConstPtr& clock);

  ros::Subscriber clockSub_;
  ros::Time latest_;
};
}  // namespace nao_kinora

#endif  // NAO_KINORA_ORDERED_CLOCK_H
