#include "nao_kinora/loader.h"

#include "nao_kinora/recording.h"
#include "nao_kinora/run_flags.h"

#include <ros/console.h>

#include <fstream>

void loadRecording(const std::string& argstring)
{
  play_joints.clear();
  const std::string filename = staticdisplaycommand2 + argstring;
  std::ifstream jointAngs(filename.c_str());
  if (!jointAngs.is_open())
  {
    ROS_ERROR("cannot open recording [%s]: nothing to play", filename.c_str());
    return;
  }
  std::string stopLine;
  nao_kinora::readJointRows(jointAngs, play_joints, stopLine);
  if (play_joints.empty())
  {
    ROS_ERROR("recording [%s] holds no joint row (empty, or line 1 is not 23 numbers): nothing to play",
              filename.c_str());
    return;
  }
  play_joints[0][nao_kinora::kDurationColumn] = nao_kinora::kFirstRowDuration;
}
