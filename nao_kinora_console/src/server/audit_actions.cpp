// Names of the audited actions, one per change or control; reads are not
// recorded, except an export, which takes a patient's data away.
#include "nao_kinora_console/server/audit_actions.h"

#include <cstdlib>
#include <sstream>
#include <vector>

namespace nao_kinora_console
{
namespace
{
std::vector<std::string> partsOf(const std::string& target)
{
  std::vector<std::string> parts;
  std::istringstream in(target.substr(0, target.find('?')));
  for (std::string part; std::getline(in, part, '/');)
    if (!part.empty())
      parts.push_back(part);
  return parts;
}

int64_t idIn(const nlohmann::json& reply, const char* name)
{
  return reply.is_object() && reply.contains(name) && reply[name].is_number_integer() ? reply[name].get<int64_t>() : 0;
}
}  // namespace

AuditAction clinicAction(const std::string& method, const std::string& target, int status, const nlohmann::json& reply)
{
  AuditAction a;
  const std::vector<std::string> p = partsOf(target);
  if (status >= 300 || p.empty())
    return a;
  const int64_t id = p.size() > 1 ? std::atoll(p[1].c_str()) : 0;
  const std::string sub = p.size() > 2 ? p[2] : "";
  const bool get = method == "GET" || method == "HEAD";
  if (p[0] == "patients")
  {
    a.patientId = p.size() == 1 ? idIn(reply, "id") : id;
    if (p.size() == 1 && method == "POST")
      a.action = "patient added";
    else if (sub.empty() && method == "PUT")
      a.action = "patient note changed";
    else if (sub.empty() && method == "DELETE")
      a.action = "patient deleted";
    else if (sub == "plans" && method == "POST")
    {
      a.action = "plan saved";
      a.planId = idIn(reply, "id");
      a.detail = "plan " + std::to_string(a.planId);
    }
    else if ((sub == "export.csv" || sub == "export.json") && get)
    {
      a.action = "export";
      a.detail = sub.substr(7);
    }
  }
  else if (p[0] == "plans")
  {
    a.planId = id;
    a.detail = "plan " + std::to_string(id);
    if (sub.empty() && method == "PUT")
      a.action = "plan changed";
    else if (sub.empty() && method == "DELETE")
      a.action = "plan deleted";
    else if (sub == "start" && method == "POST")
    {
      a.action = "start";
      a.sessionId = idIn(reply, "session");
    }
  }
  else if (p[0] == "sessions" && method == "POST")
  {
    a.sessionId = id;
    if (sub == "checkins")
      a.action = "check-in";
    else if (sub == "resume")
    {
      a.action = "resume";
      a.sessionId = idIn(reply, "session");
      a.detail = "takes up session " + std::to_string(id);
    }
  }
  if (a.action.empty())
    return AuditAction();
  return a;
}

AuditAction controlAction(const std::string& path, const nlohmann::json& body)
{
  AuditAction a;
  if (path == "/api/pause")
    a.action = body.value("pause", false) ? "pause" : "continue";
  else if (path == "/api/skip")
    a.action = "skip";
  else if (path == "/api/end")
    a.action = "end";
  else if (path == "/api/speed")
  {
    a.action = "speed";
    std::ostringstream speed;
    speed << body.value("speed", 0.0);
    a.detail = speed.str();
  }
  return a;
}
}  // namespace nao_kinora_console
