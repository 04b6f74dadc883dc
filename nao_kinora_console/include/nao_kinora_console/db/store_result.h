// What every part of the store answers with: a value, or a typed fault and
// why. The API answers by the kind of fault, never by the words.
#ifndef NAO_KINORA_CONSOLE_STORE_RESULT_H
#define NAO_KINORA_CONSOLE_STORE_RESULT_H

#include <string>
#include <utility>

namespace nao_kinora_console
{
// Now, in wall seconds since 1970: the stamps of patients, plans, sessions.
double wallNow();

// What kind of refusal or failure an error is: the API answers by the kind,
// never by the words.
enum class Fault
{
  kNone,
  kRule,      // a value breaks a rule (a field, a range, a confirmation)
  kNotFound,  // no such patient, plan or session
  kTaken,     // a patient's code or a plan's name is in use
  kConflict,  // the records' state does not allow it now (e.g. already resumed)
  kDatabase,  // the file itself failed
};

// A value or, when error is not empty, why there is none and what kind of fault.
template <class T>
struct Result
{
  T value{};
  std::string error;
  Fault fault = Fault::kNone;
  bool ok() const { return error.empty(); }
  static Result fail(std::string why, Fault kind = Fault::kRule)
  {
    Result r;
    r.error = std::move(why);
    r.fault = kind;
    return r;
  }
  // Another result's error, kept with its kind.
  template <class U>
  static Result failAs(const Result<U>& other)
  {
    return fail(other.error, other.fault);
  }
};

// A change that gives back no value.
using Status = Result<bool>;
inline Status done()
{
  Status s;
  s.value = true;
  return s;
}
}  // namespace nao_kinora_console

#endif  // NAO_KINORA_CONSOLE_STORE_RESULT_H
