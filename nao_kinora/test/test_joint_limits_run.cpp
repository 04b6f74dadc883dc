// The robot's joint limits in whole runs of the node: with ~joint_limits true
// a recording that breaks them is refused before anything is advertised, one
// that keeps them is played; without it every one is played as it is; and a
// recording changed on disk to break them during the session is skipped.
#include "run_script.h"

#include "nao_kinora/joint_limits.h"

#include <gtest/gtest.h>

using kinora_test::contains;
using kinora_test::Harness;
using kinora_test::Process;
using kinora_test::TempDir;
using namespace run_script;

namespace
{
const double kExitWallSeconds = 10.0;  // for a node that ends on its own
const float kRowSeconds = 0.25f;       // whole milliseconds, and so is half of it
const int kRows = 5;
// Joint columns and their limits: LShoulderPitch at most 8.268 rad/s;
// LShoulderRoll up to 1.3264 rad; RElbowRoll from 0.0349 rad.
const int kLShoulderPitch = 2;
const int kLShoulderRoll = 3;
const int kRElbowRoll = 9;

struct LimitCase
{
  const char* name;
  std::vector<Recording::Angle> angles;  // set in a recording that keeps the limits
  double speed;                          // ~speed
  std::vector<int> reported;             // the joints that the report names
  std::string fault;  // what refuses it with the limits in force, after "DIR/limits.txt:"; "" when it plays
};

void PrintTo(const LimitCase& c, std::ostream* os)
{
  *os << c.name;
}

const std::string kSummary = "1 of 1 recordings cannot be played; the session does not start";
const std::string kFirstFault = "breaks the robot's joint limits at ";
const std::string kEveryFault = "; nao_kinora_check lists every fault";

// Row 2 (line 3) holds the angle set, between rows at the pose: LShoulderRoll
// goes 0.84 rad out and back, RElbowRoll 0.77 rad, within their speed in
// 0.25 s; LShoulderPitch from -1.2 to 1.2 rad (9.6 rad/s), or 1.2 rad out
// and back (4.8 rad/s at the normal speed, 9.6 at double speed).
const LimitCase kCases[] = {
    {"KeepsThem", {}, 1.0, {}, ""},
    {"OutOfRange",
     {{2, kLShoulderRoll, 1.3264f + 0.018f}},
     1.0,
     {kLShoulderRoll},
     "3: " + kFirstFault + "row 2: LShoulderRoll at 1.3444 rad is above its upper limit 1.3264 rad" + kEveryFault},
    {"JustInsideTheTolerance", {{2, kLShoulderRoll, 1.3264f + 0.017f}}, 1.0, {kLShoulderRoll}, ""},
    {"BelowRange",
     {{2, kRElbowRoll, 0.0349f - 0.018f}},
     1.0,
     {kRElbowRoll},
     "3: " + kFirstFault + "row 2: RElbowRoll at 0.0169 rad is below its lower limit 0.0349 rad" + kEveryFault},
    {"TooFastAtTheNormalSpeed",
     {{1, kLShoulderPitch, -1.2f}, {2, kLShoulderPitch, 1.2f}},
     1.0,
     {kLShoulderPitch},
     "3: " + kFirstFault + "row 2: LShoulderPitch moves 2.4 rad in 0.25 s at speed 1: 9.6 rad/s, above its maximum " +
         "8.268 rad/s" + kEveryFault},
    {"FastWithinItsSpeedAtTheNormalSpeed", {{2, kLShoulderPitch, 1.2f}}, 1.0, {kLShoulderPitch}, ""},
    {"TooFastOnlyAtDoubleSpeed",
     {{2, kLShoulderPitch, 1.2f}},
     2.0,
     {kLShoulderPitch},
     "3: " + kFirstFault + "row 2: LShoulderPitch moves 1.2 rad in 0.125 s at speed 2: 9.6 rad/s, above its " +
         "maximum 8.268 rad/s (and 1 more)" + kEveryFault},
};

Recording caseRecording(const LimitCase& c)
{
  Recording rec = makeRecording("limits.txt", 1, kRows, kRowSeconds, {});
  rec.pose = poseWithinLimits();
  rec.angles = c.angles;
  return rec;
}

// The recording as sent at speed: each duration but row 0's divided by it.
Recording atSpeed(Recording rec, double speed)
{
  for (std::size_t r = 1; r < rec.durations.size(); ++r)
    rec.durations[r] = static_cast<float>(rec.durations[r] / speed);
  return rec;
}

// The case's recording played whole by a node started with params.
void playsWhole(const LimitCase& c, const std::vector<std::string>& params)
{
  Harness h;
  TempDir dir;
  const Recording rec = caseRecording(c);
  const Recording sent = atSpeed(rec, c.speed);
  std::vector<std::string> all = params;
  all.push_back("_speed:=" + std::to_string(c.speed));
  auto node = startRun(h, dir.path(), "1", {rec}, nodeTopics(), all);

  Script s;
  s.greeting();
  s.startRecording(scheduleFor(2));
  s.steps(kRowSeconds / c.speed);
  s.rows(sent, scheduleFor(2), 0, kRows - 1);
  s.report(c.reported);
  EXPECT_TRUE(closesAsScripted(h, *node, s, {sent}));
  EXPECT_EQ(playedLines(kRows, c.reported), node->out());
}

class JointLimits : public ::testing::TestWithParam<LimitCase>
{
};
}  // namespace

// In force: a recording that breaks them is refused before anything is
// advertised, with status 1 and one line naming the file, the row, the joint,
// the value and the limit; one that keeps them is played whole.
TEST_P(JointLimits, InForceRefuseWhatTheRobotCannotDo)
{
  const LimitCase& c = GetParam();
  if (c.fault.empty())
  {
    playsWhole(c, {"_joint_limits:=true"});
    return;
  }
  Harness h(false);
  TempDir dir;
  const Recording rec = caseRecording(c);
  writeRecordings(dir.path(), {rec});
  recordAll(h);
  auto node = startNode(h, dir.path(), {"1", rec.name, "_joint_limits:=true", "_speed:=" + std::to_string(c.speed)});

  ASSERT_TRUE(node->waitExit(kExitWallSeconds));
  EXPECT_EQ(1, node->exitStatus());
  EXPECT_EQ("", node->out());
  EXPECT_FALSE(kinora_test::registeredAnything("/nao_kinora"));
  EXPECT_TRUE(h.events().empty());
  const std::vector<std::string> errors = kinora_test::linesWith(node->err(), "\x1b[31m[ERROR]");
  ASSERT_EQ(2u, errors.size()) << node->err();
  EXPECT_TRUE(contains(errors[0], "]: " + dir.path() + rec.name + ":" + c.fault)) << errors[0];
  EXPECT_TRUE(contains(errors[1], kSummary)) << errors[1];
}

// Not in force, as on the bare command line: every recording is played as it
// is, whatever its angles and speeds.
TEST_P(JointLimits, OutOfForcePlayEveryOneAsItIs)
{
  playsWhole(GetParam(), {});
}

INSTANTIATE_TEST_SUITE_P(Rows, JointLimits, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<LimitCase>& info) { return std::string(info.param.name); });

// A recording that kept the limits at start-up and was changed on disk since
// is checked again when its turn comes: it is skipped, with an error naming
// it and the fault, the session log says why, and the session goes on.
TEST(JointLimitsInForce, ARecordingChangedToBreakThemIsSkippedAtItsTurn)
{
  Harness h;
  TempDir dir;
  const std::string log = dir.write("session.jsonl", "");
  std::vector<Recording> recs;
  for (int n = 0; n < 3; ++n)
  {
    recs.push_back(makeRecording(std::string(1, 'a' + n) + ".txt", n, 3, 0.5f, {}));
    recs.back().pose = poseWithinLimits();
  }
  auto node = startRun(h, dir.path(), "3", recs, nodeTopics(), {"_joint_limits:=true", "_session_log:=" + log});

  Script s;
  s.greeting();
  s.play(recs[0], scheduleFor(2));
  s.act(
      [&]
      {
        Recording changed = recs[1];
        changed.angles = {{1, kLShoulderRoll, 1.5f}};
        writeRecordings(dir.path(), {changed});
        ASSERT_TRUE(tell(h, "trackingfinished", 1));
      });
  s.play(recs[2], scheduleFor(4));
  EXPECT_TRUE(closesAsScripted(h, *node, s, recs));
  EXPECT_EQ(playedLines(3, {}) + "Trackingfinished1\n" + playedLines(3, {}), node->out());
  const std::string b = dir.path() + recs[1].name;
  EXPECT_TRUE(contains(
      node->err(), b + ":2: " + kFirstFault + "row 1: LShoulderRoll at 1.5 rad is above its upper limit 1.3264 rad"))
      << node->err();
  EXPECT_TRUE(contains(node->err(), "skipping recording [" + b + "]: it breaks the robot's joint limits"));
  EXPECT_TRUE(contains(kinora_test::readFile(log), "\"event\":\"recording skipped\",\"recording\":2,\"path\":\"" + b +
                                                       "\",\"joint limits\":true}"));
}
