// nao_kinora_check: the timeline of a session, worked out without running it.
//
//   nao_kinora_check [--plot DIR] COUNT FILE... [_recording_dir:=DIR] [_first_recording:=K]
//                    [_speed:=S] [_joint_limits:=true]
//
// Takes the node's own command line, reads every recording the node would play
// and prints, in ROS seconds from the node's start: the greeting, per recording
// its rows and playing time, the opening cues with their pauses, the rows and
// feedback cues, the feedback rows that fall past the recording's end, the
// recording check's warnings and the joints that the report will name; then the
// closing cue and the length of the session. The waits for the tracking node
// between recordings are not included: only that node knows them. With
// _first_recording:=K, as the node takes it, the session starts at recording K
// after the greeting, with the cues of K's place. With _speed:=S every time is
// at that speed, as the node would play it.
//
// Every recording's rows are checked against the robot's joint limits at
// that speed, whatever _joint_limits says: each fault is listed, with the
// highest speed the recording allows. With _joint_limits:=true, as the node
// then does, a fault refuses the session.
//
// --plot DIR writes one PNG per recording into DIR: the 22 joint curves over
// time, the moving joints highlighted, the feedback cues marked.
//
// Needs no ROS master. Exit status: 1 when the node would refuse to start (a
// bad command line or speed, a recording with no row, or one that breaks the
// joint limits with _joint_limits:=true), 2 when a plot cannot be written,
// otherwise 0.
#include "check_plot.h"
#include "check_text.h"

#include "nao_kinora/command_line.h"
#include "nao_kinora/session_speed.h"
#include "nao_kinora/timeline.h"

#include <ros/init.h>

#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

using namespace nao_kinora;

namespace
{
const char* const kPlotOption = "--plot";
const std::string kRecordingDirArg = "_recording_dir:=";
const std::string kFirstRecordingArg = "_first_recording:=";
const std::string kSpeedArg = "_speed:=";
const std::string kJointLimitsArg = "_joint_limits:=";
const int kRefuseStatus = 1;
const int kPlotFailedStatus = 2;

bool startsWith(const std::string& text, const std::string& prefix)
{
  return text.compare(0, prefix.size(), prefix) == 0;
}

// As the node reads ~first_recording: a whole number, in the plan's range.
bool applyFirstRecording(const std::string& given, SessionPlan& plan)
{
  errno = 0;
  char* end = nullptr;
  const long k = std::strtol(given.c_str(), &end, 10);
  if (given.empty() || *end != '\0' || errno == ERANGE)
  {
    std::cerr << "parameter ~first_recording must be a whole number, not " << given << '\n';
    return false;
  }
  return setFirstRecording(plan, k, "the number " + given);
}

// As the node reads ~speed: a number from the slowest to the fastest speed.
bool readSpeed(const std::string& given, double& speed)
{
  char* end = nullptr;
  speed = std::strtod(given.c_str(), &end);
  if (given.empty() || *end != '\0')
  {
    std::cerr << "parameter ~speed must be a number, not " << given << '\n';
    return false;
  }
  if (!speedInRange(speed))
  {
    std::cerr << "parameter ~speed must be from " << kSlowestSpeed << " (slowest) to " << kFastestSpeed
              << " (fastest), not " << given << '\n';
    return false;
  }
  return true;
}

// As roscpp reads a truth value given on the command line.
bool readTruth(const std::string& given, bool& value)
{
  if (given == "true" || given == "True" || given == "TRUE")
  {
    value = true;
    return true;
  }
  if (given == "false" || given == "False" || given == "FALSE")
  {
    value = false;
    return true;
  }
  std::cerr << "parameter ~joint_limits must be true or false, not " << given << '\n';
  return false;
}

struct Options
{
  std::string plotDir;
  double speed = kNormalSpeed;
  bool jointLimits = false;
};

// Reads the tool's own options into plotDir, and the node's command line, as
// ros::init would leave it, into plan. Of the name:=value arguments only the
// recording directory and the first recording matter here; they are read from
// the command line, so no master is needed. False, with the problem on
// standard error, on a command line the node would refuse.
bool readArguments(int argc, char** argv, Options& options, SessionPlan& plan)
{
  std::string firstRecording;
  bool optionsRead = true;
  std::vector<const char*> rest = {argv[0]};
  for (int k = 1; k < argc; ++k)
  {
    const std::string arg = argv[k];
    if (arg == kPlotOption)
    {
      if (k + 1 == argc)
      {
        std::cerr << kPlotOption << " needs a folder\n";
        return false;
      }
      options.plotDir = argv[++k];
      continue;
    }
    if (startsWith(arg, kRecordingDirArg))
      setRecordingDir(arg.substr(kRecordingDirArg.size()));
    if (startsWith(arg, kFirstRecordingArg))
      firstRecording = arg.substr(kFirstRecordingArg.size());
    if (startsWith(arg, kSpeedArg))
      optionsRead = readSpeed(arg.substr(kSpeedArg.size()), options.speed) && optionsRead;
    if (startsWith(arg, kJointLimitsArg))
      optionsRead = readTruth(arg.substr(kJointLimitsArg.size()), options.jointLimits) && optionsRead;
    rest.push_back(argv[k]);
  }
  std::vector<std::string> nodeArgs;
  ros::removeROSArgs(static_cast<int>(rest.size()), rest.data(), nodeArgs);
  std::vector<char*> nodeArgv;
  for (std::string& arg : nodeArgs)
    nodeArgv.push_back(&arg[0]);
  if (!optionsRead || !readCommandLine(static_cast<int>(nodeArgv.size()), nodeArgv.data(), plan))
    return false;
  return firstRecording.empty() || applyFirstRecording(firstRecording, plan);
}
}  // namespace

int main(int argc, char** argv)
{
  Options options;
  SessionPlan plan;
  if (!readArguments(argc, argv, options, plan))
  {
    std::cerr << "  " << kPlotOption << " DIR  also write one plot of the joint curves per recording into DIR\n";
    return kRefuseStatus;
  }

  const SessionTimeline session = planSession(plan);
  printSession(session, options.speed);
  const bool playable = reportRefusal(session, options.speed, options.jointLimits);
  std::cout.flush();
  if (!options.plotDir.empty() && !writePlots(options.plotDir, session, options.speed))
    return kPlotFailedStatus;
  return playable ? 0 : kRefuseStatus;
}
