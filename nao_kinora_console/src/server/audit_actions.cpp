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

// A field of a JSON object, or null.
nlohmann::json fieldOf(const nlohmann::json& object, const char* name)
{
  return object.is_object() && object.contains(name) ? object[name] : nlohmann::json();
}

// What a plan's edit changed, from the plan before (the answer's "was") and the request.
nlohmann::json planChange(const nlohmann::json& request, const nlohmann::json& was)
{
  return {{"from", fieldOf(was, "name")},          {"to", fieldOf(request, "name")},
          {"speedWas", fieldOf(was, "speed")},     {"speed", fieldOf(request, "speed")},
          {"exercisesWas", fieldOf(was, "items")}, {"exercises", fieldOf(request, "items")}};
}
}  // namespace

std::string detailText(const nlohmann::json& detail)
{
  return detail.is_object() ? detail.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) : "";
}

AuditAction clinicAction(const std::string& method, const std::string& target, int status, const nlohmann::json& reply,
                         const nlohmann::json& request)
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
      a.detail = detailText({{"plan", fieldOf(request, "name")}});
    }
    else if ((sub == "export.csv" || sub == "export.json") && get)
    {
      a.action = "export";
      a.detail = detailText({{"format", sub == "export.csv" ? "CSV" : "JSON"}});
    }
  }
  else if (p[0] == "plans")
  {
    a.planId = id;
    if (sub.empty() && method == "PUT")
    {
      a.action = "plan changed";
      a.detail = detailText(planChange(request, fieldOf(reply, "was")));
    }
    else if (sub.empty() && method == "DELETE")
    {
      a.action = "plan deleted";
      a.detail = detailText({{"plan", fieldOf(reply, "name")}});
    }
    else if (sub == "start" && method == "POST")
    {
      a.action = "start";
      a.sessionId = idIn(reply, "session");
      a.detail = detailText({{"plan", fieldOf(reply, "planName")}});
    }
  }
  else if (p[0] == "sessions" && method == "POST")
  {
    a.sessionId = id;
    if (sub == "checkins")
    {
      a.action = "check-in";
      a.detail = detailText({{"exercise", fieldOf(request, "position")}});
    }
    else if (sub == "resume")
    {
      a.action = "resume";
      a.sessionId = idIn(reply, "session");
      a.detail = detailText({{"takesUp", id}, {"at", fieldOf(reply, "first")}});
    }
  }
  else if (p[0] == "library" && method == "PUT" && sub == "introduction")
  {
    a.action = "introduction changed";
    a.detail = detailText({{"exercise", fieldOf(reply, "title")}, {"to", fieldOf(reply, "words")}});
  }
  if (a.action.empty())
    return AuditAction();
  return a;
}

AuditAction controlAction(const std::string& path, const nlohmann::json& body, double speedWas)
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
    a.detail =
        detailText({{"speed", fieldOf(body, "speed")}, {"was", speedWas > 0 ? nlohmann::json(speedWas) : nullptr}});
  }
  return a;
}
}  // namespace nao_kinora_console
