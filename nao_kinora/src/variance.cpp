#include "nao_kinora/variance.h"

#include "nao_kinora/session_log.h"
#include "nao_kinora/session_status.h"

#include <std_msgs/Int32MultiArray.h>

#include <cstddef>
#include <iostream>

using namespace nao_kinora;

namespace
{
// motionStartStop value that tells the tracking node the motion is over.
const int kMotionOverSignal = 1;
}  // namespace

// Rows are walked in the outer loop with one accumulator per joint: each joint
// still sums its rows 0..N-1 in order, so the results equal a column-by-column
// pass, while a long recording is read twice instead of 44 times.
void calculateVariance(const std::vector<JointRow>& rows)
{
  const int n = static_cast<int>(rows.size());  // 0 rows: 0.0 / 0 gives NaN, never reported

  double tempsum[kJointCount] = {0};
  for (std::size_t r = 0; r < rows.size(); ++r)
    for (int i = 0; i < kJointCount; ++i)
      tempsum[i] += rows[r][i];
  for (int i = 0; i < kJointCount; ++i)
  {
    meanseq[i] = static_cast<float>(tempsum[i] / n);
    tempsum[i] = 0;
  }

  for (std::size_t r = 0; r < rows.size(); ++r)
    for (int i = 0; i < kJointCount; ++i)
    {
      const double deviation = static_cast<double>(rows[r][i]) - meanseq[i];
      tempsum[i] += deviation * deviation;
    }
  for (int i = 0; i < kJointCount; ++i)
    varseq[i] = static_cast<float>(tempsum[i] / n);
}

namespace nao_kinora
{
std::vector<int> movingJoints()
{
  std::vector<int> moving;
  for (int w = 0; w < kJointCount; ++w)
    if (static_cast<double>(varseq[w]) >= kVarianceThreshold)  // false for NaN
      moving.push_back(w);
  return moving;
}
}  // namespace nao_kinora

void motionOverReport(NaoKinora& obj)
{
  std::cout << "motion is over" << std::endl;
  ++currentargv;
  calculateVariance(play_joints);

  std_msgs::Int32MultiArray variancedJ;
  const std::vector<int> moving = movingJoints();
  for (std::size_t k = 0; k < moving.size(); ++k)
  {
    std::cout << "varianced " << moving[k] << std::endl;
    variancedJ.data.push_back(moving[k]);
  }
  publishNow(obj.variancedJointsPub, variancedJ);
  logEvent("report", {{"recording", currentargv - 2},
                      {"rows", play_joints.size()},
                      {"variances", std::vector<float>(varseq, varseq + kJointCount)},
                      {"moving joints", moving}});
  noteReport(currentargv - 2, moving);

  obj.motionstate_msg.data = kMotionOverSignal;
  publishNow(obj.motionStartStopPub, obj.motionstate_msg);
  logEvent("stop signal", {{"recording", currentargv - 2}});
  systemstate = kWaitingForTracking;
}
