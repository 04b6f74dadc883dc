// Starts the coaching program (the node) for a plan, detached from the
// console: it runs in a session and process group of its own, so the console
// or the browser dying leaves it playing. A small keeper process between the
// two waits for the node and writes its exit status to a file: any console,
// this one or one started later, learns from that file how the node ended
// (polling the node's pid could not tell an exit 1 from a kill, and a later
// console is not the node's parent).
#ifndef NAO_KINORA_CONSOLE_SESSION_LAUNCHER_H
#define NAO_KINORA_CONSOLE_SESSION_LAUNCHER_H

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace nao_kinora_console
{
struct LaunchPlan
{
  std::vector<std::string> items;  // recording file names, in playing order
  std::string recordingDir;
  std::string sessionLog;
  int first = 1;       // _first_recording, given when above 1
  double speed = 1.0;  // _speed, given when not 1.0
  std::string cues{};  // _cues: each item's own cues as JSON; "": by their places
  bool mirror = true;  // the person tracker's side matching (set by the hook before launch, not on the command line)
};

// The node's command line: program COUNT FILE... _recording_dir:=DIR
// _session_log:=FILE _joint_limits:=true _first_recording:=K _speed:=S _cues:=CUES.
std::vector<std::string> nodeCommandLine(const std::string& program, const LaunchPlan& plan);

// The node's program as rosrun finds it: lib/nao_kinora/nao_kinora under
// the first folder of CMAKE_PREFIX_PATH that has it; "" when none does.
std::string defaultNodeProgram();

// The folder of the session logs beside the database file (<its folder>/
// sessions), made 0700 when missing; "" and why when it cannot be.
std::string sessionFolderFor(const std::string& database, std::string& error);

// The name a session's own files go by (KEY.exit, KEY.pid, KEY.err beside
// its log): its log's file name without ".jsonl". A log is named when the
// session starts, by the patient and the start's wall time in milliseconds,
// so no other session, not even one with an id used before, has the same.
std::string sessionFileKey(const std::string& logPath);

// How a launched node ended, from its keeper's file.
struct NodeExit
{
  bool known = false;  // false: still running, or no keeper wrote the file
  int code = -1;       // exit status; -1 when a signal ended it
  int signal = 0;
};

class SessionLauncher
{
public:
  // folder: where the keeper writes KEY.pid and KEY.exit and the node's
  // standard error goes (KEY.err), KEY being the session's sessionFileKey.
  // coachRunning: whether a node publishes its status now.
  SessionLauncher(const std::string& program, const std::string& folder, std::function<bool()> coachRunning);

  // Called before each launch with its plan, to set up what the session's
  // peers read as it starts (the person tracker's side matching); what it
  // returns, when not "", refuses the launch. Set before the first launch.
  using BeforeLaunch = std::function<std::string(const LaunchPlan&)>;
  void beforeLaunch(BeforeLaunch hook) { beforeLaunch_ = std::move(hook); }

  // Whether a session may not start now: a node publishes its status, or a
  // node this console launched has not ended yet.
  bool busy();
  // Starts the node for the session of this key, detached. "" or why it could not.
  std::string launch(const std::string& key, const LaunchPlan& plan);
  NodeExit exitOf(const std::string& key) const;
  // The node's standard error, line by line, as it wrote it.
  std::vector<std::string> errorLines(const std::string& key) const;
  // Reaps keepers that are done (they are this console's children).
  void reap();
  bool launchedHere(const std::string& key) const;
  // The node's process id, as its keeper wrote it; 0 when unknown.
  pid_t nodePid(const std::string& key) const;
  // Removes the session's files (exit, pid, error): its record is gone.
  void removeFiles(const std::string& key);
  // Stops every node started from this folder that has not ended, answering
  // or not: its process group asked to end, then killed after grace seconds.
  // The keys of the sessions whose node was stopped.
  std::vector<std::string> stopRunning(double graceSeconds = 2.0);
  const std::string& folder() const { return folder_; }

private:
  std::string file(const std::string& key, const char* extension) const;

  std::string program_;
  std::string folder_;
  std::function<bool()> coachRunning_;
  BeforeLaunch beforeLaunch_;
  mutable std::mutex mutex_;
  std::map<std::string, pid_t> keepers_;  // session key -> keeper pid, until reaped
};
}  // namespace nao_kinora_console

#endif  // NAO_KINORA_CONSOLE_SESSION_LAUNCHER_H
