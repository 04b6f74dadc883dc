// nao_kinora: leads a person through recorded exercises on a NAO robot.
//
//   nao_kinora COUNT FILE... [_recording_dir:=DIR] [_session_log:=FILE] [_first_recording:=K]
//              [_speed:=S] [_joint_limits:=true] [_cues:=JSON]
//
// Exit status: 0 when shut down from outside, 255 after the closing cue,
// 1 when the command line or a recording cannot be played.
#include "nao_kinora/command_line.h"
#include "nao_kinora/cues.h"
#include "nao_kinora/node_endpoints.h"
#include "nao_kinora/pacing.h"
#include "nao_kinora/run_flags.h"
#include "nao_kinora/session.h"
#include "nao_kinora/session_log.h"
#include "nao_kinora/stop_signals.h"

#include <ros/ros.h>

namespace
{
const int kBadCommandLineStatus = 1;
}  // namespace

int main(int argc, char** argv)
{
  nao_kinora::stopAtOnceOnSignals();
  nao_kinora::tightenTimerSlack();
  ros::init(argc, argv, "nao_kinora");
  nao_kinora::SessionPlan plan;
  if (!nao_kinora::readCommandLine(argc, argv, plan))
    return kBadCommandLineStatus;
  numberofFiles = plan.count;
  if (!nao_kinora::applyRecordingDir() || !nao_kinora::applyFirstRecording(plan) || !nao_kinora::applyOwnCues(plan) ||
      !nao_kinora::readSessionParams() || !nao_kinora::checkRecordings(plan) || !nao_kinora::openSessionLog())
    return kBadCommandLineStatus;

  if (plan.ownCues)
    nao_kinora::useOwnCues(plan.cues);
  NaoKinora obj;
  nao_kinora::stopThroughRosOnSignals();
  return nao_kinora::leadSession(obj, argv, plan);
}
