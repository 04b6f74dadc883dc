// Per-joint mean and population variance of a recording's rows, and the
// joints that moved: pure computation, for the node's report, the timeline,
// the check tool and the console alike.
#ifndef NAO_KINORA_JOINT_STATS_H
#define NAO_KINORA_JOINT_STATS_H

#include "nao_kinora/joint_row.h"

#include <vector>

namespace nao_kinora
{
// A joint whose variance (widened to double) reaches this has moved.
const double kVarianceThreshold = 0.01;

struct JointStats
{
  float mean[kJointCount];
  float variance[kJointCount];  // population variance; NaN for no row
};

// Two passes over columns 0..21. Each joint sums its rows in order in double
// and is narrowed to float once, so the result does not depend on the caller.
JointStats jointStats(const std::vector<JointRow>& rows);

// Joint indices, ascending, whose variance passes the threshold.
std::vector<int> movingJointsOf(const float (&variance)[kJointCount]);
}  // namespace nao_kinora

#endif  // NAO_KINORA_JOINT_STATS_H
