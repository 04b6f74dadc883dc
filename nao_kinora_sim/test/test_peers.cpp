// The simulated peers, each started as a program against a private master and
// driven through its topics; the test owns /clock where ROS time matters.
#include "processes.h"
#include "test_util.h"

#include <ros/ros.h>
#include <rosgraph_msgs/Clock.h>
#include <std_msgs/Float32MultiArray.h>
#include <std_msgs/Int32.h>
#include <std_msgs/Int32MultiArray.h>
#include <std_msgs/String.h>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace
{
const std::string kPeers = SIM_BIN_DIR;
const double kDeadline = 10.0;  // wall seconds for anything to happen
// Wall time for a message to reach a peer after its clock has moved, and for
// a peer to show that it did nothing.
const double kSettle = 0.3;

using kinora_test::Process;
using kinora_test::readFile;

// Polls cond in wall time, serving this node's callbacks, until it holds.
bool waitFor(const std::function<bool()>& cond, double seconds = kDeadline)
{
  return kinora_test::waitWallFor(
      [&]
      {
        ros::spinOnce();
        return cond();
      },
      seconds, 0.01);
}

void settle()
{
  waitFor([] { return false; }, kSettle);
}

// A simulated peer started by the test.
std::unique_ptr<Process> peer(const std::string& name, std::vector<std::string> args)
{
  args.insert(args.begin(), kPeers + "/" + name);
  return std::unique_ptr<Process>(new Process(args));
}

// How often the threads of a program other than its main thread have been
// given a CPU, from the kernel's counts.
long threadRunsBesidesMain(pid_t pid)
{
  long sum = 0;
  std::error_code gone;
  for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", gone))
  {
    if (task.path().filename() == std::to_string(pid))
      continue;
    long onCpu = 0, waiting = 0, runs = 0;
    std::ifstream(task.path() / "schedstat") >> onCpu >> waiting >> runs;
    sum += runs;
  }
  return sum;
}

bool printed(const Process& p, const std::string& text)
{
  return kinora_test::contains(p.out(), text);
}

bool warned(const Process& p, const std::string& text)
{
  return kinora_test::contains(p.err(), text);
}

// The test node's side of the peers' topics.
class Wire
{
public:
  Wire() { clockPub_ = nh_.advertise<rosgraph_msgs::Clock>("/clock", 1, true); }

  template <class M>
  ros::Publisher& to(const std::string& topic)
  {
    ros::Publisher& pub = pubs_[topic];
    if (!pub)
      pub = nh_.advertise<M>(topic, 100);
    return pub;
  }

  // Publishes once the topic has a subscriber.
  template <class M>
  bool send(const std::string& topic, const M& msg)
  {
    ros::Publisher& pub = to<M>(topic);
    if (!waitFor([&] { return pub.getNumSubscribers() > 0; }))
      return false;
    pub.publish(msg);
    return true;
  }

  void setClock(double seconds)
  {
    rosgraph_msgs::Clock clock;
    clock.clock = ros::Time(seconds);
    clockPub_.publish(clock);
    settle();
  }

  // Keeps the std_msgs/Int32 values that arrive on topic.
  std::vector<int>& listen(const std::string& topic)
  {
    std::vector<int>& values = values_[topic];
    subs_.push_back(nh_.subscribe<std_msgs::Int32>(
        topic, 10, [&values](const std_msgs::Int32::ConstPtr& m) { values.push_back(m->data); }));
    return values;
  }

  bool connected(const std::string& topic)
  {
    for (const ros::Subscriber& sub : subs_)
      if (sub.getTopic() == ros::names::resolve(topic))
        return waitFor([&] { return sub.getNumPublishers() > 0; });
    return false;
  }

private:
  ros::NodeHandle nh_;
  ros::Publisher clockPub_;
  std::map<std::string, ros::Publisher> pubs_;
  std::map<std::string, std::vector<int>> values_;
  std::vector<ros::Subscriber> subs_;
};

std_msgs::String text(const std::string& s)
{
  std_msgs::String msg;
  msg.data = s;
  return msg;
}

std_msgs::Int32 number(int value)
{
  std_msgs::Int32 msg;
  msg.data = value;
  return msg;
}

std_msgs::Float32MultiArray jointMessage(float marker, float duration, std::size_t size = 24)
{
  std_msgs::Float32MultiArray msg;
  msg.data.assign(size, 0.25f);
  msg.data.front() = marker;
  msg.data.back() = duration;
  return msg;
}

TEST(AudioPlayer, PrintsEachCueWithItsRosTimeAndPlaysItsFileWhenThereIsOne)
{
  kinora_test::TempDir dir;
  const std::string sounds = dir.path() + "sounds";
  const std::string played = dir.path() + "played";
  dir.makeDir("sounds");
  dir.write("sounds/merhaba.wav", "RIFF");
  const std::string player = dir.write("player.sh", "#!/bin/sh\necho \"$1\" >> " + played + "\n");
  chmod(player.c_str(), 0755);

  Wire wire;
  wire.setClock(100.5);
  const auto audio = peer("audio_player", {"_sound_dir:=" + sounds, "_player:=" + player});
  ASSERT_TRUE(waitFor([&] { return printed(*audio, "playing cues from " + sounds + " with " + player); }));

  ASSERT_TRUE(wire.send("talkerfilename", text("merhaba.wav")));
  EXPECT_TRUE(
      waitFor([&] { return printed(*audio, "[audio]    +0.000 s  cue merhaba.wav          (ROS time 100.500)\n"); }))
      << audio->out();
  EXPECT_TRUE(waitFor([&] { return readFile(played) == sounds + "/merhaba.wav\n"; })) << readFile(played);

  wire.setClock(105.75);
  ASSERT_TRUE(wire.send("talkerfilename", text("aciklama.wav")));
  EXPECT_TRUE(
      waitFor([&] { return printed(*audio, "[audio]    +5.250 s  cue aciklama.wav         (ROS time 105.750)\n"); }))
      << audio->out();
  EXPECT_TRUE(waitFor([&] { return warned(*audio, "no sound file [" + sounds + "/aciklama.wav]"); })) << audio->err();
  EXPECT_EQ(sounds + "/merhaba.wav\n", readFile(played));
}

TEST(AudioPlayer, WithoutASoundFolderOnlyPrints)
{
  Wire wire;
  wire.setClock(7.0);
  const auto audio = peer("audio_player", {"_player:=/bin/false"});
  ASSERT_TRUE(wire.send("talkerfilename", text("bitis.wav")));
  EXPECT_TRUE(waitFor([&] { return printed(*audio, "cue bitis.wav"); }));
  EXPECT_TRUE(printed(*audio, "[audio] no sound folder given: cues are printed only\n"));
}

TEST(MotionExecutor, ChecksEveryJointMessageShowsProgressAndEndsARecordingOnRequest)
{
  Wire wire;
  std::vector<int>& finished = wire.listen("motionfinished");
  wire.setClock(10.0);
  const auto executor = peer("motion_executor", {"_finish_after_rows:=3", "_progress_every:=1.0"});
  ASSERT_TRUE(wire.connected("motionfinished"));

  ASSERT_TRUE(wire.send("motionStartStop", number(0)));
  ASSERT_TRUE(waitFor([&] { return printed(*executor, "[motion] recording 1: start signal\n"); }));
  const float nan = std::numeric_limits<float>::quiet_NaN();
  std_msgs::Float32MultiArray nanJoint = jointMessage(1.0f, 0.04f);
  nanJoint.data[5] = nan;
  const std::vector<std_msgs::Float32MultiArray> rows = {
      jointMessage(1.0f, 2.0f),
      jointMessage(1.0f, 0.04f, 23),
      jointMessage(2.0f, 0.04f),
      jointMessage(1.0f, -0.5f),
      nanJoint,
  };
  for (const std_msgs::Float32MultiArray& row : rows)
    ASSERT_TRUE(wire.send("jointAngleArray", row));
  EXPECT_TRUE(waitFor([&] { return printed(*executor, "motionfinished after 3 rows"); })) << executor->out();
  // Printed once sent: its arrival here is waited for on its own.
  EXPECT_TRUE(waitFor([&] { return !finished.empty(); }));
  // Row 4's warning, the last, comes after those of rows 1-3, from one thread.
  EXPECT_TRUE(waitFor([&] { return warned(*executor, "row 4: malformed joint message: joint 4 is nan"); }))
      << executor->err();
  EXPECT_TRUE(warned(*executor, "row 1: malformed joint message: 23 values instead of 24")) << executor->err();
  EXPECT_TRUE(warned(*executor, "row 2: malformed joint message: first value 2 instead of 1")) << executor->err();
  EXPECT_TRUE(warned(*executor, "row 3: malformed joint message: duration -0.5 is negative or not finite"))
      << executor->err();

  // One more row a simulated second and a half later gives a progress line.
  wire.setClock(11.5);
  ASSERT_TRUE(wire.send("jointAngleArray", jointMessage(1.0f, 0.04f)));
  EXPECT_TRUE(waitFor(
      [&]
      { return printed(*executor, "[motion] recording 1: 6 rows, 1.50 s since row 0, 4.0 rows/s, 4 malformed\n"); }))
      << executor->out();
  ASSERT_TRUE(wire.send("motionStartStop", number(1)));
  EXPECT_TRUE(waitFor(
      [&] { return printed(*executor, "[motion] recording 1: over: 6 rows, 1.50 s since row 0, 4 malformed\n"); }))
      << executor->out();
  EXPECT_EQ(std::vector<int>{3}, finished);  // once per recording
}

TEST(TrackingNode, ReportsTrackingFinishedItsWaitAfterEachMotionInRosTime)
{
  Wire wire;
  std::vector<int>& finished = wire.listen("trackingfinished");
  wire.setClock(50.0);
  const auto tracker = peer("tracking_node", {"_wait:=2.0"});
  ASSERT_TRUE(wire.connected("trackingfinished"));

  ASSERT_TRUE(wire.send("motionStartStop", number(0)));
  ASSERT_TRUE(wire.send("motionStartStop", number(1)));
  ASSERT_TRUE(waitFor([&] { return printed(*tracker, "[tracking] motion 1 over: tracking for 2.00 s\n"); }));
  wire.setClock(51.9);
  settle();
  EXPECT_TRUE(finished.empty());
  wire.setClock(52.0);
  EXPECT_TRUE(waitFor([&] { return finished == std::vector<int>{1}; }));

  ASSERT_TRUE(wire.send("motionStartStop", number(1)));
  ASSERT_TRUE(waitFor([&] { return printed(*tracker, "motion 2 over"); }));
  wire.setClock(54.0);
  EXPECT_TRUE(waitFor([&] { return finished == std::vector<int>({1, 2}); }));

  // Its waits over, no thread of it keeps waking: a ROS timer's thread polls
  // a simulated clock every millisecond for the program's life (about 500
  // runs in this half second), and holds every tick of a driven clock open.
  const long before = threadRunsBesidesMain(tracker->pid());
  ros::WallDuration(0.5).sleep();
  EXPECT_LT(threadRunsBesidesMain(tracker->pid()) - before, 50);
}

TEST(ReportReader, NamesEveryMovingJoint)
{
  Wire wire;
  const auto reader = peer("report_reader", {});
  std_msgs::Int32MultiArray report;
  report.data = {0, 13, 21};
  ASSERT_TRUE(wire.send("variancedJoints", report));
  EXPECT_TRUE(waitFor(
      [&]
      {
        return printed(*reader,
                       "[report] recording 1: 3 joint(s) moved: 0 headyaw, 13 leftkneepitch, 21 rightankleroll\n");
      }))
      << reader->out();

  report.data.clear();
  ASSERT_TRUE(wire.send("variancedJoints", report));
  EXPECT_TRUE(waitFor([&] { return printed(*reader, "[report] recording 2: no joint moved\n"); })) << reader->out();

  report.data = {22};
  ASSERT_TRUE(wire.send("variancedJoints", report));
  EXPECT_TRUE(waitFor([&] { return printed(*reader, "[report] recording 3: 1 joint(s) moved: 22 ?\n"); }));
  // The reader warns before it ends the report's line, on one thread.
  EXPECT_TRUE(warned(*reader, "report 3 names joint 22, which does not exist")) << reader->err();
}

TEST(SimClock, RunsAtItsSpeedFromWallNowInSmallSteps)
{
  ros::NodeHandle nh;
  std::vector<std::pair<ros::WallTime, ros::Time>> ticks;  // arrival, clock
  ros::Subscriber sub = nh.subscribe<rosgraph_msgs::Clock>("/clock", 1000,
                                                           [&](const rosgraph_msgs::Clock::ConstPtr& m)
                                                           { ticks.emplace_back(ros::WallTime::now(), m->clock); });
  const ros::WallTime started = ros::WallTime::now();
  const auto clock = peer("sim_clock", {"_speed:=10", "_max_step:=0.02"});
  // Two wall seconds: the ticks are stamped when this thread takes them up,
  // up to a few tens of milliseconds late on a loaded machine, which moves
  // the speed measured below by a few percent at most.
  ASSERT_TRUE(waitFor([&] { return ticks.size() > 1000; })) << clock->err();

  const auto first = ticks.front();
  const auto last = ticks.back();
  // clock = S + 10 (wall - S), S the wall time at which the clock started;
  // taken up d late, a tick puts S 1.1 d later. Another start (0, or the
  // clock of another program) would be off by far more than half a second.
  const double clockStart = (10 * first.first.toSec() - first.second.toSec()) / 9;
  EXPECT_GE(clockStart, started.toSec() - 0.05);
  EXPECT_LT(clockStart, started.toSec() + 0.5);
  EXPECT_NEAR(10.0, (last.second - first.second).toSec() / (last.first - first.first).toSec(), 1.0);
  // 10x at 500 updates per wall second: a step of 0.02 s, longer only after a
  // late wakeup (then the next one is shorter); at the rate it was asked (100
  // per second) a step would be 0.1 s.
  std::vector<double> steps;
  for (std::size_t k = 1; k < ticks.size(); ++k)
    steps.push_back((ticks[k].second - ticks[k - 1].second).toSec());
  std::nth_element(steps.begin(), steps.begin() + steps.size() / 2, steps.end());
  EXPECT_NEAR(0.02, steps[steps.size() / 2], 0.01);
  EXPECT_TRUE(printed(*clock, "[clock] /clock at 10x wall speed, 500 updates per second\n")) << clock->out();
}

}  // namespace

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

// Each test process has a master of its own on a free loopback port; the test
// node keeps wall time, the peers it starts take theirs from its /clock.
int main(int argc, char** argv)
{
  ::testing::InitGoogleTest(&argc, argv);
  if (::testing::GTEST_FLAG(list_tests))
    return RUN_ALL_TESTS();
  kinora_test::Master master;
  ros::init(argc, argv, "peers_test", ros::init_options::AnonymousName | ros::init_options::NoSigintHandler);
  ros::start();
  ros::param::set("/use_sim_time", true);
  const int status = RUN_ALL_TESTS();
  ros::shutdown();
  return status;
}
