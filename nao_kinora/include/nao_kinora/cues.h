// Spoken audio cues: their names, when they are due, and sending them.
#ifndef NAO_KINORA_CUES_H
#define NAO_KINORA_CUES_H

#include "nao_kinora/node_endpoints.h"

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace nao_kinora
{
const char* const kGreetingCue = "merhaba.wav";
const char* const kExplanationCue = "aciklama.wav";
const char* const kClosingCue = "bitis.wav";
const double kGreetingPauseSeconds = 5.0;  // after each startup cue and after the closing cue

struct OpeningCue
{
  const char* file;
  double pauseSeconds;
};

// What a recording says, chosen by its position on the command line.
struct CueSchedule
{
  int currentargv;
  std::vector<int> feedbackRows;
  std::vector<OpeningCue> opening;
};

// The schedule for a recording at argument currentargv, or null when it has none.
const CueSchedule* cueScheduleFor(int currentargv);

// Name of the feedback cue at position p of feedbacks: "1feed.wav" for 0, ...
std::string feedbackCueName(std::size_t position);

// Told of every cue sent (the status shows the last one); null: nobody.
typedef void (*CueHook)(const std::string& file);
void setCueHook(CueHook hook);

// Sends a cue on "talkerfilename" through the node object's reusable message;
// the session log gets the cue with its details (kind, row).
void publishCue(NaoKinora& obj, const std::string& file, const nlohmann::ordered_json& details);

// Sends a cue, then pauses; while the operator has the session paused, the cue
// waits. False when the node shut down or the operator skipped or ended first.
bool sayCue(NaoKinora& obj, const std::string& file, double pauseSeconds, const nlohmann::ordered_json& details);
}  // namespace nao_kinora

#endif  // NAO_KINORA_CUES_H
