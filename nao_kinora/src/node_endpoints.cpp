#include "nao_kinora/node_endpoints.h"

#include "nao_kinora/run_flags.h"

#include <nao_msgs/AllAngles.h>
#include <ros/publication.h>
#include <ros/topic_manager.h>
#include <std_msgs/Float32MultiArray.h>
#include <std_msgs/Int32MultiArray.h>

namespace
{
const uint32_t kJointQueue = 10;
const uint32_t kAllAnglesQueue = 5;
const uint32_t kQueue = 1;
}  // namespace

NaoKinora::NaoKinora() : nh("")
{
  jointAnglePub = nh.advertise<std_msgs::Float32MultiArray>("jointAngleArray", kJointQueue);
  m_speechPub = nh.advertise<std_msgs::String>("speech", kQueue);
  m_allAnglesPub = nh.advertise<nao_msgs::AllAngles>("all_angles", kAllAnglesQueue);
  nao_talker_filenamePub = nh.advertise<std_msgs::String>("talkerfilename", kQueue);
  nao_talker_textPub = nh.advertise<std_msgs::String>("talkertext", kQueue);
  nao_listen = nh.advertise<std_msgs::String>("listen", kQueue);
  motionStartStopPub = nh.advertise<std_msgs::Int32>("motionStartStop", kQueue);
  variancedJointsPub = nh.advertise<std_msgs::Int32MultiArray>("variancedJoints", kQueue);

  nao_listen_sub = nh.subscribe("speechtotext", kQueue, speechtotextHandle);
  nao_textsent_sub = nh.subscribe("textsent", kQueue, textsentHandle);
  trackingfinishedSub = nh.subscribe("trackingfinished", kQueue, trackingfinishedHandle);
  motionFinishedSub = nh.subscribe("motionfinished", kQueue, motionFinishedHandle);
}

namespace nao_kinora
{
void handOver(const ros::Publisher& pub)
{
  const ros::PublicationPtr publication = ros::TopicManager::instance()->lookupPublication(pub.getTopic());
  if (publication)
    publication->processPublishQueue();
}
}  // namespace nao_kinora
