#include "nao_kinora_console/server/bounded_pool.h"

#include <ros/console.h>

#include <exception>

namespace nao_kinora_console
{
BoundedPool::BoundedPool(std::string name, int threads, std::size_t queue) : name_(std::move(name)), capacity_(queue)
{
  for (int i = 0; i < threads; ++i)
    threads_.emplace_back([this] { work(); });
}

BoundedPool::~BoundedPool()
{
  stop();
}

bool BoundedPool::post(std::function<void()> task)
{
  {
    std::lock_guard<std::mutex> hold(mutex_);
    if (stopping_ || queue_.size() >= capacity_)
      return false;
    queue_.push_back(std::move(task));
  }
  wake_.notify_one();
  return true;
}

std::size_t BoundedPool::waiting() const
{
  std::lock_guard<std::mutex> hold(mutex_);
  return queue_.size();
}

void BoundedPool::stop()
{
  {
    std::lock_guard<std::mutex> hold(mutex_);
    stopping_ = true;
    queue_.clear();
  }
  wake_.notify_all();
  for (std::thread& t : threads_)
    if (t.joinable())
      t.join();
  threads_.clear();
}

void BoundedPool::work()
{
  for (;;)
  {
    std::function<void()> task;
    {
      std::unique_lock<std::mutex> hold(mutex_);
      wake_.wait(hold, [this] { return stopping_ || !queue_.empty(); });
      if (stopping_)
        return;
      task = std::move(queue_.front());
      queue_.pop_front();
    }
    // The tasks answer their own faults; this is the last line, so that one
    // request's fault never ends the console.
    try
    {
      task();
    }
    catch (const std::exception& e)
    {
      ROS_ERROR("%s: a task failed: %s", name_.c_str(), e.what());
    }
    catch (...)
    {
      ROS_ERROR("%s: a task failed", name_.c_str());
    }
  }
}
}  // namespace nao_kinora_console
