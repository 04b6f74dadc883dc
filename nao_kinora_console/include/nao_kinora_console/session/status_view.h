// What the page shows of a session status: the phase in words, readable
// exercise titles and joint names, the peers, as one JSON object. The page
// only lays it out, so everything worded here is tested without a browser.
#ifndef NAO_KINORA_CONSOLE_STATUS_VIEW_H
#define NAO_KINORA_CONSOLE_STATUS_VIEW_H

#include <nao_kinora_msgs/SessionStatus.h>

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace nao_kinora_console
{
// Readable words from a recording's file name: the folder, the extension and
// a leading number go, '_' and '-' become blanks ("03_arms_to_the_side.txt"
// -> "Arms to the side", the first letter capitalised as the library writes
// it). A name that is only a number keeps it.
std::string exerciseTitle(const std::string& file);

// A joint column's name in words ("left hip yaw pitch" for 10); "joint N"
// outside the joint table.
std::string jointWords(int index);

// What a spoken cue says, for the therapist ("1feed.wav" -> "Feedback",
// "bitis.wav" -> "Goodbye"); a cue of no known meaning by its name in words.
std::string cueWords(const std::string& file);

// What the console knows besides the status itself.
struct StatusContext
{
  bool haveStatus = false;    // a status has arrived since the console started
  bool coachRunning = false;  // the coaching program publishes its status now
  // The console's own subscription to the joint rows is connected, so one of
  // the status' joint row subscribers is the console, not the motion executor.
  bool consoleOnJointRows = false;
  // ROS seconds since the status was stamped (a wait goes on between statuses).
  double age = 0.0;
};

// The phase in words, e.g. "Exercise 3 of 9: arms to the side — 45 %",
// "Waiting for person tracking — 12 s", "Paused", "Session over".
std::string phaseWords(const nao_kinora_msgs::SessionStatus& status, const StatusContext& context);

// The whole view of the page (see www/console.js for its use).
nlohmann::json statusView(const nao_kinora_msgs::SessionStatus& status, const StatusContext& context);
}  // namespace nao_kinora_console

#endif  // NAO_KINORA_CONSOLE_STATUS_VIEW_H
