#include "nao_kinora_console/db/connection_pool.h"

#include <algorithm>

namespace nao_kinora_console
{
ConnectionPool::Lease::Lease(ConnectionPool* pool, std::unique_ptr<SqlConnection> connection, SqlError error)
    : pool_(pool), connection_(std::move(connection)), error_(std::move(error))
{
}

ConnectionPool::Lease::Lease(Lease&& other) noexcept
    : pool_(other.pool_), connection_(std::move(other.connection_)), error_(std::move(other.error_))
{
}

ConnectionPool::Lease::~Lease()
{
  if (connection_)
    pool_->giveBack(std::move(connection_));
}

ConnectionPool::ConnectionPool(Opener open, int size) : open_(std::move(open)), size_(std::max(size, 1)) {}

ConnectionPool::Lease ConnectionPool::lease()
{
  std::unique_lock<std::mutex> lock(mutex_);
  returned_.wait(lock, [this] { return !idle_.empty() || opened_ < size_; });
  if (!idle_.empty())
  {
    std::unique_ptr<SqlConnection> connection = std::move(idle_.back());
    idle_.pop_back();
    return Lease(this, std::move(connection), {});
  }
  ++opened_;
  lock.unlock();  // connecting may take a while; other leases go on meanwhile
  SqlError error;
  std::unique_ptr<SqlConnection> connection = open_(error);
  if (!connection)
  {
    lock.lock();
    --opened_;
    returned_.notify_one();
  }
  return Lease(this, std::move(connection), error);
}

void ConnectionPool::giveBack(std::unique_ptr<SqlConnection> connection)
{
  {
    std::lock_guard<std::mutex> lock(mutex_);
    idle_.push_back(std::move(connection));
  }
  returned_.notify_one();
}
}  // namespace nao_kinora_console
