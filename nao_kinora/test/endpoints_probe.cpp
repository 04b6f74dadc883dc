// Holds a NaoKinora under the node's name and dispatches its callbacks the way
// the main loop does (one ros::spinOnce per pass), without playing anything, so
// tests can see the endpoints and the callbacks on the wire.
//
// Standard output carries only what the callbacks write. Standard error reports
// what the tests cannot see from outside, one line per change:
//   "subscribers <topic> <n>"  for "all_angles" and "jointAngleArray"
//   "flags systemstate <s> trackingfinished <t>"
#include "nao_kinora/node_endpoints.h"
#include "nao_kinora/run_flags.h"

#include <iostream>

using namespace nao_kinora;

namespace
{
const ros::WallDuration kPassPause(0.001);

struct CountWatch
{
  const char* topic;
  const ros::Publisher& pub;
  uint32_t last;
};

void reportCount(CountWatch& watch)
{
  const uint32_t now = watch.pub.getNumSubscribers();
  if (now != watch.last)
    std::cerr << "subscribers " << watch.topic << " " << now << std::endl;
  watch.last = now;
}

void reportFlags(int& lastState, int& lastTracking)
{
  if (systemstate != lastState || trackingfinished != lastTracking)
    std::cerr << "flags systemstate " << systemstate << " trackingfinished " << trackingfinished << std::endl;
  lastState = systemstate;
  lastTracking = trackingfinished;
}
}  // namespace

int main(int argc, char** argv)
{
  ros::init(argc, argv, "nao_kinora");
  NaoKinora node;
  CountWatch watches[] = {{"all_angles", node.m_allAnglesPub, 0}, {"jointAngleArray", node.jointAnglePub, 0}};
  int lastState = systemstate;
  int lastTracking = trackingfinished;
  while (node.nh.ok())
  {
    ros::spinOnce();
    for (CountWatch& watch : watches)
      reportCount(watch);
    reportFlags(lastState, lastTracking);
    kPassPause.sleep();
  }
  return 0;
}
