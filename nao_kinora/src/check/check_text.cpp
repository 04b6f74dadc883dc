#include "check_text.h"

#include "nao_kinora/joint_row.h"
#include "nao_kinora/recording.h"
#include "nao_kinora/joint_stats.h"

#include <cmath>
#include <cstdio>
#include <iostream>
#include <sstream>

namespace nao_kinora
{
namespace
{
std::string minutes(double s)
{
  char text[48];
  std::snprintf(text, sizeof text, "%d min %s s", static_cast<int>(s / 60), seconds(std::fmod(s, 60.0)).c_str());
  return text;
}

// "   25.720   +15.720  what": session time, then time since the start signal.
void printEvent(double sessionTime, double recordingTime, const std::string& what)
{
  char text[48];
  std::snprintf(text, sizeof text, "  %10.3f  %+10.3f  ", sessionTime, recordingTime);
  std::cout << text << what << '\n';
}

void printSessionEvent(double sessionTime, const std::string& what)
{
  char text[32];
  std::snprintf(text, sizeof text, "  %10.3f  %10s  ", sessionTime, "");
  std::cout << text << what << '\n';
}

void printSessionCue(const CueAt& cue, const char* kind)
{
  printSessionEvent(cue.time, cue.file + " (" + kind + "), pause " + seconds(cue.pause) + " s");
}

std::string movingJointList(const std::vector<int>& moving)
{
  if (moving.empty())
    return "none";
  std::ostringstream list;
  for (std::size_t k = 0; k < moving.size(); ++k)
    list << (k ? ", " : "") << moving[k] << ' ' << jointName(moving[k]);
  return list.str();
}

void printProblems(const RecordingCheck& check)
{
  for (const RecordingProblem& problem : check.problems)
    std::cout << "  " << (problem.fatal() ? "cannot be played: " : "warning: ") << problem.message << '\n';
}

// The rows and cues of one recording, in the order they go out.
void printPlayback(const RecordingTimeline& r, double start)
{
  printEvent(start, 0.0, "start signal 0 on motionStartStop");
  for (const CueAt& cue : r.opening)
    printEvent(start + cue.time, cue.time, cue.file + " (opening), pause " + seconds(cue.pause) + " s");
  printEvent(start + r.rowTimes.front(), r.rowTimes.front(), "row 0, held " + seconds(kFirstRowDuration) + " s");
  for (const CueAt& cue : r.feedback)
    printEvent(start + cue.time, cue.time, cue.file + " (feedback) before row " + std::to_string(cue.row));
  printEvent(start + r.end, r.end,
             "motion over after row " + std::to_string(r.rows.size() - 1) + ": report, then 1 on motionStartStop");
  for (const CueAt& cue : r.neverPlayed)
    std::cout << "  never played: " << cue.file << " at row " << cue.row << ", past the last row (" << r.rows.size() - 1
              << ")\n";
}

void printRecording(const RecordingTimeline& r, std::size_t count, double start)
{
  std::cout << "\nrecording " << r.number() << " of " << count << ": " << r.name << " (argument " << r.currentargv
            << ")\n";
  if (r.check.playable())
  {
    std::cout << "  " << r.rows.size() << " rows, playing time " << seconds(r.check.playingTime) << " s (row 0 held "
              << seconds(kFirstRowDuration) << " s)\n";
    printPlayback(r, start);
  }
  printProblems(r.check);
  if (r.check.playable())
    std::cout << "  moving joints (variance >= " << kVarianceThreshold << "): " << movingJointList(r.moving) << '\n';
}
}  // namespace

std::string seconds(double s)
{
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", s);
  return text;
}

void printSession(const SessionTimeline& session)
{
  const std::vector<RecordingTimeline>& recordings = session.recordings;
  std::cout << "session of " << recordings.size() << " recording(s) from " << staticdisplaycommand2 << '\n';
  if (session.first > 1)
    std::cout << "starting at recording " << session.first << " of " << session.count
              << " (_first_recording:=" << session.first << "), after the greeting\n";
  std::cout << "times: ROS seconds since the node's start (once the audio player is connected), then since\n"
            << "each recording's start signal; the waits for the tracking node between recordings are not included\n\n";
  for (const CueAt& cue : session.greeting)
    printSessionCue(cue, "greeting");
  for (std::size_t k = 0; k < recordings.size(); ++k)
    printRecording(recordings[k], session.count, session.starts[k]);
  std::cout << '\n';
  if (recordings.empty())
  {
    std::cout << "no recording is played: after the greeting the node idles until it is shut down\n";
    return;
  }
  if (!session.playable())
    return;  // no session: the node does not start
  printSessionCue(session.closing, "closing");
  const double length = session.length();
  std::cout << "session length " << seconds(length) << " s (" << minutes(length)
            << ") with greeting and closing, without the waits for the tracking node\n";
}

bool reportRefusal(const SessionTimeline& session)
{
  for (const RecordingTimeline& r : session.recordings)
    if (!r.check.playable())
      std::cout << "the node would refuse to start: recording " << r.number() << " (" << r.check.path
                << ") has no row to play\n";
  return session.playable();
}
}  // namespace nao_kinora
