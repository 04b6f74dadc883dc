#include "nao_kinora/cues.h"

#include "nao_kinora/operator_state.h"
#include "nao_kinora/pacing.h"
#include "nao_kinora/session_log.h"

namespace nao_kinora
{
namespace
{
CueHook cueHook = nullptr;  // main thread only, as every cue is sent from it

std::vector<CueSchedule> makeSchedules()
{
  const int sides[] = {94, 470, 832};
  const int armsOut[] = {191, 376, 554, 727, 919};
  const int elbows[] = {130, 261, 403, 559, 721};
  const std::vector<int> none;

  std::vector<CueSchedule> s;
  s.push_back({2, std::vector<int>(sides, sides + 3), {{"ellerbeldesol.wav", 5}}});
  s.push_back({3, std::vector<int>(sides, sides + 3), {{"ellerbeldesag.wav", 5}}});
  s.push_back({4, std::vector<int>(armsOut, armsOut + 5), {{"kollaryana.wav", 5}}});
  s.push_back({5, std::vector<int>(elbows, elbows + 5), {{"oturabilirsiniz.wav", 10}, {"dirsekler.wav", 5}}});
  s.push_back({6, none, {{"naooturacak.wav", 3}}});
  s.push_back({7, none, {{"sagdiz.wav", 5}}});
  s.push_back({8, none, {{"soldiz.wav", 5}}});
  s.push_back({9, none, {{"sagbilek.wav", 5}}});
  s.push_back({10, none, {{"solbilek.wav", 5}}});
  return s;
}
}  // namespace

const CueSchedule* cueScheduleFor(int currentargv)
{
  static const std::vector<CueSchedule> schedules = makeSchedules();
  for (const CueSchedule& s : schedules)
    if (s.currentargv == currentargv)
      return &s;
  return 0;
}

std::string feedbackCueName(std::size_t position)
{
  return std::to_string(position + 1) + "feed.wav";
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
