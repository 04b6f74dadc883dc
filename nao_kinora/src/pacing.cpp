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
// A thread woken from sleep runs 0.05-2 ms after its timer: the last stretch
// before a pause ends is spent awake, reading the clock, so that the next row
// leaves on time. That pays only while nothing else wants the CPU: an awake
// wait that is preempted ends later than a sleep would, so after two that
// overran close together (one alone is a passing stall) the pauses end
// asleep for a while.
const ros::Duration kAwakeBeforeEnd(0.0005);
const int kOverrunsCloseTogether = 25;       // awake waits apart
const int kAsleepEndsAfterPreemption = 250;  // 10 s of 40 ms rows
// The main thread's, the only one that pauses.
int asleepEnds = 0;
long awakeEnds = 0;
long lastOverrun = -kOverrunsCloseTogether - 1;

void sleepUntilMonotonic(const ros::Time& t)
{
  timespec end;
  end.tv_sec = t.sec;
  end.tv_nsec = t.nsec;
  clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &end, 0);
}

// Sleeps until t on the pause clock, or one poll under simulated time, so
// that the caller's loop sees every time the clock reaches (a step back keeps
// exactly what was left) and a pause or a skip at once; may return early (a
// signal), which the callers' loops absorb. When t is the pause's end, the
// sleep ends a little before it and the rest is waited awake.
void sleepSlice(const ros::Time& now, const ros::Time& t, bool pauseEnds)
{
  if (ros::Time::isSimTime())
  {
    kSimPoll.sleep();
    return;
  }
  if (!pauseEnds || asleepEnds > 0)
  {
    asleepEnds -= pauseEnds ? 1 : 0;
    sleepUntilMonotonic(t);
    return;
  }
  if (t - now > kAwakeBeforeEnd)
    sleepUntilMonotonic(t - kAwakeBeforeEnd);
  ros::Time awake = pauseClockNow();
  // A sleep that itself ended late says nothing against waiting awake.
  const bool wokeInTime = awake < t;
  while (awake < t)
    awake = pauseClockNow();
  ++awakeEnds;
  if (!wokeInTime || awake - t <= kAwakeBeforeEnd)
    return;
  if (awakeEnds - lastOverrun <= kOverrunsCloseTogether)
    asleepEnds = kAsleepEndsAfterPreemption;
  lastOverrun = awakeEnds;
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
    // Status and diagnostics go out at the start of a pause, never in the
    // moment before the next row; stamped with the time just checked, so a
    // status naming this row never bears a time at which the next is due.
    progressTick(false, now);
    // An absolute end, so a clock step between reading now and sleeping
    // does not push the wake-up past the deadline.
    const bool ends = deadline <= now + slice;
    sleepSlice(now, ends ? deadline : now + slice, ends);
  }
  return false;
}

bool pauseFor(double seconds)
{
  ros::Time deadline = addPause(pauseClockNow(), seconds);
  return sleepUntil(deadline);
}

Stopwatch::Stopwatch() : last_(pauseClockNow()), elapsed_(0.0) {}

double Stopwatch::elapsed()
{
  const ros::Time now = pauseClockNow();
  if (now > last_)
    elapsed_ += (now - last_).toSec();
  last_ = now;
  return elapsed_;
}

WaitReporter::WaitReporter(const std::string& what) : what_(what), warned_(0) {}

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

bool pausesEndAwake()
{
  return asleepEnds == 0;
}

void tightenTimerSlack()
{
  prctl(PR_SET_TIMERSLACK, kTimerSlackNs, 0, 0, 0);
}
}  // namespace nao_kinora
