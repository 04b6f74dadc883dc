// The coaching program's controls (~pause_playback, ~skip_exercise,
// ~end_session), each call bounded in wall time: a program that has stopped
// answering must give the page an error, not a request that never ends.
#ifndef NAO_KINORA_CONSOLE_COACH_CLIENT_H
#define NAO_KINORA_CONSOLE_COACH_CLIENT_H

#include <atomic>
#include <functional>
#include <memory>
#include <string>

namespace nao_kinora_console
{
struct CallOutcome
{
  enum Kind
  {
    kAnswered,    // success and message are the program's
    kNotRunning,  // nothing offers the control
    kNoAnswer,    // no answer within the deadline
    kBusy,        // earlier calls still wait for their answers
    kFailed,      // the connection broke during the call
  };
  Kind kind = kFailed;
  bool success = false;
  std::string message;  // the program's reason, or what went wrong
};

class CoachClient
{
public:
  // Told, from a thread of the call's own, how a call that missed its
  // deadline ended after all: the program may carry a control out later.
  using Late = std::function<void(const CallOutcome&)>;

  // coach: the coaching program's node name, e.g. "/nao_kinora".
  explicit CoachClient(const std::string& coach, double deadlineSeconds = 2.0);

  CallOutcome pause(bool pause, Late late = nullptr);  // false resumes
  CallOutcome skip(Late late = nullptr);
  CallOutcome end(Late late = nullptr);
  CallOutcome setSpeed(double speed, Late late = nullptr);  // ~set_speed, 0.25 to 2.0
  double deadline() const { return deadline_; }

private:
  template <class Service>
  CallOutcome call(const std::string& control, Service service, Late late);

  std::string coach_;
  double deadline_;
  // Calls whose worker thread still waits; shared with the workers, which may
  // outlive a call that gave up on them.
  std::shared_ptr<std::atomic<int>> waiting_;
};
}  // namespace nao_kinora_console

#endif  // NAO_KINORA_CONSOLE_COACH_CLIENT_H
