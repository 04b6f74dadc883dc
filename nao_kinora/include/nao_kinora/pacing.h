// Pauses and waits that end early when the node shuts down, so Ctrl-C takes
// effect within a fraction of a second even in wall time, and that a step of
// the clock never stretches.
#ifndef NAO_KINORA_PACING_H
#define NAO_KINORA_PACING_H

#include "nao_kinora/pause_clock.h"

#include <ros/ros.h>

#include <string>

namespace nao_kinora
{
// A pause as ros::Duration: no pause for a negative or non-finite value, and
// values too large for ros::Duration capped instead of throwing.
ros::Duration pauseLength(double seconds);

// t + seconds (as pauseLength reads them), capped below the largest ros::Time.
ros::Time addPause(const ros::Time& t, double seconds);

// Sleeps until deadline (on the pause clock). When the clock goes back, the
// deadline moves back with it, keeping no more than what was left of the
// pause, so a simulator reset cannot stall the session; a step forward ends
// the pause at once. False when the node is shutting down.
bool sleepUntil(ros::Time& deadline);

// Sleeps for the given seconds (as pauseLength reads them). False on shutdown.
bool pauseFor(double seconds);

// Time spent since it was started on the pause clock, counting a step back of
// the clock as no time, so a wait measured with it is never stretched either.
class Stopwatch
{
public:
  Stopwatch();
  double elapsed();  // seconds

private:
  ros::Time last_;
  double elapsed_;
};

// Warns on standard error every kSilentPeerWarnSeconds of a wait, naming what
// it waits for and since when ("waiting 60 s for trackingfinished after
// recording 3").
class WaitReporter
{
public:
  explicit WaitReporter(const std::string& what);
  void poll();  // call on every pass of the wait
  double waited() { return clock_.elapsed(); }

private:
  std::string what_;
  Stopwatch clock_;
  int warned_;
};

const double kSilentPeerWarnSeconds = 30.0;

// Polls at 100 Hz until pub has a subscriber; peer names what listens there
// (e.g. "the audio player"), for the warnings of a long wait. False on shutdown
// or when the operator skips or ends.
bool waitForSubscriber(const ros::Publisher& pub, const char* peer);

// False while pauses end asleep, for a while after awake waits were
// preempted (the main thread's view).
bool pausesEndAwake();

// Lets the thread's sleeps end when they are due instead of up to 50 us later
// (Linux's default timer slack), which shows in the pacing of rows.
void tightenTimerSlack();
}  // namespace nao_kinora

#endif  // NAO_KINORA_PACING_H
