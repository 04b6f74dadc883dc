#include "nao_kinora/error_line.h"

#include <ros/ros.h>

#include <cstdio>

namespace nao_kinora
{
namespace
{
void printStraight(const char* severity, const std::string& text)
{
  std::fprintf(stderr, "[%s] [%.9f]: %s\n", severity, ros::WallTime::now().toSec(), text.c_str());
  std::fflush(stderr);
}
}  // namespace

void printError(const std::string& text)
{
  if (ros::ok())
    ROS_ERROR("%s", text.c_str());
  else
    printStraight("ERROR", text);
}

void printWarning(const std::string& text)
{
  if (ros::ok())
    ROS_WARN("%s", text.c_str());
  else
    printStraight(" WARN", text);
}
}  // namespace nao_kinora
