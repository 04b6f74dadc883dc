// A start line for threads that must begin together.
#ifndef NAO_KINORA_CONSOLE_TEST_START_LINE_H
#define NAO_KINORA_CONSOLE_TEST_START_LINE_H

#include <condition_variable>
#include <mutex>

namespace kinora_test
{
// Threads wait here until all have come, then go on together.
class StartLine
{
public:
  explicit StartLine(int count) : waiting_(count) {}
  void arrive()
  {
    std::unique_lock<std::mutex> lock(mutex_);
    if (--waiting_ == 0)
      all_.notify_all();
    all_.wait(lock, [this] { return waiting_ == 0; });
  }

private:
  std::mutex mutex_;
  std::condition_variable all_;
  int waiting_;
};
}  // namespace kinora_test

#endif  // NAO_KINORA_CONSOLE_TEST_START_LINE_H
