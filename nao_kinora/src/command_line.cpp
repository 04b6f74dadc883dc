#include "nao_kinora/command_line.h"

#include "nao_kinora/joint_limit_guard.h"
#include "nao_kinora/parameters.h"
#include "nao_kinora/recording.h"
#include "nao_kinora/recording_check.h"
#include "nao_kinora/session_speed.h"

#include <ros/ros.h>

#include <climits>
#include <cmath>
#include <cstdlib>
#include <iostream>

namespace nao_kinora
{
namespace
{
void printUsage(const char* program)
{
  std::cerr << "usage: " << program
            << " COUNT FILE... [_recording_dir:=DIR] [_session_log:=FILE] [_tracking_timeout:=SECONDS]\n"
            << "       [_first_recording:=K] [_speed:=S] [_joint_limits:=true] [_cues:=JSON]\n"
            << "  COUNT    number of recordings to play (a count below 1 plays none and idles)\n"
            << "  FILE     one recording per COUNT, in playing order, relative to the recording\n"
            << "           directory (" << staticdisplaycommand2 << " unless _recording_dir:= is given)\n"
            << "  FILE after _session_log:= gets one JSON line per session event\n"
            << "  SECONDS  go on with the next recording when the tracking node has not answered\n"
            << "           after that long (default 0: wait as long as it takes)\n"
            << "  K        start at the K-th recording, after the greeting (default 1)\n"
            << "  S        the rows' speed for this patient, 0.25 to 2 (default 1: as recorded); each\n"
            << "           row's pause but row 0's is its duration divided by S\n"
            << "  _joint_limits:=true  refuse what the robot cannot do: an angle outside its joint's\n"
            << "           range, a joint asked to move faster than it can at S, a ~set_speed that would\n"
            << "           (default false; every launch file and the console set it true)\n"
            << "  JSON     each recording's own cues in place of those of its place: a list of one\n"
            << "           {\"introduction\": [{\"cue\", \"pause\"}], \"feedback\": [{\"row\", \"cue\"}]}\n"
            << "           per FILE (default: the cues of each recording's place)\n";
}
}  // namespace

long recordingsToPlay(float count)
{
  const double last = static_cast<double>(count) + 1.0;
  if (!(last >= kFirstRecordingArg))
    return 0;
  if (last > static_cast<double>(LONG_MAX / 2))
    return LONG_MAX / 2;
  return static_cast<long>(std::floor(last)) - kFirstRecordingArg + 1;
}

bool recordingsRemain(int currentargv, float count)
{
  return currentargv <= static_cast<double>(count) + 1.0;
}

bool readCommandLine(int argc, char** argv, SessionPlan& plan)
{
  if (argc < 2)
  {
    ROS_ERROR("missing argument 1: the number of recordings");
    printUsage(argv[0]);
    return false;
  }
  plan.count = static_cast<float>(std::atof(argv[1]));
  const long wanted = recordingsToPlay(plan.count);
  const long given = argc - kFirstRecordingArg;
  if (wanted > given)
  {
    ROS_ERROR("count [%s] asks for %ld recordings but %ld file names are given", argv[1], wanted, given);
    printUsage(argv[0]);
    return false;
  }
  if (wanted == 0)
    ROS_WARN(
        "count [%s] plays no recording: the node greets, then idles until shut down "
        "or a motionfinished message",
        argv[1]);
  if (given > wanted)
    ROS_WARN("count [%s]: the last %ld file names are not played", argv[1], given - wanted);
  plan.recordings.assign(argv + kFirstRecordingArg, argv + kFirstRecordingArg + wanted);
  return true;
}

void setRecordingDir(std::string dir)
{
  if (dir.empty())
    return;
  if (dir[dir.size() - 1] != '/')
    dir += '/';
  staticdisplaycommand2 = dir;
}

bool applyRecordingDir()
{
  std::string dir;
  if (!readTextParam("recording_dir", dir))
    return false;
  setRecordingDir(dir);
  return true;
}

bool setFirstRecording(SessionPlan& plan, long k, const std::string& given)
{
  const long count = static_cast<long>(plan.recordings.size());
  if (k < 1 || (k > count && k != 1))  // 1, the default, also for a count that plays none
  {
    ROS_ERROR("parameter ~first_recording must be a recording of the session, 1 to %ld, not %s", count, given.c_str());
    return false;
  }
  plan.first = static_cast<int>(k);
  return true;
}

bool applyFirstRecording(SessionPlan& plan)
{
  long k = plan.first;
  std::string given;
  if (!readWholeParam("first_recording", k, given))
    return false;
  return given.empty() || setFirstRecording(plan, k, given);
}

const CueSchedule* SessionPlan::scheduleFor(int currentargv) const
{
  if (!ownCues)
    return cueScheduleFor(currentargv);
  const int k = currentargv - kFirstRecordingArg;
  return k >= 0 && k < static_cast<int>(cues.size()) ? &cues[k] : nullptr;
}

bool applyOwnCues(SessionPlan& plan)
{
  std::string text;
  if (!readTextParam("cues", text))
    return false;
  if (text.empty())
    return true;
  const std::string fault = sessionCuesFromText(text, plan.recordings.size(), plan.cues);
  if (!fault.empty())
  {
    ROS_ERROR("parameter ~cues must be a JSON list of each recording's cues: %s", fault.c_str());
    return false;
  }
  plan.ownCues = true;
  return true;
}

bool checkRecordings(const SessionPlan& plan)
{
  int unplayable = 0;
  for (std::size_t k = plan.first - 1; k < plan.recordings.size(); ++k)
  {
    const std::string& name = plan.recordings[k];
    std::vector<JointRow> rows;
    const RecordingCheck check = checkRecording(staticdisplaycommand2 + name, &rows);
    for (const RecordingProblem& problem : check.problems)
    {
      if (problem.fatal())
        ROS_ERROR("%s", problem.message.c_str());
      else
        ROS_WARN("%s", problem.message.c_str());
    }
    const int place = static_cast<int>(k) + 1;
    if (!check.playable() || !admitRecording(place, name, check.path, rows, currentSpeed()))
      ++unplayable;
  }
  if (unplayable > 0)
    ROS_ERROR("%d of %zu recordings cannot be played; the session does not start", unplayable,
              plan.recordings.size() - (plan.first - 1));
  return unplayable == 0;
}
}  // namespace nao_kinora
