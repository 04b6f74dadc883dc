// The motion-over report: the analysis of play_joints into meanseq and varseq,
// and the joints that moved, published.
#ifndef NAO_KINORA_VARIANCE_H
#define NAO_KINORA_VARIANCE_H

#include "nao_kinora/joint_stats.h"
#include "nao_kinora/node_endpoints.h"
#include "nao_kinora/run_flags.h"

#include <vector>

namespace nao_kinora
{
// Joint indices, ascending, whose varseq entry passes the threshold.
std::vector<int> movingJoints();
}  // namespace nao_kinora

// jointStats of rows, into meanseq and varseq.
void calculateVariance(const std::vector<nao_kinora::JointRow>& rows);

// After a motion: analyses play_joints, publishes the moving joints on
// "variancedJoints", then 1 on "motionStartStop"; advances currentargv and
// moves the run to waiting for tracking.
void motionOverReport(NaoKinora& obj);

#endif  // NAO_KINORA_VARIANCE_H
