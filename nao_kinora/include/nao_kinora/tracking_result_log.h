// The person tracker's results in the session log: each TrackingResult heard
// on "trackingresult" becomes one "tracking result" line. Served from a
// callback queue and a thread of its own, so a result that comes while the
// main thread pauses (the closing cue after the last exercise) is logged
// all the same. Without a session log it only listens.
#ifndef NAO_KINORA_TRACKING_RESULT_LOG_H
#define NAO_KINORA_TRACKING_RESULT_LOG_H

#include <nao_kinora_msgs/TrackingResult.h>
#include <nlohmann/json.hpp>
#include <ros/callback_queue.h>
#include <ros/ros.h>

namespace nao_kinora
{
// The log line's fields after "time" and "event": recording, file, ended by,
// seen, seconds, follow (null when not seen) and joints, degrees to 0.1.
nlohmann::ordered_json trackingResultFields(const nao_kinora_msgs::TrackingResult& result);

class TrackingResultLog
{
public:
  TrackingResultLog();
  ~TrackingResultLog();
  TrackingResultLog(const TrackingResultLog&) = delete;
  TrackingResultLog& operator=(const TrackingResultLog&) = delete;

private:
  void onResult(const nao_kinora_msgs::TrackingResult::ConstPtr& result);

  ros::CallbackQueue queue_;
  ros::NodeHandle nh_;
  ros::Subscriber sub_;
  ros::AsyncSpinner spinner_;
};
}  // namespace nao_kinora

#endif  // NAO_KINORA_TRACKING_RESULT_LOG_H
