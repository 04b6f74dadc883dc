// The trail's entries written behind the requests that make them: a control
// is answered first and recorded after, and an entry made while the database
// is down or hung waits here, in order, until it can be written. Nothing the
// controls do waits on the trail.
#ifndef NAO_KINORA_CONSOLE_AUDIT_QUEUE_H
#define NAO_KINORA_CONSOLE_AUDIT_QUEUE_H

#include "nao_kinora_console/accounts/audit_trail.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace nao_kinora_console
{
class AuditQueue
{
public:
  // limit: entries kept waiting at most; past it the oldest is dropped, and said so.
  explicit AuditQueue(AuditTrail& trail, std::size_t limit = 10000);
  // Writes what it can for a moment, then says how many entries are lost.
  ~AuditQueue();
  AuditQueue(const AuditQueue&) = delete;
  AuditQueue& operator=(const AuditQueue&) = delete;

  // Never waits; an entry without a time is stamped now.
  void record(AuditEvent event);
  // Waits until every entry queued so far is written, or the seconds are up.
  bool flush(double seconds);
  std::size_t waiting() const;

private:
  void work();

  AuditTrail& trail_;
  const std::size_t limit_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable written_;
  std::deque<AuditEvent> queue_;
  unsigned long queued_ = 0;  // entries ever queued
  unsigned long done_ = 0;    // entries written or dropped
  bool stopping_ = false;
  std::thread thread_;
};
}  // namespace nao_kinora_console

#endif  // NAO_KINORA_CONSOLE_AUDIT_QUEUE_H
