#include "nao_kinora/cue_schedule.h"

#include <cmath>

namespace nao_kinora
{
namespace
{
using nlohmann::json;

std::vector<CueSchedule> makeSchedules()
{
  const std::vector<int> sides{94, 470, 832};
  const std::vector<int> armsOut{191, 376, 554, 727, 919};
  const std::vector<int> elbows{130, 261, 403, 559, 721};

  std::vector<CueSchedule> s;
  s.push_back({2, sides, {{"ellerbeldesol.wav", 5}}, {}});
  s.push_back({3, sides, {{"ellerbeldesag.wav", 5}}, {}});
  s.push_back({4, armsOut, {{"kollaryana.wav", 5}}, {}});
  s.push_back({5, elbows, {{"oturabilirsiniz.wav", 10}, {"dirsekler.wav", 5}}, {}});
  s.push_back({6, {}, {{"naooturacak.wav", 3}}, {}});
  s.push_back({7, {}, {{"sagdiz.wav", 5}}, {}});
  s.push_back({8, {}, {{"soldiz.wav", 5}}, {}});
  s.push_back({9, {}, {{"sagbilek.wav", 5}}, {}});
  s.push_back({10, {}, {{"solbilek.wav", 5}}, {}});
  return s;
}

bool nameCharacter(char c)
{
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
}

// A list under key, or an empty one when absent; false when it is there but no list.
bool listAt(const json& given, const char* key, json& list)
{
  list = json::array();
  if (!given.contains(key))
    return true;
  list = given.at(key);
  return list.is_array();
}
}  // namespace

std::string CueSchedule::feedbackFile(std::size_t p) const
{
  return p < feedbackFiles.size() ? feedbackFiles[p] : feedbackCueName(p);
}

double CueSchedule::openingSeconds() const
{
  double seconds = 0;
  for (const OpeningCue& cue : opening)
    seconds += cue.pauseSeconds;
  return seconds;
}

const CueSchedule* cueScheduleFor(int currentargv)
{
  static const std::vector<CueSchedule> schedules = makeSchedules();
  for (const CueSchedule& s : schedules)
    if (s.currentargv == currentargv)
      return &s;
  return nullptr;
}

std::string feedbackCueName(std::size_t position)
{
  return std::to_string(position + 1) + "feed.wav";
}

std::string checkCueName(const std::string& file)
{
  const std::string wav = ".wav";
  if (file.size() <= wav.size() || file.compare(file.size() - wav.size(), wav.size(), wav) != 0)
    return "a cue is a .wav file's name";
  if (file.size() > kMostCueNameLength)
    return "a cue's name has at most " + std::to_string(kMostCueNameLength) + " characters";
  if (file[0] == '.')
    return "a cue's name cannot start with '.'";
  for (char c : file)
    if (!nameCharacter(c))
      return "a cue's name holds only letters, digits, '.', '-' and '_' (no folder)";
  return "";
}

std::string cuesFromJson(const json& given, CueSchedule& cues)
{
  cues = CueSchedule();
  if (!given.is_object())
    return "not a JSON object";
  for (const auto& field : given.items())
    if (field.key() != "introduction" && field.key() != "feedback")
      return "unknown field \"" + field.key() + "\" (only \"introduction\" and \"feedback\")";
  json introduction, feedback;
  if (!listAt(given, "introduction", introduction))
    return "\"introduction\" is not a list";
  if (!listAt(given, "feedback", feedback))
    return "\"feedback\" is not a list";
  if (introduction.size() > kMostOwnCues || feedback.size() > kMostOwnCues)
    return "at most " + std::to_string(kMostOwnCues) + " introduction and " + std::to_string(kMostOwnCues) +
           " feedback cues";
  for (const json& cue : introduction)
  {
    if (!cue.is_object() || !cue.contains("cue") || !cue["cue"].is_string() || !cue.contains("pause") ||
        !cue["pause"].is_number())
      return "an introduction cue is {\"cue\": NAME.wav, \"pause\": SECONDS}";
    const std::string file = cue["cue"];
    const double pause = cue["pause"];
    const std::string fault = checkCueName(file);
    if (!fault.empty())
      return "introduction [" + file + "]: " + fault;
    if (!(pause >= 0 && pause <= kMostCuePauseSeconds))
      return "introduction [" + file + "]: its pause is from 0 to 60 seconds";
    cues.opening.push_back({file, pause});
  }
  for (const json& cue : feedback)
  {
    if (!cue.is_object() || !cue.contains("cue") || !cue["cue"].is_string() || !cue.contains("row") ||
        !cue["row"].is_number_integer() || cue["row"].get<long long>() < 0 || cue["row"].get<long long>() > 100000000)
      return "a feedback cue is {\"row\": ROW (0 or more), \"cue\": NAME.wav}";
    const std::string file = cue["cue"];
    const std::string fault = checkCueName(file);
    if (!fault.empty())
      return "feedback [" + file + "]: " + fault;
    cues.feedbackRows.push_back(cue["row"].get<int>());
    cues.feedbackFiles.push_back(file);
  }
  return "";
}

json cuesToJson(const CueSchedule& cues)
{
  json introduction = json::array(), feedback = json::array();
  for (const OpeningCue& cue : cues.opening)
    introduction.push_back({{"cue", cue.file}, {"pause", cue.pauseSeconds}});
  for (std::size_t p = 0; p < cues.feedbackRows.size(); ++p)
    feedback.push_back({{"row", cues.feedbackRows[p]}, {"cue", cues.feedbackFile(p)}});
  return {{"introduction", introduction}, {"feedback", feedback}};
}

std::string sessionCuesFromText(const std::string& text, std::size_t recordings, std::vector<CueSchedule>& cues)
{
  cues.clear();
  const json given = json::parse(text, nullptr, false);
  if (!given.is_array())
    return "not a JSON list (one object per recording)";
  if (given.size() != recordings)
    return std::to_string(given.size()) + " entries for " + std::to_string(recordings) +
           " recordings (one per recording named)";
  for (std::size_t k = 0; k < given.size(); ++k)
  {
    CueSchedule one;
    const std::string fault = cuesFromJson(given[k], one);
    if (!fault.empty())
      return "entry " + std::to_string(k + 1) + ": " + fault;
    one.currentargv = static_cast<int>(k) + 2;
    cues.push_back(one);
  }
  return "";
}

std::string sessionCuesToText(const std::vector<CueSchedule>& cues)
{
  json list = json::array();
  for (const CueSchedule& one : cues)
    list.push_back(cuesToJson(one));
  return list.dump();
}
}  // namespace nao_kinora
