// Sessions as they are played: begun by the console, filled from the node's
// session log, read back as the patient's history; and the check-ins.
#include "nao_kinora_console/store/clinic_store.h"

#include "nao_kinora_console/store/clinic_rules.h"
#include "nao_kinora_console/store/session_ingest.h"

#include <sys/stat.h>

namespace nao_kinora_console
{
namespace
{
using Lock = std::lock_guard<std::mutex>;
using nlohmann::json;

template <class T>
Result<T> failed(const std::string& why)
{
  return Result<T>::fail(why);
}

std::string unknownSession(int64_t id)
{
  return "no session with id " + std::to_string(id);
}

int64_t fileSize(const std::string& path)
{
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : 0;
}

// Where a session that did not complete would go on: the exercise it
// stopped in, or the next one after an exercise played fully.
int resumePoint(const std::string& outcome, int first, int lastPosition, const std::string& lastOutcome)
{
  if (outcome == "completed")
    return 0;
  if (lastPosition == 0)
    return first;
  return lastOutcome == "played" || lastOutcome == "unplayable" ? lastPosition + 1 : lastPosition;
}

const char* const kSummarySql =
    "SELECT s.id, s.patient_id, IFNULL(s.plan_id, 0), s.plan_name, s.first_exercise, s.started,"
    " IFNULL(s.ended, 0), s.outcome,"
    " (SELECT count(*) FROM session_exercises e WHERE e.session_id = s.id AND e.outcome = 'played'),"
    " (SELECT count(*) FROM session_exercises e WHERE e.session_id = s.id),"
    " (SELECT IFNULL(sum(playing_time), 0) FROM session_exercises e WHERE e.session_id = s.id),"
    " (SELECT IFNULL(avg(effort), -1) FROM checkins c WHERE c.session_id = s.id),"
    " (SELECT IFNULL(avg(pain), -1) FROM checkins c WHERE c.session_id = s.id),"
    " (SELECT position || ' ' || outcome FROM session_exercises e WHERE e.session_id = s.id"
    "  ORDER BY seq DESC LIMIT 1)"
    " FROM sessions s WHERE ";

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
  r.exercisesTotal = static_cast<int>(s.integer(9));
  r.playingTime = s.real(10);
  r.meanEffort = s.real(11);
  r.meanPain = s.real(12);
  const std::string last = s.text(13);
  const std::size_t blank = last.find(' ');
  const int position = blank == std::string::npos ? 0 : std::atoi(last.c_str());
  r.resumeAt =
      resumePoint(r.outcome, r.firstExercise, position, blank == std::string::npos ? "" : last.substr(blank + 1));
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
  r.speeds = json::parse(s.text(7), nullptr, false).get<std::vector<double>>();
  r.movingJoints = json::parse(s.text(8), nullptr, false).get<std::vector<int>>();
  r.variances = json::parse(s.text(9), nullptr, false).get<std::vector<double>>();
  return r;
}
}  // namespace

Result<int64_t> ClinicStore::beginSession(const SessionStart& start)
{
  if (start.speed != 0 && !checkSpeed(start.speed).empty())
    return failed<int64_t>(checkSpeed(start.speed));
  if (start.firstExercise < 1)
    return failed<int64_t>("first exercise: " + std::to_string(start.firstExercise) + "; from 1");
  if (start.logPath.empty())
    return failed<int64_t>("session log: no file given");
  Lock lock(mutex_);
  Transaction t(db_);
  // The plan must be the patient's: the subquery finds none otherwise.
  Statement s(db_,
              "INSERT INTO sessions(patient_id, plan_id, plan_name, first_exercise, speed, started, outcome,"
              " log_path, log_offset)"
              " SELECT p.id, pl.id, IFNULL(pl.name, ''), ?, IFNULL(NULLIF(?, 0), IFNULL(pl.speed, 1.0)), ?,"
              " 'running', ?, ? FROM patients p LEFT JOIN plans pl ON pl.id = ? AND pl.patient_id = p.id"
              " WHERE p.id = ? AND (? = 0 OR pl.id IS NOT NULL)");
  s.bind(1, start.firstExercise).bind(2, start.speed).bind(3, start.started > 0 ? start.started : wallNow());
  s.bind(4, start.logPath).bind(5, fileSize(start.logPath)).bind(6, start.planId).bind(7, start.patientId);
  std::string error = t.error().empty() ? s.bind(8, start.planId).run() : t.error();
  if (error.empty() && db_.changes() == 0)
    return failed<int64_t>(start.planId == 0 ? "no patient with id " + std::to_string(start.patientId)
                                             : "no plan with id " + std::to_string(start.planId) +
                                                   " of a patient with id " + std::to_string(start.patientId));
  Result<int64_t> r;
  r.value = db_.lastInsertId();
  if (error.empty())
    error = t.commit();
  return error.empty() ? r : failed<int64_t>(fault(error));
}

std::string ClinicStore::storeExercises(int64_t sessionId, const std::vector<ExerciseRecord>& exercises)
{
  Statement clear(db_, "DELETE FROM session_exercises WHERE session_id = ?");
  std::string error = clear.bind(1, sessionId).run();
  Statement add(db_,
                "INSERT INTO session_exercises(session_id, seq, position, recording, outcome, playing_time,"
                " paused_time, tracking_wait, timeout_fired, speeds, moving_joints, variances)"
                " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
  for (std::size_t i = 0; i < exercises.size() && error.empty(); ++i)
  {
    const ExerciseRecord& r = exercises[i];
    add.bind(1, sessionId).bind(2, static_cast<int64_t>(i)).bind(3, r.position).bind(4, r.recording);
    add.bind(5, r.outcome).bind(6, r.playingTime).bind(7, r.pausedTime).bind(8, r.trackingWait);
    add.bind(9, r.timeoutFired ? 1 : 0).bind(10, json(r.speeds).dump()).bind(11, json(r.movingJoints).dump());
    error = add.bind(12, json(r.variances).dump()).run();
    add.reset();
  }
  return error;
}

Result<std::vector<ExerciseRecord>> ClinicStore::exercisesLocked(int64_t sessionId)
{
  Statement known(db_, "SELECT 1 FROM sessions WHERE id = ?");
  if (!known.bind(1, sessionId).step())
    return failed<std::vector<ExerciseRecord>>(known.error().empty() ? unknownSession(sessionId)
                                                                     : fault(known.error()));
  Statement s(db_,
              "SELECT position, recording, outcome, playing_time, paused_time, tracking_wait, timeout_fired,"
              " speeds, moving_joints, variances FROM session_exercises WHERE session_id = ? ORDER BY seq");
  Result<std::vector<ExerciseRecord>> r;
  s.bind(1, sessionId);
  while (s.step())
    r.value.push_back(exerciseRow(s));
  if (!s.error().empty())
    r.error = fault(s.error());
  return r;
}

Result<std::vector<ExerciseRecord>> ClinicStore::exercises(int64_t sessionId)
{
  Lock lock(mutex_);
  return exercisesLocked(sessionId);
}

Result<SessionSummary> ClinicStore::ingestLog(int64_t sessionId)
{
  return ingest(sessionId, false);
}

std::string ClinicStore::closeSession(int64_t sessionId)
{
  return ingest(sessionId, true).error;
}

std::string ClinicStore::discardSession(int64_t sessionId)
{
  Lock lock(mutex_);
  Transaction t(db_);
  Statement s(db_,
              "DELETE FROM sessions WHERE id = ? AND NOT EXISTS"
              " (SELECT 1 FROM session_exercises e WHERE e.session_id = sessions.id)");
  std::string error = t.error().empty() ? s.bind(1, sessionId).run() : t.error();
  if (error.empty() && db_.changes() == 0)
    return "session " + std::to_string(sessionId) + ": unknown, or an exercise of it was played";
  return error.empty() ? t.commit() : fault(error);
}

Result<std::string> ClinicStore::sessionLog(int64_t sessionId)
{
  Lock lock(mutex_);
  Statement s(db_, "SELECT log_path FROM sessions WHERE id = ?");
  if (!s.bind(1, sessionId).step())
    return failed<std::string>(s.error().empty() ? unknownSession(sessionId) : fault(s.error()));
  Result<std::string> r;
  r.value = s.text(0);
  return r;
}

// Reads the log from the stored offset and stores what it told, the offset
// and the fold's open state in one transaction: a kill at any point leaves
// either all of it or none, and the next read starts where the last commit did.
Result<SessionSummary> ClinicStore::ingest(int64_t sessionId, bool close)
{
  std::unique_lock<std::mutex> lock(mutex_);
  Transaction t(db_);
  Statement s(db_, "SELECT log_path, log_offset, fold_state, started, speed, outcome FROM sessions WHERE id = ?");
  if (!t.error().empty() || !s.bind(1, sessionId).step())
    return failed<SessionSummary>(!t.error().empty()  ? fault(t.error())
                                  : s.error().empty() ? unknownSession(sessionId)
                                                      : fault(s.error()));
  const std::string path = s.text(0);
  const double started = s.real(3);
  const bool running = s.text(5) == "running";
  SessionFold fold;
  fold.speed = s.real(4);
  Result<std::vector<ExerciseRecord>> stored = exercisesLocked(sessionId);
  fold.exercises = stored.value;
  if (!s.isNull(2) && !foldFromJson(s.text(2), fold))
    return failed<SessionSummary>(
        fault("session " + std::to_string(sessionId) + ": its stored reading state is damaged"));
  LogPiece piece;
  piece.nextOffset = s.integer(1);
  if (running && (piece.nextOffset > 0 || fileSize(path) > 0))
    piece = readLogPiece(path, piece.nextOffset);
  if (!piece.error.empty())
    return failed<SessionSummary>(piece.error);
  for (const json& event : piece.events)
    applyEvent(fold, event);
  if (close && fold.outcome == "running")
    applyEvent(fold, {{"event", "shutdown"}, {"time", fold.lastTime}});
  std::string error = stored.error;
  if (error.empty() && running)
    error = storeExercises(sessionId, fold.exercises);
  if (error.empty() && running)
    error = storeFold(sessionId, fold, started, piece.nextOffset);
  if (error.empty())
    error = t.commit();
  if (!error.empty())
    return failed<SessionSummary>(fault(error));
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
  Statement s(db_, "UPDATE sessions SET log_offset = ?, fold_state = ?, outcome = ?, ended = ? WHERE id = ?");
  s.bind(1, offset);
  // A session over reads nothing more: its open state goes.
  if (over)
    s.bindNull(2).bind(4, started + (fold.endTime - (fold.firstTime < 0 ? fold.endTime : fold.firstTime)));
  else
    s.bind(2, foldToJson(fold).dump()).bindNull(4);
  return s.bind(3, fold.outcome).bind(5, sessionId).run();
}

Result<std::vector<int64_t>> ClinicStore::runningSessions()
{
  Lock lock(mutex_);
  Statement s(db_, "SELECT id FROM sessions WHERE outcome = 'running' ORDER BY id");
  Result<std::vector<int64_t>> r;
  while (s.step())
    r.value.push_back(s.integer(0));
  if (!s.error().empty())
    r.error = fault(s.error());
  return r;
}

Result<std::vector<SessionSummary>> ClinicStore::summaries(const char* where, int64_t id)
{
  Statement s(db_, (std::string(kSummarySql) + where + " ORDER BY s.started, s.id").c_str());  // where: fixed text
  Result<std::vector<SessionSummary>> r;
  s.bind(1, id);
  while (s.step())
    r.value.push_back(summaryRow(s));
  if (!s.error().empty())
    r.error = fault(s.error());
  return r;
}

Result<std::vector<SessionSummary>> ClinicStore::sessions(int64_t patientId)
{
  Lock lock(mutex_);
  Statement known(db_, "SELECT 1 FROM patients WHERE id = ?");
  if (!known.bind(1, patientId).step())
    return failed<std::vector<SessionSummary>>(known.error().empty() ? "no patient with id " + std::to_string(patientId)
                                                                     : fault(known.error()));
  return summaries("s.patient_id = ?", patientId);
}

Result<SessionSummary> ClinicStore::session(int64_t sessionId)
{
  Lock lock(mutex_);
  Result<std::vector<SessionSummary>> one = summaries("s.id = ?", sessionId);
  if (one.ok() && one.value.empty())
    return failed<SessionSummary>(unknownSession(sessionId));
  Result<SessionSummary> r;
  r.error = one.error;
  if (one.ok())
    r.value = one.value.front();
  return r;
}

std::string ClinicStore::addCheckin(const Checkin& c)
{
  std::string why = checkRating("effort", c.effort);
  if (why.empty())
    why = checkRating("pain", c.pain);
  if (why.empty())
    why = checkNote("check-in note", c.note);
  if (!why.empty())
    return why;
  Lock lock(mutex_);
  // Answered again, a check-in replaces the earlier answers.
  Statement s(db_,
              "INSERT OR REPLACE INTO checkins(session_id, position, effort, pain, note, recorded)"
              " SELECT id, ?, NULLIF(?, -1), NULLIF(?, -1), ?, ? FROM sessions WHERE id = ?");
  s.bind(1, c.position).bind(2, c.effort).bind(3, c.pain).bind(4, c.note).bind(5, wallNow());
  if (!s.bind(6, c.sessionId).run().empty())
    return fault(s.error());
  return db_.changes() == 1 ? "" : unknownSession(c.sessionId);
}

Result<std::vector<Checkin>> ClinicStore::checkins(int64_t sessionId)
{
  Lock lock(mutex_);
  Statement s(db_,
              "SELECT position, IFNULL(effort, -1), IFNULL(pain, -1), note FROM checkins"
              " WHERE session_id = ? ORDER BY position");
  Result<std::vector<Checkin>> r;
  s.bind(1, sessionId);
  while (s.step())
    r.value.push_back({sessionId, static_cast<int>(s.integer(0)), static_cast<int>(s.integer(1)),
                       static_cast<int>(s.integer(2)), s.text(3)});
  if (!s.error().empty())
    r.error = fault(s.error());
  return r;
}
}  // namespace nao_kinora_console
