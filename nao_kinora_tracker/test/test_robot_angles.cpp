// The robot's recordings as anatomical angles, against angles worked out by
// hand for three rows of the sample exercises. With the hip yaw-pitch at 0
// (it stays within 0.2 degrees of it in these rows), the robot's model gives:
//   shoulder flexion  = atan2(x cos p, x sin p), i.e. 90 - pitch
//   shoulder abduction = atan2(s y, x sin p)
//   elbow flexion     = acos((0.105 cos er + s 0.015 sin er cos ey) / |(0.105, 0.015)|)
//     where x = 0.105 cos r - s 0.015 sin r, y = 0.105 sin r + s 0.015 cos r
//     (the elbow's offset from the shoulder turned by the roll r), s = +1 left, -1 right
//   hip flexion = atan2(-sin hp, cos hp cos hr), hip abduction = s hr, knee flexion = knee pitch.
#include <nao_kinora_tracker/robot_skeleton.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

using namespace nao_kinora_tracker;

namespace
{
const double kTolerance = 0.3;  // degrees: the hip yaw-pitch left out above

nao_kinora::JointRow readRow(const std::string& file, int index)
{
  std::ifstream in(std::string(EXERCISES_DIR) + "/" + file);
  std::string line;
  for (int i = 0; i <= index; ++i)
    std::getline(in, line);
  std::istringstream values(line);
  nao_kinora::JointRow row;
  for (float& v : row)
    values >> v;
  EXPECT_TRUE(bool(values)) << file << " row " << index;
  return row;
}

struct Sample
{
  std::string file;
  int row;
  std::array<double, kJointCount> degrees;  // in the order of Joint
};

const std::vector<Sample> kSamples = {
    // The arms at their highest to the side.
    {"03_arms_to_the_side.txt",
     247,
     {7.16, 7.14, 71.99, 71.82, 14.24, 14.21, 25.93, 25.77, -0.23, -0.25, 40.20, 40.25}},
    // Seated, the right knee bent furthest.
    {"06_right_knee.txt", 25, {38.46, 38.37, 18.88, 18.80, 33.37, 33.65, 63.25, 62.97, 5.68, 5.61, 91.66, 91.80}},
    // The elbows bent furthest.
    {"04_seated_elbows.txt", 528, {22.24, 22.12, 18.07, 18.28, 77.66, 77.69, 25.60, 25.68, -0.11, 0.17, 40.16, 40.18}},
};
}  // namespace

TEST(RobotAngles, SampleRowsGiveTheAnglesWorkedOutByHand)
{
  for (const Sample& s : kSamples)
  {
    SCOPED_TRACE(s.file + " row " + std::to_string(s.row));
    const BodyAngles a = robotAngles(readRow(s.file, s.row));
    for (int j = 0; j < kJointCount; ++j)
    {
      SCOPED_TRACE(jointName(j));
      ASSERT_TRUE(a.measured[j]);
      EXPECT_NEAR(s.degrees[j], a.degrees[j], kTolerance);
    }
  }
}

// At all zero the robot stands straight with both arms forward, level.
TEST(RobotAngles, AllZeroIsArmsForwardAndStraightLegs)
{
  nao_kinora::JointRow zero;
  zero.fill(0.0f);
  const BodyAngles a = robotAngles(zero);
  for (int j : {kLeftShoulderFlexion, kRightShoulderFlexion})
    EXPECT_NEAR(90.0, a.degrees[j], 1e-6);
  for (int j : {kLeftShoulderAbduction, kRightShoulderAbduction})
    EXPECT_FALSE(a.measured[j]);  // level forward: along the frontal plane's normal
  for (int j : {kLeftElbowFlexion, kRightElbowFlexion})
    EXPECT_NEAR(8.13, a.degrees[j], 0.01);  // the elbow sits 0.015 outside the arm's axis
  for (int j :
       {kLeftHipFlexion, kRightHipFlexion, kLeftHipAbduction, kRightHipAbduction, kLeftKneeFlexion, kRightKneeFlexion})
    EXPECT_NEAR(0.0, a.degrees[j], 1e-6);
}
