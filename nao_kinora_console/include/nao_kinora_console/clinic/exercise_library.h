// The exercise library: the recordings of the recording folder as the node
// would see them (rows, playing time, moving joints, problems), read with
// the node's own recording check and timeline model; a plan's timeline; a
// recording's rows for the page's preview. A recording that breaks the
// robot's joint limits at every speed a plan may have is not playable.
#ifndef NAO_KINORA_CONSOLE_EXERCISE_LIBRARY_H
#define NAO_KINORA_CONSOLE_EXERCISE_LIBRARY_H

#include "nao_kinora_console/clinic/limit_words.h"
#include "nao_kinora_console/records/clinic_records.h"

#include <nao_kinora/cue_schedule.h>
#include <nao_kinora/recording_check.h>

#include <nlohmann/json.hpp>

#include <mutex>
#include <string>
#include <vector>

namespace nao_kinora_console
{
// A recording's own cues are kept beside it in NAME.cues (NAME the
// recording's file name), as JSON in the form of nao_kinora/cue_schedule.h:
// {"introduction": [{"cue": "kollaryana.wav", "pause": 5}], "feedback":
// [{"row": 191, "cue": "1feed.wav"}, ...]}. A recording without one says
// nothing of its own in a session the console starts.
const char* const kCueFileExtension = ".cues";
std::string cueFileOf(const std::string& recording);
bool isCueFile(const std::string& name);

// An exercise's time, the same wherever it is shown: its movement (the rows,
// row 0 held as the node holds it) and its introduction (the opening cues'
// pauses), in seconds: {"movement": M, "introduction": I}.
nlohmann::json exerciseTime(double movement, double introduction);

// An introduction a recording may have, as its cue files give them.
struct Introduction
{
  std::vector<nao_kinora::OpeningCue> cues;
  std::string words;  // what the robot says, for the therapist
};
nlohmann::json introductionToJson(const std::vector<nao_kinora::OpeningCue>& cues);
// What the robot says, one cue after the other ("None" for none).
std::string introductionWords(const std::vector<nao_kinora::OpeningCue>& cues);

struct LibraryEntry
{
  std::string name;       // the file name, as a plan holds it
  std::string title;      // the exercise as a therapist reads it ("Arms forward")
  bool playable = false;  // false: the node would refuse a session holding it
  std::size_t rows = 0;
  double playingTime = 0;                 // seconds, as the node paces the rows
  std::vector<std::string> movingJoints;  // the joints the report would name
  std::vector<std::string> movingWords;   // the same in words ("left hip roll")
  std::vector<std::string> problems;      // each as the node words it
  std::vector<std::string> problemWords;  // each as a therapist reads it, without the file's path
  // The robot's joint limits: playable only at a speed they allow (from
  // kMinSpeed on; a plan faster than limits.bound.speed is refused).
  LimitMarks limits;
  nao_kinora::CueSchedule cues;  // its own (none without a cue file)
  bool cueFile = false;          // it has a cue file
};

// A recording's problem without its path, in the words of the page:
// "Not an exercise: line 1 is not a row of joint angles."
std::string problemWords(const nao_kinora::RecordingProblem& problem);

nlohmann::json entryToJson(const LibraryEntry& entry);

class ExerciseLibrary
{
public:
  // folder: the node's recording folder (its ~recording_dir). The node's
  // model reads recordings from one process-wide folder: a console holds one
  // library, and the library's calls take turns.
  explicit ExerciseLibrary(const std::string& folder);
  const std::string& folder() const { return folder_; }

  // Every regular, visible file of the folder but cue files, by name.
  std::vector<LibraryEntry> list();
  // One recording; an error when the name is not a file of the folder.
  Result<LibraryEntry> entry(const std::string& name);
  // The rows as the node would send them: {"joints": [22 names],
  // "rows": [[22 angles, duration], ...]}.
  Result<nlohmann::json> rows(const std::string& name);
  // A plan as a session would play it from exercise first at speed: its
  // length and each exercise's start, length and cues (tracking waits not
  // counted); "" in "error" unless a recording would refuse the session.
  nlohmann::json timeline(const std::vector<std::string>& items, int first, double speed);
  // Each item's own cues, as the node's ~cues (one entry per item; {} for
  // one without a cue file).
  std::string sessionCues(const std::vector<std::string>& items);
  // The introductions the folder's cue files hold, each once.
  std::vector<Introduction> introductions();
  // Gives the recording the introduction (none: empty), keeping its feedback
  // cues; its cue file is replaced whole. An error naming what is wrong.
  Status setIntroduction(const std::string& name, const std::vector<nao_kinora::OpeningCue>& cues);

private:
  Result<LibraryEntry> entryLocked(const std::string& name);
  // The recording's own cues; an error when its cue file cannot be read.
  Result<nao_kinora::CueSchedule> cuesLocked(const std::string& name, bool& present);

  std::string folder_;
  std::mutex mutex_;
};
}  // namespace nao_kinora_console

#endif  // NAO_KINORA_CONSOLE_EXERCISE_LIBRARY_H
