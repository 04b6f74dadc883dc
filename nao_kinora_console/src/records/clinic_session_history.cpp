// A patient's history as the store reads it back: the sessions' summaries
// (all, or the latest few), one session, and its exercises.
#include "nao_kinora_console/records/clinic_store.h"

#include "nao_kinora_console/records/session_ingest.h"
#include "session_results.h"

#include <nlohmann/json.hpp>

#include <algorithm>

namespace nao_kinora_console
{
namespace
{
using Lock = std::lock_guard<std::mutex>;
using nlohmann::json;

// Where a session that did not complete would go on: the exercise it
// stopped in, or the next one after an exercise played fully. A session
// taken up again already goes on in that one, not here.
int resumePoint(const std::string& outcome, bool resumed, int first, int lastPosition, const std::string& lastOutcome)
{
  if (outcome == "completed" || resumed)
    return 0;
  if (lastPosition == 0)
    return first;
  return lastOutcome == "played" || lastOutcome == "unplayable" ? lastPosition + 1 : lastPosition;
}

const char* const kSummarySql =
    "SELECT s.id, s.patient_id, COALESCE(s.plan_id, 0), s.plan_name, s.first_exercise, s.started,"
    " COALESCE(s.ended, 0), s.outcome,"
    " (SELECT count(*) FROM session_exercises e WHERE e.session_id = s.id AND e.outcome = 'played'),"
    " (SELECT count(*) FROM session_exercises e WHERE e.session_id = s.id),"
    " (SELECT COALESCE(sum(playing_time), 0) FROM session_exercises e WHERE e.session_id = s.id),"
    " (SELECT COALESCE(avg(effort), -1) FROM checkins c WHERE c.session_id = s.id),"
    " (SELECT COALESCE(avg(pain), -1) FROM checkins c WHERE c.session_id = s.id),"
    " (SELECT CAST(position AS TEXT) || ' ' || outcome FROM session_exercises e WHERE e.session_id = s.id"
    "  ORDER BY seq DESC LIMIT 1),"
    " s.plan_items, s.speed, s.plan_kept, s.last_speed, COALESCE(s.resumes, 0),"
    " COALESCE((SELECT n.id FROM sessions n WHERE n.resumes = s.id), 0), s.room, s.plan_mirror"
    " FROM sessions s WHERE ";

PlanKept planKeptFrom(const std::string& text)
{
  return text == "upgrade" ? PlanKept::kAtUpgrade : text == "none" ? PlanKept::kNone : PlanKept::kAtStart;
}

std::vector<std::string> textList(const std::string& text)
{
  const json list = json::parse(text, nullptr, false);
  std::vector<std::string> out;
  if (list.is_array())
    for (const json& item : list)
      if (item.is_string())
        out.push_back(item.get<std::string>());
  return out;
}

SessionSummary summaryRow(const Statement& s)
{
  SessionSummary r;
  r.id = s.integer(0);
  r.patientId = s.integer(1);
  r.planId = s.integer(2);
  r.planName = s.text(3);
  r.firstExercise = static_cast<int>(s.integer(4));
  r.started = s.real(5);
  r.ended = s.real(6);
  r.outcome = s.text(7);
  r.exercisesPlayed = static_cast<int>(s.integer(8));
  r.exercisesRecorded = static_cast<int>(s.integer(9));
  r.exercisesTotal = r.exercisesRecorded;
  r.playingTime = s.real(10);
  r.meanEffort = s.real(11);
  r.meanPain = s.real(12);
  r.planItems = textList(s.text(14));
  r.planSpeed = s.real(15);
  r.planKept = planKeptFrom(s.text(16));
  r.lastSpeed = s.real(17);
  r.resumes = s.integer(18);
  r.resumedIn = s.integer(19);
  r.room = s.text(20);
  r.planMirror = s.integer(21) != 0;
  // "N of M": M is what the session was started to play, from its own copy of
  // the plan; a session kept without one counts what it recorded.
  if (!r.planItems.empty() && r.firstExercise <= static_cast<int>(r.planItems.size()))
    r.exercisesTotal = static_cast<int>(r.planItems.size()) - r.firstExercise + 1;
  const std::string last = s.text(13);
  const std::size_t blank = last.find(' ');
  const int position = blank == std::string::npos ? 0 : std::atoi(last.c_str());
  r.resumeAt = resumePoint(r.outcome, r.resumedIn != 0, r.firstExercise, position,
                           blank == std::string::npos ? "" : last.substr(blank + 1));
  return r;
}

ExerciseRecord exerciseRow(const Statement& s)
{
  ExerciseRecord r;
  r.position = static_cast<int>(s.integer(0));
  r.recording = s.text(1);
  r.outcome = s.text(2);
  r.playingTime = s.real(3);
  r.pausedTime = s.real(4);
  r.trackingWait = s.real(5);
  r.timeoutFired = s.integer(6) != 0;
  r.speeds = speedsFromJson(s.text(7));
  r.movingJoints = json::parse(s.text(8), nullptr, false).get<std::vector<int>>();
  r.variances = json::parse(s.text(9), nullptr, false).get<std::vector<double>>();
  ExerciseTracking& t = r.tracking;
  t.present = !s.isNull(10);
  t.endedBy = t.present ? s.text(10) : "";
  t.seen = s.integer(11) != 0;
  t.seconds = s.real(12);
  t.follow = s.isNull(13) ? -1 : s.real(13);
  return r;
}

// Each exercise's joints, in the order the tracker gave them.
std::string readRanges(SqlConnection& db, int64_t sessionId, std::vector<ExerciseRecord>& exercises)
{
  Statement s(db,
              "SELECT seq, joint, seen, person_degrees, robot_degrees FROM exercise_ranges WHERE session_id = ?"
              " ORDER BY seq, place");
  s.bind(1, sessionId);
  while (s.step())
  {
    const int64_t seq = s.integer(0);
    if (seq >= 0 && seq < static_cast<int64_t>(exercises.size()))
      exercises[seq].tracking.joints.push_back({s.text(1), s.integer(2) != 0, s.real(3), s.real(4)});
  }
  return s.error();
}

const char* const kRangesSql =
    "SELECT s.id, s.started, r.joint, max(r.person_degrees), max(r.robot_degrees)"
    " FROM sessions s JOIN exercise_ranges r ON r.session_id = s.id"
    " WHERE s.patient_id = ? AND r.seen = 1 AND s.id IN"
    " (SELECT id FROM sessions WHERE patient_id = ? ORDER BY started DESC, id DESC LIMIT ?)"
    " GROUP BY s.id, s.started, r.joint ORDER BY s.started, s.id, r.joint";
}  // namespace

Result<std::vector<ExerciseRecord>> ClinicStore::exercisesLocked(int64_t sessionId)
{
  Statement known(db_, "SELECT 1 FROM sessions WHERE id = ?");
  if (!known.bind(1, sessionId).step())
    return known.error().empty() ? unknownSession<std::vector<ExerciseRecord>>()
                                 : failed<std::vector<ExerciseRecord>>(known.error());
  Statement s(db_,
              "SELECT position, recording, outcome, playing_time, paused_time, tracking_wait, timeout_fired,"
              " speeds, moving_joints, variances, tracked_by, tracking_seen, tracking_seconds, follow"
              " FROM session_exercises WHERE session_id = ? ORDER BY seq");
  Result<std::vector<ExerciseRecord>> r;
  s.bind(1, sessionId);
  while (s.step())
    r.value.push_back(exerciseRow(s));
  const std::string error = !s.error().empty() ? s.error() : readRanges(db_, sessionId, r.value);
  return error.empty() ? r : failed<std::vector<ExerciseRecord>>(error);
}

Result<std::vector<SessionRange>> ClinicStore::sessionRanges(int64_t patientId, int latest)
{
  Lock lock(mutex_);
  Statement s(db_, kRangesSql);
  // LIMIT -1 is no limit on SQLite only: the server takes a number of rows.
  s.bind(1, patientId).bind(2, patientId).bind(3, latest > 0 ? static_cast<int64_t>(latest) : INT64_C(1) << 40);
  Result<std::vector<SessionRange>> r;
  while (s.step())
    r.value.push_back({s.integer(0), s.real(1), s.text(2), s.real(3), s.real(4)});
  return s.error().empty() ? r : failed<std::vector<SessionRange>>(s.error());
}

Result<std::vector<ExerciseRecord>> ClinicStore::exercises(int64_t sessionId)
{
  Lock lock(mutex_);
  return exercisesLocked(sessionId);
}

Result<std::vector<SessionSummary>> ClinicStore::summaries(const char* where, int64_t id, int latest)
{
  // where: fixed text. The latest few are taken newest first, then turned.
  const std::string order =
      latest > 0 ? " ORDER BY s.started DESC, s.id DESC LIMIT " + std::to_string(latest) : " ORDER BY s.started, s.id";
  Statement s(db_, std::string(kSummarySql) + where + order);
  Result<std::vector<SessionSummary>> r;
  s.bind(1, id);
  while (s.step())
    r.value.push_back(summaryRow(s));
  if (latest > 0)
    std::reverse(r.value.begin(), r.value.end());
  return s.error().empty() ? r : failed<std::vector<SessionSummary>>(s.error());
}

Result<int64_t> ClinicStore::sessionCount(int64_t patientId)
{
  Lock lock(mutex_);
  Statement s(db_, "SELECT count(*) FROM sessions WHERE patient_id = ?");
  Result<int64_t> r;
  if (s.bind(1, patientId).step())
    r.value = s.integer(0);
  return s.error().empty() ? r : failed<int64_t>(s.error());
}

Result<std::vector<SessionSummary>> ClinicStore::sessions(int64_t patientId, int latest)
{
  Lock lock(mutex_);
  Statement known(db_, "SELECT 1 FROM patients WHERE id = ?");
  if (!known.bind(1, patientId).step())
    return known.error().empty()
               ? refused<std::vector<SessionSummary>>(
                     "This patient is not in the records (they may have been deleted).", Fault::kNotFound)
               : failed<std::vector<SessionSummary>>(known.error());
  return summaries("s.patient_id = ?", patientId, latest);
}

Result<SessionSummary> ClinicStore::session(int64_t sessionId)
{
  Lock lock(mutex_);
  Result<std::vector<SessionSummary>> one = summaries("s.id = ?", sessionId);
  if (one.ok() && one.value.empty())
    return unknownSession<SessionSummary>();
  if (!one.ok())
    return Result<SessionSummary>::failAs(one);
  Result<SessionSummary> r;
  r.value = one.value.front();
  return r;
}
}  // namespace nao_kinora_console
