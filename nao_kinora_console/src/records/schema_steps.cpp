// The clinic schema's steps, one per version, on an SQLite file and on a
// PostgreSQL server: the same tables, with the DDL written per dialect where
// the two differ (identity columns, the width of REAL, WITHOUT ROWID, tables
// SQLite must rebuild where the server alters them).
#include "schema_steps.h"
#include "nao_kinora_console/accounts/account_store.h"
#include "nao_kinora_console/http/json_text.h"

#include "nao_kinora_console/records/clinic_store.h"

#include <nlohmann/json.hpp>

#include <cstring>

namespace nao_kinora_console
{
namespace
{
// The first schema, as files made before copies of plans were kept.
const char* const kSchema1 =
    R"(CREATE TABLE patients(
         id INTEGER PRIMARY KEY, code TEXT NOT NULL UNIQUE, note TEXT NOT NULL DEFAULT '', created REAL NOT NULL);
       CREATE TABLE plans(
         id INTEGER PRIMARY KEY,
         patient_id INTEGER NOT NULL REFERENCES patients(id) ON DELETE CASCADE,
         name TEXT NOT NULL, speed REAL NOT NULL CHECK (speed BETWEEN 0.25 AND 2.0), updated REAL NOT NULL,
         UNIQUE (patient_id, name));
       CREATE TABLE plan_items(
         plan_id INTEGER NOT NULL REFERENCES plans(id) ON DELETE CASCADE,
         position INTEGER NOT NULL, recording TEXT NOT NULL, PRIMARY KEY (plan_id, position));
       CREATE TABLE sessions(
         id INTEGER PRIMARY KEY,
         patient_id INTEGER NOT NULL REFERENCES patients(id) ON DELETE CASCADE,
         plan_id INTEGER REFERENCES plans(id) ON DELETE SET NULL, plan_name TEXT NOT NULL DEFAULT '',
         first_exercise INTEGER NOT NULL, speed REAL NOT NULL, started REAL NOT NULL, ended REAL,
         outcome TEXT NOT NULL CHECK (outcome IN ('running', 'completed', 'ended', 'interrupted')),
         log_path TEXT NOT NULL, log_offset INTEGER NOT NULL, fold_state TEXT);
       CREATE INDEX sessions_of_patient ON sessions(patient_id, started);
       CREATE TABLE session_exercises(
         session_id INTEGER NOT NULL REFERENCES sessions(id) ON DELETE CASCADE,
         seq INTEGER NOT NULL, position INTEGER NOT NULL, recording TEXT NOT NULL,
         outcome TEXT NOT NULL CHECK (outcome IN ('playing', 'played', 'skipped', 'ended early', 'unplayable')),
         playing_time REAL NOT NULL, paused_time REAL NOT NULL, tracking_wait REAL NOT NULL,
         timeout_fired INTEGER NOT NULL, speeds TEXT NOT NULL, moving_joints TEXT NOT NULL, variances TEXT NOT NULL,
         PRIMARY KEY (session_id, seq)) WITHOUT ROWID;
       CREATE TABLE checkins(
         session_id INTEGER NOT NULL REFERENCES sessions(id) ON DELETE CASCADE, position INTEGER NOT NULL,
         effort INTEGER CHECK (effort BETWEEN 0 AND 10), pain INTEGER CHECK (pain BETWEEN 0 AND 10),
         note TEXT NOT NULL DEFAULT '', recorded REAL NOT NULL, PRIMARY KEY (session_id, position)) WITHOUT ROWID;)";

// Ids never reused (AUTOINCREMENT keeps the highest ever given, across
// deletes), codes unique without case, and each session's own copy of its
// plan, the speed it last ran at and the session it took up again. Tables are
// rebuilt (SQLite cannot add AUTOINCREMENT), with foreign keys off meanwhile.
const char* const kSchema2 =
    R"(CREATE TABLE patients2(
         id INTEGER PRIMARY KEY AUTOINCREMENT, code TEXT NOT NULL, note TEXT NOT NULL DEFAULT '',
         created REAL NOT NULL);
       INSERT INTO patients2 SELECT id, code, note, created FROM patients;
       DROP TABLE patients;
       ALTER TABLE patients2 RENAME TO patients;
       CREATE UNIQUE INDEX patients_code ON patients(lower(code));
       CREATE TABLE plans2(
         id INTEGER PRIMARY KEY AUTOINCREMENT,
         patient_id INTEGER NOT NULL REFERENCES patients(id) ON DELETE CASCADE,
         name TEXT NOT NULL, speed REAL NOT NULL CHECK (speed BETWEEN 0.25 AND 2.0), updated REAL NOT NULL,
         UNIQUE (patient_id, name));
       INSERT INTO plans2 SELECT id, patient_id, name, speed, updated FROM plans;
       DROP TABLE plans;
       ALTER TABLE plans2 RENAME TO plans;
       CREATE TABLE sessions2(
         id INTEGER PRIMARY KEY AUTOINCREMENT,
         patient_id INTEGER NOT NULL REFERENCES patients(id) ON DELETE CASCADE,
         plan_id INTEGER REFERENCES plans(id) ON DELETE SET NULL, plan_name TEXT NOT NULL DEFAULT '',
         plan_items TEXT NOT NULL DEFAULT '[]',
         plan_kept TEXT NOT NULL DEFAULT 'start' CHECK (plan_kept IN ('start', 'upgrade', 'none')),
         first_exercise INTEGER NOT NULL, speed REAL NOT NULL, last_speed REAL NOT NULL,
         resumes INTEGER REFERENCES sessions(id) ON DELETE SET NULL,
         started REAL NOT NULL, ended REAL,
         outcome TEXT NOT NULL CHECK (outcome IN ('running', 'completed', 'ended', 'interrupted')),
         log_path TEXT NOT NULL, log_offset INTEGER NOT NULL, fold_state TEXT);
       INSERT INTO sessions2(id, patient_id, plan_id, plan_name, plan_kept, first_exercise, speed, last_speed,
                             started, ended, outcome, log_path, log_offset, fold_state)
         SELECT id, patient_id, plan_id, plan_name, CASE WHEN plan_id IS NULL THEN 'none' ELSE 'upgrade' END,
                first_exercise, speed, speed, started, ended, outcome, log_path, log_offset, fold_state FROM sessions;
       DROP TABLE sessions;
       ALTER TABLE sessions2 RENAME TO sessions;
       CREATE INDEX sessions_of_patient ON sessions(patient_id, started);
       CREATE UNIQUE INDEX sessions_resumed ON sessions(resumes);)";

// The server's version 2: the same as kSchema2 above, by ALTER (its
// identity columns never give an id twice, as AUTOINCREMENT does not).
const char* const kPgSchema2 =
    R"(ALTER TABLE patients DROP CONSTRAINT patients_code_key;
       CREATE UNIQUE INDEX patients_code ON patients(lower(code));
       ALTER TABLE sessions ADD COLUMN plan_items TEXT NOT NULL DEFAULT '[]',
         ADD COLUMN plan_kept TEXT NOT NULL DEFAULT 'start' CHECK (plan_kept IN ('start', 'upgrade', 'none')),
         ADD COLUMN last_speed DOUBLE PRECISION,
         ADD COLUMN resumes BIGINT REFERENCES sessions(id) ON DELETE SET NULL;
       UPDATE sessions SET plan_kept = CASE WHEN plan_id IS NULL THEN 'none' ELSE 'upgrade' END, last_speed = speed;
       ALTER TABLE sessions ALTER COLUMN last_speed SET NOT NULL;
       CREATE UNIQUE INDEX sessions_resumed ON sessions(resumes);)";

// Rooms: each session belongs to the room whose console began it, and a
// patient is in one running session at most, whichever the room (the
// index, not a look beforehand, refuses a second one). Written once for both.
const char* const kSchema3 =
    R"(ALTER TABLE sessions ADD COLUMN room TEXT NOT NULL DEFAULT '';
       CREATE TABLE rooms(name TEXT PRIMARY KEY, seen DOUBLE PRECISION NOT NULL);)";
const char* const kRunningIndex =
    "CREATE UNIQUE INDEX sessions_running ON sessions(patient_id) WHERE outcome = 'running'";

// The person tracker: each plan's side matching (and each session's copy of
// it), each exercise's result and its joints' ranges of motion, in the order
// the tracker gave them. Written for SQLite; forServer() makes the server's.
const char* const kSchema6 =
    R"(ALTER TABLE plans ADD COLUMN mirror INTEGER NOT NULL DEFAULT 1 CHECK (mirror IN (0, 1));
       ALTER TABLE sessions ADD COLUMN plan_mirror INTEGER NOT NULL DEFAULT 1 CHECK (plan_mirror IN (0, 1));
       ALTER TABLE session_exercises ADD COLUMN tracked_by TEXT;
       ALTER TABLE session_exercises ADD COLUMN tracking_seen INTEGER NOT NULL DEFAULT 0;
       ALTER TABLE session_exercises ADD COLUMN tracking_seconds REAL NOT NULL DEFAULT 0;
       ALTER TABLE session_exercises ADD COLUMN follow REAL;
       CREATE TABLE exercise_ranges(
         session_id INTEGER NOT NULL, seq INTEGER NOT NULL, place INTEGER NOT NULL, joint TEXT NOT NULL,
         seen INTEGER NOT NULL CHECK (seen IN (0, 1)), person_degrees REAL NOT NULL, robot_degrees REAL NOT NULL,
         PRIMARY KEY (session_id, seq, place),
         FOREIGN KEY (session_id, seq) REFERENCES session_exercises(session_id, seq) ON DELETE CASCADE) WITHOUT ROWID;)";

// SQLite's words for a table's DDL, and the server's.
const std::pair<const char*, const char*> kPgWords[] = {
    {"INTEGER PRIMARY KEY", "BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY"},
    {"INTEGER", "BIGINT"},         // SQLite's integers are 64 bits
    {"REAL", "DOUBLE PRECISION"},  // the server's REAL has 4 bytes
    {") WITHOUT ROWID", ")"},
};

std::string forServer(std::string ddl)
{
  for (const auto& word : kPgWords)
    for (std::size_t at = 0; (at = ddl.find(word.first, at)) != std::string::npos; at += std::strlen(word.second))
      ddl.replace(at, std::strlen(word.first), word.second);
  return ddl;
}

// Sessions of earlier files get their plan's items as it stands now (said
// so by plan_kept), or none when the plan was deleted.
std::string copyPlans(SqlConnection& db)
{
  Statement s(db, "SELECT id, plan_id FROM sessions WHERE plan_id IS NOT NULL");
  Statement items(db, "SELECT recording FROM plan_items WHERE plan_id = ? ORDER BY position");
  Statement keep(db, "UPDATE sessions SET plan_items = ? WHERE id = ?");
  std::vector<std::pair<int64_t, int64_t>> sessions;
  while (s.step())
    sessions.emplace_back(s.integer(0), s.integer(1));
  std::string error = s.error();
  for (const auto& one : sessions)
  {
    nlohmann::json list = nlohmann::json::array();
    items.bind(1, one.second);
    while (items.step())
      list.push_back(items.text(0));
    items.reset();
    if (error.empty())
      error = keep.bind(1, jsonText(list)).bind(2, one.first).run();
    keep.reset();
  }
  return error;
}

std::string migrate1(SqlConnection& db, const std::string&)
{
  return db.execute(db.dialect() == SqlDialect::kSqlite ? kSchema1 : forServer(kSchema1)).message;
}

std::string migrate2(SqlConnection& db, const std::string&)
{
  const std::string error = db.execute(db.dialect() == SqlDialect::kSqlite ? kSchema2 : kPgSchema2).message;
  return error.empty() ? copyPlans(db) : error;
}

// The rows of before are the migrating console's room. Of two sessions of
// one patient left running (a console restarted and started the patient
// again before its follower closed the first), all but the last are closed
// as interrupted, or the index could not be made.
std::string migrate3(SqlConnection& db, const std::string& room)
{
  std::string error = db.execute(kSchema3).message;
  Statement own(db, "UPDATE sessions SET room = ?");
  // The room is named when it has sessions of before: a new database, made by
  // a tool that serves no room, lists none (a console names its own at open).
  Statement seen(db,
                 "INSERT INTO rooms(name, seen) SELECT CAST(? AS TEXT), CAST(? AS DOUBLE PRECISION)"
                 " WHERE EXISTS (SELECT 1 FROM sessions)");
  Statement stale(db,
                  "UPDATE sessions SET outcome = 'interrupted', ended = started, fold_state = NULL"
                  " WHERE outcome = 'running' AND id NOT IN"
                  " (SELECT max(id) FROM sessions WHERE outcome = 'running' GROUP BY patient_id)");
  if (error.empty())
    error = own.bind(1, room).run();
  if (error.empty())
    error = seen.bind(1, room).bind(2, wallNow()).run();
  if (error.empty())
    error = stale.run();
  return error.empty() ? db.execute(kRunningIndex).message : error;
}

// Migrations[v] takes a database from version v to v + 1. Add to the end
// only: a database is brought forward one step at a time, each in a transaction.
// Version 4: therapists' accounts, their logins and tokens, the audit trail.
std::string migrate4(SqlConnection& db, const std::string&)
{
  return addAccountTables(db).message;
}

// Version 5: failed logins counted per name and address and per address, and their locks.
std::string migrate5(SqlConnection& db, const std::string&)
{
  return addLoginLimitTables(db).message;
}

// Version 6: how the person followed each exercise (the tracker's result,
// each joint's range) and whether a plan matches sides as in a mirror.
std::string migrate6(SqlConnection& db, const std::string&)
{
  return db.execute(db.dialect() == SqlDialect::kSqlite ? kSchema6 : forServer(kSchema6)).message;
}

// Version 7: the language each account reads the pages in (null: the browser's).
std::string migrate7(SqlConnection& db, const std::string&)
{
  return addAccountLanguage(db).message;
}

std::string (*const kMigrations[])(SqlConnection&, const std::string&) = {migrate1, migrate2, migrate3, migrate4,
                                                                          migrate5, migrate6, migrate7};
static_assert(sizeof kMigrations / sizeof kMigrations[0] == kSchemaVersion, "one migration per schema version");
}  // namespace

std::string schemaStep(SqlConnection& db, int64_t version, const std::string& room)
{
  return kMigrations[version](db, room);
}

std::string sameCodes(SqlConnection& db)
{
  Statement s(db,
              "SELECT a.code, b.code FROM patients a JOIN patients b"
              " ON lower(a.code) = lower(b.code) AND a.id < b.id ORDER BY a.id LIMIT 1");
  if (s.step())
    return "the patients [" + s.text(0) + "] and [" + s.text(1) +
           "] have codes that differ only in case, which this console takes for one patient; left as it is "
           "(delete one of them with the console that made the file)";
  return s.error();
}
}  // namespace nao_kinora_console
