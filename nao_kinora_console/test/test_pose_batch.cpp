// The tablet camera's landmarks: each field of a batch checked and named
// when wrong, the mapping into the person's frame, and which frames the
// relay passes on with which stamps.
#include "nao_kinora_console/camera/pose_relay.h"
#include "nao_kinora_console/camera/tracker_side.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>

namespace
{
using namespace nao_kinora_console;
using nlohmann::json;

json landmarks(double x = 0.1, double visibility = 0.9)
{
  json list = json::array();
  for (int k = 0; k < 33; ++k)
    list.push_back({x, -0.2, 0.05 * k, visibility});
  return list;
}

json frame(double time, bool inView = true)
{
  return {{"time", time}, {"in_view", inView}, {"landmarks", inView ? landmarks() : json::array()}};
}

json batch(json frames, double sent = 1000)
{
  return {{"stream", "cam-1"}, {"sent", sent}, {"frames", frames}};
}

// The batch with one field set (a JSON pointer) or removed (null value given as "drop").
std::string with(const std::string& pointer, const json& value)
{
  json b = batch({frame(900), frame(950)});
  if (value.is_string() && value == "drop")
    b.at(json::json_pointer(pointer.substr(0, pointer.rfind('/')))).erase(pointer.substr(pointer.rfind('/') + 1));
  else
    b[json::json_pointer(pointer)] = value;
  return b.dump();
}

struct FaultCase
{
  std::string body;
  std::string fault;
};

TEST(PoseBatch, EachFieldCheckedAndNamed)
{
  json sixteen = json::array();
  for (int k = 0; k < 16; ++k)
    sixteen.push_back(frame(100 + 40 * k));
  const FaultCase cases[] = {
      {"", "body: not a JSON object"},
      {"[1, 2]", "body: not a JSON object"},
      {"{\"stream\": \"a\", \"sent\": 1, \"frames\": [\xff]}", "body: not a JSON object"},
      {std::string(kMaxPoseBody + 1, ' '), "body: at most 32768 bytes"},
      {with("/stream", "drop"), "stream: must be 1 to 64 letters, digits, - or _"},
      {with("/stream", 5), "stream: must be 1 to 64 letters, digits, - or _"},
      {with("/stream", ""), "stream: must be 1 to 64 letters, digits, - or _"},
      {with("/stream", "a b"), "stream: must be 1 to 64 letters, digits, - or _"},
      {with("/stream", std::string(65, 'a')), "stream: must be 1 to 64 letters, digits, - or _"},
      {with("/sent", "drop"), "sent: must be a number of milliseconds"},
      {with("/sent", "1000"), "sent: must be a number of milliseconds"},
      {with("/sent", -1), "sent: must be a number of milliseconds"},
      {with("/sent", 1e300), "sent: must be a number of milliseconds"},
      {with("/frames", "drop"), "frames: must be a list of 1 to 15 frames"},
      {with("/frames", json::array()), "frames: must be a list of 1 to 15 frames"},
      {with("/frames", json::object()), "frames: must be a list of 1 to 15 frames"},
      {batch(sixteen).dump(), "frames: must be a list of 1 to 15 frames"},
      {with("/frames/1", 7), "frames[1]: must be an object"},
      {with("/frames/0/time", "drop"), "frames[0].time: must be a number of milliseconds, not after sent"},
      {with("/frames/0/time", true), "frames[0].time: must be a number of milliseconds, not after sent"},
      {with("/frames/1/time", 1000.5), "frames[1].time: must be a number of milliseconds, not after sent"},
      {with("/frames/1/time", 900), "frames[1].time: must come after the frame before"},
      {with("/frames/0/in_view", "drop"), "frames[0].in_view: must be true or false"},
      {with("/frames/0/in_view", 1), "frames[0].in_view: must be true or false"},
      {with("/frames/0/landmarks", "drop"), "frames[0].landmarks: must be a list of 33 landmarks"},
      {with("/frames/1/in_view", false), "frames[1].landmarks: must be a list of 0 landmarks when nobody is in view"},
      {with("/frames/0/landmarks/5", json::array({1, 2, 3})), "frames[0].landmarks[5]: must be [x, y, z, visibility]"},
      {with("/frames/0/landmarks/5", "x"), "frames[0].landmarks[5]: must be [x, y, z, visibility]"},
      {with("/frames/0/landmarks/5/2", "0.1"),
       "frames[0].landmarks[5]: x, y and z must be numbers of metres from -10 to 10"},
      {with("/frames/0/landmarks/5/0", 10.5),
       "frames[0].landmarks[5]: x, y and z must be numbers of metres from -10 to 10"},
      {with("/frames/0/landmarks/32/3", 1.5), "frames[0].landmarks[32]: visibility must be a number from 0 to 1"},
      {with("/frames/0/landmarks/32/3", nullptr), "frames[0].landmarks[32]: visibility must be a number from 0 to 1"},
  };
  for (const FaultCase& c : cases)
  {
    SCOPED_TRACE(c.body.substr(0, 200));
    PoseBatch parsed;
    EXPECT_EQ(c.fault, parsePoseBatch(c.body, parsed));
  }
  // 32 landmarks: one short.
  json short32 = batch({frame(900)});
  short32["frames"][0]["landmarks"].erase(32);
  PoseBatch parsed;
  EXPECT_EQ("frames[0].landmarks: must be a list of 33 landmarks", parsePoseBatch(short32.dump(), parsed));
}

TEST(PoseBatch, ABatchReadWhole)
{
  PoseBatch b;
  ASSERT_EQ("", parsePoseBatch(batch({frame(900), frame(933.5, false), frame(966.7)}).dump(), b));
  EXPECT_EQ("cam-1", b.stream);
  EXPECT_EQ(1000, b.sent);
  ASSERT_EQ(3u, b.frames.size());
  EXPECT_EQ(933.5, b.frames[1].time);
  EXPECT_FALSE(b.frames[1].inView);
  EXPECT_TRUE(b.frames[1].landmarks.empty());
  ASSERT_EQ(33u, b.frames[2].landmarks.size());
  EXPECT_EQ((std::array<double, 4>{0.1, -0.2, 0.05 * 32, 0.9}), b.frames[2].landmarks[32]);
}

// The camera faces the person: MediaPipe's x (the image's right) is the
// person's left, its y (down) is -up, its z (away from the camera) is -forward.
TEST(PoseBatch, IntoThePersonsFrame)
{
  struct Case
  {
    std::array<double, 4> mediapipe;
    float x, y, z, visibility;
  };
  const Case cases[] = {
      {{0.2, 0, 0, 1}, 0, 0.2f, 0, 1},          // on the image's right: the person's left
      {{0, -0.5, 0, 0.5}, 0, 0, 0.5f, 0.5f},    // up the image: up
      {{0, 0, -0.3, 0.25}, 0.3f, 0, 0, 0.25f},  // nearer the camera: in front of the person
      {{-0.1, 0.4, 0.2, 0}, -0.2f, -0.1f, -0.4f, 0},
  };
  PoseFrame f;
  f.inView = true;
  for (const Case& c : cases)
    f.landmarks.push_back(c.mediapipe);
  const nao_kinora_msgs::PersonPose pose = personPose(f);
  EXPECT_EQ("person", pose.header.frame_id);
  EXPECT_EQ("tablet camera", pose.source);
  EXPECT_TRUE(pose.in_view);
  ASSERT_EQ(4u, pose.landmarks.size());
  for (std::size_t k = 0; k < 4; ++k)
  {
    SCOPED_TRACE(k);
    EXPECT_FLOAT_EQ(cases[k].x, pose.landmarks[k].x);
    EXPECT_FLOAT_EQ(cases[k].y, pose.landmarks[k].y);
    EXPECT_FLOAT_EQ(cases[k].z, pose.landmarks[k].z);
    EXPECT_FLOAT_EQ(cases[k].visibility, pose.landmarks[k].visibility);
  }
  f.inView = false;
  f.landmarks.clear();
  EXPECT_FALSE(personPose(f).in_view);
  EXPECT_TRUE(personPose(f).landmarks.empty());
}

struct Relayed
{
  std::vector<nao_kinora_msgs::PersonPose> poses;
  PoseRelay relay{[this](const nao_kinora_msgs::PersonPose& p) { poses.push_back(p); }};
  PoseRelay::Outcome take(const std::string& stream, double sent, std::vector<json> frames, double rosNow, double wall)
  {
    json b = batch(frames, sent);
    b["stream"] = stream;
    PoseBatch parsed;
    EXPECT_EQ("", parsePoseBatch(b.dump(), parsed));
    return relay.take(parsed, ros::Time(rosNow), wall);
  }
  // In microseconds, as whole numbers: exact to compare.
  std::vector<long> stamps() const
  {
    std::vector<long> out;
    for (const auto& p : poses)
      out.push_back(std::lround(p.header.stamp.toSec() * 1e6));
    return out;
  }
};

// Stamped with the frame's age on the page's clock before the batch's
// arrival in ROS time; faster than 30 a second, older than 30 s, out of order
// or before ROS time runs: dropped.
TEST(PoseRelay, StampsAndDrops)
{
  Relayed r;
  auto out = r.take("a", 1000, {frame(900), frame(950), frame(960), frame(1000)}, 50, 10);
  EXPECT_FALSE(out.refused);
  EXPECT_EQ(3, out.published);
  EXPECT_EQ(1, out.dropped);  // 960: 10 ms after 950
  EXPECT_EQ((std::vector<long>{49900000, 49950000, 50000000}), r.stamps());
  EXPECT_TRUE(r.poses[0].in_view);
  EXPECT_EQ(33u, r.poses[0].landmarks.size());
  // Nobody in view goes on too, as such.
  out = r.take("a", 1100, {frame(1040, false)}, 50.2, 10.2);
  EXPECT_EQ(1, out.published);
  EXPECT_FALSE(r.poses.back().in_view);
  EXPECT_EQ(50140000, r.stamps().back());
  // A frame older than 30 s on arrival (a tablet that slept).
  out = r.take("a", 40000, {frame(5000), frame(39990)}, 53, 13);
  EXPECT_EQ(1, out.published);
  EXPECT_EQ(1, out.dropped);
  EXPECT_EQ(52990000, r.stamps().back());
  // A batch that took long on the way would be stamped before the last: dropped.
  out = r.take("a", 40100, {frame(40050)}, 53.0, 13.1);
  EXPECT_EQ(0, out.published);
  EXPECT_EQ(1, out.dropped);
  // Simulated time not running yet.
  Relayed sim;
  out = sim.take("a", 1000, {frame(900), frame(950)}, 0, 10);
  EXPECT_EQ(0, out.published);
  EXPECT_EQ(2, out.dropped);
  out = sim.take("a", 1100, {frame(1050)}, 3, 11);
  EXPECT_EQ(1, out.published);
  // Simulated time started again from 0: order starts anew.
  out = sim.take("a", 1200, {frame(1150)}, 0.5, 12);
  EXPECT_EQ(1, out.published);
  EXPECT_EQ(450000, sim.stamps().back());
}

// One camera at a time: another is refused while the first sends, and
// takes over two seconds after its last batch.
TEST(PoseRelay, OneCameraAtATime)
{
  Relayed r;
  EXPECT_EQ(1, r.take("a", 1000, {frame(990)}, 50, 10).published);
  EXPECT_TRUE(r.take("b", 500, {frame(490)}, 50.5, 10.5).refused);
  EXPECT_TRUE(r.take("b", 2000, {frame(1990)}, 51.9, 11.9).refused);
  EXPECT_EQ(1, r.take("a", 1100, {frame(1090)}, 51.0, 11.95).published);
  EXPECT_TRUE(r.take("b", 2100, {frame(2090)}, 53.9, 13.9).refused);
  const auto taken = r.take("b", 2200, {frame(2190)}, 54.0, 14.0);
  EXPECT_FALSE(taken.refused);
  EXPECT_EQ(1, taken.published);
  // Its own clock's frames, not compared with the first camera's.
  EXPECT_EQ(53990000, r.stamps().back());
  EXPECT_TRUE(r.take("a", 1200, {frame(1190)}, 54.5, 14.5).refused);
}

TEST(TrackerSide, BesideTheCoachingNode)
{
  EXPECT_EQ("/nao_kinora_tracker/mirror", trackerMirrorParam("/nao_kinora"));
  EXPECT_EQ("/room2/nao_kinora_tracker/mirror", trackerMirrorParam("/room2/nao_kinora"));
  EXPECT_EQ("/person_pose", personPoseTopic("/nao_kinora"));
  EXPECT_EQ("/room2/person_pose", personPoseTopic("/room2/nao_kinora"));
}
}  // namespace
