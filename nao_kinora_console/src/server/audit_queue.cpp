#include "nao_kinora_console/server/audit_queue.h"

#include "nao_kinora_console/db/text_checks.h"

#include <ros/console.h>

#include <chrono>

namespace nao_kinora_console
{
namespace
{
// A trail that cannot be written is tried again after this long.
const std::chrono::milliseconds kRetryEvery(1000);
// What a console that stops gives its last entries.
const double kLastWrite = 3.0;

// Whatever bytes a client sent, the trail keeps them, written out where they
// are not text either back end can store.
void storable(std::string& text)
{
  if (!validUtf8(text) || text.find('\0') != std::string::npos)
    text = escapedText(text);
}
}  // namespace

AuditQueue::AuditQueue(AuditTrail& trail, std::size_t limit) : trail_(trail), limit_(limit)
{
  thread_ = std::thread([this] { work(); });
}

AuditQueue::~AuditQueue()
{
  flush(kLastWrite);
  std::size_t lost = 0;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    stopping_ = true;
    lost = queue_.size();
  }
  wake_.notify_all();
  thread_.join();
  if (lost > 0)
    ROS_ERROR("audit trail: %zu entries could not be written before the console stopped", lost);
}

void AuditQueue::record(AuditEvent event)
{
  if (event.at == 0)
    event.at = wallNow();
  storable(event.who);
  storable(event.action);
  storable(event.detail);
  {
    std::lock_guard<std::mutex> hold(mutex_);
    if (queue_.size() >= limit_)
    {
      ROS_ERROR("audit trail: %zu entries wait for the database; the oldest (%s by %s) is dropped", queue_.size(),
                queue_.front().action.c_str(), queue_.front().who.c_str());
      queue_.pop_front();
      ++done_;
    }
    queue_.push_back(std::move(event));
    ++queued_;
  }
  wake_.notify_all();
}

bool AuditQueue::flush(double seconds)
{
  std::unique_lock<std::mutex> hold(mutex_);
  const unsigned long target = queued_;
  return written_.wait_for(hold, std::chrono::duration<double>(seconds), [&] { return done_ >= target; });
}

std::size_t AuditQueue::waiting() const
{
  std::lock_guard<std::mutex> hold(mutex_);
  return queue_.size();
}

void AuditQueue::work()
{
  std::unique_lock<std::mutex> hold(mutex_);
  bool failing = false;
  for (;;)
  {
    wake_.wait(hold, [this] { return stopping_ || !queue_.empty(); });
    if (stopping_)
      return;
    const AuditEvent next = queue_.front();
    hold.unlock();
    const auto kept = trail_.record(next);
    hold.lock();
    if (kept.ok() || kept.fault == Fault::kRule)
    {
      if (!kept.ok())
        ROS_ERROR("%s: an entry (%s by %s) cannot be stored", kept.error.c_str(), next.action.c_str(),
                  next.who.c_str());
      // The entry may have been dropped meanwhile; only what is still first goes.
      if (!queue_.empty() && queue_.front().at == next.at && queue_.front().action == next.action)
      {
        queue_.pop_front();
        ++done_;
      }
      if (failing)
        ROS_WARN("audit trail: written again");
      failing = false;
      written_.notify_all();
      continue;
    }
    if (!failing)
      ROS_ERROR("%s: the trail's entries wait until it can be written", kept.error.c_str());
    failing = true;
    wake_.wait_for(hold, kRetryEvery, [this] { return stopping_; });
  }
}
}  // namespace nao_kinora_console
