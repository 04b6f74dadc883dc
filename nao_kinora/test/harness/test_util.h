// Small helpers shared by the tests of both packages: files, text and waiting.
#ifndef NAO_KINORA_TEST_HARNESS_TEST_UTIL_H
#define NAO_KINORA_TEST_HARNESS_TEST_UTIL_H

#include <functional>
#include <string>
#include <vector>

namespace kinora_test
{
// The whole content of a file; empty when it cannot be read.
std::string readFile(const std::string& path);

bool contains(const std::string& text, const std::string& part);

// The lines of text (e.g. a Process's output) that start with prefix, without their line ends.
std::vector<std::string> linesWith(const std::string& text, const std::string& prefix);

// The last lines of a text, for failure messages about a long console.
std::string lastLines(const std::string& text, int lines);

// Polls cond in wall time every pollSeconds until it holds or wallSeconds have
// passed; returns cond().
bool waitWallFor(const std::function<bool()>& cond, double wallSeconds, double pollSeconds = 0.001);

// Waits in wall time until the file (which another process may still be
// writing) holds text; returns whether it does. For a file written after
// something else the test waited for, e.g. a log line after a message.
bool waitForText(const std::string& path, const std::string& text, double wallSeconds);

// A fresh directory under /tmp, removed with everything in it at the end of the test.
class TempDir
{
public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The directory, ending in "/".
  const std::string& path() const { return path_; }
  // Writes content to name in the directory and returns the full path.
  std::string write(const std::string& name, const std::string& content) const;
  // Makes the subdirectory name.
  void makeDir(const std::string& name) const;

private:
  std::string path_;
};
}  // namespace kinora_test

#endif  // NAO_KINORA_TEST_HARNESS_TEST_UTIL_H
