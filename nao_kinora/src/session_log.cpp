#include "nao_kinora/session_log.h"

#include "nao_kinora/parameters.h"

#include <ros/ros.h>

#include <fstream>
#include <mutex>

namespace nao_kinora
{
namespace
{
std::ofstream logFile;
std::mutex logMutex;  // the operator's services log from their own thread
}  // namespace

bool openSessionLog()
{
  std::string path;
  if (!readTextParam("session_log", path))
    return false;
  if (path.empty())
    return true;
  logFile.open(path.c_str(), std::ios::out | std::ios::app);
  if (!logFile)
  {
    ROS_ERROR("cannot open session log [%s] for appending", path.c_str());
    return false;
  }
  return true;
}

bool sessionLogOpen()
{
  return logFile.is_open();
}

void logEvent(const std::string& event, const nlohmann::ordered_json& fields)
{
  if (!logFile.is_open())
    return;
  nlohmann::ordered_json line = {{"time", ros::Time::now().toSec()}, {"event", event}};
  line.update(fields);
  std::lock_guard<std::mutex> lock(logMutex);
  // Replace invalid UTF-8 (say, in a file name) rather than throw.
  logFile << line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << std::endl;
}
}  // namespace nao_kinora
