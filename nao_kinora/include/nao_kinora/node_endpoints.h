// The node object: owns the node handle and every publisher and subscriber.
#ifndef NAO_KINORA_NODE_ENDPOINTS_H
#define NAO_KINORA_NODE_ENDPOINTS_H

#include <ros/ros.h>
#include <std_msgs/Int32.h>
#include <std_msgs/String.h>

// Members are declared in release order (reverse): messages, then publishers,
// then subscribers, then the node handle.
class NaoKinora
{
public:
  NaoKinora();

  ros::NodeHandle nh;
  ros::Subscriber nao_listen_sub;
  ros::Subscriber nao_textsent_sub;
  ros::Subscriber trackingfinishedSub;
  ros::Subscriber motionFinishedSub;
  ros::Publisher m_allAnglesPub;
  ros::Publisher jointAnglePub;
  ros::Publisher nao_listen;
  ros::Publisher nao_talker_filenamePub;
  ros::Publisher nao_talker_textPub;
  ros::Publisher motionStartStopPub;
  ros::Publisher m_speechPub;
  ros::Publisher variancedJointsPub;
  std_msgs::String talker_filename_msg;
  std_msgs::Int32 motionstate_msg;

private:
  NaoKinora(const NaoKinora&);
  NaoKinora& operator=(const NaoKinora&);
};

namespace nao_kinora
{
// Hands what pub has queued to its subscriber connections now. roscpp otherwise
// sends queued messages later, topic by topic in advertisement order, so a peer
// could get the stop signal before the joint list, or a row before its
// feedback cue. Every publish of the node goes through publishNow.
void handOver(const ros::Publisher& pub);

template <class M>
void publishNow(const ros::Publisher& pub, const M& msg)
{
  pub.publish(msg);
  handOver(pub);
}
}  // namespace nao_kinora

#endif  // NAO_KINORA_NODE_ENDPOINTS_H
