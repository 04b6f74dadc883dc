// The driven clock: ticks on /clock, each held open until the programs under
// test have reacted to it (see "Stamps" in ros_harness.h).
#include "ros_harness.h"

#include <rosgraph_msgs/Clock.h>

#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace kinora_test
{
namespace
{
const ros::WallDuration kBusyPoll(0.0003);  // how often a tick looks at the threads
// A node under sim time polls the clock about once a millisecond; the first run
// of its main thread after a tick may come before the clock has reached it.
const long kRunsToSeeATick = 2;
const ros::WallDuration kMainThreadWait(0.005);  // for a main thread blocked elsewhere than a clock poll
const ros::WallDuration kSettleLimit(0.5);       // a program that never stops running costs this per tick

// The state letter of a thread or process from its /proc stat file ('R'
// running or runnable, 'S' sleeping, 'Z' ended...); 0 when it has gone.
char taskState(const std::filesystem::path& dir)
{
  std::string stat;
  std::getline(std::ifstream(dir / "stat"), stat);
  const size_t nameEnd = stat.rfind(')');  // the name may hold blanks and parentheses
  return nameEnd != std::string::npos && nameEnd + 2 < stat.size() ? stat[nameEnd + 2] : 0;
}

// Whether a thread of the process (other than `skip`) is running or waiting
// for a CPU. A process that has gone has none.
bool anyThreadRunnable(const std::string& taskDir, pid_t skip)
{
  std::error_code gone;
  for (const auto& task : std::filesystem::directory_iterator(taskDir, gone))
    if (std::stoi(task.path().filename().string()) != skip && taskState(task.path()) == 'R')
      return true;
  return false;
}

// How often a thread (or a process's main thread) has been given a CPU; -1
// when that is not known (it has ended, or the kernel does not count it).
long timesRun(const std::filesystem::path& dir)
{
  const char state = taskState(dir);
  if (state == 0 || state == 'Z')
    return -1;
  long onCpuNs = 0, waitingNs = 0, runs = -1;
  std::ifstream(dir / "schedstat") >> onCpuNs >> waitingNs >> runs;
  return runs;
}

// The runs of every thread of the process but the main one, added up.
long otherThreadsRun(pid_t pid)
{
  long sum = 0;
  std::error_code gone;
  const std::string taskDir = "/proc/" + std::to_string(pid) + "/task";
  for (const auto& task : std::filesystem::directory_iterator(taskDir, gone))
    if (std::stoi(task.path().filename().string()) != pid)
      sum += timesRun(task.path());
  return sum;
}

void sleepUntil(ros::WallTime t)
{
  const ros::WallDuration left = t - ros::WallTime::now();
  if (left > ros::WallDuration(0))
    left.sleep();
}
}  // namespace

void Harness::publishClock(ros::Time t)
{
  rosgraph_msgs::Clock clock;
  clock.clock = t;
  clockPub_.publish(clock);
}

ros::Time Harness::now() const
{
  if (!simTime_)
    return ros::Time::now();
  std::lock_guard<std::mutex> lock(mutex_);
  return now_;
}

void Harness::setSettle(double baseWallSeconds, double quietWallSeconds)
{
  settleBase_ = ros::WallDuration(baseWallSeconds);
  settleQuiet_ = ros::WallDuration(quietWallSeconds);
}

void Harness::requireSimTime() const
{
  if (!simTime_)
    throw std::logic_error("the harness drives the clock only in simulated-time mode");
}

void Harness::advance(ros::Duration d)
{
  requireSimTime();
  settleBeforeTicks();
  const ros::Time target = now() + d;
  while (now() < target)
    step(std::min(tick_, target - now()));
}

void Harness::jump(ros::Duration d)
{
  requireSimTime();
  settleBeforeTicks();
  step(d);
}

bool Harness::runUntil(const std::function<bool()>& cond, ros::Duration maxSim, double maxWallSeconds)
{
  requireSimTime();
  settleBeforeTicks();
  const ros::Time limit = now() + maxSim;
  const ros::WallTime deadline = ros::WallTime::now() + ros::WallDuration(maxWallSeconds);
  while (!cond())
  {
    if (now() >= limit || ros::WallTime::now() >= deadline)
      return false;
    step(std::min(tick_, limit - now()));
  }
  return true;
}

void Harness::step(ros::Duration d)
{
  ros::Time t;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    now_ += d;
    t = now_;
  }
  const ros::WallTime tickStart = ros::WallTime::now();
  const std::vector<long> runs = mainThreadRuns();
  const std::vector<long> others = otherThreadRuns();
  publishClock(t);
  settle(tickStart, runs, others);
}

// How long a tick lasts. A node under sim time polls the clock in its sleeps,
// about once a millisecond, so it has seen the new time once its main thread
// has run kRunsToSeeATick times since the tick. Its reaction then passes
// through threads of the node and of this process, each runnable until it has
// done its part: while one is, or once one has run (the thread that takes
// the tick in may run between two looks, and the main thread sees the new
// time only after that), the tick stays open and the runs are counted again
// from then on. Messages that arrive hold the tick open until the topics
// have been quiet for a while, so a burst is stamped with the tick that caused
// it. A main thread blocked elsewhere than in a clock poll is waited for
// kMainThreadWait at most. A fixed 2 ms wait instead stamped a few messages in
// a hundred a tick late, even on an idle machine.
void Harness::settle(ros::WallTime tickStart, std::vector<long> runs, std::vector<long> othersBefore) const
{
  sleepUntil(tickStart + settleBase_);
  const ros::WallTime limit = tickStart + kSettleLimit;
  ros::WallTime counting = tickStart;
  for (ros::WallTime now = ros::WallTime::now(); now < limit; now = ros::WallTime::now())
  {
    // Runs first: a main thread counted as run may be running right now.
    const bool seenTheTick = ranEnoughSince(runs) || now >= counting + kMainThreadWait;
    const std::vector<long> others = otherThreadRuns();
    if (others != othersBefore || busy())
    {
      runs = mainThreadRuns();
      counting = now;
      othersBefore = others;
    }
    else if (seenTheTick)
    {
      ros::WallTime last;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        last = lastArrival_;
      }
      if (last < tickStart || now >= last + settleQuiet_)
        return;
    }
    kBusyPoll.sleep();
  }
}

// What the test has just set off in wall time (a connection, a message it
// sent) must play out at the current time, not at the next tick.
void Harness::settleBeforeTicks() const
{
  settle(ros::WallTime::now(), mainThreadRuns(), otherThreadRuns());
}

bool Harness::busy() const
{
  if (anyThreadRunnable("/proc/self/task", gettid()))
    return true;
  for (pid_t pid : started_)
    if (anyThreadRunnable("/proc/" + std::to_string(pid) + "/task", 0))
      return true;
  return false;
}

std::vector<long> Harness::mainThreadRuns() const
{
  std::vector<long> runs;
  for (pid_t pid : started_)
    runs.push_back(timesRun("/proc/" + std::to_string(pid)));
  return runs;
}

std::vector<long> Harness::otherThreadRuns() const
{
  std::vector<long> runs;
  for (pid_t pid : started_)
    runs.push_back(otherThreadsRun(pid));
  return runs;
}

bool Harness::ranEnoughSince(const std::vector<long>& runs) const
{
  const std::vector<long> now = mainThreadRuns();
  for (std::size_t i = 0; i < runs.size(); ++i)
    if (runs[i] >= 0 && now[i] >= 0 && now[i] - runs[i] < kRunsToSeeATick)
      return false;
  return true;
}

bool Harness::waitWall(const std::function<bool()>& cond, double wallSeconds)
{
  return waitWallFor(cond, wallSeconds);
}
}  // namespace kinora_test
