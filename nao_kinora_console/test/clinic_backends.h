// The clinic store's two back ends for its tables: an SQLite file in the
// test's temporary folder, or a new database on a PostgreSQL server the test
// starts itself. A table runs on both by taking a Backend as its parameter.
#ifndef NAO_KINORA_CONSOLE_TEST_CLINIC_BACKENDS_H
#define NAO_KINORA_CONSOLE_TEST_CLINIC_BACKENDS_H

#include "pg_test_server.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace clinic_test
{
enum class Backend
{
  kSqlite,
  kPostgres
};

inline std::string backendName(Backend b)
{
  return b == Backend::kSqlite ? "sqlite" : "postgresql";
}

// Both, for ::testing::ValuesIn.
const Backend kBackends[] = {Backend::kSqlite, Backend::kPostgres};

// Where the store's database is: folder + "clinic.db", or a server's database.
class StoreDatabase
{
public:
  StoreDatabase(Backend backend, const std::string& folder)
  {
    if (backend == Backend::kPostgres)
    {
      // The program's one server, a database of the case's own.
      server_ = &kinora_test::sharedPgServer();
      where_ = kinora_test::freshDatabase();
    }
    else
      where_ = folder + "clinic.db";
  }
  const std::string& where() const { return where_; }
  // Null on SQLite. Shared by the program's cases: one that stops it runs
  // as a program of its own.
  kinora_test::PgServer* server() const { return server_; }

private:
  kinora_test::PgServer* server_ = nullptr;
  std::string where_;
};
}  // namespace clinic_test

#endif  // NAO_KINORA_CONSOLE_TEST_CLINIC_BACKENDS_H
