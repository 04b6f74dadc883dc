#include "nao_kinora/loader.h"
#include "nao_kinora/recording.h"
#include "nao_kinora/run_flags.h"

#include "recording_files.h"

#include <gtest/gtest.h>

#include <locale>
#include <string>
#include <vector>

using namespace nao_kinora;

using recording_files::generatedRow;
using recording_files::rowLines;
using recording_files::rowText;

namespace
{
// Loads from a fresh directory; play_joints starts with a stale row so that a
// loader which forgets to empty it is caught.
class Load : public recording_files::InRecordingDir
{
protected:
  void SetUp() override
  {
    InRecordingDir::SetUp();
    play_joints.assign(1, generatedRow(99));
  }

  // Writes content as name, loads it, and returns what loadRecording wrote on standard error.
  std::string load(const std::string& name, const std::string& content)
  {
    dir_.write(name, content);
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    loadRecording(name);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ("", ::testing::internal::GetCapturedStdout());
    return err;
  }
};

// Generated rows first..last, as the loader stores them when row `first` is row 0.
std::vector<JointRow> loadedRows(int first, int last)
{
  std::vector<JointRow> rows;
  for (int r = first; r <= last; ++r)
    rows.push_back(generatedRow(r));
  rows[0][kDurationColumn] = kFirstRowDuration;
  return rows;
}

// A row whose first columns are given and whose other columns are 0.
JointRow rowStartingWith(const std::vector<float>& head)
{
  JointRow row;
  row.assign(0.0f);
  for (std::size_t c = 0; c < head.size(); ++c)
    row[c] = head[c];
  return row;
}

// Zeros for columns first..last, each preceded by a blank.
std::string zeros(int first, int last = kRowColumns - 1)
{
  std::string text;
  for (int c = first; c <= last; ++c)
    text += " 0";
  return text;
}
}  // namespace

TEST_F(Load, ALineWithTooFewNumbersEndsTheRecording)
{
  const std::string text = rowLines(0, 1) + rowText(2, kRowColumns - 1) + "\n" + rowLines(3, 4);
  load("short", text);
  EXPECT_EQ(loadedRows(0, 1), play_joints);
}

TEST_F(Load, ABlankLineEndsTheRecordingWhateverFollows)
{
  load("blank", rowLines(0, 9) + "\n" + rowLines(10, 12));
  EXPECT_EQ(loadedRows(0, 9), play_joints);
}

TEST_F(Load, NumbersAfterColumn22AndTrailingWordsAreIgnored)
{
  load("extra", rowText(0) + " 5 6\n" + rowText(1) + " done\n" + rowText(2) + "\n");
  EXPECT_EQ(loadedRows(0, 2), play_joints);
}

TEST_F(Load, ReadsSignsExponentsAndLeadingPoints)
{
  load("forms", rowText(0) + "\n \t-0.5 +1 1e-3 .25 1E+2 -2.5e-1 7." + zeros(7) + "\n");
  ASSERT_EQ(2u, play_joints.size());
  JointRow expected = rowStartingWith({-0.5f, 1.0f, 1e-3f, 0.25f, 100.0f, -0.25f, 7.0f});
  EXPECT_EQ(expected, play_joints[1]);
}

TEST_F(Load, ACommaAsDecimalPointOrSeparatorEndsTheRecording)
{
  load("decimal_comma", rowLines(0, 1) + "0,5" + zeros(1) + "\n" + rowLines(2, 2));
  EXPECT_EQ(loadedRows(0, 1), play_joints);

  load("separator_comma", rowLines(0, 0) + "1, 2" + zeros(2) + "\n" + rowLines(1, 1));
  EXPECT_EQ(loadedRows(0, 0), play_joints);
}

TEST_F(Load, AGlobalLocaleWithADecimalCommaChangesNothing)
{
  struct CommaPoint : std::numpunct<char>
  {
    char do_decimal_point() const { return ','; }
  };
  const std::locale saved = std::locale::global(std::locale(std::locale::classic(), new CommaPoint));
  load("points", "0.5" + zeros(1) + "\n0.75" + zeros(1) + "\n");
  std::locale::global(saved);
  ASSERT_EQ(2u, play_joints.size());
  EXPECT_EQ(0.5f, play_joints[0][0]);
  EXPECT_EQ(0.75f, play_joints[1][0]);
}

TEST_F(Load, FirstRowIsHeldTwoSecondsAndTheOthersKeepTheirDuration)
{
  const std::string line = "1" + zeros(1, kDurationColumn - 1) + " 0.04\n";
  load("durations", line + line);
  ASSERT_EQ(2u, play_joints.size());
  EXPECT_EQ(2.0f, play_joints[0][kDurationColumn]);
  EXPECT_EQ(0.04f, play_joints[1][kDurationColumn]);
  EXPECT_EQ(1.0f, play_joints[1][0]);
}

TEST_F(Load, TheLastLineEndIsOptional)
{
  load("with_end", rowLines(0, 2));
  EXPECT_EQ(loadedRows(0, 2), play_joints);

  load("without_end", rowLines(0, 1) + rowText(2));
  EXPECT_EQ(loadedRows(0, 2), play_joints);
}

TEST_F(Load, CarriageReturnLineFeedFilesLoadLikeLineFeedFiles)
{
  std::string crlf;
  for (int r = 0; r <= 3; ++r)
    crlf += rowText(r) + "\r\n";
  load("crlf", crlf + "\r\n" + rowText(4) + "\r\n");
  EXPECT_EQ(loadedRows(0, 3), play_joints);
}

TEST_F(Load, ASecondLoadLeavesNoRowOfTheFirst)
{
  load("long", rowLines(0, 4));
  load("short", rowLines(10, 11));
  EXPECT_EQ(loadedRows(10, 11), play_joints);
}

TEST_F(Load, TheArgumentIsAppendedToTheDirectoryAsItIs)
{
  dir_.makeDir("sub");
  dir_.write("sub/take", rowLines(0, 1));
  dir_.write("prefix_take", rowLines(2, 3));

  loadRecording("sub/take");
  EXPECT_EQ(loadedRows(0, 1), play_joints);

  staticdisplaycommand2 = dir_.path() + "prefix_";
  loadRecording("take");
  EXPECT_EQ(loadedRows(2, 3), play_joints);
}

// A recording without a row leaves play_joints empty and names the file on standard error.
TEST_F(Load, NoRowLeavesTheRecordingEmptyAndSaysWhichFile)
{
  const std::string missing = dir_.path() + "missing";
  testing::internal::CaptureStderr();
  loadRecording("missing");
  const std::string missingErr = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(play_joints.empty());
  EXPECT_NE(std::string::npos, missingErr.find("[" + missing + "]")) << missingErr;

  play_joints.assign(1, generatedRow(99));
  const std::string emptyErr = load("empty", "");
  EXPECT_TRUE(play_joints.empty());
  EXPECT_NE(std::string::npos, emptyErr.find("[" + dir_.path() + "empty]")) << emptyErr;

  play_joints.assign(1, generatedRow(99));
  const std::string malformedErr = load("malformed", rowText(0, kRowColumns - 1) + "\n" + rowLines(1, 3));
  EXPECT_TRUE(play_joints.empty());
  EXPECT_NE(std::string::npos, malformedErr.find("[" + dir_.path() + "malformed]")) << malformedErr;
}

TEST(ParseJointRow, CountsTheNumbersALineStartsWith)
{
  JointRow row;
  EXPECT_EQ(0, parseJointValues("", row));
  EXPECT_EQ(0, parseJointValues("x 1 2", row));
  EXPECT_EQ(3, parseJointValues("1 2 3 x", row));
  EXPECT_EQ(kRowColumns - 1, parseJointValues(rowText(0, kRowColumns - 1), row));
  EXPECT_EQ(kRowColumns, parseJointValues(rowText(0) + " 1 2", row));
  EXPECT_FALSE(parseJointRow(rowText(0, kRowColumns - 1), row));
  EXPECT_TRUE(parseJointRow(rowText(3), row));
  EXPECT_EQ(generatedRow(3), row);
}
