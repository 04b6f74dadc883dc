// Shutdown in every state the node can wait in: Ctrl-C or a shutdown request
// ends it within a second with status 0, and nothing is sent after it.
#include "run_script.h"

#include <ros/network.h>
#include <xmlrpcpp/XmlRpcClient.h>

#include <gtest/gtest.h>

#include <sstream>
#include <tuple>

using kinora_test::Harness;
using kinora_test::Process;
using kinora_test::TempDir;
using namespace run_script;

namespace
{
const double kMaxSim = 120;
const double kStartUpSim = 100000;  // bounded by runUntil's wall deadline instead
const double kFineTick = 0.01;
const double kExitWallSeconds = 10.0;  // for a program that ends on its own
const double kStillWallSeconds = 0.5;  // to see that nothing more happens

enum class Waiting
{
  kAudioPlayer,  // before the greeting
  kGreetingPause,
  kMotionExecutor,    // before a recording's start signal
  kAudioPlayerAgain,  // after the start signal, before the opening cue
  kOpeningCuePause,
  kRowPause,
  kTrackingNode,
};

const char* const kWaitingNames[] = {
    "AudioPlayerWait", "GreetingPause", "MotionExecutorWait", "AudioPlayerWaitBeforeRecording",
    "OpeningCuePause", "RowPause",      "TrackingWait"};

enum class Stop
{
  kInterrupt,        // Ctrl-C
  kTerminate,        // SIGTERM, as a service manager or `kill` sends it
  kShutdownRequest,  // rosnode kill
};

const char* const kStopNames[] = {"_Interrupt", "_Terminate", "_Request"};

std::size_t rowsSent(const Harness& h)
{
  return h.count("jointAngleArray");
}

// What `rosnode kill` does: the shutdown call of the node's own XML-RPC server.
bool requestShutdown(const std::string& node)
{
  XmlRpc::XmlRpcValue args, result, uri;
  args[0] = ros::this_node::getName();
  args[1] = node;
  std::string host;
  uint32_t port = 0;
  if (!ros::master::execute("lookupNode", args, result, uri, true) ||
      !ros::network::splitURI(static_cast<std::string>(uri), host, port))
    return false;
  XmlRpc::XmlRpcClient client(host.c_str(), port, "/");
  XmlRpc::XmlRpcValue params, reply;
  params[0] = ros::this_node::getName();
  params[1] = "the test stops the node";
  const bool called = client.execute("shutdown", params, reply);
  client.close();
  return called;
}

// Bytes a process has read so far (rchar in /proc/PID/io), 0 once it has gone.
std::size_t bytesRead(pid_t pid)
{
  std::istringstream io(kinora_test::readFile("/proc/" + std::to_string(pid) + "/io"));
  std::string name;
  std::size_t value = 0;
  while (io >> name >> value)
    if (name == "rchar:")
      return value;
  return 0;
}

// Rows sent by the time the node waits there: recordings "a.txt" has three.
std::size_t rowsBefore(Waiting where)
{
  return where == Waiting::kRowPause ? 1 : where == Waiting::kTrackingNode ? 3 : 0;
}

// Brings the node (count 2) to where it waits, with the clock held there.
// Returns the node, or null after a failed assertion.
std::unique_ptr<Process> bringTo(Waiting where, Harness& h, TempDir& dir, std::unique_ptr<Process>& audioPlayer)
{
  std::vector<std::string> recorded{"jointAngleArray"};
  if (where != Waiting::kAudioPlayer && where != Waiting::kAudioPlayerAgain)
    recorded.push_back("talkerfilename");
  if (where != Waiting::kMotionExecutor)
    recorded.push_back("motionStartStop");
  if (where == Waiting::kAudioPlayerAgain)
    audioPlayer.reset(new Process({"rostopic", "echo", "talkerfilename"}, {"PYTHONUNBUFFERED=1"}));
  std::unique_ptr<Process> node = startRun(
      h, dir.path(), "2", {makeRecording("a.txt", 1, 3, 0.5f, {}), makeRecording("b.txt", 2, 3, 0.5f, {})}, recorded);

  auto run = [&](const std::function<bool()>& cond, double tick = kCoarseTick, double maxSim = kMaxSim)
  {
    EXPECT_TRUE(runUntil(h, tick, cond, maxSim)) << node->err();
    return !::testing::Test::HasFailure();
  };
  bool reached = true;
  switch (where)
  {
    case Waiting::kAudioPlayer:
      h.advance(ros::Duration(1));
      break;
    case Waiting::kGreetingPause:
      reached = run([&] { return cueSent(h, "merhaba.wav"); });
      h.advance(ros::Duration(1));
      break;
    case Waiting::kMotionExecutor:
      reached = run([&] { return cueSent(h, "aciklama.wav"); });
      h.advance(ros::Duration(7));
      break;
    case Waiting::kAudioPlayerAgain:
      // The clock may run on while the audio player, a Python program, starts
      // up: the node only waits for it. The steps are small, so that the
      // player is stopped well within the pauses after the greeting cues.
      reached = run([&] { return kinora_test::contains(audioPlayer->out(), "merhaba.wav"); }, kFineTick, kStartUpSim) &&
                run([&] { return kinora_test::contains(audioPlayer->out(), "aciklama.wav"); }, kFineTick);
      audioPlayer->terminate();
      reached = reached && audioPlayer->waitExit(kExitWallSeconds) && run([&] { return signals(h, 0) == 1; });
      h.advance(ros::Duration(10));
      break;
    case Waiting::kOpeningCuePause:
      reached = run([&] { return cueSent(h, "ellerbeldesol.wav"); });
      h.advance(ros::Duration(1));
      break;
    case Waiting::kRowPause:
      reached = run([&] { return rowsSent(h) == 1; });
      h.advance(ros::Duration(1));
      break;
    case Waiting::kTrackingNode:
      reached = run([&] { return signals(h, 1) == 1; });
      break;
  }
  EXPECT_TRUE(reached) << node->err();
  EXPECT_EQ(rowsBefore(where), rowsSent(h));
  return reached ? std::move(node) : nullptr;
}

using ShutdownCase = std::tuple<Waiting, Stop>;

// Names the case in the test list (and so in ctest) instead of its bytes;
// found by argument-dependent lookup, so it lives beside Waiting.
std::string caseName(const ShutdownCase& c)
{
  return std::string(kWaitingNames[static_cast<int>(std::get<0>(c))]) + kStopNames[static_cast<int>(std::get<1>(c))];
}

void PrintTo(const ShutdownCase& c, std::ostream* os)
{
  *os << caseName(c);
}
}  // namespace

class ShutdownInEveryState : public ::testing::TestWithParam<ShutdownCase>
{
};

// With the clock standing still, and no closing cue.
TEST_P(ShutdownInEveryState, EndsWithinASecond)
{
  Harness h;
  TempDir dir;
  std::unique_ptr<Process> audioPlayer;
  std::unique_ptr<Process> node = bringTo(std::get<0>(GetParam()), h, dir, audioPlayer);
  ASSERT_TRUE(node);
  const std::size_t sent = h.events().size();

  switch (std::get<1>(GetParam()))
  {
    case Stop::kInterrupt:
      node->interrupt();
      break;
    case Stop::kTerminate:
      node->terminate();
      break;
    case Stop::kShutdownRequest:
      ASSERT_TRUE(requestShutdown("/nao_kinora"));
  }
  EXPECT_TRUE(endsStopped(*node));
  ros::WallDuration(kStillWallSeconds).sleep();
  EXPECT_EQ(sent, h.events().size());
  EXPECT_FALSE(cueSent(h, "bitis.wav"));
}

INSTANTIATE_TEST_SUITE_P(
    States, ShutdownInEveryState,
    ::testing::Combine(::testing::Values(Waiting::kAudioPlayer, Waiting::kGreetingPause, Waiting::kMotionExecutor,
                                         Waiting::kAudioPlayerAgain, Waiting::kOpeningCuePause, Waiting::kRowPause,
                                         Waiting::kTrackingNode),
                       ::testing::Values(Stop::kInterrupt, Stop::kTerminate, Stop::kShutdownRequest)),
    [](const ::testing::TestParamInfo<ShutdownCase>& info) { return caseName(info.param); });

// In wall time a plain sleep does not look at shutdown: Ctrl-C in the
// subscriber wait and in the greeting's 5 s pause still ends the node at once.
TEST(ShutdownInWallTime, AudioPlayerWait)
{
  Harness h(false);
  TempDir dir;
  auto node = startRun(h, dir.path(), "1", {makeRecording("a.txt", 1, 2, 0.5f, {})}, {"motionStartStop"});

  EXPECT_TRUE(stopsOnInterrupt(*node));
  EXPECT_TRUE(h.events().empty());
}

TEST(ShutdownInWallTime, GreetingPause)
{
  Harness h(false);
  TempDir dir;
  auto node = startRun(h, dir.path(), "1", {makeRecording("a.txt", 1, 2, 0.5f, {})}, {"talkerfilename"});
  ASSERT_TRUE(h.waitWall([&] { return cueSent(h, "merhaba.wav"); }, kExitWallSeconds)) << node->err();

  EXPECT_TRUE(stopsOnInterrupt(*node));
  EXPECT_EQ(1u, h.events().size());
}

// Before the node object exists roscpp has no signal handler: Ctrl-C and
// SIGTERM while the node checks long recordings, or while ros::init waits for
// a master that is not up, still end it within a second with status 0 and
// nothing advertised.
class ShutdownDuringStartUp : public ::testing::TestWithParam<Stop>
{
protected:
  void stop(Process& node)
  {
    if (GetParam() == Stop::kInterrupt)
      node.interrupt();
    else
      node.terminate();
  }
};

TEST_P(ShutdownDuringStartUp, WhileCheckingRecordings)
{
  Harness h(false);
  TempDir dir;
  // Twenty checks of 150 000 rows take seconds; the node is stopped in the first.
  writeRecordings(dir.path(), {makeRecording("long.txt", 1, 150000, 0.04f, {})});
  std::vector<std::string> args{"20"};
  args.insert(args.end(), 20, "long.txt");
  auto node = startNode(h, dir.path(), args);
  // Stopped once it has read the recording whole at least once: in its checks,
  // with nineteen to go, however fast or slow the machine.
  const std::size_t size = kinora_test::readFile(dir.path() + "long.txt").size();
  ASSERT_TRUE(h.waitWall([&] { return bytesRead(node->pid()) > size || !node->running(); }, kExitWallSeconds));
  ASSERT_TRUE(node->running()) << node->err();

  stop(*node);
  EXPECT_TRUE(endsStopped(*node));
  EXPECT_EQ("", node->out());
  EXPECT_FALSE(kinora_test::registeredAnything("/nao_kinora"));
}

TEST_P(ShutdownDuringStartUp, WhileTheMasterIsNotUp)
{
  TempDir dir;
  writeRecordings(dir.path(), {makeRecording("a.txt", 1, 2, 0.5f, {})});
  // Nothing listens on port 1: ros::init retries setting _recording_dir for ever.
  Process node({KINORA_NODE, "1", "a.txt", "_recording_dir:=" + dir.path()},
               {"ROS_MASTER_URI=http://127.0.0.1:1", "ROS_HOSTNAME=localhost"});
  ASSERT_TRUE(kinora_test::waitWallFor([&] { return kinora_test::contains(node.err(), "master"); }, kExitWallSeconds))
      << node.err();

  stop(node);
  EXPECT_TRUE(endsStopped(node));
}

INSTANTIATE_TEST_SUITE_P(Signals, ShutdownDuringStartUp, ::testing::Values(Stop::kInterrupt, Stop::kTerminate),
                         [](const ::testing::TestParamInfo<Stop>& info)
                         { return std::string(kStopNames[static_cast<int>(info.param)] + 1); });
