// The tablet camera in the console: its landmarks (POST /api/pose) checked,
// stamped and published as the person's pose beside the coaching node.
#include "nao_kinora_console/server/console_server.h"

#include "nao_kinora_console/camera/pose_relay.h"
#include "nao_kinora_console/camera/tracker_side.h"
#include "console_replies.h"

namespace nao_kinora_console
{
// On the io thread: the body is bounded (32 KiB), and checking a batch and
// publishing it wait on nothing (roscpp queues what it sends).
void Console::servePose(const std::shared_ptr<HttpSession>& session, const Request& request)
{
  PoseBatch batch;
  const std::string fault = parsePoseBatch(request.body(), batch);
  if (!fault.empty())
  {
    session->reply(replyJson(400, {{"ok", false}, {"message", fault}}));
    return;
  }
  if (!poses_)
    poses_.reset(new PoseRelay(
        [this](const nao_kinora_msgs::PersonPose& pose)
        {
          if (!posePub_)
            posePub_ = nh_.advertise<nao_kinora_msgs::PersonPose>(personPoseTopic(options_.coach), 30);
          posePub_.publish(pose);
        }));
  const PoseRelay::Outcome out = poses_->take(batch, ros::Time::now(), ros::WallTime::now().toSec());
  if (out.refused)
    session->reply(replyJson(409, {{"ok", false},
                                   {"message",
                                    "Another camera is watching the patient: one camera at a time. Stop "
                                    "the other one, or wait two seconds after it stops."}}));
  else
    session->reply(replyJson(200, {{"ok", true}, {"published", out.published}, {"dropped", out.dropped}}));
}
}  // namespace nao_kinora_console
