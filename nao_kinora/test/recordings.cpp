#include "recordings.h"

#include "nao_kinora/joint_limits.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iomanip>
#include <locale>
#include <sstream>

namespace run_script
{
namespace
{
const float kMarker = 1.0f;
const float kSwing = 0.4f;
const int kRunOfRows = 9;        // sent at once, below the joint queue of 10
const float kRunEndHeld = 0.5f;  // one coarse tick
}  // namespace

std::string floatBytes(const std::vector<float>& values)
{
  return std::string(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(float));
}

JointRow Recording::row(int r) const
{
  JointRow values;
  for (int j = 0; j < kJointCount; ++j)
  {
    const bool swings = r >= swingFrom && std::find(moving.begin(), moving.end(), j) != moving.end();
    if (swings)
      values[j] = (r % 2 ? kSwing : -kSwing) + 1e-4f * r + 1e-3f * j;
    else if (!pose.empty())
      values[j] = pose[j] + (j == 0 ? 0.01f * id + 1e-3f * r : 0.0f);
    else
      values[j] = 0.01f * id + 1e-5f * r + 1e-3f * j;
  }
  for (const Angle& a : angles)
    if (a.row == r)
      values[a.joint] = a.angle;
  values[kDurationColumn] = durations[r];
  return values;
}

std::vector<float> poseWithinLimits()
{
  std::vector<float> pose;
  for (int j = 0; j < kJointCount; ++j)
    pose.push_back(static_cast<float>((nao_kinora::jointLimit(j).lower + nao_kinora::jointLimit(j).upper) / 2));
  return pose;
}

std::vector<float> Recording::wire(int r) const
{
  JointRow values = row(r);
  if (r == 0)
    values[kDurationColumn] = kFirstRowMs / 1000.0f;
  std::vector<float> data{kMarker};
  data.insert(data.end(), values.begin(), values.end());
  return data;
}

int Recording::heldMs(int r) const
{
  return r == 0 ? kFirstRowMs : static_cast<int>(std::lround(std::max(0.0f, durations[r]) * 1000.0));
}

std::vector<int> Recording::reported() const
{
  return rows() - swingFrom > 1 ? moving : std::vector<int>();
}

std::string Recording::text() const
{
  std::ostringstream text;
  text.imbue(std::locale::classic());
  text << std::setprecision(9);  // enough to give back the same float
  for (int r = 0; r < rows(); ++r)
  {
    const JointRow values = row(r);
    for (int c = 0; c < kRowColumns; ++c)
      text << (c ? " " : "") << values[c];
    text << '\n';
  }
  return text.str();
}

Recording makeRecording(const std::string& name, int id, int rows, float duration, const std::vector<int>& moving)
{
  Recording rec;
  rec.name = name;
  rec.id = id;
  rec.durations.assign(rows, duration);
  rec.moving = moving;
  return rec;
}

Recording makeQuickRecording(const std::string& name, int id, int rows, const std::vector<int>& moving,
                             const std::vector<int>& feedbackRows)
{
  Recording rec = makeRecording(name, id, rows, 0.0f, moving);
  for (int r = kRunOfRows - 1; r < rows; r += kRunOfRows)
    rec.durations[r] = kRunEndHeld;
  for (int row : feedbackRows)
    if (row > 0 && row <= rows)
      rec.durations[row - 1] = kRunEndHeld;
  rec.durations.back() = kRunEndHeld;
  return rec;
}

CueSchedule scheduleFor(int currentargv)
{
  const std::vector<int> sides{94, 470, 832};
  switch (currentargv)
  {
    case 2:
      return {sides, {{"ellerbeldesol.wav", 5000}}};
    case 3:
      return {sides, {{"ellerbeldesag.wav", 5000}}};
    case 4:
      return {{191, 376, 554, 727, 919}, {{"kollaryana.wav", 5000}}};
    case 5:
      return {{130, 261, 403, 559, 721}, {{"oturabilirsiniz.wav", 10000}, {"dirsekler.wav", 5000}}};
    case 6:
      return {{}, {{"naooturacak.wav", 3000}}};
    case 7:
      return {{}, {{"sagdiz.wav", 5000}}};
    case 8:
      return {{}, {{"soldiz.wav", 5000}}};
    case 9:
      return {{}, {{"sagbilek.wav", 5000}}};
    case 10:
      return {{}, {{"solbilek.wav", 5000}}};
    default:
      return {};
  }
}

std::vector<std::string> commandLine(const std::string& count, const std::vector<Recording>& recordings)
{
  std::vector<std::string> args{count};
  for (const Recording& rec : recordings)
    args.push_back(rec.name);
  return args;
}

std::string playedLines(int rows, const std::vector<int>& moving)
{
  std::string text;
  for (int r = 0; r < rows; ++r)
    text += "burdayım\n";
  text += "motion is over\n";
  for (int joint : moving)
    text += "varianced " + std::to_string(joint) + "\n";
  return text;
}

void writeRecordings(const std::string& dir, const std::vector<Recording>& recordings)
{
  for (const Recording& rec : recordings)
  {
    std::ofstream out((dir + rec.name).c_str(), std::ios::binary);
    out << rec.text();
  }
}

}  // namespace run_script
