// What the audit trail calls each change and control the console answered:
// from the request and its answer, without reading the store.
#ifndef NAO_KINORA_CONSOLE_AUDIT_ACTIONS_H
#define NAO_KINORA_CONSOLE_AUDIT_ACTIONS_H

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

namespace nao_kinora_console
{
struct AuditAction
{
  std::string action;  // "": nothing to record (a read, or refused)
  int64_t patientId = 0;
  int64_t planId = 0;  // for the console to find the patient
  int64_t sessionId = 0;
  std::string detail;  // a JSON object's text, what the trail's page words (trail_words.js)
};

// A detail's text for the trail: the JSON object, "" for anything else.
std::string detailText(const nlohmann::json& detail);

// A clinic request (target: after /api/clinic) with its body (request) that
// was answered with status and reply.
AuditAction clinicAction(const std::string& method, const std::string& target, int status, const nlohmann::json& reply,
                         const nlohmann::json& request = nlohmann::json());
// A control of the running session (/api/pause, /api/skip, /api/end, /api/speed)
// that succeeded; speedWas: the session's speed before it (0: unknown).
AuditAction controlAction(const std::string& path, const nlohmann::json& body, double speedWas = 0);
}  // namespace nao_kinora_console

#endif  // NAO_KINORA_CONSOLE_AUDIT_ACTIONS_H
