#include "nao_kinora/cues.h"

#include "nao_kinora/command_line.h"
#include "nao_kinora/operator_state.h"
#include "nao_kinora/pacing.h"
#include "nao_kinora/session_log.h"

namespace nao_kinora
{
namespace
{
CueHook cueHook = nullptr;  // main thread only, as every cue is sent from it

// Set once before the session starts, read by the main thread only.
std::vector<CueSchedule> ownCues;
bool haveOwnCues = false;
}  // namespace

void useOwnCues(const std::vector<CueSchedule>& cues)
{
  ownCues = cues;
  haveOwnCues = true;
}

const CueSchedule* sessionCueSchedule(int currentargv)
{
  if (!haveOwnCues)
    return cueScheduleFor(currentargv);
  const int k = currentargv - kFirstRecordingArg;
  return k >= 0 && k < static_cast<int>(ownCues.size()) ? &ownCues[k] : nullptr;
}

void setCueHook(CueHook hook)
{
  cueHook = hook;
}

void publishCue(NaoKinora& obj, const std::string& file, const nlohmann::ordered_json& details)
{
  obj.talker_filename_msg.data = file;
  publishNow(obj.nao_talker_filenamePub, obj.talker_filename_msg);
  if (cueHook)
    cueHook(file);
  nlohmann::ordered_json fields = details;
  fields["file"] = file;
  logEvent("cue", fields);
}

bool sayCue(NaoKinora& obj, const std::string& file, double pauseSeconds, const nlohmann::ordered_json& details)
{
  if (!holdWhilePaused())
    return false;
  publishCue(obj, file, details);
  return pauseFor(pauseSeconds);
}
}  // namespace nao_kinora
