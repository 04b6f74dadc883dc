#include "run_script.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <iomanip>
#include <locale>
#include <map>
#include <sstream>

namespace run_script
{
namespace
{
const float kMarker = 1.0f;
const float kSwing = 0.4f;
const int kContextLines = 3;  // shown around the first difference of two scripts
const double kEarlyExitWallSeconds = 0.2;  // for a node that should not end yet
const double kFirstLookWallSeconds = 0.5;  // for a greeting sent without the clock moving
const double kAnswerWallSeconds = 10.0;   // for a message that is due
const double kArrivalWallSeconds = 0.1;   // for a message to the node to arrive
const ros::Duration kApproach(0.01);       // how early a coarse step stops before a due time
const int kClosedStatus = 255;
const int kRunOfRows = 9;        // sent at once, below the joint queue of 10
const float kRunEndHeld = 0.5f;  // one coarse tick

std::string floatBytes(const std::vector<float>& values)
{
  return std::string(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(float));
}

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

std::string layoutText(const kinora_test::Event& e)
{
  return (e.layoutDims || e.dataOffset) ? " with a layout" : "";
}

std::string payload(const kinora_test::Event& e, const std::map<std::string, std::string>& rows)
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

// Order of the topics among messages of the same ROS time, which is the order
// the node sends them in: report, signal, cue, row. roscpp writes every
// connection from its own poll thread, so messages sent at one instant on
// different topics may arrive in any order; on one topic they keep theirs.
int sendingRank(const std::string& topic)
{
  const std::string base = topic.substr(topic.rfind('/') + 1);
  const char* const order[] = {"variancedJoints", "motionStartStop", "talkerfilename", "jointAngleArray"};
  return static_cast<int>(std::find(std::begin(order), std::end(order), base) - std::begin(order));
}

std::string lineAt(const std::vector<std::string>& lines, std::size_t k)
{
  return k < lines.size() ? lines[k] : "(end)";
}
}  // namespace

JointRow Recording::row(int r) const
{
  JointRow values;
  for (int j = 0; j < kJointCount; ++j)
  {
    const bool swings = r >= swingFrom && std::find(moving.begin(), moving.end(), j) != moving.end();
    values[j] = swings ? (r % 2 ? kSwing : -kSwing) + 1e-4f * r + 1e-3f * j
                       : 0.01f * id + 1e-5f * r + 1e-3f * j;
  }
  values[kDurationColumn] = durations[r];
  return values;
}

std::vector<float> Recording::wire(int r) const
{
  JointRow values = row(r);
  if (r == 0)
    values[kDurationColumn] = kFirstRowMs / 1000.0f;
  std::vector<float> data{kMarker};
  data.insert(data.end(), values.begin(), values.end());
  return data;
}

int Recording::heldMs(int r) const
{
  return r == 0 ? kFirstRowMs : static_cast<int>(std::lround(std::max(0.0f, durations[r]) * 1000.0));
}

std::vector<int> Recording::reported() const
{
  return rows() - swingFrom > 1 ? moving : std::vector<int>();
}

std::string Recording::text() const
{
  std::ostringstream text;
  text.imbue(std::locale::classic());
  text << std::setprecision(9);  // enough to give back the same float
  for (int r = 0; r < rows(); ++r)
  {
    const JointRow values = row(r);
    for (int c = 0; c < kRowColumns; ++c)
      text << (c ? " " : "") << values[c];
    text << '\n';
  }
  return text.str();
}

Recording makeRecording(const std::string& name, int id, int rows, float duration, const std::vector<int>& moving)
{
  Recording rec;
  rec.name = name;
  rec.id = id;
  rec.durations.assign(rows, duration);
  rec.moving = moving;
  return rec;
}

Recording makeQuickRecording(const std::string& name, int id, int rows, const std::vector<int>& moving,
                             const std::vector<int>& feedbackRows)
{
  Recording rec = makeRecording(name, id, rows, 0.0f, moving);
  for (int r = kRunOfRows - 1; r < rows; r += kRunOfRows)
    rec.durations[r] = kRunEndHeld;
  for (int row : feedbackRows)
    if (row > 0 && row <= rows)
      rec.durations[row - 1] = kRunEndHeld;
  rec.durations.back() = kRunEndHeld;
  return rec;
}

CueSchedule scheduleFor(int currentargv)
{
  const std::vector<int> sides{94, 470, 832};
  switch (currentargv)
  {
    case 2:
      return {sides, {{"ellerbeldesol.wav", 5000}}};
    case 3:
      return {sides, {{"ellerbeldesag.wav", 5000}}};
    case 4:
      return {{191, 376, 554, 727, 919}, {{"kollaryana.wav", 5000}}};
    case 5:
      return {{130, 261, 403, 559, 721}, {{"oturabilirsiniz.wav", 10000}, {"dirsekler.wav", 5000}}};
    case 6:
      return {{}, {{"naooturacak.wav", 3000}}};
    case 7:
      return {{}, {{"sagdiz.wav", 5000}}};
    case 8:
      return {{}, {{"soldiz.wav", 5000}}};
    case 9:
      return {{}, {{"sagbilek.wav", 5000}}};
    case 10:
      return {{}, {{"solbilek.wav", 5000}}};
    default:
      return {};
  }
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
        cue(std::to_string(p + 1) + "feed.wav");
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

std::vector<std::string> describe(const std::vector<kinora_test::Event>& events, ros::Time origin,
                                  const std::vector<Recording>& recordings)
{
  std::map<std::string, std::string> rows;
  for (const Recording& rec : recordings)
    for (int r = 0; r < rec.rows(); ++r)
      rows[floatBytes(rec.wire(r))] = rec.name + "/" + std::to_string(r);

  std::vector<kinora_test::Event> sorted = events;
  std::stable_sort(sorted.begin(), sorted.end(), [](const kinora_test::Event& x, const kinora_test::Event& y) {
    return x.stamp < y.stamp || (x.stamp == y.stamp && sendingRank(x.topic) < sendingRank(y.topic));
  });
  std::vector<std::string> lines;
  for (const kinora_test::Event& e : sorted)
    lines.push_back(stampText(e.stamp - origin) + " " + e.topic + " " + payload(e, rows));
  return lines;
}

::testing::AssertionResult ranAsScripted(const kinora_test::Harness& h, const Script& s,
                                         const std::vector<Recording>& recordings)
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

std::string playedLines(int rows, const std::vector<int>& moving)
{
  std::string text;
  for (int r = 0; r < rows; ++r)
    text += "burdayım\n";
  text += "motion is over\n";
  for (int joint : moving)
    text += "varianced " + std::to_string(joint) + "\n";
  return text;
}

void writeRecordings(const std::string& dir, const std::vector<Recording>& recordings)
{
  for (const Recording& rec : recordings)
  {
    std::ofstream out((dir + rec.name).c_str(), std::ios::binary);
    out << rec.text();
  }
}

std::unique_ptr<kinora_test::Process> startNode(kinora_test::Harness& h, const std::string& dir,
                                                std::vector<std::string> args)
{
  args.push_back("_recording_dir:=" + dir);
  return h.start(KINORA_NODE, args);
}

std::vector<std::string> commandLine(const std::string& count, const std::vector<Recording>& recordings)
{
  std::vector<std::string> args{count};
  for (const Recording& rec : recordings)
    args.push_back(rec.name);
  return args;
}

std::unique_ptr<kinora_test::Process> startRun(kinora_test::Harness& h, const std::string& dir,
                                               const std::string& count, const std::vector<Recording>& recordings)
{
  writeRecordings(dir, recordings);
  recordAll(h);
  std::unique_ptr<kinora_test::Process> node = startNode(h, dir, commandLine(count, recordings));
  EXPECT_TRUE(connectedToAll(h)) << node->err();
  return node;
}

const char* const kNodeTopics[] = {"talkerfilename", "motionStartStop", "jointAngleArray", "variancedJoints"};

void recordAll(kinora_test::Harness& h)
{
  for (const char* topic : kNodeTopics)
    h.record(topic);
}

bool connectedTo(kinora_test::Harness& h, const std::vector<std::string>& topics)
{
  for (const std::string& topic : topics)
    if (!h.waitForPublisher(topic))
      return false;
  return true;
}

bool connectedToAll(kinora_test::Harness& h)
{
  return connectedTo(h, std::vector<std::string>(std::begin(kNodeTopics), std::end(kNodeTopics)));
}

bool runUntil(kinora_test::Harness& h, double tickSeconds, const std::function<bool()>& cond, double maxSimSeconds)
{
  h.setTick(ros::Duration(tickSeconds));
  return h.runUntil(cond, ros::Duration(maxSimSeconds));
}

bool tell(kinora_test::Harness& h, const std::string& topic, int value)
{
  if (!h.publish(topic, value))
    return false;
  ros::WallDuration(kArrivalWallSeconds).sleep();
  return true;
}

namespace
{
// The greeting comes without the clock moving when the node found the audio
// player at its first look, soon after it advertised; otherwise on the next step.
bool awaitGreeting(kinora_test::Harness& h)
{
  auto greeted = [&] { return !h.events().empty(); };
  if (greeted() || h.waitWall(greeted, kFirstLookWallSeconds))
    return true;
  h.setTick(ros::Duration(kCoarseTick));
  h.advance(ros::Duration(kCoarseTick));
  return h.waitWall(greeted, kAnswerWallSeconds);
}

::testing::AssertionResult missing(const kinora_test::Harness& h, const Script& s, std::size_t due)
{
  const std::vector<std::string> expected = s.lines();
  return ::testing::AssertionFailure() << "still waiting for message #" << due - 1 << " ("
                                       << expected[due - 1] << ") with " << h.events().size()
                                       << " received";
}
}  // namespace

::testing::AssertionResult follow(kinora_test::Harness& h, const Script& s)
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

std::string lastLines(const std::string& text, int lines)
{
  std::size_t from = text.size();
  for (int k = 0; k <= lines && from > 0; ++k)
    from = text.rfind('\n', from - 1);
  return from == std::string::npos ? text : text.substr(from + 1);
}

std::size_t signals(const kinora_test::Harness& h, int value)
{
  std::size_t n = 0;
  for (const kinora_test::Event& e : h.eventsOn("motionStartStop"))
    n += e.value == value;
  return n;
}

bool cueSent(const kinora_test::Harness& h, const std::string& file)
{
  for (const kinora_test::Event& e : h.eventsOn("talkerfilename"))
    if (e.text == file)
      return true;
  return false;
}

ros::Time firstStamp(const kinora_test::Harness& h)
{
  const std::vector<kinora_test::Event> events = h.events();
  return events.empty() ? ros::Time() : events.front().stamp;
}

::testing::AssertionResult closesAfterPause(kinora_test::Harness& h, kinora_test::Process& node)
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
}  // namespace run_script
