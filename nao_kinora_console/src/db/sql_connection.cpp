// What both back ends share: statements, transactions, the values refused on
// both, and the schema's migrations.
#include "nao_kinora_console/db/sql_connection.h"

#include "nao_kinora_console/db/pg_connection.h"
#include "nao_kinora_console/db/sqlite_db.h"
#include "nao_kinora_console/db/text_checks.h"

#include <cmath>

namespace nao_kinora_console
{

const char* faultName(SqlFault fault)
{
  switch (fault)
  {
    case SqlFault::kNone:
      return "none";
    case SqlFault::kTaken:
      return "taken";
    case SqlFault::kConstraint:
      return "constraint";
    case SqlFault::kNotFound:
      return "not found";
    case SqlFault::kBusy:
      return "busy";
    case SqlFault::kUnavailable:
      return "unavailable";
    case SqlFault::kCorrupt:
      return "corrupt";
    case SqlFault::kNewerSchema:
      return "newer schema";
    case SqlFault::kInternal:
      return "internal";
  }
  return "unknown";
}

bool isServerAddress(const std::string& where)
{
  return where.rfind("postgresql://", 0) == 0 || where.rfind("postgres://", 0) == 0;
}

std::unique_ptr<SqlConnection> openConnection(const std::string& where, bool create, SqlError& error)
{
  if (isServerAddress(where))
    return PgConnection::open(where, error);
  std::unique_ptr<Database> db(new Database());
  error = db->openFile(where, create);
  if (!error.ok())
    db.reset();
  return db;
}

// ---------------------------------------------------------------- Statement

Statement::Statement(SqlConnection& db, const char* sql)
{
  cursor_ = db.prepare(sql, error_);
  if (!cursor_ && error_.ok())
    error_ = {SqlFault::kInternal, "no statement in [" + std::string(sql) + "]"};
}

void Statement::refuse(SqlFault fault, const std::string& why)
{
  if (error_.ok())
    error_ = {fault, why};
}

Statement& Statement::put(int index, SqlValue value)
{
  if (!error_.ok())
    return *this;
  if (index < 1 || index > cursor_->parameterCount())
  {
    refuse(SqlFault::kInternal, "no placeholder " + std::to_string(index) + " in the statement");
    return *this;
  }
  if (values_.size() < static_cast<std::size_t>(index))
    values_.resize(index);
  values_[index - 1] = std::move(value);
  return *this;
}

Statement& Statement::bind(int index, int64_t value)
{
  SqlValue v;
  v.kind = SqlValue::Kind::kInteger;
  v.integer = value;
  return put(index, std::move(v));
}

Statement& Statement::bind(int index, double value)
{
  if (!std::isfinite(value))
  {
    refuse(SqlFault::kConstraint, "value " + std::to_string(index) + " is not a finite number");
    return *this;
  }
  SqlValue v;
  v.kind = SqlValue::Kind::kReal;
  v.real = value;
  return put(index, std::move(v));
}

Statement& Statement::bind(int index, const std::string& value)
{
  if (value.find('\0') != std::string::npos || !validUtf8(value))
  {
    refuse(SqlFault::kConstraint, "value " + std::to_string(index) + " is not text (a NUL or invalid UTF-8)");
    return *this;
  }
  SqlValue v;
  v.kind = SqlValue::Kind::kText;
  v.text = value;
  return put(index, std::move(v));
}

Statement& Statement::bindNull(int index)
{
  return put(index, SqlValue());
}

bool Statement::step()
{
  if (!error_.ok())
    return row_ = false;
  if (!started_)
  {
    started_ = true;
    values_.resize(cursor_->parameterCount());  // unbound placeholders are NULL
    row_ = cursor_->start(values_, error_);
  }
  else
    row_ = cursor_->next(error_);
  return row_;
}

std::string Statement::run()
{
  step();
  return error_.message;
}

void Statement::reset()
{
  if (cursor_)
    cursor_->reset();
  values_.clear();
  started_ = false;
  row_ = false;
}

int64_t Statement::integer(int column) const
{
  return row_ ? cursor_->integer(column) : 0;
}

double Statement::real(int column) const
{
  return row_ ? cursor_->real(column) : 0;
}

std::string Statement::text(int column) const
{
  return row_ ? cursor_->text(column) : std::string();
}

bool Statement::isNull(int column) const
{
  return !row_ || cursor_->isNull(column);
}

// ---------------------------------------------------------------- Transaction

Transaction::Transaction(SqlConnection& db) : db_(db)
{
  error_ = db_.begin();
  open_ = error_.ok();
}

Transaction::~Transaction()
{
  if (open_)
    db_.rollback();
}

std::string Transaction::commit()
{
  if (!open_)
    return error_.message;
  error_ = db_.commit();
  open_ = !error_.ok() && db_.inTransaction();
  return error_.message;
}

SqlError migrateSchema(SqlConnection& db, int64_t count, const SchemaStep& step)
{
  for (;;)
  {
    Transaction t(db);
    if (!t.failure().ok())
      return t.failure();
    SqlError error;
    const int64_t version = db.schemaVersion(error);
    if (!error.ok())
      return error;
    if (version > count)
      return {SqlFault::kNewerSchema,
              "schema version " + std::to_string(version) + ", this code knows up to " + std::to_string(count)};
    if (version == count)
      return {};
    error = step(db, version);
    if (error.ok())
      error = db.setSchemaVersion(version + 1);
    if (error.ok())
      t.commit();
    if (!error.ok() || !t.failure().ok())
      return error.ok() ? t.failure() : error;
  }
}
}  // namespace nao_kinora_console
