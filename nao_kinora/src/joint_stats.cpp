#include "nao_kinora/joint_stats.h"

#include <cstddef>

namespace nao_kinora
{
// Rows are walked in the outer loop with one accumulator per joint: each joint
// still sums its rows 0..N-1 in order, so the results equal a column-by-column
// pass, while a long recording is read twice instead of 44 times.
JointStats jointStats(const std::vector<JointRow>& rows)
{
  const int n = static_cast<int>(rows.size());  // 0 rows: 0.0 / 0 gives NaN, never reported
  JointStats stats;

  double tempsum[kJointCount] = {0};
  for (std::size_t r = 0; r < rows.size(); ++r)
    for (int i = 0; i < kJointCount; ++i)
      tempsum[i] += rows[r][i];
  for (int i = 0; i < kJointCount; ++i)
  {
    stats.mean[i] = static_cast<float>(tempsum[i] / n);
    tempsum[i] = 0;
  }

  for (std::size_t r = 0; r < rows.size(); ++r)
    for (int i = 0; i < kJointCount; ++i)
    {
      const double deviation = static_cast<double>(rows[r][i]) - stats.mean[i];
      tempsum[i] += deviation * deviation;
    }
  for (int i = 0; i < kJointCount; ++i)
    stats.variance[i] = static_cast<float>(tempsum[i] / n);
  return stats;
}

std::vector<int> movingJointsOf(const float (&variance)[kJointCount])
{
  std::vector<int> moving;
  for (int w = 0; w < kJointCount; ++w)
    if (static_cast<double>(variance[w]) >= kVarianceThreshold)  // false for NaN
      moving.push_back(w);
  return moving;
}
}  // namespace nao_kinora
