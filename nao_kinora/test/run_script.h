// Whole runs of the node: the node started under the harness over generated
// recordings (recordings.h), and the expected run written as a script of lines
// "+SECONDS topic payload" to compare with what the harness recorded.
//
//   run_script::Script s;
//   s.greeting();
//   s.play(rec, run_script::scheduleFor(2));
//   EXPECT_TRUE(run_script::closesAsScripted(h, *node, s, {rec}));
#ifndef NAO_KINORA_TEST_RUN_SCRIPT_H
#define NAO_KINORA_TEST_RUN_SCRIPT_H

#include "recordings.h"
#include "ros_harness.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace run_script
{
// After the greeting cues and after the closing cue.
const int kGreetingPauseMs = 5000;
// The clock step while only whole half seconds can be due.
const double kCoarseTick = 0.5;
// Wall time for a node asked to stop, and its status then. The node ends
// within a second, in a few milliseconds on a quiet machine; the faults the
// bound catches never end while the clock stands still, or end only once a
// 5 s wall pause or the remaining checks of long recordings are over: half of
// that keeps a loaded machine's process teardown from failing a sound node.
const double kShutdownWallSeconds = 2.5;
const int kStoppedStatus = 0;

// The expected run, in the order the messages are sent, with their ROS time
// counted from the greeting, and the test's own actions (messages from the
// peers) at their points of the run. follow() plays it against the node.
class Script
{
public:
  void wait(int ms) { atMs_ += ms; }
  void at(int ms) { atMs_ = ms; }
  int atMs() const { return atMs_; }
  // The clock's step from here on while follow() moves it from one message
  // to the next (kCoarseTick at first): a message sent too early shows only
  // if the clock stops in between.
  void steps(double seconds);
  void cue(const std::string& file);
  void signal(int value);  // on "motionStartStop"
  void row(const Recording& rec, int r);
  // The moving joints on "variancedJoints", then 1 on "motionStartStop".
  void report(const std::vector<int>& joints);
  // "merhaba.wav", 5 s, "aciklama.wav", 5 s.
  void greeting();
  // The start signal, then the opening cues, each followed by its pause.
  void startRecording(const CueSchedule& schedule);
  // Rows first..last, each after its feedback cue and followed by its pause.
  void rows(const Recording& rec, const CueSchedule& schedule, int first, int last);
  // startRecording, rows 0..lastRow (all by default), the report over every row.
  void play(const Recording& rec, const CueSchedule& schedule, int lastRow = -1);
  // Done by follow() at this point, once every message before it has arrived.
  void act(const std::function<void()>& action);
  // The same, with the clock at the last message: during the pause after it.
  void during(const std::function<void()>& action);

  std::vector<std::string> lines() const;

  struct Item
  {
    int atMs;
    std::string line;              // a message, when not empty
    std::function<void()> action;  // or an action
    double step;                   // or else a new clock step
  };
  const std::vector<Item>& items() const { return items_; }

private:
  void add(const std::string& what);

  int atMs_ = 0;
  std::vector<Item> items_;
};

// Plays the script against the node. The greeting (the script's first
// message) is awaited first: a node that found the audio player at its first
// look sends it without the clock moving, otherwise on the next step. From
// there the clock moves to the time of each next message or action in steps
// (Script::steps), and stops there until every message expected by then has
// arrived, however long the node takes: so each message is stamped with the
// time it was due, and a late answer cannot shift it. A message sent late
// never comes in time; one sent early arrives while the clock stops short of
// its time, which coarse steps do 10 ms before each due time as well. Actions
// run when their turn comes, with the clock at their time.
::testing::AssertionResult follow(kinora_test::Harness& h, const Script& s);

// The recorded events as script lines, stamps counted from origin, in the
// order the harness received them (Event::seq), across topics too: the node
// hands each message to its connections before it publishes the next. A
// joint message is named "recording/row" by the row whose float bits it
// carries exactly (with an empty layout), or "?" followed by its values.
std::vector<std::string> describe(const std::vector<kinora_test::Event>& events, ros::Time origin,
                                  const std::vector<Recording>& recordings);

// The recorded run, stamps counted from the greeting, compared with the script.
::testing::AssertionResult ranAsScripted(const kinora_test::Harness& h, const Script& s,
                                         const std::vector<Recording>& recordings);

// Compares two scripts, and on a difference shows where they part.
::testing::AssertionResult sameRun(const std::vector<std::string>& actual, const std::vector<std::string>& expected);

// How every run that plays to its end closes: the script, then the closing
// cue, is followed; the node still runs 4.5 s after the cue and ends at 5 s
// with status 255 without the clock moving on, having sent nothing after the
// cue; and the whole run is the script's.
::testing::AssertionResult closesAsScripted(kinora_test::Harness& h, kinora_test::Process& node, Script s,
                                            const std::vector<Recording>& recordings);

// Called with the clock at the closing cue: the node still runs 4.5 s later,
// and ends at 5 s with status 255 without the clock moving on, having sent
// nothing after the cue.
::testing::AssertionResult closesAfterPause(kinora_test::Harness& h, kinora_test::Process& node);

// Ctrl-C ends the node within kShutdownWallSeconds with status 0.
::testing::AssertionResult stopsOnInterrupt(kinora_test::Process& node);
// The node, asked to stop, ends within kShutdownWallSeconds with status 0.
::testing::AssertionResult endsStopped(kinora_test::Process& node);

// Starts the node with args and _recording_dir:=dir.
std::unique_ptr<kinora_test::Process> startNode(kinora_test::Harness& h, const std::string& dir,
                                                std::vector<std::string> args);

// The node's four outgoing topics.
const std::vector<std::string>& nodeTopics();

// Writes the recordings into dir, records the topics and starts the node
// with the count, the recordings and params ("_name:=value"); returns once it
// publishes the topics to the harness.
std::unique_ptr<kinora_test::Process> startRun(kinora_test::Harness& h, const std::string& dir,
                                               const std::string& count, const std::vector<Recording>& recordings,
                                               const std::vector<std::string>& topics = nodeTopics(),
                                               const std::vector<std::string>& params = {});

// Records the node's four outgoing topics.
void recordAll(kinora_test::Harness& h);

// Waits in wall time, clock still, until the node publishes the topics to the harness.
bool connectedTo(kinora_test::Harness& h, const std::vector<std::string>& topics);

// Waits in wall time, clock still, until the node publishes the four topics
// of recordAll to the harness.
bool connectedToAll(kinora_test::Harness& h);

// Runs the clock in steps of tickSeconds until cond holds (at most
// maxSimSeconds), for phases whose timing the test does not compare.
bool runUntil(kinora_test::Harness& h, double tickSeconds, const std::function<bool()>& cond, double maxSimSeconds);

// Sends an Int32 to the node ("trackingfinished", "motionfinished") and
// returns once the node has taken it in (Harness::settleNow), so that it is
// queued before the clock moves on: the node takes it up at the end of its
// current pass, which the next step may end. False when the node has not
// subscribed.
bool tell(kinora_test::Harness& h, const std::string& topic, int value);

// Number of messages on "motionStartStop" with this value.
std::size_t signals(const kinora_test::Harness& h, int value);

// Whether the text was sent on "talkerfilename".
bool cueSent(const kinora_test::Harness& h, const std::string& file);

// The stamp of the first recorded event (the greeting, in a full run).
ros::Time firstStamp(const kinora_test::Harness& h);
}  // namespace run_script

#endif  // NAO_KINORA_TEST_RUN_SCRIPT_H
