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

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace nao_kinora_console
{
struct SessionFold;

// The schema this code writes; a file with a higher version is refused.
const int kSchemaVersion = 1;

// ~/.ros/nao_kinora/clinic.db, with ROS_HOME in place of ~/.ros when set.
std::string defaultDatabasePath();

struct SessionStart
{
  int64_t patientId = 0;
  int64_t planId = 0;     // 0: no plan
  int firstExercise = 1;  // the node's _first_recording
  std::string logPath;    // the node's session log; read from its size now on
  double speed = 0;       // 0: the plan's (1.0 without a plan)
  double started = 0;     // wall time; 0: now
};

class ClinicStore
{
public:
  // Opens the file (creating it, mode 0600, and its folder, 0700, when
  // missing) and brings its schema up to date. Refuses, naming the file, a
  // file of a newer schema, a corrupt or unreadable one, or another
  // program's database; such a file is left as it is.
  static Result<std::unique_ptr<ClinicStore>> open(const std::string& path);
  const std::string& path() const { return path_; }

  Result<int64_t> addPatient(const std::string& code, const std::string& note);
  std::string setPatientNote(int64_t patientId, const std::string& note);
  Result<std::vector<Patient>> patients();
  Result<Patient> patient(int64_t patientId);
  Result<Patient> patientByCode(const std::string& code);
  // Deletes the patient and everything of theirs, leaving no trace of them
  // in the file. confirmCode must be the patient's code, as typed.
  std::string deletePatient(int64_t patientId, const std::string& confirmCode);

  Result<int64_t> savePlan(int64_t patientId, const std::string& name, double speed,
                           const std::vector<std::string>& items);
  // Replaces name, speed and items at once: of two edits, the last wins whole.
  std::string updatePlan(int64_t planId, const std::string& name, double speed, const std::vector<std::string>& items);
  std::string deletePlan(int64_t planId);
  Result<std::vector<Plan>> plans(int64_t patientId);
  Result<Plan> plan(int64_t planId);

  Result<int64_t> beginSession(const SessionStart& start);
  // Reads what the session's log gained since the last read and stores the
  // exercises it tells of, with the new offset, in one transaction.
  Result<SessionSummary> ingestLog(int64_t sessionId);
  // For a session whose node is gone without ending it: "interrupted".
  std::string closeSession(int64_t sessionId);
  // Removes a session in which nothing was played (its node refused to
  // start); refuses one that holds an exercise.
  std::string discardSession(int64_t sessionId);
  // The node's session log the session is read from.
  Result<std::string> sessionLog(int64_t sessionId);
  // Sessions still running, for a console started again to go on reading.
  Result<std::vector<int64_t>> runningSessions();
  Result<std::vector<SessionSummary>> sessions(int64_t patientId);
  Result<SessionSummary> session(int64_t sessionId);
  Result<std::vector<ExerciseRecord>> exercises(int64_t sessionId);

  std::string addCheckin(const Checkin& checkin);
  Result<std::vector<Checkin>> checkins(int64_t sessionId);

  // One patient's whole record: JSON, and CSV with one row per exercise.
  Result<std::string> exportJson(int64_t patientId);
  Result<std::string> exportCsv(int64_t patientId);

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

  std::string path_;
  Database db_;
  std::mutex mutex_;  // one connection, shared by the server's threads
};
}  // namespace nao_kinora_console

#endif  // NAO_KINORA_CONSOLE_CLINIC_STORE_H
