#include "nao_kinora_console/db/sqlite_db.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

namespace nao_kinora_console
{
namespace
{
// A writer waits this long for another connection's lock (another console,
// the sqlite3 tool) before giving up with "database is locked": within the
// deadline a server's calls have.
const int kBusyTimeoutMs = kDefaultBusyTimeoutMs;
const int kLongestRetryPauseMs = 50;

SqlError failureOf(sqlite3* db)
{
  if (!db)
    return {SqlFault::kInternal, "no database"};
  return {sqliteFault(sqlite3_extended_errcode(db)), sqlite3_errmsg(db)};
}

// A statement that writes and returns rows (RETURNING) is run to its end at
// the first step, its rows kept: an unfinished one would hold the
// transaction open and make COMMIT fail. A server runs it whole too.
class SqliteCursor : public SqlCursor
{
public:
  SqliteCursor(sqlite3* db, sqlite3_stmt* stmt, const int& busyTimeoutMs)
      : db_(db), stmt_(stmt), busyTimeoutMs_(busyTimeoutMs)
  {
  }
  ~SqliteCursor() override
  {
    clearRows();
    sqlite3_finalize(stmt_);
  }

  int parameterCount() const override { return sqlite3_bind_parameter_count(stmt_); }

  bool start(const std::vector<SqlValue>& values, SqlError& error) override
  {
    for (std::size_t i = 0; i < values.size(); ++i)
      if (bindOne(static_cast<int>(i) + 1, values[i]) != SQLITE_OK)
      {
        error = failureOf(db_);
        return false;
      }
    if (!firstStep(error))
      return false;
    if (!sqlite3_stmt_readonly(stmt_))
      return keepRows(error);
    return true;
  }

  bool next(SqlError& error) override
  {
    if (kept_)
      return ++row_ < rows_.size();
    return step(error);
  }

  void reset() override
  {
    clearRows();
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }

  int64_t integer(int column) const override
  {
    return kept_ ? sqlite3_value_int64(value(column)) : sqlite3_column_int64(stmt_, column);
  }
  double real(int column) const override
  {
    return kept_ ? sqlite3_value_double(value(column)) : sqlite3_column_double(stmt_, column);
  }
  std::string text(int column) const override
  {
    const unsigned char* t = kept_ ? sqlite3_value_text(value(column)) : sqlite3_column_text(stmt_, column);
    const int n = kept_ ? sqlite3_value_bytes(value(column)) : sqlite3_column_bytes(stmt_, column);
    return t ? std::string(reinterpret_cast<const char*>(t), n) : std::string();
  }
  bool isNull(int column) const override
  {
    return (kept_ ? sqlite3_value_type(value(column)) : sqlite3_column_type(stmt_, column)) == SQLITE_NULL;
  }

private:
  int bindOne(int index, const SqlValue& v)
  {
    switch (v.kind)
    {
      case SqlValue::Kind::kInteger:
        return sqlite3_bind_int64(stmt_, index, v.integer);
      case SqlValue::Kind::kReal:
        return sqlite3_bind_double(stmt_, index, v.real);
      case SqlValue::Kind::kText:
        return sqlite3_bind_text(stmt_, index, v.text.data(), static_cast<int>(v.text.size()), SQLITE_TRANSIENT);
      case SqlValue::Kind::kNull:
        break;
    }
    return sqlite3_bind_null(stmt_, index);
  }

  bool step(SqlError& error) { return stepped(sqlite3_step(stmt_), error); }

  bool stepped(int rc, SqlError& error)
  {
    if (rc == SQLITE_ROW)
      return true;
    if (rc != SQLITE_DONE)
      error = failureOf(db_);
    return false;
  }

  // SQLite gives up at once, without its busy handler, where waiting could
  // deadlock: a statement that has read and must then write while another
  // connection writes (two consoles turning a new file to WAL at once).
  // Outside a transaction such a statement is undone whole, so it is run
  // again until the busy timeout has passed.
  bool firstStep(SqlError& error)
  {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(busyTimeoutMs_);
    int rc = sqlite3_step(stmt_);
    for (int pause = 1;
         (rc & 0xff) == SQLITE_BUSY && sqlite3_get_autocommit(db_) && std::chrono::steady_clock::now() < deadline;
         pause = std::min(2 * pause, kLongestRetryPauseMs))
    {
      sqlite3_reset(stmt_);
      std::this_thread::sleep_for(std::chrono::milliseconds(pause));
      rc = sqlite3_step(stmt_);
    }
    return stepped(rc, error);
  }

  // Called with the first row current.
  bool keepRows(SqlError& error)
  {
    kept_ = true;
    row_ = 0;
    do
    {
      std::vector<sqlite3_value*> row;
      for (int c = 0; c < sqlite3_column_count(stmt_); ++c)
        row.push_back(sqlite3_value_dup(sqlite3_column_value(stmt_, c)));
      rows_.push_back(std::move(row));
    } while (step(error));
    if (!error.ok())
      clearRows();
    return error.ok();
  }

  void clearRows()
  {
    for (auto& row : rows_)
      for (sqlite3_value* v : row)
        sqlite3_value_free(v);
    rows_.clear();
    kept_ = false;
  }

  sqlite3_value* value(int column) const
  {
    const auto& row = rows_[row_];
    return column >= 0 && column < static_cast<int>(row.size()) ? row[column] : nullptr;
  }

  sqlite3* db_;
  sqlite3_stmt* stmt_;
  const int& busyTimeoutMs_;
  bool kept_ = false;
  std::vector<std::vector<sqlite3_value*>> rows_;
  std::size_t row_ = 0;
};
}  // namespace

SqlFault sqliteFault(int extendedCode)
{
  switch (extendedCode)
  {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
      return SqlFault::kNone;
    case SQLITE_CONSTRAINT_UNIQUE:
    case SQLITE_CONSTRAINT_PRIMARYKEY:
      return SqlFault::kTaken;
  }
  switch (extendedCode & 0xff)
  {
    case SQLITE_CONSTRAINT:
    case SQLITE_TOOBIG:
    case SQLITE_MISMATCH:
      return SqlFault::kConstraint;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return SqlFault::kBusy;
    case SQLITE_CANTOPEN:
    case SQLITE_IOERR:
      return SqlFault::kUnavailable;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
      return SqlFault::kCorrupt;
  }
  return SqlFault::kInternal;
}

Database::~Database()
{
  if (db_)
    sqlite3_close_v2(db_);
}

SqlError Database::openFile(const std::string& path, bool create)
{
  path_ = path;
  const int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0) | SQLITE_OPEN_NOFOLLOW;
  if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK)
  {
    const SqlError error = db_ ? failureOf(db_) : SqlError{SqlFault::kInternal, "out of memory"};
    sqlite3_close_v2(db_);
    db_ = nullptr;
    return error;
  }
  sqlite3_extended_result_codes(db_, 1);
  setBusyTimeout(kBusyTimeoutMs);
  sqlite3_db_config(db_, SQLITE_DBCONFIG_ENABLE_FKEY, 1, nullptr);
  return {};
}

SqlError Database::execute(const std::string& sql)
{
  char* message = nullptr;
  if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) == SQLITE_OK)
    return {};
  SqlError error = failureOf(db_);
  if (message)
    error.message = message;
  sqlite3_free(message);
  return error;
}

std::string Database::lastError() const
{
  return failureOf(db_).message;
}

SqlError Database::lastFailure() const
{
  return failureOf(db_);
}

int64_t Database::lastInsertId() const
{
  return sqlite3_last_insert_rowid(db_);
}

int64_t Database::changes() const
{
  return sqlite3_changes64(db_);
}

std::unique_ptr<SqlCursor> Database::prepare(const std::string& sql, SqlError& error)
{
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK)
  {
    error = failureOf(db_);
    return nullptr;
  }
  if (!stmt)  // only white space or a comment
    return nullptr;
  return std::unique_ptr<SqlCursor>(new SqliteCursor(db_, stmt, busyTimeoutMs_));
}

SqlError Database::begin()
{
  return execute("BEGIN IMMEDIATE");
}

SqlError Database::commit()
{
  return execute("COMMIT");
}

void Database::rollback()
{
  execute("ROLLBACK");
}

bool Database::inTransaction() const
{
  return db_ && !sqlite3_get_autocommit(db_);
}

void Database::setBusyTimeout(int milliseconds)
{
  busyTimeoutMs_ = milliseconds;
  sqlite3_busy_timeout(db_, milliseconds);
}

// A file waits only on another's lock, which the busy timeout bounds.
void Database::setDeadline(int milliseconds)
{
  setBusyTimeout(milliseconds);
}

int64_t Database::schemaVersion(SqlError& error)
{
  Statement s(*this, "PRAGMA user_version");
  const int64_t version = s.step() ? s.integer(0) : 0;
  error = s.failure();
  return version;
}

SqlError Database::setSchemaVersion(int64_t version)
{
  return execute("PRAGMA user_version=" + std::to_string(version));  // a number, not text from outside
}
}  // namespace nao_kinora_console
