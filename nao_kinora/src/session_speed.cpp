#include "nao_kinora/session_speed.h"

#include "nao_kinora/joint_limit_guard.h"
#include "nao_kinora/parameters.h"
#include "nao_kinora/session_log.h"

#include <ros/ros.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>

namespace nao_kinora
{
namespace
{
std::atomic<double> speed(kNormalSpeed);
// One ~set_speed at a time, so the log tells the changes in order; held too
// while a recording is checked at the speed in force (withSpeedHeld).
std::mutex changing;

// "0.5", "2", "0.25": as a person writes the speed.
std::string speedText(double value)
{
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

// From which row the new speed counts, in a person's words.
std::string fromWhen(const Where& w)
{
  const std::string recording = "recording " + std::to_string(w.recording);
  if (w.phase == Status::PHASE_OPENING_CUE)
    return "from the first rows of " + recording;
  if (w.phase == Status::PHASE_PLAYING)
    return "from row " + std::to_string(w.row + 1) + " of " + recording;
  return "from the next recording";
}
}  // namespace

bool speedInRange(double value)
{
  return value >= kSlowestSpeed && value <= kFastestSpeed;
}

bool readSpeedParam()
{
  double value = kNormalSpeed;
  if (!readNumberParam("speed", value))
    return false;
  if (!speedInRange(value))
  {
    ROS_ERROR("parameter ~speed must be from %g (slowest) to %g (fastest), not %s", kSlowestSpeed, kFastestSpeed,
              speedText(value).c_str());
    return false;
  }
  speed = value;
  return true;
}

double currentSpeed()
{
  return speed;
}

Answer requestSpeed(double value)
{
  std::lock_guard<std::mutex> lock(changing);
  const double was = speed;
  if (!speedInRange(value))
    return {false, "a speed of " + speedText(value) + " cannot be played: give " + speedText(kSlowestSpeed) +
                       " (slowest) to " + speedText(kFastestSpeed) + " (fastest); the speed stays " + speedText(was)};
  const Where w = where();
  if (w.phase == Status::PHASE_OVER)
    return {false, "the session is over"};
  if (value == was)
    return {true, "the speed is already " + speedText(value)};
  const std::string unsafe = speedRefusal(value, w);
  if (!unsafe.empty())
    return {false, unsafe + "; the speed stays " + speedText(was)};
  speed = value;
  logEvent("speed", {{"speed", value}, {"recording", w.recording}, {"row", w.row}});
  statusChanged();
  return {true, "speed " + speedText(value) + " " + fromWhen(w) + " on (it was " + speedText(was) + ")"};
}

bool withSpeedHeld(const std::function<bool(double)>& check)
{
  std::lock_guard<std::mutex> lock(changing);
  return check(speed);
}

void logStartSpeed()
{
  const Where w = where();
  if (speed != kNormalSpeed)
    logEvent("speed", {{"speed", currentSpeed()}, {"recording", w.recording}, {"row", w.row}});
}

void resetSpeed()
{
  speed = kNormalSpeed;
}

JointRow rowAtSpeed(const JointRow& row, int index, double value)
{
  if (index == 0 || value == kNormalSpeed)
    return row;
  JointRow sent = row;
  sent[kDurationColumn] = static_cast<float>(row[kDurationColumn] / value);
  return sent;
}
}  // namespace nao_kinora
