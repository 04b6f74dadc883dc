#include "nao_kinora_console/records/session_ingest.h"

#include <algorithm>
#include <fstream>
#include <iterator>

namespace nao_kinora_console
{
namespace
{
using nlohmann::json;

double number(const json& e, const char* key, double otherwise)
{
  const auto it = e.find(key);
  return it != e.end() && it->is_number() ? it->get<double>() : otherwise;
}

// A log line edited by hand or cut short may hold any type anywhere: what
// is not the type expected reads as absent, never as an exception.
std::string text(const json& e, const char* key)
{
  const auto it = e.find(key);
  return it != e.end() && it->is_string() ? it->get<std::string>() : std::string();
}

template <typename T>
std::vector<T> numbers(const json& e, const char* key)
{
  std::vector<T> out;
  const auto it = e.find(key);
  if (it == e.end() || !it->is_array())
    return out;
  for (const json& v : *it)
    if (v.is_number())
      out.push_back(v.get<T>());
  return out;
}

int position(const json& e)
{
  const double k = number(e, "recording", 0);
  return k >= 0 && k <= 1e6 ? static_cast<int>(k) : 0;
}

std::string fileName(const std::string& path)
{
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

ExerciseRecord* last(SessionFold& f)
{
  return f.exercises.empty() ? nullptr : &f.exercises.back();
}

ExerciseRecord* exerciseAt(SessionFold& f, int k)
{
  for (auto it = f.exercises.rbegin(); it != f.exercises.rend(); ++it)
    if (it->position == k)
      return &*it;
  return nullptr;
}

// The tracking wait after the last exercise ends: trackingfinished, a skip,
// the timeout, the next recording or the closing.
void closeWait(SessionFold& f, double t)
{
  if (f.waitSince >= 0 && last(f))
    last(f)->trackingWait = t - f.waitSince;
  f.waitSince = -1;
}

// Seconds since the session's first event.
double sinceStart(const SessionFold& f, double t)
{
  return t - (f.firstTime < 0 ? t : f.firstTime);
}

void load(SessionFold& f, const json& e, double t, const char* outcome)
{
  closeWait(f, t);
  ExerciseRecord r;
  r.position = position(e);
  r.recording = fileName(text(e, "path"));
  r.outcome = outcome;
  r.speeds.push_back({f.speed, sinceStart(f, t)});
  f.exercises.push_back(r);
  f.startedAt = -1;
  f.pausedInPlay = 0;
  f.skipRequested = false;
  f.allRowsSent = false;
}

void resume(SessionFold& f, double seconds)
{
  if (f.pausedSince < 0)
    return;
  if (ExerciseRecord* r = exerciseAt(f, f.pausedExercise))
  {
    r->pausedTime += seconds;
    if (r->outcome == "playing")
      f.pausedInPlay += seconds;
  }
  f.pausedSince = -1;
}

void report(SessionFold& f, const json& e, double t)
{
  ExerciseRecord* r = exerciseAt(f, position(e));
  if (!r)
    return;
  const double pausedNow = f.pausedSince >= 0 ? t - f.pausedSince : 0;
  r->playingTime = f.startedAt >= 0 ? t - f.startedAt - f.pausedInPlay - pausedNow : 0;
  r->outcome = f.skipRequested ? "skipped" : f.allRowsSent ? "played" : "ended early";
  r->movingJoints = numbers<int>(e, "moving joints");
  r->variances = numbers<double>(e, "variances");
  f.startedAt = -1;
}

// The session is over: an exercise cut off as it played ended early.
void finish(SessionFold& f, double t, const char* outcome)
{
  closeWait(f, t);
  resume(f, t - f.pausedSince);
  if (ExerciseRecord* r = last(f))
    if (r->outcome == "playing")
    {
      r->playingTime = f.startedAt >= 0 ? t - f.startedAt - f.pausedInPlay : 0;
      r->outcome = "ended early";
    }
  f.outcome = outcome;
  f.endTime = t;
}

void operatorAction(SessionFold& f, const std::string& name, const json& e, double t)
{
  ExerciseRecord* r = exerciseAt(f, position(e));
  const bool playing = r && r->outcome == "playing";
  if (name == "pause")
  {
    f.pausedSince = t;
    f.pausedExercise = position(e);
  }
  else if (name == "resume")
    resume(f, number(e, "paused seconds", t - f.pausedSince));
  else if (name == "skip" && playing)
    f.skipRequested = true;
  else if (name == "skip")
    closeWait(f, t);
  else if (name == "end")
  {
    f.endRequested = true;
    resume(f, t - f.pausedSince);  // an end lifts the pause
  }
}

// Bounds on what one result may add to the record: the tracker names a
// dozen joints, each a few words long.
const std::size_t kMaxJoints = 32;
const std::size_t kMaxJointName = 64;

bool flag(const json& e, const char* key)
{
  const auto it = e.find(key);
  return it != e.end() && it->is_boolean() && it->get<bool>();
}

// Degrees and seconds as logged: finite and not below 0.
double amount(const json& e, const char* key)
{
  const double value = number(e, key, 0);
  return value > 0 && value < 1e6 ? value : 0;
}

std::vector<JointRange> jointRanges(const json& e)
{
  std::vector<JointRange> joints;
  const auto list = e.find("joints");
  if (list == e.end() || !list->is_array())
    return joints;
  for (const json& j : *list)
  {
    const auto name = j.is_object() ? j.find("joint") : j.end();
    if (joints.size() == kMaxJoints || name == j.end() || !name->is_string() || name->get<std::string>().empty() ||
        name->get<std::string>().size() > kMaxJointName)
      continue;
    JointRange r{name->get<std::string>(), flag(j, "seen"), 0, amount(j, "robot")};
    r.person = r.seen ? amount(j, "person") : 0;
    // A joint named twice keeps its first range.
    if (std::none_of(joints.begin(), joints.end(), [&](const JointRange& o) { return o.joint == r.joint; }))
      joints.push_back(r);
  }
  return joints;
}

// The person tracker's result, for the exercise at its place in the node's
// list: it may come once the next exercise has been loaded, or after the
// closing cue. One that names another recording than the exercise at that
// place is not this session's and is left out; of two, the later counts.
void tracked(SessionFold& f, const json& e)
{
  ExerciseRecord* r = exerciseAt(f, position(e));
  const auto file = e.find("file");
  if (!r || (file != e.end() && (!file->is_string() || fileName(file->get<std::string>()) != r->recording)))
    return;
  ExerciseTracking t;
  t.present = true;
  const json endedBy = e.value("ended by", json());
  // Never cut: a cut could split a character.
  t.endedBy = endedBy.is_string() && endedBy.get<std::string>().size() <= 16 ? endedBy.get<std::string>() : "";
  t.seen = flag(e, "seen");
  t.seconds = amount(e, "seconds");
  const double follow = number(e, "follow", -1);
  t.follow = t.seen && follow >= 0 ? std::min(follow, 100.0) : -1;
  t.joints = jointRanges(e);
  r->tracking = t;
}

// A change of speed counts for the exercise that plays, from its time on;
// one set between exercises is where the next one starts.
void speed(SessionFold& f, const json& e, double t)
{
  f.speed = number(e, "speed", f.speed);
  ExerciseRecord* r = last(f);
  if (r && r->outcome == "playing" && (r->speeds.empty() || r->speeds.back().speed != f.speed))
    r->speeds.push_back({f.speed, sinceStart(f, t)});
}
}  // namespace

void applyEvent(SessionFold& f, const json& e)
{
  if (!e.is_object())
    return;
  const std::string name = text(e, "event");
  // The tracker's result for the last exercise comes during the node's
  // closing cue (a 5 s pause before it ends); a later one is another run's.
  if (name == "tracking result" && (f.outcome == "running" || number(e, "time", f.endTime) - f.endTime <= 10))
    return tracked(f, e);
  if (f.outcome != "running")
    return;
  const double t = number(e, "time", f.firstTime < 0 ? 0 : f.firstTime);
  if (f.firstTime < 0)
    f.firstTime = t;
  f.lastTime = t;
  if (name == "recording loaded")
    load(f, e, t, "playing");
  else if (name == "recording skipped")
    load(f, e, t, "unplayable");
  else if (name == "start signal")
    f.startedAt = t;
  else if (name == "last row sent")
    f.allRowsSent = true;
  else if (name == "report")
    report(f, e, t);
  else if (name == "stop signal")
    f.waitSince = t;
  else if (name == "trackingfinished")
    closeWait(f, t);
  else if (name == "tracking timeout" && last(f))
  {
    last(f)->timeoutFired = true;
    closeWait(f, t);
  }
  else if (name == "speed")
    speed(f, e, t);
  else if (name == "cue" && text(e, "kind") == "closing")
    finish(f, t, f.endRequested ? "ended" : "completed");
  else if (name == "shutdown")
    finish(f, t, "interrupted");
  else
    operatorAction(f, name, e, t);
}

LogPiece readLogPiece(const std::string& path, int64_t offset)
{
  LogPiece piece;
  piece.nextOffset = offset;
  std::ifstream in(path, std::ios::binary);
  if (!in)
    piece.error = "cannot read the session log [" + path + "]";
  else if (!in.seekg(0, std::ios::end) || in.tellg() < offset)
    piece.error =
        "the session log [" + path + "] is shorter than the " + std::to_string(offset) + " bytes already read from it";
  if (!piece.error.empty())
    return piece;
  in.seekg(offset);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::size_t start = 0;
  for (std::size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start))
  {
    json event = json::parse(text.begin() + start, text.begin() + end, nullptr, false);
    if (event.is_object())
      piece.events.push_back(std::move(event));
    else
      ++piece.skippedLines;
    start = end + 1;
  }
  piece.nextOffset = offset + static_cast<int64_t>(start);
  return piece;
}
}  // namespace nao_kinora_console
