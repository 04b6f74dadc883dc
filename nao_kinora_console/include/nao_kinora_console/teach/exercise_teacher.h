// Teaching the robot a new exercise from the console's page: the exercise's
// name checked as a plain file name, the robot's joint states recorded
// between Record and Stop, the result held as a draft with what a person
// checks before keeping it, then written into the recording folder. Knows
// nothing of ROS or HTTP: the console hands over the joint states and turns
// the answers into replies (teach_desk.cpp).
#ifndef NAO_KINORA_CONSOLE_EXERCISE_TEACHER_H
#define NAO_KINORA_CONSOLE_EXERCISE_TEACHER_H

#include <nao_kinora/joint_row.h>
#include <nao_kinora/joint_state_sampler.h>

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace nao_kinora_console
{
// The recording file a person's exercise name gives: the name itself when it
// ends in ".txt", else the name with ".txt" appended. "" when the name is not
// a plain file name (letters, digits, '-', '_', '.'; not starting with '.'),
// and fault then says why in a person's words.
std::string exerciseFileName(const std::string& name, std::string& fault);

struct TeachAnswer
{
  enum Kind
  {
    kDone,
    kBadRequest,  // the name is not one a file may have
    kRefused,     // not now: a session plays, already recording, no draft...
    kExists,      // Save would replace an exercise: ask first
    kFailed,      // the file could not be written
  };
  Kind kind = kDone;
  std::string message;  // a person's words
};

class ExerciseTeacher
{
public:
  // Rows are sampled at rate per second, and still time at both ends trimmed
  // with still radians, as nao_kinora_record does.
  explicit ExerciseTeacher(const std::string& recordingDir, double rate = 25.0, double still = 0.01);

  // Every joint state of the robot, recording or not: the live pose, and the
  // recording while one runs. stamp: seconds, on any steady origin.
  void observe(const std::vector<std::string>& names, const std::vector<double>& positions, double stamp);

  // Record: refused while a session plays on the robot (it would record the
  // session's motion), while recording already, or for a name no file may
  // have or a folder that cannot be written. Drops an unsaved draft.
  TeachAnswer start(const std::string& name, bool sessionPlaying);
  // Stop: the recording becomes the draft, or is refused with the reason
  // (nothing came, nothing moved) and dropped.
  TeachAnswer stop();
  // Save the draft as name ("" keeps the name given to Record); an existing
  // exercise is replaced only when overwrite, else kExists with a question.
  // A draft that breaks the robot's joint limits at its own pace is refused,
  // naming the first fault's time, row and joint (as nao_kinora_record does).
  TeachAnswer save(const std::string& name, bool overwrite);
  // Drops the recording in progress or the draft.
  TeachAnswer discard();

  // What the page shows: "state" (idle, recording, draft), the name, the
  // seconds recorded so far, the live pose, the draft's summary (with the
  // joint limits it breaks, "" for none), the exercises saved since the
  // console started.
  nlohmann::json view() const;
  // The draft's rows (22 angles and the duration each), for its preview;
  // null without a draft.
  nlohmann::json draftRows() const;

  // Longest recording kept, in seconds: a Record left running stops growing.
  static constexpr double kMostSeconds = 600.0;

private:
  enum State
  {
    kIdle,
    kRecording,
    kDraft
  };

  std::string dir_;
  double rate_;
  double still_;
  State state_ = kIdle;
  std::string file_;  // being recorded, or the draft's
  nao_kinora::JointStateSampler sampler_;
  bool started_ = false;  // a joint state has come since Record
  double origin_ = 0.0;   // its stamp
  double lastStamp_ = 0.0;
  bool full_ = false;                       // kMostSeconds reached
  std::vector<nao_kinora::JointRow> rows_;  // the draft
  std::vector<double> pose_;                // the last of every joint, 0 before any
  unsigned long poses_ = 0;
  std::vector<std::string> saved_;
};
}  // namespace nao_kinora_console

#endif  // NAO_KINORA_CONSOLE_EXERCISE_TEACHER_H
