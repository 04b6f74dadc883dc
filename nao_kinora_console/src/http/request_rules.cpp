#include "nao_kinora_console/http/request_rules.h"

#include <arpa/inet.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>

namespace nao_kinora_console
{
namespace
{
bool endsWith(const std::string& text, const std::string& end)
{
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}
}  // namespace

bool isClinicPath(const std::string& path)
{
  return path.compare(0, 12, "/api/clinic/") == 0;
}

std::size_t bodyLimit(const std::string& target)
{
  const std::string path = target.substr(0, target.find('?'));
  return isClinicPath(path) ? kMaxClinicBody : path == "/api/pose" ? kMaxPoseBody : kMaxBody;
}

bool isLoopbackAddress(const std::string& address)
{
  if (address == "localhost" || address == "::1")
    return true;
  in_addr v4;
  return inet_pton(AF_INET, address.c_str(), &v4) == 1 && (ntohl(v4.s_addr) >> 24) == 127;
}

bool loopbackHostAllowed(const std::string& host, int port)
{
  const std::string suffix = ":" + std::to_string(port);
  if (!endsWith(host, suffix))
    return false;
  const std::string name = host.substr(0, host.size() - suffix.size());
  return name == "localhost" || name == "[::1]" || (name.find(':') == std::string::npos && isLoopbackAddress(name));
}

bool tokenMatches(const std::string& given, const std::string& token)
{
  if (token.empty())
    return false;
  // Every byte of the longer string is looked at, whatever the others hold.
  const std::size_t length = std::max(given.size(), token.size());
  unsigned difference = given.size() != token.size();
  for (std::size_t k = 0; k < length; ++k)
  {
    const unsigned char a = k < given.size() ? given[k] : 0;
    const unsigned char b = k < token.size() ? token[k] : 0;
    difference |= a ^ b;
  }
  return difference == 0;
}

bool originAllowed(const std::string& origin, const std::string& host, bool tls)
{
  return !host.empty() && origin == (tls ? "https://" : "http://") + host;
}

std::string staticFile(const std::string& target, const std::vector<StaticFolder>& folders)
{
  std::string path = target.substr(0, target.find('?'));
  if (path.empty() || path[0] != '/')
    return "";
  for (char c : path)
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-' || c == '/'))
      return "";
  // Every segment must be a plain name: no "", ".", ".." or hidden file.
  if (path == "/")
    path = "/index.html";
  for (std::size_t start = 1; start <= path.size();)
  {
    const std::size_t end = std::min(path.find('/', start), path.size());
    if (end == start || path[start] == '.')
      return "";
    start = end + 1;
  }
  const StaticFolder* folder = nullptr;
  for (const StaticFolder& f : folders)
    if (path.compare(0, f.prefix.size(), f.prefix) == 0 && (!folder || f.prefix.size() > folder->prefix.size()))
      folder = &f;
  if (!folder || folder->root.empty() || !endsWith(path, folder->extension))
    return "";
  // The rest of the path, from the prefix's final '/'.
  const std::string rest = path.substr(folder->prefix.size() - 1);
  char resolved[PATH_MAX];
  if (!realpath((folder->root + rest).c_str(), resolved))
    return "";
  const std::string real = resolved;
  const std::string& root = folder->root;
  struct stat info;
  if (real.compare(0, root.size() + 1, root + "/") != 0 || stat(real.c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
      !endsWith(real, folder->extension))
    return "";
  return real;
}

std::string queryValue(const std::string& target, const std::string& name)
{
  const std::size_t query = target.find('?');
  for (std::size_t start = query; start != std::string::npos && start < target.size();)
  {
    const std::size_t end = std::min(target.find('&', start + 1), target.size());
    const std::string pair = target.substr(start + 1, end - start - 1);
    if (pair.compare(0, name.size() + 1, name + "=") == 0)
      return pair.substr(name.size() + 1);
    start = end;
  }
  return "";
}

bool knownMethod(const std::string& method)
{
  for (const char* known : {"GET", "HEAD", "POST", "PUT", "DELETE", "CONNECT", "OPTIONS", "TRACE", "PATCH"})
    if (method == known)
      return true;
  return false;
}

bool numericLengthField(const std::string& bytes)
{
  const std::string name = "content-length:";
  const std::string line = bytes.substr(0, bytes.find("\r\n"));
  if (line.size() < name.size() ||
      !std::equal(name.begin(), name.end(), line.begin(), [](char a, char b) { return a == std::tolower(b); }))
    return false;
  const std::size_t from = line.find_first_not_of(" \t", name.size());
  const std::size_t to = line.find_last_not_of(" \t");
  return from != std::string::npos && line.find_first_not_of("0123456789", from) > to;
}

std::string mimeType(const std::string& path)
{
  if (endsWith(path, ".html"))
    return "text/html; charset=utf-8";
  if (endsWith(path, ".js"))
    return "text/javascript; charset=utf-8";
  if (endsWith(path, ".css"))
    return "text/css; charset=utf-8";
  if (endsWith(path, ".svg"))
    return "image/svg+xml";
  if (endsWith(path, ".png"))
    return "image/png";
  if (endsWith(path, ".urdf"))
    return "application/xml; charset=utf-8";
  if (endsWith(path, ".wasm"))  // compiled as it streams in only with its own type
    return "application/wasm";
  if (endsWith(path, ".wav"))
    return "audio/wav";
  return "application/octet-stream";
}
}  // namespace nao_kinora_console
