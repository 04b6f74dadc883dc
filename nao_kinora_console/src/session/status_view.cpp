#include "nao_kinora_console/session/status_view.h"

#include <nao_kinora/cues.h>
#include <nao_kinora/joint_row.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <utility>

namespace nao_kinora_console
{
namespace
{
using nao_kinora_msgs::SessionStatus;

// The words joint names are made of, longest first where one starts another.
const char* const kJointWords[] = {"shoulder", "elbow", "ankle", "pitch", "right", "knee",
                                   "left",     "head",  "roll",  "hip",   "yaw"};

// What each of the robot's spoken cues says: the greeting, the opening of
// each exercise position (whatever exercise is played there), the closing.
const std::pair<const char*, const char*> kCueWords[] = {
    {nao_kinora::kGreetingCue, "Welcome"},
    {nao_kinora::kExplanationCue, "How the session goes"},
    {"ellerbeldesol.wav", "Introduction: hands on waist, left"},
    {"ellerbeldesag.wav", "Introduction: hands on waist, right"},
    {"kollaryana.wav", "Introduction: arms to the side"},
    {"oturabilirsiniz.wav", "Please sit down"},
    {"dirsekler.wav", "Introduction: seated elbows"},
    {"naooturacak.wav", "Introduction: the robot sits down"},
    {"sagdiz.wav", "Introduction: right knee"},
    {"soldiz.wav", "Introduction: left knee"},
    {"sagbilek.wav", "Introduction: right wrist"},
    {"solbilek.wav", "Introduction: left wrist"},
    {nao_kinora::kClosingCue, "Goodbye"},
};
// The feedback cues during an exercise: "1feed.wav" to this many.
const std::size_t kFeedbackCues = 5;

// "3 s", "45 %": whole numbers, rounded down, never below 0.
std::string whole(double value, const char* unit)
{
  const long n = std::isfinite(value) && value > 0 ? static_cast<long>(std::floor(value)) : 0;
  return std::to_string(n) + " " + unit;
}

std::string exerciseOf(const SessionStatus& status)
{
  std::string words = "Exercise " + std::to_string(status.recording) + " of " + std::to_string(status.recordings);
  const std::string title = exerciseTitle(status.file);
  if (!title.empty())
    words += ": " + title;
  return words;
}

// The words of a phase that is not a pause.
std::string activePhaseWords(uint8_t phase, const SessionStatus& status, double trackingWait)
{
  switch (phase)
  {
    case SessionStatus::PHASE_STARTING:
      return "Waiting for the robot's voice";
    case SessionStatus::PHASE_GREETING:
      return "Greeting";
    case SessionStatus::PHASE_OPENING_CUE:
      return exerciseOf(status) + " — about to start";
    case SessionStatus::PHASE_PLAYING:
    {
      const double percent = status.total > 0 ? std::min(100.0, 100.0 * status.played / status.total) : 0.0;
      return exerciseOf(status) + " — " + whole(percent, "%");
    }
    case SessionStatus::PHASE_REPORT:
      return exerciseOf(status) + " — done";
    case SessionStatus::PHASE_WAITING_FOR_TRACKING:
      return "Waiting for person tracking — " + whole(trackingWait, "s");
    case SessionStatus::PHASE_CLOSING:
      return "Closing words";
    case SessionStatus::PHASE_OVER:
      return "Session over";
    default:
      return "Unknown phase " + std::to_string(phase);
  }
}

const char* phaseKey(uint8_t phase)
{
  switch (phase)
  {
    case SessionStatus::PHASE_STARTING:
      return "starting";
    case SessionStatus::PHASE_GREETING:
      return "greeting";
    case SessionStatus::PHASE_OPENING_CUE:
      return "opening";
    case SessionStatus::PHASE_PLAYING:
      return "playing";
    case SessionStatus::PHASE_REPORT:
      return "report";
    case SessionStatus::PHASE_WAITING_FOR_TRACKING:
      return "tracking";
    case SessionStatus::PHASE_CLOSING:
      return "closing";
    case SessionStatus::PHASE_PAUSED:
      return "paused";
    case SessionStatus::PHASE_OVER:
      return "over";
    default:
      return "unknown";
  }
}

// A wait goes on between two statuses: count it on while the program runs.
double trackingWaitNow(const SessionStatus& status, const StatusContext& context)
{
  return status.tracking_wait + (context.coachRunning ? std::max(0.0, context.age) : 0.0);
}
}  // namespace

std::string exerciseTitle(const std::string& file)
{
  std::string name = file.substr(file.find_last_of('/') == std::string::npos ? 0 : file.find_last_of('/') + 1);
  const std::size_t dot = name.find_last_of('.');
  if (dot != std::string::npos && dot > 0)
    name.erase(dot);
  std::size_t start = 0;
  while (start < name.size() && std::isdigit(static_cast<unsigned char>(name[start])))
    ++start;
  while (start < name.size() && (name[start] == '_' || name[start] == '-' || name[start] == ' '))
    ++start;
  std::string words = start < name.size() ? name.substr(start) : name;
  std::replace(words.begin(), words.end(), '_', ' ');
  std::replace(words.begin(), words.end(), '-', ' ');
  // One blank between words, none around them.
  std::string clean;
  for (char c : words)
    if (c != ' ' || (!clean.empty() && clean.back() != ' '))
      clean += c;
  while (!clean.empty() && clean.back() == ' ')
    clean.pop_back();
  // As the library writes it: "Arms to the side".
  if (!clean.empty())
    clean[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(clean[0])));
  return clean;
}

std::string cueWords(const std::string& file)
{
  for (const auto& cue : kCueWords)
    if (file == cue.first)
      return cue.second;
  for (std::size_t k = 0; k < kFeedbackCues; ++k)
    if (file == nao_kinora::feedbackCueName(k))
      return "Feedback";
  return exerciseTitle(file);
}

std::string jointWords(int index)
{
  const char* name = nao_kinora::jointName(index);
  if (!name)
    return "joint " + std::to_string(index);
  std::string rest = name;
  std::string words;
  while (!rest.empty())
  {
    std::size_t taken = 1;  // a letter of no known word stays part of the current one
    bool known = false;
    for (const char* word : kJointWords)
      if (rest.compare(0, std::char_traits<char>::length(word), word) == 0)
      {
        taken = std::char_traits<char>::length(word);
        known = true;
        break;
      }
    if (known && !words.empty())
      words += ' ';
    words += rest.substr(0, taken);
    rest.erase(0, taken);
  }
  return words;
}

std::string phaseWords(const SessionStatus& status, const StatusContext& context)
{
  if (!context.haveStatus)
    return "Waiting for a session to start";
  if (status.phase == SessionStatus::PHASE_PAUSED)
    return "Paused";
  return activePhaseWords(status.phase, status, trackingWaitNow(status, context));
}

nlohmann::json statusView(const SessionStatus& status, const StatusContext& context)
{
  using nlohmann::json;
  json view;
  view["coach"] = !context.haveStatus ? "waiting" : context.coachRunning ? "running" : "gone";
  view["phase_words"] = phaseWords(status, context);
  if (!context.haveStatus)
  {
    view["phase"] = "none";
    view["session"] = json::array();
    view["peers"] = json::array();
    return view;
  }

  const bool paused = status.phase == SessionStatus::PHASE_PAUSED;
  view["phase"] = phaseKey(status.phase);
  view["paused"] = paused;
  view["over"] = status.phase == SessionStatus::PHASE_OVER;
  // What a pause interrupted, in the same words as while it went on.
  view["paused_words"] =
      paused ? activePhaseWords(status.paused_phase, status, trackingWaitNow(status, context)) : std::string();
  view["recording"] = status.recording;
  view["recordings"] = status.recordings;
  view["title"] = exerciseTitle(status.file);
  view["row"] = status.row;
  view["rows"] = status.rows;
  view["played"] = status.played;
  view["total"] = status.total;
  view["elapsed"] = status.session_elapsed;
  view["remaining"] = status.session_remaining;
  view["speed"] = status.speed;
  view["last_cue"] = status.last_cue;
  view["cue_words"] = cueWords(status.last_cue);

  // A session started at a later recording lists only those it plays, the last ones.
  const int first = status.recordings - static_cast<int>(status.session.size()) + 1;
  json session = json::array();
  for (std::size_t k = 0; k < status.session.size(); ++k)
  {
    const auto& recording = status.session[k];
    const int number = first + static_cast<int>(k);
    json moving = json::array();
    for (int joint : recording.moving_joints)
      moving.push_back(jointWords(joint));
    session.push_back({{"number", number},
                       {"file", recording.file},
                       {"title", exerciseTitle(recording.file)},
                       {"rows", recording.rows},
                       {"playing_time", recording.playing_time},
                       {"reported", static_cast<bool>(recording.reported)},
                       {"skipped", static_cast<bool>(recording.skipped)},
                       {"moving", moving},
                       {"current", number == status.recording}});
  }
  view["session"] = session;

  // The console is a subscriber of the joint rows itself; the motion executor
  // and the tracking node both take the start and stop signals.
  const int motionExecutors = std::max(0, status.joint_angle_array_subscribers - (context.consoleOnJointRows ? 1 : 0));
  const int trackers = status.motion_start_stop_subscribers - (motionExecutors > 0 ? 1 : 0);
  const bool running = context.coachRunning;
  // After the session the robot's programs go on without it: the last status
  // says which were there at the end.
  const bool after = !running && status.phase == SessionStatus::PHASE_OVER;
  const auto peer = [running, after](const char* name, bool there)
  {
    const char* state = running ? (there ? "connected" : "not connected")
                        : after
                            ? (there ? "session over; still running on the robot" : "session over; was not connected")
                            : "not connected";
    return json{{"name", name}, {"connected", running && there}, {"state", state}};
  };
  view["peers"] = json::array({peer("Robot's voice", status.talkerfilename_subscribers > 0),
                               peer("Robot's movements", motionExecutors > 0), peer("Person tracking", trackers > 0)});
  return view;
}
}  // namespace nao_kinora_console
