#include "nao_kinora/playback.h"

#include "nao_kinora/cues.h"
#include "nao_kinora/joint_message.h"
#include "nao_kinora/operator_state.h"
#include "nao_kinora/pacing.h"
#include "nao_kinora/run_flags.h"
#include "nao_kinora/session_log.h"
#include "nao_kinora/session_speed.h"

#include <std_msgs/Float32MultiArray.h>

#include <iostream>

using namespace nao_kinora;

namespace
{
const int kStartSignal = 0;

// When the row just sent should end: the time row 0 went out plus the
// durations (at the speed of each) of the rows sent since, so oversleeps do
// not add up.
ros::Time rowDeadline;

// The feedback cues of the recording in progress, beside the rows of
// feedbacks (a recording's own cues name their own).
const CueSchedule* feedbackSchedule = nullptr;

bool rowInRecording(int index)
{
  return index >= 0 && index < static_cast<int>(play_joints.size());
}

// Waits for the peers, sends the start signal and the opening cues.
// False when the node shut down or the operator skipped or ended meanwhile.
bool startRecording(NaoKinora& obj)
{
  beginRecording(currentargv - 1);
  if (!waitForSubscriber(obj.motionStartStopPub, "the motion executor") || !holdWhilePaused())
    return false;
  obj.motionstate_msg.data = kStartSignal;
  publishNow(obj.motionStartStopPub, obj.motionstate_msg);
  logEvent("start signal", {{"recording", currentargv - 1}});

  if (!waitForSubscriber(obj.nao_talker_filenamePub, "the audio player"))
    return false;
  const CueSchedule* schedule = sessionCueSchedule(currentargv);
  feedbackSchedule = schedule;
  if (!schedule)
    return true;
  feedbacks.insert(feedbacks.end(), schedule->feedbackRows.begin(), schedule->feedbackRows.end());
  for (const OpeningCue& cue : schedule->opening)
    if (!sayCue(obj, cue.file, cue.pauseSeconds, {{"kind", "opening"}}))
      return false;
  return true;
}

void sayDueFeedback(NaoKinora& obj)
{
  for (std::size_t p = 0; p < feedbacks.size(); ++p)
    if (feedbacks[p] == tempcounter)
      publishCue(obj, feedbackSchedule ? feedbackSchedule->feedbackFile(p) : feedbackCueName(p),
                 {{"kind", "feedback"}, {"row", tempcounter}});
}

// Moves rowDeadline on by the row's duration. A pass that is more than a row
// behind starts the schedule again from now rather than sending a burst, and
// so does one that finds the clock gone back past the last deadline.
void scheduleRowEnd(const ros::Time& sentAt, double duration)
{
  if (tempcounter == 0 || sentAt < rowDeadline || addPause(rowDeadline, duration) < sentAt)
    rowDeadline = sentAt;
  rowDeadline = addPause(rowDeadline, duration);
}

void logRowSent()
{
  const int last = static_cast<int>(play_joints.size()) - 1;
  if (tempcounter == 0)
    logEvent("first row sent", {{"row", 0}});
  if (tempcounter == last)
    logEvent("last row sent", {{"row", last}});
}

void endMotion()
{
  feedbacks.clear();
  systemstate = kMotionOver;
}
}  // namespace

void kinora(NaoKinora& obj)
{
  ++tempcounter;
  if (tempcounter == 0)
  {
    if (!startRecording(obj))
    {
      tempcounter = -1;  // no row went out
      return;
    }
    // Its status goes out as row 0's pause starts, not in the way of the row.
    enterPhase(Status::PHASE_PLAYING, false);
  }
  // Never read outside the recording; a caller that goes on past the end
  // ends the motion instead.
  if (!rowInRecording(tempcounter))
  {
    endMotion();
    return;
  }
  // While paused neither the row nor its feedback cue goes out; the row is
  // held from the resume as long as it would have been.
  if (!clearToSendRow(tempcounter, rowDeadline))
  {
    --tempcounter;  // not sent: a skip or an end came, or a shutdown
    return;
  }
  sayDueFeedback(obj);

  // The speed as the row leaves: a change from now on counts from the next row.
  const JointRow row = rowAtSpeed(play_joints[tempcounter], tempcounter, currentSpeed());
  std_msgs::Float32MultiArray jointAnglesAll = encodeJointMessage(row);
  const ros::Time sentAt = pauseClockNow();
  publishNow(obj.jointAnglePub, jointAnglesAll);
  // After the row: a slow terminal or pipe must not hold the row up.
  std::cout << "burdayım" << std::endl;
  logRowSent();

  scheduleRowEnd(sentAt, row[kDurationColumn]);
  if (!sleepUntil(rowDeadline))
    return;
  if (tempcounter == static_cast<int>(play_joints.size()) - 1)
    endMotion();
}
