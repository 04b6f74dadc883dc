#include "nao_kinora/pacing.h"

#include "nao_kinora/operator_state.h"

#include <sys/prctl.h>
#include <time.h>

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
const double kPollSeconds = 0.01;
// Under simulated time the clock is polled as roscpp's own sleeps poll it.
const ros::WallDuration kSimPoll(0.001);
const unsigned long kTimerSlackNs = 1;

// Sleeps until t on the pause clock; may return early (a signal, simulated
// time going back, or, under simulated time, a pause or a skip), which the
// callers' loops absorb. Under simulated time one step of the clock may pass
// many slices, so a pause is looked for on every poll.
void sleepSlice(const ros::Time& t)
{
  if (ros::Time::isSimTime())
  {
    const ros::Time start = ros::Time::now();
    while (ros::ok() && !paused() && !interrupted())
    {
      const ros::Time now = ros::Time::now();
      if (now >= t || now < start)
        return;
      kSimPoll.sleep();
    }
    return;
  }
  timespec end;
  end.tv_sec = t.sec;
  end.tv_nsec = t.nsec;
  clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &end, 0);
}
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

ros::Time pauseClockNow()
{
  if (ros::Time::isSimTime())
    return ros::Time::now();
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return ros::Time(now.tv_sec, now.tv_nsec);
}

bool sleepUntil(ros::Time& deadline)
{
  const ros::Duration slice(kSliceSeconds);
  ros::Time last = pauseClockNow();
  while (ros::ok())
  {
    if (paused())
    {
      if (!holdWhilePaused(&deadline))
        return false;
      last = pauseClockNow();
    }
    if (interrupted())
      return false;
    const ros::Time now = pauseClockNow();
    if (now < last)
      deadline = now + std::max(deadline - last, ros::Duration(0));
    if (now >= deadline)
      return true;
    last = now;
    // An absolute end, so a clock step between reading now and sleeping
    // does not push the wake-up past the deadline.
    sleepSlice(std::min(deadline, now + slice));
    progressTick();
  }
  return false;
}

bool pauseFor(double seconds)
{
  ros::Time deadline = addPause(pauseClockNow(), seconds);
  return sleepUntil(deadline);
}

Stopwatch::Stopwatch() : last_(pauseClockNow()), elapsed_(0.0)
{
}

double Stopwatch::elapsed()
{
  const ros::Time now = pauseClockNow();
  if (now > last_)
    elapsed_ += (now - last_).toSec();
  last_ = now;
  return elapsed_;
}

WaitReporter::WaitReporter(const std::string& what) : what_(what), warned_(0)
{
}

void WaitReporter::poll()
{
  const double waited = clock_.elapsed();
  const int due = static_cast<int>(waited / kSilentPeerWarnSeconds);
  if (due <= warned_)
    return;
  warned_ = due;
  ROS_WARN("waiting %.0f s for %s", due * kSilentPeerWarnSeconds, what_.c_str());
}

bool waitForSubscriber(const ros::Publisher& pub, const char* peer)
{
  if (pub.getNumSubscribers() > 0)
    return ros::ok() && !interrupted();
  WaitReporter report("a subscriber on " + pub.getTopic() + " (" + peer + ")");
  while (ros::ok() && pub.getNumSubscribers() == 0)
  {
    report.poll();
    if (!pauseFor(kPollSeconds))
      break;
  }
  return ros::ok() && !interrupted();
}

void tightenTimerSlack()
{
  prctl(PR_SET_TIMERSLACK, kTimerSlackNs, 0, 0, 0);
}
}  // namespace nao_kinora
