// Process-wide state of a coaching run and the four topic callbacks that change it.
// Everything here is touched from the main thread only: callbacks run inside the
// one ros::spinOnce of each main-loop pass.
#ifndef NAO_KINORA_RUN_FLAGS_H
#define NAO_KINORA_RUN_FLAGS_H

#include "nao_kinora/joint_row.h"

#include <std_msgs/Int32.h>
#include <std_msgs/String.h>

#include <vector>

namespace nao_kinora
{
// Run states held in systemstate.
const int kPlaying = 0;
const int kMotionOver = 1;
const int kWaitingForTracking = 2;
}  // namespace nao_kinora

extern float numberofFiles;
extern std::vector<nao_kinora::JointRow> play_joints;
extern float meanseq[nao_kinora::kJointCount];
extern float varseq[nao_kinora::kJointCount];
extern std::vector<int> feedbacks;
extern int systemstate;
extern int tempcounter;
extern int currentargv;
extern int firsttime;
extern int trackingfinished;

void speechtotextHandle(const std_msgs::String::ConstPtr& msg);
void textsentHandle(const std_msgs::String::ConstPtr& msg);
void trackingfinishedHandle(const std_msgs::Int32::ConstPtr& msg);
void motionFinishedHandle(const std_msgs::Int32::ConstPtr& msg);

#endif  // NAO_KINORA_RUN_FLAGS_H
