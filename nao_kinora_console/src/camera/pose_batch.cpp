#include "nao_kinora_console/camera/pose_batch.h"

#include <nlohmann/json.hpp>

#include <cctype>
#include <cmath>

namespace nao_kinora_console
{
namespace
{
using nlohmann::json;

// A landmark further than this from the hips is no person's.
const double kMaxMetres = 10;
const std::size_t kMaxStream = 64;
// The page's clock starts at its load: a week of milliseconds is plenty.
const double kMaxTime = 7 * 24 * 3600 * 1000.0;

bool finiteIn(const json& value, double low, double high)
{
  if (!value.is_number())
    return false;
  const double v = value.get<double>();
  return std::isfinite(v) && v >= low && v <= high;
}

bool plainName(const std::string& text)
{
  if (text.empty() || text.size() > kMaxStream)
    return false;
  for (char c : text)
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_'))
      return false;
  return true;
}

std::string landmarkFault(const json& landmark, const std::string& at)
{
  if (!landmark.is_array() || landmark.size() != 4)
    return at + ": must be [x, y, z, visibility]";
  for (std::size_t k = 0; k < 3; ++k)
    if (!finiteIn(landmark[k], -kMaxMetres, kMaxMetres))
      return at + ": x, y and z must be numbers of metres from -10 to 10";
  if (!finiteIn(landmark[3], 0, 1))
    return at + ": visibility must be a number from 0 to 1";
  return "";
}

std::string frameFault(const json& frame, const std::string& at, double sent, PoseFrame& out)
{
  if (!frame.is_object())
    return at + ": must be an object";
  const auto time = frame.find("time");
  if (time == frame.end() || !finiteIn(*time, 0, sent))
    return at + ".time: must be a number of milliseconds, not after sent";
  const auto inView = frame.find("in_view");
  if (inView == frame.end() || !inView->is_boolean())
    return at + ".in_view: must be true or false";
  const auto landmarks = frame.find("landmarks");
  out.time = time->get<double>();
  out.inView = inView->get<bool>();
  const std::size_t want = out.inView ? kLandmarkCount : 0;
  if (landmarks == frame.end() || !landmarks->is_array() || landmarks->size() != want)
    return at + ".landmarks: must be a list of " + std::to_string(want) + " landmarks" +
           (out.inView ? "" : " when nobody is in view");
  for (std::size_t k = 0; k < want; ++k)
  {
    const json& l = (*landmarks)[k];
    const std::string fault = landmarkFault(l, at + ".landmarks[" + std::to_string(k) + "]");
    if (!fault.empty())
      return fault;
    out.landmarks.push_back({l[0].get<double>(), l[1].get<double>(), l[2].get<double>(), l[3].get<double>()});
  }
  return "";
}
}  // namespace

std::string parsePoseBatch(const std::string& body, PoseBatch& batch)
{
  batch = PoseBatch();
  if (body.size() > kMaxPoseBody)
    return "body: at most " + std::to_string(kMaxPoseBody) + " bytes";
  const json j = json::parse(body, nullptr, false);
  if (!j.is_object())
    return "body: not a JSON object";
  const auto stream = j.find("stream");
  if (stream == j.end() || !stream->is_string() || !plainName(stream->get<std::string>()))
    return "stream: must be 1 to 64 letters, digits, - or _";
  batch.stream = stream->get<std::string>();
  const auto sent = j.find("sent");
  if (sent == j.end() || !finiteIn(*sent, 0, kMaxTime))
    return "sent: must be a number of milliseconds";
  batch.sent = sent->get<double>();
  const auto frames = j.find("frames");
  if (frames == j.end() || !frames->is_array() || frames->empty() || frames->size() > kMaxPoseFrames)
    return "frames: must be a list of 1 to " + std::to_string(kMaxPoseFrames) + " frames";
  for (std::size_t k = 0; k < frames->size(); ++k)
  {
    const std::string at = "frames[" + std::to_string(k) + "]";
    PoseFrame frame;
    const std::string fault = frameFault((*frames)[k], at, batch.sent, frame);
    if (!fault.empty())
      return fault;
    if (!batch.frames.empty() && frame.time <= batch.frames.back().time)
      return at + ".time: must come after the frame before";
    batch.frames.push_back(std::move(frame));
  }
  return "";
}

nao_kinora_msgs::PersonPose personPose(const PoseFrame& frame)
{
  nao_kinora_msgs::PersonPose pose;
  pose.header.frame_id = "person";
  pose.source = "tablet camera";
  pose.in_view = frame.inView;
  for (const auto& l : frame.landmarks)
  {
    nao_kinora_msgs::PoseLandmark p;
    p.x = static_cast<float>(-l[2]);
    p.y = static_cast<float>(l[0]);
    p.z = static_cast<float>(-l[1]);
    p.visibility = static_cast<float>(l[3]);
    pose.landmarks.push_back(p);
  }
  return pose;
}
}  // namespace nao_kinora_console
