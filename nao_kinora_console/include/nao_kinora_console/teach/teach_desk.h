// The console's "Add an exercise" actions: the robot's joint states taken in
// from their topic for the exercise teacher, and its requests under
// /api/teach answered (docs/console-teach.md).
#ifndef NAO_KINORA_CONSOLE_TEACH_DESK_H
#define NAO_KINORA_CONSOLE_TEACH_DESK_H

#include "nao_kinora_console/teach/exercise_teacher.h"
#include "nao_kinora_console/http/http_session.h"

#include <ros/ros.h>
#include <sensor_msgs/JointState.h>

#include <functional>
#include <mutex>
#include <string>

namespace nao_kinora_console
{
class TeachDesk
{
public:
  // sessionPlaying tells whether a session is playing on the robot now.
  TeachDesk(const std::string& jointStatesTopic, const std::string& recordingDir, std::function<bool()> sessionPlaying);

  // POST /api/teach/start, stop, save, discard.
  static bool isAction(const std::string& path);
  // GET /api/teach (the view) and /api/teach/draft (the draft's rows).
  static bool isView(const std::string& path);

  // An action with its JSON body; may write a file, so not on the io thread.
  Response act(const std::string& path, const std::string& body);
  Response look(const std::string& path);

private:
  void stateHandle(const sensor_msgs::JointState::ConstPtr& state);

  std::function<bool()> sessionPlaying_;
  std::mutex mutex_;  // the teacher, shared by the ROS thread and the console's
  ExerciseTeacher teacher_;
  ros::NodeHandle nh_;
  ros::Subscriber stateSub_;
};
}  // namespace nao_kinora_console

#endif  // NAO_KINORA_CONSOLE_TEACH_DESK_H
