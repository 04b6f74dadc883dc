// nao_kinora_tracker: watches the person follow each exercise (docs/tracker.md).
#include "nao_kinora_tracker/tracker_node.h"

int main(int argc, char** argv)
{
  ros::init(argc, argv, "nao_kinora_tracker");
  nao_kinora_tracker::TrackerNode tracker;
  if (!tracker.ok())
    return 1;
  tracker.run();
  return 0;
}
