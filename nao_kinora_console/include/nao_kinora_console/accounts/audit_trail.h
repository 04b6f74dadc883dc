// Who did what, when and in which room: every change and every control, in
// an append-only table (the database refuses to change or remove an entry).
// An entry names a patient by id only; the code is looked up when read, so
// once a patient is deleted their entries remain without it.
//
//   AuditTrail trail(db, wallNow);
//   trail.record({"maria", "room-a", "pause", patientId, sessionId, ""});
//   const auto newest = trail.page(0, 50);  // then page(newest.value.back().id, 50)
#ifndef NAO_KINORA_CONSOLE_AUDIT_TRAIL_H
#define NAO_KINORA_CONSOLE_AUDIT_TRAIL_H

#include "nao_kinora_console/db/store_result.h"
#include "nao_kinora_console/db/sql_connection.h"

#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace nao_kinora_console
{
struct AuditEvent
{
  std::string who;   // the account's name; "" when the console has no accounts (the shared token)
  std::string room;  // the console's room
  std::string action;
  int64_t patientId = 0;  // 0: none
  int64_t sessionId = 0;  // 0: none
  std::string detail;     // never a patient's code
  double at = 0;          // wall time it was done; 0: when it is recorded
};

struct AuditEntry
{
  int64_t id = 0;
  double at = 0;
  AuditEvent event;
  std::string patientCode;  // "" when none, or the patient was deleted
};

class AuditTrail
{
public:
  using Clock = std::function<double()>;
  AuditTrail(SqlConnection& db, Clock clock);

  // The entry's id. kDatabase: the database failed (try again later);
  // kRule: the entry itself cannot be stored.
  Result<int64_t> record(const AuditEvent& event);
  // Newest first: up to count entries older than the entry beforeId (0: from the newest).
  Result<std::vector<AuditEntry>> page(int64_t beforeId, int count);
  // A session's entries, oldest first, for its report.
  Result<std::vector<AuditEntry>> ofSession(int64_t sessionId);

private:
  Result<std::vector<AuditEntry>> read(const std::string& where, int64_t key, int64_t limit);

  SqlConnection& db_;
  Clock clock_;
  std::mutex mutex_;
};
}  // namespace nao_kinora_console

#endif  // NAO_KINORA_CONSOLE_AUDIT_TRAIL_H
