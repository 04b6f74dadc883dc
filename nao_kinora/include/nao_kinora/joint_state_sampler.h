// The joint rows of a recording made from the robot's joint states: messages
// taken in by joint name as they come, then resampled at a fixed rate with
// the still time at both ends trimmed. Knows nothing of ROS: the recorder
// hands over each sensor_msgs/JointState's names, positions and stamp.
#ifndef NAO_KINORA_JOINT_STATE_SAMPLER_H
#define NAO_KINORA_JOINT_STATE_SAMPLER_H

#include "nao_kinora/joint_row.h"

#include <boost/array.hpp>

#include <bitset>
#include <cstddef>
#include <string>
#include <vector>

namespace nao_kinora
{
// LHipYawPitch and RHipYawPitch: one motor on this robot, so when a message
// has only one of them both columns take it.
const int kLeftHipYawPitchColumn = 10;
const int kRightHipYawPitchColumn = 16;

// What the sampler made of the messages: rows to write, or why there are none.
struct SampledRecording
{
  std::vector<JointRow> rows;
  std::string refusal;  // "" when rows is a recording; otherwise one line saying why not
};

class JointStateSampler
{
public:
  enum Intake
  {
    kTaken,       // part of the recording
    kMismatched,  // names and positions of different lengths: ignored, counted
    kWentBack,    // stamped before the message before it: the recording ends there
    kAfterEnd,    // came after the recording ended: ignored
  };

  // Takes one message: joint names, positions in radians (a NaN, an infinity
  // or a missing joint holds the joint's previous value), stamp in seconds.
  // A message stamped as the one before it adds its joints to that one.
  Intake take(const std::vector<std::string>& names, const std::vector<double>& positions, double stamp);

  bool ended() const { return ended_; }
  std::size_t messages() const { return states_.size(); }
  int mismatched() const { return mismatched_; }

  // The recording at rate rows per second, each joint linearly interpolated
  // between the messages around the row's time; column 22 is 1 / rate. Rows
  // before the first that differs from the first row by more than still
  // radians in a joint, and after the last that differs from the last row,
  // are dropped, keeping one still row at each end.
  SampledRecording sample(double rate, double still) const;

private:
  typedef boost::array<double, kJointCount> Positions;
  struct State
  {
    double stamp;
    Positions positions;
    std::bitset<kJointCount> known;  // which positions some message gave so far
  };

  std::string unknownJoints() const;
  std::vector<State> filledStates() const;

  std::vector<State> states_;
  int mismatched_ = 0;
  bool ended_ = false;
};

// The rows of a recording without the still time at both ends, as sample()
// trims it; empty when no row differs from the first by more than still.
std::vector<JointRow> trimStillEnds(const std::vector<JointRow>& rows, double still);
}  // namespace nao_kinora

#endif  // NAO_KINORA_JOINT_STATE_SAMPLER_H
