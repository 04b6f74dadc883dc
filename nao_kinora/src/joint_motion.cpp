#include "nao_kinora/joint_motion.h"

#include <cmath>

namespace nao_kinora
{
double JointMotion::at(double t) const
{
  if (!(rate > 0) || !(t > start))
    return from;
  const double covered = rate * (t - start);
  const double distance = target - from;
  if (covered >= std::fabs(distance))
    return target;
  return from + std::copysign(covered, distance);
}

JointMotion JointMotion::redirected(double t, double newTarget, double newRate) const
{
  JointMotion next;
  next.from = at(t);
  next.target = newTarget;
  next.rate = newRate;
  next.start = t;
  return next;
}
}  // namespace nao_kinora
