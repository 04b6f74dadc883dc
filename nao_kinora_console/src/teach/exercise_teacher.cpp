#include "nao_kinora_console/teach/exercise_teacher.h"

#include "nao_kinora_console/clinic/limit_words.h"
#include "nao_kinora_console/session/status_view.h"

#include <nao_kinora/joint_stats.h>
#include <nao_kinora/recording_writer.h>
#include <nao_kinora/joint_row.h>

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>

namespace nao_kinora_console
{
namespace
{
// Longer names are no help on a tablet's list, and stay far from the
// file system's limit.
const std::size_t kMostNameLength = 100;
const std::string kExtension = ".txt";

bool endsWith(const std::string& text, const std::string& end)
{
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

bool plainNameCharacter(char c)
{
  return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.';
}

// The sampler's reasons, for the person who pressed Stop.
std::string nothingRecordedWords(const std::string& refusal, std::size_t messages)
{
  if (messages == 0)
    return "Nothing came from the robot while recording: is it switched on and connected?";
  if (refusal == "nothing moved")
    return "The robot did not move while recording: move its limbs (or have it play a motion) between Record "
           "and Stop.";
  return "The robot did not report all of its joints while recording (" + refusal + ").";
}
}  // namespace

std::string exerciseFileName(const std::string& name, std::string& fault)
{
  fault.clear();
  if (name.empty())
    fault = "Give the exercise a name first.";
  else if (name.size() > kMostNameLength)
    fault = "The name is too long: at most " + std::to_string(kMostNameLength) + " characters.";
  else if (name.find('/') != std::string::npos)
    fault = "The name cannot hold '/': every exercise goes into the one exercise folder.";
  else if (name[0] == '.')
    fault = "The name cannot start with '.': the file would be hidden.";
  else
  {
    const auto bad = std::find_if_not(name.begin(), name.end(), plainNameCharacter);
    if (bad != name.end())
      fault = "The name may hold only letters, digits, '-', '_' and '.' (no spaces or accents).";
  }
  if (!fault.empty())
    return "";
  return endsWith(name, kExtension) ? name : name + kExtension;
}

ExerciseTeacher::ExerciseTeacher(const std::string& recordingDir, double rate, double still)
    : dir_(recordingDir), rate_(rate), still_(still), pose_(nao_kinora::kJointCount, 0.0)
{
  if (!dir_.empty() && dir_.back() != '/')
    dir_ += '/';
}

void ExerciseTeacher::observe(const std::vector<std::string>& names, const std::vector<double>& positions, double stamp)
{
  if (names.size() != positions.size())
    return;
  for (std::size_t i = 0; i < names.size(); ++i)
  {
    const int column = nao_kinora::robotJointColumn(names[i]);
    if (column >= 0 && std::isfinite(positions[i]))
      pose_[column] = positions[i];
  }
  ++poses_;
  if (state_ != kRecording || full_)
    return;
  if (!started_)
  {
    started_ = true;
    origin_ = stamp;
  }
  if (stamp - origin_ > kMostSeconds)
  {
    full_ = true;
    return;
  }
  if (sampler_.take(names, positions, stamp - origin_) == nao_kinora::JointStateSampler::kTaken)
    lastStamp_ = stamp;
}

TeachAnswer ExerciseTeacher::start(const std::string& name, bool sessionPlaying)
{
  TeachAnswer answer;
  if (state_ == kRecording)
    return {TeachAnswer::kRefused, "Already recording: press Stop first."};
  if (sessionPlaying)
    return {TeachAnswer::kRefused,
            "A session is playing on the robot: recording now would record its "
            "movements. Wait until the session is over."};
  std::string fault;
  const std::string file = exerciseFileName(name, fault);
  if (file.empty())
    return {TeachAnswer::kBadRequest, fault};
  // The folder is checked now, so that nobody teaches an exercise for nothing.
  if (!nao_kinora::checkWritable(dir_ + file, true).empty())
    return {TeachAnswer::kFailed, "The exercise folder " + dir_ + " cannot be written to: nothing can be saved."};
  state_ = kRecording;
  file_ = file;
  sampler_ = nao_kinora::JointStateSampler();
  started_ = false;
  full_ = false;
  rows_.clear();
  answer.message = "Recording " + file + ": move the robot, then press Stop.";
  return answer;
}

TeachAnswer ExerciseTeacher::stop()
{
  if (state_ != kRecording)
    return {TeachAnswer::kRefused, "Nothing is being recorded."};
  const nao_kinora::SampledRecording recording = sampler_.sample(rate_, still_);
  if (!recording.refusal.empty())
  {
    state_ = kIdle;
    return {TeachAnswer::kRefused, nothingRecordedWords(recording.refusal, sampler_.messages())};
  }
  state_ = kDraft;
  rows_ = recording.rows;
  sampler_ = nao_kinora::JointStateSampler();
  return {TeachAnswer::kDone, "Recorded " + std::to_string(rows_.size()) + " rows: check them, then Save."};
}

TeachAnswer ExerciseTeacher::save(const std::string& name, bool overwrite)
{
  if (state_ != kDraft)
    return {TeachAnswer::kRefused, "There is no recording to save: record one first."};
  std::string file = file_;
  if (!name.empty())
  {
    std::string fault;
    file = exerciseFileName(name, fault);
    if (file.empty())
      return {TeachAnswer::kBadRequest, fault};
  }
  // What the robot cannot play is never offered to a session.
  const std::string fault = firstFaultWords(rows_);
  if (!fault.empty())
    return {TeachAnswer::kRefused, "Not saved: the robot cannot play it: " + fault +
                                       ". Discard it and record it again, more slowly and within the robot's reach."};
  const std::string path = dir_ + file;
  if (!overwrite && access(path.c_str(), F_OK) == 0)
    return {TeachAnswer::kExists, "An exercise named " + file + " exists already. Replace it?"};
  const std::string unwritten = nao_kinora::writeRecording(path, rows_, overwrite);
  if (!unwritten.empty())
    return {TeachAnswer::kFailed, "Not saved: " + unwritten};
  state_ = kIdle;
  rows_.clear();
  saved_.erase(std::remove(saved_.begin(), saved_.end(), file), saved_.end());
  saved_.push_back(file);
  return {TeachAnswer::kDone, "Saved as " + file + "."};
}

TeachAnswer ExerciseTeacher::discard()
{
  state_ = kIdle;
  rows_.clear();
  sampler_ = nao_kinora::JointStateSampler();
  return {TeachAnswer::kDone, "Dropped."};
}

nlohmann::json ExerciseTeacher::view() const
{
  static const char* const kStates[] = {"idle", "recording", "draft"};
  nlohmann::json view = {{"state", kStates[state_]},
                         {"file", state_ == kIdle ? "" : file_},
                         {"recorded", state_ == kRecording && started_ ? lastStamp_ - origin_ : 0.0},
                         {"full", state_ == kRecording && full_},
                         {"pose", poses_ > 0 ? nlohmann::json(pose_) : nlohmann::json()},
                         {"saved", saved_}};
  if (state_ != kDraft)
  {
    view["draft"] = nullptr;
    return view;
  }
  const nao_kinora::JointStats stats = nao_kinora::jointStats(rows_);
  std::vector<std::string> moving;
  for (int joint : nao_kinora::movingJointsOf(stats.variance))
    moving.push_back(jointWords(joint));
  double seconds = 0.0;
  for (const nao_kinora::JointRow& row : rows_)
    seconds += row[nao_kinora::kDurationColumn];
  view["draft"] = {{"file", file_},
                   {"rows", rows_.size()},
                   {"seconds", seconds},
                   {"moving", moving},
                   {"exists", access((dir_ + file_).c_str(), F_OK) == 0},
                   {"limits", firstFaultWords(rows_)}};
  return view;
}

nlohmann::json ExerciseTeacher::draftRows() const
{
  if (state_ != kDraft)
    return nullptr;
  nlohmann::json rows = nlohmann::json::array();
  for (const nao_kinora::JointRow& row : rows_)
    rows.push_back(std::vector<float>(row.begin(), row.end()));
  return rows;
}
}  // namespace nao_kinora_console
