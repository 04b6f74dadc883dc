// Generated recording files for the loader and check tests.
#ifndef NAO_KINORA_TEST_RECORDING_FILES_H
#define NAO_KINORA_TEST_RECORDING_FILES_H

#include "nao_kinora/recording.h"
#include "nao_kinora/run_flags.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <locale>
#include <sstream>
#include <string>

namespace recording_files
{
using nao_kinora::JointRow;
using nao_kinora::kRowColumns;

// Value of column c in generated row r: multiples of 1/4, so the decimal text
// and the float are the same number and rows compare exactly.
inline float cell(int r, int c)
{
  return 8.0f * r + 0.25f * c;
}

inline JointRow generatedRow(int r)
{
  JointRow row;
  for (int c = 0; c < kRowColumns; ++c)
    row[c] = cell(r, c);
  return row;
}

// The text of generated row r with `columns` numbers, without a line end.
inline std::string rowText(int r, int columns = kRowColumns)
{
  std::ostringstream text;
  text.imbue(std::locale::classic());
  for (int c = 0; c < columns; ++c)
    text << (c ? " " : "") << cell(r, c);
  return text.str();
}

// rowText for rows first..last, each ended by "\n".
inline std::string rowLines(int first, int last)
{
  std::string text;
  for (int r = first; r <= last; ++r)
    text += rowText(r) + "\n";
  return text;
}

// Loads from a fresh directory: the recording directory points there during
// the test and is put back after it.
class InRecordingDir : public ::testing::Test
{
protected:
  void SetUp() override
  {
    savedDir_ = staticdisplaycommand2;
    staticdisplaycommand2 = dir_.path();
  }
  void TearDown() override { staticdisplaycommand2 = savedDir_; }

  kinora_test::TempDir dir_;

private:
  std::string savedDir_;
};
}  // namespace recording_files

#endif  // NAO_KINORA_TEST_RECORDING_FILES_H
