// How one joint of the robot moves under the driver's joint command: from
// where it stands straight toward its target at a constant rate (the
// command's fraction of the joint's maximum speed), then still. The simulated
// driver moves its joints so; the executor predicts from it where a joint is
// between two joint states. Pure computation; times in seconds of any origin.
#ifndef NAO_KINORA_JOINT_MOTION_H
#define NAO_KINORA_JOINT_MOTION_H

namespace nao_kinora
{
struct JointMotion
{
  double from = 0.0;    // rad, where the joint is at start
  double target = 0.0;  // rad
  double rate = 0.0;    // rad/s; 0 (or less): the joint stays at from
  double start = 0.0;   // s

  // Where the joint is at time t: from up to start, then on toward target, then at target.
  double at(double t) const;
  // The joint given a new target and rate at time t, from where it is then:
  // a new command for a joint replaces the target it was moving to.
  JointMotion redirected(double t, double newTarget, double newRate) const;
};
}  // namespace nao_kinora

#endif  // NAO_KINORA_JOINT_MOTION_H
