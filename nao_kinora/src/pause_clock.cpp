#include "nao_kinora/pause_clock.h"

#include <time.h>

namespace nao_kinora
{
ros::Time pauseClockNow()
{
  if (ros::Time::isSimTime())
    return ros::Time::now();
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return ros::Time(now.tv_sec, now.tv_nsec);
}
}  // namespace nao_kinora
