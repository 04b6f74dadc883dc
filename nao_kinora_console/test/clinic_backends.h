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
      server_.reset(new kinora_test::PgServer());
      where_ = server_->url();
    }
    else
      where_ = folder + "clinic.db";
  }
  const std::string& where() const { return where_; }
  // Null on SQLite.
  kinora_test::PgServer* server() const { return server_.get(); }

private:
  std::unique_ptr<kinora_test::PgServer> server_;
  std::string where_;
};
}  // namespace clinic_test

#endif  // NAO_KINORA_CONSOLE_TEST_CLINIC_BACKENDS_H
