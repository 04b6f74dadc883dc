// The exercise teacher against files in a temporary folder: the names it
// takes and refuses, and each way through Record, Stop, Save and Discard.
#include "nao_kinora_console/teach/exercise_teacher.h"

#include <nao_kinora/recording_check.h>
#include <nao_kinora/joint_row.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sys/stat.h>

using nao_kinora_console::exerciseFileName;
using nao_kinora_console::ExerciseTeacher;
using nao_kinora_console::TeachAnswer;

namespace
{
struct NameCase
{
  std::string name;
  std::string file;   // "" when refused
  std::string fault;  // part of the reason
};

const std::vector<NameCase> kNames = {
    {"10_slow_left_arm", "10_slow_left_arm.txt", ""},
    {"arms-up.v2.txt", "arms-up.v2.txt", ""},
    {"arms.TXT", "arms.TXT.txt", ""},
    {"a", "a.txt", ""},
    {std::string(100, 'x'), std::string(100, 'x') + ".txt", ""},
    {std::string(101, 'x'), "", "at most 100 characters"},
    {"", "", "name first"},
    {"../etc/passwd", "", "cannot hold '/'"},
    {"arms/up", "", "cannot hold '/'"},
    {".hidden", "", "cannot start with '.'"},
    {"..", "", "cannot start with '.'"},
    {".txt", "", "cannot start with '.'"},
    {"arms up", "", "letters, digits"},
    {"bras_lev\xc3\xa9", "", "letters, digits"},
    {"arms\\up", "", "letters, digits"},
    {"arms;rm", "", "letters, digits"},
    {std::string("arms\0up", 7), "", "letters, digits"},
};

TEST(ExerciseTeacher, Names)
{
  for (const NameCase& c : kNames)
  {
    std::string fault = "left over";
    EXPECT_EQ(c.file, exerciseFileName(c.name, fault)) << c.name;
    if (c.fault.empty())
      EXPECT_EQ("", fault) << c.name;
    else
      EXPECT_NE(std::string::npos, fault.find(c.fault)) << c.name << ": " << fault;
  }
}

// The 22 joints, all at 0 but the left shoulder pitch and the elbows' rolls
// (bent a little: a straight elbow is past its range).
void feed(ExerciseTeacher& teacher, double stamp, double shoulder)
{
  std::vector<std::string> names;
  std::vector<double> positions;
  for (int column = 0; column < nao_kinora::kJointCount; ++column)
  {
    names.push_back(nao_kinora::robotJointName(column));
    positions.push_back(column == 2 ? shoulder : column == 5 ? -0.5 : column == 9 ? 0.5 : 0.0);
  }
  teacher.observe(names, positions, stamp);
}

// At 50 states a second from stamp 100: still for 1 s, the shoulder from 0
// to 1 rad over 1 s, still for 1 s. Sampled at 25 rows a second and trimmed,
// the rows from 1.00 s to 2.00 s: 26.
const std::size_t kMotionRows = 26;
void move(ExerciseTeacher& teacher)
{
  for (int i = 0; i <= 150; ++i)
  {
    const double t = i / 50.0;
    feed(teacher, 100.0 + t, std::min(1.0, std::max(0.0, t - 1.0)));
  }
}

// Faster than the robot can: the shoulder jumps 1 rad from one state to the
// next (25 rad/s in a row of 0.04 s).
void jump(ExerciseTeacher& teacher)
{
  for (int i = 0; i <= 100; ++i)
    feed(teacher, 100.0 + i / 50.0, i < 50 ? 0.0 : 1.0);
}

void still(ExerciseTeacher& teacher)
{
  for (int i = 0; i <= 50; ++i)
    feed(teacher, 200.0 + i / 50.0, 0.5);
}

// One step of a way through the page, and what it must answer.
struct Step
{
  Step(const char* what, TeachAnswer::Kind kind = TeachAnswer::kDone, const char* says = "")
      : what(what), kind(kind), says(says)
  {
  }
  std::string what;  // record NAME, record-playing NAME, move, jump, still, stop, save NAME, replace NAME, discard
  TeachAnswer::Kind kind;
  std::string says;  // part of the answer's message
};

struct Flow
{
  const char* name;
  std::vector<Step> steps;
  const char* state;               // the view's state at the end
  std::vector<std::string> files;  // files in the folder at the end, with the rows they hold
};

std::string argumentOf(const std::string& what)
{
  const std::size_t blank = what.find(' ');
  return blank == std::string::npos ? "" : what.substr(blank + 1);
}

TeachAnswer run(ExerciseTeacher& teacher, const std::string& what)
{
  const std::string verb = what.substr(0, what.find(' '));
  const std::string arg = argumentOf(what);
  if (verb == "record" || verb == "record-playing")
    return teacher.start(arg, verb == "record-playing");
  if (verb == "move" || verb == "jump" || verb == "still")
  {
    verb == "move" ? move(teacher) : verb == "jump" ? jump(teacher) : still(teacher);
    return TeachAnswer();
  }
  if (verb == "stop")
    return teacher.stop();
  if (verb == "save" || verb == "replace")
    return teacher.save(arg, verb == "replace");
  return teacher.discard();
}

const std::vector<Flow> kFlows = {
    {"record, stop, save under the name given",
     {{"record arms", TeachAnswer::kDone, "Recording arms.txt"},
      {"move", TeachAnswer::kDone, ""},
      {"stop", TeachAnswer::kDone, "Recorded 26 rows"},
      {"save", TeachAnswer::kDone, "Saved as arms.txt"}},
     "idle",
     {"arms.txt"}},
    {"saved under another name",
     {{"record arms"}, {"move"}, {"stop"}, {"save legs", TeachAnswer::kDone, "legs.txt"}},
     "idle",
     {"legs.txt"}},
    {"a bad name at Save keeps the draft",
     {{"record arms"}, {"move"}, {"stop"}, {"save a/b", TeachAnswer::kBadRequest, "'/'"}},
     "draft",
     {}},
    {"refused while a session plays",
     {{"record-playing arms", TeachAnswer::kRefused, "A session is playing"},
      {"move"},
      {"stop", TeachAnswer::kRefused, "Nothing is being recorded"}},
     "idle",
     {}},
    {"a bad name is refused before recording",
     {{"record .arms", TeachAnswer::kBadRequest, "start with '.'"}},
     "idle",
     {}},
    {"a second Record while one runs",
     {{"record arms"}, {"record legs", TeachAnswer::kRefused, "Already recording"}, {"move"}, {"stop"}, {"save"}},
     "idle",
     {"arms.txt"}},
    // The robot's joint limits (every kind of fault in test_limit_words): the draft stays.
    {"a jump faster than the robot can is not saved",
     {{"record arms"},
      {"jump"},
      {"stop"},
      {"save", TeachAnswer::kRefused,
       "Not saved: the robot cannot play it: at 0:02.0 the left shoulder moves faster than the robot can (row 1: "
       "LShoulderPitch moves 1 rad in 0.04 s at speed 1: 25 rad/s, above its maximum 8.268 rad/s)."}},
     "draft",
     {}},
    {"save without a draft", {{"save arms", TeachAnswer::kRefused, "no recording to save"}}, "idle", {}},
    {"save while recording",
     {{"record arms"}, {"save arms", TeachAnswer::kRefused, "no recording to save"}},
     "recording",
     {}},
    {"nothing came from the robot",
     {{"record arms"}, {"stop", TeachAnswer::kRefused, "Nothing came from the robot"}},
     "idle",
     {}},
    {"nothing moved", {{"record arms"}, {"still"}, {"stop", TeachAnswer::kRefused, "did not move"}}, "idle", {}},
    {"an existing exercise is replaced only when asked",
     {{"record arms"},
      {"move"},
      {"stop"},
      {"save"},
      {"record arms"},
      {"move"},
      {"stop"},
      {"save", TeachAnswer::kExists, "arms.txt exists already. Replace it?"},
      {"replace", TeachAnswer::kDone, "Saved as arms.txt"}},
     "idle",
     {"arms.txt"}},
    {"discard drops the draft",
     {{"record arms"}, {"move"}, {"stop"}, {"discard"}, {"save", TeachAnswer::kRefused, "no recording"}},
     "idle",
     {}},
    {"discard ends a recording", {{"record arms"}, {"move"}, {"discard"}, {"stop", TeachAnswer::kRefused}}, "idle", {}},
};

std::string tempFolder()
{
  char folder[] = "/tmp/teacher_test_XXXXXX";
  return mkdtemp(folder) ? std::string(folder) + "/" : "";
}

bool exists(const std::string& path)
{
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}
}  // namespace

TEST(ExerciseTeacher, Flows)
{
  for (const Flow& flow : kFlows)
  {
    const std::string folder = tempFolder();
    ASSERT_FALSE(folder.empty());
    ExerciseTeacher teacher(folder);
    for (const Step& step : flow.steps)
    {
      const TeachAnswer answer = run(teacher, step.what);
      EXPECT_EQ(step.kind, answer.kind) << flow.name << ": " << step.what << ": " << answer.message;
      EXPECT_NE(std::string::npos, answer.message.find(step.says)) << flow.name << ": " << answer.message;
    }
    EXPECT_EQ(flow.state, teacher.view()["state"]) << flow.name;
    for (const char* name : {"arms.txt", "legs.txt"})
    {
      const bool wanted = std::find(flow.files.begin(), flow.files.end(), name) != flow.files.end();
      EXPECT_EQ(wanted, exists(folder + name)) << flow.name << ": " << name;
      if (!wanted)
        continue;
      const nao_kinora::RecordingCheck check = nao_kinora::checkRecording(folder + name);
      EXPECT_TRUE(check.playable()) << flow.name;
      EXPECT_EQ(kMotionRows, check.rows) << flow.name;
      EXPECT_EQ(std::vector<std::string>{name}, teacher.view()["saved"].get<std::vector<std::string>>());
    }
  }
}

// What the page shows of a draft, and the rows its preview plays.
TEST(ExerciseTeacher, DraftView)
{
  const std::string folder = tempFolder();
  ExerciseTeacher teacher(folder);
  EXPECT_TRUE(teacher.view()["pose"].is_null());
  ASSERT_EQ(TeachAnswer::kDone, teacher.start("arms", false).kind);
  move(teacher);
  nlohmann::json view = teacher.view();
  EXPECT_EQ("recording", view["state"]);
  EXPECT_DOUBLE_EQ(3.0, view["recorded"].get<double>());
  EXPECT_DOUBLE_EQ(1.0, view["pose"][2].get<double>());  // the live pose: the last state
  ASSERT_EQ(TeachAnswer::kDone, teacher.stop().kind);
  view = teacher.view();
  EXPECT_EQ("arms.txt", view["draft"]["file"]);
  EXPECT_EQ(kMotionRows, view["draft"]["rows"].get<std::size_t>());
  EXPECT_NEAR(kMotionRows * 0.04, view["draft"]["seconds"].get<double>(), 1e-5);
  EXPECT_EQ(std::vector<std::string>{"left shoulder pitch"}, view["draft"]["moving"].get<std::vector<std::string>>());
  EXPECT_FALSE(view["draft"]["exists"].get<bool>());
  EXPECT_EQ("", view["draft"]["limits"]);
  const nlohmann::json rows = teacher.draftRows();
  ASSERT_EQ(kMotionRows, rows.size());
  EXPECT_FLOAT_EQ(0.0f, rows[0][2].get<float>());
  EXPECT_FLOAT_EQ(1.0f, rows[kMotionRows - 1][2].get<float>());
  EXPECT_FLOAT_EQ(0.04f, rows[0][22].get<float>());
  std::ofstream(folder + "arms.txt") << "x\n";
  EXPECT_TRUE(teacher.view()["draft"]["exists"].get<bool>());
}

// A Record left running stops growing; a folder that cannot be written is
// refused before anyone records.
TEST(ExerciseTeacher, Limits)
{
  ExerciseTeacher teacher(tempFolder());
  ASSERT_EQ(TeachAnswer::kDone, teacher.start("arms", false).kind);
  feed(teacher, 0.0, 0.0);
  feed(teacher, ExerciseTeacher::kMostSeconds, 1.0);
  feed(teacher, ExerciseTeacher::kMostSeconds + 1.0, 0.0);
  EXPECT_DOUBLE_EQ(ExerciseTeacher::kMostSeconds, teacher.view()["recorded"].get<double>());
  EXPECT_TRUE(teacher.view()["full"].get<bool>());

  ExerciseTeacher nowhere("/nonexistent/exercises/");
  const TeachAnswer answer = nowhere.start("arms", false);
  EXPECT_EQ(TeachAnswer::kFailed, answer.kind);
  EXPECT_NE(std::string::npos, answer.message.find("/nonexistent/exercises/ cannot be written")) << answer.message;
  EXPECT_EQ("idle", nowhere.view()["state"]);
}
