#include "nao_kinora_console/store/sqlite_db.h"

#include <sqlite3.h>

namespace nao_kinora_console
{
namespace
{
// A writer waits this long for another connection's lock (another console,
// the sqlite3 tool) before giving up with "database is locked".
const int kBusyTimeoutMs = 5000;
}  // namespace

Database::~Database()
{
  if (db_)
    sqlite3_close_v2(db_);
}

std::string Database::open(const std::string& path, bool create)
{
  const int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0) | SQLITE_OPEN_NOFOLLOW;
  if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK)
  {
    const std::string reason = db_ ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close_v2(db_);
    db_ = nullptr;
    return reason;
  }
  sqlite3_extended_result_codes(db_, 1);
  sqlite3_busy_timeout(db_, kBusyTimeoutMs);
  return "";
}

std::string Database::exec(const char* sql)
{
  char* message = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK)
    return "";
  const std::string reason = message ? message : sqlite3_errmsg(db_);
  sqlite3_free(message);
  return reason;
}

std::string Database::lastError() const
{
  return db_ ? sqlite3_errmsg(db_) : "no database";
}

int64_t Database::lastInsertId() const
{
  return sqlite3_last_insert_rowid(db_);
}

int Database::changes() const
{
  return sqlite3_changes(db_);
}

Statement::Statement(Database& db, const char* sql) : db_(db)
{
  if (sqlite3_prepare_v2(db.handle(), sql, -1, &stmt_, nullptr) != SQLITE_OK)
    fail();
}

Statement::~Statement()
{
  sqlite3_finalize(stmt_);
}

void Statement::fail()
{
  if (error_.empty())
    error_ = db_.lastError();
}

Statement& Statement::bind(int index, int64_t value)
{
  if (error_.empty() && sqlite3_bind_int64(stmt_, index, value) != SQLITE_OK)
    fail();
  return *this;
}

Statement& Statement::bind(int index, double value)
{
  if (error_.empty() && sqlite3_bind_double(stmt_, index, value) != SQLITE_OK)
    fail();
  return *this;
}

Statement& Statement::bind(int index, const std::string& value)
{
  if (error_.empty() &&
      sqlite3_bind_text(stmt_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT) != SQLITE_OK)
    fail();
  return *this;
}

Statement& Statement::bindNull(int index)
{
  if (error_.empty() && sqlite3_bind_null(stmt_, index) != SQLITE_OK)
    fail();
  return *this;
}

bool Statement::step()
{
  if (!error_.empty())
    return false;
  const int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW)
    return true;
  if (rc != SQLITE_DONE)
    fail();
  return false;
}

std::string Statement::run()
{
  step();
  return error_;
}

void Statement::reset()
{
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
}

int64_t Statement::integer(int column) const
{
  return sqlite3_column_int64(stmt_, column);
}

double Statement::real(int column) const
{
  return sqlite3_column_double(stmt_, column);
}

std::string Statement::text(int column) const
{
  const unsigned char* t = sqlite3_column_text(stmt_, column);
  return t ? std::string(reinterpret_cast<const char*>(t), sqlite3_column_bytes(stmt_, column)) : std::string();
}

bool Statement::isNull(int column) const
{
  return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
}

Transaction::Transaction(Database& db) : db_(db)
{
  // IMMEDIATE takes the write lock now, so two writers queue instead of one
  // failing halfway through its transaction.
  error_ = db_.exec("BEGIN IMMEDIATE");
  open_ = error_.empty();
}

Transaction::~Transaction()
{
  if (open_)
    db_.exec("ROLLBACK");
}

std::string Transaction::commit()
{
  if (!open_)
    return error_;
  error_ = db_.exec("COMMIT");
  open_ = !error_.empty() && !sqlite3_get_autocommit(db_.handle());
  return error_;
}
}  // namespace nao_kinora_console
