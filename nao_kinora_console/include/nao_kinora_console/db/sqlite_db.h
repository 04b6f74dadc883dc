// The SQLite back end of the store's database layer: the owner of one
// connection to a file. SQLite's result codes become typed faults; the string
// forms (open, exec) are the ones the store has always used.
#ifndef NAO_KINORA_CONSOLE_SQLITE_DB_H
#define NAO_KINORA_CONSOLE_SQLITE_DB_H

#include "nao_kinora_console/db/sql_connection.h"

#include <cstdint>
#include <string>

struct sqlite3;

namespace nao_kinora_console
{
// The fault of an extended SQLite result code.
SqlFault sqliteFault(int extendedCode);

class Database : public SqlConnection
{
public:
  Database() = default;
  ~Database() override;
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // Opens an existing file read-write, or creates it when create is true,
  // with foreign keys enforced (as a server always does).
  SqlError openFile(const std::string& path, bool create);
  // As openFile: "" on success, else SQLite's reason.
  std::string open(const std::string& path, bool create) { return openFile(path, create).message; }
  // Runs fixed SQL (no values): pragmas and the schema. "" or the reason.
  std::string exec(const char* sql) { return execute(sql).message; }
  std::string lastError() const;
  int64_t lastInsertId() const;
  sqlite3* handle() const { return db_; }
  // The typed failure of the last call that failed on this connection.
  SqlError lastFailure() const;

  SqlDialect dialect() const override { return SqlDialect::kSqlite; }
  const std::string& describe() const override { return path_; }
  SqlError execute(const std::string& sql) override;
  std::unique_ptr<SqlCursor> prepare(const std::string& sql, SqlError& error) override;
  // BEGIN IMMEDIATE: the write lock is taken now, so two writers queue
  // instead of one failing halfway through its transaction.
  SqlError begin() override;
  SqlError commit() override;
  void rollback() override;
  bool inTransaction() const override;
  int64_t changes() const override;
  void setBusyTimeout(int milliseconds) override;
  void setDeadline(int milliseconds) override;
  int64_t schemaVersion(SqlError& error) override;  // PRAGMA user_version
  SqlError setSchemaVersion(int64_t version) override;

private:
  sqlite3* db_ = nullptr;
  std::string path_;
  int busyTimeoutMs_ = 0;
};
}  // namespace nao_kinora_console

#endif  // NAO_KINORA_CONSOLE_SQLITE_DB_H
