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
  std::string detail;
};

// A clinic request (target: after /api/clinic) that was answered with status and reply.
AuditAction clinicAction(const std::string& method, const std::string& target, int status, const nlohmann::json& reply);
// A control of the running session (/api/pause, /api/skip, /api/end, /api/speed) that succeeded.
AuditAction controlAction(const std::string& path, const nlohmann::json& body);
}  // namespace nao_kinora_console

#endif  // NAO_KINORA_CONSOLE_AUDIT_ACTIONS_H
