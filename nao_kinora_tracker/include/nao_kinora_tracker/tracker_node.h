// The person tracker's node: follows each exercise from its start signal,
// the robot's rows and the person's skeletons, says "trackingfinished" to the
// coaching node when the person has completed the movement, and publishes
// the exercise's TrackingResult once.
//
// Topics (relative): in "motionStartStop", "jointAngleArray", "person_pose",
// COACH/status (the coaching node's ~status); out "trackingfinished",
// "trackingresult". Parameters: docs/tracker.md.
#ifndef NAO_KINORA_TRACKER_TRACKER_NODE_H
#define NAO_KINORA_TRACKER_TRACKER_NODE_H

#include "nao_kinora_tracker/exercise_track.h"

#include <nao_kinora_msgs/PersonPose.h>
#include <nao_kinora_msgs/SessionStatus.h>
#include <ros/ros.h>
#include <std_msgs/Float32MultiArray.h>
#include <std_msgs/Int32.h>

#include <memory>
#include <string>

namespace nao_kinora_tracker
{
// The skeleton a PersonPose carries; false when it has not all 33 landmarks.
bool skeletonOf(const nao_kinora_msgs::PersonPose& pose, Skeleton& skeleton);

class TrackerNode
{
public:
  TrackerNode();
  // False when a parameter was refused: the program then ends with status 1.
  bool ok() const { return ok_; }
  // Serves the topics and the tracker's own timeout until shutdown.
  void run();

private:
  void onStartStop(const std_msgs::Int32::ConstPtr& msg);
  void onRow(const std_msgs::Float32MultiArray::ConstPtr& msg);
  void onPose(const nao_kinora_msgs::PersonPose::ConstPtr& msg);
  void onStatus(const nao_kinora_msgs::SessionStatus::ConstPtr& msg);

  bool readParams();
  void begin();
  void decideIfCompleted();
  void nodeMovedOn(uint8_t phase, const ros::Time& at);
  std::string endedByNode(const ros::Time& at) const;
  void finish(const std::string& endedBy);
  void tellFinished();
  bool open() const { return track_ && !resultSent_; }

  ros::NodeHandle nh_;
  ros::NodeHandle private_{"~"};
  ros::Publisher finishedPub_;
  ros::Publisher resultPub_;
  ros::Subscriber startStopSub_;
  ros::Subscriber rowSub_;
  ros::Subscriber poseSub_;
  ros::Subscriber statusSub_;
  bool ok_ = true;
  TrackerParams params_;
  std::string coach_ = "nao_kinora";
  double timeout_ = 0.0;  // ours, from the stop signal; 0: none

  // The exercise being followed.
  std::unique_ptr<ExerciseTrack> track_;
  int starts_ = 0;
  int recording_ = 0;
  std::string file_;
  bool stopped_ = false;
  ros::Time stoppedAt_;
  bool resultSent_ = false;
  bool finishedSent_ = false;
  bool closing_ = false;      // the coaching node closes: it waits for no one
  bool nodeWaiting_ = false;  // its status showed it waiting for this exercise
  bool nodeLeft_ = false;     // it has gone on without us
  ros::Time waitStart_;
  double nodeTimeout_ = 0.0;  // the coaching node's ~tracking_timeout
};
}  // namespace nao_kinora_tracker

#endif  // NAO_KINORA_TRACKER_TRACKER_NODE_H
