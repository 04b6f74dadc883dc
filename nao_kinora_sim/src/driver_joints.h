// The simulated robot's joints under its driver's joint commands
// (nao_kinora/joint_angles_with_speed.h), as the robot moves them: each named
// joint from where it is toward its target (or, relative, toward where it is
// plus the angle given) at the command's fraction of its own maximum speed
// (nao_kinora/joint_motion.h), a target past the joint's range clamped to it,
// a new command for a joint replacing the target it was moving to.
// RHipYawPitch follows LHipYawPitch, one motor on the robot. The wrists and
// hands are reported but stay still: the robot's model has no facts of theirs.
// Every joint starts at 0, or the nearest angle its range has (the elbow
// rolls). Pure computation, times in seconds.
#ifndef NAO_KINORA_SIM_DRIVER_JOINTS_H
#define NAO_KINORA_SIM_DRIVER_JOINTS_H

#include <nao_kinora/joint_motion.h>
#include <nao_kinora/joint_row.h>

#include <string>
#include <vector>

class DriverJoints
{
public:
  DriverJoints();

  // Every joint's name as the robot reports it: the 22 of a row, then the wrists and hands.
  static const std::vector<std::string>& names();

  // Applies a command received at now. "" when it is taken; else why it is
  // not (a name no joint has, angles not one per name or not finite, a speed
  // outside (0, 1]), and nothing of it is applied, as the robot refuses it.
  // notMoved, when given, gets the named joints that stay still (wrists,
  // hands, RHipYawPitch).
  std::string apply(const std::vector<std::string>& names, const std::vector<float>& angles, double speed,
                    bool relative, double now, std::vector<std::string>* notMoved = nullptr);

  // Every joint's position at now, in the order of names().
  std::vector<double> positions(double now) const;

private:
  nao_kinora::JointMotion motions_[nao_kinora::kJointCount];
};

#endif  // NAO_KINORA_SIM_DRIVER_JOINTS_H
