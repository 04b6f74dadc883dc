#include "nao_kinora/operator_state.h"

#include "nao_kinora/pause_clock.h"
#include "nao_kinora/session_log.h"

#include <ros/ros.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>

namespace nao_kinora
{
namespace
{
// How often a held main thread looks at the pause: under simulated time as
// often as roscpp's own sleeps poll the clock, in wall time often enough that
// a resume is not felt.
const ros::WallDuration kSimHoldPoll(0.001);
const ros::WallDuration kWallHoldPoll(0.01);

enum class SkipKind
{
  kRecording,  // the recording in progress
  kWait,       // the wait for the tracking node after it
};

std::mutex mutex;  // guards the members below but the atomics
Where now;
bool skipPending = false;
SkipKind skipKind = SkipKind::kRecording;
int skipRecording = 0;
bool endRequested = false;  // stays set: the session is ending
bool endTaken = false;
ros::Time pausedAt;
std::atomic<bool> pausedFlag(false);
std::atomic<bool> interruptFlag(false);
std::atomic<bool> changed(false);  // the status has to say something new
std::atomic<ProgressHook> hook(nullptr);

bool recordingPhase(Phase phase)
{
  return phase == Status::PHASE_OPENING_CUE || phase == Status::PHASE_PLAYING;
}

// With mutex held: a pending skip that still fits where the session stands.
bool skipFits()
{
  if (!skipPending || skipRecording != now.recording)
    return false;
  return skipKind == SkipKind::kRecording ? recordingPhase(now.phase) : now.phase == Status::PHASE_WAITING_FOR_TRACKING;
}

// With mutex held.
void updateInterrupt()
{
  interruptFlag = skipPending || (endRequested && !endTaken);
}

nlohmann::ordered_json logFields(const Where& w)
{
  return {{"recording", w.recording}, {"row", w.row}, {"phase", describe(w)}};
}

std::string recordingText(int recording)
{
  return "recording " + std::to_string(recording);
}

std::string afterWhat(const Where& w)
{
  return w.recording > 0 ? "after " + recordingText(w.recording) : "after the greeting";
}

const ros::WallDuration& holdPoll()
{
  return ros::Time::isSimTime() ? kSimHoldPoll : kWallHoldPoll;
}
}  // namespace

Where where()
{
  std::lock_guard<std::mutex> lock(mutex);
  Where w = now;
  w.paused = pausedFlag;
  return w;
}

std::string describe(const Where& w)
{
  const std::string recording = recordingText(w.recording);
  switch (w.phase)
  {
    case Status::PHASE_STARTING:
      return "while waiting for the audio player";
    case Status::PHASE_GREETING:
      return "in the greeting";
    case Status::PHASE_OPENING_CUE:
      return "in " + recording + " before its first row";
    case Status::PHASE_PLAYING:
      return "in " + recording + " at row " + std::to_string(w.row);
    case Status::PHASE_REPORT:
      return "in " + recording + " at its report";
    case Status::PHASE_WAITING_FOR_TRACKING:
      return w.recording > 0 ? afterWhat(w) + ", waiting for person tracking"
                             : "after the greeting, with no recording to play";
    case Status::PHASE_CLOSING:
      return "in the closing";
    default:
      return "after the session";
  }
}

bool paused()
{
  return pausedFlag;
}

bool interrupted()
{
  return interruptFlag;
}

void statusChanged()
{
  changed = true;
}

Answer requestPause(bool pause)
{
  std::lock_guard<std::mutex> lock(mutex);
  Where w = now;
  w.paused = pausedFlag;
  const std::string at = describe(w);
  if (w.phase == Status::PHASE_OVER)
    return {false, "the session is over"};
  if (pause == w.paused)
    return {false, (pause ? "already paused " : "not paused: the session goes on ") + at};
  changed = true;
  if (pause)
  {
    pausedAt = pauseClockNow();
    pausedFlag = true;
    logEvent("pause", logFields(w));
    return {true, "paused " + at};
  }
  pausedFlag = false;
  const double held = std::max(0.0, (pauseClockNow() - pausedAt).toSec());
  nlohmann::ordered_json fields = logFields(w);
  fields["paused seconds"] = held;
  logEvent("resume", fields);
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f", held);
  return {true, "resumed " + at + " after " + seconds + " s"};
}

Answer requestSkip()
{
  std::lock_guard<std::mutex> lock(mutex);
  const Where w = now;
  const std::string at = describe(w);
  if (endRequested)
    return {false, "the session is ending"};
  if (skipPending)
    return {false, "a skip is already under way " + at};
  if (recordingPhase(w.phase))
    skipKind = SkipKind::kRecording;
  else if (w.phase == Status::PHASE_WAITING_FOR_TRACKING && w.recording > 0)
    skipKind = SkipKind::kWait;
  else if (w.phase == Status::PHASE_STARTING || w.phase == Status::PHASE_GREETING)
    return {false, "nothing to skip " + at + ": the first recording starts after the greeting"};
  else if (w.phase == Status::PHASE_REPORT)
    return {false, recordingText(w.recording) + " is already over: its report is going out"};
  else
    return {false, "nothing to skip " + at};
  skipPending = true;
  skipRecording = w.recording;
  updateInterrupt();
  changed = true;
  logEvent("skip", logFields(w));
  if (skipKind == SkipKind::kWait)
    return {true, "going on " + afterWhat(w) + " without waiting for person tracking"};
  const std::string rows = w.row < 0 ? "before its first row" : "after row " + std::to_string(w.row);
  return {true, "skipping the rest of " + recordingText(w.recording) + " " + rows + ": the robot stops now"};
}

Answer requestEnd()
{
  std::lock_guard<std::mutex> lock(mutex);
  const Where w = now;
  if (endRequested)
    return {false, "the session is already ending"};
  if (w.phase == Status::PHASE_CLOSING)
    return {false, "the session is already closing"};
  if (w.phase == Status::PHASE_OVER)
    return {false, "the session is over"};
  endRequested = true;
  // Ending is what the operator wants now, paused or not.
  pausedFlag = false;
  updateInterrupt();
  changed = true;
  logEvent("end", logFields(w));
  if (recordingPhase(w.phase))
    return {true, "ending the session " + describe(w) + ": the robot stops, then the goodbye"};
  return {true, "ending the session " + describe(w) + ": the goodbye next"};
}

void enterPhase(Phase phase, bool statusNow)
{
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (now.phase == phase)
      return;
    now.phase = phase;
    if (!skipFits())
      skipPending = false;
    if (phase == Status::PHASE_CLOSING || phase == Status::PHASE_OVER)
      endTaken = endRequested;
    updateInterrupt();
  }
  if (statusNow)
    progressTick(true);
  else
    changed = true;
}

void beginRecording(int recording)
{
  {
    std::lock_guard<std::mutex> lock(mutex);
    now.recording = recording;
    now.row = -1;
  }
  enterPhase(Status::PHASE_OPENING_CUE);
}

Request takeRequest()
{
  if (!interruptFlag)
    return Request::kNone;
  std::lock_guard<std::mutex> lock(mutex);
  Request request = Request::kNone;
  if (endRequested && !endTaken)
  {
    endTaken = true;
    request = Request::kEnd;
  }
  else if (skipPending)
  {
    if (skipFits())
      request = Request::kSkip;
    skipPending = false;
  }
  updateInterrupt();
  return request;
}

bool holdWhilePaused(ros::Time* deadline)
{
  if (!pausedFlag)
    return !interruptFlag;
  const ros::Time start = pauseClockNow();
  const ros::Duration left = deadline ? std::max(*deadline - start, ros::Duration(0)) : ros::Duration(0);
  progressTick(true);
  while (pausedFlag && !interruptFlag && ros::ok())
  {
    holdPoll().sleep();
    progressTick();
  }
  if (deadline)
    *deadline = pauseClockNow() + left;
  progressTick(true);
  return !interruptFlag && ros::ok();
}

bool clearToSendRow(int row, ros::Time& deadline)
{
  while (holdWhilePaused(&deadline))
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (pausedFlag)
      continue;  // paused just now: hold again
    now.row = row;
    return true;
  }
  return false;
}

void setProgressHook(ProgressHook h)
{
  hook = h;
}

void progressTick(bool force, const ros::Time& at)
{
  const ProgressHook h = hook;
  if (!h)
    return;
  if (changed.exchange(false))
    force = true;
  h(force, at);
}

void resetOperatorState()
{
  std::lock_guard<std::mutex> lock(mutex);
  now = Where();
  skipPending = false;
  endRequested = false;
  endTaken = false;
  pausedFlag = false;
  interruptFlag = false;
  changed = false;
}
}  // namespace nao_kinora
