// The simulated report reader: every moving joint named.
#include "peer_rig.h"

namespace
{
using namespace peer_test;

TEST(ReportReader, NamesEveryMovingJoint)
{
  Wire wire;
  const auto reader = peer("report_reader", {});
  std_msgs::Int32MultiArray report;
  report.data = {0, 13, 21};
  ASSERT_TRUE(wire.send("variancedJoints", report));
  EXPECT_TRUE(waitFor(
      [&]
      {
        return printed(*reader,
                       "[report] recording 1: 3 joint(s) moved: 0 headyaw, 13 leftkneepitch, 21 rightankleroll\n");
      }))
      << reader->out();

  report.data.clear();
  ASSERT_TRUE(wire.send("variancedJoints", report));
  EXPECT_TRUE(waitFor([&] { return printed(*reader, "[report] recording 2: no joint moved\n"); })) << reader->out();

  report.data = {22};
  ASSERT_TRUE(wire.send("variancedJoints", report));
  EXPECT_TRUE(waitFor([&] { return printed(*reader, "[report] recording 3: 1 joint(s) moved: 22 ?\n"); }));
  // The reader warns before it ends the report's line, on one thread.
  EXPECT_TRUE(warned(*reader, "report 3 names joint 22, which does not exist")) << reader->err();
}
}  // namespace
