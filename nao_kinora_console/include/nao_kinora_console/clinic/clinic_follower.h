// Follows the sessions that run: about once a second (and at once when
// started, so a console started mid-session attaches to it) it reads each
// running session's log into the store, notices how its node ended, and
// tells the pages what changed. A session over whose node still runs (its
// closing cue's pause) is read on until the node ends: the person tracker's
// result for the last exercise comes then.
#ifndef NAO_KINORA_CONSOLE_CLINIC_FOLLOWER_H
#define NAO_KINORA_CONSOLE_CLINIC_FOLLOWER_H

#include "nao_kinora_console/clinic/clinic_api.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace nao_kinora_console
{
class ClinicFollower
{
public:
  // A running session with no node anywhere (no exit file, no status, not
  // launched here) for this many rounds is closed as interrupted: its node
  // died with the machine, or was started by hand.
  static const int kOrphanRounds = 10;

  ClinicFollower(ClinicStore& store, SessionLauncher& launcher, ClinicApi& api, std::function<bool()> coachRunning,
                 std::function<void(const std::string&)> changed);
  ~ClinicFollower();

  // Runs round() now and then about once a second, on a thread of its own.
  void start();
  // One pass over the running sessions. A pass that fails (the database
  // lost) stores nothing and leaves each log's offset where it was, so the
  // first pass after the database is back stores what was missed, once.
  void round();
  // Why the last pass failed; "" once a pass has gone through. While it is
  // set, the records are not being saved.
  std::string lastError() const;
  // The session running in this room as the last pass that could read the
  // records found it; 0 when none. From memory: never waits.
  int64_t runningHere() const;

private:
  // "" or why the session could not be stored.
  std::string follow(int64_t id);
  // A session over, read on while its node has not ended; then closed.
  std::string drain(int64_t id);

  ClinicStore& store_;
  SessionLauncher& launcher_;
  ClinicApi& api_;
  std::function<bool()> coachRunning_;
  std::function<void(const std::string&)> changed_;
  std::map<int64_t, std::string> seen_;  // what the pages were last told of each session
  std::map<int64_t, int> orphan_;
  std::map<int64_t, int> draining_;  // sessions over whose node runs, and the rounds since
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::string error_;
  int64_t running_ = 0;
  std::chrono::steady_clock::time_point nextSeen_;  // when to say again that this room is alive
  std::thread thread_;
};
}  // namespace nao_kinora_console

#endif  // NAO_KINORA_CONSOLE_CLINIC_FOLLOWER_H
