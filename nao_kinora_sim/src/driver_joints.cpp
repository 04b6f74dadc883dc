#include "driver_joints.h"

#include <nao_kinora/joint_limits.h>

#include <algorithm>
#include <cmath>

namespace
{
const int kLHipYawPitch = 10;
const int kRHipYawPitch = 16;
const char* const kStillJoints[] = {"LWristYaw", "RWristYaw", "LHand", "RHand"};

bool stillJoint(const std::string& name)
{
  return std::find(std::begin(kStillJoints), std::end(kStillJoints), name) != std::end(kStillJoints);
}
}  // namespace

const std::vector<std::string>& DriverJoints::names()
{
  static const std::vector<std::string> all = []
  {
    std::vector<std::string> names;
    for (int j = 0; j < nao_kinora::kJointCount; ++j)
      names.push_back(nao_kinora::robotJointName(j));
    names.insert(names.end(), std::begin(kStillJoints), std::end(kStillJoints));
    return names;
  }();
  return all;
}

DriverJoints::DriverJoints()
{
  for (int j = 0; j < nao_kinora::kJointCount; ++j)
  {
    const nao_kinora::JointLimit& limit = nao_kinora::jointLimit(j);
    motions_[j].from = motions_[j].target = std::min(std::max(0.0, limit.lower), limit.upper);
  }
}

std::string DriverJoints::apply(const std::vector<std::string>& names, const std::vector<float>& angles, double speed,
                                bool relative, double now, std::vector<std::string>* notMoved)
{
  if (names.size() != angles.size())
    return std::to_string(names.size()) + " joint names but " + std::to_string(angles.size()) + " angles";
  if (!(speed > 0 && speed <= 1))
    return "speed " + std::to_string(speed) + " is not a fraction in (0, 1]";
  for (std::size_t k = 0; k < names.size(); ++k)
  {
    if (nao_kinora::robotJointColumn(names[k]) < 0 && !stillJoint(names[k]))
      return "no joint is named [" + names[k] + "]";
    if (!std::isfinite(angles[k]))
      return names[k] + ": the angle is not a number";
  }
  for (std::size_t k = 0; k < names.size(); ++k)
  {
    const int j = nao_kinora::robotJointColumn(names[k]);
    if (j < 0 || j == kRHipYawPitch)
    {
      if (notMoved)
        notMoved->push_back(names[k]);
      continue;
    }
    const nao_kinora::JointLimit& limit = nao_kinora::jointLimit(j);
    const double asked = relative ? motions_[j].at(now) + angles[k] : angles[k];
    const double target = std::min(std::max(asked, limit.lower), limit.upper);
    motions_[j] = motions_[j].redirected(now, target, speed * limit.maxSpeed);
  }
  return "";
}

std::vector<double> DriverJoints::positions(double now) const
{
  std::vector<double> all(names().size(), 0.0);
  for (int j = 0; j < nao_kinora::kJointCount; ++j)
    all[j] = motions_[j].at(now);
  all[kRHipYawPitch] = all[kLHipYawPitch];
  return all;
}
