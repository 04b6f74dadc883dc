#include "nao_kinora_tracker/follow_score.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace nao_kinora_tracker
{
namespace
{
double pairCost(const std::vector<ScoredJoint>& joints, size_t i, size_t k)
{
  double sum = 0.0;
  for (const ScoredJoint& j : joints)
    sum += std::fabs(j.person[i] - j.robot[k]);
  return sum / joints.size();
}
}  // namespace

double warpedError(const std::vector<ScoredJoint>& joints, int band)
{
  if (joints.empty() || joints[0].robot.empty() || joints[0].person.empty())
    return 0.0;
  const long n = long(joints[0].person.size()), m = long(joints[0].robot.size());
  const double inf = std::numeric_limits<double>::infinity();
  // cost of the cheapest path to pairing person sample i with robot sample k,
  // kept for |i - k| <= w only: a long exercise stays small.
  const long w = std::max<long>(band, std::labs(n - m));
  const long width = 2 * w + 1;
  std::vector<double> cost(size_t(n * width), inf);
  auto path = [&](long i, long k)
  { return i < 0 || k < 0 || std::labs(i - k) > w ? inf : cost[i * width + k - i + w]; };
  for (long i = 0; i < n; ++i)
    for (long k = std::max(0L, i - w); k <= std::min(m - 1, i + w); ++k)
    {
      const double before = i == 0 && k == 0 ? 0.0 : std::min({path(i - 1, k - 1), path(i - 1, k), path(i, k - 1)});
      cost[i * width + k - i + w] = before + pairCost(joints, i, k);
    }
  // Back along the path: each robot sample's error is the mean of its pairs'
  // costs, and the result the mean over the robot's samples, so that pairing
  // many of the person's samples with the robot standing still dilutes nothing.
  std::vector<double> sum(m, 0.0);
  std::vector<int> pairs(m, 0);
  long i = n - 1, k = m - 1;
  if (path(i, k) == inf)
    return 1.0;
  while (true)
  {
    sum[k] += pairCost(joints, i, k);
    ++pairs[k];
    if (i == 0 && k == 0)
      break;
    const double diagonal = path(i - 1, k - 1), up = path(i - 1, k), left = path(i, k - 1);
    if (diagonal <= up && diagonal <= left)
      --i, --k;
    else if (up <= left)
      --i;
    else
      --k;
  }
  double total = 0.0;
  for (long r = 0; r < m; ++r)
    total += sum[r] / pairs[r];
  return total / m;
}

int followScore(double warpedError)
{
  const double score = 100.0 * (1.0 - warpedError / kZeroScoreError);
  return int(std::lround(std::max(0.0, std::min(100.0, score))));
}
}  // namespace nao_kinora_tracker
