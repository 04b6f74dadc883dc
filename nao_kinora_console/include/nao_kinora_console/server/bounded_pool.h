// A few threads of their own for one kind of the console's work, with a queue
// of bounded length: past it, work is refused at once and the caller answers
// (429 or 503) instead of piling requests up. Each kind waits only on its
// own: a flood of logins fills the password checks' queue, never the
// controls'. A task that throws is caught and logged; the thread goes on.
//
//   BoundedPool passwords("password checks", 2, 8);
//   if (!passwords.post([=] { session->reply(check(request)); }))
//     session->reply(tooMany());
#ifndef NAO_KINORA_CONSOLE_BOUNDED_POOL_H
#define NAO_KINORA_CONSOLE_BOUNDED_POOL_H

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace nao_kinora_console
{
class BoundedPool
{
public:
  BoundedPool(std::string name, int threads, std::size_t queue);
  ~BoundedPool();
  BoundedPool(const BoundedPool&) = delete;
  BoundedPool& operator=(const BoundedPool&) = delete;

  // False when the queue is full or the pool stopped: the task is not run.
  bool post(std::function<void()> task);
  // Tasks waiting, not yet running.
  std::size_t waiting() const;
  // Lets the running tasks end, drops the waiting ones, joins the threads.
  void stop();

private:
  void work();

  const std::string name_;
  const std::size_t capacity_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> queue_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};
}  // namespace nao_kinora_console

#endif  // NAO_KINORA_CONSOLE_BOUNDED_POOL_H
