// The robot's joint limits, from one table: each joint column's range and
// maximum speed (the same as nao_kinora_description's model), and a
// recording's rows checked against them at a patient's speed. Pure
// computation: nothing here prints, reads a parameter or touches the run state.
//
// The speed rule. The robot is given row k's duration to reach row k's pose:
// the motion executor takes the row when it comes and has until the next one,
// which the node sends once row k's pause is over. So the change of each
// joint from row k-1 to row k is carried by row k's own duration, divided by
// the speed (session_speed.h) for every row but row 0. Row 0's 2 s bring the
// robot from wherever it stands, a pose no recording knows, and are not
// checked. A row whose pause is not held (a duration of 0, negative or NaN)
// gives its change no time at all: any change there is too fast.
//
//   std::vector<JointRow> rows;
//   checkRecording(path, &rows);
//   for (const LimitViolation& v : jointLimitViolations(rows, 1.5))
//     std::cerr << path << ':' << v.row + 1 << ": " << describeViolation(v) << '\n';
//   const SpeedBound bound = highestSafeSpeed(rows);  // bound.speed: 2.4, say
#ifndef NAO_KINORA_JOINT_LIMITS_H
#define NAO_KINORA_JOINT_LIMITS_H

#include "nao_kinora/joint_row.h"

#include <string>
#include <vector>

namespace nao_kinora
{
struct JointLimit
{
  double lower;     // rad
  double upper;     // rad
  double maxSpeed;  // rad/s: the motor's no-load speed
};

// The limits of joint column 0..21 (the order of joint_row.h); throws
// std::out_of_range for any other column.
const JointLimit& jointLimit(int column);

// How far past its range a joint may be before a row is refused: about one
// degree. A recording taken from the robot's own joint sensors reads a joint
// where it stands, and at a mechanical stop that can be a hair past the
// published limit (the sensors' calibration and resolution, the play of the
// gears); the firmware clamps such a command to the range, so it is no
// hazard. Anything further was not taken from this robot, or was typed wrong.
const double kRangeTolerance = 0.0175;

struct LimitViolation
{
  enum Kind
  {
    kBelowRange,  // value: the angle; limit: the lower end of the range
    kAboveRange,  // value: the angle; limit: the upper end
    kTooFast,     // value: the speed asked (rad/s); limit: the maximum speed
  };
  Kind kind;
  int row;        // from 0, as the node counts rows
  int joint;      // column 0..21
  double value;   // see Kind
  double limit;   // see Kind
  double change;  // kTooFast: the joint's change from the row before, rad
  double time;    // kTooFast: the time row gives it at the speed checked, s
  double speed;   // kTooFast: the speed checked
};

// Every violation of rows (as loadRecording stores them) at speed, in row
// order, and within a row the range before the speed, by joint.
std::vector<LimitViolation> jointLimitViolations(const std::vector<JointRow>& rows, double speed);

// "LShoulderRoll at 1.5 rad is above its upper limit 1.3264 rad", "LShoulderRoll
// moves 0.4 rad in 0.04 s at speed 1: 10 rad/s, above its maximum 7.194 rad/s".
std::string describeViolation(const LimitViolation& violation);

// The first violation, where it is, and how many follow: "row 12:
// LShoulderRoll at 1.5 rad is above its upper limit 1.3264 rad (and 3 more)";
// "" for none.
std::string describeViolations(const std::vector<LimitViolation>& violations);

// The highest speed at which no row from row from on asks a joint to move
// faster than its maximum, and the row and joint that set it.
struct SpeedBound
{
  double speed;  // +infinity when no joint moves; 0 when one moves in a row not held
  int row;       // -1 when no joint moves
  int joint;     // -1 when no joint moves

  // Whether rows may be played at s (s <= speed).
  bool allows(double s) const { return s <= speed; }
};
SpeedBound highestSafeSpeed(const std::vector<JointRow>& rows, std::size_t from = 1);

// For each row k, highestSafeSpeed(rows, k) (row 0's is row 1's), computed in
// one pass: what a speed change from a given row on may reach.
std::vector<SpeedBound> speedBoundsFromEachRow(const std::vector<JointRow>& rows);
}  // namespace nao_kinora

#endif  // NAO_KINORA_JOINT_LIMITS_H
