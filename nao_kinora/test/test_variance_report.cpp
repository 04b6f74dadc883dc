// The motion-over report against a real ROS master: the statistics it stores,
// its console lines, and the messages a subscriber node receives, in order.
#include "nao_kinora/variance.h"
#include "processes.h"
#include "test_util.h"

#include <gtest/gtest.h>
#include <ros/callback_queue.h>
#include <ros/ros.h>
#include <std_msgs/Int32.h>
#include <std_msgs/Int32MultiArray.h>

#include <cmath>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

using namespace nao_kinora;

namespace
{
const double kDeliveryWallSeconds = 5.0;

// One message received by the listener.
struct Arrival
{
  std::string topic;
  std::vector<int> joints;  // "variancedJoints" data
  std::size_t dims;         // "variancedJoints" layout
  unsigned dataOffset;
  int value;  // "motionStartStop" data
};

// A subscriber node of its own: both topics on one callback queue, so the
// arrival order is the order in which the messages reached this node.
class Listener
{
public:
  Listener()
  {
    nh_.setCallbackQueue(&queue_);
    joints_ = nh_.subscribe("variancedJoints", 10, &Listener::onJoints, this);
    state_ = nh_.subscribe("motionStartStop", 10, &Listener::onState, this);
  }

  // Serves the queue until count messages have arrived or the wall deadline passed.
  bool waitFor(std::size_t count)
  {
    const ros::WallTime deadline = ros::WallTime::now() + ros::WallDuration(kDeliveryWallSeconds);
    while (arrivals.size() < count && ros::WallTime::now() < deadline)
      queue_.callAvailable(ros::WallDuration(0.01));
    return arrivals.size() >= count;
  }

  std::vector<Arrival> arrivals;

private:
  void onJoints(const std_msgs::Int32MultiArray::ConstPtr& msg)
  {
    Arrival arrival = {"variancedJoints", std::vector<int>(msg->data.begin(), msg->data.end()), msg->layout.dim.size(),
                       msg->layout.data_offset, 0};
    arrivals.push_back(arrival);
  }
  void onState(const std_msgs::Int32::ConstPtr& msg)
  {
    Arrival arrival = {"motionStartStop", std::vector<int>(), 0, 0, msg->data};
    arrivals.push_back(arrival);
  }

  ros::NodeHandle nh_;
  ros::CallbackQueue queue_;
  ros::Subscriber joints_;
  ros::Subscriber state_;
};

JointRow constantRow()
{
  JointRow row;
  for (int c = 0; c < kRowColumns; ++c)
    row[c] = 0.5f * c - 3.0f;
  return row;
}

class Report : public ::testing::Test
{
protected:
  void SetUp()
  {
    play_joints.clear();
    currentargv = 2;
    systemstate = kMotionOver;
    node_.reset(new NaoKinora);
    ASSERT_TRUE(kinora_test::waitWallFor([this] { return connected(); }, kinora_test::kConnectSeconds));
  }

  bool connected() const
  {
    return node_->variancedJointsPub.getNumSubscribers() > 0 && node_->motionStartStopPub.getNumSubscribers() > 0;
  }

  // Runs one report and returns its console text; asserts that the listener
  // then got the joint list and after it the 1 on "motionStartStop".
  std::string report(const std::vector<int>& expectedJoints)
  {
    const int argvBefore = currentargv;
    std::ostringstream console;
    std::streambuf* const saved = std::cout.rdbuf(console.rdbuf());
    motionOverReport(*node_);
    std::cout.rdbuf(saved);

    EXPECT_EQ(argvBefore + 1, currentargv);
    EXPECT_EQ(kWaitingForTracking, systemstate);
    const std::size_t before = listener_.arrivals.size();
    EXPECT_TRUE(listener_.waitFor(before + 2));
    EXPECT_EQ(before + 2, listener_.arrivals.size());
    if (listener_.arrivals.size() == before + 2)
    {
      const Arrival& list = listener_.arrivals[before];
      EXPECT_EQ("variancedJoints", list.topic);
      EXPECT_EQ(expectedJoints, list.joints);
      EXPECT_EQ(0u, list.dims);
      EXPECT_EQ(0u, list.dataOffset);
      const Arrival& state = listener_.arrivals[before + 1];
      EXPECT_EQ("motionStartStop", state.topic);
      EXPECT_EQ(1, state.value);
    }
    EXPECT_EQ(1, node_->motionstate_msg.data);
    return console.str();
  }

  std::unique_ptr<NaoKinora> node_;
  Listener listener_;
};

std::string consoleFor(const std::vector<int>& joints)
{
  std::string text = "motion is over\n";
  for (std::size_t k = 0; k < joints.size(); ++k)
    text += "varianced " + std::to_string(joints[k]) + "\n";
  return text;
}
}  // namespace

TEST_F(Report, ConstantJointsReportNothing)
{
  play_joints.assign(3, constantRow());
  EXPECT_EQ(consoleFor({}), report({}));
  for (int i = 0; i < kJointCount; ++i)
  {
    EXPECT_EQ(constantRow()[i], meanseq[i]) << i;
    EXPECT_EQ(0.0f, varseq[i]) << i;
  }
}

TEST_F(Report, ASingleRowReportsNothing)
{
  JointRow row = constantRow();
  row[4] = 1e6f;
  play_joints.assign(1, row);
  EXPECT_EQ(consoleFor({}), report({}));
  EXPECT_EQ(1e6f, meanseq[4]);
  EXPECT_EQ(0.0f, varseq[4]);
}

TEST_F(Report, OneJointMovingFromZeroToFourTenths)
{
  play_joints.assign(2, constantRow());
  play_joints[0][5] = 0.0f;
  play_joints[1][5] = 0.4f;
  EXPECT_EQ(consoleFor({5}), report({5}));
  EXPECT_EQ(0.2f, meanseq[5]);
  // (0.4f - 0.2f) is 0.2f exactly; the variance is its square rounded once.
  EXPECT_EQ(static_cast<float>(static_cast<double>(0.2f) * 0.2f), varseq[5]);
  EXPECT_NEAR(0.04, varseq[5], 1e-8);
}

TEST_F(Report, TheDurationColumnIsNotAnalysed)
{
  play_joints.assign(4, constantRow());
  for (std::size_t r = 0; r < play_joints.size(); ++r)
    play_joints[r][kDurationColumn] = 1000.0f * r;
  EXPECT_EQ(consoleFor({}), report({}));
}

// Four rows 0, 0, 0, x: x one float apart gives a stored variance of exactly
// the float nearest 0.01, or the next float up.
TEST_F(Report, TheThresholdIsTheDoubleNearestOneHundredth)
{
  const float belowX = 0.230940104f;
  const float aboveX = 0.230940118f;
  ASSERT_EQ(std::nextafter(belowX, 1.0f), aboveX);
  const float nearest = 0.01f;
  const float nextUp = std::nextafter(nearest, 1.0f);

  play_joints.assign(4, constantRow());
  for (int r = 0; r < 4; ++r)
  {
    play_joints[r][3] = 0.0f;
    play_joints[r][7] = 0.0f;
  }
  play_joints[3][3] = belowX;
  play_joints[3][7] = aboveX;
  EXPECT_EQ(consoleFor({7}), report({7}));
  EXPECT_EQ(nearest, varseq[3]);
  EXPECT_EQ(nextUp, varseq[7]);
}

TEST_F(Report, SeveralJointsAreReportedInAscendingOrder)
{
  play_joints.assign(2, constantRow());
  // Two rows d apart give a variance of (d / 2) squared; 0.1 at joint 8 stays below.
  const int changed[] = {0, 4, 8, 13, 21};
  const float spread[] = {3.0f, 0.5f, 0.1f, 50.0f, 1.0f};
  for (int k = 0; k < 5; ++k)
    play_joints[1][changed[k]] += spread[k];
  EXPECT_EQ(consoleFor({0, 4, 13, 21}), report({0, 4, 13, 21}));
}

TEST_F(Report, NoRowsGiveNaNAndAnEmptyList)
{
  EXPECT_EQ(consoleFor({}), report({}));
  for (int i = 0; i < kJointCount; ++i)
  {
    EXPECT_TRUE(std::isnan(meanseq[i])) << i;
    EXPECT_TRUE(std::isnan(varseq[i])) << i;
  }
}

TEST_F(Report, EveryReportAdvancesTheRecordingOnce)
{
  play_joints.assign(2, constantRow());
  play_joints[1][9] = 10.0f;
  EXPECT_EQ(consoleFor({9}), report({9}));
  EXPECT_EQ(3, currentargv);

  systemstate = kMotionOver;
  play_joints.assign(2, constantRow());
  EXPECT_EQ(consoleFor({}), report({}));
  EXPECT_EQ(4, currentargv);
  ASSERT_EQ(4u, listener_.arrivals.size());
}

// Close values far from 0, where a mean kept unrounded, a float sum or the
// divisor N - 1 would each store another float than the one expected.
TEST(CalculateVariance, PopulationVarianceAroundTheFloatMeanSummedInDouble)
{
  const float x[] = {1024.050048828125f, 1024.050048828125f, 1024.0999755859375f};
  const int n = 3;
  std::vector<JointRow> rows(n, constantRow());
  for (int r = 0; r < n; ++r)
    rows[r][6] = x[r];

  const double sum = static_cast<double>(x[0]) + x[1] + x[2];
  const float mean = static_cast<float>(sum / n);
  const float floatMean = (x[0] + x[1] + x[2]) / n;
  double squares = 0;
  double unroundedSquares = 0;
  float floatSquares = 0;
  for (int r = 0; r < n; ++r)
  {
    squares += (x[r] - static_cast<double>(mean)) * (x[r] - static_cast<double>(mean));
    unroundedSquares += (x[r] - sum / n) * (x[r] - sum / n);
    floatSquares += (x[r] - floatMean) * (x[r] - floatMean);
  }
  const float expected = static_cast<float>(squares / n);
  ASSERT_NE(expected, static_cast<float>(unroundedSquares / n));
  ASSERT_NE(expected, floatSquares / n);
  ASSERT_NE(expected, static_cast<float>(squares / (n - 1)));

  calculateVariance(rows);
  EXPECT_EQ(mean, meanseq[6]);
  EXPECT_EQ(expected, varseq[6]);
  EXPECT_EQ(0.0f, varseq[5]);
}

int main(int argc, char** argv)
{
  ::testing::InitGoogleTest(&argc, argv);
  if (::testing::GTEST_FLAG(list_tests))
    return RUN_ALL_TESTS();

  kinora_test::Master master;
  ros::init(argc, argv, "test_report", ros::init_options::NoSigintHandler);
  const int result = RUN_ALL_TESTS();
  ros::shutdown();
  return result;
}
