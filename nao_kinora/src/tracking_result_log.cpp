#include "nao_kinora/tracking_result_log.h"

#include "nao_kinora/session_log.h"

#include <cmath>

namespace nao_kinora
{
namespace
{
const uint32_t kQueue = 10;  // one result per exercise: none is dropped

double tenths(double value)
{
  return std::round(value * 10.0) / 10.0;
}
}  // namespace

nlohmann::ordered_json trackingResultFields(const nao_kinora_msgs::TrackingResult& result)
{
  nlohmann::ordered_json joints = nlohmann::ordered_json::array();
  for (const nao_kinora_msgs::JointRange& j : result.joints)
    joints.push_back({{"joint", j.joint},
                      {"seen", static_cast<bool>(j.seen)},
                      {"person", tenths(j.person_degrees)},
                      {"robot", tenths(j.robot_degrees)}});
  nlohmann::ordered_json follow = nullptr;
  if (result.seen && result.follow_score >= 0)
    follow = static_cast<int>(std::lround(result.follow_score));
  return {{"recording", result.recording},
          {"file", result.file},
          {"ended by", result.ended_by},
          {"seen", static_cast<bool>(result.seen)},
          {"seconds", tenths(result.seconds)},
          {"follow", follow},
          {"joints", joints}};
}

TrackingResultLog::TrackingResultLog() : nh_(""), spinner_(1, &queue_)
{
  nh_.setCallbackQueue(&queue_);
  sub_ = nh_.subscribe("trackingresult", kQueue, &TrackingResultLog::onResult, this);
  spinner_.start();
}

TrackingResultLog::~TrackingResultLog()
{
  spinner_.stop();
}

void TrackingResultLog::onResult(const nao_kinora_msgs::TrackingResult::ConstPtr& result)
{
  logEvent("tracking result", trackingResultFields(*result));
}
}  // namespace nao_kinora
