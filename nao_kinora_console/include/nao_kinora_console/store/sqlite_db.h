// A thin owner of an SQLite connection and its prepared statements: values
// are always bound, never spliced into SQL text, and every failure comes back
// as a message instead of an exception.
#ifndef NAO_KINORA_CONSOLE_SQLITE_DB_H
#define NAO_KINORA_CONSOLE_SQLITE_DB_H

#include <cstdint>
#include <string>

struct sqlite3;
struct sqlite3_stmt;

namespace nao_kinora_console
{
class Statement;

class Database
{
public:
  Database() = default;
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // Opens an existing file read-write, or creates it when create is true.
  // "" on success, else SQLite's reason.
  std::string open(const std::string& path, bool create);
  // Runs fixed SQL (no values): pragmas and the schema. "" or the reason.
  std::string exec(const char* sql);
  std::string lastError() const;
  int64_t lastInsertId() const;
  int changes() const;
  sqlite3* handle() const { return db_; }

private:
  sqlite3* db_ = nullptr;
};

// One prepared statement. bind() takes 1-based positions; step() is true
// while a row is there. Any failure is kept in error() and makes the later
// calls do nothing, so a sequence of calls is checked once at its end.
class Statement
{
public:
  Statement(Database& db, const char* sql);
  ~Statement();
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
  void reset();

  int64_t integer(int column) const;
  double real(int column) const;
  std::string text(int column) const;
  bool isNull(int column) const;
  const std::string& error() const { return error_; }

private:
  void fail();

  Database& db_;
  sqlite3_stmt* stmt_ = nullptr;
  std::string error_;
};

// BEGIN IMMEDIATE ... COMMIT; rolled back unless commit() succeeded.
class Transaction
{
public:
  explicit Transaction(Database& db);
  ~Transaction();
  const std::string& error() const { return error_; }
  std::string commit();

private:
  Database& db_;
  bool open_ = false;
  std::string error_;
};
}  // namespace nao_kinora_console

#endif  // NAO_KINORA_CONSOLE_SQLITE_DB_H
