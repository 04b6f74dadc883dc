#include "nao_kinora_tracker/exercise_track.h"

#include "nao_kinora_tracker/follow_score.h"
#include "nao_kinora_tracker/robot_skeleton.h"

#include <algorithm>
#include <cmath>

namespace nao_kinora_tracker
{
namespace
{
// A joint's latest angle must be at most this part of settleSeconds old: a
// joint that went out of view is not still, it is unseen.
const double kFreshPart = 0.25;
// A score no joint can be compared for: only the person's presence is known.
const int kNothingToFollowScore = 100;

template <class S>
double rangeOf(const std::vector<S>& s)
{
  if (s.empty())
    return 0.0;
  const auto mm = std::minmax_element(s.begin(), s.end(), [](const S& a, const S& b) { return a.degrees < b.degrees; });
  return mm.second->degrees - mm.first->degrees;
}
}  // namespace

int robotJointFor(int personJoint, bool mirror)
{
  return mirror ? otherSide(personJoint) : personJoint;
}

ExerciseTrack::ExerciseTrack(double start, const TrackerParams& params) : start_(start), params_(params) {}

void ExerciseTrack::addRobotRow(double t, const nao_kinora::JointRow& row)
{
  if (++rows_ == 2)
    countFrom_ = t;
  const BodyAngles a = robotAngles(row);
  for (int j = 0; j < kJointCount; ++j)
    if (a.measured[j])
      robot_[j].push_back({t, a.degrees[j]});
}

void ExerciseTrack::addPerson(double t, bool inView, const Skeleton& skeleton)
{
  if (inView && t >= countFrom_)
  {
    anyInView_ = true;
    const BodyAngles a = measureAngles(skeleton, params_.minVisibility);
    for (int j = 0; j < kJointCount; ++j)
    {
      if (!a.measured[j])
        continue;
      raw_[j].push_back({t, a.degrees[j]});
      double sum = 0.0;
      int count = 0;
      for (auto s = raw_[j].rbegin(); s != raw_[j].rend() && s->t > t - params_.smoothSeconds; ++s, ++count)
        sum += s->degrees;
      person_[j].push_back({t, sum / std::max(count, 1)});
    }
  }
  evaluate(t);
}

void ExerciseTrack::robotDone(double t)
{
  robotDone_ = true;
  robotDoneAt_ = t;
  evaluate(t);
}

double ExerciseTrack::robotRange(int robotJoint) const
{
  return rangeOf(robot_[robotJoint]);
}

double ExerciseTrack::personRange(int joint) const
{
  return rangeOf(person_[joint]);
}

std::vector<int> ExerciseTrack::movingJoints() const
{
  std::vector<int> moving;
  for (int j = 0; j < kJointCount; ++j)
    if (robotRange(robotJointFor(j, params_.mirror)) >= params_.movingDegrees)
      moving.push_back(j);
  return moving;
}

bool ExerciseTrack::jointDone(int joint, double now) const
{
  const std::vector<Sample>& s = person_[joint];
  const std::vector<Sample>& r = robot_[robotJointFor(joint, params_.mirror)];
  if (s.empty() || r.empty())
    return false;
  const double robot = robotRange(robotJointFor(joint, params_.mirror));
  const double person = personRange(joint);
  if (person < params_.reachFraction * robot)
    return false;
  // Their end pose: their start moved as the robot's end moved from its
  // start, at their own scale (an exercise may end elsewhere, seated say).
  const double end = s.front().degrees + (person / robot) * (r.back().degrees - r.front().degrees);
  if (std::fabs(s.back().degrees - end) > params_.backFraction * robot)
    return false;
  const double from = now - params_.settleSeconds;
  if (s.front().t > from || s.back().t < now - kFreshPart * params_.settleSeconds)
    return false;
  double low = s.back().degrees, high = low;
  for (auto it = s.rbegin(); it != s.rend() && it->t >= from; ++it)
  {
    low = std::min(low, it->degrees);
    high = std::max(high, it->degrees);
  }
  return high - low <= params_.stillDegrees;
}

void ExerciseTrack::evaluate(double now)
{
  if (completed() || !robotDone_)
    return;
  const std::vector<int> moving = movingJoints();
  if (moving.empty() || std::all_of(moving.begin(), moving.end(), [&](int j) { return jointDone(j, now); }))
    completedAt_ = now;
}

std::vector<double> ExerciseTrack::resample(const std::vector<Sample>& s, double from, double to) const
{
  std::vector<double> out;
  size_t k = 0;
  for (double t = from; t <= to + 1e-9; t += 1.0 / params_.scoreRate)
  {
    while (k + 1 < s.size() && s[k + 1].t <= t)
      ++k;
    out.push_back(s[k].degrees);
  }
  return out;
}

ExerciseSummary ExerciseTrack::summarize(double end) const
{
  ExerciseSummary summary;
  summary.seen = anyInView_;
  std::vector<ScoredJoint> scored;
  double from = end;
  for (const auto& r : robot_)
    if (!r.empty())
      from = std::min(from, r.front().t);
  // A long wait with both at rest after the motion would only dilute the score.
  const double scoredEnd = robotDone_ ? std::min(end, robotDoneAt_ + params_.maxLagSeconds) : end;
  const std::vector<int> moving = movingJoints();
  for (int j : moving)
  {
    const int rj = robotJointFor(j, params_.mirror);
    const bool seen = !person_[j].empty();
    const double robot = robotRange(rj);
    summary.joints.push_back({j, seen, seen ? personRange(j) : 0.0, robot});
    if (!seen || from >= scoredEnd)
      continue;
    ScoredJoint sj;
    sj.robot = resample(robot_[rj], from, scoredEnd);
    sj.person = resample(person_[j], from, scoredEnd);
    const double r0 = sj.robot.front(), p0 = sj.person.front();
    for (double& v : sj.robot)
      v = (v - r0) / robot;
    for (double& v : sj.person)
      v = (v - p0) / robot;
    scored.push_back(sj);
  }
  if (!summary.seen)
    return summary;
  if (moving.empty())
    summary.followScore = kNothingToFollowScore;
  else if (!scored.empty())
    summary.followScore = followScore(warpedError(scored, int(std::lround(params_.maxLagSeconds * params_.scoreRate))));
  return summary;
}
}  // namespace nao_kinora_tracker
