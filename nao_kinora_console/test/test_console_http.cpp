// The console program over HTTP, without a browser: each case starts its own
// master, the console on a free port and, where it needs one, a stand-in for
// the coaching program (console_fixture.h).
#include "console_fixture.h"

#include <std_msgs/Float32MultiArray.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <future>

using console_test::Console;
using console_test::EventStream;
using console_test::FakeCoach;
using console_test::rawStatus;
using console_test::request;
using console_test::waitWall;
using nlohmann::json;

namespace
{
const double kExitSeconds = 10.0;
const char* const kToken = "s3cret-token_1";

httplib::Headers originOf(const Console& console)
{
  return {{"Origin", console.origin()}};
}

std::string get(const std::string& target, const std::string& host)
{
  return "GET " + target + " HTTP/1.1\r\nHost: " + host + "\r\n\r\n";
}

// A console that must refuse to start: exit status 1, the reason on standard
// error, no address on standard output.
void expectRefusal(std::vector<std::string> params, const std::string& reason)
{
  // Private parameters given on the command line stay on the master: a name
  // of its own for each start.
  static int starts = 0;
  params.push_back("__name:=refused_" + std::to_string(++starts));
  auto process = console_test::startConsole(params);
  ASSERT_TRUE(process->waitExit(kExitSeconds)) << "still running with " << params[0];
  EXPECT_EQ(1, process->exitStatus()) << params[0];
  EXPECT_NE(std::string::npos, process->err().find(reason)) << params[0] << ": " << process->err();
  EXPECT_EQ(std::string::npos, process->out().find("console: ")) << process->out();
}
}  // namespace

TEST(ConsoleStart, RefusesUnsafeOrUnusableSettings)
{
  kinora_test::Harness harness(false);
  expectRefusal({"_bind:=0.0.0.0"}, "~bind is 0.0.0.0, which other machines can reach: set ~token as well");
  expectRefusal({"_bind:=::"}, "~bind is ::, which other machines can reach");
  expectRefusal({"_port:=70000"}, "~port 70000 is not a TCP port");
  expectRefusal({"_port:=eighty"}, "~port must be an integer");
  expectRefusal({"_token:=two words"}, "~token may hold only letters, digits");
  expectRefusal({"_coach_node:=nao_kinora"}, "~coach_node [nao_kinora] is not a global node name");
  // An address of no interface here (TEST-NET-1): nothing is sent, the bind fails.
  expectRefusal({"_bind:=192.0.2.1", std::string("_token:=") + kToken}, "cannot listen on 192.0.2.1:8080");

  Console first;
  ASSERT_GT(first.port, 0);
  expectRefusal({"_port:=" + std::to_string(first.port)}, "cannot listen on 127.0.0.1:" + std::to_string(first.port));
  EXPECT_EQ(200, request(first.port, "GET", "/api/status").status) << "the first console stops serving";
}

TEST(ConsoleHttp, TokenOnEveryRequest)
{
  kinora_test::Harness harness(false);
  FakeCoach coach;
  Console console({std::string("_token:=") + kToken});
  ASSERT_GT(console.port, 0);
  EXPECT_NE(std::string::npos, console.process->out().find("/?token=" + std::string(kToken)));
  const int port = console.port;
  const std::string right = std::string("?token=") + kToken;
  const httplib::Headers withToken = {{"X-Console-Token", kToken}};

  // The page only with the token; without it, a page that asks for the link.
  auto page = request(port, "GET", "/");
  EXPECT_EQ(403, page.status);
  EXPECT_NE(std::string::npos, page.body.find("access link"));
  EXPECT_EQ(std::string::npos, page.body.find("console.js"));
  EXPECT_EQ(403, request(port, "GET", "/?token=s3cret-token_2").status);
  EXPECT_EQ(403, request(port, "GET", "/?token=s3cret").status);
  EXPECT_EQ(403, request(port, "GET", "/?token=").status);
  page = request(port, "GET", "/" + right);
  EXPECT_EQ(200, page.status);
  EXPECT_NE(std::string::npos, page.body.find("console.js"));

  EXPECT_EQ(403, request(port, "GET", "/console.js").status);
  EXPECT_EQ(200, request(port, "GET", "/console.js" + right).status);
  EXPECT_EQ(403, request(port, "GET", "/api/status").status);
  EXPECT_EQ(403, request(port, "GET", "/api/status", {{"X-Console-Token", "s3cret-token_2"}}).status);
  EXPECT_EQ(200, request(port, "GET", "/api/status", withToken).status);
  EXPECT_EQ(403, request(port, "GET", "/missing.js").status) << "a missing file tells nothing without the token";

  {
    EventStream refused(port, "/events");
    EXPECT_TRUE(waitWall([&] { return refused.status() != 0; }, 5));
    EXPECT_EQ(403, refused.status());
    EventStream events(port, "/events" + right);
    EXPECT_GE(events.waitFor([](const EventStream::Event& e) { return e.type == "status"; }, 5), 0);
    EXPECT_EQ(200, events.status());
  }

  httplib::Headers action = originOf(console);
  EXPECT_EQ(403, request(port, "POST", "/api/skip", action, "{}").status);
  EXPECT_TRUE(coach.calls().empty()) << "a request without the token reached the program";
  action.emplace("X-Console-Token", kToken);
  EXPECT_EQ(200, request(port, "POST", "/api/skip", action, "{}").status);
  EXPECT_EQ(std::vector<std::string>{"skip"}, coach.calls());
}

TEST(ConsoleHttp, ActionsArePostFromTheConsolesOwnPage)
{
  kinora_test::Harness harness(false);
  FakeCoach coach;
  Console console;
  ASSERT_GT(console.port, 0);
  const int port = console.port;

  for (const char* method : {"GET", "PUT", "DELETE", "OPTIONS"})
    for (const char* action : {"/api/pause", "/api/skip", "/api/end"})
    {
      const auto reply = request(port, method, action, originOf(console), "{\"pause\": true, \"confirm\": true}");
      EXPECT_EQ(405, reply.status) << method << " " << action;
      EXPECT_EQ("POST", reply.header("Allow")) << method << " " << action;
    }
  EXPECT_EQ(405, request(port, "POST", "/", originOf(console)).status);
  EXPECT_EQ(405, request(port, "POST", "/index.html", originOf(console)).status);
  EXPECT_EQ(405, request(port, "PUT", "/api/status").status);

  EXPECT_EQ(403, request(port, "POST", "/api/skip", {}, "{}").status) << "no Origin";
  for (const std::string& origin : std::vector<std::string>{
           "null", "http://evil.example", "http://localhost:" + std::to_string(port), "https://" + console.hostPort(),
           console.origin() + ".evil.example", "http://127.0.0.1:" + std::to_string(port + 1)})
    EXPECT_EQ(403, request(port, "POST", "/api/skip", {{"Origin", origin}}, "{}").status) << origin;

  // Another site's name pointed at 127.0.0.1 gets nothing, not even the status.
  const std::string evil = "evil.example:" + std::to_string(port);
  EXPECT_EQ(403, request(port, "GET", "/api/status", {{"Host", evil}}).status);
  EXPECT_EQ(403, request(port, "GET", "/", {{"Host", evil}}).status);
  EXPECT_EQ(403, request(port, "POST", "/api/skip", {{"Host", evil}, {"Origin", "http://" + evil}}, "{}").status);
  EXPECT_TRUE(coach.calls().empty()) << "a refused request reached the program";

  // localhost is this console too, when the page was opened under that name.
  const std::string local = "localhost:" + std::to_string(port);
  EXPECT_EQ(200, request(port, "POST", "/api/skip", {{"Host", local}, {"Origin", "http://" + local}}, "{}").status);
  EXPECT_EQ(200, request(port, "POST", "/api/skip", originOf(console), "{}").status);
  EXPECT_EQ((std::vector<std::string>{"skip", "skip"}), coach.calls());
}

TEST(ConsoleHttp, ActionsReachTheirControls)
{
  kinora_test::Harness harness(false);
  FakeCoach coach;
  Console console;
  ASSERT_GT(console.port, 0);
  const int port = console.port;
  const auto post = [&](const std::string& path, const std::string& body)
  { return request(port, "POST", path, originOf(console), body); };

  coach.answer({true, "paused at row 431 of 960", 0});
  auto reply = post("/api/pause", "{\"pause\": true}");
  EXPECT_EQ(200, reply.status);
  EXPECT_EQ((json{{"ok", true}, {"answered", true}, {"message", "paused at row 431 of 960"}}), json::parse(reply.body));
  EXPECT_EQ(200, post("/api/pause", "{\"pause\": false}").status);
  EXPECT_EQ(200, post("/api/skip", "").status);
  EXPECT_EQ(200, post("/api/end", "{\"confirm\": true}").status);
  // The console answers once the program has: each call is recorded by then.
  EXPECT_EQ((std::vector<std::string>{"pause", "resume", "skip", "end"}), coach.calls());

  // Asked badly: the program hears nothing.
  for (const auto& bad : std::vector<std::pair<std::string, std::string>>{{"/api/end", "{}"},
                                                                          {"/api/end", "{\"confirm\": \"yes\"}"},
                                                                          {"/api/end", ""},
                                                                          {"/api/pause", "{}"},
                                                                          {"/api/pause", "{\"pause\": 1}"},
                                                                          {"/api/pause", "[true]"},
                                                                          {"/api/skip", "{"},
                                                                          {"/api/skip", "\"skip\""}})
  {
    reply = post(bad.first, bad.second);
    EXPECT_EQ(400, reply.status) << bad.first << " " << bad.second;
    EXPECT_EQ(false, json::parse(reply.body, nullptr, false).value("ok", true)) << reply.body;
  }
  EXPECT_EQ(4u, coach.calls().size());

  // A refusal carries the program's reason to the page.
  coach.answer({false, "nothing to skip during the greeting", 0});
  reply = post("/api/skip", "{}");
  EXPECT_EQ(409, reply.status);
  EXPECT_EQ((json{{"ok", false}, {"answered", true}, {"message", "nothing to skip during the greeting"}}),
            json::parse(reply.body));
}

TEST(ConsoleHttp, StaticFilesOnlyFromThePagesFolder)
{
  kinora_test::Harness harness(false);
  Console console;
  ASSERT_GT(console.port, 0);
  const int port = console.port;
  const std::string host = console.hostPort();

  // The page's own files, and beside them the 3D view's libraries and the robot's model.
  for (const char* file :
       {"/", "/index.html", "/console.js", "/robot_view.js", "/console.css", "/lib/three/three.module.js",
        "/lib/three/three.core.js", "/lib/three-controls/OrbitControls.js", "/lib/urdf-loader/URDFLoader.js",
        "/lib/urdf-loader/URDFClasses.js", "/robot/nao.urdf"})
    EXPECT_EQ(200, rawStatus(port, get(file, host))) << file;
  EXPECT_EQ("text/javascript; charset=utf-8",
            request(port, "GET", "/lib/three/three.module.js").header("Content-Type"));
  EXPECT_NE(std::string::npos, request(port, "GET", "/robot/nao.urdf").body.find("<joint name=\"LShoulderPitch\""));
  const auto script = request(port, "GET", "/console.js");
  EXPECT_EQ("text/javascript; charset=utf-8", script.header("Content-Type"));
  EXPECT_NE(std::string::npos,
            request(port, "GET", "/").header("Content-Security-Policy").find("frame-ancestors 'none'"));

  // package.xml and CMakeLists.txt lie one folder above the page's.
  for (const char* target : {"/../package.xml", "/..%2fpackage.xml", "/%2e%2e/package.xml", "/%2E%2E/CMakeLists.txt",
                             "/.%2e/package.xml", "/%2e%2e%2fpackage.xml", "/www/../../package.xml", "/..\\package.xml",
                             "/%5c..%5cpackage.xml", "//etc/passwd", "/../../../../etc/passwd", "/./index.html",
                             "/index.html/", "/.hidden", "/missing.js", "/%00", "/index.html%00.js",
                             // Beside the side folders: three's and the loader's package.json, the model's package.
                             "/lib/three/../package.json", "/lib/three/%2e%2e/package.json",
                             "/lib/urdf-loader/../package.json", "/lib/three-controls/../../../package.json",
                             "/robot/../package.xml", "/lib/package.json", "/robot/", "/lib/three"})
    EXPECT_EQ(404, rawStatus(port, get(target, host))) << target;
  EXPECT_EQ(404, rawStatus(port, "GET http://evil.example/../package.xml HTTP/1.1\r\nHost: " + host + "\r\n\r\n"));
  EXPECT_EQ(200, request(port, "GET", "/api/status").status);
}

TEST(ConsoleHttp, MalformedAndOversizedRequests)
{
  kinora_test::Harness harness(false);
  FakeCoach coach;
  Console console;
  ASSERT_GT(console.port, 0);
  const int port = console.port;
  const std::string host = "Host: " + console.hostPort() + "\r\n";
  const std::string origin = "Origin: " + console.origin() + "\r\n";
  const std::string post = "POST /api/skip HTTP/1.1\r\n" + host + origin;

  EXPECT_EQ(400, rawStatus(port, "GARBAGE\r\n\r\n"));
  EXPECT_EQ(400, rawStatus(port, std::string("\x00\x01\x02\xff\r\n\r\n", 8)));
  EXPECT_EQ(400, rawStatus(port, "BREW /api/status HTTP/1.1\r\n" + host + "\r\n"));
  EXPECT_EQ(400, rawStatus(port, "GET /api/status HTTP/1.1\r\n\r\n")) << "no Host";
  EXPECT_EQ(400, rawStatus(port, "GET /api/status HTTP/1.1\r\n" + host + host + "\r\n")) << "two Hosts";
  EXPECT_EQ(414, rawStatus(port, "GET /" + std::string(9000, 'a') + " HTTP/1.1\r\n" + host + "\r\n"));
  EXPECT_EQ(400, rawStatus(port, "GET / HTTP/1.1\r\n" + host + "X-Big: " + std::string(9000, 'a') + "\r\n\r\n"));
  EXPECT_EQ(400, rawStatus(port, post + "Content-Length: abc\r\n\r\n"));
  EXPECT_EQ(400, rawStatus(port, post + "Content-Length: -5\r\n\r\n"));
  EXPECT_EQ(400, rawStatus(port, post + "Content-Length: 2\r\nContent-Length: 2\r\n\r\n{}"));
  // Too long: refused on the length alone, before any of it is read.
  EXPECT_EQ(413, rawStatus(port, post + "Content-Length: 1025\r\n\r\n"));
  EXPECT_EQ(413, rawStatus(port, post + "Content-Length: 99999999999999999999\r\n\r\n"));
  EXPECT_EQ(413, rawStatus(port, post + "Content-Length: 1025\r\n\r\n" + std::string(1025, ' ')));
  EXPECT_EQ(411, rawStatus(port, post + "Transfer-Encoding: chunked\r\n\r\n800\r\n" + std::string(2048, 'a') +
                                     "\r\n0\r\n\r\n"));
  const auto big = request(port, "POST", "/api/skip", originOf(console), "{\"x\": \"" + std::string(2000, 'a') + "\"}");
  EXPECT_EQ(413, big.status);
  EXPECT_TRUE(coach.calls().empty()) << "a refused request reached the program";

  // A body at the limit is still read.
  const std::string padded = "{\"pad\": \"" + std::string(1024 - 11, 'a') + "\"}";
  ASSERT_EQ(1024u, padded.size());
  EXPECT_EQ(200, request(port, "POST", "/api/skip", originOf(console), padded).status);
  EXPECT_EQ(std::vector<std::string>{"skip"}, coach.calls());

  EXPECT_TRUE(console.process->running());
  EXPECT_EQ(200, request(port, "GET", "/api/status").status);
}

TEST(ConsoleHttp, ProgramThatDoesNotAnswer)
{
  kinora_test::Harness harness(false);
  Console console;
  ASSERT_GT(console.port, 0);
  const int port = console.port;

  // Nothing offers the controls.
  auto reply = request(port, "POST", "/api/skip", originOf(console), "{}");
  EXPECT_EQ(503, reply.status);
  EXPECT_EQ("The coaching program is not running.", json::parse(reply.body)["message"]);
  // At once, not after the call's 2 s deadline: nothing was there to call.
  EXPECT_LT(reply.seconds, 2.0);

  // A program that takes the call and does not answer for 4 s.
  FakeCoach coach;
  coach.answer({true, "too late", 4.0});
  auto hung = std::async(std::launch::async,
                         [&] { return request(port, "POST", "/api/pause", originOf(console), "{\"pause\": true}"); });
  // The call is in the program, which holds it.
  ASSERT_TRUE(waitWall([&] { return !coach.calls().empty(); }, 10));
  const auto status = request(port, "GET", "/api/status");
  EXPECT_EQ(200, status.status);
  // Answered while the call still waits out its 2 s deadline, however slow the machine.
  EXPECT_EQ(std::future_status::timeout, hung.wait_for(std::chrono::seconds(0)))
      << "the console stopped serving while a call hung";
  reply = hung.get();
  // Sent, not confirmed: it may yet be carried out, and the page says so.
  EXPECT_EQ(202, reply.status);
  EXPECT_EQ(true, json::parse(reply.body)["pending"]);
  EXPECT_EQ(
      "Sent to the coaching program, which has not confirmed it yet (no answer within 2 s). If the robot goes "
      "on moving, stop it on the robot and press Release.",
      json::parse(reply.body)["message"]);
  EXPECT_GE(reply.seconds, 1.9);
  EXPECT_LT(reply.seconds, 4.0) << "the console waited for the program's answer, not its own deadline";
  EXPECT_EQ(std::vector<std::string>{"pause"}, coach.calls());

  // The next call is answered while the first still hangs in the program.
  coach.answer({true, "skipped", 0});
  reply = request(port, "POST", "/api/skip", originOf(console), "{}");
  EXPECT_EQ(200, reply.status);
  EXPECT_EQ("skipped", json::parse(reply.body)["message"]);
}

TEST(ConsoleHttp, LiveUpdates)
{
  kinora_test::Harness harness(false);
  std::unique_ptr<FakeCoach> coach(new FakeCoach);
  Console console;
  ASSERT_GT(console.port, 0);
  EventStream events(console.port, "/events");
  const auto statusWith = [](const std::string& text)
  {
    return [text](const EventStream::Event& e) { return e.type == "status" && e.data.find(text) != std::string::npos; };
  };
  ASSERT_GE(events.waitFor(statusWith("\"coach\":\"waiting\""), 5), 0);
  ASSERT_TRUE(waitWall(
      [&] { return coach->statusPublisher().getNumSubscribers() > 0 && coach->rowPublisher().getNumSubscribers() > 0; },
      10));

  // A status reaches the page as it comes, not with the once-a-second repeat:
  // sent just after a repeat, it would wait a whole second for the next one.
  // Half of that is the bound, far beyond a loaded machine's delays.
  const std::size_t repeated = events.events().size();
  ASSERT_GE(events.waitFor(statusWith("\"coach\":\"waiting\""), 10, repeated), 0);
  const std::size_t before = events.events().size();
  const double published = events.now();
  coach->publish(console_test::playingStatus());
  const int shown = events.waitFor(statusWith("Exercise 3 of 9: Arms to the side — 45 %"), 10, before);
  ASSERT_GE(shown, 0);
  EXPECT_LT(events.events()[shown].at - published, 0.5);
  const json view = json::parse(events.events()[shown].data);
  EXPECT_EQ("running", view["coach"]);
  for (const auto& peer : view["peers"])
    EXPECT_EQ(true, peer["connected"]) << peer["name"];

  // And again at least once a second while nothing changes.
  const double quiet = events.now();
  ros::WallDuration(3.5).sleep();
  int repeats = 0;
  for (const auto& e : events.events())
    repeats += e.type == "status" && e.at > quiet;
  EXPECT_GE(repeats, 2);

  // Joint rows at 200 a second: the page gets at most 25 poses a second, the last one exactly.
  std_msgs::Float32MultiArray row;
  const std::size_t posesBefore = events.events().size();
  const double firstRow = events.now();
  for (int k = 0; k < 200; ++k)
  {
    row.data.assign(24, 0.0f);
    row.data[0] = 1.0f;
    for (int joint = 0; joint < 22; ++joint)
      row.data[1 + joint] = 0.001f * k + 0.01f * joint;
    row.data[23] = 0.005f;
    coach->rowPublisher().publish(row);
    ros::WallDuration(0.005).sleep();
  }
  const std::string lastPose = json(std::vector<float>(row.data.begin() + 1, row.data.end() - 1)).dump();
  const int lastShown = events.waitFor([&](const EventStream::Event& e)
                                       { return e.type == "pose" && json::parse(e.data) == json::parse(lastPose); },
                                       5, posesBefore);
  ASSERT_GE(lastShown, 0) << "the last row never reached the page";
  std::vector<EventStream::Event> poses;
  for (std::size_t k = posesBefore; k <= static_cast<std::size_t>(lastShown); ++k)
    if (events.events()[k].type == "pose")
      poses.push_back(events.events()[k]);
  // The console sends a pose at most every 40 ms, all of them after the
  // first row and before the last one arrived here.
  EXPECT_LE(poses.size(), static_cast<std::size_t>(25 * (poses.back().at - firstRow) + 1)) << "over 25 a second";
  // The rows came over a second at least: a console that held the pose back
  // to its once-a-second status would send two or fewer.
  EXPECT_GE(poses.size(), 5u);
  const json last = json::parse(poses.back().data);
  ASSERT_EQ(22u, last.size());
  for (int joint = 0; joint < 22; ++joint)
    EXPECT_FLOAT_EQ(0.001f * 199 + 0.01f * joint, last[joint].get<float>()) << joint;

  // The program goes away: the page hears so (within a couple of seconds; the
  // deadline only ends the wait).
  const std::size_t beforeGone = events.events().size();
  coach.reset();
  EXPECT_GE(events.waitFor(statusWith("\"coach\":\"gone\""), 10, beforeGone), 0);
}
