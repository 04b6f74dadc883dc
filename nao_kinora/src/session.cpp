#include "nao_kinora/session.h"

#include "nao_kinora/command_line.h"
#include "nao_kinora/cues.h"
#include "nao_kinora/joint_limit_guard.h"
#include "nao_kinora/operator_control.h"
#include "nao_kinora/operator_state.h"
#include "nao_kinora/pacing.h"
#include "nao_kinora/playback.h"
#include "nao_kinora/loader.h"
#include "nao_kinora/recording.h"
#include "nao_kinora/recording_check.h"
#include "nao_kinora/run_flags.h"
#include "nao_kinora/session_log.h"
#include "nao_kinora/session_speed.h"
#include "nao_kinora/session_status.h"
#include "nao_kinora/timeline.h"
#include "nao_kinora/tracking_result_log.h"
#include "nao_kinora/variance.h"

#include "nao_kinora/parameters.h"

#include <ros/callback_queue.h>

#include <memory>
#include <string>

namespace nao_kinora
{
namespace
{
// A pass with nothing to do waits this long for a message instead of
// spinning. A message or an operator's request ends the wait at once; the
// rest (the tracking timeout, the warnings, the status) can wait 0.1 s. Under
// simulated time the clock may run faster than the wall, and its ticks do not
// end the wait, so the pass comes round as often as a pause polls the clock:
// a wait then sees every time the clock reaches, as a pause does.
const ros::WallDuration kIdleWait(0.1);
const ros::WallDuration kSimIdleWait(0.001);

// ~tracking_timeout: how long to wait for the tracking node before going on
// without it; 0 waits as long as it takes.
double trackingTimeout = 0.0;

// The wait for the tracking node in progress, if any; it spans many passes.
std::unique_ptr<WaitReporter> trackingWait;

// Set when a recording was skipped at its load: the next load keeps a
// "trackingfinished" handled since, as the first load keeps one that came
// during the greeting, so it counts for the next wait instead of being lost.
bool lastLoadSkipped = false;

// The operator ended the session: no recording is loaded any more, and the
// next pass that is not a report closes.
bool ending = false;

bool remain()
{
  return recordingsRemain(currentargv, numberofFiles);
}

void logLoaded(const std::string& path)
{
  if (!sessionLogOpen())
    return;
  nlohmann::ordered_json warnings = nlohmann::ordered_json::array();
  for (const RecordingProblem& problem : checkRecording(path).problems)
    warnings.push_back(problem.message);
  logEvent("recording loaded",
           {{"recording", currentargv - 1}, {"path", path}, {"rows", play_joints.size()}, {"warnings", warnings}});
}

// No start signal, no cues, no report for a recording skipped.
// brokeLimits: for the joint limits, which the log says; otherwise it had no row.
void skipRecording(const char* name, bool brokeLimits = false)
{
  const std::string path = staticdisplaycommand2 + name;
  ROS_ERROR("skipping recording [%s]: %s", path.c_str(),
            brokeLimits ? "it breaks the robot's joint limits" : "it has no row to play");
  nlohmann::ordered_json fields = {{"recording", currentargv - 1}, {"path", path}};
  if (brokeLimits)
    fields["joint limits"] = true;
  logEvent("recording skipped", fields);
  noteSkipped(currentargv - 1);
  ++currentargv;
  firsttime = 0;
  lastLoadSkipped = true;
  if (!remain())
    systemstate = kWaitingForTracking;  // no recording left: close on the next pass
}

void playPass(NaoKinora& obj, char** argv)
{
  if (firsttime == 0 && !loadNextRecording(argv))
    return;
  kinora(obj);
}

int closeSession(NaoKinora& obj)
{
  enterPhase(Status::PHASE_CLOSING);
  if (!sayCue(obj, kClosingCue, kGreetingPauseSeconds, {{"kind", "closing"}}))
    return shutDown();
  enterPhase(Status::PHASE_OVER);
  return kClosedStatus;
}

// A skip or an end from the operator, as the run variables take it: a
// recording in progress ends as on "motionfinished" (its report comes next);
// a skip in the wait for tracking counts as "trackingfinished".
void takeOperatorRequests()
{
  const Request request = takeRequest();
  if (request == Request::kNone)
    return;
  if (request == Request::kEnd)
    ending = true;
  if (systemstate == kPlaying && firsttime != 0)
    systemstate = kMotionOver;
  else if (request == Request::kSkip && systemstate == kWaitingForTracking)
    trackingfinished = 1;
}

// One pass of the wait for the tracking node: warns while it lasts and, with
// a tracking timeout, goes on without it once the timeout has passed.
void waitForTracking()
{
  if (!trackingWait)
  {
    const int recording = currentargv - kFirstRecordingArg;  // the one just reported
    trackingWait.reset(new WaitReporter("trackingfinished after recording " + std::to_string(recording)));
  }
  trackingWait->poll();
  if (trackingTimeout > 0 && trackingWait->waited() >= trackingTimeout)
  {
    ROS_WARN("no trackingfinished within the tracking timeout of %g s: going on with the next recording",
             trackingTimeout);
    logEvent("tracking timeout", {{"recording", currentargv - kFirstRecordingArg}, {"seconds", trackingTimeout}});
    trackingfinished = 1;
  }
}

// Callbacks run here only, between passes. A play pass has updated the
// status in its pause already; doing it again here would hold up the next row.
void endPass(bool idle, bool played)
{
  if (idle)
    ros::getGlobalCallbackQueue()->callAvailable(ros::Time::isSimTime() ? kSimIdleWait : kIdleWait);
  else
    ros::spinOnce();
  if (!played)
    progressTick();
}
}  // namespace

PassAction choosePass()
{
  switch (systemstate)
  {
    case kPlaying:
      if (ending)
        return PassAction::kClose;
      return remain() ? PassAction::kPlay : PassAction::kIdle;
    case kMotionOver:
      return PassAction::kReport;
    default:
      // No recording left ends the run whether or not the tracking node is done.
      if (!remain() || ending)
        return PassAction::kClose;
      return trackingfinished != 0 ? PassAction::kResume : PassAction::kWait;
  }
}

bool readSessionParams()
{
  return readSecondsParam("tracking_timeout", trackingTimeout) && readSpeedParam() && readJointLimitsParam() &&
         readSessionLogParam();
}

bool greet(NaoKinora& obj)
{
  if (!waitForSubscriber(obj.nao_talker_filenamePub, "the audio player"))
    return false;
  enterPhase(Status::PHASE_GREETING);
  return sayCue(obj, kGreetingCue, kGreetingPauseSeconds, {{"kind", "greeting"}}) &&
         sayCue(obj, kExplanationCue, kGreetingPauseSeconds, {{"kind", "greeting"}});
}

bool loadNextRecording(char** argv)
{
  firsttime = 1;
  if (!lastLoadSkipped)
    trackingfinished = 0;
  lastLoadSkipped = false;
  tempcounter = -1;
  feedbacks.clear();  // a recording that ended early leaves none behind
  loadRecording(argv[currentargv]);
  // Checked again now: the file may have changed since start-up.
  const int place = currentargv - 1;
  const std::string path = staticdisplaycommand2 + argv[currentargv];
  const bool admitted =
      withSpeedHeld([&](double speed) { return admitRecording(place, argv[currentargv], path, play_joints, speed); });
  if (play_joints.empty())
  {
    skipRecording(argv[currentargv]);
    return false;
  }
  if (!admitted)
  {
    skipRecording(argv[currentargv], true);
    return false;
  }
  logLoaded(staticdisplaycommand2 + argv[currentargv]);
  return true;
}

int runSession(NaoKinora& obj, char** argv)
{
  while (obj.nh.ok())
  {
    takeOperatorRequests();
    bool idle = false;
    const PassAction action = choosePass();
    if (action != PassAction::kWait)
      trackingWait.reset();
    switch (action)
    {
      case PassAction::kPlay:
        playPass(obj, argv);
        break;
      case PassAction::kIdle:
        enterPhase(Status::PHASE_WAITING_FOR_TRACKING);
        idle = true;
        break;
      case PassAction::kReport:
        enterPhase(Status::PHASE_REPORT);
        motionOverReport(obj);
        break;
      case PassAction::kResume:
        firsttime = 0;
        systemstate = kPlaying;
        break;
      case PassAction::kWait:
        enterPhase(Status::PHASE_WAITING_FOR_TRACKING);
        firsttime = 0;
        waitForTracking();
        idle = true;
        break;
      case PassAction::kClose:
        firsttime = 0;
        return closeSession(obj);
    }
    endPass(idle, action == PassAction::kPlay);
  }
  return shutDown();
}

int shutDown()
{
  enterPhase(Status::PHASE_OVER);
  logEvent("shutdown");
  return 0;
}

int leadSession(NaoKinora& obj, char** argv, const SessionPlan& plan)
{
  currentargv = kFirstRecordingArg + plan.first - 1;
  const SessionTimeline timeline = planSession(plan);
  OperatorControl control;
  TrackingResultLog results;
  StatusPublisher status(obj, timeline);
  // Under simulated time, pauses measured before the first /clock would end at once.
  ros::Time::waitForValid();
  logStartSpeed();
  // An end during the greeting goes straight on to the closing.
  if (!greet(obj) && !obj.nh.ok())
    return shutDown();
  return runSession(obj, argv);
}
}  // namespace nao_kinora
