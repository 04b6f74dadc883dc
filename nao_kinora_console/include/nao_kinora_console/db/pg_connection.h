// The PostgreSQL back end of the store's database layer, through libpq: a
// connection to postgresql://USER@HOST:PORT/DB that prepares each statement
// once, binds every value, serialises writers like SQLite's BEGIN IMMEDIATE
// and, when the server was lost, connects again by itself at the next use
// outside a transaction. Every call has a deadline (setDeadline): a server
// that is hung, not only gone, is a kUnavailable fault within it.
#ifndef NAO_KINORA_CONSOLE_PG_CONNECTION_H
#define NAO_KINORA_CONSOLE_PG_CONNECTION_H

#include "nao_kinora_console/db/sql_connection.h"

#include <chrono>
#include <map>
#include <string>

struct pg_conn;
struct pg_result;

namespace nao_kinora_console
{
// The fault of a SQLSTATE ("23505" -> kTaken).
SqlFault pgFault(const std::string& sqlstate);

// The store's "?" placeholders numbered for the server ($1, $2, ...); a "?"
// in a quoted string, a quoted name or a comment is left as it is.
std::string numberPlaceholders(const std::string& sql, int& count);

// A server address as messages name it: "host:port/db", never the user's
// password. False when it is not a PostgreSQL URL libpq reads.
bool describeServer(const std::string& url, std::string& name, std::string& why);

class PgConnection : public SqlConnection
{
public:
  // Connects; null, with a kUnavailable error naming the server in one line,
  // when it cannot.
  static std::unique_ptr<PgConnection> open(const std::string& url, SqlError& error);
  ~PgConnection() override;
  PgConnection(const PgConnection&) = delete;
  PgConnection& operator=(const PgConnection&) = delete;

  SqlDialect dialect() const override { return SqlDialect::kPostgres; }
  const std::string& describe() const override { return name_; }
  SqlError execute(const std::string& sql) override;
  std::unique_ptr<SqlCursor> prepare(const std::string& sql, SqlError& error) override;
  // BEGIN, then the database's write lock (a transaction-level advisory lock).
  SqlError begin() override;
  SqlError commit() override;
  void rollback() override;
  bool inTransaction() const override { return transaction_; }
  int64_t changes() const override { return changes_; }
  void setBusyTimeout(int milliseconds) override;
  void setDeadline(int milliseconds) override;
  int64_t schemaVersion(SqlError& error) override;  // the table schema_version
  SqlError setSchemaVersion(int64_t version) override;

  // For the cursors: a usable connection (connected again when it was lost
  // outside a transaction), the server-side name of a prepared statement,
  // and what a failed result means.
  SqlError ready();
  std::string prepared(const std::string& numberedSql, int parameters, SqlError& error);
  SqlError failure(pg_result* result);
  void noteChanges(pg_result* result);
  pg_conn* handle() const { return conn_; }
  // The result of what was just sent (sent: whether libpq took it), awaited
  // until the deadline; null with error set when it failed or did not come.
  pg_result* await(bool sent, SqlError& error);

private:
  PgConnection() = default;
  SqlError connect();
  SqlError settle();  // the session's settings, after each connection
  void drop();        // the connection closed, its statements forgotten
  bool waitSocket(short events, std::chrono::steady_clock::time_point deadline);
  SqlError timedOut();

  pg_conn* conn_ = nullptr;
  std::string url_;
  std::string name_;
  bool transaction_ = false;
  int64_t changes_ = 0;
  int busyTimeoutMs_ = 0;  // set by open()
  int deadlineMs_ = kDefaultDeadlineMs;
  std::chrono::steady_clock::time_point retryAt_;  // no new connection before
  std::map<std::string, std::string> statements_;  // numbered SQL -> server-side name
};
}  // namespace nao_kinora_console

#endif  // NAO_KINORA_CONSOLE_PG_CONNECTION_H
