// The clinic's store: patients (by code only), their plans, the sessions they
// played and the check-ins, in one SQLite file or on a PostgreSQL server
// shared by the consoles of several rooms. Every write is one transaction; a
// killed console leaves what was committed and nothing half written. Errors
// come back as values naming what is at fault.
//
//   auto opened = ClinicStore::open(defaultDatabasePath(), "Room 2");
//   if (!opened.ok()) { ROS_ERROR("%s", opened.error.c_str()); return 1; }
//   ClinicStore& store = *opened.value;
//   const auto patient = store.addPatient("P-0007", "");
//   const auto plan = store.savePlan(patient.value, "week 1", 1.0, {"01_a.txt", "02_b.txt"});
//   const auto session = store.beginSession({patient.value, plan.value, 1, logPath});
//   store.ingestLog(session.value);  // as often as the log grows
#ifndef NAO_KINORA_CONSOLE_CLINIC_STORE_H
#define NAO_KINORA_CONSOLE_CLINIC_STORE_H

#include "nao_kinora_console/records/clinic_records.h"
#include "nao_kinora_console/db/sql_connection.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace nao_kinora_console
{
struct SessionFold;

// The schema this code writes; a database with a higher version is refused.
const int kSchemaVersion = 7;

// ~/.ros/nao_kinora/clinic.db, with ROS_HOME in place of ~/.ros when set.
std::string defaultDatabasePath();

// The file beside which the console keeps what is its own (the session logs,
// the certificate): the database, or defaultDatabasePath() when the database
// is a server. Its folder is made (0700) when missing; "" and why when it cannot be.
std::string localFileFor(const std::string& database, std::string& error);

// This machine's name, the room a console is in unless told otherwise.
std::string hostRoomName();
// Why a room's name cannot be used ("" when it can): a name a therapist
// reads, printable UTF-8 of 1 to 40 characters.
std::string checkRoomName(const std::string& room);

// A room and what runs in it now.
struct RoomSession
{
  int64_t sessionId = 0;
  int64_t patientId = 0;
  std::string patientCode;
  int position = 0;       // the exercise it is in (its place in the plan); 0: none begun yet
  std::string recording;  // that exercise's file
  double started = 0;     // wall time
};
struct RoomNow
{
  std::string name;
  double seen = 0;  // when a console of this room was last seen serving (wall time)
  std::vector<RoomSession> running;
};

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
  // missing) or the server's database ("postgresql://USER@HOST:PORT/DB") and
  // brings its schema up to date. Refuses, naming the file or the server, a
  // database of a newer schema, a corrupt or unreadable one, another
  // program's database or a server that cannot be reached; such a database is
  // left as it is. Sessions begun here belong to room; sessions of a database
  // older than rooms are taken to be this room's.
  // inRoom false: opened by a tool that is no console (the accounts' command
  // line), which serves no room: the rooms' list does not name it.
  static Result<std::unique_ptr<ClinicStore>> open(const std::string& where, const std::string& room = hostRoomName(),
                                                   bool inRoom = true);
  // The file, or host:port/database.
  const std::string& path() const { return path_; }
  const std::string& room() const { return room_; }

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

  // mirror: the person tracker's side matching for the plan (Plan::mirror).
  Result<int64_t> savePlan(int64_t patientId, const std::string& name, double speed,
                           const std::vector<std::string>& items, bool mirror = true);
  // Replaces name, speed, items and mirror at once: of two edits, the last
  // wins whole. Sessions keep their own copy: an edit or a delete changes none of them.
  Status updatePlan(int64_t planId, const std::string& name, double speed, const std::vector<std::string>& items,
                    bool mirror = true);
  Status deletePlan(int64_t planId);
  Result<std::vector<Plan>> plans(int64_t patientId);
  Result<Plan> plan(int64_t planId);

  // Stores the session, in this room, with its copy of the plan (name,
  // items, speed): from the plan, or from the session it resumes. Refused
  // (kConflict, naming the room) while the patient is in a running session,
  // here or in another room: the database's own rule decides, so of two
  // rooms pressing Start at once one wins.
  Result<int64_t> beginSession(const SessionStart& start);
  // Reads what the session's log gained since the last read and stores the
  // exercises it tells of, with the new offset, in one transaction.
  Result<SessionSummary> ingestLog(int64_t sessionId);
  // For a session whose node is gone without ending it: "interrupted".
  Status closeSession(int64_t sessionId);
  // A session of another room whose console is gone, closed as interrupted
  // from what its records hold (its log is on that room's machine): its resume
  // point kept, its patient free. Refused for this room's sessions, for a room
  // whose console was seen within goneAfter seconds, and for one not running.
  Status releaseSession(int64_t sessionId, double goneAfter);
  // This room's console is alive: the Rooms page and a release elsewhere read it.
  Status roomSeen();
  // Removes a session in which nothing was played (its node refused to
  // start); refuses one that holds an exercise.
  Status discardSession(int64_t sessionId);
  // The node's session log the session is read from.
  Result<std::string> sessionLog(int64_t sessionId);
  // This room's sessions still running, for a console started again to go
  // on reading (or to close them, when their node is gone).
  Result<std::vector<int64_t>> runningSessions();
  // Every room seen, by name, with what runs in it now.
  Result<std::vector<RoomNow>> rooms();
  // A patient's sessions, oldest first; latest > 0: only the latest that many.
  Result<std::vector<SessionSummary>> sessions(int64_t patientId, int latest = 0);
  Result<int64_t> sessionCount(int64_t patientId);
  Result<SessionSummary> session(int64_t sessionId);
  Result<std::vector<ExerciseRecord>> exercises(int64_t sessionId);
  // Each joint's range per session (SessionRange), sessions oldest first,
  // joints by name; latest > 0: of the latest that many sessions only.
  Result<std::vector<SessionRange>> sessionRanges(int64_t patientId, int latest = 0);

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
  ClinicStore(std::unique_ptr<SqlConnection> connection, const std::string& room);
  std::string prepare();
  std::string prepareFile(int64_t& version);
  std::string prepareServer(int64_t& version);
  std::string setUp(int64_t version);
  std::string prepareAll();
  Result<int64_t> insertSession(const SessionStart& start, bool& patientBusy);
  Result<int64_t> whereRunning(int64_t patientId);
  Result<std::vector<SessionSummary>> summaries(const char* where, int64_t id, int latest = 0);
  Result<SessionSummary> ingest(int64_t sessionId, bool close, bool readLog = true);
  std::string storeFold(int64_t sessionId, const SessionFold& fold, double started, int64_t offset);
  std::string storeExercises(int64_t sessionId, const std::vector<ExerciseRecord>& exercises);
  std::string storeRanges(int64_t sessionId, int64_t seq, const std::vector<JointRange>& joints);
  Result<std::vector<ExerciseRecord>> exercisesLocked(int64_t sessionId);
  Result<Patient> patientWhere(const char* sql, const std::string& key, int64_t id);
  Result<std::vector<Plan>> plansLocked(int64_t patientId);
  std::string fault(const std::string& what) const;
  template <class T>
  Result<T> failed(const std::string& what) const
  {
    return Result<T>::fail(fault(what), Fault::kDatabase);
  }

  // One connection under the mutex, shared by the server's threads: each
  // call is a few small statements, and a call that reads then writes sees
  // its own reads without a transaction of its own for each.
  std::unique_ptr<SqlConnection> connection_;
  SqlConnection& db_;
  std::string path_;
  std::string room_;
  bool inRoom_ = true;
  std::mutex mutex_;
};
}  // namespace nao_kinora_console

#endif  // NAO_KINORA_CONSOLE_CLINIC_STORE_H
