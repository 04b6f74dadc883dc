// The peers' tests in one program: each test process has a master of its
// own, and the test node keeps wall time while the peers it starts take
// theirs from its /clock.
#include "processes.h"

#include <ros/ros.h>

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
  ::testing::InitGoogleTest(&argc, argv);
  if (::testing::GTEST_FLAG(list_tests))
    return RUN_ALL_TESTS();
  kinora_test::Master master;
  ros::init(argc, argv, "peers_test", ros::init_options::AnonymousName | ros::init_options::NoSigintHandler);
  ros::start();
  ros::param::set("/use_sim_time", true);
  const int status = RUN_ALL_TESTS();
  ros::shutdown();
  return status;
}
