#include "nao_kinora/recording_writer.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace nao_kinora
{
namespace
{
std::string folderOf(const std::string& path)
{
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos)
    return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string fileNameOf(const std::string& path)
{
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string failure(const std::string& what, const std::string& path)
{
  return "cannot " + what + " [" + path + "]: " + std::strerror(errno);
}

bool exists(const std::string& path)
{
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

bool writeAll(int fd, const std::string& text)
{
  for (std::size_t done = 0; done < text.size();)
  {
    const ssize_t wrote = write(fd, text.data() + done, text.size() - done);
    if (wrote < 0 && errno != EINTR)
      return false;
    if (wrote > 0)
      done += static_cast<std::size_t>(wrote);
  }
  return true;
}

// Puts the complete temporary file at path: a rename that replaces, or one
// that fails when path has appeared since the check before recording.
bool putInPlace(const std::string& temp, const std::string& path, bool overwrite)
{
  if (overwrite)
    return std::rename(temp.c_str(), path.c_str()) == 0;
  if (renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0)
    return true;
  if (errno != EINVAL && errno != ENOSYS)
    return false;
  // A file system without the flag: a hard link fails on an existing name too.
  if (link(temp.c_str(), path.c_str()) != 0)
    return false;
  unlink(temp.c_str());
  return true;
}

// The rename itself reaches the disk only with its folder.
void syncFolder(const std::string& folder)
{
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd < 0)
    return;
  fsync(fd);
  close(fd);
}
}  // namespace

std::string formatJointRow(const JointRow& row)
{
  std::string line;
  char number[32];
  for (std::size_t c = 0; c < row.size(); ++c)
  {
    // to_chars writes the shortest text that reads back as the same float,
    // whatever the locale.
    const std::to_chars_result end = std::to_chars(number, number + sizeof number, row[c]);
    if (c > 0)
      line += ' ';
    line.append(number, end.ptr);
  }
  return line;
}

std::string checkWritable(const std::string& path, bool overwrite)
{
  if (!overwrite && exists(path))
    return "[" + path + "] exists: give _overwrite:=true to replace it";
  const std::string folder = folderOf(path);
  if (access(folder.c_str(), W_OK | X_OK) != 0)
    return failure("write into the folder", folder);
  return "";
}

std::string writeRecording(const std::string& path, const std::vector<JointRow>& rows, bool overwrite)
{
  std::string text;
  for (const JointRow& row : rows)
    text += formatJointRow(row) + '\n';

  const std::string folder = folderOf(path);
  // Hidden, beside the recording: a rename never crosses file systems.
  std::string temp = folder + "/." + fileNameOf(path) + ".XXXXXX";
  const int fd = mkstemp(&temp[0]);
  if (fd < 0)
    return failure("create a temporary file in", folder);
  bool written = writeAll(fd, text) && fchmod(fd, 0644) == 0 && fsync(fd) == 0;
  std::string fault = written ? "" : failure("write", temp);
  if (close(fd) != 0 && written)
  {
    written = false;
    fault = failure("write", temp);
  }
  if (!written)
  {
    unlink(temp.c_str());
    return fault;
  }
  if (!putInPlace(temp, path, overwrite))
  {
    if (errno == EEXIST)
      return "[" + path + "] appeared while recording: not replaced; the recording is in [" + temp + "]";
    fault = failure("rename the recording to", path);
    unlink(temp.c_str());
    return fault;
  }
  syncFolder(folder);
  return "";
}
}  // namespace nao_kinora
