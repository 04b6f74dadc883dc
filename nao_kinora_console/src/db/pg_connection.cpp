#include "nao_kinora_console/db/pg_connection.h"

#include <libpq-fe.h>
#include <poll.h>

#include <charconv>
#include <cstdlib>
#include <thread>
#include <vector>

namespace nao_kinora_console
{
namespace
{
// Every transaction of the store holds this advisory lock (one per
// database) to its end: writers queue as they do on an SQLite file.
const char* const kWriteLockSql = "SELECT pg_advisory_xact_lock(118077764235873)";  // "kinora" in ASCII
// As SQLite's busy timeout: how long a writer waits for another. Below the
// deadline, so a writer queued behind another is told "busy", not "lost".
const int kBusyTimeoutMs = kDefaultBusyTimeoutMs;
// An unreachable or hung server is given up on after this long, not the
// OS's minutes (libpq takes whole seconds, at least 2).
const char* const kConnectTimeoutSeconds = "2";
// A connection that sends nothing for this long asks whether the server is
// still there; a server that does not acknowledge what was sent within the
// user timeout is given up on. Neither catches a server whose processes are
// stopped (its kernel still answers): the deadline on every call does.
const char* const kKeepalivesIdle = "5";
const char* const kKeepalivesInterval = "2";
const char* const kKeepalivesCount = "2";
const char* const kTcpUserTimeoutMs = "5000";
// After a call missed its deadline or the server could not be reached, calls
// fail at once for this long: a console whose threads queue on a hung server
// answers each of them in about one deadline, not one deadline each.
const auto kRetryAfterLoss = std::chrono::seconds(1);
const auto kSlowConnect = std::chrono::milliseconds(500);

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
    const bool sent = PQsendQueryPrepared(conn_.handle(), name.c_str(), static_cast<int>(values.size()),
                                          pointers.data(), nullptr, nullptr, 0) == 1;
    result_ = conn_.await(sent, error);
    if (!error.ok())
    {
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
  drop();
  if (std::chrono::steady_clock::now() < retryAt_)
    return {SqlFault::kUnavailable, "the database server [" + name_ + "] cannot be reached now"};
  // The URL comes last so that what it says wins over these defaults.
  const char* keys[] = {"connect_timeout",  "keepalives",
                        "keepalives_idle",  "keepalives_interval",
                        "keepalives_count", "tcp_user_timeout",
                        "application_name", "client_encoding",
                        "dbname",           nullptr};
  const char* values[] = {kConnectTimeoutSeconds, "1",
                          kKeepalivesIdle,        kKeepalivesInterval,
                          kKeepalivesCount,       kTcpUserTimeoutMs,
                          "nao_kinora_console",   "UTF8",
                          url_.c_str(),           nullptr};
  const auto began = std::chrono::steady_clock::now();
  conn_ = PQconnectdbParams(keys, values, 1);
  if (PQstatus(conn_) != CONNECTION_OK)
  {
    std::string reason = firstLine(PQerrorMessage(conn_));
    const std::size_t failed = reason.find("failed: ");
    if (failed != std::string::npos)
      reason = reason.substr(failed + 8);
    drop();
    // A refusal comes at once and the next try may find the server back; a
    // try that waited (a host or server not answering) is not made again
    // for a while, so that no caller waits out the connect timeout in turn.
    if (std::chrono::steady_clock::now() - began > kSlowConnect)
      retryAt_ = std::chrono::steady_clock::now() + kRetryAfterLoss;
    return {SqlFault::kUnavailable, "cannot reach the database server [" + name_ + "]: " + reason};
  }
  PQsetNoticeProcessor(conn_, ignoreNotice, nullptr);
  return settle();
}

void PgConnection::drop()
{
  PQfinish(conn_);
  conn_ = nullptr;
  statements_.clear();
  transaction_ = false;
}

SqlError PgConnection::settle()
{
  // Straight to libpq: execute() would connect again when this fails. The
  // server stops a statement itself a little after the deadline (numbers,
  // not text from outside).
  const std::string sql = "SET lock_timeout = " + std::to_string(busyTimeoutMs_) +
                          "; SET statement_timeout = " + std::to_string(deadlineMs_ + 500);
  SqlError error;
  PGresult* r = await(PQsendQuery(conn_, sql.c_str()) == 1, error);
  PQclear(r);
  return error;
}

bool PgConnection::waitSocket(short events, std::chrono::steady_clock::time_point deadline)
{
  for (;;)
  {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0)
      return false;
    pollfd p = {PQsocket(conn_), events, 0};
    const int n = poll(&p, 1, static_cast<int>(left.count()));
    if (n > 0)
      return true;
    if (n < 0 && errno != EINTR)
      return true;  // PQconsumeInput then says what is wrong with the socket
  }
}

// libpq waits for a server without end: what was sent is awaited here, on
// the socket, until the deadline. A server that has not answered by then is
// left (the connection closed, the next use connects again), so a hung server
// costs one deadline, never a thread.
PGresult* PgConnection::await(bool sent, SqlError& error)
{
  if (!sent)
  {
    error = failure(nullptr);
    return nullptr;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadlineMs_);
  PGresult* kept = nullptr;
  for (;;)
  {
    int flushed;
    while ((flushed = PQflush(conn_)) == 1)
      if (!waitSocket(POLLOUT, deadline))
        break;
    while (flushed == 0 && PQisBusy(conn_))
    {
      if (!waitSocket(POLLIN, deadline))
      {
        flushed = 1;
        break;
      }
      if (!PQconsumeInput(conn_))
        break;
    }
    if (flushed != 0 || PQisBusy(conn_))
    {
      PQclear(kept);
      const bool lostIt = flushed < 0 || PQstatus(conn_) != CONNECTION_OK;
      error = lostIt ? failure(nullptr) : timedOut();
      if (!lostIt)
        drop();
      return nullptr;
    }
    PGresult* r = PQgetResult(conn_);
    if (!r)
      break;
    // Of several statements, the first that failed, else the last.
    const ExecStatusType status = PQresultStatus(kept);
    if (kept && status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
      PQclear(r);
    else
    {
      PQclear(kept);
      kept = r;
    }
  }
  const ExecStatusType status = PQresultStatus(kept);
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
  {
    error = failure(kept);
    PQclear(kept);
    return nullptr;
  }
  return kept;
}

SqlError PgConnection::timedOut()
{
  retryAt_ = std::chrono::steady_clock::now() + kRetryAfterLoss;
  return {SqlFault::kUnavailable,
          "the database server [" + name_ + "] did not answer within " + std::to_string(deadlineMs_) + " ms"};
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
  {
    // The transaction stays open, lost, until its commit or rollback says
    // so: nothing of it may go on over a new connection.
    drop();
    transaction_ = true;
    return {SqlFault::kUnavailable, "the connection to the database server [" + name_ + "] was lost in a transaction"};
  }
  return connect();
}

std::string PgConnection::prepared(const std::string& numberedSql, int parameters, SqlError& error)
{
  const auto known = statements_.find(numberedSql);
  if (known != statements_.end())
    return known->second;
  const std::string name = "s" + std::to_string(statements_.size() + 1);
  PGresult* r = await(PQsendPrepare(conn_, name.c_str(), numberedSql.c_str(), parameters, nullptr) == 1, error);
  PQclear(r);
  if (!error.ok())
    return "";
  statements_[numberedSql] = name;
  return name;
}

SqlError PgConnection::failure(PGresult* result)
{
  const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
  const char* primary = result ? PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
  SqlError error{state ? pgFault(state) : SqlFault::kInternal, primary ? primary : firstLine(PQerrorMessage(conn_))};
  if (!conn_ || PQstatus(conn_) != CONNECTION_OK)
    error.fault = SqlFault::kUnavailable;
  // The server's own deadline (statement or lock timeout): it is slow, not gone.
  if (state && (std::string(state) == "57014" || std::string(state) == "55P03"))
    error.fault = std::string(state) == "57014" ? SqlFault::kUnavailable : SqlFault::kBusy;
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
  PGresult* r = await(PQsendQuery(conn_, sql.c_str()) == 1, error);
  if (error.ok())
    noteChanges(r);
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
  PGresult* r = await(PQsendQuery(conn_, "COMMIT") == 1, error);
  transaction_ = false;
  if (error.ok() && std::string(PQcmdStatus(r)) == "ROLLBACK")  // what COMMIT does after a failed statement
    error = {SqlFault::kInternal, "rolled back: a statement of the transaction had failed"};
  PQclear(r);
  return error;
}

void PgConnection::rollback()
{
  if (!transaction_)
    return;
  transaction_ = false;
  SqlError ignored;
  if (conn_ && PQstatus(conn_) == CONNECTION_OK)
    PQclear(await(PQsendQuery(conn_, "ROLLBACK") == 1, ignored));
}

void PgConnection::setBusyTimeout(int milliseconds)
{
  busyTimeoutMs_ = milliseconds;
  if (ready().ok())
    settle();
}

void PgConnection::setDeadline(int milliseconds)
{
  deadlineMs_ = milliseconds;
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
