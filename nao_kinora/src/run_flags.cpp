#include "nao_kinora/run_flags.h"

#include "nao_kinora/command_line.h"
#include "nao_kinora/session_log.h"

#include <iostream>

using nao_kinora::kJointCount;
using nao_kinora::logEvent;

float numberofFiles = 0;
std::vector<nao_kinora::JointRow> play_joints;
float meanseq[kJointCount] = {0};
float varseq[kJointCount] = {0};
std::vector<int> feedbacks;
int systemstate = nao_kinora::kPlaying;
int tempcounter = -1;
int currentargv = nao_kinora::kFirstRecordingArg;
int firsttime = 0;
int trackingfinished = 0;

namespace
{
// c_str() stops at the first NUL byte, which is how far the text is written.
void writeTextLine(const char* prefix, const std::string& text)
{
  std::cout << prefix << text.c_str() << std::endl;
}

void writeValueLine(const char* prefix, int value)
{
  std::cout << prefix << value << std::endl;
}
}  // namespace

void speechtotextHandle(const std_msgs::String::ConstPtr& msg)
{
  writeTextLine("I heard speech ", msg->data);
}

void textsentHandle(const std_msgs::String::ConstPtr& msg)
{
  writeTextLine("I sent text yuppi ", msg->data);
}

void trackingfinishedHandle(const std_msgs::Int32::ConstPtr& msg)
{
  writeValueLine("Trackingfinished", msg->data);
  trackingfinished = 1;
  logEvent("trackingfinished", {{"value", msg->data}});
}

void motionFinishedHandle(const std_msgs::Int32::ConstPtr& msg)
{
  writeValueLine("Motionfinished", msg->data);
  // Only a motion in progress can end: a recording loaded and set up
  // (firsttime 1), or the idle run of a count that plays none. A late
  // "motionfinished" (the executor finishing its last rows after we moved on)
  // must not rerun the report and skip the next recording, also not in the
  // pass that leaves the wait for tracking or the one that skips a recording.
  const bool idleRun = nao_kinora::recordingsToPlay(numberofFiles) == 0;
  if (systemstate != nao_kinora::kPlaying || (firsttime == 0 && !idleRun))
    return;
  systemstate = nao_kinora::kMotionOver;
  logEvent("early end", {{"value", msg->data}, {"last row sent", tempcounter}});
}
