// How well a person followed the robot in one exercise: a score 0 to 100 from
// dynamic time warping of their joint angles against the robot's, so that a
// person who moves later or slower than the robot is not punished for lag.
#ifndef NAO_KINORA_TRACKER_FOLLOW_SCORE_H
#define NAO_KINORA_TRACKER_FOLLOW_SCORE_H

#include <vector>

namespace nao_kinora_tracker
{
// One joint, sampled at a fixed rate over the exercise, each series as its
// displacement from its own start divided by the robot's range of that
// joint (so 1 is the robot's whole excursion).
struct ScoredJoint
{
  std::vector<double> robot;
  std::vector<double> person;
};

// The error of the person's series against the robot's after dynamic time
// warping: the cheapest path pairs the samples (each pair at most band
// samples apart, a pair's cost the mean over the joints of the absolute
// difference); each robot sample's error is the mean cost of its pairs, and
// the result the mean over the robot's samples. The joints' series must all
// be of one length each. 0 for no joint or no sample.
double warpedError(const std::vector<ScoredJoint>& joints, int band);

// 100 for no error, falling linearly to 0 at an error of kZeroScoreError.
const double kZeroScoreError = 0.3;
int followScore(double warpedError);
}  // namespace nao_kinora_tracker

#endif  // NAO_KINORA_TRACKER_FOLLOW_SCORE_H
