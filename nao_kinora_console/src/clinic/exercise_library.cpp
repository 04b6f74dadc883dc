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
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <set>
#include <sstream>

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

bool endsWith(const std::string& text, const std::string& end)
{
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

LibraryEntry fromTimeline(const nao_kinora::RecordingTimeline& t)
{
  LibraryEntry e;
  e.name = t.name;
  e.title = exerciseTitle(t.name);
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

std::string introductionWords(const std::vector<nao_kinora::OpeningCue>& cues)
{
  std::string words;
  for (const nao_kinora::OpeningCue& cue : cues)
    words += (words.empty() ? "" : ", then ") + cueWords(cue.file);
  return words.empty() ? "None" : words;
}

std::string cueFileOf(const std::string& recording)
{
  return recording + kCueFileExtension;
}

bool isCueFile(const std::string& name)
{
  return endsWith(name, kCueFileExtension);
}

json exerciseTime(double movement, double introduction)
{
  return {{"movement", movement}, {"introduction", introduction}};
}

json introductionToJson(const std::vector<nao_kinora::OpeningCue>& cues)
{
  json list = json::array();
  for (const nao_kinora::OpeningCue& cue : cues)
    list.push_back({{"cue", cue.file}, {"pause", cue.pauseSeconds}, {"words", cueWords(cue.file)}});
  return list;
}

json entryToJson(const LibraryEntry& e)
{
  const double safe = e.limits.bound.speed;
  return {{"name", e.name},
          {"title", e.title},
          {"time", exerciseTime(e.playingTime, e.cues.openingSeconds())},
          {"introduction", introductionToJson(e.cues.opening)},
          {"introductionWords", introductionWords(e.cues.opening)},
          {"feedbackCues", e.cues.feedbackRows.size()},
          {"cueFile", e.cueFile ? cueFileOf(e.name) : ""},
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
      if (d->d_name[0] != '.' && !isCueFile(d->d_name) && regularFile(folder_ + d->d_name))
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
  if (isCueFile(name) || !regularFile(folder_ + name))
    return Result<LibraryEntry>::fail("recording " + name + " is not in the exercise library");
  bool present = false;
  const Result<nao_kinora::CueSchedule> cues = cuesLocked(name, present);
  Result<LibraryEntry> r;
  r.value = fromTimeline(nao_kinora::planRecording(nao_kinora::kFirstRecordingArg, name, &cues.value));
  r.value.cues = cues.value;
  r.value.cueFile = present;
  std::vector<nao_kinora::JointRow> rows;
  nao_kinora::checkRecording(folder_ + name, &rows);
  r.value.limits = limitMarks(rows);
  r.value.playable = r.value.playable && r.value.limits.playable && cues.ok();
  if (!cues.ok())
  {
    // A session would say what the file does not hold: not played at all.
    r.value.problems.push_back(cues.error);
    r.value.problemWords.push_back("Its spoken cues cannot be read (" + cues.error + ").");
  }
  return r;
}

Result<nao_kinora::CueSchedule> ExerciseLibrary::cuesLocked(const std::string& name, bool& present)
{
  using Cues = Result<nao_kinora::CueSchedule>;
  const std::string path = folder_ + cueFileOf(name);
  present = regularFile(path);
  if (!present)
    return Cues();
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  const json given = json::parse(text.str(), nullptr, false);
  Cues r;
  const std::string fault = in ? nao_kinora::cuesFromJson(given, r.value) : "cannot be read";
  if (!fault.empty())
    return Cues::fail(cueFileOf(name) + ": " + (given.is_discarded() ? "not JSON" : fault), Fault::kRule);
  return r;
}

std::string ExerciseLibrary::sessionCues(const std::vector<std::string>& items)
{
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<nao_kinora::CueSchedule> cues;
  for (const std::string& item : items)
  {
    bool present = false;
    cues.push_back(cuesLocked(item, present).value);
  }
  return nao_kinora::sessionCuesToText(cues);
}

std::vector<Introduction> ExerciseLibrary::introductions()
{
  std::vector<Introduction> found;
  std::set<std::string> seen;
  for (const LibraryEntry& e : list())
  {
    const std::string key = introductionToJson(e.cues.opening).dump();
    if (!e.cues.opening.empty() && seen.insert(key).second)
      found.push_back({e.cues.opening, introductionWords(e.cues.opening)});
  }
  std::sort(found.begin(), found.end(), [](const Introduction& a, const Introduction& b) { return a.words < b.words; });
  return found;
}

Status ExerciseLibrary::setIntroduction(const std::string& name, const std::vector<nao_kinora::OpeningCue>& cues)
{
  std::lock_guard<std::mutex> lock(mutex_);
  const Result<LibraryEntry> known = entryLocked(name);
  if (!known.ok())
    return Status::fail(known.error, Fault::kNotFound);
  nao_kinora::CueSchedule kept = known.value.cues;
  kept.opening = cues;
  // Checked as the node will check it.
  nao_kinora::CueSchedule checked;
  const std::string fault = nao_kinora::cuesFromJson(nao_kinora::cuesToJson(kept), checked);
  if (!fault.empty())
    return Status::fail("introduction: " + fault, Fault::kRule);
  // Whole or not at all: a new file renamed over the old one.
  const std::string path = folder_ + cueFileOf(name);
  const std::string tmp = path + ".new";
  {
    std::ofstream out(tmp, std::ios::trunc);
    out << nao_kinora::cuesToJson(kept).dump(2) << "\n";
    out.flush();
    if (!out)
    {
      unlink(tmp.c_str());
      return Status::fail("the cue file of " + name + " cannot be written", Fault::kDatabase);
    }
  }
  if (rename(tmp.c_str(), path.c_str()) != 0)
  {
    unlink(tmp.c_str());
    return Status::fail("the cue file of " + name + " cannot be written", Fault::kDatabase);
  }
  return done();
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
  // Each exercise says its own cues, as the console starts it.
  plan.ownCues = true;
  for (const std::string& item : items)
  {
    bool present = false;
    plan.cues.push_back(cuesLocked(item, present).value);
  }
  const nao_kinora::SessionTimeline t = nao_kinora::planSession(plan);
  for (std::size_t k = 0; k < t.recordings.size(); ++k)
  {
    const nao_kinora::RecordingTimeline& r = t.recordings[k];
    // At the plan's speed, as the node paces the rows (the cues keep theirs).
    const double start = t.atSpeed(t.starts[k], speed);
    const double length = t.atSpeed(t.starts[k] + r.length(), speed) - start;
    const double introduction = r.opening.empty() || !r.check.playable() ? 0.0 : r.rowTimes.front();
    out["exercises"].push_back({{"position", r.number()},
                                {"name", r.name},
                                {"title", exerciseTitle(r.name)},
                                {"start", start},
                                {"length", length},
                                {"time", exerciseTime(length - introduction, introduction)},
                                {"introductionWords", introductionWords(plan.cues[r.number() - 1].opening)},
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
