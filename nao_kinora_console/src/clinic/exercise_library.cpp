#include "nao_kinora_console/clinic/exercise_library.h"

#include "nao_kinora_console/session/status_view.h"
#include "nao_kinora_console/records/clinic_rules.h"

#include <nao_kinora/command_line.h>
#include <nao_kinora/joint_row.h>
#include <nao_kinora/recording.h>
#include <nao_kinora/recording_check.h>
#include <nao_kinora/timeline.h>

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>

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
  {
    e.movingJoints.push_back(nao_kinora::jointName(joint) ? nao_kinora::jointName(joint) : "?");
    e.movingWords.push_back(jointWords(joint));
  }
  for (const nao_kinora::RecordingProblem& p : t.check.problems)
  {
    e.problems.push_back(p.message);
    e.problemWords.push_back(problemWords(p));
  }
  return e;
}
}  // namespace

std::string problemWords(const nao_kinora::RecordingProblem& problem)
{
  const std::string line = std::to_string(problem.line);
  switch (problem.kind)
  {
    case nao_kinora::RecordingProblem::kCannotOpen:
      return "The file cannot be opened.";
    case nao_kinora::RecordingProblem::kNoRow:
      return problem.line > 0 ? "Not an exercise: line " + line + " is not a row of joint angles."
                              : "Not an exercise: the file is empty.";
    case nao_kinora::RecordingProblem::kStopsEarly:
      return "Only the first " + std::to_string(std::max(0, problem.line - 1)) + " rows play: line " + line +
             " is not a row of joint angles, and nothing after it is played.";
    case nao_kinora::RecordingProblem::kOddDuration:
      return "Line " + line + " holds its pose for an odd time (below zero, not a number, or over an hour).";
  }
  return "Line " + line + " has a problem.";
}

json entryToJson(const LibraryEntry& e)
{
  const double safe = e.limits.bound.speed;
  return {{"name", e.name},
          {"playable", e.playable},
          {"rows", e.rows},
          {"playingTime", e.playingTime},
          {"movingJoints", e.movingJoints},
          {"movingWords", e.movingWords},
          {"problems", e.problems},
          {"problemWords", e.problemWords},
          // null when nothing moves: any speed.
          {"safeSpeed", std::isfinite(safe) ? json(safe) : json()},
          {"limits", e.limits.words.empty() ? json() : json{{"words", e.limits.words}, {"detail", e.limits.detail}}}};
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
  std::vector<nao_kinora::JointRow> rows;
  nao_kinora::checkRecording(folder_ + name, &rows);
  r.value.limits = limitMarks(rows);
  r.value.playable = r.value.playable && r.value.limits.playable;
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
  r.value = {{"name", name},
             {"joints", json::array()},
             {"rows", json::array()},
             {"firstRowSeconds", nao_kinora::kFirstRowDuration}};
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
      out["error"] =
          r.name + ": " + (r.check.problems.empty() ? "Not an exercise." : problemWords(r.check.problems.front()));
  }
  out["length"] = t.playable() ? t.atSpeed(t.length(), speed) : 0.0;
  out["speed"] = speed;
  return out;
}
}  // namespace nao_kinora_console
