// The clinic's requests about plans being played and sessions: the plan's
// timeline, Start, Resume, a session's report, check-ins, what runs now.
#include "nao_kinora_console/clinic/clinic_api.h"

#include "nao_kinora_console/records/clinic_rules.h"
#include "nao_kinora_console/records/session_ingest.h"
#include "nao_kinora_console/records/tracking_words.h"
#include "nao_kinora_console/session/status_view.h"

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <map>

namespace nao_kinora_console
{
using nlohmann::json;

namespace
{
// The operator's and the node's events a report shows, from the session log.
const char* const kReportEvents[] = {"pause", "resume", "skip", "end", "tracking timeout", "shutdown"};

// The events in the order logged, times from the first. A speed event
// carries the speed set ("speed"); "from" is added: the speed before it. The
// start-up speed (logged before anything else) is the plan's, not an action.
json operatorEvents(const std::string& logPath, double startSpeed)
{
  json events = json::array();
  std::ifstream in(logPath);
  double first = -1;
  double speed = startSpeed;
  for (std::string line; std::getline(in, line);)
  {
    const json e = json::parse(line, nullptr, false);
    if (!e.is_object() || !e.contains("time") || !e["time"].is_number())
      continue;
    const bool firstEvent = first < 0;
    if (firstEvent)
      first = e["time"].get<double>();
    const std::string name = e.value("event", json()).is_string() ? e["event"].get<std::string>() : "";
    if (name == "speed")
    {
      const double to = e.value("speed", json()).is_number() ? e["speed"].get<double>() : speed;
      const bool startUp = firstEvent && to == startSpeed;
      json shown = e;
      shown["from"] = speed;
      shown["time"] = e["time"].get<double>() - first;
      speed = to;
      if (!startUp)
        events.push_back(shown);
      continue;
    }
    for (const char* wanted : kReportEvents)
      if (name == wanted)
      {
        json shown = e;
        shown["time"] = e["time"].get<double>() - first;
        events.push_back(shown);
      }
  }
  return events;
}

// The tracker's result for the report: its numbers and its words; null
// when none was logged.
json trackingJson(const ExerciseTracking& t)
{
  if (!t.present)
    return nullptr;
  json joints = json::array();
  for (const JointRange& j : t.joints)
    joints.push_back({{"joint", j.joint},
                      {"title", jointTitle(j.joint)},
                      {"seen", j.seen},
                      {"person", j.person},
                      {"robot", j.robot},
                      {"words", rangeWords(j)}});
  return {{"endedBy", t.endedBy}, {"seen", t.seen},
          {"seconds", t.seconds}, {"follow", t.follow < 0 ? json() : json(t.follow)},
          {"joints", joints},     {"words", trackingWords(t)}};
}

// Each exercise's introduction as it was played, by position: from its start
// signal to its first row, less the time paused meanwhile.
std::map<int, double> introductionTimes(const std::string& logPath)
{
  std::map<int, double> times;
  std::ifstream in(logPath);
  int position = 0;
  double since = -1, pausedAt = -1, paused = 0;
  for (std::string line; std::getline(in, line);)
  {
    const json e = json::parse(line, nullptr, false);
    if (!e.is_object() || !e.contains("time") || !e["time"].is_number())
      continue;
    const double t = e["time"];
    const std::string name = e.value("event", json()).is_string() ? e["event"].get<std::string>() : "";
    if (name == "start signal" && e.value("recording", json()).is_number_integer())
    {
      position = e["recording"];
      since = t;
      paused = 0;
      pausedAt = -1;
    }
    else if (name == "pause" && since >= 0)
      pausedAt = t;
    else if (name == "resume" && since >= 0 && pausedAt >= 0)
    {
      paused += t - pausedAt;
      pausedAt = -1;
    }
    else if (name == "first row sent" && since >= 0)
    {
      times[position] = std::max(0.0, t - since - paused);
      since = -1;
    }
  }
  return times;
}

json checkinJson(const Checkin& c)
{
  return {{"effort", c.effort < 0 ? json() : json(c.effort)},
          {"pain", c.pain < 0 ? json() : json(c.pain)},
          {"note", c.note}};
}

// What is answered, by exercise position: {"1": {effort, pain, note}}.
json answers(const std::vector<Checkin>& checkins)
{
  json out = json::object();
  for (const Checkin& c : checkins)
    out[std::to_string(c.position)] = checkinJson(c);
  return out;
}

// A whole number field in [low, high], or `absent` when it is not there.
std::string intField(const json& body, const char* name, int low, int high, int absent, int& out)
{
  out = absent;
  if (!body.contains(name) || body[name].is_null())
    return "";
  const json& v = body[name];
  if (!v.is_number() || std::floor(v.get<double>()) != v.get<double>() || v.get<double>() < low ||
      v.get<double>() > high)
    return std::string(name) + ": must be a whole number from " + std::to_string(low) + " to " + std::to_string(high);
  out = v.get<int>();
  return "";
}

}  // namespace

int queryInt(const std::string& query, const std::string& name, int fallback)
{
  const std::string key = name + "=";
  const std::size_t at = query.find(key);
  return at == std::string::npos ? fallback : std::atoi(query.c_str() + at + key.size());
}

ApiReply ClinicApi::planRoute(const std::string& method, int64_t id, const std::string& sub, const json& body,
                              const std::string& query)
{
  if (sub.empty() && method == "PUT")
    return savePlan(0, id, body);
  if (sub.empty() && method == "DELETE")
  {
    const Result<Plan> was = store_.plan(id);
    const Status deleted = store_.deletePlan(id);
    return deleted.ok() ? answer(200, {{"ok", true}, {"name", was.ok() ? was.value.name : ""}}) : storeProblem(deleted);
  }
  const Result<Plan> plan = store_.plan(id);
  if (!plan.ok())
    return storeProblem(plan);
  if (sub.empty())
    return method == "GET" ? answer(200, {{"id", id}, {"name", plan.value.name}})
                           : problem(405, "use GET, PUT or DELETE");
  if (sub == "timeline")
    return method == "GET"
               ? answer(200, library_.timeline(plan.value.items, queryInt(query, "first", 1), plan.value.speed))
               : problem(405, "use GET");
  if (sub == "start")
  {
    if (method != "POST")
      return problem(405, "use POST");
    if (plan.value.items.empty())
      return problem(400, "items: the plan has no exercise");
    // A plan saved before a recording changed, or the limits came in, is refused here.
    const std::string fault = unplayable(plan.value.items, plan.value.speed);
    return fault.empty() ? start(plan.value.patientId, id, 1, 0) : problem(409, fault);
  }
  return problem(404, "no such clinic request");
}

ApiReply ClinicApi::sessionRoute(const std::string& method, int64_t id, const std::string& sub, const json& body)
{
  if (sub.empty())
    return method == "GET" ? sessionPage(id) : problem(405, "use GET");
  if (sub == "checkins")
    return method == "POST" ? addCheckin(id, body) : problem(405, "use POST");
  if (sub == "release")
  {
    if (method != "POST")
      return problem(405, "use POST");
    // Cannot be undone: the page asks first, and says so.
    if (!body.is_object() || !body.contains("confirm") || body["confirm"] != true)
      return problem(400, "confirm: releasing a session needs {\"confirm\": true}");
    const Status released = store_.releaseSession(id, kRoomGoneAfter);
    if (!released.ok())
      return storeProblem(released);
    if (changed_)
      changed_("/sessions/" + std::to_string(id));
    return answer(200, {{"ok", true}});
  }
  if (sub != "resume")
    return problem(404, "no such clinic request");
  return method == "POST" ? resume(id) : problem(405, "use POST");
}

// A session is taken up again with its own copy of the plan, at the speed it
// last ran at, from where it stopped; only the last link of a chain.
ApiReply ClinicApi::resume(int64_t id)
{
  const Result<SessionSummary> s = store_.session(id);
  if (!s.ok())
    return storeProblem(s);
  if (s.value.outcome == "running")
    return problem(409, "This session is running; there is nothing to resume.");
  if (s.value.resumedIn != 0)
    return problem(409, "This session was already resumed (session " + std::to_string(s.value.resumedIn) +
                            "): resume the last session of the chain instead.");
  if (s.value.resumeAt == 0)
    return problem(409, "This session was completed; there is nothing to resume.");
  if (s.value.resumeAt > static_cast<int>(s.value.planItems.size()))
    return problem(409, s.value.planItems.empty()
                            ? "This session's plan was not kept (its plan was deleted before the record kept "
                              "copies): start a plan instead."
                            : "This session stopped after its last exercise; there is nothing to resume.");
  const std::string fault = unplayable(s.value.planItems, s.value.planSpeed);
  return fault.empty() ? start(s.value.patientId, s.value.planId, s.value.resumeAt, id) : problem(409, fault);
}

ApiReply ClinicApi::start(int64_t patientId, int64_t planId, int first, int64_t resumes)
{
  std::lock_guard<std::mutex> lock(startMutex_);
  if (launcher_.busy())
    return problem(409, "A session is running on the robot: end it before starting another.");
  const std::string log = logFolder_ + "/" + std::to_string(patientId) + "-" +
                          std::to_string(static_cast<long long>(wallNow() * 1000)) + ".jsonl";
  SessionStart begin{patientId, planId, first, log, 0, 0};
  begin.resumes = resumes;
  const Result<int64_t> session = store_.beginSession(begin);
  if (!session.ok())
    return storeProblem(session);
  // What is played is what was stored: the session's own copy.
  const Result<SessionSummary> kept = store_.session(session.value);
  const std::string error =
      !kept.ok() ? kept.error
                 : launcher_.launch(sessionFileKey(log),
                                    {kept.value.planItems, library_.folder(), log, first, kept.value.planSpeed,
                                     library_.sessionCues(kept.value.planItems), kept.value.planMirror});
  if (!error.empty())
  {
    store_.discardSession(session.value);
    return problem(500, error);
  }
  {
    std::lock_guard<std::mutex> news(newsMutex_);
    refused_ = nullptr;
  }
  return answer(201, {{"ok", true},
                      {"session", session.value},
                      {"first", first},
                      {"resumes", resumes},
                      {"planName", kept.value.planName},
                      {"speed", kept.value.planSpeed},
                      {"timeline", library_.timeline(kept.value.planItems, first, kept.value.planSpeed)}});
}

ApiReply ClinicApi::sessionPage(int64_t id)
{
  const Result<SessionSummary> s = store_.session(id);
  if (!s.ok())
    return storeProblem(s);
  const Result<Patient> p = store_.patient(s.value.patientId);
  const Result<std::vector<ExerciseRecord>> exercises = store_.exercises(id);
  const Result<std::vector<Checkin>> checkins = store_.checkins(id);
  const Result<std::string> log = store_.sessionLog(id);
  if (!p.ok() || !exercises.ok() || !checkins.ok())
    return !p.ok() ? storeProblem(p) : !exercises.ok() ? storeProblem(exercises) : storeProblem(checkins);
  json out = {{"session", sessionToJson(s.value)},
              {"patient", {{"id", p.value.id}, {"code", p.value.code}}},
              {"planItems", s.value.planItems},
              {"exercises", json::array()},
              {"checkins", json::array()},
              {"events", log.ok() ? operatorEvents(log.value, s.value.planSpeed) : json::array()}};
  // The sessions it took up and that took it up, by when they started.
  for (const auto& link :
       {std::make_pair("resumesStarted", s.value.resumes), std::make_pair("resumedInStarted", s.value.resumedIn)})
  {
    const Result<SessionSummary> other = link.second ? store_.session(link.second) : Result<SessionSummary>();
    out[link.first] = link.second && other.ok() ? json(other.value.started) : json();
    if (link.second == s.value.resumedIn)
      out["resumedInFirst"] = link.second && other.ok() ? json(other.value.firstExercise) : json();
  }
  const json answered = answers(checkins.value);
  const std::map<int, double> introductions = log.ok() ? introductionTimes(log.value) : std::map<int, double>();
  double movement = 0, introduction = 0;
  for (const ExerciseRecord& e : exercises.value)
  {
    const std::string k = std::to_string(e.position);
    const auto said = introductions.find(e.position);
    const double intro = said == introductions.end() ? 0.0 : std::min(said->second, e.playingTime);
    movement += e.playingTime - intro;
    introduction += intro;
    json shown = {{"position", e.position},
                  {"recording", e.recording},
                  {"title", exerciseTitle(e.recording)},
                  {"time", exerciseTime(e.playingTime - intro, intro)},
                  {"outcome", e.outcome},
                  {"playingTime", e.playingTime},
                  {"pausedTime", e.pausedTime},
                  {"trackingWait", e.trackingWait},
                  {"timeoutFired", e.timeoutFired},
                  {"speeds", speedsToJson(e.speeds)},
                  {"tracking", trackingJson(e.tracking)},
                  {"checkin", answered.contains(k) ? answered[k] : json()}};
    out["exercises"].push_back(shown);
  }
  out["time"] = exerciseTime(movement, introduction);
  for (const Checkin& c : checkins.value)
    out["checkins"].push_back({{"position", c.position}, {"effort", c.effort}, {"pain", c.pain}, {"note", c.note}});
  return answer(200, out);
}

ApiReply ClinicApi::addCheckin(int64_t sessionId, const json& body)
{
  Checkin c;
  c.sessionId = sessionId;
  std::string fault = intField(body, "position", 1, 1000, 0, c.position);
  if (fault.empty() && c.position == 0)
    fault = "position: missing";
  if (fault.empty())
    fault = intField(body, "effort", 0, 10, -1, c.effort);
  if (fault.empty())
    fault = intField(body, "pain", 0, 10, -1, c.pain);
  if (fault.empty() && body.contains("note"))
    fault = body["note"].is_string() ? "" : "note: must be text";
  if (!fault.empty())
    return problem(400, fault);
  c.note = body.value("note", "");
  const Result<bool> added = store_.addCheckin(c);
  if (!added.ok())
    return storeProblem(added);
  return added.value ? answer(201, {{"ok", true}, {"changed", true}})
                     : answer(200, {{"ok", true},
                                    {"changed", false},
                                    {"message", "Nothing was answered: the check-in stays as it was."}});
}

void ClinicApi::launchRefused(int64_t patientId, const std::vector<std::string>& lines)
{
  {
    std::lock_guard<std::mutex> news(newsMutex_);
    refused_ = {{"patient", patientId}, {"lines", lines}};
  }
  if (changed_)
    changed_("/now");
}

ApiReply ClinicApi::now()
{
  json running = json::array();
  const Result<std::vector<int64_t>> ids = store_.runningSessions();
  for (int64_t id : ids.value)
  {
    const Result<SessionSummary> s = store_.session(id);
    const Result<Patient> p = s.ok() ? store_.patient(s.value.patientId) : Result<Patient>::fail(s.error);
    const Result<std::vector<Checkin>> checkins = store_.checkins(id);
    if (p.ok())
    {
      json shown = sessionToJson(s.value);
      shown["patientCode"] = p.value.code;
      // Each exercise's time as it plays at the session's speed, for the running page.
      shown["timeline"] = library_.timeline(s.value.planItems, s.value.firstExercise, s.value.lastSpeed);
      shown["answers"] = answers(checkins.value);
      running.push_back(shown);
    }
  }
  std::lock_guard<std::mutex> news(newsMutex_);
  return answer(200, {{"busy", launcher_.busy()}, {"running", running}, {"refused", refused_}});
}
}  // namespace nao_kinora_console

namespace nao_kinora_console
{
// Every room seen, this one marked, and who plays what in each now.
ApiReply ClinicApi::rooms()
{
  const Result<std::vector<RoomNow>> all = store_.rooms();
  if (!all.ok())
    return storeProblem(all);
  json list = json::array();
  for (const RoomNow& room : all.value)
  {
    json running = json::array();
    for (const RoomSession& s : room.running)
      running.push_back({{"session", s.sessionId},
                         {"patient", s.patientId},
                         {"patientCode", s.patientCode},
                         {"position", s.position},
                         {"recording", s.recording},
                         {"started", s.started}});
    list.push_back(
        {{"name", room.name}, {"here", room.name == store_.room()}, {"seen", room.seen}, {"running", running}});
  }
  return answer(200, {{"room", store_.room()}, {"rooms", list}});
}
}  // namespace nao_kinora_console
