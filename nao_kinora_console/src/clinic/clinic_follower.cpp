#include "nao_kinora_console/clinic/clinic_follower.h"
#include "nao_kinora_console/http/json_text.h"

#include <chrono>
#include <vector>

namespace nao_kinora_console
{
ClinicFollower::ClinicFollower(ClinicStore& store, SessionLauncher& launcher, ClinicApi& api,
                               std::function<bool()> coachRunning, std::function<void(const std::string&)> changed)
    : store_(store),
      launcher_(launcher),
      api_(api),
      coachRunning_(std::move(coachRunning)),
      changed_(std::move(changed))
{
}

ClinicFollower::~ClinicFollower()
{
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable())
    thread_.join();
}

void ClinicFollower::start()
{
  thread_ = std::thread(
      [this]
      {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!stop_)
        {
          lock.unlock();
          round();
          lock.lock();
          wake_.wait_for(lock, std::chrono::seconds(1), [this] { return stop_; });
        }
      });
}

std::string ClinicFollower::lastError() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return error_;
}

int64_t ClinicFollower::runningHere() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return running_;
}

void ClinicFollower::round()
{
  launcher_.reap();
  const auto now = std::chrono::steady_clock::now();
  if (now >= nextSeen_ && store_.roomSeen().ok())
    nextSeen_ = now + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                          std::chrono::duration<double>(kRoomSeenEvery));
  const Result<std::vector<int64_t>> running = store_.runningSessions();
  if (!running.ok())
  {
    std::lock_guard<std::mutex> lock(mutex_);
    error_ = running.error;
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = running.value.empty() ? 0 : running.value.front();
  }
  std::string failed;
  for (int64_t id : running.value)
  {
    const std::string error = follow(id);
    if (failed.empty())
      failed = error;
  }
  std::vector<int64_t> draining;
  for (const auto& d : draining_)
    draining.push_back(d.first);
  for (int64_t id : draining)
  {
    const std::string error = drain(id);
    if (failed.empty())
      failed = error;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  error_ = failed;
}

// The exit file is looked at before the log is read: a node that has ended
// has written all of its log, so that read is the last one needed.
std::string ClinicFollower::follow(int64_t id)
{
  const Result<std::string> log = store_.sessionLog(id);
  const std::string key = sessionFileKey(log.value);
  const NodeExit exit = log.ok() ? launcher_.exitOf(key) : NodeExit();
  Result<SessionSummary> s = store_.ingestLog(id);
  std::string error = s.error;
  if (s.ok() && s.value.outcome == "running")
  {
    int& orphan = orphan_[id];
    const bool nodeSomewhere = launcher_.launchedHere(key) || (coachRunning_ && coachRunning_());
    orphan = exit.known || nodeSomewhere ? 0 : orphan + 1;
    if (exit.known && exit.code == 1 && s.value.exercisesRecorded == 0)
    {
      // It refused to start: nothing was played, so nothing is kept but its words.
      error = store_.discardSession(id).error;
      api_.launchRefused(s.value.patientId, launcher_.errorLines(key));
      launcher_.removeFiles(key);
      seen_.erase(id);
      if (changed_)
        changed_("/sessions/" + std::to_string(id));
      return error;
    }
    if (exit.known || orphan >= kOrphanRounds)
    {
      error = store_.closeSession(id).error;
      s = store_.session(id);
    }
  }
  if (!s.ok())
    return error;
  const std::string now = jsonText(sessionToJson(s.value));
  if (seen_[id] != now)
  {
    seen_[id] = now;
    if (changed_)
      changed_("/sessions/" + std::to_string(id));
  }
  if (s.value.outcome != "running")
  {
    seen_.erase(id);
    orphan_.erase(id);
    // Over by its log while its node says its closing cue: read on.
    if (launcher_.launchedHere(key) && !exit.known)
      draining_[id] = 0;
    else if (error.empty())
      error = store_.closeSession(id).error;
  }
  return error;
}

std::string ClinicFollower::drain(int64_t id)
{
  const Result<std::string> log = store_.sessionLog(id);
  if (!log.ok())
  {
    // Deleted with its patient meanwhile: nothing left to read.
    if (log.fault == Fault::kNotFound)
      draining_.erase(id);
    return log.fault == Fault::kNotFound ? "" : log.error;
  }
  const std::string key = sessionFileKey(log.value);
  const NodeExit exit = launcher_.exitOf(key);
  // The node's pause after its closing cue is 5 s of its clock: one that
  // has not ended after as many rounds as an orphan gets is not waited for.
  const bool done = exit.known || !launcher_.launchedHere(key) || ++draining_[id] >= kOrphanRounds;
  const std::string error = done ? store_.closeSession(id).error : store_.ingestLog(id).error;
  if (done && error.empty())
  {
    draining_.erase(id);
    if (changed_)
      changed_("/sessions/" + std::to_string(id));
  }
  return error;
}
}  // namespace nao_kinora_console
