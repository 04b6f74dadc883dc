// The store's database layer: one connection interface with two back ends
// (an SQLite file, a PostgreSQL server), prepared statements with bound values
// only, transactions, and failures as typed values with the driver's message.
//
//   SqlError error;
//   auto db = openConnection("postgresql://kinora@127.0.0.1:5432/clinic", false, error);
//   Transaction t(*db);
//   Statement s(*db, "INSERT INTO patients(code, note, created) VALUES (?, ?, ?) RETURNING id");
//   if (s.bind(1, code).bind(2, note).bind(3, wallNow()).step()) id = s.integer(0);
//   if (s.failure().fault == SqlFault::kTaken) ...;  // the code is someone else's
//   t.commit();
#ifndef NAO_KINORA_CONSOLE_SQL_CONNECTION_H
#define NAO_KINORA_CONSOLE_SQL_CONNECTION_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace nao_kinora_console
{
// The deadline of every database call unless set otherwise: a hung database
// is an answer ("cannot be read right now") within about this long.
const int kDefaultDeadlineMs = 2000;
// How long a writer waits for another's lock before kBusy: within the deadline.
const int kDefaultBusyTimeoutMs = 1500;

// What went wrong, as the store and the API act on it.
enum class SqlFault
{
  kNone,
  kTaken,        // a unique key already holds the value
  kConstraint,   // a check, foreign key or not-null rule, or a value no back end may store
  kNotFound,     // set by the store: no such row
  kBusy,         // another writer held the lock, or the transaction lost a race: try again
  kUnavailable,  // the database cannot be reached, or the connection to it was lost
  kCorrupt,      // the database is damaged or not a database
  kNewerSchema,  // written by newer code than this
  kInternal,     // a fault of this program or its settings (bad SQL, misuse)
};

// "taken", "constraint", ... for logs and test messages.
const char* faultName(SqlFault fault);

struct SqlError
{
  SqlFault fault = SqlFault::kNone;
  std::string message;  // the driver's words, for logs; never matched by the code
  bool ok() const { return fault == SqlFault::kNone; }
};

// A value bound to a statement's placeholder.
struct SqlValue
{
  enum class Kind
  {
    kNull,
    kInteger,
    kReal,
    kText
  };
  Kind kind = Kind::kNull;
  int64_t integer = 0;
  double real = 0;
  std::string text;
};

enum class SqlDialect
{
  kSqlite,
  kPostgres
};

// One prepared statement of a back end, run by Statement.
class SqlCursor
{
public:
  virtual ~SqlCursor() = default;
  virtual int parameterCount() const = 0;
  // Runs the statement with values[i] for placeholder i + 1; true when a row is there.
  virtual bool start(const std::vector<SqlValue>& values, SqlError& error) = 0;
  virtual bool next(SqlError& error) = 0;
  virtual void reset() = 0;
  virtual int64_t integer(int column) const = 0;
  virtual double real(int column) const = 0;
  virtual std::string text(int column) const = 0;
  virtual bool isNull(int column) const = 0;
};

// A connection to one database. Used by one thread at a time (see
// ConnectionPool for several threads).
class SqlConnection
{
public:
  virtual ~SqlConnection() = default;
  virtual SqlDialect dialect() const = 0;
  // Where it is, for messages: the file, or host:port/database (never a password).
  virtual const std::string& describe() const = 0;
  // Fixed SQL without values, possibly several statements: the schema, settings.
  virtual SqlError execute(const std::string& sql) = 0;
  // Placeholders are written "?" for both back ends.
  virtual std::unique_ptr<SqlCursor> prepare(const std::string& sql, SqlError& error) = 0;
  // Writers are serialised: a transaction holds the database's write lock
  // from begin() to its end, as SQLite's BEGIN IMMEDIATE does.
  virtual SqlError begin() = 0;
  virtual SqlError commit() = 0;
  virtual void rollback() = 0;
  virtual bool inTransaction() const = 0;
  // Rows changed by the last statement run.
  virtual int64_t changes() const = 0;
  // How long begin() waits for another writer before kBusy.
  virtual void setBusyTimeout(int milliseconds) = 0;
  // How long any call may take before it fails (kUnavailable on a server,
  // kBusy on a file whose lock another holds): a console never waits on its
  // database for longer. Upgrading a schema may be given longer.
  virtual void setDeadline(int milliseconds) = 0;
  // The schema version stored in the database (0 when none), read and
  // written inside a transaction.
  virtual int64_t schemaVersion(SqlError& error) = 0;
  virtual SqlError setSchemaVersion(int64_t version) = 0;
};

// "postgresql://..." or "postgres://...": a server; anything else is a file.
bool isServerAddress(const std::string& where);

// A server address, or an SQLite file (made when create is true). Null, with
// error set, when it cannot be opened; an unreachable server is named in one
// line.
std::unique_ptr<SqlConnection> openConnection(const std::string& where, bool create, SqlError& error);

// One prepared statement. bind() takes 1-based positions; step() is true
// while a row is there. Any failure is kept in failure() and makes the later
// calls do nothing, so a sequence of calls is checked once at its end. Text
// holding a NUL or invalid UTF-8, and numbers that are not finite, are refused
// (kConstraint) on both back ends, as one of them cannot store them.
class Statement
{
public:
  Statement(SqlConnection& db, const char* sql);
  Statement(SqlConnection& db, const std::string& sql) : Statement(db, sql.c_str()) {}
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& bind(int index, int64_t value);
  Statement& bind(int index, int value) { return bind(index, static_cast<int64_t>(value)); }
  Statement& bind(int index, double value);
  Statement& bind(int index, const std::string& value);
  Statement& bindNull(int index);
  bool step();
  // Runs a statement that returns no rows; "" or the reason.
  std::string run();
  // Ready to run again, with no values bound.
  void reset();

  // The current row's columns, from 0; 0, "" and null when there is no row.
  int64_t integer(int column) const;
  double real(int column) const;
  std::string text(int column) const;
  bool isNull(int column) const;
  const std::string& error() const { return error_.message; }
  const SqlError& failure() const { return error_; }

private:
  Statement& put(int index, SqlValue value);
  void refuse(SqlFault fault, const std::string& why);

  std::unique_ptr<SqlCursor> cursor_;
  std::vector<SqlValue> values_;
  bool started_ = false;
  bool row_ = false;
  SqlError error_;
};

// A transaction, rolled back unless commit() succeeded.
class Transaction
{
public:
  explicit Transaction(SqlConnection& db);
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  const std::string& error() const { return error_.message; }
  const SqlError& failure() const { return error_; }
  std::string commit();

private:
  SqlConnection& db_;
  bool open_ = false;
  SqlError error_;
};

// One step of a schema: takes the database from version v to v + 1.
using SchemaStep = std::function<SqlError(SqlConnection& db, int64_t v)>;

// Brings the schema from its stored version up to count, each step in a
// transaction that reads the version inside it. Writers wait for that
// transaction's lock, so of several connections opening one new database at
// once one sets it up and the others find it done. A newer version than
// count is refused (kNewerSchema).
SqlError migrateSchema(SqlConnection& db, int64_t count, const SchemaStep& step);
}  // namespace nao_kinora_console

#endif  // NAO_KINORA_CONSOLE_SQL_CONNECTION_H
