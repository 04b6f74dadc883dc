// The launcher with the real node on a private master: the command line it
// builds, a node that refuses to start (its error lines word for word, no
// session kept), Start refused while a node runs, the node in a session of
// its own, and a node killed seen through its keeper's exit file.
#include "clinic_api_fixture.h"
#include "ros_harness.h"

#include "nao_kinora_console/clinic/clinic_follower.h"

#include <nao_kinora_msgs/SessionStatus.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include <signal.h>

#include <regex>

namespace
{
using namespace clinic_test;
using kinora_test::readFile;

const double kWall = 30;  // seconds a node may take to start or end on a loaded machine

struct CommandCase
{
  const char* name;
  LaunchPlan plan;
  std::vector<std::string> argv;
};

const CommandCase kCommands[] = {
    {"plain",
     {{"a.txt", "b.txt"}, "/lib/", "/s/1.jsonl", 1, 1.0},
     {"/bin/node", "2", "a.txt", "b.txt", "_recording_dir:=/lib/", "_session_log:=/s/1.jsonl", "_joint_limits:=true",
      "_first_recording:=1", "_speed:=1", "_cues:="}},
    {"a recording twice, resumed at 3",
     {{"a.txt", "b.txt", "a.txt"}, "/lib/", "/s/2.jsonl", 3, 1.0},
     {"/bin/node", "3", "a.txt", "b.txt", "a.txt", "_recording_dir:=/lib/", "_session_log:=/s/2.jsonl",
      "_joint_limits:=true", "_first_recording:=3", "_speed:=1", "_cues:="}},
    {"slower",
     {{"a.txt"}, "/lib/", "/s/3.jsonl", 1, 0.5},
     {"/bin/node", "1", "a.txt", "_recording_dir:=/lib/", "_session_log:=/s/3.jsonl", "_joint_limits:=true",
      "_first_recording:=1", "_speed:=0.5", "_cues:="}},
    {"faster and resumed",
     {{"a.txt", "c.txt"}, "/lib/", "/s/4.jsonl", 2, 1.25},
     {"/bin/node", "2", "a.txt", "c.txt", "_recording_dir:=/lib/", "_session_log:=/s/4.jsonl", "_joint_limits:=true",
      "_first_recording:=2", "_speed:=1.25", "_cues:="}},
    {"with each one's own cues",
     {{"a.txt", "b.txt"}, "/lib/", "/s/5.jsonl", 1, 1.0, R"([{},{"introduction":[{"cue":"x.wav","pause":5}]}])"},
     {"/bin/node", "2", "a.txt", "b.txt", "_recording_dir:=/lib/", "_session_log:=/s/5.jsonl", "_joint_limits:=true",
      "_first_recording:=1", "_speed:=1", R"(_cues:=[{},{"introduction":[{"cue":"x.wav","pause":5}]}])"}},
};

TEST(SessionLauncher, CommandLineAsTheNodeReadsIt)
{
  for (const CommandCase& c : kCommands)
    EXPECT_EQ(c.argv, nodeCommandLine("/bin/node", c.plan)) << c.name;
}

// The clinic's doc says the command line the console gives: each parameter
// of it, and the session's files as they are named.
TEST(SessionLauncher, TheDocSaysTheCommandLineAndFilesAsTheyAre)
{
  std::ifstream in(KINORA_CLINIC_DOC);
  const std::string doc((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(doc.empty());
  for (const std::string& arg : nodeCommandLine("/bin/node", kCommands[0].plan))
    if (arg.compare(0, 1, "_") == 0)
      EXPECT_NE(std::string::npos, doc.find(arg.substr(0, arg.find(":=") + 2))) << arg;
  EXPECT_EQ(std::string::npos, doc.find("only when")) << "a parameter given only at times";
  for (const char* file : {"KEY.exit", "KEY.err", "KEY.pid"})
    EXPECT_NE(std::string::npos, doc.find(file)) << file;
  EXPECT_EQ(std::string::npos, doc.find("ID.exit"));
}

// A line of rosconsole without its stamp ("[ERROR] [12.5]: text" ->
// "[ERROR]: text", as the harness's format has it) and its colour codes.
std::string unstamped(const std::string& line)
{
  std::string plain = std::regex_replace(line, std::regex("\x1b\\[[0-9;]*m"), "");
  return std::regex_replace(plain, std::regex("^(\\[[A-Z]+\\]) \\[[0-9.]+\\]:"), "$1:");
}

std::vector<std::string> lines(const std::string& text)
{
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);)
    out.push_back(unstamped(l));
  return out;
}

TEST(SessionLauncher, NodeThatRefusesShowsItsWordsAndNothingIsKept)
{
  kinora_test::Harness h(false);
  ApiRig rig(KINORA_NODE);
  ClinicFollower follower(*rig.store, *rig.launcher, *rig.api, nullptr, nullptr);
  const int64_t patient = rig.store->addPatient("P-0001", "").value;
  const std::string log = rig.dir.path() + "sessions/r.jsonl";
  const int64_t session = rig.store->beginSession({patient, 0, 1, log}).value;
  const std::string key = sessionFileKey(log);
  const LaunchPlan plan{{"a.txt", "gone.txt"}, rig.library.folder(), log, 1, 1.0};
  ASSERT_EQ("", rig.launcher->launch(sessionFileKey(log), plan));
  ASSERT_TRUE(h.waitWall([&] { return rig.launcher->exitOf(key).known; }, kWall));
  EXPECT_EQ(1, rig.launcher->exitOf(key).code);
  // The keeper writes the exit file once the node has ended: its error file is whole.
  follower.round();

  // The node run by hand with the same command line says the same.
  const std::vector<std::string> argv = nodeCommandLine(KINORA_NODE, plan);
  auto byHand = h.start(KINORA_NODE, std::vector<std::string>(argv.begin() + 1, argv.end()));
  ASSERT_TRUE(h.waitWall([&] { return !byHand->running(); }, kWall));
  const std::vector<std::string> expected = lines(byHand->err());
  ASSERT_EQ(2u, expected.size()) << byHand->err();
  EXPECT_EQ("[ERROR]: " + rig.library.folder() + "gone.txt: cannot be opened", expected[0]);
  EXPECT_EQ("[ERROR]: 1 of 2 recordings cannot be played; the session does not start", expected[1]);
  const nlohmann::json refused = rig.ask("GET", "/now").body["refused"];
  EXPECT_EQ(patient, refused["patient"]);
  std::vector<std::string> shown;
  for (const auto& l : refused["lines"])
    shown.push_back(unstamped(l.get<std::string>()));
  EXPECT_EQ(expected, shown);
  EXPECT_TRUE(rig.store->sessions(patient).value.empty());
}

TEST(SessionLauncher, OneSessionAtATimeAndAKilledNodeIsInterrupted)
{
  kinora_test::Harness h(false);
  ros::NodeHandle nh;
  const ros::Subscriber status = nh.subscribe<nao_kinora_msgs::SessionStatus>(
      "/nao_kinora/status", 1,
      boost::function<void(const nao_kinora_msgs::SessionStatus::ConstPtr&)>([](const auto&) {}));
  // As the console asks: a status published by a program that answers (a
  // killed one stays listed as a publisher).
  ApiRig rig(KINORA_NODE, [&status]
             { return status.getNumPublishers() > 0 && ros::service::exists("/nao_kinora/pause_playback", false); });
  ClinicFollower follower(*rig.store, *rig.launcher, *rig.api, nullptr, nullptr);
  const int64_t patient = rig.store->addPatient("P-0002", "").value;
  const int64_t plan = rig.store->savePlan(patient, "w", 0.5, {"a.txt", "b.txt"}).value;
  const std::string start = "/plans/" + std::to_string(plan) + "/start";

  const ApiReply first = rig.ask("POST", start, "{}");
  ASSERT_EQ(201, first.status) << first.body.dump();
  const int64_t session = first.body["session"];
  const std::string key = sessionFileKey(rig.store->sessionLog(session).value);
  // The node outlives a failed assertion by design, and its keeper, which
  // holds this program's output open, with it: ctest would wait for them
  // until its timeout (a failure at the pid hung the test 884 s).
  const struct NodeReaper
  {
    ApiRig& rig;
    std::string key;
    ~NodeReaper()
    {
      const pid_t pid = rig.launcher->nodePid(key);
      if (pid > 0 && readFile("/proc/" + std::to_string(pid) + "/cmdline").find(KINORA_NODE) == 0)
        kill(pid, SIGKILL);
    }
  } reaper{rig, key};
  // Refused at once, before the node is there to be seen: the keeper is alive.
  EXPECT_EQ(409, rig.ask("POST", start, "{}").status);
  // The node waits for its audio player, its status published.
  ASSERT_TRUE(h.waitWall([&] { return status.getNumPublishers() > 0; }, kWall));
  // The keeper writes the node's pid after its fork, while the node starts:
  // the node may publish first.
  pid_t node = 0;
  ASSERT_TRUE(h.waitWall(
      [&]
      {
        node = rig.launcher->nodePid(key);
        return node > 0 && readFile("/proc/" + std::to_string(node) + "/cmdline").find(KINORA_NODE) == 0;
      },
      kWall));
  EXPECT_EQ(node, getsid(node));
  EXPECT_EQ(node, getpgid(node));
  std::string cmdline = readFile("/proc/" + std::to_string(node) + "/cmdline");
  std::replace(cmdline.begin(), cmdline.end(), '\0', ' ');
  const std::string log = rig.store->sessionLog(session).value;
  std::string expected;
  for (const std::string& arg : nodeCommandLine(KINORA_NODE, {{"a.txt", "b.txt"},
                                                              rig.library.folder(),
                                                              log,
                                                              1,
                                                              0.5,
                                                              R"([{"feedback":[],"introduction":[]},)"
                                                              R"({"feedback":[],"introduction":[]}])"}))
    expected += arg + " ";
  EXPECT_EQ(expected, cmdline);
  const ApiReply second = rig.ask("POST", start, "{}");
  EXPECT_EQ(409, second.status);
  EXPECT_EQ("A session is running on the robot: end it before starting another.", second.body["message"]);
  EXPECT_EQ(1u, rig.store->sessions(patient).value.size());

  // Killed: its keeper tells, and the session is interrupted at exercise 1.
  ASSERT_EQ(0, kill(node, SIGKILL));
  ASSERT_TRUE(h.waitWall([&] { return rig.launcher->exitOf(key).known; }, kWall));
  EXPECT_EQ(SIGKILL, rig.launcher->exitOf(key).signal);
  follower.round();
  const SessionSummary s = rig.store->session(session).value;
  EXPECT_EQ("interrupted", s.outcome);
  EXPECT_EQ(1, s.resumeAt);
  ASSERT_TRUE(h.waitWall([&] { return !rig.launcher->busy(); }, kWall));
}
}  // namespace
