#include "run_script.h"

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <iomanip>
#include <locale>
#include <map>
#include <sstream>

using kinora_test::Event;
using kinora_test::Harness;
using kinora_test::Process;

namespace run_script
{
namespace
{
const int kContextLines = 3;               // shown around the first difference of two scripts
const double kEarlyExitWallSeconds = 0.2;  // for a node that should not end yet
const double kFirstLookWallSeconds = 0.5;  // for a greeting sent without the clock moving
const double kAnswerWallSeconds = 10.0;    // for a message that is due
const ros::Duration kApproach(0.01);       // how early a coarse step stops before a due time
const int kClosedStatus = 255;
const int kFailureConsoleLines = 5;

std::string joinInts(const std::vector<int>& values)
{
  std::string text = "[";
  for (std::size_t k = 0; k < values.size(); ++k)
    text += (k ? " " : "") + std::to_string(values[k]);
  return text + "]";
}

std::string joinFloats(const std::vector<float>& values)
{
  std::ostringstream text;
  text.imbue(std::locale::classic());
  text << std::setprecision(9);
  for (float v : values)
    text << ' ' << v;
  return text.str();
}

std::string stampText(ros::Duration offset)
{
  char text[32];
  std::snprintf(text, sizeof(text), "%+.3f", offset.toSec());
  return text;
}

std::string layoutText(const Event& e)
{
  return (e.layoutDims || e.dataOffset) ? " with a layout" : "";
}

std::string payload(const Event& e, const std::map<std::string, std::string>& rows)
{
  const std::string base = e.topic.substr(e.topic.rfind('/') + 1);
  if (base == "talkerfilename")
    return e.text;
  if (base == "motionStartStop")
    return std::to_string(e.value);
  if (base == "variancedJoints")
    return joinInts(e.ints) + layoutText(e);
  const auto found = rows.find(floatBytes(e.floats));
  return (found == rows.end() ? "?" + joinFloats(e.floats) : found->second) + layoutText(e);
}

std::string lineAt(const std::vector<std::string>& lines, std::size_t k)
{
  return k < lines.size() ? lines[k] : "(end)";
}

// The greeting comes without the clock moving when the node found the audio
// player at its first look, soon after it advertised; otherwise on the next step.
bool awaitGreeting(Harness& h)
{
  auto greeted = [&] { return !h.events().empty(); };
  if (greeted() || h.waitWall(greeted, kFirstLookWallSeconds))
    return true;
  h.setTick(ros::Duration(kCoarseTick));
  h.advance(ros::Duration(kCoarseTick));
  return h.waitWall(greeted, kAnswerWallSeconds);
}

::testing::AssertionResult missing(const Harness& h, const Script& s, std::size_t due)
{
  const std::vector<std::string> expected = s.lines();
  return ::testing::AssertionFailure() << "still waiting for message #" << due - 1 << " (" << expected[due - 1]
                                       << ") with " << h.events().size() << " received";
}

}  // namespace

// Waits in wall time, clock still, until the node publishes the topics to the harness.
bool connectedTo(Harness& h, const std::vector<std::string>& topics)
{
  for (const std::string& topic : topics)
    if (!h.waitForPublisher(topic))
      return false;
  return true;
}

// Called with the clock at the closing cue: the node still runs 4.5 s later,
// and ends at 5 s with status 255 without the clock moving on, having sent
// nothing after the cue.
::testing::AssertionResult closesAfterPause(Harness& h, Process& node)
{
  const std::size_t sent = h.events().size();
  const ros::Duration pause = ros::Duration().fromNSec(static_cast<int64_t>(kGreetingPauseMs) * 1000000);
  const ros::Duration lastTick(kCoarseTick);
  h.setTick(lastTick);
  h.advance(pause - lastTick);
  if (node.waitExit(kEarlyExitWallSeconds))
    return ::testing::AssertionFailure() << "ended before the closing pause was over, status " << node.exitStatus();
  h.advance(lastTick);
  if (!node.waitExit(kinora_test::kConnectSeconds))
    return ::testing::AssertionFailure() << "still running after the closing pause";
  if (node.exitStatus() != kClosedStatus)
    return ::testing::AssertionFailure() << "exit status " << node.exitStatus() << ", stderr:\n" << node.err();
  if (h.events().size() != sent)
    return ::testing::AssertionFailure() << h.events().size() - sent << " messages after the closing cue";
  return ::testing::AssertionSuccess();
}

void Script::add(const std::string& what)
{
  const std::string stamp = stampText(ros::Duration().fromNSec(static_cast<int64_t>(atMs_) * 1000000));
  items_.push_back({atMs_, stamp + " " + what, nullptr, 0});
}

void Script::steps(double seconds)
{
  items_.push_back({atMs_, "", nullptr, seconds});
}

void Script::act(const std::function<void()>& action)
{
  items_.push_back({atMs_, "", action, 0});
}

void Script::during(const std::function<void()>& action)
{
  int lastMessageMs = 0;
  for (const Item& item : items_)
    if (!item.line.empty())
      lastMessageMs = item.atMs;
  items_.push_back({lastMessageMs, "", action, 0});
}

std::vector<std::string> Script::lines() const
{
  std::vector<std::string> messages;
  for (const Item& item : items_)
    if (!item.line.empty())
      messages.push_back(item.line);
  return messages;
}

void Script::cue(const std::string& file)
{
  add("talkerfilename " + file);
}

void Script::signal(int value)
{
  add("motionStartStop " + std::to_string(value));
}

void Script::row(const Recording& rec, int r)
{
  add("jointAngleArray " + rec.name + "/" + std::to_string(r));
}

void Script::report(const std::vector<int>& joints)
{
  add("variancedJoints " + joinInts(joints));
  signal(1);
}

void Script::greeting()
{
  cue("merhaba.wav");
  wait(kGreetingPauseMs);
  cue("aciklama.wav");
  wait(kGreetingPauseMs);
}

void Script::startRecording(const CueSchedule& schedule)
{
  signal(0);
  for (const OpeningCue& opening : schedule.opening)
  {
    cue(opening.file);
    wait(opening.pauseMs);
  }
}

void Script::rows(const Recording& rec, const CueSchedule& schedule, int first, int last)
{
  for (int r = first; r <= last; ++r)
  {
    for (std::size_t p = 0; p < schedule.feedbackRows.size(); ++p)
      if (schedule.feedbackRows[p] == r)
        cue(p < schedule.feedbackFiles.size() ? schedule.feedbackFiles[p] : std::to_string(p + 1) + "feed.wav");
    row(rec, r);
    wait(rec.heldMs(r));
  }
}

void Script::play(const Recording& rec, const CueSchedule& schedule, int lastRow)
{
  startRecording(schedule);
  rows(rec, schedule, 0, lastRow < 0 ? rec.rows() - 1 : lastRow);
  report(rec.reported());
}

std::vector<std::string> describe(const std::vector<Event>& events, ros::Time origin,
                                  const std::vector<Recording>& recordings)
{
  std::map<std::string, std::string> rows;
  for (const Recording& rec : recordings)
    for (int r = 0; r < rec.rows(); ++r)
      rows[floatBytes(rec.wire(r))] = rec.name + "/" + std::to_string(r);

  std::vector<Event> received = events;
  std::sort(received.begin(), received.end(), [](const Event& x, const Event& y) { return x.seq < y.seq; });
  std::vector<std::string> lines;
  for (const Event& e : received)
    lines.push_back(stampText(e.stamp - origin) + " " + e.topic + " " + payload(e, rows));
  return lines;
}

::testing::AssertionResult ranAsScripted(const Harness& h, const Script& s, const std::vector<Recording>& recordings)
{
  return sameRun(describe(h.events(), firstStamp(h), recordings), s.lines());
}

::testing::AssertionResult sameRun(const std::vector<std::string>& actual, const std::vector<std::string>& expected)
{
  std::size_t k = 0;
  while (k < actual.size() && k < expected.size() && actual[k] == expected[k])
    ++k;
  if (k == actual.size() && k == expected.size())
    return ::testing::AssertionSuccess();
  ::testing::AssertionResult failure = ::testing::AssertionFailure();
  failure << actual.size() << " messages, " << expected.size() << " expected; first difference at #" << k << "\n";
  const std::size_t from = k > kContextLines ? k - kContextLines : 0;
  for (std::size_t i = from; i <= k + kContextLines; ++i)
    failure << (i == k ? "> " : "  ") << "#" << i << "  got: " << lineAt(actual, i)
            << "\n        expected: " << lineAt(expected, i) << "\n";
  return failure;
}

::testing::AssertionResult closesAsScripted(Harness& h, Process& node, Script s,
                                            const std::vector<Recording>& recordings)
{
  s.cue("bitis.wav");
  ::testing::AssertionResult followed = follow(h, s);
  if (!followed)
    return followed << "\nlast console lines:\n"
                    << kinora_test::lastLines(node.out(), kFailureConsoleLines) << "stderr:\n"
                    << node.err();
  const ::testing::AssertionResult closed = closesAfterPause(h, node);
  const ::testing::AssertionResult ran = ranAsScripted(h, s, recordings);
  if (closed && ran)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << closed.message() << "\n" << ran.message();
}

::testing::AssertionResult stopsOnInterrupt(Process& node)
{
  node.interrupt();
  return endsStopped(node);
}

::testing::AssertionResult endsStopped(Process& node)
{
  if (!node.waitExit(kShutdownWallSeconds))
    return ::testing::AssertionFailure() << "still running " << kShutdownWallSeconds << " s after the stop";
  if (node.exitStatus() != kStoppedStatus)
    return ::testing::AssertionFailure() << "exit status " << node.exitStatus() << ", stderr:\n" << node.err();
  return ::testing::AssertionSuccess();
}

std::unique_ptr<Process> startNode(Harness& h, const std::string& dir, std::vector<std::string> args)
{
  args.push_back("_recording_dir:=" + dir);
  return h.start(KINORA_NODE, args);
}

const std::vector<std::string>& nodeTopics()
{
  static const std::vector<std::string> topics{"talkerfilename", "motionStartStop", "jointAngleArray",
                                               "variancedJoints"};
  return topics;
}

std::unique_ptr<Process> startRun(Harness& h, const std::string& dir, const std::string& count,
                                  const std::vector<Recording>& recordings, const std::vector<std::string>& topics,
                                  const std::vector<std::string>& params)
{
  writeRecordings(dir, recordings);
  for (const std::string& topic : topics)
    h.record(topic);
  std::vector<std::string> args = commandLine(count, recordings);
  args.insert(args.end(), params.begin(), params.end());
  std::unique_ptr<Process> node = startNode(h, dir, args);
  EXPECT_TRUE(connectedTo(h, topics)) << node->err();
  return node;
}

void recordAll(Harness& h)
{
  for (const std::string& topic : nodeTopics())
    h.record(topic);
}

bool connectedToAll(Harness& h)
{
  return connectedTo(h, nodeTopics());
}

bool runUntil(Harness& h, double tickSeconds, const std::function<bool()>& cond, double maxSimSeconds)
{
  h.setTick(ros::Duration(tickSeconds));
  return h.runUntil(cond, ros::Duration(maxSimSeconds));
}

bool tell(Harness& h, const std::string& topic, int value)
{
  if (!h.publish(topic, value))
    return false;
  h.settleNow();
  return true;
}

::testing::AssertionResult follow(Harness& h, const Script& s)
{
  if (!awaitGreeting(h))
    return ::testing::AssertionFailure() << "no greeting";
  const ros::Time origin = firstStamp(h);
  std::size_t due = 0;  // messages expected so far
  auto arrived = [&] { return h.waitWall([&] { return h.events().size() >= due; }, kAnswerWallSeconds); };
  ros::Duration step(kCoarseTick);
  h.setTick(step);
  for (const Script::Item& item : s.items())
  {
    const ros::Time at = origin + ros::Duration().fromNSec(static_cast<int64_t>(item.atMs) * 1000000);
    if (at > h.now())
    {
      if (!arrived())
        return missing(h, s, due);
      if (step >= ros::Duration(kCoarseTick) && at - h.now() > kApproach)
        h.advance(at - kApproach - h.now());
      h.advance(at - h.now());
    }
    if (!item.line.empty())
      ++due;
    else if (item.action)
    {
      if (!arrived())
        return missing(h, s, due);
      item.action();
    }
    else
    {
      step = ros::Duration(item.step);
      h.setTick(step);
    }
  }
  return arrived() ? ::testing::AssertionSuccess() : missing(h, s, due);
}

std::size_t signals(const Harness& h, int value)
{
  std::size_t n = 0;
  for (const Event& e : h.eventsOn("motionStartStop"))
    n += e.value == value;
  return n;
}

bool cueSent(const Harness& h, const std::string& file)
{
  for (const Event& e : h.eventsOn("talkerfilename"))
    if (e.text == file)
      return true;
  return false;
}

ros::Time firstStamp(const Harness& h)
{
  const std::vector<Event> events = h.events();
  return events.empty() ? ros::Time() : events.front().stamp;
}
}  // namespace run_script
