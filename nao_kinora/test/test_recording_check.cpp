#include "nao_kinora/recording_check.h"

#include "nao_kinora/loader.h"
#include "nao_kinora/recording.h"
#include "nao_kinora/run_flags.h"
#include "recording_files.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace nao_kinora;

using recording_files::cell;
using recording_files::rowLines;
using recording_files::rowText;

namespace
{
class Check : public recording_files::InRecordingDir
{
protected:
  // Checks the file name (written with content) and asserts that the check
  // agrees row for row with loadRecording, and that it prints nothing.
  RecordingCheck check(const std::string& name, const std::string& content)
  {
    const std::string path = dir_.write(name, content);
    std::vector<JointRow> checked;
    ::testing::internal::CaptureStdout();
    const RecordingCheck result = checkRecording(path, &checked);
    EXPECT_EQ("", ::testing::internal::GetCapturedStdout());

    ::testing::internal::CaptureStderr();
    loadRecording(name);
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(play_joints.size(), result.rows);
    EXPECT_EQ(play_joints, checked);
    EXPECT_EQ(path, result.path);
    return result;
  }

  std::string at(const std::string& name, int line) const
  {
    return dir_.path() + name + ":" + std::to_string(line) + ": ";
  }
};

// Holds when text contains part.
::testing::AssertionResult contains(const std::string& text, const std::string& part)
{
  if (text.find(part) != std::string::npos)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "[" << text << "] lacks [" << part << "]";
}

// A generated row line whose duration column is the given text.
std::string rowWithDuration(int r, const std::string& duration)
{
  return rowText(r, kDurationColumn) + " " + duration + "\n";
}
}  // namespace

TEST_F(Check, ACleanRecordingHasNoProblemAndItsPlayingTime)
{
  const RecordingCheck result = check("clean", rowLines(0, 3) + "\n\n \r\n");
  EXPECT_EQ(4u, result.rows);
  EXPECT_TRUE(result.problems.empty()) << result.problems[0].message;
  EXPECT_TRUE(result.playable());
  const double expected = 2.0 + cell(1, kDurationColumn) + cell(2, kDurationColumn) + cell(3, kDurationColumn);
  EXPECT_EQ(expected, result.playingTime);
}

TEST_F(Check, AFileThatCannotBeOpenedIsFatal)
{
  const std::string path = dir_.path() + "absent";
  const RecordingCheck result = checkRecording(path);
  EXPECT_EQ(0u, result.rows);
  EXPECT_EQ(0.0, result.playingTime);
  ASSERT_EQ(1u, result.problems.size());
  EXPECT_EQ(RecordingProblem::kCannotOpen, result.problems[0].kind);
  EXPECT_EQ(0, result.problems[0].line);
  EXPECT_TRUE(contains(result.problems[0].message, path + ": "));
  EXPECT_FALSE(result.playable());
}

TEST_F(Check, AnEmptyFileHasNoRow)
{
  const RecordingCheck result = check("empty", "");
  EXPECT_EQ(0u, result.rows);
  ASSERT_EQ(1u, result.problems.size());
  EXPECT_EQ(RecordingProblem::kNoRow, result.problems[0].kind);
  EXPECT_EQ(0, result.problems[0].line);
  EXPECT_TRUE(contains(result.problems[0].message, dir_.path() + "empty: "));
  EXPECT_FALSE(result.playable());
}

TEST_F(Check, AMalformedFirstLineSaysHowManyNumbersItHeld)
{
  const RecordingCheck result = check("header", "1 2 3 x\n" + rowLines(0, 2) + "\n");
  EXPECT_EQ(0u, result.rows);
  ASSERT_EQ(1u, result.problems.size());
  const RecordingProblem& problem = result.problems[0];
  EXPECT_EQ(RecordingProblem::kNoRow, problem.kind);
  EXPECT_EQ(1, problem.line);
  EXPECT_TRUE(contains(problem.message, at("header", 1)));
  EXPECT_TRUE(contains(problem.message, "starts with 3 of the 23 numbers"));
  EXPECT_TRUE(contains(problem.message, "the 3 non-blank line(s) after it, up to line 4"));
  EXPECT_FALSE(result.playable());

  const RecordingCheck blank = check("blank_first", "\n" + rowLines(0, 0));
  ASSERT_EQ(1u, blank.problems.size());
  EXPECT_EQ(RecordingProblem::kNoRow, blank.problems[0].kind);
  EXPECT_TRUE(contains(blank.problems[0].message, at("blank_first", 1) + "no row: the line is blank"));
}

TEST_F(Check, LinesThatAreNeverPlayedAreReportedWhereLoadingStops)
{
  const RecordingCheck shortLine =
      check("short", rowLines(0, 3) + rowText(4, kRowColumns - 1) + "\n" + rowLines(5, 6) + "\n");
  EXPECT_EQ(4u, shortLine.rows);
  ASSERT_EQ(1u, shortLine.problems.size());
  EXPECT_EQ(RecordingProblem::kStopsEarly, shortLine.problems[0].kind);
  EXPECT_EQ(5, shortLine.problems[0].line);
  EXPECT_TRUE(contains(shortLine.problems[0].message, at("short", 5) + "loading stops here"));
  EXPECT_TRUE(contains(shortLine.problems[0].message, "22 of the 23"));
  EXPECT_TRUE(contains(shortLine.problems[0].message, "3 non-blank line(s) from here to line 7"));
  EXPECT_TRUE(shortLine.playable());

  const RecordingCheck blank = check("gap", rowLines(0, 1) + "\n\n" + rowLines(2, 2) + "\n");
  ASSERT_EQ(1u, blank.problems.size());
  EXPECT_EQ(RecordingProblem::kStopsEarly, blank.problems[0].kind);
  EXPECT_EQ(3, blank.problems[0].line);
  EXPECT_TRUE(contains(blank.problems[0].message, "the line is blank; 1 non-blank line(s) from here to line 5"));

  const RecordingCheck lastLine = check("torn", rowLines(0, 1) + "0.5 0.25");
  ASSERT_EQ(1u, lastLine.problems.size());
  EXPECT_EQ(3, lastLine.problems[0].line);
  EXPECT_TRUE(contains(lastLine.problems[0].message, "starts with 2 of the 23 numbers"));
  EXPECT_TRUE(contains(lastLine.problems[0].message, "1 non-blank line(s) from here to line 3"));
}

TEST_F(Check, OddDurationsAreReportedAndCountedAsPlaybackHoldsThem)
{
  const std::string text = rowWithDuration(0, "-5") + rowWithDuration(1, "1.5") + rowWithDuration(2, "-0.25") +
                           rowWithDuration(3, "4000") + rowWithDuration(4, "3600") + rowWithDuration(5, "-0");
  const RecordingCheck result = check("durations", text);
  EXPECT_EQ(6u, result.rows);
  ASSERT_EQ(2u, result.problems.size());
  EXPECT_EQ(RecordingProblem::kOddDuration, result.problems[0].kind);
  EXPECT_EQ(3, result.problems[0].line);
  EXPECT_TRUE(contains(result.problems[0].message, at("durations", 3) + "duration -0.25 s is negative"));
  EXPECT_EQ(RecordingProblem::kOddDuration, result.problems[1].kind);
  EXPECT_EQ(4, result.problems[1].line);
  EXPECT_TRUE(contains(result.problems[1].message, at("durations", 4) + "duration 4000 s is longer than an hour"));
  EXPECT_TRUE(result.playable());
  EXPECT_EQ(2.0 + 1.5 + 4000 + 3600, result.playingTime);
}

TEST_F(Check, CarriageReturnsChangeNothing)
{
  std::string crlf;
  for (int r = 0; r <= 2; ++r)
    crlf += rowText(r) + "\r\n";
  const RecordingCheck result = check("crlf", crlf + "\r\n");
  EXPECT_EQ(3u, result.rows);
  EXPECT_TRUE(result.problems.empty());
}
