#include "nao_kinora_console/db/pg_connection.h"

#include <libpq-fe.h>
#include <poll.h>

#include <charconv>
#include <cstdlib>
#include <vector>

namespace nao_kinora_console
{
namespace
{
// Every transaction of the store holds this advisory lock (one per
// database) to its end: writers queue as they do on an SQLite file.
const char* const kWriteLockSql = "SELECT pg_advisory_xact_lock(118077764235873)";  // "kinora" in ASCII
// As SQLite's busy timeout: how long a writer waits for another.
const int kBusyTimeoutMs = 5000;
// An unreachable server is given up on after this long, not the OS's minutes.
const char* const kConnectTimeoutSeconds = "10";

std::string firstLine(const char* text)
{
  std::string line = text ? text : "";
  line = line.substr(0, line.find('\n'));
  while (!line.empty() && (line.back() == ' ' || line.back() == '\r'))
    line.pop_back();
  return line;
}

// libpq's own notices (an idle server that says it is leaving, "already
// exists, skipping") would go to standard error; failures come back as values.
void ignoreNotice(void*, const char*) {}

class PgCursor : public SqlCursor
{
public:
  PgCursor(PgConnection& conn, std::string sql, int parameters)
      : conn_(conn), sql_(std::move(sql)), parameters_(parameters)
  {
  }
  ~PgCursor() override { PQclear(result_); }

  int parameterCount() const override { return parameters_; }

  bool start(const std::vector<SqlValue>& values, SqlError& error) override
  {
    reset();
    error = conn_.ready();
    const std::string name = error.ok() ? conn_.prepared(sql_, parameters_, error) : "";
    if (!error.ok())
      return false;
    std::vector<std::string> texts(values.size());
    std::vector<const char*> pointers(values.size(), nullptr);
    for (std::size_t i = 0; i < values.size(); ++i)
      if (values[i].kind != SqlValue::Kind::kNull)
        pointers[i] = (texts[i] = textOf(values[i])).c_str();
    result_ = PQexecPrepared(conn_.handle(), name.c_str(), static_cast<int>(values.size()), pointers.data(), nullptr,
                             nullptr, 0);
    const ExecStatusType status = PQresultStatus(result_);
    if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK)
    {
      error = conn_.failure(result_);
      reset();
      return false;
    }
    conn_.noteChanges(result_);
    row_ = 0;
    return row_ < PQntuples(result_);
  }

  bool next(SqlError&) override { return result_ && ++row_ < PQntuples(result_); }

  void reset() override
  {
    PQclear(result_);
    result_ = nullptr;
    row_ = 0;
  }

  int64_t integer(int column) const override
  {
    const std::string t = text(column);
    if (t == "t" || t == "f")  // a boolean column
      return t == "t";
    int64_t value = 0;
    if (std::from_chars(t.data(), t.data() + t.size(), value).ec != std::errc() ||
        t.find_first_of(".eE") != std::string::npos)
      return static_cast<int64_t>(real(column));  // a real number, cut as SQLite does
    return value;
  }

  double real(int column) const override
  {
    const std::string t = text(column);
    double value = 0;
    std::from_chars(t.data(), t.data() + t.size(), value);
    return value;
  }

  std::string text(int column) const override
  {
    if (!has(column))
      return "";
    return std::string(PQgetvalue(result_, row_, column), PQgetlength(result_, row_, column));
  }

  bool isNull(int column) const override { return !has(column) || PQgetisnull(result_, row_, column); }

private:
  bool has(int column) const
  {
    return result_ && row_ < PQntuples(result_) && column >= 0 && column < PQnfields(result_);
  }

  // Values go as text: the server converts them to the column's type, and
  // a double's shortest form reads back as the same double.
  static std::string textOf(const SqlValue& v)
  {
    if (v.kind == SqlValue::Kind::kText)
      return v.text;
    char buffer[32];
    const auto end = v.kind == SqlValue::Kind::kInteger ? std::to_chars(buffer, buffer + sizeof buffer, v.integer)
                                                        : std::to_chars(buffer, buffer + sizeof buffer, v.real);
    return std::string(buffer, end.ptr);
  }

  PgConnection& conn_;
  std::string sql_;
  int parameters_;
  PGresult* result_ = nullptr;
  int row_ = 0;
};
}  // namespace

std::unique_ptr<PgConnection> PgConnection::open(const std::string& url, SqlError& error)
{
  std::unique_ptr<PgConnection> c(new PgConnection());
  c->url_ = url;
  c->busyTimeoutMs_ = kBusyTimeoutMs;
  std::string why;
  if (!describeServer(url, c->name_, why))
  {
    error = {SqlFault::kInternal, why};
    return nullptr;
  }
  error = c->connect();
  if (!error.ok())
    c.reset();
  return c;
}

PgConnection::~PgConnection()
{
  PQfinish(conn_);
}

SqlError PgConnection::connect()
{
  PQfinish(conn_);
  statements_.clear();
  transaction_ = false;
  // The URL comes last so that what it says wins over these defaults.
  const char* keys[] = {"connect_timeout", "application_name", "client_encoding", "dbname", nullptr};
  const char* values[] = {kConnectTimeoutSeconds, "nao_kinora_console", "UTF8", url_.c_str(), nullptr};
  conn_ = PQconnectdbParams(keys, values, 1);
  if (PQstatus(conn_) != CONNECTION_OK)
  {
    std::string reason = firstLine(PQerrorMessage(conn_));
    const std::size_t failed = reason.find("failed: ");
    if (failed != std::string::npos)
      reason = reason.substr(failed + 8);
    return {SqlFault::kUnavailable, "cannot reach the database server [" + name_ + "]: " + reason};
  }
  PQsetNoticeProcessor(conn_, ignoreNotice, nullptr);
  return settle();
}

SqlError PgConnection::settle()
{
  // Straight to libpq: execute() would connect again when this fails.
  const std::string sql = "SET lock_timeout = " + std::to_string(busyTimeoutMs_);  // a number, not text from outside
  PGresult* r = PQexec(conn_, sql.c_str());
  const SqlError error = PQresultStatus(r) == PGRES_COMMAND_OK ? SqlError() : failure(r);
  PQclear(r);
  return error;
}

SqlError PgConnection::ready()
{
  // A server that left while this connection was idle has said so and
  // closed it: reading that now turns the connection bad before it is used.
  while (conn_ && PQstatus(conn_) == CONNECTION_OK)
  {
    pollfd p = {PQsocket(conn_), POLLIN, 0};
    if (poll(&p, 1, 0) != 1 || !PQconsumeInput(conn_))
      break;
  }
  if (conn_ && PQstatus(conn_) == CONNECTION_OK)
    return {};
  if (transaction_)
    return {SqlFault::kUnavailable, "the connection to the database server [" + name_ + "] was lost in a transaction"};
  return connect();
}

std::string PgConnection::prepared(const std::string& numberedSql, int parameters, SqlError& error)
{
  const auto known = statements_.find(numberedSql);
  if (known != statements_.end())
    return known->second;
  const std::string name = "s" + std::to_string(statements_.size() + 1);
  PGresult* r = PQprepare(conn_, name.c_str(), numberedSql.c_str(), parameters, nullptr);
  const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
  if (!ok)
    error = failure(r);
  PQclear(r);
  if (!ok)
    return "";
  statements_[numberedSql] = name;
  return name;
}

SqlError PgConnection::failure(PGresult* result)
{
  const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
  const char* primary = result ? PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
  SqlError error{state ? pgFault(state) : SqlFault::kInternal, primary ? primary : firstLine(PQerrorMessage(conn_))};
  if (PQstatus(conn_) != CONNECTION_OK)
    error.fault = SqlFault::kUnavailable;
  return error;
}

void PgConnection::noteChanges(PGresult* result)
{
  const char* rows = PQcmdTuples(result);
  changes_ = rows && *rows ? std::atoll(rows) : 0;
}

SqlError PgConnection::execute(const std::string& sql)
{
  SqlError error = ready();
  if (!error.ok())
    return error;
  PGresult* r = PQexec(conn_, sql.c_str());
  const ExecStatusType status = PQresultStatus(r);
  if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK)
    noteChanges(r);
  else
    error = failure(r);
  PQclear(r);
  return error;
}

std::unique_ptr<SqlCursor> PgConnection::prepare(const std::string& sql, SqlError& error)
{
  int count = 0;
  const std::string numbered = numberPlaceholders(sql, count);
  // Prepared now, so that a mistake in the SQL shows where it is written.
  error = ready();
  if (error.ok())
    prepared(numbered, count, error);
  if (!error.ok())
    return nullptr;
  return std::unique_ptr<SqlCursor>(new PgCursor(*this, numbered, count));
}

SqlError PgConnection::begin()
{
  if (transaction_)
    return {SqlFault::kInternal, "a transaction is already open"};
  SqlError error = execute("BEGIN");
  if (!error.ok())
    return error;
  transaction_ = true;
  error = execute(kWriteLockSql);
  if (!error.ok())
    rollback();
  return error;
}

SqlError PgConnection::commit()
{
  if (!transaction_)
    return {SqlFault::kInternal, "no transaction to commit"};
  SqlError error = ready();
  if (!error.ok())
  {
    transaction_ = false;
    return error;
  }
  PGresult* r = PQexec(conn_, "COMMIT");
  transaction_ = false;
  if (PQresultStatus(r) != PGRES_COMMAND_OK)
    error = failure(r);
  else if (std::string(PQcmdStatus(r)) == "ROLLBACK")  // what COMMIT does after a failed statement
    error = {SqlFault::kInternal, "rolled back: a statement of the transaction had failed"};
  PQclear(r);
  return error;
}

void PgConnection::rollback()
{
  if (!transaction_)
    return;
  transaction_ = false;
  if (PQstatus(conn_) == CONNECTION_OK)
    PQclear(PQexec(conn_, "ROLLBACK"));
}

void PgConnection::setBusyTimeout(int milliseconds)
{
  busyTimeoutMs_ = milliseconds;
  if (ready().ok())
    settle();
}

int64_t PgConnection::schemaVersion(SqlError& error)
{
  // Read from the catalog's table under this statement's snapshot, not with
  // to_regclass: its cache may still say "no such table" after waiting on the
  // write lock for a console that has just made it (waiting on an advisory
  // lock takes in no news of the catalog).
  Statement exists(*this,
                   "SELECT EXISTS (SELECT 1 FROM pg_catalog.pg_tables"
                   " WHERE schemaname = current_schema() AND tablename = 'schema_version')");
  const bool made = exists.step() && exists.integer(0) == 1;
  error = exists.failure();
  if (!made || !error.ok())
    return 0;
  Statement s(*this, "SELECT coalesce(max(version), 0) FROM schema_version");
  const int64_t version = s.step() ? s.integer(0) : 0;
  error = s.failure();
  return version;
}

SqlError PgConnection::setSchemaVersion(int64_t version)
{
  return execute(
      "CREATE TABLE IF NOT EXISTS schema_version(version BIGINT NOT NULL); DELETE FROM schema_version; "
      "INSERT INTO schema_version VALUES (" +
      std::to_string(version) + ")");  // a number, not text from outside
}
}  // namespace nao_kinora_console
