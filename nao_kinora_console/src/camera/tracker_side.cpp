#include "nao_kinora_console/camera/tracker_side.h"

#include <ros/master.h>
#include <ros/names.h>
#include <ros/param.h>

namespace nao_kinora_console
{
namespace
{
std::string besideCoach(const std::string& coach, const std::string& name)
{
  const std::string parent = ros::names::parentNamespace(coach);
  return (parent == "/" ? "" : parent) + "/" + name;
}
}  // namespace

std::string trackerMirrorParam(const std::string& coach)
{
  return besideCoach(coach, "nao_kinora_tracker/mirror");
}

std::string personPoseTopic(const std::string& coach)
{
  return besideCoach(coach, "person_pose");
}

std::string setTrackerMirror(const std::string& coach, bool mirror)
{
  // Without a master nothing of the session could run; setting the
  // parameter would wait for one.
  if (!ros::master::check())
    return "The robot's control system cannot be reached, so the plan's side matching for watching the patient "
           "cannot be set: nothing was started.";
  ros::param::set(trackerMirrorParam(coach), mirror);
  return "";
}
}  // namespace nao_kinora_console
