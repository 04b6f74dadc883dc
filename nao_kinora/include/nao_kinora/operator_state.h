// What the operator asks of a running session (pause, skip, end) and where the
// session stands for the answers. The operator's services run on a thread of
// their own and only set requests here; the main loop takes them up between
// its steps, and its pauses and outputs hold while the session is paused.
#ifndef NAO_KINORA_OPERATOR_STATE_H
#define NAO_KINORA_OPERATOR_STATE_H

#include <nao_kinora_msgs/SessionStatus.h>
#include <ros/time.h>

#include <cstdint>
#include <string>

namespace nao_kinora
{
// The phase values of nao_kinora_msgs/SessionStatus.
typedef uint8_t Phase;
typedef nao_kinora_msgs::SessionStatus Status;

// Where the session stands, as the main thread last said.
struct Where
{
  Phase phase = Status::PHASE_STARTING;  // never PHASE_PAUSED: see paused
  bool paused = false;
  int recording = 0;  // 1-based place in the full session; 0 before the first
  int row = -1;       // the last row sent of that recording
};

// What an operator's request got: the service's success and message.
struct Answer
{
  bool success;
  std::string message;
};

// A request for the main loop to act on.
enum class Request
{
  kNone,
  kSkip,  // end the recording in progress, or stop waiting for the tracking node
  kEnd,   // end the recording in progress, then close the session
};

// ---- any thread
Where where();
// "in recording 3 at row 412", "in the greeting", ...
std::string describe(const Where& w);
bool paused();
// A skip or an end that the main loop has not taken up yet: pauses and waits
// end early so that it acts at once.
bool interrupted();
// Something the status shows has changed (the speed): it goes out at the next tick.
void statusChanged();

// ---- the operator's services
Answer requestPause(bool pause);
Answer requestSkip();
Answer requestEnd();

// ---- the main thread
// Moves to another phase and has the status published, at once or, with
// statusNow false, at the next tick (the start of the next pause: for a phase
// entered just before a row). A skip meant for the phase left lapses;
// entering the closing takes an end request as done.
void enterPhase(Phase phase, bool statusNow = true);
// A recording's start: its place in the full session, no row sent yet, the
// phase of its start signal and opening cues.
void beginRecording(int recording);
// The next skip or end, once each.
Request takeRequest();
// Holds while paused; deadline, when given, keeps what was left of its pause
// and moves on by the time held. False when a skip or an end came, or the node
// shut down while it held.
bool holdWhilePaused(ros::Time* deadline = nullptr);
// holdWhilePaused, then row counts as sent in the same step, so that an answer
// to a pause never names a row older than one already going out.
bool clearToSendRow(int row, ros::Time& deadline);

// Called on every change of phase or of the pause (force true) and on every
// slice of the main thread's waits (force false); set by the status publisher.
// at: the time the caller's wait last read, or zero to read the clock.
typedef void (*ProgressHook)(bool force, const ros::Time& at);
void setProgressHook(ProgressHook hook);
// Runs the hook when something changed or force; cheap otherwise.
void progressTick(bool force = false, const ros::Time& at = ros::Time());

// Back to the start of a session (tests).
void resetOperatorState();
}  // namespace nao_kinora

#endif  // NAO_KINORA_OPERATOR_STATE_H
