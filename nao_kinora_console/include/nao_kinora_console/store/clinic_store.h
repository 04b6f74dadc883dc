// The clinic's store: patients (by code only), their plans, the sessions they
// played and the check-ins, in one SQLite file. Every write is one
// transaction; a killed console leaves what was committed and nothing half
// written. Errors come back as values naming what is at fault.
//
//   auto opened = ClinicStore::open(defaultDatabasePath());
//   if (!opened.ok()) { ROS_ERROR("%s", opened.error.c_str()); return 1; }
//   ClinicStore& store = *opened.value;
//   const auto patient = store.addPatient("P-0007", "");
//   const auto plan = store.savePlan(patient.value, "week 1", 1.0, {"01_a.txt", "02_b.txt"});
//   const auto session = store.beginSession({patient.value, plan.value, 1, logPath});
//   store.ingestLog(session.value);  // as often as the log grows
#ifndef NAO_KINORA_CONSOLE_CLINIC_STORE_H
#define NAO_KINORA_CONSOLE_CLINIC_STORE_H

#include "nao_kinora_console/store/clinic_records.h"
#include "nao_kinora_console/store/sqlite_db.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace nao_kinora_console
{
struct SessionFold;

// The schema this code writes; a file with a higher version is refused.
const int kSchemaVersion = 3;

// ~/.ros/nao_kinora/clinic.db, with ROS_HOME in place of ~/.ros when set.
std::string defaultDatabasePath();

struct SessionStart
{
  int64_t patientId = 0;
  int64_t planId = 0;     // 0: no plan
  int firstExercise = 1;  // the node's _first_recording
  std::string logPath;    // the node's session log; read from its size now on
  double speed = 0;       // 0: the plan's (1.0 without a plan), or the speed the resumed session last ran at
  double started = 0;     // wall time; 0: now
  // The session this one takes up again; its copy of the plan is played,
  // not the plan as it stands now. A session is taken up again once only.
  int64_t resumes = 0;
};

// A patient's deleted sessions' logs, for the caller to remove with their files.
using DeletedLogs = Result<std::vector<std::string>>;

class ClinicStore
{
public:
  // Opens the file (creating it, mode 0600, and its folder, 0700, when
  // missing) and brings its schema up to date. Refuses, naming the file, a
  // file of a newer schema, a corrupt or unreadable one, or another
  // program's database; such a file is left as it is.
  static Result<std::unique_ptr<ClinicStore>> open(const std::string& path);
  const std::string& path() const { return path_; }

  // Codes are compared without case: P-0001 and p-0001 are one patient.
  Result<int64_t> addPatient(const std::string& code, const std::string& note);
  Status setPatientNote(int64_t patientId, const std::string& note);
  Result<std::vector<Patient>> patients();
  Result<Patient> patient(int64_t patientId);
  Result<Patient> patientByCode(const std::string& code);
  // Deletes the patient and everything of theirs, leaving no trace of them
  // in the file; gives back their sessions' logs. confirmCode must be the
  // patient's code, as typed. Refused while a session of theirs runs.
  DeletedLogs deletePatient(int64_t patientId, const std::string& confirmCode);

  Result<int64_t> savePlan(int64_t patientId, const std::string& name, double speed,
                           const std::vector<std::string>& items);
  // Replaces name, speed and items at once: of two edits, the last wins whole.
  // Sessions keep their own copy: an edit or a delete changes none of them.
  Status updatePlan(int64_t planId, const std::string& name, double speed, const std::vector<std::string>& items);
  Status deletePlan(int64_t planId);
  Result<std::vector<Plan>> plans(int64_t patientId);
  Result<Plan> plan(int64_t planId);

  // Stores the session with its copy of the plan (name, items, speed): from
  // the plan, or from the session it resumes.
  Result<int64_t> beginSession(const SessionStart& start);
  // Reads what the session's log gained since the last read and stores the
  // exercises it tells of, with the new offset, in one transaction.
  Result<SessionSummary> ingestLog(int64_t sessionId);
  // For a session whose node is gone without ending it: "interrupted".
  Status closeSession(int64_t sessionId);
  // Removes a session in which nothing was played (its node refused to
  // start); refuses one that holds an exercise.
  Status discardSession(int64_t sessionId);
  // The node's session log the session is read from.
  Result<std::string> sessionLog(int64_t sessionId);
  // Sessions still running, for a console started again to go on reading.
  Result<std::vector<int64_t>> runningSessions();
  Result<std::vector<SessionSummary>> sessions(int64_t patientId);
  Result<SessionSummary> session(int64_t sessionId);
  Result<std::vector<ExerciseRecord>> exercises(int64_t sessionId);

  // Only an exercise played in the session (one with a record) is rated.
  // Answers given replace those before; a blank leaves its answer as it
  // was, and an answer all blank changes nothing (value false).
  Result<bool> addCheckin(const Checkin& checkin);
  Result<std::vector<Checkin>> checkins(int64_t sessionId);

  // One patient's whole record: JSON, and CSV with one row per exercise,
  // its times in ISO 8601 with the offset and its joints named by jointName.
  Result<std::string> exportJson(int64_t patientId);
  Result<std::string> exportCsv(int64_t patientId, const std::function<std::string(int)>& jointName);

private:
  ClinicStore() = default;
  std::string prepare();
  std::string setUp(int64_t version);
  Result<std::vector<SessionSummary>> summaries(const char* where, int64_t id);
  Result<SessionSummary> ingest(int64_t sessionId, bool close);
  std::string storeFold(int64_t sessionId, const SessionFold& fold, double started, int64_t offset);
  std::string storeExercises(int64_t sessionId, const std::vector<ExerciseRecord>& exercises);
  Result<std::vector<ExerciseRecord>> exercisesLocked(int64_t sessionId);
  Result<Patient> patientWhere(const char* sql, const std::string& key, int64_t id);
  Result<std::vector<Plan>> plansLocked(int64_t patientId);
  std::string fault(const std::string& what) const;
  template <class T>
  Result<T> failed(const std::string& what) const
  {
    return Result<T>::fail(fault(what), Fault::kDatabase);
  }

  std::string path_;
  Database db_;
  std::mutex mutex_;  // one connection, shared by the server's threads
};
}  // namespace nao_kinora_console

#endif  // NAO_KINORA_CONSOLE_CLINIC_STORE_H
