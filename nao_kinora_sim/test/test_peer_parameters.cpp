// A parameter of the wrong type ends a peer, naming it.
#include "peer_rig.h"

namespace
{
using namespace peer_test;

// A parameter of the wrong type (set on the parameter server, as a launch
// file would) ends the peer with status 1 and one error naming it, as the
// node does, instead of a default silently used in its place.
struct BadParameter
{
  std::string name;
  std::string peer;
  std::string parameter;
  XmlRpc::XmlRpcValue value;
};

void PrintTo(const BadParameter& p, std::ostream* os)
{
  *os << p.name;
}

class PeerParameters : public ::testing::TestWithParam<BadParameter>
{
};

TEST_P(PeerParameters, AWrongTypeEndsThePeerNamingIt)
{
  const std::string key = "/" + GetParam().peer + "/" + GetParam().parameter;
  ros::param::set(key, GetParam().value);
  auto p = peer(GetParam().peer, {});
  const bool ended = p->waitExit(kDeadline);
  ros::param::del(key);
  ASSERT_TRUE(ended) << p->err();
  EXPECT_EQ(1, p->exitStatus());
  EXPECT_NE(std::string::npos, p->err().find("~" + GetParam().parameter)) << p->err();
}

INSTANTIATE_TEST_SUITE_P(
    Refused, PeerParameters,
    ::testing::Values(
        BadParameter{"ClockSpeedText", "sim_clock", "speed", XmlRpc::XmlRpcValue("fast")},
        BadParameter{"ClockRateTruth", "sim_clock", "rate", XmlRpc::XmlRpcValue(true)},
        BadParameter{"ClockStepText", "sim_clock", "max_step", XmlRpc::XmlRpcValue("small")},
        BadParameter{"TrackingWaitText", "tracking_node", "wait", XmlRpc::XmlRpcValue("soon")},
        BadParameter{"TrackingWaitNegative", "tracking_node", "wait", XmlRpc::XmlRpcValue(-1.0)},
        BadParameter{"ExecutorProgressText", "motion_executor", "progress_every", XmlRpc::XmlRpcValue("often")},
        BadParameter{"ExecutorRowsFraction", "motion_executor", "finish_after_rows", XmlRpc::XmlRpcValue(2.5)},
        BadParameter{"ExecutorDirTruth", "motion_executor", "recording_dir", XmlRpc::XmlRpcValue(true)},
        BadParameter{"AudioFolderTruth", "audio_player", "sound_dir", XmlRpc::XmlRpcValue(false)},
        BadParameter{"AudioPlayerNumber", "audio_player", "player", XmlRpc::XmlRpcValue(1.5)}),
    [](const ::testing::TestParamInfo<BadParameter>& info) { return info.param.name; });
}  // namespace
