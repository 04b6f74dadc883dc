#include "nao_kinora_console/db/store_result.h"

#include <sys/time.h>

namespace nao_kinora_console
{
double wallNow()
{
  timeval tv;
  gettimeofday(&tv, nullptr);
  return static_cast<double>(tv.tv_sec) + tv.tv_usec / 1e6;
}
}  // namespace nao_kinora_console
