#include "nao_kinora/joint_state_sampler.h"

#include "nao_kinora/joint_row.h"

#include <algorithm>
#include <cmath>

namespace nao_kinora
{
namespace
{
// A row time that a float error puts a hair past the last message still counts.
const double kLastRowSlack = 1e-6;

void takeOtherHip(std::bitset<kJointCount>& given, boost::array<double, kJointCount>& positions, int from, int to)
{
  if (given[from] && !given[to])
  {
    positions[to] = positions[from];
    given[to] = true;
  }
}

// The largest difference of a joint between two rows.
double farthest(const JointRow& a, const JointRow& b)
{
  double most = 0;
  for (int j = 0; j < kJointCount; ++j)
    most = std::max(most, std::fabs(static_cast<double>(a[j]) - b[j]));
  return most;
}
}  // namespace

JointStateSampler::Intake JointStateSampler::take(const std::vector<std::string>& names,
                                                  const std::vector<double>& positions, double stamp)
{
  if (ended_)
    return kAfterEnd;
  if (names.size() != positions.size())
  {
    ++mismatched_;
    return kMismatched;
  }
  if (!states_.empty() && stamp < states_.back().stamp)
  {
    ended_ = true;
    return kWentBack;
  }

  Positions given;
  std::bitset<kJointCount> isGiven;
  for (std::size_t k = 0; k < names.size(); ++k)
  {
    const int column = robotJointColumn(names[k]);
    if (column >= 0 && std::isfinite(positions[k]))
    {
      given[column] = positions[k];
      isGiven[column] = true;
    }
  }
  takeOtherHip(isGiven, given, kLeftHipYawPitchColumn, kRightHipYawPitchColumn);
  takeOtherHip(isGiven, given, kRightHipYawPitchColumn, kLeftHipYawPitchColumn);

  const bool sameStamp = !states_.empty() && stamp == states_.back().stamp;
  if (!sameStamp)
  {
    // Every joint holds its value until a message gives a new one.
    State next = states_.empty() ? State() : states_.back();
    next.stamp = stamp;
    states_.push_back(next);
  }
  State& state = states_.back();
  for (int j = 0; j < kJointCount; ++j)
    if (isGiven[j])
      state.positions[j] = given[j];
  state.known |= isGiven;
  return kTaken;
}

std::string JointStateSampler::unknownJoints() const
{
  std::string names;
  for (int j = 0; j < kJointCount; ++j)
    if (states_.empty() || !states_.back().known[j])
      names += (names.empty() ? "" : ", ") + std::string(robotJointName(j));
  return names;
}

// The states with each joint that came late given its first value before it
// came: nothing better is known of where it was.
std::vector<JointStateSampler::State> JointStateSampler::filledStates() const
{
  std::vector<State> states = states_;
  for (int j = 0; j < kJointCount; ++j)
  {
    std::size_t first = 0;
    while (!states[first].known[j])
      ++first;
    for (std::size_t k = 0; k < first; ++k)
      states[k].positions[j] = states[first].positions[j];
  }
  return states;
}

SampledRecording JointStateSampler::sample(double rate, double still) const
{
  SampledRecording result;
  if (states_.empty())
  {
    result.refusal = "no joint state received";
    return result;
  }
  const std::string unknown = unknownJoints();
  if (!unknown.empty())
  {
    result.refusal = "joint(s) in no message: " + unknown;
    return result;
  }

  const std::vector<State> states = filledStates();
  const double first = states.front().stamp;
  const double span = states.back().stamp - first;
  const long rows = static_cast<long>(std::floor(span * rate + kLastRowSlack)) + 1;
  std::vector<JointRow> sampled;
  sampled.reserve(rows);
  std::size_t k = 0;  // states[k] is the last message at or before the row's time
  for (long r = 0; r < rows; ++r)
  {
    const double t = first + r / rate;
    while (k + 1 < states.size() && states[k + 1].stamp <= t)
      ++k;
    const State& before = states[k];
    const State& after = states[std::min(k + 1, states.size() - 1)];
    const double gap = after.stamp - before.stamp;
    const double along = gap > 0 ? std::min(1.0, (t - before.stamp) / gap) : 0.0;
    JointRow row;
    for (int j = 0; j < kJointCount; ++j)
      row[j] = static_cast<float>(before.positions[j] + (after.positions[j] - before.positions[j]) * along);
    row[kDurationColumn] = static_cast<float>(1.0 / rate);
    sampled.push_back(row);
  }

  result.rows = trimStillEnds(sampled, still);
  if (result.rows.empty())
    result.refusal = "nothing moved";
  return result;
}

std::vector<JointRow> trimStillEnds(const std::vector<JointRow>& rows, double still)
{
  std::size_t moved = 0;
  while (moved < rows.size() && farthest(rows[moved], rows.front()) <= still)
    ++moved;
  if (moved == rows.size())
    return std::vector<JointRow>();
  std::size_t lastMoving = rows.size() - 1;
  while (lastMoving > moved && farthest(rows[lastMoving], rows.back()) <= still)
    --lastMoving;
  // One still row before the first that moved, and one after the last.
  const std::size_t end = std::min(rows.size(), std::max(lastMoving + 2, moved + 1));
  return std::vector<JointRow>(rows.begin() + (moved - 1), rows.begin() + end);
}
}  // namespace nao_kinora
