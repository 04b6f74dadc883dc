#include "test_util.h"

#include <gtest/gtest.h>
#include <ros/time.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace kinora_test
{
std::string readFile(const std::string& path)
{
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool contains(const std::string& text, const std::string& part)
{
  return text.find(part) != std::string::npos;
}

std::vector<std::string> linesWith(const std::string& text, const std::string& prefix)
{
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (line.compare(0, prefix.size(), prefix) == 0)
      lines.push_back(line);
  return lines;
}

std::string lastLines(const std::string& text, int lines)
{
  std::size_t from = text.size();
  for (int k = 0; k <= lines && from > 0; ++k)
    from = text.rfind('\n', from - 1);
  return from == std::string::npos ? text : text.substr(from + 1);
}

bool waitWallFor(const std::function<bool()>& cond, double wallSeconds, double pollSeconds)
{
  const ros::WallTime deadline = ros::WallTime::now() + ros::WallDuration(wallSeconds);
  while (!cond())
  {
    if (ros::WallTime::now() >= deadline)
      return cond();
    ros::WallDuration(pollSeconds).sleep();
  }
  return true;
}

bool waitForText(const std::string& path, const std::string& text, double wallSeconds)
{
  return waitWallFor([&] { return contains(readFile(path), text); }, wallSeconds);
}

TempDir::TempDir()
{
  char pattern[] = "/tmp/kinora_test_XXXXXX";
  const char* made = mkdtemp(pattern);
  EXPECT_TRUE(made != nullptr);
  path_ = std::string(made ? made : "/tmp") + "/";
}

TempDir::~TempDir()
{
  if (path_ == "/tmp/")
    return;
  std::error_code ignored;  // a leftover temporary directory is no reason to fail a test
  std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::write(const std::string& name, const std::string& content) const
{
  const std::string full = path_ + name;
  std::ofstream out(full, std::ios::binary);
  out << content;
  return full;
}

void TempDir::makeDir(const std::string& name) const
{
  const std::string full = path_ + name;
  EXPECT_EQ(0, mkdir(full.c_str(), 0700)) << full;
}
}  // namespace kinora_test
