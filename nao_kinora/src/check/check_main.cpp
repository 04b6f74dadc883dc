// nao_kinora_check: the timeline of a session, worked out without running it.
//
//   nao_kinora_check [--plot DIR] COUNT FILE... [_recording_dir:=DIR]
//
// Takes the node's own command line, reads every recording the node would play
// and prints, in ROS seconds from the node's start: the greeting, per recording
// its rows and playing time, the opening cues with their pauses, the rows and
// feedback cues, the feedback rows that fall past the recording's end, the
// recording check's warnings and the joints that the report will name; then the
// closing cue and the length of the session. The waits for the tracking node
// between recordings are not included: only that node knows them.
//
// --plot DIR writes one PNG per recording into DIR: the 22 joint curves over
// time, the moving joints highlighted, the feedback cues marked.
//
// Needs no ROS master. Exit status: 1 when the node would refuse to start (a
// bad command line, a recording with no row), 2 when a plot cannot be written,
// otherwise 0.
#include "check_plot.h"
#include "check_text.h"

#include "nao_kinora/command_line.h"
#include "nao_kinora/timeline.h"

#include <ros/init.h>

#include <iostream>
#include <string>
#include <vector>

using namespace nao_kinora;

namespace
{
const char* const kPlotOption = "--plot";
const std::string kRecordingDirArg = "_recording_dir:=";
const int kRefuseStatus = 1;
const int kPlotFailedStatus = 2;

// Reads the tool's own options into plotDir, and the node's command line, as
// ros::init would leave it, into plan. Of the name:=value arguments only the
// recording directory matters here; it is read from the command line, so no
// master is needed. False, with the problem on standard error, on a command
// line the node would refuse.
bool readArguments(int argc, char** argv, std::string& plotDir, SessionPlan& plan)
{
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
      plotDir = argv[++k];
      continue;
    }
    if (arg.compare(0, kRecordingDirArg.size(), kRecordingDirArg) == 0)
      setRecordingDir(arg.substr(kRecordingDirArg.size()));
    rest.push_back(argv[k]);
  }
  std::vector<std::string> nodeArgs;
  ros::removeROSArgs(static_cast<int>(rest.size()), rest.data(), nodeArgs);
  std::vector<char*> nodeArgv;
  for (std::string& arg : nodeArgs)
    nodeArgv.push_back(&arg[0]);
  return readCommandLine(static_cast<int>(nodeArgv.size()), nodeArgv.data(), plan);
}
}  // namespace

int main(int argc, char** argv)
{
  std::string plotDir;
  SessionPlan plan;
  if (!readArguments(argc, argv, plotDir, plan))
  {
    std::cerr << "  " << kPlotOption << " DIR  also write one plot of the joint curves per recording into DIR\n";
    return kRefuseStatus;
  }

  const SessionTimeline session = planSession(plan);
  printSession(session);
  const bool playable = reportRefusal(session);
  std::cout.flush();
  if (!plotDir.empty() && !writePlots(plotDir, session))
    return kPlotFailedStatus;
  return playable ? 0 : kRefuseStatus;
}
