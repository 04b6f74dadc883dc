// The faults the node guards against: a command line or recording that cannot
// be played, a recording that changes under a running session, odd durations,
// shutdown in every state, late "motionfinished" messages, stale feedback
// rows, busy waiting and drifting pacing. Faults that only show in wall time
// are tested in wall time.
#include "recording_files.h"
#include "ros_harness.h"
#include "run_script.h"

#include <ros/network.h>
#include <xmlrpcpp/XmlRpcClient.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

using kinora_test::Harness;
using kinora_test::Process;
using recording_files::TempDir;
using namespace run_script;

namespace
{
const double kMaxSim = 120;
const double kExitWallSeconds = 10.0;      // for a node that ends on its own
const double kShutdownWallSeconds = 1.0;   // for a node asked to stop
const double kStillWallSeconds = 0.5;      // to see that nothing more happens
const int kStoppedStatus = 0;
const int kRefusedStatus = 1;

std::size_t rowsSent(const Harness& h)
{
  return h.count("jointAngleArray");
}

bool contains(const std::string& text, const std::string& part)
{
  return text.find(part) != std::string::npos;
}

std::string readFile(const std::string& path)
{
  std::ifstream in(path.c_str());
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The master logs every registration ("+PUB [/topic] /node uri", "+SUB ...",
// "+SERVICE ..."). ros::init itself only sets the private parameters.
bool nodeRegisteredAnything()
{
  std::istringstream log(readFile(std::string(std::getenv("ROS_LOG_DIR")) + "/master.log"));
  std::string line;
  while (std::getline(log, line))
    if ((contains(line, "+PUB [") || contains(line, "+SUB [") || contains(line, "+SERVICE [")) &&
        contains(line, "] /nao_kinora "))
      return true;
  return false;
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

// utime + stime of a process, in seconds.
double cpuSeconds(pid_t pid)
{
  const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  // The fields after the command name, which is in parentheses and may hold blanks.
  std::istringstream rest(stat.substr(stat.rfind(')') + 2));
  const int kFieldsBeforeUtime = 11;
  std::string skipped;
  for (int k = 0; k < kFieldsBeforeUtime; ++k)
    rest >> skipped;
  unsigned long long utime = 0, stime = 0;
  rest >> utime >> stime;
  return static_cast<double>(utime + stime) / sysconf(_SC_CLK_TCK);
}
}  // namespace

// ---------------------------------------------------------------- command line

struct RefusedCommandLine
{
  const char* name;
  std::vector<std::string> args;
};

// Names the case in the test list (and so in ctest) instead of its bytes.
void PrintTo(const RefusedCommandLine& c, std::ostream* os)
{
  *os << c.name;
}

class CommandLine : public ::testing::TestWithParam<RefusedCommandLine>
{
};

// No count, or fewer file names than the count asks for: usage on standard
// error and status 1, before anything is advertised.
TEST_P(CommandLine, EndsBeforeAdvertising)
{
  Harness h(false);
  TempDir dir;
  const Recording a = makeRecording("a.txt", 1, 2, 0.5f, {});
  const Recording b = makeRecording("b.txt", 2, 2, 0.5f, {});
  writeRecordings(dir.path(), {a, b});
  recordAll(h);
  auto node = startNode(h, dir.path(), GetParam().args);

  ASSERT_TRUE(node->waitExit(kExitWallSeconds));
  EXPECT_EQ(kRefusedStatus, node->exitStatus());
  EXPECT_TRUE(contains(node->err(), "usage")) << node->err();
  EXPECT_EQ("", node->out());
  EXPECT_FALSE(nodeRegisteredAnything());
  EXPECT_TRUE(h.events().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Refused, CommandLine,
    ::testing::Values(RefusedCommandLine{"NoArguments", {}},
                      RefusedCommandLine{"ThreeAskedTwoGiven", {"3", "a.txt", "b.txt"}},
                      RefusedCommandLine{"FractionAskedTwoGivenOne", {"2.5", "a.txt"}}),
    [](const ::testing::TestParamInfo<RefusedCommandLine>& info) { return info.param.name; });

struct IdleCount
{
  const char* name;
  std::vector<std::string> args;
};

void PrintTo(const IdleCount& c, std::ostream* os)
{
  *os << c.name;
}

class IdleCommandLine : public ::testing::TestWithParam<IdleCount>
{
};

// A count that plays no recording (negative, not a number, below 1): a
// warning naming it, the greeting, then the node idles until shut down.
TEST_P(IdleCommandLine, WarnsGreetsAndIdles)
{
  Harness h;
  TempDir dir;
  writeRecordings(dir.path(), {makeRecording("a.txt", 1, 2, 0.5f, {})});
  recordAll(h);
  auto node = startNode(h, dir.path(), GetParam().args);
  ASSERT_TRUE(connectedToAll(h)) << node->err();

  Script s;
  s.greeting();
  s.wait(30000);
  s.act([&] { node->interrupt(); });
  ASSERT_TRUE(follow(h, s)) << node->err();
  ASSERT_TRUE(node->waitExit(kShutdownWallSeconds));
  EXPECT_EQ(kStoppedStatus, node->exitStatus());

  EXPECT_TRUE(ranAsScripted(h, s, {}));
  EXPECT_EQ("", node->out());
  const std::string err = node->err();
  EXPECT_TRUE(contains(err, "WARN") && contains(err, GetParam().args[0])) << err;
}

INSTANTIATE_TEST_SUITE_P(PlaysNone, IdleCommandLine,
                         ::testing::Values(IdleCount{"Negative", {"-2"}}, IdleCount{"NotANumber", {"abc"}},
                                           IdleCount{"BelowOne", {"0.5", "a.txt"}}),
                         [](const ::testing::TestParamInfo<IdleCount>& info) { return info.param.name; });

// ---------------------------------------------------------------- recordings

// Every recording that yields no row is named, and the session does not start.
TEST(Recordings, UnplayableOnesEndTheProgramBeforeAdvertising)
{
  Harness h(false);
  TempDir dir;
  writeRecordings(dir.path(), {makeRecording("good.txt", 1, 2, 0.5f, {})});
  dir.write("empty.txt", "");
  dir.write("bad.txt", "1 2 3\n" + makeRecording("x", 2, 2, 0.5f, {}).text());
  recordAll(h);
  auto node = startNode(h, dir.path(), {"4", "good.txt", "missing.txt", "empty.txt", "bad.txt"});

  ASSERT_TRUE(node->waitExit(kExitWallSeconds));
  EXPECT_EQ(kRefusedStatus, node->exitStatus());
  const std::string err = node->err();
  for (const char* name : {"missing.txt", "empty.txt", "bad.txt"})
    EXPECT_TRUE(contains(err, dir.path() + name)) << name << " not named in:\n" << err;
  EXPECT_EQ("", node->out());
  EXPECT_FALSE(nodeRegisteredAnything());
  EXPECT_TRUE(h.events().empty());
}

// A recording with unplayable lines after its rows: a warning naming the
// file, and the rows before the first bad line are played.
TEST(Recordings, WarningsLetTheRunGoOn)
{
  Harness h;
  TempDir dir;
  const Recording rec = makeRecording("w.txt", 1, 3, 0.5f, {5});
  dir.write(rec.name, rec.text() + "1 2 3\n" + makeRecording("x", 2, 2, 0.5f, {}).text());
  recordAll(h);
  auto node = startNode(h, dir.path(), {"1", rec.name});
  ASSERT_TRUE(connectedToAll(h)) << node->err();

  Script s;
  s.greeting();
  s.play(rec, scheduleFor(2));
  s.cue("bitis.wav");
  ASSERT_TRUE(follow(h, s)) << node->err();
  EXPECT_TRUE(closesAfterPause(h, *node));

  EXPECT_TRUE(ranAsScripted(h, s, {rec}));
  EXPECT_EQ(playedLines(3, {5}), node->out());
  EXPECT_TRUE(contains(node->err(), "WARN") && contains(node->err(), dir.path() + rec.name)) << node->err();
}

// Recordings emptied after start-up are skipped when their turn comes: an
// error names them, and the run goes on with the next recording, or closes
// after the last.
TEST(Recordings, EmptiedDuringTheSessionAreSkipped)
{
  Harness h;
  TempDir dir;
  std::vector<Recording> recs;
  for (int n = 0; n < 4; ++n)
    recs.push_back(makeRecording(std::string(1, 'a' + n) + ".txt", n, 2, 0.5f, {n}));
  auto node = startRun(h, dir.path(), "4", recs);

  Script s;
  s.greeting();
  s.play(recs[0], scheduleFor(2));
  s.act([&] {
    dir.write(recs[1].name, "");
    dir.write(recs[3].name, "");
    ASSERT_TRUE(tell(h, "trackingfinished", 1));
  });
  s.play(recs[2], scheduleFor(4));
  s.act([&] { ASSERT_TRUE(tell(h, "trackingfinished", 2)); });
  s.cue("bitis.wav");
  ASSERT_TRUE(follow(h, s)) << node->err();
  EXPECT_TRUE(closesAfterPause(h, *node));

  EXPECT_TRUE(ranAsScripted(h, s, recs));
  EXPECT_EQ(playedLines(2, {0}) + "Trackingfinished1\n" + playedLines(2, {2}) + "Trackingfinished2\n",
            node->out());
  const std::string err = node->err();
  for (int n : {1, 3})
    EXPECT_TRUE(contains(err, dir.path() + recs[n].name)) << recs[n].name << " not named in:\n" << err;
}

// ---------------------------------------------------------------- durations

// In wall time: a negative duration is no pause (a negative sleep would last
// some 136 years), a duration too large for ros::Duration does not throw, and
// Ctrl-C ends that long pause at once.
TEST(Durations, NegativeAndHugeInWallTime)
{
  Harness h(false);
  TempDir dir;
  Recording rec = makeRecording("odd.txt", 1, 4, 0.5f, {});
  rec.durations = {0.0f, -1.0f, 1e10f, 0.5f};
  writeRecordings(dir.path(), {rec});
  h.record("talkerfilename");
  h.record("motionStartStop");
  h.record("jointAngleArray");
  auto node = startNode(h, dir.path(), {"1", rec.name});

  const double greetingAndCueWallSeconds = 30;
  ASSERT_TRUE(h.waitWall([&] { return rowsSent(h) == 3; }, greetingAndCueWallSeconds)) << node->err();
  const std::vector<kinora_test::Event> rows = h.eventsOn("jointAngleArray");
  const double tolerance = 0.25;
  EXPECT_NEAR(2.0, (rows[1].stamp - rows[0].stamp).toSec(), tolerance);
  EXPECT_LT((rows[2].stamp - rows[1].stamp).toSec(), tolerance) << "the negative duration paused";

  EXPECT_FALSE(h.waitWall([&] { return rowsSent(h) > 3 || !node->running(); }, kStillWallSeconds))
      << "status " << node->exitStatus() << "\n" << node->err();
  node->interrupt();
  ASSERT_TRUE(node->waitExit(kShutdownWallSeconds));
  EXPECT_EQ(kStoppedStatus, node->exitStatus());
  EXPECT_EQ(3u, rowsSent(h));
  EXPECT_EQ("burdayım\nburdayım\nburdayım\n", node->out());
}

// ---------------------------------------------------------------- shutdown

enum class Waiting
{
  kAudioPlayer,          // before the greeting
  kGreetingPause,
  kMotionExecutor,       // before a recording's start signal
  kAudioPlayerAgain,     // after the start signal, before the opening cue
  kOpeningCuePause,
  kRowPause,
  kTrackingNode,
};

enum class Stop
{
  kInterrupt,        // Ctrl-C
  kShutdownRequest,  // rosnode kill
};

struct ShutdownCase
{
  const char* name;
  Waiting where;
  Stop how;
};

// Rows sent by the time the node waits there: recordings "a.txt" has three.
std::size_t rowsBefore(Waiting where)
{
  return where == Waiting::kRowPause ? 1 : where == Waiting::kTrackingNode ? 3 : 0;
}

// Brings the node (count 2) to where it waits, with the clock held there.
// Returns the node, or null after a failed assertion.
std::unique_ptr<Process> bringTo(Waiting where, Harness& h, TempDir& dir, std::unique_ptr<Process>& audioPlayer)
{
  const std::vector<Recording> recs{makeRecording("a.txt", 1, 3, 0.5f, {}), makeRecording("b.txt", 2, 3, 0.5f, {})};
  writeRecordings(dir.path(), recs);
  std::vector<std::string> recorded{"jointAngleArray"};
  if (where != Waiting::kAudioPlayer && where != Waiting::kAudioPlayerAgain)
    recorded.push_back("talkerfilename");
  if (where != Waiting::kMotionExecutor)
    recorded.push_back("motionStartStop");
  for (const std::string& topic : recorded)
    h.record(topic);
  if (where == Waiting::kAudioPlayerAgain)
    audioPlayer.reset(new Process({"rostopic", "echo", "talkerfilename"}, {"PYTHONUNBUFFERED=1"}));
  std::unique_ptr<Process> node = startNode(h, dir.path(), commandLine("2", recs));
  EXPECT_TRUE(connectedTo(h, recorded)) << node->err();

  auto run = [&](const std::function<bool()>& cond) {
    EXPECT_TRUE(runUntil(h, kCoarseTick, cond, kMaxSim)) << node->err();
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
      reached = run([&] { return contains(audioPlayer->out(), "aciklama.wav"); });
      audioPlayer->terminate();
      reached = reached && audioPlayer->waitExit(kExitWallSeconds) &&
                run([&] { return signals(h, 0) == 1; });
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

void PrintTo(const ShutdownCase& c, std::ostream* os)
{
  *os << c.name;
}

class ShutdownInEveryState : public ::testing::TestWithParam<ShutdownCase>
{
};

// Ctrl-C or a shutdown request ends the node within a second, status 0, with
// the clock standing still, and nothing is sent after it.
TEST_P(ShutdownInEveryState, EndsWithinASecond)
{
  Harness h;
  TempDir dir;
  std::unique_ptr<Process> audioPlayer;
  std::unique_ptr<Process> node = bringTo(GetParam().where, h, dir, audioPlayer);
  ASSERT_TRUE(node);
  const std::size_t sent = h.events().size();

  if (GetParam().how == Stop::kInterrupt)
    node->interrupt();
  else
    ASSERT_TRUE(requestShutdown("/nao_kinora"));
  ASSERT_TRUE(node->waitExit(kShutdownWallSeconds)) << node->err();
  EXPECT_EQ(kStoppedStatus, node->exitStatus()) << node->err();
  ros::WallDuration(kStillWallSeconds).sleep();
  EXPECT_EQ(sent, h.events().size());
  EXPECT_FALSE(cueSent(h, "bitis.wav"));
}

INSTANTIATE_TEST_SUITE_P(
    States, ShutdownInEveryState,
    ::testing::Values(ShutdownCase{"AudioPlayerWait_Interrupt", Waiting::kAudioPlayer, Stop::kInterrupt},
                      ShutdownCase{"AudioPlayerWait_Request", Waiting::kAudioPlayer, Stop::kShutdownRequest},
                      ShutdownCase{"GreetingPause_Interrupt", Waiting::kGreetingPause, Stop::kInterrupt},
                      ShutdownCase{"GreetingPause_Request", Waiting::kGreetingPause, Stop::kShutdownRequest},
                      ShutdownCase{"MotionExecutorWait_Interrupt", Waiting::kMotionExecutor, Stop::kInterrupt},
                      ShutdownCase{"MotionExecutorWait_Request", Waiting::kMotionExecutor, Stop::kShutdownRequest},
                      ShutdownCase{"AudioPlayerWaitBeforeRecording_Interrupt", Waiting::kAudioPlayerAgain,
                                   Stop::kInterrupt},
                      ShutdownCase{"AudioPlayerWaitBeforeRecording_Request", Waiting::kAudioPlayerAgain,
                                   Stop::kShutdownRequest},
                      ShutdownCase{"OpeningCuePause_Interrupt", Waiting::kOpeningCuePause, Stop::kInterrupt},
                      ShutdownCase{"OpeningCuePause_Request", Waiting::kOpeningCuePause, Stop::kShutdownRequest},
                      ShutdownCase{"RowPause_Interrupt", Waiting::kRowPause, Stop::kInterrupt},
                      ShutdownCase{"RowPause_Request", Waiting::kRowPause, Stop::kShutdownRequest},
                      ShutdownCase{"TrackingWait_Interrupt", Waiting::kTrackingNode, Stop::kInterrupt},
                      ShutdownCase{"TrackingWait_Request", Waiting::kTrackingNode, Stop::kShutdownRequest}),
    [](const ::testing::TestParamInfo<ShutdownCase>& info) { return info.param.name; });

// In wall time a plain sleep does not look at shutdown: Ctrl-C in the
// subscriber wait and in the greeting's 5 s pause still ends the node at once.
TEST(ShutdownInWallTime, AudioPlayerWait)
{
  Harness h(false);
  TempDir dir;
  writeRecordings(dir.path(), {makeRecording("a.txt", 1, 2, 0.5f, {})});
  h.record("motionStartStop");
  auto node = startNode(h, dir.path(), {"1", "a.txt"});
  ASSERT_TRUE(h.waitForPublisher("motionStartStop"));

  node->interrupt();
  ASSERT_TRUE(node->waitExit(kShutdownWallSeconds));
  EXPECT_EQ(kStoppedStatus, node->exitStatus());
  EXPECT_TRUE(h.events().empty());
}

TEST(ShutdownInWallTime, GreetingPause)
{
  Harness h(false);
  TempDir dir;
  writeRecordings(dir.path(), {makeRecording("a.txt", 1, 2, 0.5f, {})});
  h.record("talkerfilename");
  auto node = startNode(h, dir.path(), {"1", "a.txt"});
  ASSERT_TRUE(h.waitWall([&] { return cueSent(h, "merhaba.wav"); }, kExitWallSeconds)) << node->err();

  node->interrupt();
  ASSERT_TRUE(node->waitExit(kShutdownWallSeconds));
  EXPECT_EQ(kStoppedStatus, node->exitStatus());
  EXPECT_EQ(1u, h.events().size());
}

// ---------------------------------------------------------------- peer messages

// A late "motionfinished" while the node waits for the tracking node writes
// its line and changes nothing: no second report, no recording skipped.
TEST(PeerMessages, MotionfinishedWhileWaitingSkipsNothing)
{
  Harness h;
  TempDir dir;
  const Recording a = makeRecording("a.txt", 1, 2, 0.5f, {1});
  const Recording b = makeRecording("b.txt", 2, 2, 0.5f, {2});
  auto node = startRun(h, dir.path(), "2", {a, b});

  Script s;
  s.greeting();
  s.play(a, scheduleFor(2));
  s.act([&] {
    ASSERT_TRUE(tell(h, "motionfinished", 9));
    EXPECT_TRUE(h.waitWall([&] { return contains(node->out(), "Motionfinished9"); }, kExitWallSeconds));
  });
  s.wait(5000);
  s.act([&] { ASSERT_TRUE(tell(h, "trackingfinished", 2)); });
  s.play(b, scheduleFor(3));
  s.cue("bitis.wav");
  ASSERT_TRUE(follow(h, s)) << node->err();
  EXPECT_TRUE(closesAfterPause(h, *node));

  EXPECT_TRUE(ranAsScripted(h, s, {a, b}));
  EXPECT_EQ(playedLines(2, {1}) + "Motionfinished9\nTrackingfinished2\n" + playedLines(2, {2}), node->out());
}

// A recording ended early leaves its feedback rows behind; the next recording
// must not inherit them (that would shift the cue names and say some twice).
TEST(PeerMessages, EarlyEndLeavesNoFeedbackRows)
{
  Harness h;
  TempDir dir;
  const int rows = 100;  // past the first feedback row, 94
  const Recording a = makeRecording("a.txt", 1, rows, 0.5f, {});
  const Recording b = makeQuickRecording("b.txt", 2, rows, {3}, scheduleFor(3).feedbackRows);
  auto node = startRun(h, dir.path(), "2", {a, b});

  Script s;
  s.greeting();
  s.startRecording(scheduleFor(2));
  s.rows(a, scheduleFor(2), 0, 1);
  s.during([&] { ASSERT_TRUE(tell(h, "motionfinished", 1)); });  // row 1's pause
  s.report(a.reported());
  s.act([&] { ASSERT_TRUE(tell(h, "trackingfinished", 1)); });
  s.play(b, scheduleFor(3));
  s.cue("bitis.wav");
  ASSERT_TRUE(follow(h, s)) << node->err();
  EXPECT_TRUE(closesAfterPause(h, *node));

  EXPECT_TRUE(ranAsScripted(h, s, {a, b}));
}

// ---------------------------------------------------------------- waiting and pacing

enum class Idle
{
  kTrackingWait,
  kNoRecording,
};

std::string idleName(Idle idle)
{
  return idle == Idle::kTrackingWait ? "TrackingWait" : "NoRecording";
}

void PrintTo(Idle idle, std::ostream* os)
{
  *os << idleName(idle);
}

class IdlePasses : public ::testing::TestWithParam<Idle>
{
};

// A waiting pass blocks on the callback queue instead of spinning: the node
// uses a small share of one core while it waits, clock standing still.
TEST_P(IdlePasses, DoNotSpin)
{
  Harness h;
  TempDir dir;
  const bool tracking = GetParam() == Idle::kTrackingWait;
  auto node = startRun(h, dir.path(), tracking ? "2" : "0",
                       tracking ? std::vector<Recording>{makeRecording("a.txt", 1, 2, 0.5f, {}),
                                                         makeRecording("b.txt", 2, 2, 0.5f, {})}
                                : std::vector<Recording>{});
  ASSERT_TRUE(runUntil(
      h, kCoarseTick, [&] { return tracking ? signals(h, 1) == 1 : cueSent(h, "aciklama.wav"); }, kMaxSim));
  if (!tracking)
    h.advance(ros::Duration(5));  // past the greeting's last pause

  const double windowWallSeconds = 1.5;
  const double busiest = 0.2;  // of one core; spinning takes all of it
  const double before = cpuSeconds(node->pid());
  ros::WallDuration(windowWallSeconds).sleep();
  EXPECT_LT(cpuSeconds(node->pid()) - before, busiest * windowWallSeconds);
  ASSERT_TRUE(node->running());
}

INSTANTIATE_TEST_SUITE_P(Waits, IdlePasses, ::testing::Values(Idle::kTrackingWait, Idle::kNoRecording),
                         [](const ::testing::TestParamInfo<Idle>& info) { return idleName(info.param); });

// Rows of 40 ms, the clock in steps: rows 1 and on expected at these times
// after row 0, and the node stopped then.
::testing::AssertionResult pacedAt(double stepSeconds, const std::vector<int>& afterRowZeroMs)
{
  Harness h;
  TempDir dir;
  const int rows = static_cast<int>(afterRowZeroMs.size()) + 1;
  const Recording rec = makeRecording("p.txt", 1, rows, 0.04f, {});
  auto node = startRun(h, dir.path(), "1", {rec});

  Script s;
  s.greeting();
  s.startRecording(scheduleFor(2));
  s.row(rec, 0);
  s.steps(stepSeconds);
  const int rowZeroMs = s.atMs();
  for (int r = 1; r < rows; ++r)
  {
    s.at(rowZeroMs + afterRowZeroMs[r - 1]);
    s.row(rec, r);
  }
  const ::testing::AssertionResult followed = follow(h, s);
  node->interrupt();
  node->waitExit(kShutdownWallSeconds);
  if (!followed)
    return followed;
  return sameRun(describe(h.events(), firstStamp(h), {rec}), s.lines());
}

// Clock steps of 30 ms: each row goes out on the first step at or after its
// deadline, counted from row 0, so a late row does not delay the ones after it.
TEST(Pacing, LatePassesKeepTheSchedule)
{
  const int stepMs = 30;
  std::vector<int> expectedMs;
  for (int k = 1; k <= 12; ++k)
  {
    const int deadlineMs = 2000 + 40 * (k - 1);
    expectedMs.push_back((deadlineMs + stepMs - 1) / stepMs * stepMs);
  }
  EXPECT_TRUE(pacedAt(stepMs / 1000.0, expectedMs));
}

// Clock steps of 100 ms: each pass is more than a row (40 ms) behind, so the
// schedule starts again from each row: one row per step, never a burst.
TEST(Pacing, PassesMoreThanARowBehindRestartTheSchedule)
{
  const int stepMs = 100;
  std::vector<int> expectedMs;
  for (int k = 1; k <= 7; ++k)
    expectedMs.push_back(2000 + stepMs * (k - 1));
  EXPECT_TRUE(pacedAt(stepMs / 1000.0, expectedMs));
}
