#include "nao_kinora/joint_limit_guard.h"

#include "nao_kinora/joint_limits.h"
#include "nao_kinora/parameters.h"

#include <ros/console.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <map>
#include <mutex>

namespace nao_kinora
{
namespace
{
struct Admitted
{
  std::string name;
  std::vector<SpeedBound> bounds;  // speedBoundsFromEachRow
};

std::atomic<bool> inForce(false);
std::mutex guarding;                      // the table below, shared with the operator's thread
std::map<int, Admitted> admittedByPlace;  // the recordings still to be played, by place

// A speed as a person sets it: "1.5", and a bound floored to hundredths, so
// that the speed it names is one that is allowed.
std::string speedText(double speed, bool floored = false)
{
  char text[32];
  std::snprintf(text, sizeof text, "%g", floored ? std::floor(speed * 100) / 100 : speed);
  return text;
}

// The bound of the rows of a recording still to play from row from on.
SpeedBound boundFrom(const Admitted& a, int from)
{
  if (from < 0)
    from = 0;
  if (static_cast<std::size_t>(from) >= a.bounds.size())
    return {INFINITY, -1, -1};
  return a.bounds[from];
}

bool inRecording(const Where& w)
{
  return w.phase == Status::PHASE_OPENING_CUE || w.phase == Status::PHASE_PLAYING;
}
}  // namespace

bool readJointLimitsParam()
{
  bool value = false;
  if (!readTruthParam("joint_limits", value))
    return false;
  inForce = value;
  return true;
}

bool jointLimitsInForce()
{
  return inForce;
}

void setJointLimitsInForce(bool value)
{
  inForce = value;
}

bool admitRecording(int place, const std::string& name, const std::string& path, const std::vector<JointRow>& rows,
                    double speed)
{
  if (!inForce)
    return true;
  const std::vector<LimitViolation> faults = jointLimitViolations(rows, speed);
  std::lock_guard<std::mutex> lock(guarding);
  if (faults.empty())
  {
    admittedByPlace[place] = {name, speedBoundsFromEachRow(rows)};
    return true;
  }
  admittedByPlace.erase(place);
  ROS_ERROR("%s:%d: breaks the robot's joint limits at %s; nao_kinora_check lists every fault", path.c_str(),
            faults.front().row + 1, describeViolations(faults).c_str());
  return false;
}

std::string speedRefusal(double speed, const Where& w)
{
  if (!inForce)
    return "";
  std::lock_guard<std::mutex> lock(guarding);
  const int firstPlace = inRecording(w) ? w.recording : w.recording + 1;
  for (auto it = admittedByPlace.lower_bound(firstPlace); it != admittedByPlace.end(); ++it)
  {
    const bool current = inRecording(w) && it->first == w.recording;
    const SpeedBound bound = boundFrom(it->second, current ? w.row + 1 : 0);
    if (bound.allows(speed))
      continue;
    return "a speed of " + speedText(speed) + " would move " + robotJointName(bound.joint) +
           " faster than it can turn in recording " + std::to_string(it->first) + " (" + it->second.name + ") at row " +
           std::to_string(bound.row) + ": it allows at most " + speedText(bound.speed, true);
  }
  return "";
}

void resetJointLimitGuard()
{
  std::lock_guard<std::mutex> lock(guarding);
  admittedByPlace.clear();
  inForce = false;
}
}  // namespace nao_kinora
