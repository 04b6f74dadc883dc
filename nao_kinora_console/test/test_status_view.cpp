// The words and numbers the page shows, from a session status, without a master.
#include "nao_kinora_console/session/status_view.h"

#include <nao_kinora/cues.h>

#include <gtest/gtest.h>

using nao_kinora_console::cueWords;
using nao_kinora_console::exerciseTitle;
using nao_kinora_console::jointWords;
using nao_kinora_console::phaseWords;
using nao_kinora_console::StatusContext;
using nao_kinora_console::statusView;
using nao_kinora_msgs::SessionStatus;

namespace
{
StatusContext running()
{
  StatusContext context;
  context.haveStatus = true;
  context.coachRunning = true;
  return context;
}

SessionStatus playing()
{
  SessionStatus status;
  status.phase = SessionStatus::PHASE_PLAYING;
  status.recording = 3;
  status.recordings = 9;
  status.file = "03_arms_to_the_side.txt";
  status.played = 18.2;
  status.total = 40.36;
  return status;
}
}  // namespace

TEST(StatusView, ExerciseTitlesFromFileNames)
{
  EXPECT_EQ("Arms to the side", exerciseTitle("03_arms_to_the_side.txt"));
  EXPECT_EQ("Hands on waist left", exerciseTitle("/data/rec/01_hands_on_waist_left.txt"));
  EXPECT_EQ("Warm up", exerciseTitle("12-warm-up.txt"));
  EXPECT_EQ("Arms", exerciseTitle("arms.txt"));
  EXPECT_EQ("Two words", exerciseTitle("07__two__words_.txt"));
  EXPECT_EQ("05", exerciseTitle("05.txt"));
  EXPECT_EQ("No extension", exerciseTitle("no_extension"));
  EXPECT_EQ(".hidden", exerciseTitle(".hidden"));
  EXPECT_EQ("", exerciseTitle(""));
}

TEST(StatusView, JointNamesInWords)
{
  EXPECT_EQ("head yaw", jointWords(0));
  EXPECT_EQ("left shoulder roll", jointWords(3));
  EXPECT_EQ("right elbow roll", jointWords(9));
  EXPECT_EQ("left hip yaw pitch", jointWords(10));
  EXPECT_EQ("left knee pitch", jointWords(13));
  EXPECT_EQ("right ankle roll", jointWords(21));
  EXPECT_EQ("joint 22", jointWords(22));
  EXPECT_EQ("joint -1", jointWords(-1));
}

TEST(StatusView, CuesInWhatTheRobotSays)
{
  const std::pair<std::string, std::string> cues[] = {
      {"merhaba.wav", "Welcome"},
      {"kollaryana.wav", "Introduction: arms to the side"},
      {"1feed.wav", "Feedback"},
      {"oturabilirsiniz.wav", "Please sit down"},
      {"bitis.wav", "Goodbye"},
      {"new_greeting.wav", "New greeting"},  // no such cue: its name in words
      {"", ""},                              // none yet
  };
  for (const auto& cue : cues)
    EXPECT_EQ(cue.second, cueWords(cue.first)) << cue.first;

  // Every cue the robot program sends has words of its own, not its name's.
  std::vector<std::string> sent = {nao_kinora::kGreetingCue, nao_kinora::kExplanationCue, nao_kinora::kClosingCue};
  for (int position = 2; nao_kinora::cueScheduleFor(position); ++position)
  {
    for (const auto& opening : nao_kinora::cueScheduleFor(position)->opening)
      sent.push_back(opening.file);
    sent.push_back(nao_kinora::feedbackCueName(position % 5));
  }
  EXPECT_EQ(3u + 10u + 9u, sent.size());
  for (std::string file : sent)
  {
    std::string byName = exerciseTitle(file);
    byName[0] = static_cast<char>(toupper(byName[0]));
    EXPECT_NE(byName, cueWords(file)) << file;
  }
}

TEST(StatusView, EveryPhaseInWords)
{
  SessionStatus status = playing();
  const StatusContext context = running();
  EXPECT_EQ("Exercise 3 of 9: Arms to the side — 45 %", phaseWords(status, context));
  status.played = status.total + 1;  // never past the end
  EXPECT_EQ("Exercise 3 of 9: Arms to the side — 100 %", phaseWords(status, context));
  status.total = 0;
  EXPECT_EQ("Exercise 3 of 9: Arms to the side — 0 %", phaseWords(status, context));

  const std::pair<uint8_t, std::string> phases[] = {
      {SessionStatus::PHASE_STARTING, "Waiting for the robot's voice"},
      {SessionStatus::PHASE_GREETING, "Greeting"},
      {SessionStatus::PHASE_OPENING_CUE, "Exercise 3 of 9: Arms to the side — about to start"},
      {SessionStatus::PHASE_REPORT, "Exercise 3 of 9: Arms to the side — done"},
      {SessionStatus::PHASE_WAITING_FOR_TRACKING, "Waiting for person tracking — 0 s"},
      {SessionStatus::PHASE_CLOSING, "Closing words"},
      {SessionStatus::PHASE_PAUSED, "Paused"},
      {SessionStatus::PHASE_OVER, "Session over"},
      {42, "Unknown phase 42"},
  };
  for (const auto& phase : phases)
  {
    status.phase = phase.first;
    EXPECT_EQ(phase.second, phaseWords(status, context)) << "phase " << int(phase.first);
  }

  StatusContext none;
  EXPECT_EQ("Waiting for a session to start", phaseWords(status, none));
}

TEST(StatusView, TrackingWaitGoesOnBetweenStatuses)
{
  SessionStatus status;
  status.phase = SessionStatus::PHASE_WAITING_FOR_TRACKING;
  status.tracking_wait = 9.5;
  StatusContext context = running();
  context.age = 2.7;
  EXPECT_EQ("Waiting for person tracking — 12 s", phaseWords(status, context));
  // A program that has gone away waits no longer.
  context.coachRunning = false;
  EXPECT_EQ("Waiting for person tracking — 9 s", phaseWords(status, context));
}

TEST(StatusView, PauseTellsWhatItInterrupted)
{
  SessionStatus status = playing();
  status.phase = SessionStatus::PHASE_PAUSED;
  status.paused_phase = SessionStatus::PHASE_PLAYING;
  const nlohmann::json view = statusView(status, running());
  EXPECT_EQ("Paused", view["phase_words"]);
  EXPECT_EQ("paused", view["phase"]);
  EXPECT_EQ(true, view["paused"]);
  EXPECT_EQ(false, view["over"]);
  EXPECT_EQ("Exercise 3 of 9: Arms to the side — 45 %", view["paused_words"]);

  status.phase = SessionStatus::PHASE_PLAYING;
  EXPECT_EQ("", statusView(status, running())["paused_words"]);
}

TEST(StatusView, SessionRowsAndProgress)
{
  SessionStatus status = playing();
  status.row = 431;
  status.rows = 960;
  status.session_elapsed = 120.5;
  status.session_remaining = 210;
  status.last_cue = "kollaryana.wav";
  status.speed = 0.75;
  status.recordings = 3;
  for (const char* file : {"01_a_b.txt", "02_c.txt", "03_arms_to_the_side.txt"})
  {
    nao_kinora_msgs::RecordingStatus recording;
    recording.file = file;
    recording.rows = 25;
    recording.playing_time = 2.96;
    status.session.push_back(recording);
  }
  status.session[0].reported = true;
  status.session[0].moving_joints = {3, 7};
  status.session[1].skipped = true;

  const nlohmann::json view = statusView(status, running());
  EXPECT_EQ("running", view["coach"]);
  EXPECT_EQ(3, view["recording"]);
  EXPECT_EQ(3, view["recordings"]);
  EXPECT_EQ("Arms to the side", view["title"]);
  EXPECT_EQ(431, view["row"]);
  EXPECT_EQ(960, view["rows"]);
  EXPECT_DOUBLE_EQ(18.2, view["played"].get<double>());
  EXPECT_DOUBLE_EQ(40.36, view["total"].get<double>());
  EXPECT_DOUBLE_EQ(120.5, view["elapsed"].get<double>());
  EXPECT_DOUBLE_EQ(210, view["remaining"].get<double>());
  EXPECT_EQ("kollaryana.wav", view["last_cue"]);
  EXPECT_EQ("Introduction: arms to the side", view["cue_words"]);
  EXPECT_DOUBLE_EQ(0.75, view["speed"].get<double>());
  ASSERT_EQ(3u, view["session"].size());
  EXPECT_EQ((nlohmann::json{{"number", 1},
                            {"file", "01_a_b.txt"},
                            {"title", "A b"},
                            {"rows", 25},
                            {"playing_time", 2.96},
                            {"reported", true},
                            {"skipped", false},
                            {"moving", {"left shoulder roll", "right shoulder roll"}},
                            {"current", false}}),
            view["session"][0]);
  EXPECT_EQ(true, view["session"][1]["skipped"]);
  EXPECT_EQ(false, view["session"][1]["current"]);
  EXPECT_EQ(true, view["session"][2]["current"]);
  EXPECT_EQ(0u, view["session"][2]["moving"].size());
  EXPECT_EQ(3, view["session"][2]["number"]);
}

TEST(StatusView, SessionStartedAtALaterRecording)
{
  // Recordings 7 to 9 of 9; the 8th plays.
  SessionStatus status = playing();
  status.recording = 8;
  status.session.resize(3);
  const nlohmann::json view = statusView(status, running());
  ASSERT_EQ(3u, view["session"].size());
  for (int k = 0; k < 3; ++k)
  {
    EXPECT_EQ(7 + k, view["session"][k]["number"]);
    EXPECT_EQ(k == 1, view["session"][k]["current"]) << k;
  }
}

TEST(StatusView, PeersFromSubscriberCounts)
{
  SessionStatus status = playing();
  auto peers = [&](int talker, int joints, int startStop, bool consoleOnRows)
  {
    status.talkerfilename_subscribers = talker;
    status.joint_angle_array_subscribers = joints;
    status.motion_start_stop_subscribers = startStop;
    StatusContext context = running();
    context.consoleOnJointRows = consoleOnRows;
    std::string connected;
    const nlohmann::json view = statusView(status, context);
    for (const auto& peer : view["peers"])
      connected += peer["connected"] ? "1" : "0";
    return connected;
  };
  const nlohmann::json names = statusView(status, running())["peers"];
  ASSERT_EQ(3u, names.size());
  EXPECT_EQ("Robot's voice", names[0]["name"]);
  EXPECT_EQ("Robot's movements", names[1]["name"]);
  EXPECT_EQ("Person tracking", names[2]["name"]);

  EXPECT_EQ("111", peers(1, 2, 2, true));   // everyone, and the console on the rows
  EXPECT_EQ("010", peers(0, 2, 1, true));   // the motion executor alone
  EXPECT_EQ("001", peers(0, 1, 1, true));   // the console is the only row subscriber
  EXPECT_EQ("110", peers(1, 1, 1, false));  // a console not connected to the rows counts for none
  EXPECT_EQ("000", peers(0, 0, 0, false));

  // Nothing is connected to a program that is not running.
  StatusContext gone = running();
  gone.coachRunning = false;
  status.talkerfilename_subscribers = status.joint_angle_array_subscribers = status.motion_start_stop_subscribers = 1;
  const nlohmann::json view = statusView(status, gone);
  for (const auto& peer : view["peers"])
  {
    EXPECT_EQ(false, peer["connected"]);
    EXPECT_EQ("not connected", peer["state"]);
  }
  EXPECT_EQ("gone", view["coach"]);

  // After the session ended, the robot's programs go on: the last status says which.
  status.phase = SessionStatus::PHASE_OVER;
  status.talkerfilename_subscribers = 1;
  status.joint_angle_array_subscribers = 0;  // no motion executor
  status.motion_start_stop_subscribers = 1;
  const nlohmann::json over = statusView(status, gone);
  EXPECT_EQ("session over; still running on the robot", over["peers"][0]["state"]);
  EXPECT_EQ("session over; was not connected", over["peers"][1]["state"]);
  EXPECT_EQ("session over; still running on the robot", over["peers"][2]["state"]);
}

TEST(StatusView, BeforeAnyStatus)
{
  const nlohmann::json view = statusView(SessionStatus(), StatusContext());
  EXPECT_EQ("waiting", view["coach"]);
  EXPECT_EQ("none", view["phase"]);
  EXPECT_EQ("Waiting for a session to start", view["phase_words"]);
  EXPECT_EQ(0u, view["session"].size());
}
