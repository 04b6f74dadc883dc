// The follow score, the ranges and the completion rule, on sample exercises
// followed by the simulated patient in various ways.
#include <nao_kinora_tracker/exercise_track.h>
#include <nao_kinora_tracker/patient_motion.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

using namespace nao_kinora_tracker;

namespace
{
const double kRowsStart = 5.0;  // the opening cue before row 0
const double kFrame = 1.0 / 30.0;
const double kAfter = 12.0;  // frames go on this long after the robot's end

std::vector<nao_kinora::JointRow> readRecording(const std::string& file)
{
  std::ifstream in(std::string(EXERCISES_DIR) + "/" + file);
  std::vector<nao_kinora::JointRow> rows;
  std::string line;
  while (std::getline(in, line))
  {
    std::istringstream values(line);
    nao_kinora::JointRow row;
    for (float& v : row)
      values >> v;
    if (!values)
      break;
    rows.push_back(row);
  }
  rows.at(0)[nao_kinora::kDurationColumn] = 2.0f;  // as the node holds row 0
  return rows;
}

// When each row is sent, as the node paces them; the last entry is the end.
std::vector<double> rowTimes(const std::vector<nao_kinora::JointRow>& rows)
{
  std::vector<double> t{kRowsStart};
  for (const auto& r : rows)
    t.push_back(t.back() + r[nao_kinora::kDurationColumn]);
  return t;
}

struct Outcome
{
  ExerciseSummary summary;
  bool completed;
  double completedAt;
  double lastMove;
  double rangeRatio;  // person / robot, in the first moving joint
};

struct Case
{
  std::string name;
  std::string robot;    // the recording the robot plays
  std::string follows;  // the one the patient follows
  PatientStyle style;
  bool inView;
};

PatientStyle style(double amplitude, double delay, double noise = 0.0, bool swap = false, bool still = false)
{
  PatientStyle s;
  s.amplitude = amplitude;
  s.delaySeconds = delay;
  s.noiseDegrees = noise;
  s.swapSides = swap;
  s.still = still;
  return s;
}

// Standing beside the robot, facing the way it faces: its right is theirs.
PatientStyle beside(PatientStyle s)
{
  s.mirror = false;
  return s;
}

// later: summarize that long after the frames end (the therapist waits on).
Outcome run(const Case& c, double later = 0.0)
{
  const auto robot = readRecording(c.robot);
  const auto follows = readRecording(c.follows);
  const std::vector<double> robotAt = rowTimes(robot), followsAt = rowTimes(follows);
  TrackerParams params;
  params.mirror = c.style.mirror;  // the tracker told how the patient stands
  ExerciseTrack track(0.0, params);
  PatientMotion patient(c.style);
  patient.startExercise();
  for (size_t i = 0; i < follows.size(); ++i)
    patient.addRobotRow(followsAt[i], follows[i]);
  size_t next = 0;
  double t = 0.0;
  for (; t < robotAt.back() + kAfter && !track.completed(); t += kFrame)
  {
    for (; next < robot.size() && robotAt[next] <= t; ++next)
      track.addRobotRow(robotAt[next], robot[next]);
    if (next == robot.size() && !track.robotIsDone())
      track.robotDone(t);
    track.addPerson(t, c.inView, humanSkeleton(patient.poseAt(t)));
  }
  Outcome o;
  o.completed = track.completed();
  o.completedAt = track.completedAt();
  o.summary = track.summarize((o.completed ? o.completedAt : t) + later);
  o.lastMove = patient.lastMoveAt();
  o.rangeRatio = o.summary.joints.empty() ? 0.0 : o.summary.joints[0].personDegrees / o.summary.joints[0].robotDegrees;
  // The figures the documentation quotes.
  std::cout << "[ figures  ] " << c.name << ": follow " << o.summary.followScore << ", range ratio " << o.rangeRatio
            << (o.completed ? ", completed" : ", not completed") << std::endl;
  return o;
}

const char* kArmsExercise = "03_arms_to_the_side.txt";
const char* kKneeExercise = "06_right_knee.txt";
}  // namespace

TEST(FollowScore, TheSameMotionScoresAbout100AndHasTheRobotsRange)
{
  const Outcome o = run({"same", kArmsExercise, kArmsExercise, style(1.0, 0.0), true});
  EXPECT_TRUE(o.completed);
  EXPECT_GE(o.summary.followScore, 95);
  ASSERT_EQ(2u, o.summary.joints.size());  // both shoulders' abduction
  for (const JointSummary& j : o.summary.joints)
  {
    EXPECT_TRUE(j.seen);
    EXPECT_NEAR(j.robotDegrees, j.personDegrees, 2.0) << jointName(j.joint);
  }
  EXPECT_STREQ("left shoulder abduction", jointName(o.summary.joints[0].joint));
}

TEST(FollowScore, HalfTheAmplitudeHalvesTheRangeAndLowersTheScore)
{
  const Outcome same = run({"same", kArmsExercise, kArmsExercise, style(1.0, 0.0), true});
  const Outcome half = run({"half", kArmsExercise, kArmsExercise, style(0.5, 0.0), true});
  for (const JointSummary& j : half.summary.joints)
    EXPECT_NEAR(0.5 * j.robotDegrees, j.personDegrees, 2.0) << jointName(j.joint);
  EXPECT_LE(half.summary.followScore, same.summary.followScore - 30);
  EXPECT_GE(half.summary.followScore, 30);
}

TEST(FollowScore, OneSecondLateStillScoresHigh)
{
  const Outcome late = run({"late", kArmsExercise, kArmsExercise, style(1.0, 1.0), true});
  EXPECT_GE(late.summary.followScore, 85);
  EXPECT_TRUE(late.completed);
}

TEST(FollowScore, AnUnrelatedMotionOrStandingStillScoresLow)
{
  const std::vector<Case> cases = {
      {"the knee exercise during the arms'", kArmsExercise, kKneeExercise, style(1.0, 0.0), true},
      {"standing still", kArmsExercise, kArmsExercise, style(1.0, 0.0, 0.0, false, true), true},
      // The robot bends its right knee: facing it, the patient must bend the left.
      {"the wrong side", kKneeExercise, kKneeExercise, style(1.0, 0.0, 0.0, true), true},
  };
  for (const Case& c : cases)
  {
    SCOPED_TRACE(c.name);
    const Outcome o = run(c);
    EXPECT_LE(o.summary.followScore, 25);
    EXPECT_GE(o.summary.followScore, 0);
    EXPECT_FALSE(o.completed);
  }
}

// Five minutes of waiting with both at rest add nothing to the score.
TEST(FollowScore, ALongWaitAfterTheMotionDilutesNothing)
{
  const Case still{"standing still, then a long wait", kArmsExercise, kArmsExercise, style(1.0, 0.0, 0.0, false, true),
                   true};
  EXPECT_EQ(run(still).summary.followScore, run(still, 300.0).summary.followScore);
  EXPECT_LE(run(still, 300.0).summary.followScore, 5);
}

TEST(FollowScore, NobodyInViewIsNotSeen)
{
  const Outcome o = run({"nobody", kArmsExercise, kArmsExercise, style(1.0, 0.0), false});
  EXPECT_FALSE(o.summary.seen);
  EXPECT_EQ(-1, o.summary.followScore);
  EXPECT_FALSE(o.completed);
  ASSERT_EQ(2u, o.summary.joints.size());
  for (const JointSummary& j : o.summary.joints)
  {
    EXPECT_FALSE(j.seen);
    EXPECT_EQ(0.0, j.personDegrees);
    EXPECT_GT(j.robotDegrees, 40.0);
  }
}

// Completed only once the patient has finished moving (and settled);
// a patient with 0.6 of the robot's range completes, one with 0.3 does not.
TEST(Completion, AfterThePatientsLastMovementOnly)
{
  struct Expect
  {
    Case c;
    bool completed;
    double ratio;
  };
  const std::vector<Expect> cases = {
      {{"0.6 at once", kArmsExercise, kArmsExercise, style(0.6, 0.0), true}, true, 0.6},
      {{"0.6, 1 s late, noisy", kArmsExercise, kArmsExercise, style(0.6, 1.0, 1.0), true}, true, 0.6},
      {{"0.6 knee, 2 s late", kKneeExercise, kKneeExercise, style(0.6, 2.0, 0.5), true}, true, 0.6},
      // Still moving when the robot's motion is over (it ends at rest for 2.6 s).
      {{"0.6, 3.5 s late", kArmsExercise, kArmsExercise, style(0.6, 3.5), true}, true, 0.6},
      {{"0.6 beside the robot", kKneeExercise, kKneeExercise, beside(style(0.6, 1.0)), true}, true, 0.6},
      {{"0.3", kArmsExercise, kArmsExercise, style(0.3, 0.0), true}, false, 0.3},
  };
  for (const Expect& e : cases)
  {
    SCOPED_TRACE(e.c.name);
    const Outcome o = run(e.c);
    EXPECT_EQ(e.completed, o.completed);
    EXPECT_NEAR(e.ratio, o.rangeRatio, 0.05);
    if (o.completed)
    {
      EXPECT_GE(o.completedAt, o.lastMove);
    }
  }
}

TEST(Completion, MirroredUnlessToldOtherwise)
{
  EXPECT_EQ(kRightKneeFlexion, robotJointFor(kLeftKneeFlexion, true));
  EXPECT_EQ(kLeftKneeFlexion, robotJointFor(kLeftKneeFlexion, false));
}
