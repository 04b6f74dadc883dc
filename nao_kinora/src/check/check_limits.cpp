#include "check_limits.h"

#include "check_text.h"

#include "nao_kinora/joint_limits.h"

#include <cmath>
#include <iostream>

namespace nao_kinora
{
namespace
{
// "highest safe speed 2.43 (LShoulderRoll at row 412)", floored to
// hundredths so that the speed named is one that is allowed.
std::string safeSpeedLine(const SpeedBound& bound)
{
  if (std::isinf(bound.speed))
    return "any speed is safe: no joint moves";
  const std::string where = std::string(robotJointName(bound.joint)) + " at row " + std::to_string(bound.row);
  if (!(bound.speed > 0))
    return "no speed is safe: " + where + " moves in a row that is not held";
  return "highest safe speed " + speedText(std::floor(bound.speed * 100) / 100) + " (" + where + ")";
}
}  // namespace

void printJointLimits(const RecordingTimeline& r, double speed)
{
  const std::vector<LimitViolation> faults = jointLimitViolations(r.rows, speed);
  if (faults.empty())
    std::cout << "  joint limits: none broken at speed " << speedText(speed) << '\n';
  else
    std::cout << "  joint limits: " << faults.size() << " fault(s) at speed " << speedText(speed) << ":\n";
  for (const LimitViolation& v : faults)
    std::cout << "    line " << v.row + 1 << ", row " << v.row << ": " << describeViolation(v) << '\n';
  std::cout << "  " << safeSpeedLine(highestSafeSpeed(r.rows)) << '\n';
}

bool breaksJointLimits(const RecordingTimeline& r, double speed)
{
  return !jointLimitViolations(r.rows, speed).empty();
}
}  // namespace nao_kinora
