// Temporary recording files for the loader and check tests.
#ifndef NAO_KINORA_TEST_RECORDING_FILES_H
#define NAO_KINORA_TEST_RECORDING_FILES_H

#include "nao_kinora/run_flags.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <locale>
#include <sstream>
#include <string>
#include <vector>

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

// A fresh directory, removed with its files at the end of the test.
class TempDir
{
public:
  TempDir()
  {
    char pattern[] = "/tmp/kinora_rec_XXXXXX";
    const char* made = mkdtemp(pattern);
    EXPECT_TRUE(made != NULL);
    path_ = std::string(made ? made : "/tmp") + "/";
  }
  ~TempDir()
  {
    for (std::size_t k = created_.size(); k-- > 0;)
      std::remove(created_[k].c_str());
    std::remove(path_.substr(0, path_.size() - 1).c_str());
  }

  // The directory, ending in "/".
  const std::string& path() const { return path_; }

  // Writes content to name in the directory and returns the full path.
  std::string write(const std::string& name, const std::string& content)
  {
    const std::string full = path_ + name;
    std::ofstream out(full.c_str(), std::ios::binary);
    out << content;
    created_.push_back(full);
    return full;
  }

  // Makes the subdirectory name (removed after the files written into it).
  void makeDir(const std::string& name)
  {
    const std::string full = path_ + name;
    EXPECT_EQ(0, mkdir(full.c_str(), 0700)) << full;
    created_.push_back(full);
  }

private:
  std::string path_;
  std::vector<std::string> created_;  // removed in reverse order
};
}  // namespace recording_files

#endif  // NAO_KINORA_TEST_RECORDING_FILES_H
