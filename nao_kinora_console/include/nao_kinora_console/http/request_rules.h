// Who may ask the console what. The console moves a robot next to a person:
// these checks run before any request is served (console_server.cpp), and
// are kept free of the server so that each can be tested on its own.
#ifndef NAO_KINORA_CONSOLE_REQUEST_RULES_H
#define NAO_KINORA_CONSOLE_REQUEST_RULES_H

#include <string>
#include <vector>

namespace nao_kinora_console
{
// Largest request body the console reads; its actions take a few bytes.
const std::size_t kMaxBody = 1024;
// The clinic's requests (/api/clinic/...) may carry a plan of 100 names.
const std::size_t kMaxClinicBody = 16384;
// The tablet camera's landmarks (/api/pose): a batch of up to 15 frames.
const std::size_t kMaxPoseBody = 32768;

// Whether the path is one of the clinic's requests.
bool isClinicPath(const std::string& path);
// The largest body a request to this target may carry.
std::size_t bodyLimit(const std::string& target);

// 127.0.0.0/8, ::1 and "localhost": a console bound there is reachable from
// this machine only, and may run without a token.
bool isLoopbackAddress(const std::string& address);

// The Host header of a request to a console bound to a loopback address must
// name this machine by loopback and the console's port: another name means a
// page of some other site whose name was pointed at 127.0.0.1.
bool loopbackHostAllowed(const std::string& host, int port);

// The token compared in time independent of where the two first differ.
bool tokenMatches(const std::string& given, const std::string& token);

// An action's Origin header must name the console itself, as the Host header
// does, with the scheme the request came by.
bool originAllowed(const std::string& origin, const std::string& host, bool tls);

// A folder the console serves files from: a request whose path begins with
// prefix ("/", "/lib/three/": a '/' at both ends) names a file under root (a
// real path, no final '/'; "" when the folder is missing: nothing served).
// With an extension (".wav"), only files whose name and real name end in it.
struct StaticFolder
{
  std::string prefix;
  std::string root;
  std::string extension = "";
};

// The file that the raw request target names, or "" when nothing may be
// served for it: anything but plain letters, digits, '.', '_', '-' and '/' in
// its path (so any %-encoding), a ".." or "." segment, a hidden name, no
// folder whose prefix the path begins with, or a real path (symbolic links
// followed) that is not a regular file inside that folder's root, or not of
// the folder's extension. The folder with the longest such prefix holds it;
// "/" names index.html.
std::string staticFile(const std::string& target, const std::vector<StaticFolder>& folders);

// The value of the first name=value of the request target's query, "" when
// there is none (the console's token is plain characters, never %-encoded).
std::string queryValue(const std::string& target, const std::string& name);

// A method HTTP defines; the console answers any other with 400.
bool knownMethod(const std::string& method);

// Whether bytes begin with a Content-Length field whose value is digits only:
// where the parser stops at a length too large to hold.
bool numericLengthField(const std::string& bytes);

// The MIME type served for a static file, by its extension.
std::string mimeType(const std::string& path);
}  // namespace nao_kinora_console

#endif  // NAO_KINORA_CONSOLE_REQUEST_RULES_H
