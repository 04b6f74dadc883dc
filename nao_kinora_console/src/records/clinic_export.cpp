// One patient's whole record out of the store: JSON for keeping, CSV (one
// row per exercise) for a spreadsheet.
#include "nao_kinora_console/records/clinic_store.h"

#include "nao_kinora_console/records/session_ingest.h"
#include "nao_kinora_console/records/tracking_words.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <map>

namespace nao_kinora_console
{
namespace
{
using nlohmann::ordered_json;

// One session with what belongs to it.
struct SessionRecord
{
  SessionSummary summary;
  std::vector<ExerciseRecord> exercises;
  std::map<int, Checkin> checkins;  // by position
};

struct PatientRecord
{
  Patient patient;
  std::vector<Plan> plans;
  std::vector<SessionRecord> sessions;
};

ordered_json checkinJson(const Checkin& c)
{
  return {{"effort", c.effort < 0 ? ordered_json() : ordered_json(c.effort)},
          {"pain", c.pain < 0 ? ordered_json() : ordered_json(c.pain)},
          {"note", c.note}};
}

ordered_json sessionJson(const SessionRecord& s)
{
  ordered_json exercises = ordered_json::array();
  for (const ExerciseRecord& e : s.exercises)
  {
    ordered_json j = exerciseToJson(e);
    const auto c = s.checkins.find(e.position);
    j["checkin"] = c == s.checkins.end() ? ordered_json() : checkinJson(c->second);
    exercises.push_back(j);
  }
  const SessionSummary& m = s.summary;
  return {{"id", m.id},
          {"plan", m.planName},
          {"plan_exercises", m.planItems},
          {"plan_speed", m.planSpeed},
          {"plan_mirror", m.planMirror},
          {"plan_kept", planKeptName(m.planKept)},
          {"resumes", m.resumes != 0 ? ordered_json(m.resumes) : ordered_json()},
          {"resumed_in", m.resumedIn != 0 ? ordered_json(m.resumedIn) : ordered_json()},
          {"first_exercise", m.firstExercise},
          {"started", m.started},
          {"ended", m.ended > 0 ? ordered_json(m.ended) : ordered_json()},
          {"outcome", m.outcome},
          {"exercises", exercises}};
}

// CSV fields quoted where needed; text that a spreadsheet would run as a
// formula is kept as text.
std::string csvField(const std::string& text)
{
  std::string value = text;
  if (!value.empty() && std::string("=+-@\t\r").find(value[0]) != std::string::npos)
    value = "'" + value;
  if (value.find_first_of(",\"\r\n") == std::string::npos)
    return value;
  std::string quoted = "\"";
  for (char c : value)
    quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

std::string number(double value)
{
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", value);
  return text;
}

// Wall time in ISO 8601 with the machine's offset: 2026-12-08T18:40:00+01:00.
std::string isoTime(double wall)
{
  const std::time_t seconds = static_cast<std::time_t>(std::floor(wall));
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[40];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &local);
  std::string iso = text;
  return iso.size() > 2 ? iso.insert(iso.size() - 2, ":") : iso;
}

// m:ss of the session's own clock.
std::string sessionClock(double seconds)
{
  const long whole = std::lround(std::max(0.0, seconds));
  char text[32];
  std::snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
  return text;
}

// "0.75 from 0:10; 1.25 from 0:42": each speed and when it began.
std::string speedsText(const std::vector<SpeedAt>& speeds)
{
  std::string text;
  for (const SpeedAt& s : speeds)
  {
    char value[32];
    std::snprintf(value, sizeof value, "%g", s.speed);
    text += (text.empty() ? "" : "; ") + std::string(value) + (s.at < 0 ? "" : " from " + sessionClock(s.at));
  }
  return text;
}

std::string jointsText(const std::vector<int>& joints, const std::function<std::string(int)>& jointName)
{
  std::string text;
  for (int j : joints)
    text += (text.empty() ? "" : "; ") + (jointName ? jointName(j) : "joint " + std::to_string(j));
  return text;
}

std::string csvRow(const PatientRecord& p, const SessionRecord& s, const ExerciseRecord& e,
                   const std::function<std::string(int)>& jointName)
{
  const auto c = s.checkins.find(e.position);
  const bool answered = c != s.checkins.end();
  const std::vector<std::string> fields{csvField(p.patient.code),
                                        std::to_string(s.summary.id),
                                        isoTime(s.summary.started),
                                        s.summary.outcome,
                                        csvField(s.summary.planName),
                                        std::to_string(e.position),
                                        csvField(e.recording),
                                        e.outcome,
                                        number(e.playingTime),
                                        number(e.pausedTime),
                                        number(e.trackingWait),
                                        e.timeoutFired ? "1" : "0",
                                        csvField(speedsText(e.speeds)),
                                        csvField(jointsText(e.movingJoints, jointName)),
                                        answered && c->second.effort >= 0 ? std::to_string(c->second.effort) : "",
                                        answered && c->second.pain >= 0 ? std::to_string(c->second.pain) : "",
                                        answered ? csvField(c->second.note) : "",
                                        csvField(e.tracking.endedBy),
                                        !e.tracking.present ? ""
                                        : e.tracking.seen   ? "1"
                                                            : "0",
                                        e.tracking.follow < 0 ? "" : number(e.tracking.follow),
                                        csvField(rangesWords(e.tracking.joints))};
  std::string row;
  for (const std::string& f : fields)
    row += (row.empty() ? "" : ",") + f;
  return row + "\r\n";
}
}  // namespace

namespace
{
// Reads through the public calls, each in its own lock: a record that changes
// meanwhile still comes out whole per session.
Result<PatientRecord> readRecord(ClinicStore& store, int64_t patientId)
{
  Result<PatientRecord> r;
  Result<Patient> patient = store.patient(patientId);
  Result<std::vector<Plan>> plans = store.plans(patientId);
  Result<std::vector<SessionSummary>> sessions = store.sessions(patientId);
  if (!patient.ok() || !plans.ok() || !sessions.ok())
    return !patient.ok() ? Result<PatientRecord>::failAs(patient)
           : !plans.ok() ? Result<PatientRecord>::failAs(plans)
                         : Result<PatientRecord>::failAs(sessions);
  r.value.patient = patient.value;
  r.value.plans = plans.value;
  for (const SessionSummary& summary : sessions.value)
  {
    Result<std::vector<ExerciseRecord>> exercises = store.exercises(summary.id);
    Result<std::vector<Checkin>> checkins = store.checkins(summary.id);
    if (!exercises.ok() || !checkins.ok())
      return !exercises.ok() ? Result<PatientRecord>::failAs(exercises) : Result<PatientRecord>::failAs(checkins);
    SessionRecord s{summary, exercises.value, {}};
    for (const Checkin& c : checkins.value)
      s.checkins[c.position] = c;
    r.value.sessions.push_back(s);
  }
  return r;
}
}  // namespace

Result<std::string> ClinicStore::exportJson(int64_t patientId)
{
  const Result<PatientRecord> record = readRecord(*this, patientId);
  if (!record.ok())
    return Result<std::string>::failAs(record);
  const PatientRecord& p = record.value;
  ordered_json plans = ordered_json::array();
  for (const Plan& plan : p.plans)
    plans.push_back({{"name", plan.name},
                     {"speed", plan.speed},
                     {"mirror", plan.mirror},
                     {"updated", plan.updated},
                     {"exercises", plan.items}});
  ordered_json sessions = ordered_json::array();
  for (const SessionRecord& s : p.sessions)
    sessions.push_back(sessionJson(s));
  const ordered_json all = {
      {"patient", {{"code", p.patient.code}, {"note", p.patient.note}, {"created", p.patient.created}}},
      {"plans", plans},
      {"sessions", sessions}};
  Result<std::string> r;
  r.value = all.dump(2) + "\n";
  return r;
}

Result<std::string> ClinicStore::exportCsv(int64_t patientId, const std::function<std::string(int)>& jointName)
{
  const Result<PatientRecord> record = readRecord(*this, patientId);
  if (!record.ok())
    return Result<std::string>::failAs(record);
  Result<std::string> r;
  r.value =
      "patient,session,session_started,session_outcome,plan,position,recording,outcome,playing_time,"
      "paused_time,tracking_wait,timeout_fired,speeds,moving_joints,effort,pain,checkin_note,tracked_by,seen,"
      "follow,ranges\r\n";
  for (const SessionRecord& s : record.value.sessions)
    for (const ExerciseRecord& e : s.exercises)
      r.value += csvRow(record.value, s, e, jointName);
  return r;
}
}  // namespace nao_kinora_console
