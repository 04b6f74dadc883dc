// Sessions as they are played: begun by the console, filled from the node's
// session log, closed or discarded.
#include "nao_kinora_console/records/clinic_store.h"
#include "nao_kinora_console/http/json_text.h"

#include "nao_kinora_console/records/clinic_rules.h"
#include "nao_kinora_console/records/session_ingest.h"
#include "session_results.h"

#include <sys/stat.h>

#include <algorithm>

namespace nao_kinora_console
{
namespace
{
using Lock = std::lock_guard<std::mutex>;
using nlohmann::json;

int64_t fileSize(const std::string& path)
{
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : 0;
}

// A plan's items as a JSON list, in playing order.
std::string planItemsText(SqlConnection& db, int64_t planId)
{
  Statement items(db, "SELECT recording FROM plan_items WHERE plan_id = ? ORDER BY position");
  json list = json::array();
  items.bind(1, planId);
  while (items.step())
    list.push_back(items.text(0));
  return jsonText(list);
}
}  // namespace

Result<int64_t> ClinicStore::beginSession(const SessionStart& start)
{
  if (start.speed != 0 && !checkSpeed(start.speed).empty())
    return refused<int64_t>(checkSpeed(start.speed));
  if (start.firstExercise < 1)
    return refused<int64_t>("first exercise: " + std::to_string(start.firstExercise) + "; from 1");
  if (start.logPath.empty())
    return refused<int64_t>("session log: no file given");
  Lock lock(mutex_);
  bool patientBusy = false;
  const Result<int64_t> r = insertSession(start, patientBusy);
  // Read once the refused transaction is over (on the server it is void).
  return patientBusy ? whereRunning(start.patientId) : r;
}

// In one transaction: the resumed session not taken up yet, the copy of the
// plan, the new row. A second running session of the patient, from any room,
// is refused by the index of running sessions (patientBusy).
Result<int64_t> ClinicStore::insertSession(const SessionStart& start, bool& patientBusy)
{
  Transaction t(db_);
  if (start.resumes != 0)
  {
    Statement taken(db_, "SELECT id FROM sessions WHERE resumes = ?");
    if (taken.bind(1, start.resumes).step())
      return refused<int64_t>("This session was already resumed (session " + std::to_string(taken.integer(0)) +
                                  "): resume the last session of the chain instead.",
                              Fault::kConflict);
  }
  // The copy of the plan: the plan's now, or the resumed session's own.
  int64_t planId = 0;
  std::string name, items = "[]";
  double speed = 1.0;
  int64_t mirror = 1;
  if (start.resumes != 0 || start.planId != 0)
  {
    Statement from(db_, start.resumes != 0
                            ? "SELECT COALESCE(plan_id, 0), plan_name, plan_items, last_speed, plan_mirror"
                              " FROM sessions WHERE id = ? AND patient_id = ?"
                            : "SELECT id, name, '', speed, mirror FROM plans WHERE id = ? AND patient_id = ?");
    if (!from.bind(1, start.resumes != 0 ? start.resumes : start.planId).bind(2, start.patientId).step())
      return !from.error().empty() ? failed<int64_t>(from.error())
             : start.resumes != 0
                 ? unknownSession<int64_t>()
                 : refused<int64_t>("This plan is not in the records (it may have been deleted).", Fault::kNotFound);
    planId = from.integer(0);
    name = from.text(1);
    items = start.resumes != 0 ? from.text(2) : planItemsText(db_, planId);
    speed = from.real(3);
    mirror = from.integer(4);
  }
  // The server gives a value in a SELECT list no type of its own: each is cast.
  Statement s(db_,
              "INSERT INTO sessions(patient_id, plan_id, plan_name, plan_items, plan_kept, first_exercise, speed,"
              " last_speed, resumes, started, outcome, log_path, log_offset, room, plan_mirror)"
              " SELECT id, NULLIF(CAST(? AS BIGINT), 0), CAST(? AS TEXT), CAST(? AS TEXT), 'start', CAST(? AS BIGINT),"
              " CAST(? AS DOUBLE PRECISION), CAST(? AS DOUBLE PRECISION), NULLIF(CAST(? AS BIGINT), 0),"
              " CAST(? AS DOUBLE PRECISION), 'running', CAST(? AS TEXT), CAST(? AS BIGINT), CAST(? AS TEXT),"
              " CAST(? AS BIGINT) FROM patients WHERE id = ? RETURNING id");
  speed = start.speed != 0 ? start.speed : speed;
  s.bind(1, planId).bind(2, name).bind(3, items).bind(4, start.firstExercise).bind(5, speed).bind(6, speed);
  s.bind(7, start.resumes).bind(8, start.started > 0 ? start.started : wallNow()).bind(9, start.logPath);
  s.bind(10, fileSize(start.logPath)).bind(11, room_).bind(12, mirror).bind(13, start.patientId);
  const bool added = t.error().empty() && s.step();
  std::string error = !t.error().empty() ? t.error() : s.error();
  patientBusy = s.failure().fault == SqlFault::kTaken;
  if (error.empty() && !added)
    return refused<int64_t>("This patient is not in the records (they may have been deleted).", Fault::kNotFound);
  Result<int64_t> r;
  r.value = s.integer(0);
  if (error.empty())
    error = t.commit();
  return error.empty() ? r : failed<int64_t>(error);
}

std::string ClinicStore::storeExercises(int64_t sessionId, const std::vector<ExerciseRecord>& exercises)
{
  Statement clearRanges(db_, "DELETE FROM exercise_ranges WHERE session_id = ?");
  Statement clear(db_, "DELETE FROM session_exercises WHERE session_id = ?");
  std::string error = clearRanges.bind(1, sessionId).run();
  if (error.empty())
    error = clear.bind(1, sessionId).run();
  Statement add(db_,
                "INSERT INTO session_exercises(session_id, seq, position, recording, outcome, playing_time,"
                " paused_time, tracking_wait, timeout_fired, speeds, moving_joints, variances, tracked_by,"
                " tracking_seen, tracking_seconds, follow) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
  for (std::size_t i = 0; i < exercises.size() && error.empty(); ++i)
  {
    const ExerciseRecord& r = exercises[i];
    const ExerciseTracking& t = r.tracking;
    add.bind(1, sessionId).bind(2, static_cast<int64_t>(i)).bind(3, r.position).bind(4, r.recording);
    add.bind(5, r.outcome).bind(6, r.playingTime).bind(7, r.pausedTime).bind(8, r.trackingWait);
    add.bind(9, r.timeoutFired ? 1 : 0).bind(10, jsonText(speedsToJson(r.speeds)));
    add.bind(11, jsonText(json(r.movingJoints))).bind(12, jsonText(json(r.variances)));
    if (t.present)
      add.bind(13, t.endedBy);
    else
      add.bindNull(13);
    add.bind(14, t.seen ? 1 : 0).bind(15, t.seconds);
    if (t.follow >= 0)
      add.bind(16, t.follow);
    else
      add.bindNull(16);
    error = add.run();
    add.reset();
    if (error.empty())
      error = storeRanges(sessionId, static_cast<int64_t>(i), t.joints);
  }
  return error;
}

std::string ClinicStore::storeRanges(int64_t sessionId, int64_t seq, const std::vector<JointRange>& joints)
{
  Statement add(db_,
                "INSERT INTO exercise_ranges(session_id, seq, place, joint, seen, person_degrees, robot_degrees)"
                " VALUES (?, ?, ?, ?, ?, ?, ?)");
  std::string error;
  for (std::size_t k = 0; k < joints.size() && error.empty(); ++k)
  {
    const JointRange& j = joints[k];
    add.bind(1, sessionId).bind(2, seq).bind(3, static_cast<int64_t>(k)).bind(4, j.joint);
    error = add.bind(5, j.seen ? 1 : 0).bind(6, j.person).bind(7, j.robot).run();
    add.reset();
  }
  return error;
}

Result<SessionSummary> ClinicStore::ingestLog(int64_t sessionId)
{
  return ingest(sessionId, false);
}

Status ClinicStore::closeSession(int64_t sessionId)
{
  const Result<SessionSummary> closed = ingest(sessionId, true);
  return closed.ok() ? done() : Status::failAs(closed);
}

Status ClinicStore::discardSession(int64_t sessionId)
{
  Lock lock(mutex_);
  Transaction t(db_);
  Statement s(db_,
              "DELETE FROM sessions WHERE id = ? AND NOT EXISTS"
              " (SELECT 1 FROM session_exercises e WHERE e.session_id = sessions.id)");
  std::string error = t.error().empty() ? s.bind(1, sessionId).run() : t.error();
  if (error.empty() && db_.changes() == 0)
    return refused<bool>("This session cannot be discarded: it is not in the records, or an exercise of it was played.",
                         Fault::kConflict);
  if (error.empty())
    error = t.commit();
  return error.empty() ? done() : failed<bool>(error);
}

Result<std::string> ClinicStore::sessionLog(int64_t sessionId)
{
  Lock lock(mutex_);
  Statement s(db_, "SELECT log_path FROM sessions WHERE id = ?");
  if (!s.bind(1, sessionId).step())
    return s.error().empty() ? unknownSession<std::string>() : failed<std::string>(s.error());
  Result<std::string> r;
  r.value = s.text(0);
  return r;
}

// Reads the log from the stored offset and stores what it told, the offset
// and the fold's open state in one transaction: a kill at any point leaves
// either all of it or none, and the next read starts where the last commit did.
Result<SessionSummary> ClinicStore::ingest(int64_t sessionId, bool close, bool readLog)
{
  std::unique_lock<std::mutex> lock(mutex_);
  Transaction t(db_);
  Statement s(db_, "SELECT log_path, log_offset, fold_state, started, speed, outcome FROM sessions WHERE id = ?");
  if (!t.error().empty() || !s.bind(1, sessionId).step())
    return !t.error().empty()  ? failed<SessionSummary>(t.error())
           : s.error().empty() ? unknownSession<SessionSummary>()
                               : failed<SessionSummary>(s.error());
  const std::string path = s.text(0);
  const double started = s.real(3);
  // A session over is read on until it is closed: the person tracker's
  // result for its last exercise comes during the node's closing cue.
  const bool running = s.text(5) == "running" || !s.isNull(2);
  SessionFold fold;
  fold.speed = s.real(4);
  Result<std::vector<ExerciseRecord>> stored = exercisesLocked(sessionId);
  fold.exercises = stored.value;
  if (!s.isNull(2) && !foldFromJson(s.text(2), fold))
    return failed<SessionSummary>("session " + std::to_string(sessionId) + ": its stored reading state is damaged");
  LogPiece piece;
  piece.nextOffset = s.integer(1);
  if (readLog && running && (piece.nextOffset > 0 || fileSize(path) > 0))
    piece = readLogPiece(path, piece.nextOffset);
  if (!piece.error.empty())
    return Result<SessionSummary>::fail(piece.error, Fault::kDatabase);
  for (const json& event : piece.events)
    applyEvent(fold, event);
  if (close && fold.outcome == "running")
    applyEvent(fold, {{"event", "shutdown"}, {"time", fold.lastTime}});
  std::string error = stored.error;
  if (error.empty() && running)
    error = storeExercises(sessionId, fold.exercises);
  if (error.empty() && running)
    error = storeFold(sessionId, fold, started, piece.nextOffset);
  // Closed: its node has ended, nothing more will be read.
  Statement closed(db_, "UPDATE sessions SET fold_state = NULL WHERE id = ? AND outcome != 'running'");
  if (error.empty() && close)
    error = closed.bind(1, sessionId).run();
  if (error.empty())
    error = t.commit();
  if (!error.empty())
    return failed<SessionSummary>(error);
  Result<std::vector<SessionSummary>> one = summaries("s.id = ?", sessionId);
  Result<SessionSummary> r;
  r.error = one.error;
  if (one.ok() && !one.value.empty())
    r.value = one.value.front();
  return r;
}

std::string ClinicStore::storeFold(int64_t sessionId, const SessionFold& fold, double started, int64_t offset)
{
  const bool over = fold.outcome != "running";
  Statement s(db_,
              "UPDATE sessions SET log_offset = ?, fold_state = ?, outcome = ?, ended = ?, last_speed = ?"
              " WHERE id = ?");
  s.bind(1, offset);
  // Its open state stays until the session is closed. Its end is in wall time: the log's length added to the start, but
  // never later than now (under a simulated clock the log's seconds run faster than the wall's).
  const double length = fold.endTime - (fold.firstTime < 0 ? fold.endTime : fold.firstTime);
  s.bind(2, jsonText(foldToJson(fold)));
  if (over)
    s.bind(4, std::max(started, std::min(wallNow(), started + length)));
  else
    s.bindNull(4);
  return s.bind(3, fold.outcome).bind(5, fold.speed).bind(6, sessionId).run();
}

}  // namespace nao_kinora_console
