// The node's ~status through a short session (every phase, the pause, the
// numbers of each message against the session's timeline) and its health on
// /diagnostics (OK, a missing peer, a long wait for tracking, a skipped
// recording), against a real master with the clock driven by the test.
#include "operator_calls.h"
#include "recording_files.h"
#include "ros_harness.h"
#include "run_script.h"

#include "nao_kinora/command_line.h"
#include "nao_kinora/recording.h"
#include "nao_kinora/timeline.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

using kinora_test::Harness;
using kinora_test::TempDir;
using namespace run_script;
using namespace operator_calls;

namespace
{
const double kStep = 0.25;
const double kExact = 1e-6;
const double kStatusGap = 1.0;  // at least one status a second while a recording plays

std::string phaseText(const Status& m)
{
  std::ostringstream text;
  text << int(m.phase);
  if (m.phase == Status::PHASE_PAUSED)
    text << "/" << int(m.paused_phase);
  text << " recording " << m.recording;
  return text.str();
}

// Each run of messages of the same phase and recording once.
std::vector<std::string> phases(const std::vector<Status>& messages)
{
  std::vector<std::string> seen;
  for (const Status& m : messages)
    if (seen.empty() || seen.back() != phaseText(m))
      seen.push_back(phaseText(m));
  return seen;
}

std::string phaseLine(int phase, int recording, int pausedPhase = -1)
{
  return std::to_string(phase) + (pausedPhase >= 0 ? "/" + std::to_string(pausedPhase) : "") + " recording " +
         std::to_string(recording);
}

double seconds(int ms)
{
  return ms / 1000.0;
}
}  // namespace

// Two recordings, a wait of 3 s for the tracking node and a pause of 3 s in
// the second: every phase in order with its recording; row, rows, played and
// total while playing; one status a second while playing, far fewer than
// rows; the time left within one row's duration of the timeline's figure (the
// session's length less the ROS time spent, pauses and tracking waits not
// counted); the last cue, the reports, the subscriber counts and the wait.
TEST(Status, EachPhaseOfAShortSession)
{
  Harness h;
  TempDir dir;
  const Recording a = makeRecording("a.txt", 1, 20, 0.25f, {2, 7});
  const Recording b = makeRecording("b.txt", 2, 6, 0.5f, {5});
  writeRecordings(dir.path(), {a, b});
  StatusLog status("/nao_kinora/status");
  auto node = startNode(h, dir.path(), commandLine("2", {a, b}));
  // Latched: the first status, from before the audio player is there.
  ASSERT_TRUE(h.waitWall([&] { return status.size() > 0; }, kinora_test::kConnectSeconds)) << node->err();
  recordAll(h);
  ASSERT_TRUE(connectedToAll(h)) << node->err();

  Script s;
  s.greeting();
  s.startRecording(scheduleFor(2));
  s.steps(kStep);
  s.rows(a, scheduleFor(2), 0, a.rows() - 1);
  s.report(a.reported());
  const int waitFrom = s.atMs();
  s.wait(3000);
  const int waitTo = s.atMs();
  s.act([&] { ASSERT_TRUE(tell(h, "trackingfinished", 1)); });
  s.startRecording(scheduleFor(3));
  s.rows(b, scheduleFor(3), 0, 0);
  s.row(b, 1);
  s.wait(250);
  const int pauseFrom = s.atMs();
  s.act([] { ASSERT_TRUE(pause(true).success); });
  s.wait(3000);
  const int pauseTo = s.atMs();
  s.act([] { ASSERT_TRUE(pause(false).success); });
  s.wait(250);
  s.rows(b, scheduleFor(3), 2, b.rows() - 1);
  s.report(b.reported());
  s.cue("bitis.wav");
  ASSERT_TRUE(follow(h, s)) << node->err();
  EXPECT_TRUE(closesAfterPause(h, *node));
  ASSERT_TRUE(h.waitWall([&] { return status.last().phase == Status::PHASE_OVER; }, 2));
  EXPECT_TRUE(ranAsScripted(h, s, {a, b}));

  // One connection delivers the statuses in order: the last has come, so has every one before it.
  const std::vector<Status> all = status.all();
  EXPECT_EQ(Status::PHASE_STARTING, all.front().phase);
  const std::vector<std::string> expected = {
      phaseLine(Status::PHASE_STARTING, 0),
      phaseLine(Status::PHASE_GREETING, 0),
      phaseLine(Status::PHASE_OPENING_CUE, 1),
      phaseLine(Status::PHASE_PLAYING, 1),
      phaseLine(Status::PHASE_REPORT, 1),
      phaseLine(Status::PHASE_WAITING_FOR_TRACKING, 1),
      phaseLine(Status::PHASE_OPENING_CUE, 2),
      phaseLine(Status::PHASE_PLAYING, 2),
      phaseLine(Status::PHASE_PAUSED, 2, Status::PHASE_PLAYING),
      phaseLine(Status::PHASE_PLAYING, 2),
      phaseLine(Status::PHASE_REPORT, 2),
      phaseLine(Status::PHASE_CLOSING, 2),
      phaseLine(Status::PHASE_OVER, 2),
  };
  EXPECT_EQ(expected, phases(all));

  // The timeline's figures, as nao_kinora_check shows them.
  const std::string savedDir = staticdisplaycommand2;
  staticdisplaycommand2 = dir.path();
  nao_kinora::SessionPlan plan;
  plan.count = 2;
  plan.recordings = {a.name, b.name};
  const nao_kinora::SessionTimeline timeline = nao_kinora::planSession(plan);
  staticdisplaycommand2 = savedDir;
  const double length = timeline.length();
  EXPECT_NEAR(10 + 5 + 2 + 19 * 0.25 + 5 + 2 + 5 * 0.5 + 5, length, 1e-5);

  const ros::Time origin = firstStamp(h);
  const Recording* recs[] = {&a, &b};
  const std::vector<kinora_test::Event> rowsOut = h.eventsOn("jointAngleArray");
  ASSERT_EQ(static_cast<std::size_t>(a.rows() + b.rows()), rowsOut.size());
  std::vector<double> playingStamps[2];
  for (const Status& m : all)
  {
    SCOPED_TRACE(phaseText(m) + " row " + std::to_string(m.row) + " at " + std::to_string((m.stamp - origin).toSec()));
    EXPECT_EQ(2, m.recordings);
    ASSERT_EQ(2u, m.session.size());
    EXPECT_EQ("a.txt", m.session[0].file);
    EXPECT_EQ(20, m.session[0].rows);
    EXPECT_NEAR(2 + 19 * 0.25, m.session[0].playing_time, 1e-5);
    if (m.phase == Status::PHASE_STARTING)
    {
      EXPECT_EQ(0.0, m.session_elapsed);
      EXPECT_NEAR(length, m.session_remaining, kExact);
      continue;
    }
    EXPECT_EQ(1u, m.talkerfilename_subscribers);
    EXPECT_EQ(1u, m.joint_angle_array_subscribers);
    EXPECT_EQ(1u, m.motion_start_stop_subscribers);
    const double since = (m.stamp - origin).toSec();
    EXPECT_NEAR(since, m.session_elapsed, kExact);
    // ROS time of the timeline spent: without the wait for tracking and the pause.
    const double waited = std::min(std::max(since - seconds(waitFrom), 0.0), seconds(waitTo - waitFrom));
    const double held = std::min(std::max(since - seconds(pauseFrom), 0.0), seconds(pauseTo - pauseFrom));
    const double figure = std::max(0.0, length - (since - waited - held));
    // Playing names a row that went out: its status follows row 0, not
    // precedes it in the moment the row is due.
    if (m.phase == Status::PHASE_PLAYING)
    {
      EXPECT_GE(m.row, 0);
    }
    const bool playing = m.paused_phase == Status::PHASE_PLAYING && m.row >= 0;
    const Recording& rec = *recs[std::max(m.recording, 1) - 1];
    const double tolerance = playing ? seconds(rec.heldMs(m.row)) : kExact;
    if (m.phase == Status::PHASE_GREETING || m.paused_phase == Status::PHASE_OPENING_CUE ||
        m.phase == Status::PHASE_CLOSING)
    {
      // A cue's pause: the time left as when it began.
      EXPECT_GE(m.session_remaining, figure - kExact);
      EXPECT_LE(m.session_remaining, figure + 5.0 + kExact);
    }
    else
      EXPECT_NEAR(figure, m.session_remaining, tolerance + kExact);
    if (m.recording >= 1)
    {
      EXPECT_EQ(rec.name, m.file);
      EXPECT_EQ(rec.rows(), m.rows);
      double total = 0;
      for (int r = 0; r < rec.rows(); ++r)
        total += seconds(rec.heldMs(r));
      EXPECT_NEAR(total, m.total, 1e-5);
    }
    if (playing)
    {
      double before = 0;
      for (int r = 0; r < m.row; ++r)
        before += seconds(rec.heldMs(r));
      EXPECT_NEAR(before, m.played, 1e-5);
      EXPECT_GE(m.row, 0);
      EXPECT_LT(m.row, rec.rows());
      playingStamps[m.recording - 1].push_back(m.stamp.toSec());
      // Sent in row r's pause, never at the moment row r + 1 is due, before it.
      const std::size_t sent = (m.recording == 1 ? 0 : a.rows()) + m.row;
      EXPECT_GE(m.stamp, rowsOut[sent].stamp);
      if (m.row + 1 < rec.rows())
      {
        EXPECT_LT(m.stamp, rowsOut[sent + 1].stamp);
      }
    }
    if (m.paused_phase == Status::PHASE_PLAYING)
    {
      EXPECT_EQ(m.recording == 1 ? "ellerbeldesol.wav" : "ellerbeldesag.wav", m.last_cue);
    }
    if (m.phase == Status::PHASE_WAITING_FOR_TRACKING)
    {
      EXPECT_NEAR(since - seconds(waitFrom), m.tracking_wait, kExact);
      EXPECT_TRUE(m.session[0].reported);
      EXPECT_EQ(a.reported(), std::vector<int>(m.session[0].moving_joints.begin(), m.session[0].moving_joints.end()));
      EXPECT_FALSE(m.session[1].reported);
    }
    else
      EXPECT_EQ(0.0, m.tracking_wait);
  }
  EXPECT_EQ(0.0, all.back().session_remaining);
  EXPECT_TRUE(all.back().session[1].reported);
  EXPECT_EQ("bitis.wav", all.back().last_cue);

  // While a recording plays: a status at least once a second, not one per row.
  for (const std::vector<double>& stamps : playingStamps)
  {
    ASSERT_GE(stamps.size(), 2u);
    for (std::size_t k = 1; k < stamps.size(); ++k)
      EXPECT_LE(stamps[k] - stamps[k - 1], kStatusGap + kExact)
          << "status " << k << " at " << std::fixed << stamps[k - 1] << " then " << stamps[k];
  }
  EXPECT_LE(playingStamps[0].size(), 10u);  // 20 rows in 6.75 s
}

namespace
{
struct Health
{
  int level = -1;
  std::string message;
};

Health sessionHealth(const diagnostic_msgs::DiagnosticArray& array)
{
  Health health;
  for (const diagnostic_msgs::DiagnosticStatus& s : array.status)
    if (s.name == "nao_kinora: session")
    {
      health.level = s.level;
      health.message = s.message;
    }
  return health;
}

// Every session health received, for failure messages.
std::string history(const DiagnosticsLog& log)
{
  std::string text;
  for (const diagnostic_msgs::DiagnosticArray& array : log.all())
  {
    const Health health = sessionHealth(array);
    text +=
        std::to_string(array.header.stamp.toSec()) + " " + std::to_string(health.level) + " " + health.message + "\n";
  }
  return text;
}

bool healthSays(const DiagnosticsLog& log, int level, const std::string& part)
{
  const Health health = sessionHealth(log.last());
  return health.level == level && health.message.find(part) != std::string::npos;
}
}  // namespace

// OK in the greeting; WARN while a recording plays without a subscriber on
// "jointAngleArray"; OK in the wait for tracking, WARN once it passes 30 s;
// ERROR once a recording had to be skipped, for the rest of the session.
TEST(Diagnostics, OkWarnAndError)
{
  Harness h;
  TempDir dir;
  const Recording a = makeRecording("a.txt", 1, 3, 0.5f, {});
  const Recording b = makeRecording("b.txt", 2, 3, 0.5f, {});
  const Recording c = makeRecording("c.txt", 3, 3, 0.5f, {});
  writeRecordings(dir.path(), {a, b, c});
  DiagnosticsLog diagnostics("/diagnostics");
  StatusLog status("/nao_kinora/status");
  for (const char* topic : {"talkerfilename", "motionStartStop", "variancedJoints"})
    h.record(topic);
  auto node = startNode(h, dir.path(), commandLine("3", {a, b, c}));
  ASSERT_TRUE(connectedTo(h, {"talkerfilename", "motionStartStop", "variancedJoints"})) << node->err();
  ASSERT_TRUE(h.waitWall([&] { return diagnostics.connected() && status.connected(); }, kinora_test::kConnectSeconds));
  auto until = [&](const std::function<bool()>& cond, double maxSeconds)
  { return run_script::runUntil(h, 0.5, cond, maxSeconds); };

  ASSERT_TRUE(until([&] { return cueSent(h, "merhaba.wav"); }, 5)) << node->err();
  EXPECT_TRUE(until(
      [&] { return healthSays(diagnostics, diagnostic_msgs::DiagnosticStatus::OK, "session in the greeting"); }, 3))
      << history(diagnostics);

  ASSERT_TRUE(until([&] { return status.last().phase == Status::PHASE_PLAYING; }, 30));
  EXPECT_TRUE(until(
      [&]
      {
        return healthSays(diagnostics, diagnostic_msgs::DiagnosticStatus::WARN,
                          "no subscriber on jointAngleArray (the motion executor)");
      },
      2))
      << history(diagnostics);

  ASSERT_TRUE(until([&] { return h.count("variancedJoints") == 1; }, 10));
  h.advance(ros::Duration(2));
  EXPECT_TRUE(healthSays(diagnostics, diagnostic_msgs::DiagnosticStatus::OK,
                         "session after recording 1, waiting for person tracking"))
      << history(diagnostics);
  EXPECT_TRUE(until(
      [&]
      {
        return healthSays(diagnostics, diagnostic_msgs::DiagnosticStatus::WARN,
                          "s for trackingfinished after recording 1");
      },
      31))
      << history(diagnostics);
  // The tick that brought the warning was held until this process had taken in
  // all the node sent in it, its status too.
  EXPECT_GE(status.last().tracking_wait, 30.0);

  // b is gone when its turn comes.
  std::remove((dir.path() + b.name).c_str());
  ASSERT_TRUE(tell(h, "trackingfinished", 0));
  ASSERT_TRUE(until([&] { return status.last().recording == 3 && status.last().phase == Status::PHASE_PLAYING; }, 10));
  EXPECT_TRUE(until(
      [&]
      {
        return healthSays(diagnostics, diagnostic_msgs::DiagnosticStatus::ERROR,
                          "recording 2 had no row to play and was skipped");
      },
      2))
      << history(diagnostics);
  EXPECT_TRUE(status.last().session[1].skipped);
  EXPECT_FALSE(status.last().session[1].reported);
  ASSERT_TRUE(until([&] { return cueSent(h, "bitis.wav"); }, 20));
  const std::size_t before = diagnostics.size();
  ASSERT_TRUE(until([&] { return diagnostics.size() > before; }, 2));
  EXPECT_EQ(diagnostic_msgs::DiagnosticStatus::ERROR, sessionHealth(diagnostics.last()).level);
}
