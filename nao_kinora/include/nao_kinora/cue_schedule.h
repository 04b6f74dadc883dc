// Which cues a recording has: by its place on the command line (the
// schedule the node has always had), or its own, given for the whole session
// in ~cues as JSON (one object per recording, the form of a recording's cue
// file in the console's library). Without ROS, so the console and the check
// tool read and write the same form.
#ifndef NAO_KINORA_CUE_SCHEDULE_H
#define NAO_KINORA_CUE_SCHEDULE_H

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace nao_kinora
{
struct OpeningCue
{
  std::string file;
  double pauseSeconds;
};

// What a recording says: its opening (introduction) cues, each followed by
// its pause, and feedback cues said just before the rows given.
struct CueSchedule
{
  int currentargv = 0;            // the place it belongs to; 0 for a recording's own
  std::vector<int> feedbackRows;  // in the order given
  std::vector<OpeningCue> opening;
  // The feedback cue of each entry of feedbackRows; empty: named by their
  // place in the list ("1feed.wav" for the first, ...).
  std::vector<std::string> feedbackFiles;

  // The feedback cue said before feedbackRows[p].
  std::string feedbackFile(std::size_t p) const;
  double openingSeconds() const;
};

// The schedule of the recording at argument currentargv, by its place; null
// when that place has none (the 10th recording and later).
const CueSchedule* cueScheduleFor(int currentargv);

// Name of the feedback cue at position p of feedbacks: "1feed.wav" for 0, ...
std::string feedbackCueName(std::size_t position);

// Bounds of a recording's own cues.
const std::size_t kMostOwnCues = 20;     // opening cues, and feedback cues
const double kMostCuePauseSeconds = 60;  // after an opening cue
const std::size_t kMostCueNameLength = 100;

// A cue's file name: a bare .wav name of letters, digits, '.', '-' and '_'.
// "" when it is one, else what is wrong with it.
std::string checkCueName(const std::string& file);

// One recording's own cues from JSON:
//   {"introduction": [{"cue": "oturabilirsiniz.wav", "pause": 10}, ...],
//    "feedback": [{"row": 130, "cue": "1feed.wav"}, ...]}
// (both lists optional; {} says nothing). "" when read, else what is wrong.
std::string cuesFromJson(const nlohmann::json& given, CueSchedule& cues);
nlohmann::json cuesToJson(const CueSchedule& cues);

// A session's own cues (~cues): a JSON list of such objects, one per
// recording named on the command line, in the same order. "" when read,
// else what is wrong, naming the entry.
std::string sessionCuesFromText(const std::string& text, std::size_t recordings, std::vector<CueSchedule>& cues);
std::string sessionCuesToText(const std::vector<CueSchedule>& cues);
}  // namespace nao_kinora

#endif  // NAO_KINORA_CUE_SCHEDULE_H
