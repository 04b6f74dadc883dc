// The person tracker's side matching, set from the plan before each session:
// the tracker reads its ~mirror at every start signal.
#ifndef NAO_KINORA_CONSOLE_TRACKER_SIDE_H
#define NAO_KINORA_CONSOLE_TRACKER_SIDE_H

#include <string>

namespace nao_kinora_console
{
// The tracker's parameter beside the coaching node coach:
// "/nao_kinora_tracker/mirror" for "/nao_kinora", "/room2/nao_kinora_tracker/mirror" for "/room2/nao_kinora".
std::string trackerMirrorParam(const std::string& coach);

// Sets it on the master; "" or why it cannot be (no master), in words for
// the page: a session whose sides could not be set is not started.
std::string setTrackerMirror(const std::string& coach, bool mirror);

// The person's pose topic, beside the coaching node: "/person_pose" for "/nao_kinora".
std::string personPoseTopic(const std::string& coach);
}  // namespace nao_kinora_console

#endif  // NAO_KINORA_CONSOLE_TRACKER_SIDE_H
