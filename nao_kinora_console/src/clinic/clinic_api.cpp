// The clinic's requests: routing, patients and plans (sessions in
// clinic_api_sessions.cpp).
#include "nao_kinora_console/clinic/clinic_api.h"

#include "nao_kinora_console/session/status_view.h"
#include "nao_kinora_console/db/text_checks.h"

#include "nao_kinora_console/session/status_view.h"
#include "nao_kinora_console/records/clinic_rules.h"
#include "nao_kinora_console/records/tracking_words.h"

#include <ros/console.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace nao_kinora_console
{
using nlohmann::json;

ApiReply answer(int status, const json& body)
{
  ApiReply r;
  r.status = status;
  r.body = body;
  return r;
}

ApiReply problem(int status, const std::string& message)
{
  return answer(status, {{"ok", false}, {"message", message}});
}

ApiReply storeProblem(Fault fault, const std::string& message)
{
  switch (fault)
  {
    case Fault::kNotFound:
      return problem(404, message);
    case Fault::kTaken:
    case Fault::kConflict:
      return problem(409, message);
    case Fault::kDatabase:
    {
      // The database lost, hung or refusing: the therapist is told plainly;
      // what failed goes to the log.
      ROS_WARN_THROTTLE(10, "%s", message.c_str());
      ApiReply r = problem(503, "The records cannot be read right now. Try again in a moment.");
      r.body["detail"] = message;
      return r;
    }
    case Fault::kNone:
    case Fault::kRule:
      break;
  }
  return problem(400, message);
}

json sessionToJson(const SessionSummary& s)
{
  return {{"id", s.id},
          {"patient", s.patientId},
          {"plan", s.planId},
          {"planName", s.planName},
          {"planItems", s.planItems},
          {"planSpeed", s.planSpeed},
          {"planMirror", s.planMirror},
          {"planKept", planKeptName(s.planKept)},
          {"lastSpeed", s.lastSpeed},
          {"resumes", s.resumes},
          {"resumedIn", s.resumedIn},
          {"firstExercise", s.firstExercise},
          {"room", s.room},
          {"started", s.started},
          {"ended", s.ended},
          {"outcome", s.outcome},
          {"exercisesPlayed", s.exercisesPlayed},
          {"exercisesTotal", s.exercisesTotal},
          {"playingTime", s.playingTime},
          {"meanEffort", s.meanEffort},
          {"meanPain", s.meanPain},
          {"resumeAt", s.resumeAt}};
}

namespace
{
json planToJson(const Plan& p)
{
  return {{"id", p.id},       {"patient", p.patientId}, {"name", p.name},    {"speed", p.speed},
          {"items", p.items}, {"updated", p.updated},   {"mirror", p.mirror}};
}

json patientToJson(const Patient& p)
{
  return {{"id", p.id}, {"code", p.code}, {"note", p.note}, {"created", p.created}};
}

// A field of the body: "" when it is there with the type asked (or absent and
// optional), else a reason naming it.
std::string textField(const json& body, const char* name, std::string& out, bool required)
{
  if (!body.contains(name))
    return required ? std::string(name) + ": missing" : "";
  if (!body[name].is_string())
    return std::string(name) + ": must be text";
  out = body[name].get<std::string>();
  // Both back ends refuse such text: it is the field's fault, not the database's.
  if (out.find('\0') != std::string::npos || !validUtf8(out))
    return std::string(name) + ": not text (a NUL or invalid UTF-8)";
  return "";
}

std::string numberField(const json& body, const char* name, double& out)
{
  if (!body.contains(name))
    return std::string(name) + ": missing";
  if (!body[name].is_number())
    return std::string(name) + ": must be a number";
  out = body[name].get<double>();
  return "";
}

// A true or false field; absent: the default.
std::string flagField(const json& body, const char* name, bool& out)
{
  if (!body.contains(name))
    return "";
  if (!body[name].is_boolean())
    return std::string(name) + ": must be true or false";
  out = body[name].get<bool>();
  return "";
}

std::string itemsField(const json& body, std::vector<std::string>& out)
{
  if (!body.contains("items"))
    return "items: missing";
  if (!body["items"].is_array())
    return "items: must be a list of recording names";
  for (const json& item : body["items"])
  {
    if (!item.is_string())
      return "items: must be a list of recording names";
    out.push_back(item.get<std::string>());
  }
  return "";
}

// "2", "1.5", "0.75"
std::string speedText(double speed)
{
  char text[32];
  std::snprintf(text, sizeof text, "%g", speed);
  return text;
}

// A positive whole number, or 0 when the text is not one.
int64_t idOf(const std::string& text)
{
  if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos)
    return 0;
  return std::atoll(text.c_str());
}

std::vector<std::string> split(const std::string& path)
{
  std::vector<std::string> parts;
  for (std::size_t start = 1; start <= path.size();)
  {
    const std::size_t end = std::min(path.find('/', start), path.size());
    parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}
}  // namespace

ClinicApi::ClinicApi(ClinicStore& store, ExerciseLibrary& library, SessionLauncher& launcher,
                     const std::string& logFolder, std::function<void(const std::string&)> changed)
    : store_(store), library_(library), launcher_(launcher), logFolder_(logFolder), changed_(std::move(changed))
{
}

ApiReply ClinicApi::handle(const std::string& method, const std::string& target, const std::string& body)
{
  if (body.size() > kMaxClinicBody)
    return problem(413, "body: at most " + std::to_string(kMaxClinicBody) + " bytes");
  json parsed = json::object();
  if (!body.empty())
    parsed = json::parse(body, nullptr, false);
  if (parsed.is_discarded() || !parsed.is_object())
    return problem(400, "body: not a JSON object");
  const std::size_t mark = target.find('?');
  const std::string path = target.substr(0, mark);
  const std::string query = mark == std::string::npos ? "" : target.substr(mark + 1);
  ApiReply reply = route(method, split(path), parsed, query);
  if (reply.status < 300 && method != "GET" && method != "HEAD" && changed_)
    changed_(path);
  return reply;
}

ApiReply ClinicApi::route(const std::string& method, const std::vector<std::string>& parts, const json& body,
                          const std::string& query)
{
  if (parts.empty() || parts.size() > 3)
    return problem(404, "no such clinic request");
  const std::string& kind = parts[0];
  const std::string sub = parts.size() == 3 ? parts[2] : "";
  if (kind == "library" && method == "PUT" && parts.size() == 3 && parts[2] == "introduction")
    return setIntroduction(parts[1], body);
  if (kind == "library")
    return method == "GET"
               ? libraryRoute(parts)
               : problem(
                     405,
                     "the library is read only but for an exercise's introduction (PUT /library/NAME/introduction)");
  if (kind == "now" && parts.size() == 1)
    return method == "GET" ? now() : problem(405, "use GET");
  if (kind == "rooms" && parts.size() == 1)
    return method == "GET" ? rooms() : problem(405, "use GET");
  if (kind == "patients" && parts.size() == 1)
  {
    if (method == "GET")
    {
      const Result<std::vector<Patient>> all = store_.patients();
      json list = json::array();
      for (const Patient& p : all.value)
      {
        list.push_back(patientToJson(p));
        list.back()["lastSession"] = p.lastSession;
      }
      return all.ok() ? answer(200, {{"patients", list}}) : storeProblem(all);
    }
    return method == "POST" ? addPatient(body) : problem(405, "use GET or POST");
  }
  const int64_t id = parts.size() >= 2 ? idOf(parts[1]) : 0;
  if (id == 0 || (kind != "patients" && kind != "plans" && kind != "sessions"))
    return problem(404, "no such clinic request");
  if (kind == "patients")
    return patientRoute(method, id, sub, body, query);
  if (kind == "plans")
    return planRoute(method, id, sub, body, query);
  return sessionRoute(method, id, sub, body);
}

ApiReply ClinicApi::addPatient(const json& body)
{
  std::string code, note;
  std::string fault = textField(body, "code", code, true);
  if (fault.empty())
    fault = textField(body, "note", note, false);
  if (!fault.empty())
    return problem(400, fault);
  const Result<int64_t> added = store_.addPatient(code, note);
  return added.ok() ? answer(201, {{"ok", true}, {"id", added.value}}) : storeProblem(added);
}

ApiReply ClinicApi::patientRoute(const std::string& method, int64_t id, const std::string& sub, const json& body,
                                 const std::string& query)
{
  if (sub.empty() && method == "GET")
    return patientPage(id, queryInt(query, "recent", 0));
  if (sub.empty() && method == "PUT")
  {
    std::string note;
    const std::string fault = textField(body, "note", note, true);
    if (!fault.empty())
      return problem(400, fault);
    const Status noted = store_.setPatientNote(id, note);
    return noted.ok() ? answer(200, {{"ok", true}}) : storeProblem(noted);
  }
  if (sub.empty() && method == "DELETE")
    return deletePatient(id, body);
  if (sub == "plans")
    return method == "POST" ? savePlan(id, 0, body) : problem(405, "use POST");
  if (sub == "export.json" || sub == "export.csv")
  {
    if (method != "GET")
      return problem(405, "use GET");
    const bool csv = sub == "export.csv";
    const Result<Patient> p = store_.patient(id);
    const Result<std::string> text = !p.ok() ? Result<std::string>::failAs(p)
                                     : csv   ? store_.exportCsv(id, jointWords)
                                             : store_.exportJson(id);
    if (!text.ok())
      return storeProblem(text);
    ApiReply r;
    r.text = text.value;
    r.contentType = csv ? "text/csv; charset=utf-8" : "application/json";
    r.fileName = p.value.code + (csv ? ".csv" : ".json");
    return r;
  }
  return sub.empty() ? problem(405, "use GET, PUT or DELETE") : problem(404, "no such clinic request");
}

// Deleting a patient removes their sessions' logs and files too: nothing of
// theirs is left, and no file of theirs can be taken for a later session's.
ApiReply ClinicApi::deletePatient(int64_t id, const json& body)
{
  std::string typed;
  const std::string fault = textField(body, "confirm", typed, true);
  if (!fault.empty())
    return problem(400, fault + " (type the patient's code)");
  const DeletedLogs logs = store_.deletePatient(id, typed);
  if (!logs.ok())
    return storeProblem(logs);
  for (const std::string& log : logs.value)
  {
    launcher_.removeFiles(sessionFileKey(log));
    if (log.compare(0, logFolder_.size() + 1, logFolder_ + "/") == 0)  // only logs this console named
      unlink(log.c_str());
  }
  return answer(200, {{"ok", true}});
}

ApiReply ClinicApi::patientPage(int64_t id, int recent)
{
  const Result<Patient> p = store_.patient(id);
  if (!p.ok())
    return storeProblem(p);
  const Result<std::vector<Plan>> plans = store_.plans(id);
  const Result<std::vector<SessionSummary>> sessions = store_.sessions(id, recent);
  const Result<int64_t> total = store_.sessionCount(id);
  const Result<std::vector<SessionRange>> ranges = store_.sessionRanges(id, recent);
  if (!plans.ok() || !sessions.ok() || !total.ok() || !ranges.ok())
    return !plans.ok()      ? storeProblem(plans)
           : !sessions.ok() ? storeProblem(sessions)
           : !total.ok()    ? storeProblem(total)
                            : storeProblem(ranges);
  json out = {{"patient", patientToJson(p.value)},
              {"plans", json::array()},
              {"sessions", json::array()},
              {"sessionsTotal", total.value},
              {"ranges", json::array()}};
  for (const SessionRange& r : ranges.value)
    out["ranges"].push_back({{"session", r.sessionId},
                             {"joint", r.joint},
                             {"title", jointTitle(r.joint)},
                             {"person", r.person},
                             {"robot", r.robot}});
  for (const Plan& plan : plans.value)
    out["plans"].push_back(planToJson(plan));
  for (const SessionSummary& s : sessions.value)
    out["sessions"].push_back(sessionToJson(s));
  return answer(200, out);
}

std::string ClinicApi::unplayable(const std::vector<std::string>& items, double speed)
{
  for (const std::string& item : items)
  {
    const Result<LibraryEntry> e = library_.entry(item);
    if (!e.ok())
      return "items: " + e.error;
    if (!e.value.playable)
      return "items: " + item + " cannot be played (" +
             (!e.value.problems.empty()       ? e.value.problems.front()
              : !e.value.limits.words.empty() ? e.value.limits.words
                                              : std::string("no row")) +
             ")";
    if (!e.value.limits.bound.allows(speed))
      return "speed: " + speedText(speed) + "× is too fast for " + item + ": " + e.value.limits.speedWords +
             "; it allows at most " + speedText(std::floor(e.value.limits.bound.speed * 100) / 100) + "×";
  }
  return "";
}

ApiReply ClinicApi::savePlan(int64_t patientId, int64_t planId, const json& body)
{
  std::string name;
  double speed = 0;
  std::vector<std::string> items;
  bool mirror = true;
  std::string fault = textField(body, "name", name, true);
  if (fault.empty())
    fault = numberField(body, "speed", speed);
  if (fault.empty())
    fault = itemsField(body, items);
  if (fault.empty())
    fault = flagField(body, "mirror", mirror);
  if (fault.empty())
    fault = checkPlanName(name);
  if (fault.empty())
    fault = checkSpeed(speed);
  if (fault.empty())
    fault = checkPlanItems(items);
  if (fault.empty())
    fault = unplayable(items, speed);
  if (!fault.empty())
    return problem(400, fault);
  if (planId != 0)
  {
    // What it was, for the trail to say what changed.
    const Result<Plan> was = store_.plan(planId);
    const Status updated = store_.updatePlan(planId, name, speed, items, mirror);
    json reply = {{"ok", true}, {"id", planId}};
    if (was.ok())
      reply["was"] = {{"name", was.value.name}, {"speed", was.value.speed}, {"items", was.value.items}};
    return updated.ok() ? answer(200, reply) : storeProblem(updated);
  }
  const Result<int64_t> saved = store_.savePlan(patientId, name, speed, items, mirror);
  return saved.ok() ? answer(201, {{"ok", true}, {"id", saved.value}}) : storeProblem(saved);
}

// {"introduction": [{"cue": NAME.wav, "pause": SECONDS}, ...]}, [] for none.
ApiReply ClinicApi::setIntroduction(const std::string& name, const json& body)
{
  if (!body.contains("introduction") || !body["introduction"].is_array())
    return problem(400, "introduction: a list of {\"cue\", \"pause\"}, [] for none");
  nao_kinora::CueSchedule given;
  const std::string fault = nao_kinora::cuesFromJson({{"introduction", body["introduction"]}}, given);
  if (!fault.empty())
    return problem(400, fault);
  const Status set = library_.setIntroduction(name, given.opening);
  return set.ok()
             ? answer(200, {{"ok", true}, {"title", exerciseTitle(name)}, {"words", introductionWords(given.opening)}})
             : storeProblem(set);
}

ApiReply ClinicApi::libraryRoute(const std::vector<std::string>& parts)
{
  if (parts.size() == 1)
  {
    json list = json::array();
    for (const LibraryEntry& e : library_.list())
      list.push_back(entryToJson(e));
    json introductions = json::array();
    for (const Introduction& i : library_.introductions())
      introductions.push_back({{"cues", introductionToJson(i.cues)}, {"words", i.words}});
    return answer(200, {{"folder", library_.folder()}, {"recordings", list}, {"introductions", introductions}});
  }
  if (parts.size() == 3 && parts[2] == "rows")
  {
    const Result<json> rows = library_.rows(parts[1]);
    return rows.ok() ? answer(200, rows.value) : problem(404, rows.error);
  }
  return problem(404, "no such clinic request");
}
}  // namespace nao_kinora_console
