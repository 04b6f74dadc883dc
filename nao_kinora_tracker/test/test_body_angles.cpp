// Landmarks made by forward kinematics from known angles give the same
// angles back; hidden landmarks leave their joints not seen.
#include <nao_kinora_tracker/body_angles.h>
#include <nao_kinora_tracker/human_skeleton.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace nao_kinora_tracker;

namespace
{
const double kTolerance = 2.0;  // degrees
const double kMinVisibility = 0.5;

struct PoseCase
{
  std::string name;
  // In the order of Joint: shoulder flexion L R, abduction L R, elbow L R,
  // hip flexion L R, abduction L R, knee L R.
  std::array<double, kJointCount> degrees;
  std::array<double, 4> twist;
};

const std::vector<PoseCase> kPoses = {
    {"standing", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, {0, 0, 0, 0}},
    {"left arm forward, right arm out", {60, 10, 15, 45, 90, 30, 30, 5, 5, 20, 45, 70}, {20, -30, 0, 10}},
    {"both arms raised forward", {70, 65, 10, 5, 20, 0, 0, 0, 0, 0, 0, 0}, {0, 0, 0, 0}},
    {"left arm overhead, right behind", {150, -30, 120, -10, 40, 100, 10, -15, 10, 5, 20, 5}, {45, 90, -20, 0}},
    {"seated, leaning back", {20, 20, 10, 10, 80, 80, 70, 72, 5, 5, 90, 90}, {0, 0, 0, 0}},
    {"right leg raised to the side", {5, 5, 5, 40, 10, 10, 0, 20, 0, 35, 0, 60}, {0, 0, 0, -40}},
};

Skeleton posed(const PoseCase& c)
{
  HumanPose pose;
  pose.degrees = c.degrees;
  pose.twist = c.twist;
  return humanSkeleton(pose);
}
}  // namespace

TEST(BodyAngles, ForwardKinematicsGivesTheSameAnglesBack)
{
  for (const PoseCase& c : kPoses)
  {
    SCOPED_TRACE(c.name);
    const BodyAngles a = measureAngles(posed(c), kMinVisibility);
    for (int j = 0; j < kJointCount; ++j)
    {
      SCOPED_TRACE(jointName(j));
      EXPECT_TRUE(a.seen[j]);
      ASSERT_TRUE(a.measured[j]);
      EXPECT_NEAR(c.degrees[j], a.degrees[j], kTolerance);
    }
  }
}

// The person's frame need not be the camera's: a skeleton turned and moved
// as a whole has the same angles.
TEST(BodyAngles, AnglesAreMeasuredInTheTorsoFrame)
{
  const PoseCase& c = kPoses[1];
  Skeleton s = posed(c);
  const Vec3 axis = unit(vec(0.2, 0.1, 1.0));
  for (Vec3& p : s.points)
    p = rotate(p, axis, 0.7) + vec(1.5, -0.4, 0.9);
  const BodyAngles a = measureAngles(s, kMinVisibility);
  for (int j = 0; j < kJointCount; ++j)
    EXPECT_NEAR(c.degrees[j], a.degrees[j], kTolerance) << jointName(j);
}

struct HiddenCase
{
  std::string name;
  std::vector<int> hidden;   // landmarks below the visibility threshold
  std::vector<int> notSeen;  // the joints that must say so
};

TEST(BodyAngles, HiddenLandmarksLeaveTheirJointsNotSeenAndTheRestMeasured)
{
  const std::vector<HiddenCase> cases = {
      {"left elbow", {kLeftElbow}, {kLeftShoulderFlexion, kLeftShoulderAbduction, kLeftElbowFlexion}},
      {"right wrist", {kRightWrist}, {kRightElbowFlexion}},
      {"left ankle", {kLeftAnkle}, {kLeftKneeFlexion}},
      {"right knee", {kRightKnee}, {kRightHipFlexion, kRightHipAbduction, kRightKneeFlexion}},
      // Without a hip there is no torso frame: no shoulder or hip angle.
      {"right hip",
       {kRightHip},
       {kLeftShoulderFlexion, kRightShoulderFlexion, kLeftShoulderAbduction, kRightShoulderAbduction, kLeftHipFlexion,
        kRightHipFlexion, kLeftHipAbduction, kRightHipAbduction, kRightKneeFlexion}},
      {"legs out of the picture",
       {kLeftKnee, kRightKnee, kLeftAnkle, kRightAnkle},
       {kLeftHipFlexion, kRightHipFlexion, kLeftHipAbduction, kRightHipAbduction, kLeftKneeFlexion, kRightKneeFlexion}},
  };
  const PoseCase& pose = kPoses[1];
  for (const HiddenCase& c : cases)
  {
    SCOPED_TRACE(c.name);
    Skeleton s = posed(pose);
    for (int l : c.hidden)
    {
      s.visibility[l] = 0.49;
      s.points[l] = vec(9, 9, 9);  // where a guess would land: far off
    }
    const BodyAngles a = measureAngles(s, kMinVisibility);
    for (int j = 0; j < kJointCount; ++j)
    {
      SCOPED_TRACE(jointName(j));
      const bool hidden = std::find(c.notSeen.begin(), c.notSeen.end(), j) != c.notSeen.end();
      EXPECT_EQ(!hidden, a.seen[j]);
      EXPECT_EQ(!hidden, a.measured[j]);
      if (!hidden)
      {
        EXPECT_NEAR(pose.degrees[j], a.degrees[j], kTolerance);
      }
    }
  }
}

// An arm straight out to the side has no flexion to measure (its projection
// on the sagittal plane is a point): seen, but not measured.
TEST(BodyAngles, AFlexionAlongThePlanesNormalIsSeenButNotMeasured)
{
  PoseCase c = kPoses[0];
  c.degrees[kLeftShoulderAbduction] = 90;
  const BodyAngles a = measureAngles(posed(c), kMinVisibility);
  EXPECT_TRUE(a.seen[kLeftShoulderFlexion]);
  EXPECT_FALSE(a.measured[kLeftShoulderFlexion]);
  ASSERT_TRUE(a.measured[kLeftShoulderAbduction]);
  EXPECT_NEAR(90.0, a.degrees[kLeftShoulderAbduction], kTolerance);
}

TEST(BodyAngles, JointNamesAndSides)
{
  EXPECT_STREQ("left shoulder flexion", jointName(kLeftShoulderFlexion));
  EXPECT_STREQ("right knee flexion", jointName(kRightKneeFlexion));
  EXPECT_STREQ("right hip abduction", jointName(kRightHipAbduction));
  EXPECT_EQ(nullptr, jointName(kJointCount));
  EXPECT_EQ(kRightElbowFlexion, otherSide(kLeftElbowFlexion));
  EXPECT_EQ(kLeftHipFlexion, otherSide(kRightHipFlexion));
}
