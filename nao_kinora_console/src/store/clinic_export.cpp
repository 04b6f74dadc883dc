// One patient's whole record out of the store: JSON for keeping, CSV (one
// row per exercise) for a spreadsheet.
#include "nao_kinora_console/store/clinic_store.h"

#include "nao_kinora_console/store/session_ingest.h"

#include <nlohmann/json.hpp>

#include <cstdio>
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

std::string csvRow(const PatientRecord& p, const SessionRecord& s, const ExerciseRecord& e)
{
  const auto c = s.checkins.find(e.position);
  const bool answered = c != s.checkins.end();
  const std::vector<std::string> fields{csvField(p.patient.code),
                                        std::to_string(s.summary.id),
                                        number(s.summary.started),
                                        s.summary.outcome,
                                        csvField(s.summary.planName),
                                        std::to_string(e.position),
                                        csvField(e.recording),
                                        e.outcome,
                                        number(e.playingTime),
                                        number(e.pausedTime),
                                        number(e.trackingWait),
                                        e.timeoutFired ? "1" : "0",
                                        csvField(nlohmann::json(e.speeds).dump()),
                                        csvField(nlohmann::json(e.movingJoints).dump()),
                                        answered && c->second.effort >= 0 ? std::to_string(c->second.effort) : "",
                                        answered && c->second.pain >= 0 ? std::to_string(c->second.pain) : "",
                                        answered ? csvField(c->second.note) : ""};
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
  r.error = !patient.ok() ? patient.error : !plans.ok() ? plans.error : sessions.error;
  r.value.patient = patient.value;
  r.value.plans = plans.value;
  for (const SessionSummary& summary : sessions.value)
  {
    Result<std::vector<ExerciseRecord>> exercises = store.exercises(summary.id);
    Result<std::vector<Checkin>> checkins = store.checkins(summary.id);
    if (r.error.empty())
      r.error = !exercises.ok() ? exercises.error : checkins.error;
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
    return Result<std::string>::fail(record.error);
  const PatientRecord& p = record.value;
  ordered_json plans = ordered_json::array();
  for (const Plan& plan : p.plans)
    plans.push_back({{"name", plan.name}, {"speed", plan.speed}, {"updated", plan.updated}, {"exercises", plan.items}});
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

Result<std::string> ClinicStore::exportCsv(int64_t patientId)
{
  const Result<PatientRecord> record = readRecord(*this, patientId);
  if (!record.ok())
    return Result<std::string>::fail(record.error);
  Result<std::string> r;
  r.value =
      "patient,session,session_started,session_outcome,plan,position,recording,outcome,playing_time,"
      "paused_time,tracking_wait,timeout_fired,speeds,moving_joints,effort,pain,checkin_note\r\n";
  for (const SessionRecord& s : record.value.sessions)
    for (const ExerciseRecord& e : s.exercises)
      r.value += csvRow(record.value, s, e);
  return r;
}
}  // namespace nao_kinora_console
