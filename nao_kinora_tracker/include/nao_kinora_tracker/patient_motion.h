// A simulated patient: follows the rows the robot plays with a given
// amplitude about the exercise's first pose, a delay and some noise, on the
// mirrored side (or the same side, when the sides are swapped), or stands
// still; and poses a human skeleton (human_skeleton.h) accordingly.
#ifndef NAO_KINORA_TRACKER_PATIENT_MOTION_H
#define NAO_KINORA_TRACKER_PATIENT_MOTION_H

#include "nao_kinora_tracker/human_skeleton.h"

#include <nao_kinora/joint_row.h>

#include <random>
#include <vector>

namespace nao_kinora_tracker
{
struct PatientStyle
{
  double amplitude = 1.0;     // of the robot's excursion from the exercise's first pose
  double delaySeconds = 0.0;  // behind the robot
  double noiseDegrees = 0.0;  // standard deviation added to every angle
  bool mirror = true;         // faces the robot: follows its left with their right
  bool swapSides = false;     // a mistake: follows with the wrong side
  bool still = false;         // does not move at all
  unsigned seed = 1;
};

class PatientMotion
{
public:
  explicit PatientMotion(const PatientStyle& style);

  // A new exercise: its rows follow. The patient keeps the pose they were in
  // until its first row is due.
  void startExercise();
  void addRobotRow(double t, const nao_kinora::JointRow& row);

  // The pose at time t: that of the robot's last row played at or before
  // t - delay (the first row at once: the patient takes the starting pose
  // while the robot holds it). Poses are asked for in time order.
  HumanPose poseAt(double t);
  // When the patient has finished moving in the exercise: from then on they
  // stay within a degree of their final pose. Negative before any row, or
  // when they stand still.
  double lastMoveAt() const;

private:
  struct Row
  {
    double t;
    HumanPose pose;  // the robot's, as the person's joints
  };
  HumanPose follow(const HumanPose& robot) const;

  PatientStyle style_;
  std::vector<Row> rows_;
  HumanPose rest_;       // the exercise's first pose, as the person's joints
  HumanPose current_;    // the last pose without noise
  HumanPose lastRobot_;  // for angles a row leaves undefined
  std::mt19937 random_;
};
}  // namespace nao_kinora_tracker

#endif  // NAO_KINORA_TRACKER_PATIENT_MOTION_H
