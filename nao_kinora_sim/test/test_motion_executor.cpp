// The simulated motion executor: every joint message checked, progress
// shown, a recording ended on request.
#include "peer_rig.h"

namespace
{
using namespace peer_test;

TEST(MotionExecutor, ChecksEveryJointMessageShowsProgressAndEndsARecordingOnRequest)
{
  Wire wire;
  std::vector<int>& finished = wire.listen("motionfinished");
  wire.setClock(10.0);
  const auto executor = peer("motion_executor", {"_finish_after_rows:=3", "_progress_every:=1.0"});
  ASSERT_TRUE(wire.connected("motionfinished"));

  ASSERT_TRUE(wire.send("motionStartStop", number(0)));
  ASSERT_TRUE(waitFor([&] { return printed(*executor, "[motion] recording 1: start signal\n"); }));
  const float nan = std::numeric_limits<float>::quiet_NaN();
  std_msgs::Float32MultiArray nanJoint = jointMessage(1.0f, 0.04f);
  nanJoint.data[5] = nan;
  const std::vector<std_msgs::Float32MultiArray> rows = {
      jointMessage(1.0f, 2.0f),
      jointMessage(1.0f, 0.04f, 23),
      jointMessage(2.0f, 0.04f),
      jointMessage(1.0f, -0.5f),
      nanJoint,
  };
  for (const std_msgs::Float32MultiArray& row : rows)
    ASSERT_TRUE(wire.send("jointAngleArray", row));
  EXPECT_TRUE(waitFor([&] { return printed(*executor, "motionfinished after 3 rows"); })) << executor->out();
  // Printed once sent: its arrival here is waited for on its own.
  EXPECT_TRUE(waitFor([&] { return !finished.empty(); }));
  // Row 4's warning, the last, comes after those of rows 1-3, from one thread.
  EXPECT_TRUE(waitFor([&] { return warned(*executor, "row 4: malformed joint message: joint 4 is nan"); }))
      << executor->err();
  EXPECT_TRUE(warned(*executor, "row 1: malformed joint message: 23 values instead of 24")) << executor->err();
  EXPECT_TRUE(warned(*executor, "row 2: malformed joint message: first value 2 instead of 1")) << executor->err();
  EXPECT_TRUE(warned(*executor, "row 3: malformed joint message: duration -0.5 is negative or not finite"))
      << executor->err();

  // One more row a simulated second and a half later gives a progress line.
  wire.setClock(11.5);
  ASSERT_TRUE(wire.send("jointAngleArray", jointMessage(1.0f, 0.04f)));
  EXPECT_TRUE(waitFor(
      [&]
      { return printed(*executor, "[motion] recording 1: 6 rows, 1.50 s since row 0, 4.0 rows/s, 4 malformed\n"); }))
      << executor->out();
  ASSERT_TRUE(wire.send("motionStartStop", number(1)));
  EXPECT_TRUE(waitFor(
      [&] { return printed(*executor, "[motion] recording 1: over: 6 rows, 1.50 s since row 0, 4 malformed\n"); }))
      << executor->out();
  EXPECT_EQ(std::vector<int>{3}, finished);  // once per recording
}
}  // namespace
