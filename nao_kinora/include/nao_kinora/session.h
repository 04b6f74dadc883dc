// A coaching session once the node is up: the greeting, then the main loop
// with its three run states, up to the closing cue or a shutdown.
#ifndef NAO_KINORA_SESSION_H
#define NAO_KINORA_SESSION_H

#include "nao_kinora/command_line.h"
#include "nao_kinora/node_endpoints.h"

namespace nao_kinora
{
// main's result after the closing cue (exit status 255).
const int kClosedStatus = -1;

// What one pass of the main loop does, chosen from the run variables at its start.
enum class PassAction
{
  kPlay,    // playing, a recording remains: load it when new, then one playback step
  kIdle,    // playing, none remains (a count below 1): wait for a message
  kReport,  // motion over: the report
  kResume,  // waiting, the tracking node is done and a recording remains: play it
  kWait,    // waiting for the tracking node
  kClose,   // waiting, no recording remains: the closing cue, then the end
};

// Reads systemstate, currentargv, numberofFiles and trackingfinished, and
// whether the operator ended the session; changes nothing.
PassAction choosePass();

// Reads the private parameters of the session (~tracking_timeout: seconds to
// wait for the tracking node before going on without it; 0, the default,
// waits as long as it takes; ~speed, session_speed.h; ~session_log). False,
// with an error, for a bad one.
bool readSessionParams();

// Waits for the audio player, then says the two greeting cues. False when the
// node shut down meanwhile or the operator ended the session.
bool greet(NaoKinora& obj);

// Starts the recording at argument currentargv of argv: resets the run flags
// for it and loads it into play_joints. A recording that yields no row now (it
// changed since start-up) is skipped: currentargv moves on and, when none
// remains, the run goes to waiting so that the next pass closes. False when skipped.
bool loadNextRecording(char** argv);

// The main loop, from the first pass to the end. Returns main's result:
// kClosedStatus after the closing cue, 0 when the node was shut down.
int runSession(NaoKinora& obj, char** argv);

// Records a shutdown from outside; returns main's result for it, 0.
int shutDown();

// The whole session once the node object exists: the operator's services and
// the status (operator_control.h, session_status.h), the greeting from
// recording plan.first on, the main loop. Returns main's result.
int leadSession(NaoKinora& obj, char** argv, const SessionPlan& plan);
}  // namespace nao_kinora

#endif  // NAO_KINORA_SESSION_H
