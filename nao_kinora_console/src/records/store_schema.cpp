// Opening the clinic's database: where a file lives and its modes, a server
// reached, the checks that refuse a database this code must not touch, the
// schema brought up to date, and the room the console is in.
#include "nao_kinora_console/records/clinic_store.h"

#include "nao_kinora_console/accounts/database_roles.h"
#include "nao_kinora_console/db/sqlite_db.h"
#include "schema_steps.h"

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
// A schema upgrade's whole time, and its wait for another console's.
const int kUpgradeDeadlineMs = 120000;

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

int64_t scalar(SqlConnection& db, const char* sql, std::string& error)
{
  Statement s(db, sql);
  const int64_t value = s.step() ? s.integer(0) : 0;
  error = s.error();
  return value;
}

// Characters, not bytes: a room's name is read by people.
std::size_t characters(const std::string& text)
{
  std::size_t n = 0;
  for (unsigned char c : text)
    n += (c & 0xC0) != 0x80;
  return n;
}

// Valid UTF-8 (the JSON writer refuses any other) without control characters.
bool printable(const std::string& text)
{
  for (char c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
      return false;
  try
  {
    (void)nlohmann::json(text).dump();
    return true;
  }
  catch (const nlohmann::json::exception&)
  {
    return false;
  }
}

std::string newerSchema(int64_t version)
{
  return "written by a newer console (schema version " + std::to_string(version) + ", this console knows up to " +
         std::to_string(kSchemaVersion) + "); left as it is";
}
}  // namespace

std::string defaultDatabasePath()
{
  const char* rosHome = std::getenv("ROS_HOME");
  const char* home = std::getenv("HOME");
  const std::string base = rosHome && *rosHome ? rosHome : std::string(home && *home ? home : "/tmp") + "/.ros";
  return base + "/nao_kinora/clinic.db";
}

std::string localFileFor(const std::string& database, std::string& error)
{
  const std::string file = isServerAddress(database) ? defaultDatabasePath() : database;
  error = makeFolders(folderOf(file));
  return error.empty() ? file : "";
}

std::string hostRoomName()
{
  char name[256] = {};
  return gethostname(name, sizeof name - 1) == 0 ? name : "";
}

std::string checkRoomName(const std::string& room)
{
  if (room.empty())
    return "room: empty; name the room the robot is in, such as \"Room 2\"";
  if (!printable(room))
    return "room: not printable text (invalid UTF-8 or control characters)";
  const std::size_t n = characters(room);
  if (n > 40)
    return "room: " + std::to_string(n) + " characters; at most 40";
  return "";
}

std::string ClinicStore::fault(const std::string& what) const
{
  return "clinic database [" + path_ + "]: " + what;
}

ClinicStore::ClinicStore(std::unique_ptr<SqlConnection> connection, const std::string& room)
    : connection_(std::move(connection)), db_(*connection_), path_(db_.describe()), room_(room)
{
}

Result<std::unique_ptr<ClinicStore>> ClinicStore::open(const std::string& where, const std::string& room, bool inRoom)
{
  using Opened = Result<std::unique_ptr<ClinicStore>>;
  if (where.empty())
    return Opened::fail("clinic database: no file given");
  const std::string badRoom = checkRoomName(room);
  if (!badRoom.empty())
    return Opened::fail(badRoom);
  SqlError error;
  std::unique_ptr<SqlConnection> db;
  if (isServerAddress(where))
  {
    db = openConnection(where, false, error);
    if (!db)  // the layer's line names the server (never its password)
      return Opened::fail(error.fault == SqlFault::kUnavailable ? error.message : "clinic database: " + error.message,
                          Fault::kDatabase);
  }
  else
  {
    const std::string why = makeFileIfMissing(where);
    std::unique_ptr<Database> file(new Database());
    error = why.empty() ? file->openFile(where, false) : SqlError{SqlFault::kInternal, why};
    if (!error.ok())
      return Opened::fail("clinic database [" + where + "]: " + error.message, Fault::kDatabase);
    db = std::move(file);
  }
  std::unique_ptr<ClinicStore> store(new ClinicStore(std::move(db), room));
  store->inRoom_ = inRoom;
  const std::string why = store->prepare();
  if (!why.empty())
    return Opened::fail(store->fault(why), Fault::kDatabase);
  Opened opened;
  opened.value = std::move(store);
  return opened;
}

// Checks the database before anything is written to it, then brings it up to
// date and says this room was seen.
std::string ClinicStore::prepare()
{
  // Setting up or upgrading the schema may take longer than a request may
  // wait, and waits for another console doing the same; then every call has
  // the deadline a request has.
  db_.setDeadline(kUpgradeDeadlineMs);
  db_.setBusyTimeout(kUpgradeDeadlineMs);
  const std::string why = prepareAll();
  db_.setDeadline(kDefaultDeadlineMs);
  db_.setBusyTimeout(kDefaultBusyTimeoutMs);
  return why;
}

std::string ClinicStore::prepareAll()
{
  int64_t version = 0;
  const std::string why = db_.dialect() == SqlDialect::kSqlite ? prepareFile(version) : prepareServer(version);
  if (!why.empty())
    return why;
  if (version == 1)  // before anything is written: a refused database is left as it is
  {
    const std::string same = sameCodes(db_);
    if (!same.empty())
      return same;
  }
  std::string error = setUp(version);
  Statement seen(db_,
                 "INSERT INTO rooms(name, seen) VALUES (?, ?) ON CONFLICT (name) DO UPDATE SET seen = excluded.seen");
  if (error.empty() && inRoom_)
    error = seen.bind(1, room_).bind(2, wallNow()).run();
  return error;
}

// Each statement is done with before the next step: an open one holds a read transaction.
std::string ClinicStore::prepareFile(int64_t& version)
{
  std::string error;
  // Both read in one transaction: another console may be setting up the file.
  db_.execute("BEGIN");
  version = scalar(db_, "PRAGMA user_version", error);
  if (!error.empty())
    return "unreadable or corrupt (" + error + "); left as it is";
  if (version > kSchemaVersion)
    return newerSchema(version);
  const int64_t tables = scalar(db_, "SELECT count(*) FROM sqlite_schema", error);
  db_.execute("COMMIT");
  if (error.empty() && version == 0 && tables > 0)
    return "not a clinic database (it has tables but no schema version); left as it is";
  Statement check(db_, "PRAGMA quick_check");
  const std::string verdict = check.step() ? check.text(0) : check.error();
  if (verdict != "ok")  // its first problem only: the refusal is one line
    return "corrupt (" + verdict.substr(0, verdict.find('\n')) + "); left as it is";
  return "";
}

// The version and the tables read in one transaction, under the lock that a
// console setting the database up holds to its end.
std::string ClinicStore::prepareServer(int64_t& version)
{
  Transaction t(db_);
  SqlError error = t.failure();
  if (error.ok())
    version = db_.schemaVersion(error);
  std::string why = error.message;
  const int64_t tables =
      why.empty()
          ? scalar(db_, "SELECT count(*) FROM information_schema.tables WHERE table_schema = current_schema()", why)
          : 0;
  if (!why.empty())
    return "unreadable (" + why + "); left as it is";
  if (version > kSchemaVersion)
    return newerSchema(version);
  if (version == 0 && tables > 0)
    return "not a clinic database (it has tables but no schema version); left as it is";
  // A console logged in as a role that may not change the tables says so
  // before it tries, naming who may.
  return version < kSchemaVersion ? upgradeRefusal(db_, version, kSchemaVersion) : "";
}

std::string ClinicStore::setUp(int64_t version)
{
  // Foreign keys stay off while SQLite rebuilds tables: a dropped table would
  // otherwise take its children's rows with it. Checked before they go on.
  const bool file = db_.dialect() == SqlDialect::kSqlite;
  if (file)
  {
    Statement wal(db_, "PRAGMA journal_mode=WAL");
    if (!wal.step() || wal.text(0) != "wal")
      return "cannot use a write-ahead journal: " + (wal.error().empty() ? wal.text(0) : wal.error());
  }
  std::string error =
      file ? db_.execute("PRAGMA foreign_keys=OFF; PRAGMA synchronous=FULL; PRAGMA secure_delete=ON;").message : "";
  // Each step reads the version again inside its transaction: another
  // console opening the same new database may have set it up meanwhile.
  if (error.empty() && version < kSchemaVersion)
    error = migrateSchema(db_, kSchemaVersion,
                          [this, file](SqlConnection&, int64_t v)
                          {
                            std::string why = schemaStep(db_, v, room_);
                            if (why.empty() && file)
                            {
                              Statement check(db_, "PRAGMA foreign_key_check");
                              why = check.step() ? "a row refers to one that is not there (table " + check.text(0) + ")"
                                                 : check.error();
                            }
                            return SqlError{why.empty() ? SqlFault::kNone : SqlFault::kInternal, why};
                          })
                .message;
  if (error.empty() && file)
    error = db_.execute("PRAGMA foreign_keys=ON").message;
  return error.empty() ? "" : "cannot set up its schema: " + error;
}
}  // namespace nao_kinora_console
