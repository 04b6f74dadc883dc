#include "check_text.h"

#include "check_limits.h"

#include "nao_kinora/joint_row.h"
#include "nao_kinora/recording.h"
#include "nao_kinora/joint_stats.h"
#include "nao_kinora/session_speed.h"

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

// The rows and cues of one recording, in the order they go out; start: its
// start signal's session time at speed.
void printPlayback(const RecordingTimeline& r, double start, double speed)
{
  const auto event = [&](double t, const std::string& what)
  {
    const double at = r.atSpeed(t, speed);
    printEvent(start + at, at, what);
  };
  event(0.0, "start signal 0 on motionStartStop");
  for (const CueAt& cue : r.opening)
    event(cue.time, cue.file + " (opening), pause " + seconds(cue.pause) + " s");
  event(r.rowTimes.front(), "row 0, held " + seconds(kFirstRowDuration) + " s");
  for (const CueAt& cue : r.feedback)
    event(cue.time, cue.file + " (feedback) before row " + std::to_string(cue.row));
  event(r.end, "motion over after row " + std::to_string(r.rows.size() - 1) + ": report, then 1 on motionStartStop");
  for (const CueAt& cue : r.neverPlayed)
    std::cout << "  never played: " << cue.file << " at row " << cue.row << ", past the last row (" << r.rows.size() - 1
              << ")\n";
}

void printRecording(const RecordingTimeline& r, std::size_t count, double start, double speed)
{
  std::cout << "\nrecording " << r.number() << " of " << count << ": " << r.name << " (argument " << r.currentargv
            << ")\n";
  if (r.check.playable())
  {
    const double playingTime = r.atSpeed(r.end, speed) - r.rowTimes.front();
    std::cout << "  " << r.rows.size() << " rows, playing time " << seconds(playingTime) << " s"
              << (speed == kNormalSpeed ? "" : " at speed " + speedText(speed)) << " (row 0 held "
              << seconds(kFirstRowDuration) << " s)\n";
    printPlayback(r, start, speed);
  }
  printProblems(r.check);
  if (r.check.playable())
  {
    std::cout << "  moving joints (variance >= " << kVarianceThreshold << "): " << movingJointList(r.moving) << '\n';
    printJointLimits(r, speed);
  }
}
}  // namespace

std::string seconds(double s)
{
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", s);
  return text;
}

std::string speedText(double speed)
{
  char text[32];
  std::snprintf(text, sizeof text, "%g", speed);
  return text;
}

void printSession(const SessionTimeline& session, double speed)
{
  const std::vector<RecordingTimeline>& recordings = session.recordings;
  std::cout << "session of " << recordings.size() << " recording(s) from " << staticdisplaycommand2 << '\n';
  if (session.first > 1)
    std::cout << "starting at recording " << session.first << " of " << session.count
              << " (_first_recording:=" << session.first << "), after the greeting\n";
  if (speed != kNormalSpeed)
    std::cout << "at speed " << speedText(speed) << " (_speed:=" << speedText(speed)
              << "): each row's pause but row 0's is its duration divided by " << speedText(speed) << '\n';
  std::cout << "times: ROS seconds since the node's start (once the audio player is connected), then since\n"
            << "each recording's start signal; the waits for the tracking node between recordings are not included\n\n";
  for (const CueAt& cue : session.greeting)
    printSessionCue(cue, "greeting");
  for (std::size_t k = 0; k < recordings.size(); ++k)
    printRecording(recordings[k], session.count, session.atSpeed(session.starts[k], speed), speed);
  std::cout << '\n';
  if (recordings.empty())
  {
    std::cout << "no recording is played: after the greeting the node idles until it is shut down\n";
    return;
  }
  if (!session.playable())
    return;  // no session: the node does not start
  CueAt closing = session.closing;
  closing.time = session.atSpeed(closing.time, speed);
  printSessionCue(closing, "closing");
  const double length = closing.time + closing.pause;
  std::cout << "session length " << seconds(length) << " s (" << minutes(length)
            << ") with greeting and closing, without the waits for the tracking node\n";
}

bool reportRefusal(const SessionTimeline& session, double speed, bool jointLimits)
{
  bool refused = false;
  for (const RecordingTimeline& r : session.recordings)
    if (!r.check.playable())
    {
      std::cout << "the node would refuse to start: recording " << r.number() << " (" << r.check.path
                << ") has no row to play\n";
      refused = true;
    }
    else if (breaksJointLimits(r, speed))
    {
      std::cout << (jointLimits ? "the node would refuse to start" : "with _joint_limits:=true the node would refuse")
                << ": recording " << r.number() << " (" << r.check.path << ") breaks the robot's joint limits at speed "
                << speedText(speed) << '\n';
      refused = refused || jointLimits;
    }
  return !refused;
}
}  // namespace nao_kinora
