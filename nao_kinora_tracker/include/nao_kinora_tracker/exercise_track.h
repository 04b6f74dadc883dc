// One exercise as the tracker follows it: the robot's anatomical angles from
// the rows it played, the person's from the skeletons seen, the rule that
// says when the person has completed the movement, and the exercise's
// summary (ranges, follow score). Pure computation: times are seconds of
// ROS time, and nothing is published here.
#ifndef NAO_KINORA_TRACKER_EXERCISE_TRACK_H
#define NAO_KINORA_TRACKER_EXERCISE_TRACK_H

#include "nao_kinora_tracker/body_angles.h"

#include <nao_kinora/joint_row.h>

#include <limits>
#include <string>
#include <vector>

namespace nao_kinora_tracker
{
struct TrackerParams
{
  double minVisibility = 0.5;   // a landmark below this is hidden
  double movingDegrees = 15.0;  // a joint "moves" when the robot's range reaches this
  double reachFraction = 0.5;   // of the robot's range, in every moving joint
  double backFraction = 0.3;    // of the robot's range: how near the end pose counts as back
  double stillDegrees = 5.0;    // the most a moving joint may wander while settled
  double settleSeconds = 1.0;   // how long the person stays settled before it counts
  double smoothSeconds = 0.3;   // moving average of the person's angles
  double maxLagSeconds = 3.0;   // the most the follow score's time alignment shifts
  double scoreRate = 10.0;      // samples per second of the follow score
  bool mirror = true;           // the person faces the robot: its left is their right
};

// The robot's joint a person's joint follows (the other side's when mirrored).
int robotJointFor(int personJoint, bool mirror);

struct JointSummary
{
  int joint;             // the person's
  bool seen;             // measured at least once
  double personDegrees;  // range; 0 when not seen
  double robotDegrees;   // range of the robot's joint it follows
};

struct ExerciseSummary
{
  bool seen = false;                 // the person was in view at least once
  int followScore = -1;              // -1: not seen, or no moving joint seen
  std::vector<JointSummary> joints;  // the moving joints, in joint order
};

class ExerciseTrack
{
public:
  ExerciseTrack(double start, const TrackerParams& params);

  void addRobotRow(double t, const nao_kinora::JointRow& row);
  // inView false: nobody in view (skeleton ignored).
  void addPerson(double t, bool inView, const Skeleton& skeleton);
  // The robot's motion is over (its stop signal): its excursion is known.
  void robotDone(double t);

  // The rule: the robot is done; with no moving joint, that is all; in every moving joint the person has
  // reached reachFraction of the robot's range and is back within
  // backFraction of it from their end pose (their start, moved as far as the
  // robot's end moved from its start, scaled by their own range), and has
  // stayed within stillDegrees for settleSeconds. Evaluated as each skeleton
  // comes.
  bool completed() const { return completedAt_ >= 0.0; }
  double completedAt() const { return completedAt_; }
  bool robotIsDone() const { return robotDone_; }
  double start() const { return start_; }

  // Moving joints (as the person's joints), their ranges up to time end, and
  // the follow score from the robot's first row to end, or to maxLagSeconds
  // after the robot's motion ended if that is earlier.
  std::vector<int> movingJoints() const;
  ExerciseSummary summarize(double end) const;

private:
  struct Sample
  {
    double t;
    double degrees;
  };
  double robotRange(int robotJoint) const;
  double personRange(int joint) const;
  bool jointDone(int joint, double now) const;
  void evaluate(double now);
  std::vector<double> resample(const std::vector<Sample>& s, double from, double to) const;

  double start_;
  TrackerParams params_;
  bool robotDone_ = false;
  double robotDoneAt_ = 0.0;
  bool anyInView_ = false;
  int rows_ = 0;
  // The person's angles count from the robot's second row: its first is
  // held while both get into the exercise's starting pose.
  double countFrom_ = std::numeric_limits<double>::infinity();
  double completedAt_ = -1.0;
  std::vector<Sample> robot_[kJointCount];   // by the robot's joint
  std::vector<Sample> person_[kJointCount];  // smoothed, by the person's joint
  std::vector<Sample> raw_[kJointCount];     // as measured
};
}  // namespace nao_kinora_tracker

#endif  // NAO_KINORA_TRACKER_EXERCISE_TRACK_H
