// The clinic's requests about plans being played and sessions: the plan's
// timeline, Start, Resume, a session's report, check-ins, what runs now.
#include "nao_kinora_console/clinic/clinic_api.h"

#include "nao_kinora_console/store/clinic_rules.h"

#include <cmath>
#include <cstdlib>
#include <fstream>

namespace nao_kinora_console
{
using nlohmann::json;

namespace
{
// The operator's and the node's events a report shows, from the session log.
const char* const kReportEvents[] = {"pause", "resume", "skip", "end", "speed", "tracking timeout", "shutdown"};

json operatorEvents(const std::string& logPath)
{
  json events = json::array();
  std::ifstream in(logPath);
  double first = -1;
  for (std::string line; std::getline(in, line);)
  {
    const json e = json::parse(line, nullptr, false);
    if (!e.is_object() || !e.contains("time") || !e["time"].is_number())
      continue;
    if (first < 0)
      first = e["time"].get<double>();
    const std::string name = e.value("event", "");
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

int queryInt(const std::string& query, const std::string& name, int fallback)
{
  const std::string key = name + "=";
  const std::size_t at = query.find(key);
  return at == std::string::npos ? fallback : std::atoi(query.c_str() + at + key.size());
}
}  // namespace

ApiReply ClinicApi::planRoute(const std::string& method, int64_t id, const std::string& sub, const json& body,
                              const std::string& query)
{
  if (sub.empty() && method == "PUT")
    return savePlan(0, id, body);
  if (sub.empty() && method == "DELETE")
  {
    const std::string error = store_.deletePlan(id);
    return error.empty() ? answer(200, {{"ok", true}}) : storeProblem(error);
  }
  const Result<Plan> plan = store_.plan(id);
  if (!plan.ok())
    return storeProblem(plan.error);
  if (sub.empty())
    return method == "GET" ? answer(200, {{"id", id}, {"name", plan.value.name}})
                           : problem(405, "use GET, PUT or DELETE");
  if (sub == "timeline")
    return method == "GET" ? answer(200, library_.timeline(plan.value.items, queryInt(query, "first", 1)))
                           : problem(405, "use GET");
  if (sub == "start")
    return method == "POST" ? start(plan.value, 1, 0) : problem(405, "use POST");
  return problem(404, "no such clinic request");
}

ApiReply ClinicApi::sessionRoute(const std::string& method, int64_t id, const std::string& sub, const json& body)
{
  if (sub.empty())
    return method == "GET" ? sessionPage(id) : problem(405, "use GET");
  if (sub == "checkins")
    return method == "POST" ? addCheckin(id, body) : problem(405, "use POST");
  if (sub != "resume")
    return problem(404, "no such clinic request");
  if (method != "POST")
    return problem(405, "use POST");
  const Result<SessionSummary> s = store_.session(id);
  if (!s.ok())
    return storeProblem(s.error);
  if (s.value.outcome == "running" || s.value.resumeAt == 0)
    return problem(409, "this session " + std::string(s.value.outcome == "running" ? "is running" : "was completed") +
                            "; there is nothing to resume");
  const Result<Plan> plan = store_.plan(s.value.planId);
  if (s.value.planId == 0 || !plan.ok())
    return problem(409, "the plan of this session was deleted; start a plan instead");
  if (s.value.resumeAt > static_cast<int>(plan.value.items.size()))
    return problem(409, "the plan now has fewer exercises than where this session stopped");
  return start(plan.value, s.value.resumeAt, id);
}

ApiReply ClinicApi::start(const Plan& plan, int first, int64_t resumes)
{
  std::lock_guard<std::mutex> lock(startMutex_);
  if (plan.items.empty())
    return problem(400, "items: the plan has no exercise");
  if (launcher_.busy())
    return problem(409, "A session is running on the robot: end it before starting another.");
  // A plan saved before a recording changed, or the limits came in, is refused here.
  const std::string fault = unplayable(plan.items, plan.speed);
  if (!fault.empty())
    return problem(409, fault);
  const std::string log = logFolder_ + "/" + std::to_string(plan.patientId) + "-" +
                          std::to_string(static_cast<long long>(wallNow() * 1000)) + ".jsonl";
  const Result<int64_t> session = store_.beginSession({plan.patientId, plan.id, first, log, plan.speed, 0});
  if (!session.ok())
    return storeProblem(session.error);
  LaunchPlan launch{plan.items, library_.folder(), log, first, plan.speed};
  const std::string error = launcher_.launch(session.value, launch);
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
                      {"timeline", library_.timeline(plan.items, first)}});
}

ApiReply ClinicApi::sessionPage(int64_t id)
{
  const Result<SessionSummary> s = store_.session(id);
  if (!s.ok())
    return storeProblem(s.error);
  const Result<Patient> p = store_.patient(s.value.patientId);
  const Result<std::vector<ExerciseRecord>> exercises = store_.exercises(id);
  const Result<std::vector<Checkin>> checkins = store_.checkins(id);
  const Result<std::string> log = store_.sessionLog(id);
  if (!p.ok() || !exercises.ok() || !checkins.ok())
    return storeProblem(!p.ok() ? p.error : !exercises.ok() ? exercises.error : checkins.error);
  const Result<Plan> plan = store_.plan(s.value.planId);
  json out = {{"session", sessionToJson(s.value)},
              {"patient", {{"id", p.value.id}, {"code", p.value.code}}},
              {"planItems", plan.ok() ? json(plan.value.items) : json::array()},
              {"exercises", json::array()},
              {"checkins", json::array()},
              {"events", log.ok() ? operatorEvents(log.value) : json::array()}};
  for (const ExerciseRecord& e : exercises.value)
  {
    json shown = {{"position", e.position},         {"recording", e.recording},   {"outcome", e.outcome},
                  {"playingTime", e.playingTime},   {"pausedTime", e.pausedTime}, {"trackingWait", e.trackingWait},
                  {"timeoutFired", e.timeoutFired}, {"speeds", e.speeds}};
    out["exercises"].push_back(shown);
  }
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
  const std::string error = store_.addCheckin(c);
  return error.empty() ? answer(201, {{"ok", true}}) : storeProblem(error);
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
    if (p.ok())
    {
      json shown = sessionToJson(s.value);
      shown["patientCode"] = p.value.code;
      running.push_back(shown);
    }
  }
  std::lock_guard<std::mutex> news(newsMutex_);
  return answer(200, {{"busy", launcher_.busy()}, {"running", running}, {"refused", refused_}});
}
}  // namespace nao_kinora_console
