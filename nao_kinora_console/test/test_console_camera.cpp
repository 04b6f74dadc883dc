// The console program and the tablet camera, on a master of the test's own:
// landmarks posted to /api/pose come out on /person_pose in order, stamped
// with their frames' times, in the person's frame; the request's rules (the
// console's own page, a bounded body, each field named when wrong, one
// camera at a time); and the plan's side matching set on the master for the
// person tracker before a session's node starts.
#include "console_fixture.h"

#include <nao_kinora_msgs/PersonPose.h>
#include <ros/callback_queue.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>

namespace
{
using console_test::Console;
using console_test::request;
using console_test::waitWall;
using nlohmann::json;

// A batch of frames taken every 40 ms up to `sent` on the page's clock,
// landmark k at MediaPipe's (0.01 k, -0.02 k, 0.005 k) with visibility 0.9.
json batch(const std::string& stream, double sent, int frames, bool inView = true)
{
  json list = json::array();
  for (int f = frames - 1; f >= 0; --f)
  {
    json landmarks = json::array();
    for (int k = 0; inView && k < 33; ++k)
      landmarks.push_back({0.01 * k, -0.02 * k, 0.005 * k, 0.9});
    list.push_back({{"time", sent - 40 * f}, {"in_view", inView}, {"landmarks", landmarks}});
  }
  return {{"stream", stream}, {"sent", sent}, {"frames", list}};
}

struct PoseListener
{
  PoseListener()
  {
    nh.setCallbackQueue(&queue);
    sub = nh.subscribe<nao_kinora_msgs::PersonPose>("/person_pose", 100,
                                                    [this](const nao_kinora_msgs::PersonPose::ConstPtr& p)
                                                    {
                                                      std::lock_guard<std::mutex> lock(mutex);
                                                      poses.push_back(*p);
                                                    });
    spinner.start();
  }
  std::vector<nao_kinora_msgs::PersonPose> got()
  {
    std::lock_guard<std::mutex> lock(mutex);
    return poses;
  }
  ros::NodeHandle nh;
  ros::CallbackQueue queue;
  ros::AsyncSpinner spinner{1, &queue};
  ros::Subscriber sub;
  std::mutex mutex;
  std::vector<nao_kinora_msgs::PersonPose> poses;
};

console_test::Reply post(const Console& console, const json& body)
{
  return request(console.port, "POST", "/api/pose", {{"Origin", console.origin()}}, body.dump());
}

TEST(ConsoleCamera, LandmarksReachTheTopicStampedInOrder)
{
  kinora_test::Harness harness(false);
  Console console({"_database:="});
  ASSERT_NE(0, console.port);
  PoseListener listener;
  // The page's clock runs with the wall's, from 10 s.
  const ros::WallTime opened = ros::WallTime::now();
  const auto pageNow = [&] { return 10000 + (ros::WallTime::now() - opened).toSec() * 1000; };
  // The pose is advertised with the first landmarks: batches go on until
  // one reaches the listener; from then on none may be missed.
  ASSERT_TRUE(waitWall(
      [&]
      {
        EXPECT_EQ(200, post(console, batch("tab-1", pageNow(), 1)).status);
        ros::WallDuration(0.05).sleep();
        return !listener.got().empty();
      },
      15));
  const std::size_t before = listener.got().size();
  // Frames taken every 40 ms up to the sending, after the last one sent.
  ros::WallDuration(0.3).sleep();
  const double asked = ros::WallTime::now().toSec();
  const double sent = pageNow();
  const console_test::Reply r = post(console, batch("tab-1", sent, 5));
  const double answered = ros::WallTime::now().toSec();
  ASSERT_EQ(200, r.status) << r.body;
  EXPECT_EQ(json::parse(R"({"ok": true, "published": 5, "dropped": 0})"), json::parse(r.body));
  ASSERT_TRUE(waitWall([&] { return listener.got().size() == before + 5; }, 10));
  const auto poses = listener.got();
  for (std::size_t k = before; k < poses.size(); ++k)
  {
    SCOPED_TRACE(k);
    const nao_kinora_msgs::PersonPose& p = poses[k];
    // Frame f was taken 40 (4 - f) ms before the batch was sent.
    const double age = 0.04 * (before + 4 - k);
    EXPECT_LE(asked - 1e-3, p.header.stamp.toSec() + age);
    EXPECT_GE(answered + 1e-3, p.header.stamp.toSec() + age);
    if (k > before)
    {
      EXPECT_NEAR(0.04, (p.header.stamp - poses[k - 1].header.stamp).toSec(), 1e-6);
    }
    EXPECT_EQ("person", p.header.frame_id);
    EXPECT_EQ("tablet camera", p.source);
    ASSERT_TRUE(p.in_view);
    ASSERT_EQ(33u, p.landmarks.size());
    // MediaPipe's (0.01 k, -0.02 k, 0.005 k): forward -0.005 k, left 0.01 k, up 0.02 k.
    EXPECT_FLOAT_EQ(-0.005f * 12, p.landmarks[12].x);
    EXPECT_FLOAT_EQ(0.01f * 12, p.landmarks[12].y);
    EXPECT_FLOAT_EQ(0.02f * 12, p.landmarks[12].z);
    EXPECT_FLOAT_EQ(0.9f, p.landmarks[12].visibility);
  }
  // Nobody in view.
  ros::WallDuration(0.05).sleep();
  ASSERT_EQ(200, post(console, batch("tab-1", pageNow(), 1, false)).status);
  ASSERT_TRUE(waitWall([&] { return listener.got().size() == before + 6; }, 10));
  EXPECT_FALSE(listener.got().back().in_view);
  EXPECT_TRUE(listener.got().back().landmarks.empty());

  // Another camera meanwhile is refused, and nothing of it is published:
  // the next message is the first camera's next frame.
  const console_test::Reply other = post(console, batch("tab-2", 500, 1, true));
  EXPECT_EQ(409, other.status);
  EXPECT_NE(std::string::npos, other.body.find("one camera at a time")) << other.body;
  ros::WallDuration(0.05).sleep();
  ASSERT_EQ(200, post(console, batch("tab-1", pageNow(), 1, false)).status);
  ASSERT_TRUE(waitWall([&] { return listener.got().size() >= before + 7; }, 10));
  ros::WallDuration(0.2).sleep();
  ASSERT_EQ(before + 7, listener.got().size());
  EXPECT_FALSE(listener.got().back().in_view);
}

struct RuleCase
{
  const char* name;
  std::string method;
  httplib::Headers headers;
  std::string body;
  int status;
  std::string says;
};

TEST(ConsoleCamera, OnlyFromTheConsolesOwnPageWithBoundedCheckedBodies)
{
  kinora_test::Harness harness(false);
  Console console({"_database:="});
  ASSERT_NE(0, console.port);
  const httplib::Headers page{{"Origin", console.origin()}};
  json wrongTime = batch("tab-1", 5000, 2);
  wrongTime["frames"][1]["time"] = "soon";
  const RuleCase cases[] = {
      {"read", "GET", {}, "", 405, "Actions are sent with POST."},
      {"another site",
       "POST",
       {{"Origin", "http://example.org"}},
       batch("tab-1", 5000, 1).dump(),
       403,
       "Actions are taken from the console's own page only."},
      {"no origin",
       "POST",
       {},
       batch("tab-1", 5000, 1).dump(),
       403,
       "Actions are taken from the console's own page only."},
      {"a field wrong", "POST", page, wrongTime.dump(), 400,
       R"({"message":"frames[1].time: must be a number of milliseconds, not after sent","ok":false})"},
      {"not JSON", "POST", page, "{", 400, R"({"message":"body: not a JSON object","ok":false})"},
      {"taken", "POST", page, batch("tab-1", 5000, 1).dump(), 200, R"({"dropped":0,"ok":true,"published":1})"},
  };
  for (const RuleCase& c : cases)
  {
    SCOPED_TRACE(c.name);
    const console_test::Reply r = request(console.port, c.method, "/api/pose", c.headers, c.body);
    EXPECT_EQ(c.status, r.status);
    EXPECT_EQ(c.says + (c.says[0] == '{' ? "" : "\n"), r.body);
  }
  // A body over 32 KiB is refused on its length, before a byte of it is read.
  const std::string host = "127.0.0.1:" + std::to_string(console.port);
  const std::string head = "POST /api/pose HTTP/1.1\r\nHost: " + host + "\r\nOrigin: http://" + host +
                           "\r\nContent-Type: application/json\r\nContent-Length: ";
  EXPECT_EQ(413, console_test::rawStatus(console.port, head + "32769\r\n\r\n"));
}

// The console's token, when it has one, is needed as for every action.
TEST(ConsoleCamera, TheTokenIsNeeded)
{
  kinora_test::Harness harness(false);
  Console console({"_database:=", "_token:=cam-token_1"});
  ASSERT_NE(0, console.port);
  const std::string body = batch("tab-1", 5000, 1).dump();
  EXPECT_EQ(403, request(console.port, "POST", "/api/pose", {{"Origin", console.origin()}}, body).status);
  EXPECT_EQ(200, request(console.port, "POST", "/api/pose",
                         {{"Origin", console.origin()}, {"X-Console-Token", "cam-token_1"}}, body)
                     .status);
}

// The plan's side matching is on the master, for the tracker beside the
// coaching node, before each session's node starts.
TEST(ConsoleCamera, PlansSideMatchingSetForTheTracker)
{
  kinora_test::Harness harness(false);
  kinora_test::TempDir dir;
  mkdir((dir.path() + "library").c_str(), 0700);
  // Five rows of a pose within the robot's joint limits (the elbows bent a little).
  std::string rows;
  for (int r = 0; r < 5; ++r)
    rows += "0 0 0 0 0 -0.1 0 0 0 0.1 0 0 0 0 0 0 0 0 0 0 0 0 0.1\n";
  dir.write("library/a.txt", rows);
  // The node's stand-in ends at once.
  const std::string node = dir.write("node.sh", "#!/bin/sh\nexit 0\n");
  chmod(node.c_str(), 0700);
  Console console({"_database:=" + dir.path() + "clinic.db", "_recording_dir:=" + dir.path() + "library/",
                   "_node_program:=" + node});
  ASSERT_NE(0, console.port);
  const httplib::Headers page{{"Origin", console.origin()}};
  const auto ask = [&](const std::string& method, const std::string& path, const json& body)
  { return request(console.port, method, "/api/clinic" + path, page, body.dump()); };
  for (const bool mirror : {false, true, false})
  {
    SCOPED_TRACE(mirror);
    static int n = 0;
    const console_test::Reply patient = ask("POST", "/patients", {{"code", "P-" + std::to_string(++n)}});
    ASSERT_EQ(201, patient.status) << patient.body;
    const std::string id = std::to_string(json::parse(patient.body)["id"].get<int64_t>());
    const console_test::Reply plan = ask("POST", "/patients/" + id + "/plans",
                                         {{"name", "w"}, {"speed", 1}, {"items", {"a.txt"}}, {"mirror", mirror}});
    ASSERT_EQ(201, plan.status) << plan.body;
    const std::string planId = std::to_string(json::parse(plan.body)["id"].get<int64_t>());
    // The last session's node may not have been seen to end yet (409 meanwhile).
    console_test::Reply started;
    for (const ros::WallTime end = ros::WallTime::now() + ros::WallDuration(30);
         (started = ask("POST", "/plans/" + planId + "/start", json::object())).status == 409 &&
         ros::WallTime::now() < end;)
      ros::WallDuration(0.1).sleep();
    ASSERT_EQ(201, started.status) << started.body;
    bool onMaster = !mirror;
    ASSERT_TRUE(ros::param::get("/nao_kinora_tracker/mirror", onMaster));
    EXPECT_EQ(mirror, onMaster);
  }
}
}  // namespace
