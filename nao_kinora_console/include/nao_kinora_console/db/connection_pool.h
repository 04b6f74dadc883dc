// A few connections to one database shared by the server's threads: each
// thread leases one for a request and gives it back, so no two threads use a
// connection at once and at most `size` are open.
//
//   ConnectionPool pool([&](SqlError& e) { return openConnection(where, false, e); }, 4);
//   auto db = pool.lease();
//   if (!db) return db.failure();  // the database cannot be reached
//   Statement s(*db, "SELECT ...");
#ifndef NAO_KINORA_CONSOLE_CONNECTION_POOL_H
#define NAO_KINORA_CONSOLE_CONNECTION_POOL_H

#include "nao_kinora_console/db/sql_connection.h"

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace nao_kinora_console
{
class ConnectionPool
{
public:
  using Opener = std::function<std::unique_ptr<SqlConnection>(SqlError& error)>;

  class Lease
  {
  public:
    Lease(Lease&& other) noexcept;
    Lease& operator=(Lease&&) = delete;
    ~Lease();
    explicit operator bool() const { return connection_ != nullptr; }
    SqlConnection& operator*() const { return *connection_; }
    SqlConnection* operator->() const { return connection_.get(); }
    // Why there is no connection: the opener's error.
    const SqlError& failure() const { return error_; }

  private:
    friend class ConnectionPool;
    Lease(ConnectionPool* pool, std::unique_ptr<SqlConnection> connection, SqlError error);

    ConnectionPool* pool_;
    std::unique_ptr<SqlConnection> connection_;
    SqlError error_;
  };

  // Opens connections when first needed, up to size (at least 1).
  ConnectionPool(Opener open, int size);
  ConnectionPool(const ConnectionPool&) = delete;
  ConnectionPool& operator=(const ConnectionPool&) = delete;

  // Waits while all connections are leased. A connection that cannot be
  // opened gives a lease without one; the next lease tries again.
  Lease lease();

private:
  void giveBack(std::unique_ptr<SqlConnection> connection);

  Opener open_;
  const int size_;
  std::mutex mutex_;
  std::condition_variable returned_;
  std::vector<std::unique_ptr<SqlConnection>> idle_;
  int opened_ = 0;  // idle and leased
};
}  // namespace nao_kinora_console

#endif  // NAO_KINORA_CONSOLE_CONNECTION_POOL_H
