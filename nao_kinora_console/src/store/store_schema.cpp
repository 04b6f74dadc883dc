// Opening the clinic's file: where it lives, its modes, the checks that
// refuse a file this code must not touch, and the schema's migrations.
#include "nao_kinora_console/store/clinic_store.h"
#include "nao_kinora_console/store/account_store.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Two patients whose codes differ only in case are one patient now: such a
// file is refused rather than merged, naming both.
std::string sameCodes(Database& db)
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

// Sessions of earlier files get their plan's items as it stands now (said
// so by plan_kept), or none when the plan was deleted.
std::string copyPlans(Database& db)
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
      error = keep.bind(1, list.dump()).bind(2, one.first).run();
    keep.reset();
  }
  return error;
}

std::string migrate1(Database& db)
{
  return db.exec(kSchema1);
}

std::string migrate2(Database& db)
{
  const std::string error = db.exec(kSchema2);
  return error.empty() ? copyPlans(db) : error;
}

// Migrations[v] takes a file from version v to v + 1. Add to the end only:
// a file is brought forward one step at a time, each in a transaction.
std::string migrate3(Database& db)
{
  return addAccountTables(db).message;
}

std::string (*const kMigrations[])(Database&) = {migrate1, migrate2, migrate3};
static_assert(sizeof kMigrations / sizeof kMigrations[0] == kSchemaVersion, "one migration per schema version");

std::string folderOf(const std::string& path)
{
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// Makes the missing folders of path, each 0700; folders that exist keep their mode.
std::string makeFolders(const std::string& folder)
{
  struct stat st;
  if (stat(folder.c_str(), &st) == 0)
    return S_ISDIR(st.st_mode) ? "" : "[" + folder + "] is not a folder";
  const std::string parent = folderOf(folder);
  if (parent != folder)
  {
    const std::string why = makeFolders(parent);
    if (!why.empty())
      return why;
  }
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
    return "cannot make the folder [" + folder + "]: " + std::strerror(errno);
  return "";
}

// A missing file is made here, empty and 0600 whatever the umask, so SQLite
// (which gives its -wal and -shm files the database's mode) never widens it.
std::string makeFileIfMissing(const std::string& path)
{
  struct stat st;
  if (lstat(path.c_str(), &st) == 0)
    return S_ISREG(st.st_mode) ? "" : "it is not a regular file";
  if (errno != ENOENT && errno != ENOTDIR)
    return std::strerror(errno);
  std::string why = makeFolders(folderOf(path));
  if (!why.empty())
    return why;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0 && errno == EEXIST)  // another console made it just now
    return lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? "" : "it is not a regular file";
  if (fd < 0)
    return std::string("cannot create it: ") + std::strerror(errno);
  if (fchmod(fd, 0600) != 0)
    why = std::string("cannot make it private: ") + std::strerror(errno);
  close(fd);
  return why;
}

int64_t scalar(Database& db, const char* sql, std::string& error)
{
  Statement s(db, sql);
  const int64_t value = s.step() ? s.integer(0) : 0;
  error = s.error();
  return value;
}
}  // namespace

std::string defaultDatabasePath()
{
  const char* rosHome = std::getenv("ROS_HOME");
  const char* home = std::getenv("HOME");
  const std::string base = rosHome && *rosHome ? rosHome : std::string(home && *home ? home : "/tmp") + "/.ros";
  return base + "/nao_kinora/clinic.db";
}

std::string ClinicStore::fault(const std::string& what) const
{
  return "clinic database [" + path_ + "]: " + what;
}

Result<std::unique_ptr<ClinicStore>> ClinicStore::open(const std::string& path)
{
  std::unique_ptr<ClinicStore> store(new ClinicStore());
  store->path_ = path;
  if (path.empty())
    return Result<std::unique_ptr<ClinicStore>>::fail("clinic database: no file given");
  std::string why = makeFileIfMissing(path);
  if (why.empty())
    why = store->db_.open(path, false);
  if (why.empty())
    why = store->prepare();
  if (!why.empty())
    return Result<std::unique_ptr<ClinicStore>>::fail(store->fault(why));
  Result<std::unique_ptr<ClinicStore>> opened;
  opened.value = std::move(store);
  return opened;
}

// Checks the file before anything is written to it. Each statement is done
// with before the next step: an open one holds a read transaction.
std::string ClinicStore::prepare()
{
  std::string error;
  // Both read in one transaction: another console may be setting up the file.
  db_.exec("BEGIN");
  const int64_t version = scalar(db_, "PRAGMA user_version", error);
  if (!error.empty())
    return "unreadable or corrupt (" + error + "); left as it is";
  if (version > kSchemaVersion)
    return "written by a newer console (schema version " + std::to_string(version) + ", this console knows up to " +
           std::to_string(kSchemaVersion) + "); left as it is";
  const int64_t tables = scalar(db_, "SELECT count(*) FROM sqlite_schema", error);
  db_.exec("COMMIT");
  if (error.empty() && version == 0 && tables > 0)
    return "not a clinic database (it has tables but no schema version); left as it is";
  {
    Statement check(db_, "PRAGMA quick_check");
    const std::string verdict = check.step() ? check.text(0) : check.error();
    if (verdict != "ok")  // its first problem only: the refusal is one line
      return "corrupt (" + verdict.substr(0, verdict.find('\n')) + "); left as it is";
  }
  if (version == 1)  // before anything is written: a refused file is left as it is
  {
    const std::string same = sameCodes(db_);
    if (!same.empty())
      return same;
  }
  return setUp(version);
}

std::string ClinicStore::setUp(int64_t version)
{
  {
    Statement wal(db_, "PRAGMA journal_mode=WAL");
    if (!wal.step() || wal.text(0) != "wal")
      return "cannot use a write-ahead journal: " + (wal.error().empty() ? wal.text(0) : wal.error());
  }
  // Foreign keys stay off while tables are rebuilt: a dropped table would
  // otherwise take its children's rows with it. Checked before they go on.
  std::string error = db_.exec("PRAGMA foreign_keys=OFF; PRAGMA synchronous=FULL; PRAGMA secure_delete=ON;");
  // Each step reads the version again inside its transaction: another
  // console opening the same new file may have set it up meanwhile.
  if (error.empty() && version < kSchemaVersion)
    error = migrateSchema(db_, kSchemaVersion,
                          [this](SqlConnection&, int64_t v)
                          {
                            std::string why = kMigrations[v](db_);
                            if (why.empty())
                            {
                              Statement check(db_, "PRAGMA foreign_key_check");
                              why = check.step() ? "a row refers to one that is not there (table " + check.text(0) + ")"
                                                 : check.error();
                            }
                            return SqlError{why.empty() ? SqlFault::kNone : SqlFault::kInternal, why};
                          })
                .message;
  if (error.empty())
    error = db_.exec("PRAGMA foreign_keys=ON");
  return error.empty() ? "" : "cannot set up its schema: " + error;
}
}  // namespace nao_kinora_console
