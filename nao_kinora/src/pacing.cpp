#include "nao_kinora/pacing.h"

#include <algorithm>
#include <cmath>

namespace nao_kinora
{
namespace
{
// Longest single sleep, so that shutdown is noticed in time.
const double kSliceSeconds = 0.05;
// Longest pause honoured: far beyond any exercise, far below ros::Duration's limit.
const double kLongestPauseSeconds = 1e7;
const double kPollHz = 100.0;
}  // namespace

ros::Duration pauseLength(double seconds)
{
  if (!(seconds > 0.0))  // negative, zero or NaN
    return ros::Duration(0);
  return ros::Duration(std::min(seconds, kLongestPauseSeconds));
}

ros::Time addPause(const ros::Time& t, double seconds)
{
  const double latest = ros::TIME_MAX.toSec() - kLongestPauseSeconds;
  const double sum = t.toSec() + pauseLength(seconds).toSec();
  return ros::Time(std::min(sum, latest));
}

bool sleepUntil(const ros::Time& deadline)
{
  const ros::Duration slice(kSliceSeconds);
  while (ros::ok())
  {
    const ros::Time now = ros::Time::now();
    if (now >= deadline)
      return true;
    // An absolute end, so a clock step between reading now and sleeping
    // does not push the wake-up past the deadline.
    ros::Time::sleepUntil(std::min(deadline, now + slice));
  }
  return false;
}

bool pauseFor(double seconds)
{
  return sleepUntil(addPause(ros::Time::now(), seconds));
}

bool waitForSubscriber(const ros::Publisher& pub)
{
  ros::Rate poll_rate(kPollHz);
  while (ros::ok() && pub.getNumSubscribers() == 0)
    poll_rate.sleep();
  return ros::ok();
}
}  // namespace nao_kinora
