// What the node does with a command line or recordings it cannot play: it
// refuses before advertising anything, or warns and greets and then idles,
// or names the bad recording and goes on.
#include "run_script.h"

#include <gtest/gtest.h>

#include <regex>
#include <xmlrpcpp/XmlRpcValue.h>

#include <unistd.h>

#include <cstdlib>
#include <sstream>

using kinora_test::contains;
using kinora_test::Harness;
using kinora_test::Process;
using kinora_test::TempDir;
using namespace run_script;

namespace
{
const double kExitWallSeconds = 10.0;  // for a node that ends on its own
const int kRefusedStatus = 1;
const int kIdleMs = 60000;

// Status 1, nothing on standard output, nothing registered with the master
// and nothing received.
::testing::AssertionResult endedBeforeAdvertising(const Harness& h, Process& node)
{
  if (!node.waitExit(kExitWallSeconds))
    return ::testing::AssertionFailure() << "still running";
  if (node.exitStatus() != kRefusedStatus)
    return ::testing::AssertionFailure() << "exit status " << node.exitStatus() << ", stderr:\n" << node.err();
  if (!node.out().empty())
    return ::testing::AssertionFailure() << "standard output:\n" << node.out();
  if (kinora_test::registeredAnything("/nao_kinora"))
    return ::testing::AssertionFailure() << "registered with the master";
  if (!h.events().empty())
    return ::testing::AssertionFailure() << h.events().size() << " messages received";
  return ::testing::AssertionSuccess();
}
}  // namespace

// ---------------------------------------------------------------- command line

struct CommandLineCase
{
  const char* name;
  std::vector<std::string> args;
};

// Names the case in the test list (and so in ctest) instead of its bytes.
void PrintTo(const CommandLineCase& c, std::ostream* os)
{
  *os << c.name;
}

std::string caseName(const ::testing::TestParamInfo<CommandLineCase>& info)
{
  return info.param.name;
}

// The _name:= parameters of the command line block in the README.
std::vector<std::string> readmeParameters()
{
  const std::string readme = kinora_test::readFile(KINORA_README);
  const std::size_t start = readme.find("\nnao_kinora COUNT FILE...");
  const std::size_t end = readme.find("```", start);
  const std::string block = start == std::string::npos ? "" : readme.substr(start, end - start);
  std::vector<std::string> names;
  const std::regex parameter("_[a-z_]+:=");
  for (auto it = std::sregex_iterator(block.begin(), block.end(), parameter); it != std::sregex_iterator(); ++it)
    names.push_back(it->str());
  return names;
}

class CommandLine : public ::testing::TestWithParam<CommandLineCase>
{
};

// No count, or fewer file names than the count asks for: usage on standard
// error and status 1, before anything is advertised.
TEST_P(CommandLine, EndsBeforeAdvertising)
{
  Harness h(false);
  TempDir dir;
  writeRecordings(dir.path(), {makeRecording("a.txt", 1, 2, 0.5f, {}), makeRecording("b.txt", 2, 2, 0.5f, {})});
  recordAll(h);
  auto node = startNode(h, dir.path(), GetParam().args);

  EXPECT_TRUE(endedBeforeAdvertising(h, *node));
  EXPECT_TRUE(contains(node->err(), "usage")) << node->err();
  // The usage names every parameter of the README's command line.
  const std::vector<std::string> documented = readmeParameters();
  ASSERT_GE(documented.size(), 4u);
  for (const std::string& parameter : documented)
    EXPECT_TRUE(contains(node->err(), parameter)) << parameter << " missing from the usage:\n" << node->err();
}

INSTANTIATE_TEST_SUITE_P(Refused, CommandLine,
                         ::testing::Values(CommandLineCase{"NoArguments", {}},
                                           CommandLineCase{"ThreeAskedTwoGiven", {"3", "a.txt", "b.txt"}},
                                           CommandLineCase{"FractionAskedTwoGivenOne", {"2.5", "a.txt"}}),
                         caseName);

class IdleCommandLine : public ::testing::TestWithParam<CommandLineCase>
{
};

// A count that plays no recording (0, negative, not a number, below 1): a
// warning naming it, the greeting, then nothing until Ctrl-C ends the node
// with status 0.
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
  s.wait(kIdleMs);
  s.act([&] { EXPECT_TRUE(stopsOnInterrupt(*node)); });
  ASSERT_TRUE(follow(h, s)) << node->err();

  EXPECT_TRUE(ranAsScripted(h, s, {}));
  EXPECT_EQ("", node->out());
  const std::string err = node->err();
  EXPECT_TRUE(contains(err, "WARN") && contains(err, GetParam().args[0])) << err;
}

INSTANTIATE_TEST_SUITE_P(PlaysNone, IdleCommandLine,
                         ::testing::Values(CommandLineCase{"Zero", {"0"}}, CommandLineCase{"Negative", {"-2"}},
                                           CommandLineCase{"NotANumber", {"abc"}},
                                           CommandLineCase{"BelowOne", {"0.5", "a.txt"}}),
                         caseName);

// ---------------------------------------------------------------- parameters

struct ParameterCase
{
  const char* name;
  std::string param;               // a private parameter of the node
  XmlRpc::XmlRpcValue onServer;    // set on the master before the start, when valid
  std::vector<std::string> typed;  // or given on the command line
  std::string says = "";           // what the error says after the name, when given
};

const std::string kSpeedRange = " from 0.25 (slowest) to 2 (fastest), not ";
const std::string kCuesAre = " a JSON list of each recording's cues: ";

void PrintTo(const ParameterCase& c, std::ostream* os)
{
  *os << c.name;
}

class BadParameter : public ::testing::TestWithParam<ParameterCase>
{
};

// A parameter of the wrong type (a number where a name is meant, a word where
// seconds are) is refused with one error naming it, before anything is
// advertised, instead of being replaced by its default without a word.
TEST_P(BadParameter, EndsBeforeAdvertisingNamingIt)
{
  Harness h(false);
  TempDir dir;
  writeRecordings(dir.path(), {makeRecording("a.txt", 1, 2, 0.5f, {})});
  recordAll(h);
  XmlRpc::XmlRpcValue value = GetParam().onServer;
  if (value.valid())
    ros::param::set("/nao_kinora/" + GetParam().param, value);
  std::vector<std::string> args{"1", "a.txt"};
  args.insert(args.end(), GetParam().typed.begin(), GetParam().typed.end());
  if (GetParam().param != "recording_dir")  // given here, it would replace the one on the master
    args.push_back("_recording_dir:=" + dir.path());
  auto node = h.start(KINORA_NODE, args);

  EXPECT_TRUE(endedBeforeAdvertising(h, *node));
  const std::vector<std::string> errors = kinora_test::linesWith(node->err(), "\x1b[31m[ERROR]");
  ASSERT_EQ(1u, errors.size()) << node->err();
  EXPECT_TRUE(contains(errors[0], "parameter ~" + GetParam().param + " must be" + GetParam().says)) << errors[0];
}

INSTANTIATE_TEST_SUITE_P(
    Refused, BadParameter,
    ::testing::Values(
        ParameterCase{"NumberAsRecordingDir", "recording_dir", XmlRpc::XmlRpcValue(123), {}},
        ParameterCase{"TruthAsSessionLog", "session_log", XmlRpc::XmlRpcValue(true), {}},
        ParameterCase{"WordAsTrackingTimeout", "tracking_timeout", {}, {"_tracking_timeout:=soon"}},
        ParameterCase{"NegativeTrackingTimeout", "tracking_timeout", {}, {"_tracking_timeout:=-5"}},
        ParameterCase{"WordAsSpeed", "speed", {}, {"_speed:=fast"}, " a number, not fast"},
        ParameterCase{"TruthAsSpeed", "speed", XmlRpc::XmlRpcValue(true), {}, " a number, not true"},
        ParameterCase{"TextAsSpeed", "speed", XmlRpc::XmlRpcValue("1.0"), {}, " a number, not 1.0"},
        ParameterCase{"SpeedAboveTwo", "speed", {}, {"_speed:=2.5"}, kSpeedRange + "2.5"},
        ParameterCase{"SpeedBelowAQuarter", "speed", {}, {"_speed:=0.2"}, kSpeedRange + "0.2"},
        ParameterCase{"ZeroSpeed", "speed", {}, {"_speed:=0"}, kSpeedRange + "0"},
        ParameterCase{"NegativeSpeed", "speed", XmlRpc::XmlRpcValue(-1.0), {}, kSpeedRange + "-1"},
        ParameterCase{"WordAsJointLimits", "joint_limits", {}, {"_joint_limits:=yes"}, " true or false, not yes"},
        ParameterCase{
            "NumberAsJointLimits", "joint_limits", XmlRpc::XmlRpcValue(1), {}, " true or false, not the number 1"},
        ParameterCase{"CuesNotJson", "cues", {}, {"_cues:=kollaryana.wav"}, kCuesAre + "not a JSON list"},
        ParameterCase{"CuesOfTwoForOne", "cues", {}, {"_cues:=[{},{}]"}, kCuesAre + "2 entries for 1 recordings"},
        ParameterCase{"CueInAFolder",
                      "cues",
                      {},
                      {R"(_cues:=[{"introduction":[{"cue":"sounds/a.wav","pause":5}]}])"},
                      kCuesAre + "entry 1: introduction [sounds/a.wav]: a cue's name holds only"},
        ParameterCase{"CuePauseOfAnHour",
                      "cues",
                      {},
                      {R"(_cues:=[{"introduction":[{"cue":"a.wav","pause":3600}]}])"},
                      kCuesAre + "entry 1: introduction [a.wav]: its pause is from 0 to 60 seconds"},
        ParameterCase{"FeedbackAtANegativeRow",
                      "cues",
                      {},
                      {R"(_cues:=[{"feedback":[{"row":-1,"cue":"a.wav"}]}])"},
                      kCuesAre + "entry 1: a feedback cue is"},
        ParameterCase{"CuesOfAnUnknownField",
                      "cues",
                      {},
                      {R"(_cues:=[{"opening":[]}])"},
                      kCuesAre + "entry 1: unknown field \"opening\""},
        ParameterCase{"NumberAsCues", "cues", XmlRpc::XmlRpcValue(5), {}, " text, not the number 5"}),
    [](const ::testing::TestParamInfo<ParameterCase>& info) { return std::string(info.param.name); });

// ros::init stores _name:=123 as a number: the node takes the digits typed as
// the name, for the recording directory and the session log alike.
TEST(Parameters, DigitsTypedOnTheCommandLineAreNames)
{
  Harness h(false);
  TempDir dir;
  dir.makeDir("123");
  writeRecordings(dir.path() + "123/", {makeRecording("a.txt", 1, 2, 0.5f, {})});
  recordAll(h);
  ASSERT_EQ(0, chdir(dir.path().c_str()));  // the node starts here: "123/" and "007" are beside it
  auto node = h.start(KINORA_NODE, {"1", "a.txt", "_recording_dir:=123", "_session_log:=007"});
  EXPECT_TRUE(h.waitWall([&] { return cueSent(h, "merhaba.wav"); }, kExitWallSeconds)) << node->err();
  // The node logs a cue after it has sent it: the line may come after the cue did.
  EXPECT_TRUE(kinora_test::waitForText(dir.path() + "007", "\"file\":\"merhaba.wav\"", kExitWallSeconds))
      << kinora_test::readFile(dir.path() + "007");
}

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

  EXPECT_TRUE(endedBeforeAdvertising(h, *node));
  const std::string err = node->err();
  for (const char* name : {"missing.txt", "empty.txt", "bad.txt"})
    EXPECT_TRUE(contains(err, dir.path() + name)) << name << " not named in:\n" << err;
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
  EXPECT_TRUE(closesAsScripted(h, *node, s, {rec}));
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
  s.act(
      [&]
      {
        dir.write(recs[1].name, "");
        dir.write(recs[3].name, "");
        ASSERT_TRUE(tell(h, "trackingfinished", 1));
      });
  s.play(recs[2], scheduleFor(4));
  s.act([&] { ASSERT_TRUE(tell(h, "trackingfinished", 2)); });
  EXPECT_TRUE(closesAsScripted(h, *node, s, recs));
  EXPECT_EQ(playedLines(2, {0}) + "Trackingfinished1\n" + playedLines(2, {2}) + "Trackingfinished2\n", node->out());
  const std::string err = node->err();
  for (int n : {1, 3})
    EXPECT_TRUE(contains(err, dir.path() + recs[n].name)) << recs[n].name << " not named in:\n" << err;
}
