// What the clinic's store holds, as the console reads it: patients known by a
// code only, their plans, the sessions played and each exercise's record.
#ifndef NAO_KINORA_CONSOLE_CLINIC_RECORDS_H
#define NAO_KINORA_CONSOLE_CLINIC_RECORDS_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace nao_kinora_console
{
// Now, in wall seconds since 1970: the stamps of patients, plans, sessions.
double wallNow();

// A value or, when error is not empty, why there is none.
template <class T>
struct Result
{
  T value{};
  std::string error;
  bool ok() const { return error.empty(); }
  static Result fail(std::string why)
  {
    Result r;
    r.error = std::move(why);
    return r;
  }
};

struct Patient
{
  int64_t id = 0;
  std::string code;  // chosen by the therapist; never a name
  std::string note;
  double created = 0;      // wall time, seconds since 1970
  double lastSession = 0;  // when their latest session started (wall time); 0: none yet. In the list only.
};

struct Plan
{
  int64_t id = 0;
  int64_t patientId = 0;
  std::string name;
  double speed = 1.0;
  std::vector<std::string> items;  // recording file names in playing order; repeats allowed
  double updated = 0;
};

// How one exercise of a session went, as its log tells.
struct ExerciseRecord
{
  int position = 0;         // the recording's place in the node's list, from 1
  std::string recording;    // its file name
  std::string outcome;      // "playing", "played", "skipped", "ended early", "unplayable"
  double playingTime = 0;   // start signal to report, pauses taken out (ROS seconds)
  double pausedTime = 0;    // every pause while it played or while its tracking wait ran
  double trackingWait = 0;  // stop signal to trackingfinished, a skip or the tracking timeout
  bool timeoutFired = false;
  std::vector<double> speeds;  // in the order they were set while it ran
  std::vector<int> movingJoints;
  std::vector<double> variances;  // one per joint, as the report gave them
};

struct Checkin
{
  int64_t sessionId = 0;
  int position = 0;
  int effort = -1;  // Borg CR10, 0..10; -1: not answered
  int pain = -1;    // 0..10; -1: not answered
  std::string note;
};

struct SessionSummary
{
  int64_t id = 0;
  int64_t patientId = 0;
  int64_t planId = 0;  // 0: none, or the plan was deleted since
  std::string planName;
  int firstExercise = 1;
  double started = 0;       // wall time
  double ended = 0;         // 0 while it runs
  std::string outcome;      // "running", "completed", "ended" (by the operator), "interrupted"
  int exercisesPlayed = 0;  // played fully
  int exercisesTotal = 0;   // with a record
  double playingTime = 0;
  double meanEffort = -1;  // over the check-ins that rated it; -1: none
  double meanPain = -1;
  int resumeAt = 0;  // where a session that did not complete would go on; 0 when it completed
};
}  // namespace nao_kinora_console

#endif  // NAO_KINORA_CONSOLE_CLINIC_RECORDS_H
