// The four topic callbacks: the exact console line each writes, that it is
// flushed, and what each does to the run flags. Called directly first, then
// once over the wire through the node object's subscriptions.
#include "nao_kinora/run_flags.h"
#include "ros_harness.h"

#include <gtest/gtest.h>

#include <climits>
#include <iostream>
#include <sstream>

using namespace nao_kinora;

namespace
{
// Captures std::cout; remembers what had been written when it was last flushed.
class CapturedCout : public std::stringbuf
{
public:
  CapturedCout() : previous_(std::cout.rdbuf(this)) {}
  ~CapturedCout() override { std::cout.rdbuf(previous_); }
  const std::string& flushed() const { return flushed_; }

protected:
  int sync() override
  {
    flushed_ = str();
    return 0;
  }

private:
  std::streambuf* previous_;
  std::string flushed_;
};

struct Flags
{
  int systemstate, trackingfinished, firsttime, tempcounter, currentargv;
  float numberofFiles;

  static Flags now()
  {
    return {::systemstate, ::trackingfinished, ::firsttime, ::tempcounter, ::currentargv, ::numberofFiles};
  }
  void apply() const
  {
    ::systemstate = systemstate;
    ::trackingfinished = trackingfinished;
    ::firsttime = firsttime;
    ::tempcounter = tempcounter;
    ::currentargv = currentargv;
    ::numberofFiles = numberofFiles;
  }
  bool operator==(const Flags& o) const
  {
    return systemstate == o.systemstate && trackingfinished == o.trackingfinished && firsttime == o.firsttime &&
           tempcounter == o.tempcounter && currentargv == o.currentargv && numberofFiles == o.numberofFiles;
  }
};

std::ostream& operator<<(std::ostream& out, const Flags& f)
{
  return out << "systemstate " << f.systemstate << " trackingfinished " << f.trackingfinished << " firsttime "
             << f.firsttime << " tempcounter " << f.tempcounter << " currentargv " << f.currentargv << " numberofFiles "
             << f.numberofFiles;
}

// Mid-run values, none of them initial, so any stray write shows.
const Flags kMidRun = {kPlaying, 0, 1, 7, 3, 4.0f};

std_msgs::String::ConstPtr text(const std::string& data)
{
  std_msgs::String::Ptr msg(new std_msgs::String);
  msg->data = data;
  return msg;
}

std_msgs::Int32::ConstPtr number(int data)
{
  std_msgs::Int32::Ptr msg(new std_msgs::Int32);
  msg->data = data;
  return msg;
}

struct TextCase
{
  std::string data;
  std::string shown;
};

const TextCase kTexts[] = {
    {"merhaba robot", "merhaba robot"},
    {"", ""},
    {std::string("yarım\0kalan", 12), "yarım"},
    {std::string("\0hidden", 7), ""},
};

const int kValues[] = {0, -1, 42, INT_MIN, INT_MAX};

class Callbacks : public ::testing::Test
{
protected:
  void SetUp() override { kMidRun.apply(); }
};
}  // namespace

TEST_F(Callbacks, TextCallbacksWriteTheirLineUpToTheFirstNulAndChangeNothing)
{
  const struct
  {
    void (*handle)(const std_msgs::String::ConstPtr&);
    std::string prefix;
  } callbacks[] = {{speechtotextHandle, "I heard speech "}, {textsentHandle, "I sent text yuppi "}};

  for (const auto& callback : callbacks)
    for (const TextCase& c : kTexts)
    {
      SCOPED_TRACE(callback.prefix + "[" + c.shown + "]");
      CapturedCout out;
      callback.handle(text(c.data));
      EXPECT_EQ(callback.prefix + c.shown + "\n", out.flushed());
      EXPECT_EQ(out.flushed(), out.str());
      EXPECT_EQ(kMidRun, Flags::now());
    }
}

TEST_F(Callbacks, TrackingFinishedSetsItsFlagWhateverTheValue)
{
  for (int value : kValues)
  {
    SCOPED_TRACE(value);
    kMidRun.apply();
    CapturedCout out;
    trackingfinishedHandle(number(value));
    EXPECT_EQ("Trackingfinished" + std::to_string(value) + "\n", out.flushed());
    EXPECT_EQ(out.flushed(), out.str());
    Flags expected = kMidRun;
    expected.trackingfinished = 1;
    EXPECT_EQ(expected, Flags::now());
  }
}

// Only a motion being played can end: in states 1 and 2 the line is still
// written but the state stays, so a late message cannot rerun the report.
TEST_F(Callbacks, MotionFinishedEndsOnlyAMotionBeingPlayed)
{
  const struct
  {
    int before, after;
  } states[] = {{kPlaying, kMotionOver}, {kMotionOver, kMotionOver}, {kWaitingForTracking, kWaitingForTracking}};

  for (const auto& state : states)
    for (int value : kValues)
    {
      SCOPED_TRACE("state " + std::to_string(state.before) + " value " + std::to_string(value));
      Flags before = kMidRun;
      before.systemstate = state.before;
      before.apply();
      CapturedCout out;
      motionFinishedHandle(number(value));
      EXPECT_EQ("Motionfinished" + std::to_string(value) + "\n", out.flushed());
      EXPECT_EQ(out.flushed(), out.str());
      Flags expected = before;
      expected.systemstate = state.after;
      EXPECT_EQ(expected, Flags::now());
    }
}

// The same callbacks reached through the node object's subscriptions, in the
// probe: its standard output has the lines, its standard error the flags.
TEST(CallbacksOnTheWire, EachSubscriptionDeliversToItsCallback)
{
  kinora_test::Harness h(false);
  std::unique_ptr<kinora_test::Process> probe = h.start(ENDPOINTS_PROBE);
  std::string expectedOut;
  auto sent = [&](bool published, const std::string& line)
  {
    expectedOut += line + "\n";
    return published && h.waitWall([&] { return probe->out() == expectedOut; }, 5);
  };

  ASSERT_TRUE(sent(h.publishText("speechtotext", "merhaba"), "I heard speech merhaba")) << probe->out();
  ASSERT_TRUE(sent(h.publishText("textsent", std::string("iyi\0gunler", 10)), "I sent text yuppi iyi")) << probe->out();
  ASSERT_TRUE(sent(h.publish("trackingfinished", -3), "Trackingfinished-3")) << probe->out();
  ASSERT_TRUE(sent(h.publish("motionfinished", 0), "Motionfinished0")) << probe->out();

  const std::vector<std::string> flags = {"flags systemstate 0 trackingfinished 1",
                                          "flags systemstate 1 trackingfinished 1"};
  EXPECT_TRUE(h.waitWall([&] { return kinora_test::linesWith(probe->err(), "flags ") == flags; }, 5)) << probe->err();
}
