#include "nao_kinora/operator_control.h"

#include "nao_kinora/operator_state.h"
#include "nao_kinora/session_speed.h"

#include <boost/make_shared.hpp>

namespace nao_kinora
{
namespace
{
const uint32_t kServiceThreads = 1;

// Ends the session loop's wait for callbacks, so that it takes up a request now.
class WakeSessionLoop : public ros::CallbackInterface
{
public:
  CallResult call() override { return Success; }
};

template <class Response>
bool answer(const Answer& a, Response& response)
{
  if (a.success)
    ros::getGlobalCallbackQueue()->addCallback(boost::make_shared<WakeSessionLoop>());
  response.success = a.success;
  response.message = a.message;
  return true;
}
}  // namespace

OperatorControl::OperatorControl() : nh_("~"), spinner_(kServiceThreads, &queue_)
{
  nh_.setCallbackQueue(&queue_);
  pauseService_ = nh_.advertiseService("pause_playback", &OperatorControl::pause, this);
  skipService_ = nh_.advertiseService("skip_exercise", &OperatorControl::skip, this);
  endService_ = nh_.advertiseService("end_session", &OperatorControl::end, this);
  speedService_ = nh_.advertiseService("set_speed", &OperatorControl::setSpeed, this);
  spinner_.start();
}

OperatorControl::~OperatorControl()
{
  spinner_.stop();
}

bool OperatorControl::pause(std_srvs::SetBool::Request& request, std_srvs::SetBool::Response& response)
{
  return answer(requestPause(request.data), response);
}

bool OperatorControl::skip(std_srvs::Trigger::Request&, std_srvs::Trigger::Response& response)
{
  return answer(requestSkip(), response);
}

bool OperatorControl::end(std_srvs::Trigger::Request&, std_srvs::Trigger::Response& response)
{
  return answer(requestEnd(), response);
}

bool OperatorControl::setSpeed(nao_kinora_msgs::SetSpeed::Request& request,
                               nao_kinora_msgs::SetSpeed::Response& response)
{
  return answer(requestSpeed(request.speed), response);
}
}  // namespace nao_kinora
