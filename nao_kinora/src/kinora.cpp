// nao_kinora: leads a person through recorded exercises on a NAO robot.
//
//   nao_kinora COUNT FILE... [_recording_dir:=DIR]
//
// Exit status: 0 when shut down from outside, 255 after the closing cue,
// 1 when the command line or a recording cannot be played.
#include "nao_kinora/command_line.h"
#include "nao_kinora/cues.h"
#include "nao_kinora/node_endpoints.h"
#include "nao_kinora/pacing.h"
#include "nao_kinora/playback.h"
#include "nao_kinora/recording.h"
#include "nao_kinora/recording_check.h"
#include "nao_kinora/run_flags.h"
#include "nao_kinora/session_log.h"
#include "nao_kinora/variance.h"

#include <ros/callback_queue.h>
#include <ros/ros.h>

using namespace nao_kinora;

namespace
{
const int kClosedStatus = -1;
const int kBadCommandLineStatus = 1;
// A pass with nothing to do waits this long for a message instead of spinning.
const double kIdleWaitSeconds = 0.01;

bool remain()
{
  return recordingsRemain(currentargv, numberofFiles);
}

int shutDown()
{
  logEvent("shutdown");
  return 0;
}

bool greet(NaoKinora& obj)
{
  return waitForSubscriber(obj.nao_talker_filenamePub) &&
         sayCue(obj, kGreetingCue, kGreetingPauseSeconds, {{"kind", "greeting"}}) &&
         sayCue(obj, kExplanationCue, kGreetingPauseSeconds, {{"kind", "greeting"}});
}

void logLoaded(const std::string& path)
{
  if (!sessionLogOpen())
    return;
  nlohmann::ordered_json warnings = nlohmann::ordered_json::array();
  for (const RecordingProblem& problem : checkRecording(path).problems)
    warnings.push_back(problem.message);
  logEvent("recording loaded", {{"recording", currentargv - 1},
                                {"path", path},
                                {"rows", play_joints.size()},
                                {"warnings", warnings}});
}

// A recording that yields no row now (it changed since start-up) is skipped:
// no start signal, no cues, no report.
void skipRecording(const char* name)
{
  const std::string path = staticdisplaycommand2 + name;
  ROS_ERROR("skipping recording [%s]: it has no row to play", path.c_str());
  logEvent("recording skipped", {{"recording", currentargv - 1}, {"path", path}});
  ++currentargv;
  firsttime = 0;
  if (!remain())
    systemstate = kWaitingForTracking;  // no recording left: close on the next pass
}

// State 0. Returns false when the pass had nothing to do.
bool playPass(NaoKinora& obj, char** argv)
{
  if (!remain())
    return false;
  if (firsttime == 0)
  {
    firsttime = 1;
    trackingfinished = 0;
    tempcounter = -1;
    feedbacks.clear();  // a recording that ended early leaves none behind
    loadRecording(argv[currentargv]);
    if (play_joints.empty())
    {
      skipRecording(argv[currentargv]);
      return true;
    }
    logLoaded(staticdisplaycommand2 + argv[currentargv]);
  }
  kinora(obj);
  return true;
}

void endPass(bool idle)
{
  if (idle)
    ros::getGlobalCallbackQueue()->callAvailable(ros::WallDuration(kIdleWaitSeconds));
  else
    ros::spinOnce();
}

int runSession(NaoKinora& obj, char** argv)
{
  while (obj.nh.ok())
  {
    bool idle = false;
    switch (systemstate)
    {
      case kPlaying:
        idle = !playPass(obj, argv);
        break;
      case kMotionOver:
        motionOverReport(obj);
        break;
      default:
        firsttime = 0;
        if (!remain())
          return sayCue(obj, kClosingCue, kGreetingPauseSeconds, {{"kind", "closing"}}) ? kClosedStatus
                                                                                         : shutDown();
        if (trackingfinished != 0)
          systemstate = kPlaying;
        else
          idle = true;
    }
    endPass(idle);
  }
  return shutDown();
}
}  // namespace

int main(int argc, char** argv)
{
  ros::init(argc, argv, "nao_kinora");
  SessionPlan plan;
  if (!readCommandLine(argc, argv, plan))
    return kBadCommandLineStatus;
  numberofFiles = plan.count;
  applyRecordingDir();
  if (!checkRecordings(plan) || !openSessionLog())
    return kBadCommandLineStatus;

  NaoKinora obj;
  ros::Time::waitForValid();
  if (!greet(obj))
    return shutDown();
  return runSession(obj, argv);
}
