#include "nao_kinora/ordered_clock.h"

#include <algorithm>

namespace nao_kinora
{
OrderedClock::OrderedClock(ros::NodeHandle& nh)
{
  if (ros::Time::isSimTime())
    clockSub_ = nh.subscribe("/clock", 10, &OrderedClock::tick, this, ros::TransportHints().tcpNoDelay());
}

ros::Time OrderedClock::now() const
{
  return std::max(ros::Time::now(), latest_);
}

void OrderedClock::tick(const rosgraph_msgs::Clock::ConstPtr& clock)
{
  latest_ = clock->clock;
}
}  // namespace nao_kinora
