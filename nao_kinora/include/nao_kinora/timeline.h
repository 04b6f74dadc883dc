// The timeline of a session, worked out from its recordings without running
// it: when each cue and row goes out, in ROS seconds, as the node paces them.
// The waits for the tracking node between recordings are not included: only
// that node knows them.
#ifndef NAO_KINORA_TIMELINE_H
#define NAO_KINORA_TIMELINE_H

#include "nao_kinora/command_line.h"
#include "nao_kinora/recording_check.h"
#include "nao_kinora/joint_row.h"

#include <cstddef>
#include <string>
#include <vector>

namespace nao_kinora
{
// A cue at its time in seconds (since the recording's start signal, or since
// the session's start for greeting and closing).
struct CueAt
{
  double time;
  std::string file;
  double pause;  // greeting, opening and closing cues
  int row;       // feedback cues: the row it goes out before; -1 otherwise
};

// One recording as the node plays it; times in seconds since its start signal.
struct RecordingTimeline
{
  int currentargv;
  std::string name;
  RecordingCheck check;
  std::vector<JointRow> rows;    // as loadRecording stores them
  std::vector<double> rowTimes;  // when each row goes out
  double end;                    // when the last row's pause ends and the report goes out
  std::vector<CueAt> opening;
  std::vector<CueAt> feedback;     // played, in the order they go out
  std::vector<CueAt> neverPlayed;  // feedback rows the recording does not reach
  std::vector<int> moving;         // joints the report will name

  // 1-based place in the session.
  int number() const { return currentargv - kFirstRecordingArg + 1; }
  // Seconds from the start signal to the report; 0 for a recording the node refuses.
  double length() const { return check.playable() ? end : 0.0; }
  // Time t of this timeline (since the start signal) when the pauses of rows 1
  // on are played at speed (session_speed.h); t itself at the normal speed.
  double atSpeed(double t, double speed) const;
};

// The recording at argument currentargv, file name relative to the recording
// directory, with the cues of its place. Leaves the run variables (meanseq,
// varseq) as they were.
RecordingTimeline planRecording(int currentargv, const std::string& name);
// The same with the cues given (null: none).
RecordingTimeline planRecording(int currentargv, const std::string& name, const CueSchedule* cues);

// A whole session; times in seconds since the node's start, once the audio
// player is connected. A session that starts at a later recording (plan.first)
// has the greeting, then that recording and those after it.
struct SessionTimeline
{
  std::vector<CueAt> greeting;
  int first = 1;                              // place of recordings[0] in the full session
  std::size_t count = 0;                      // recordings in the full session
  std::vector<RecordingTimeline> recordings;  // those played: first to count
  std::vector<double> starts;                 // each recording's start signal
  CueAt closing;                              // meaningful when a recording is played and playable()

  // False when the node would refuse to start: a recording yields no row.
  bool playable() const;
  // Up to the end of the closing cue's pause (same condition as closing).
  double length() const { return closing.time + closing.pause; }
  // Time t of this timeline when the pauses of every recording's rows 1 on are
  // played at speed; t itself at the normal speed.
  double atSpeed(double t, double speed) const;
};

SessionTimeline planSession(const SessionPlan& plan);
}  // namespace nao_kinora

#endif  // NAO_KINORA_TIMELINE_H
