// What the store's session files answer with when a session or a rule refuses.
#ifndef NAO_KINORA_CONSOLE_SESSION_RESULTS_H
#define NAO_KINORA_CONSOLE_SESSION_RESULTS_H

#include "nao_kinora_console/records/clinic_records.h"

#include <string>

namespace nao_kinora_console
{
template <class T>
Result<T> refused(const std::string& why, Fault kind = Fault::kRule)
{
  return Result<T>::fail(why, kind);
}

template <class T = bool>
Result<T> unknownSession()
{
  return Result<T>::fail("This session is not in the records (it may have been deleted with its patient).",
                         Fault::kNotFound);
}
}  // namespace nao_kinora_console

#endif  // NAO_KINORA_CONSOLE_SESSION_RESULTS_H
