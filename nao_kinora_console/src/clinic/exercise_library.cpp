#include "nao_kinora_console/clinic/exercise_library.h"

#include "nao_kinora_console/store/clinic_rules.h"

#include <nao_kinora/command_line.h>
#include <nao_kinora/joint_row.h>
#include <nao_kinora/timeline.h>

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>

namespace nao_kinora_console
{
namespace
{
using nlohmann::json;

bool regularFile(const std::string& path)
{
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

LibraryEntry fromTimeline(const nao_kinora::RecordingTimeline& t)
{
  LibraryEntry e;
  e.name = t.name;
  e.playable = t.check.playable();
  e.rows = t.check.rows;
  e.playingTime = t.check.playingTime;
  for (int joint : t.moving)
    e.movingJoints.push_back(nao_kinora::jointName(joint) ? nao_kinora::jointName(joint) : "?");
  for (const nao_kinora::RecordingProblem& p : t.check.problems)
    e.problems.push_back(p.message);
  return e;
}
}  // namespace

json entryToJson(const LibraryEntry& e)
{
  return {{"name", e.name},
          {"playable", e.playable},
          {"rows", e.rows},
          {"playingTime", e.playingTime},
          {"movingJoints", e.movingJoints},
          {"problems", e.problems}};
}

ExerciseLibrary::ExerciseLibrary(const std::string& folder) : folder_(folder)
{
  if (!folder_.empty() && folder_.back() != '/')
    folder_ += '/';
  nao_kinora::setRecordingDir(folder_);
}

std::vector<LibraryEntry> ExerciseLibrary::list()
{
  std::vector<std::string> names;
  if (DIR* dir = opendir(folder_.c_str()))
  {
    while (const dirent* d = readdir(dir))
      if (d->d_name[0] != '.' && regularFile(folder_ + d->d_name))
        names.push_back(d->d_name);
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<LibraryEntry> entries;
  for (const std::string& name : names)
  {
    Result<LibraryEntry> e = entryLocked(name);
    if (e.ok())
      entries.push_back(e.value);
  }
  return entries;
}

Result<LibraryEntry> ExerciseLibrary::entry(const std::string& name)
{
  std::lock_guard<std::mutex> lock(mutex_);
  return entryLocked(name);
}

Result<LibraryEntry> ExerciseLibrary::entryLocked(const std::string& name)
{
  const std::string fault = checkRecordingName(name);
  if (!fault.empty())
    return Result<LibraryEntry>::fail(fault);
  if (!regularFile(folder_ + name))
    return Result<LibraryEntry>::fail("recording " + name + " is not in the exercise library");
  Result<LibraryEntry> r;
  r.value = fromTimeline(nao_kinora::planRecording(nao_kinora::kFirstRecordingArg, name));
  return r;
}

Result<json> ExerciseLibrary::rows(const std::string& name)
{
  std::lock_guard<std::mutex> lock(mutex_);
  Result<LibraryEntry> known = entryLocked(name);
  if (!known.ok())
    return Result<json>::fail(known.error);
  std::vector<nao_kinora::JointRow> loaded;
  nao_kinora::checkRecording(folder_ + name, &loaded);
  Result<json> r;
  r.value = {{"name", name}, {"joints", json::array()}, {"rows", json::array()}};
  for (int j = 0; j < nao_kinora::kJointCount; ++j)
    r.value["joints"].push_back(nao_kinora::jointName(j));
  for (const nao_kinora::JointRow& row : loaded)
    r.value["rows"].push_back(std::vector<float>(row.begin(), row.end()));
  return r;
}

json ExerciseLibrary::timeline(const std::vector<std::string>& items, int first, double speed)
{
  std::lock_guard<std::mutex> lock(mutex_);
  nao_kinora::SessionPlan plan;
  plan.count = static_cast<float>(items.size());
  plan.recordings = items;
  plan.first = std::max(1, std::min(first, static_cast<int>(items.size())));
  json out = {{"first", plan.first}, {"exercises", json::array()}, {"error", ""}};
  if (items.empty())
  {
    out["length"] = 0.0;
    out["error"] = "The plan has no exercise.";
    return out;
  }
  const nao_kinora::SessionTimeline t = nao_kinora::planSession(plan);
  for (std::size_t k = 0; k < t.recordings.size(); ++k)
  {
    const nao_kinora::RecordingTimeline& r = t.recordings[k];
    // At the plan's speed, as the node paces the rows (the cues keep theirs).
    const double start = t.atSpeed(t.starts[k], speed);
    out["exercises"].push_back({{"position", r.number()},
                                {"name", r.name},
                                {"start", start},
                                {"length", t.atSpeed(t.starts[k] + r.length(), speed) - start},
                                {"rows", r.check.rows},
                                {"cues", r.opening.size() + r.feedback.size()}});
    if (!r.check.playable() && out["error"] == "")
      out["error"] = r.check.problems.empty() ? r.name + " yields no row" : r.check.problems.front().message;
  }
  out["length"] = t.playable() ? t.atSpeed(t.length(), speed) : 0.0;
  out["speed"] = speed;
  return out;
}
}  // namespace nao_kinora_console
