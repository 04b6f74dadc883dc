// The node's command line after ros::init: a count, then one recording file
// name per recording. Checked once, before anything is advertised.
#ifndef NAO_KINORA_COMMAND_LINE_H
#define NAO_KINORA_COMMAND_LINE_H

#include "nao_kinora/cue_schedule.h"

#include <string>
#include <vector>

namespace nao_kinora
{
// Argument number of the first recording's file name (argument 1 is the count).
const int kFirstRecordingArg = 2;

// How many recordings a count plays: the arguments k = 2, 3, ... with
// k <= count + 1 (so 2.5 plays two, and below 1 or NaN plays none).
long recordingsToPlay(float count);

// True while the recording at argument currentargv is still to be played.
bool recordingsRemain(int currentargv, float count);

struct SessionPlan
{
  float count;
  std::vector<std::string> recordings;  // file names, in playing order
  int first = 1;                        // the recording the session starts at (~first_recording), from 1
  // Each recording's own cues (~cues), when given: one per recording named.
  bool ownCues = false;
  std::vector<CueSchedule> cues;

  // The cues of the recording at argument currentargv: its own when the
  // session has them, else its place's; null: none.
  const CueSchedule* scheduleFor(int currentargv) const;
};

// Reads argv the way the node does. On a command line that cannot be played
// (no count, fewer names than the count) writes the problem and the usage to
// standard error and returns false. Warns about an idle count or ignored names.
bool readCommandLine(int argc, char** argv, SessionPlan& plan);

// Sets the recording directory; a missing final slash is added, and an empty
// one keeps the directory in use.
void setRecordingDir(std::string dir);

// Sets the recording directory from the private parameter ~recording_dir, when
// given. False (with an error) when the parameter is not text.
bool applyRecordingDir();

// Sets plan.first to k, the place of the recording to start at; given is how
// the value was written, for the error. False, with an error naming
// ~first_recording, when k is below 1 or beyond the recordings of the plan.
bool setFirstRecording(SessionPlan& plan, long k, const std::string& given);

// Sets plan.first from the private parameter ~first_recording, when given.
// False (with an error) when it is not a whole number in the plan's range.
bool applyFirstRecording(SessionPlan& plan);

// Sets each recording's own cues from the private parameter ~cues, when
// given (cue_schedule.h). False, with an error naming ~cues, when it is not
// text or not a list of one entry per recording of the plan.
bool applyOwnCues(SessionPlan& plan);

// Checks every recording of the plan that will be played (plan.first on) in
// the recording directory; warnings and problems go to standard error. False
// when any of them yields no row or, with the joint limits in force, breaks
// them at the speed in force (joint_limit_guard.h).
bool checkRecordings(const SessionPlan& plan);
}  // namespace nao_kinora

#endif  // NAO_KINORA_COMMAND_LINE_H
