#include "nao_kinora/recording.h"

#include <ros/console.h>

#include <fstream>
#include <locale>
#include <sstream>

std::string staticdisplaycommand2 = "/home/tamsel/Desktop/dataset/jointangles/";

namespace nao_kinora
{
int parseJointValues(const std::string& line, JointRow& row)
{
  std::istringstream iss(line);
  // A global locale with another decimal point must not change what a row is.
  iss.imbue(std::locale::classic());
  int count = 0;
  while (count < kRowColumns && iss >> row[count])
    ++count;
  return count;
}

bool parseJointRow(const std::string& line, JointRow& row)
{
  return parseJointValues(line, row) == kRowColumns;
}

bool readJointRows(std::istream& in, std::vector<JointRow>& rows, std::string& stopLine)
{
  std::string line;
  JointRow temp;
  while (std::getline(in, line))
  {
    if (!parseJointRow(line, temp))
    {
      stopLine = line;
      return true;
    }
    rows.push_back(temp);
  }
  return false;
}
}  // namespace nao_kinora

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
