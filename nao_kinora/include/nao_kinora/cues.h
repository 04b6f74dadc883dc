// Spoken audio cues: their names, when they are due, and sending them.
#ifndef NAO_KINORA_CUES_H
#define NAO_KINORA_CUES_H

#include "nao_kinora/cue_schedule.h"
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

// The session's own cues (~cues), one per recording named: from now on the
// schedule of each recording is its own, not its place's.
void useOwnCues(const std::vector<CueSchedule>& cues);
// The schedule playback follows for the recording at argument currentargv:
// its own when the session has them, else its place's; null: no cue.
const CueSchedule* sessionCueSchedule(int currentargv);

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
