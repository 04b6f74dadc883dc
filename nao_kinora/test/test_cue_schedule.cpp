// The spoken cues of every command-line position, in one run of ten
// recordings with a tracking node that answers each report: opening cues and
// their pauses, feedback cues named by their position and sent just before
// their row, row 0 held 2 s, and every row on the wire bit for bit.
#include "run_script.h"

#include <gtest/gtest.h>

using kinora_test::Harness;
using kinora_test::TempDir;
using namespace run_script;

namespace
{
const int kRecordings = 10;  // arguments 2 to 11: every schedule, and one without cues
const int kRowsPastCues = 10;
const int kRowsWithoutCues = 30;

int currentargvOf(int n)
{
  return n + 2;
}

// Long enough to reach every feedback row of its position.
Recording recordingFor(int n)
{
  const std::vector<int> feedbackRows = scheduleFor(currentargvOf(n)).feedbackRows;
  const int rows = feedbackRows.empty() ? kRowsWithoutCues : feedbackRows.back() + kRowsPastCues;
  return makeQuickRecording("r" + std::to_string(n) + ".txt", n, rows, {n}, feedbackRows);
}
}  // namespace

TEST(CueSchedule, EveryPositionInOneRun)
{
  Harness h;
  TempDir dir;
  std::vector<Recording> recordings;
  for (int n = 0; n < kRecordings; ++n)
    recordings.push_back(recordingFor(n));
  auto node = startRun(h, dir.path(), std::to_string(kRecordings), recordings);

  // The tracking node answers each report at once; the next recording starts
  // at the same ROS time.
  Script s;
  s.greeting();
  std::string console;
  for (int n = 0; n < kRecordings; ++n)
  {
    s.play(recordings[n], scheduleFor(currentargvOf(n)));
    console += playedLines(recordings[n].rows(), {n});
    if (n + 1 == kRecordings)
      break;
    s.act([&h, n] { ASSERT_TRUE(tell(h, "trackingfinished", n)); });
    console += "Trackingfinished" + std::to_string(n) + "\n";
  }
  EXPECT_TRUE(closesAsScripted(h, *node, s, recordings));
  EXPECT_EQ(console, node->out());
}

// Each recording's own cues (~cues) in place of its place's: the first says
// nothing, the second has the cue of the third place with feedback rows given
// out of order and named as given, the third two opening cues; nothing of the
// schedule by place is said.
TEST(CueSchedule, OwnCuesInPlaceOfThePlaces)
{
  Harness h;
  TempDir dir;
  const std::vector<Recording> recordings{makeQuickRecording("a.txt", 0, 30, {0}),
                                          makeQuickRecording("b.txt", 1, 30, {1}, {5, 20}),
                                          makeQuickRecording("c.txt", 2, 30, {2}, {10})};
  const std::string cues = R"([{},
    {"introduction": [{"cue": "kollaryana.wav", "pause": 5}],
     "feedback": [{"row": 20, "cue": "3feed.wav"}, {"row": 5, "cue": "good.wav"}]},
    {"introduction": [{"cue": "oturabilirsiniz.wav", "pause": 10}, {"cue": "dirsekler.wav", "pause": 2.5}],
     "feedback": [{"row": 10, "cue": "half-way.wav"}, {"row": 99, "cue": "never.wav"}]}])";
  auto node = startRun(h, dir.path(), "3", recordings, nodeTopics(), {"_cues:=" + cues});

  const std::vector<CueSchedule> own{
      {},
      {{20, 5}, {{"kollaryana.wav", 5000}}, {"3feed.wav", "good.wav"}},
      {{10, 99}, {{"oturabilirsiniz.wav", 10000}, {"dirsekler.wav", 2500}}, {"half-way.wav", "never.wav"}}};
  Script s;
  s.greeting();
  std::string console;
  for (int n = 0; n < 3; ++n)
  {
    s.play(recordings[n], own[n]);
    console += playedLines(recordings[n].rows(), {n});
    if (n == 2)
      break;
    s.act([&h, n] { ASSERT_TRUE(tell(h, "trackingfinished", n)); });
    console += "Trackingfinished" + std::to_string(n) + "\n";
  }
  EXPECT_TRUE(closesAsScripted(h, *node, s, recordings));
  EXPECT_EQ(console, node->out());
}
