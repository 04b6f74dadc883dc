#include "nao_kinora_tracker/tracker_node.h"

#include <nao_kinora/joint_row.h>
#include <nao_kinora/parameters.h>
#include <nao_kinora_msgs/TrackingResult.h>
#include <ros/callback_queue.h>

#include <cstdio>

namespace nao_kinora_tracker
{
namespace
{
typedef nao_kinora_msgs::SessionStatus Status;
const int kStartSignal = 0;
const int kStopSignal = 1;
// A row on "jointAngleArray": a leading 1.0, the 22 angles, the duration.
const size_t kRowValues = 1 + nao_kinora::kRowColumns;
// How often the loop looks at the tracker's own timeout; under a simulated
// clock the loop must come round often, as the simulated tracker's does.
const ros::WallDuration kPoll(0.001);
// A "trackingfinished" this near the coaching node's own tracking timeout
// could arrive after it has gone on, and count for the next exercise.
const double kTimeoutGuard = 0.5;

uint8_t effectivePhase(const Status& s)
{
  return s.phase == Status::PHASE_PAUSED ? s.paused_phase : s.phase;
}
}  // namespace

bool skeletonOf(const nao_kinora_msgs::PersonPose& pose, Skeleton& skeleton)
{
  if (pose.landmarks.size() != size_t(kLandmarkCount))
    return false;
  for (int i = 0; i < kLandmarkCount; ++i)
  {
    const auto& l = pose.landmarks[i];
    skeleton.points[i] = vec(l.x, l.y, l.z);
    skeleton.visibility[i] = l.visibility;
  }
  return true;
}

TrackerNode::TrackerNode()
{
  ok_ = readParams();
  if (!ok_)
    return;
  finishedPub_ = nh_.advertise<std_msgs::Int32>("trackingfinished", 1);
  resultPub_ = nh_.advertise<nao_kinora_msgs::TrackingResult>("trackingresult", 10);
  startStopSub_ = nh_.subscribe("motionStartStop", 10, &TrackerNode::onStartStop, this);
  rowSub_ = nh_.subscribe("jointAngleArray", 100, &TrackerNode::onRow, this);
  poseSub_ = nh_.subscribe("person_pose", 100, &TrackerNode::onPose, this);
  statusSub_ = nh_.subscribe(coach_ + "/status", 10, &TrackerNode::onStatus, this);
}

bool TrackerNode::readParams()
{
  using nao_kinora::readNumberParam;
  using nao_kinora::readSecondsParam;
  TrackerParams& p = params_;
  return readNumberParam("min_visibility", p.minVisibility, 0.0, 1.0, "a visibility from 0 to 1") &&
         readNumberParam("moving_degrees", p.movingDegrees, 0.0, 180.0, "degrees") &&
         readNumberParam("reach_fraction", p.reachFraction, 0.0, 1.0, "a fraction from 0 to 1") &&
         readNumberParam("back_fraction", p.backFraction, 0.0, 1.0, "a fraction from 0 to 1") &&
         readNumberParam("still_degrees", p.stillDegrees, 0.0, 180.0, "degrees") &&
         readSecondsParam("settle_seconds", p.settleSeconds) && readSecondsParam("smooth_seconds", p.smoothSeconds) &&
         readSecondsParam("max_lag_seconds", p.maxLagSeconds) &&
         readNumberParam("score_rate", p.scoreRate, 1.0, 100.0, "samples per second") &&
         readSecondsParam("timeout", timeout_) && nao_kinora::readTextParam("coach", coach_) &&
         nao_kinora::readTruthParam("mirror", p.mirror);
}

void TrackerNode::run()
{
  while (ros::ok())
  {
    ros::getGlobalCallbackQueue()->callAvailable(kPoll);
    if (open() && stopped_ && timeout_ > 0.0 && (ros::Time::now() - stoppedAt_).toSec() >= timeout_)
    {
      ROS_WARN("the person did not complete recording %d within the tracker's timeout of %g s", recording_, timeout_);
      tellFinished();
      finish("timeout");
    }
  }
}

void TrackerNode::onStartStop(const std_msgs::Int32::ConstPtr& msg)
{
  const ros::Time now = ros::Time::now();
  if (msg->data == kStartSignal)
  {
    // A start before our answer: the coaching node went on without it.
    if (open())
      finish(endedByNode(now));
    begin();
  }
  else if (msg->data == kStopSignal && track_ && !stopped_)
  {
    stopped_ = true;
    stoppedAt_ = now;
    nodeTimeout_ = 0.0;
    ros::param::get(coach_ + "/tracking_timeout", nodeTimeout_);
    track_->robotDone(now.toSec());
    decideIfCompleted();
  }
}

void TrackerNode::begin()
{
  // The plan may say otherwise for each session: read again at every start.
  nao_kinora::readTruthParam("mirror", params_.mirror);
  track_.reset(new ExerciseTrack(ros::Time::now().toSec(), params_));
  ++starts_;
  recording_ = starts_;
  file_.clear();
  stopped_ = resultSent_ = finishedSent_ = closing_ = nodeWaiting_ = nodeLeft_ = false;
}

void TrackerNode::onRow(const std_msgs::Float32MultiArray::ConstPtr& msg)
{
  if (!track_ || stopped_ || msg->data.size() != kRowValues)
    return;
  nao_kinora::JointRow row;
  std::copy(msg->data.begin() + 1, msg->data.end(), row.begin());
  track_->addRobotRow(ros::Time::now().toSec(), row);
}

void TrackerNode::onPose(const nao_kinora_msgs::PersonPose::ConstPtr& msg)
{
  if (!open())
    return;
  Skeleton skeleton;
  const bool whole = skeletonOf(*msg, skeleton);
  if (msg->in_view && !whole)
    ROS_WARN_THROTTLE(10, "person_pose from [%s] has %zu landmarks, not %d: ignored", msg->source.c_str(),
                      msg->landmarks.size(), kLandmarkCount);
  const ros::Time t = msg->header.stamp.isZero() ? ros::Time::now() : msg->header.stamp;
  track_->addPerson(t.toSec(), msg->in_view && whole, skeleton);
  decideIfCompleted();
}

void TrackerNode::onStatus(const nao_kinora_msgs::SessionStatus::ConstPtr& msg)
{
  if (!open())
    return;
  const uint8_t phase = effectivePhase(*msg);
  const bool ours = msg->recording == recording_;
  if (!stopped_)
  {
    if (phase == Status::PHASE_OPENING_CUE || phase == Status::PHASE_PLAYING || phase == Status::PHASE_REPORT)
    {
      recording_ = msg->recording;
      file_ = msg->file;
    }
    return;
  }
  // A status of this exercise still playing may come after its stop signal:
  // only another recording, the closing or the end mean the node went on.
  if (!ours || phase == Status::PHASE_CLOSING || phase == Status::PHASE_OVER)
    nodeMovedOn(phase, msg->stamp);
  else if (phase == Status::PHASE_WAITING_FOR_TRACKING)
  {
    if (!nodeWaiting_)
      waitStart_ = msg->stamp - ros::Duration(msg->tracking_wait);
    nodeWaiting_ = true;
  }
}

// The coaching node left this exercise's wait, or never waits for it.
void TrackerNode::nodeMovedOn(uint8_t phase, const ros::Time& at)
{
  nodeLeft_ = true;
  if (phase == Status::PHASE_CLOSING && !nodeWaiting_)
  {
    // After its last exercise it closes without waiting: the person may
    // still be finishing, and the result can still go out.
    closing_ = true;
    return;
  }
  if (phase == Status::PHASE_CLOSING || phase == Status::PHASE_OVER)
    finish("ended");
  else
    finish(endedByNode(at));
}

std::string TrackerNode::endedByNode(const ros::Time& at) const
{
  if (nodeWaiting_ && nodeTimeout_ > 0.0 && (at - waitStart_).toSec() >= nodeTimeout_ - kTimeoutGuard)
    return "timeout";
  return "skipped";
}

void TrackerNode::decideIfCompleted()
{
  if (!open() || !track_->completed())
    return;
  tellFinished();
  finish("completed");
}

void TrackerNode::tellFinished()
{
  if (finishedSent_ || nodeLeft_ || closing_)
    return;
  if (nodeWaiting_ && nodeTimeout_ > 0.0 && (ros::Time::now() - waitStart_).toSec() >= nodeTimeout_ - kTimeoutGuard)
    return;
  finishedSent_ = true;
  std_msgs::Int32 done;
  done.data = recording_;
  finishedPub_.publish(done);
}

void TrackerNode::finish(const std::string& endedBy)
{
  const ros::Time now = ros::Time::now();
  const ExerciseSummary summary = track_->summarize(now.toSec());
  nao_kinora_msgs::TrackingResult result;
  result.header.stamp = now;
  result.recording = recording_;
  result.file = file_;
  result.ended_by = endedBy;
  result.seen = summary.seen;
  result.seconds = float((now.toSec() - track_->start()));
  result.follow_score = float(summary.followScore);
  for (const JointSummary& j : summary.joints)
  {
    nao_kinora_msgs::JointRange range;
    range.joint = jointName(j.joint);
    range.seen = j.seen;
    range.person_degrees = float(j.personDegrees);
    range.robot_degrees = float(j.robotDegrees);
    result.joints.push_back(range);
  }
  resultPub_.publish(result);
  resultSent_ = true;
  std::string ranges;
  for (const nao_kinora_msgs::JointRange& j : result.joints)
  {
    char range[120];
    std::snprintf(range, sizeof range, j.seen ? "; %s %.0f (robot %.0f)" : "; %s not seen (robot %.0f)",
                  j.joint.c_str(), j.seen ? j.person_degrees : j.robot_degrees, j.robot_degrees);
    ranges += range;
  }
  ROS_INFO("recording %d (%s): %s after %.1f s, %s%s", recording_, file_.c_str(), endedBy.c_str(), result.seconds,
           summary.seen ? ("follow " + std::to_string(summary.followScore)).c_str() : "not seen", ranges.c_str());
}
}  // namespace nao_kinora_tracker
