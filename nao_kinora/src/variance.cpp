#include "nao_kinora/variance.h"

#include "nao_kinora/session_log.h"
#include "nao_kinora/session_status.h"

#include <std_msgs/Int32MultiArray.h>

#include <algorithm>
#include <cstddef>
#include <iostream>
#include <iterator>

using namespace nao_kinora;

namespace
{
// motionStartStop value that tells the tracking node the motion is over.
const int kMotionOverSignal = 1;
}  // namespace

void calculateVariance(const std::vector<JointRow>& rows)
{
  const JointStats stats = jointStats(rows);
  std::copy(std::begin(stats.mean), std::end(stats.mean), meanseq);
  std::copy(std::begin(stats.variance), std::end(stats.variance), varseq);
}

namespace nao_kinora
{
std::vector<int> movingJoints()
{
  return movingJointsOf(varseq);
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
