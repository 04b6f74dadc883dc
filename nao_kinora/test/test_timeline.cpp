// The session timeline worked out from small generated recordings: exact row
// and cue times, the feedback rows a recording does not reach, session length.
#include "nao_kinora/timeline.h"

#include "nao_kinora/recording.h"
#include "recording_files.h"

#include <gtest/gtest.h>

#include <locale>
#include <sstream>
#include <string>
#include <vector>

using namespace nao_kinora;

using kinora_test::TempDir;

namespace
{
// A row with every joint at 0.1 but joint 3 at joint3, and its duration as written.
std::string line(float joint3, const std::string& duration)
{
  std::ostringstream text;
  text.imbue(std::locale::classic());
  for (int j = 0; j < kJointCount; ++j)
    text << (j == 3 ? joint3 : 0.1f) << ' ';
  text << duration << '\n';
  return text.str();
}

// 100 rows. Row 0 says 9 s (held 2 s); then the durations 0.5, -1, 0, 0.25
// repeat from row 1, the last two not held at all. Joint 3 swings by +-0.5
// (variance 0.25), the rest stay still.
std::string mixedDurations()
{
  const char* const cycle[] = {"0.25", "0.5", "-1", "0"};
  std::string text = line(-0.5f, "9");
  for (int r = 1; r < 100; ++r)
    text += line(r % 2 ? 0.5f : -0.5f, cycle[r % 4]);
  return text;
}

// rows rows of 0.125 s, nothing moving.
std::string evenRows(int rows)
{
  std::string text;
  for (int r = 0; r < rows; ++r)
    text += line(0.0f, "0.125");
  return text;
}

class Timeline : public ::testing::Test
{
protected:
  void SetUp()
  {
    savedDir_ = staticdisplaycommand2;
    staticdisplaycommand2 = dir_.path();
    dir_.write("mixed.txt", mixedDurations());
    dir_.write("elbows.txt", evenRows(131));
    dir_.write("one.txt", evenRows(1));
    dir_.write("empty.txt", "");
  }
  void TearDown() { staticdisplaycommand2 = savedDir_; }

  TempDir dir_;

private:
  std::string savedDir_;
};

void expectCue(const CueAt& cue, double time, const std::string& file, double pause, int row)
{
  EXPECT_EQ(time, cue.time) << file;
  EXPECT_EQ(file, cue.file);
  EXPECT_EQ(pause, cue.pause) << file;
  EXPECT_EQ(row, cue.row) << file;
}

TEST_F(Timeline, PacesRowsByTheirDurationsAfterTheOpeningCue)
{
  varseq[0] = 42.0f;
  const RecordingTimeline r = planRecording(kFirstRecordingArg, "mixed.txt");
  EXPECT_EQ(42.0f, varseq[0]) << "planning changed the node's report variables";

  EXPECT_EQ(1, r.number());
  ASSERT_EQ(1u, r.opening.size());
  expectCue(r.opening[0], 0.0, "ellerbeldesol.wav", 5.0, -1);
  ASSERT_EQ(100u, r.rowTimes.size());
  EXPECT_EQ(5.0, r.rowTimes[0]);
  EXPECT_EQ(7.0, r.rowTimes[1]);  // row 0 held 2 s, not the 9 s written
  EXPECT_EQ(7.5, r.rowTimes[2]);
  EXPECT_EQ(7.5, r.rowTimes[3]);  // -1: no pause
  EXPECT_EQ(7.5, r.rowTimes[4]);  // 0: no pause
  EXPECT_EQ(7.75, r.rowTimes[5]);
  EXPECT_EQ(24.75, r.rowTimes[94]);
  EXPECT_EQ(25.5, r.end);
  EXPECT_EQ(25.5, r.length());

  ASSERT_EQ(1u, r.feedback.size());
  expectCue(r.feedback[0], 24.75, "1feed.wav", 0.0, 94);
  ASSERT_EQ(2u, r.neverPlayed.size());
  EXPECT_EQ("2feed.wav", r.neverPlayed[0].file);
  EXPECT_EQ(470, r.neverPlayed[0].row);
  EXPECT_EQ("3feed.wav", r.neverPlayed[1].file);
  EXPECT_EQ(832, r.neverPlayed[1].row);
  EXPECT_EQ(std::vector<int>{3}, r.moving);
}

TEST_F(Timeline, GivesTheFourthRecordingBothOpeningCuesAndItsLastRowsFeedback)
{
  const RecordingTimeline r = planRecording(kFirstRecordingArg + 3, "elbows.txt");

  ASSERT_EQ(2u, r.opening.size());
  expectCue(r.opening[0], 0.0, "oturabilirsiniz.wav", 10.0, -1);
  expectCue(r.opening[1], 10.0, "dirsekler.wav", 5.0, -1);
  ASSERT_EQ(131u, r.rowTimes.size());
  EXPECT_EQ(15.0, r.rowTimes[0]);
  EXPECT_EQ(17.0, r.rowTimes[1]);
  EXPECT_EQ(33.125, r.rowTimes[130]);
  EXPECT_EQ(33.25, r.end);
  ASSERT_EQ(1u, r.feedback.size());
  expectCue(r.feedback[0], 33.125, "1feed.wav", 0.0, 130);  // the last row
  ASSERT_EQ(4u, r.neverPlayed.size());
  EXPECT_EQ("5feed.wav", r.neverPlayed[3].file);
  EXPECT_EQ(721, r.neverPlayed[3].row);
  EXPECT_TRUE(r.moving.empty());
}

TEST_F(Timeline, CountsNoTimeForARecordingWithNoRowAndNoCueAfterTheNinth)
{
  const RecordingTimeline empty = planRecording(kFirstRecordingArg + 1, "empty.txt");
  EXPECT_FALSE(empty.check.playable());
  EXPECT_TRUE(empty.rowTimes.empty());
  EXPECT_EQ(0.0, empty.length());
  EXPECT_TRUE(empty.feedback.empty());
  EXPECT_EQ(3u, empty.neverPlayed.size());
  EXPECT_TRUE(empty.moving.empty());

  const RecordingTimeline tenth = planRecording(kFirstRecordingArg + 9, "one.txt");
  EXPECT_EQ(10, tenth.number());
  EXPECT_TRUE(tenth.opening.empty());
  EXPECT_EQ(std::vector<double>{0.0}, tenth.rowTimes);
  EXPECT_EQ(2.0, tenth.end);
  EXPECT_TRUE(tenth.feedback.empty());
  EXPECT_TRUE(tenth.neverPlayed.empty());
}

TEST_F(Timeline, AddsGreetingRecordingsAndClosingIntoTheSessionLength)
{
  const SessionTimeline session = planSession({4.0f, {"mixed.txt", "one.txt", "one.txt", "elbows.txt"}});

  ASSERT_EQ(2u, session.greeting.size());
  expectCue(session.greeting[0], 0.0, "merhaba.wav", 5.0, -1);
  expectCue(session.greeting[1], 5.0, "aciklama.wav", 5.0, -1);
  ASSERT_EQ(4u, session.recordings.size());
  EXPECT_EQ(kFirstRecordingArg + 3, session.recordings[3].currentargv);
  // 25.5 s; 5 s opening + row 0; the same; then the fourth recording's 33.25 s.
  EXPECT_EQ((std::vector<double>{10.0, 35.5, 42.5, 49.5}), session.starts);
  expectCue(session.closing, 82.75, "bitis.wav", 5.0, -1);
  EXPECT_EQ(87.75, session.length());
  EXPECT_TRUE(session.playable());

  EXPECT_FALSE(planSession({2.0f, {"one.txt", "empty.txt"}}).playable());
}
}  // namespace
