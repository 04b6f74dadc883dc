// nao_kinora_check's lines on the robot's joint limits: every fault of a
// recording at the speed checked, and the highest speed it allows.
#ifndef NAO_KINORA_CHECK_LIMITS_H
#define NAO_KINORA_CHECK_LIMITS_H

#include "nao_kinora/timeline.h"

namespace nao_kinora
{
// Every fault of r's rows at speed, one line each, then the highest speed
// r allows.
void printJointLimits(const RecordingTimeline& r, double speed);

// Whether r's rows break the joint limits at speed.
bool breaksJointLimits(const RecordingTimeline& r, double speed);
}  // namespace nao_kinora

#endif  // NAO_KINORA_CHECK_LIMITS_H
