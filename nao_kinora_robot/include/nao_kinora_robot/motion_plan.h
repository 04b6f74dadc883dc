// The motion executor's decisions, as pure computation: whether a joint row
// may go to the robot, and the driver's commands that bring each joint to the
// row at the row's end. Nothing here publishes or reads a parameter or a
// clock: the executor (robot_executor.h) hands in the robot's joint states,
// the rows and the time.
//
// The fractions. The driver moves every joint of one command at one fraction
// of that joint's own maximum speed. A joint that stands d rad from its target
// (where it is predicted to be now, from its last joint state and the commands
// since) and has the row's time T to get there needs d / (maximum speed x T).
// T is the row's duration as it comes on "jointAngleArray": the node has
// already divided it by the session's speed. Each fraction is rounded to the
// nearest (by ratio) of fixed levels, eight per halving from 1 down to 1/128,
// so a joint arrives within 4.5 % of the row's time of its end; joints at one
// level go in one command, so a row is a few commands, each joint in exactly
// one. A joint that would need more than 1 (the robot behind) goes at 1: the
// robot is never asked for more than its joints' maximum speeds.
//
// The first row of an exercise (after a start signal, or the first row ever)
// is approached slowly: every joint at the approach fraction, as are the rows
// after it until the robot stands within arrivedWithin of the row it was sent
// to. The robot may stand anywhere before an exercise, a pose no recording
// knows, and row 0's 2 s at a fraction worked out from them could ask for a
// fast jump beside the person.
//
// Refused, and not sent at all: a row with an angle past its joint's range by
// more than the node's tolerance (joint_limits.h; an angle within it is sent
// clamped to the range), and, after the approach, a row that moves a joint
// from the row sent before it faster than the joint can turn in the row's
// time. This is the node's own check (~joint_limits) once more, at the robot,
// for a node that runs without it.
//
//   MotionPlanner planner;
//   planner.observe(state.name, state.position, state.header.stamp.toSec());
//   const RowPlan plan = planner.planRow(row, ros::Time::now().toSec(), status.speed);
//   for (const JointCommand& command : plan.commands) publish(command);
#ifndef NAO_KINORA_ROBOT_MOTION_PLAN_H
#define NAO_KINORA_ROBOT_MOTION_PLAN_H

#include <nao_kinora/joint_limits.h>
#include <nao_kinora/joint_row.h>

#include <deque>
#include <string>
#include <vector>

namespace nao_kinora_robot
{
const int kLevelsPerHalving = 8;
const double kSlowestLevel = 1.0 / 128;

// The level a joint that needs `fraction` of its maximum speed is sent at:
// the nearest level by ratio; 1 for 1 or more; kSlowestLevel below it (and
// for 0 and NaN).
double fractionLevel(double fraction);

// One command for the driver: joints (columns 0..21) and their angles, all at
// one fraction of each joint's own maximum speed.
struct JointCommand
{
  std::vector<int> joints;
  std::vector<double> angles;  // rad: targets, or changes when relative
  double fraction = 0.0;
  bool relative = false;
};

struct PlannerOptions
{
  double approachFraction = 0.1;  // the first rows, holds and stops
  double arrivedWithin = 0.05;    // rad: the robot is at a row when every joint is this close to it
  double stateTimeout = 0.5;      // s: a joint state older than this is not where the robot is now
};

struct RowPlan
{
  enum Outcome
  {
    kTracking,  // each joint at the fraction that brings it to the row at its end
    kApproach,  // every joint at the approach fraction
    kRefused,   // out of range or too fast: nothing sent (fault)
    kNoRobot,   // where the robot stands is not known (missing): nothing sent
    kStill,     // a row not held that changes nothing: nothing new to send
  };
  Outcome outcome = kTracking;
  std::vector<JointCommand> commands;  // fastest first
  nao_kinora::LimitViolation fault{};  // kRefused; fault.row counts from the first row
  std::string missing;                 // kNoRobot, in words
  // kTracking: the largest fraction a joint needed before the levels (above 1:
  // the robot is behind, and that joint goes at 1), and which joint.
  double neededMost = 0.0;
  int neededMostJoint = -1;
};

class MotionPlanner
{
public:
  explicit MotionPlanner(const PlannerOptions& options = PlannerOptions());

  // A joint state of the robot, joints by the robot's names; names other than
  // the 22 (wrists, hands) are left out.
  void observe(const std::vector<std::string>& names, const std::vector<double>& positions, double stamp);
  // The next row is an exercise's first (a start signal, a stop signal).
  void expectFirstRow();
  // The commands for row, received at now. The commands are taken as sent:
  // the predictions from then on follow them.
  RowPlan planRow(const nao_kinora::JointRow& row, double now, double speed);
  // One command that keeps every joint where it is predicted to be now (a
  // pause, a stop), at the approach fraction. When that is not known (no
  // recent joint state): a relative command of zeros, which the driver adds to
  // where the joints are.
  JointCommand holdWhereItIs(double now);
  // Where joint column j is at now: its last joint state moved on by the
  // commands in force since; NaN before its first joint state.
  double predicted(int joint, double now) const;
  // "" when every joint has a state no older than the timeout at now, else
  // what is missing: "no joint state of LHipRoll yet (and 3 more)".
  std::string poseUnknown(double now) const;
  bool approaching() const { return approaching_; }

private:
  struct Sent
  {
    double time;
    double target;
    double rate;  // rad/s
  };
  struct Joint
  {
    bool seen = false;
    double position = 0.0;
    double stamp = 0.0;
    std::deque<Sent> sent;  // the latest commands, oldest first
  };

  JointCommand approachCommand(const nao_kinora::JointRow& row) const;
  bool arrived(double now) const;
  RowPlan track(const nao_kinora::JointRow& row, double now, double speed);
  void remember(const JointCommand& command, double now);

  PlannerOptions options_;
  Joint joints_[nao_kinora::kJointCount];
  bool haveLast_ = false;        // a row of this exercise has been sent
  nao_kinora::JointRow last_{};  // the row last sent, as received
  bool approaching_ = true;
  int nextRow_ = 0;  // the index of the next row, from the first
};
}  // namespace nao_kinora_robot

#endif  // NAO_KINORA_ROBOT_MOTION_PLAN_H
