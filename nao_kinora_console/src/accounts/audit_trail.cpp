// The audit trail over the database layer: one INSERT to write, SELECTs to
// read, and no other statement on its table anywhere.
#include "nao_kinora_console/accounts/audit_trail.h"

#include <cstdint>

namespace nao_kinora_console
{
namespace
{
// null for 0: the trail's ids refer to nothing when absent.
void bindId(Statement& s, int at, int64_t id)
{
  if (id > 0)
    s.bind(at, id);
  else
    s.bindNull(at);
}
}  // namespace

AuditTrail::AuditTrail(SqlConnection& db, Clock clock) : db_(db), clock_(std::move(clock)) {}

Result<int64_t> AuditTrail::record(const AuditEvent& e)
{
  std::lock_guard<std::mutex> hold(mutex_);
  Statement s(db_,
              "INSERT INTO audit(at, who, room, action, patient_id, session_id, detail)"
              " VALUES (?, ?, ?, ?, ?, ?, ?) RETURNING id");
  s.bind(1, e.at > 0 ? e.at : clock_()).bind(2, e.who).bind(3, e.room).bind(4, e.action);
  bindId(s, 5, e.patientId);
  bindId(s, 6, e.sessionId);
  Result<int64_t> id;
  if (s.bind(7, e.detail).step())
    id.value = s.integer(0);
  if (!s.failure().ok())
    return Result<int64_t>::fail("audit trail [" + db_.describe() + "]: " + s.error(),
                                 s.failure().fault == SqlFault::kConstraint ? Fault::kRule : Fault::kDatabase);
  return id;
}

Result<std::vector<AuditEntry>> AuditTrail::read(const std::string& where, int64_t key, int64_t limit)
{
  std::lock_guard<std::mutex> hold(mutex_);
  Statement s(db_,
              "SELECT a.id, a.at, a.who, a.room, a.action, a.patient_id, a.session_id, a.detail, p.code"
              " FROM audit a LEFT JOIN patients p ON p.id = a.patient_id WHERE " +
                  where);
  s.bind(1, key).bind(2, limit);
  Result<std::vector<AuditEntry>> all;
  while (s.step())
  {
    AuditEntry e;
    e.id = s.integer(0);
    e.at = s.real(1);
    e.event = {s.text(2), s.text(3), s.text(4), s.integer(5), s.integer(6), s.text(7)};
    e.patientCode = s.text(8);
    all.value.push_back(e);
  }
  if (!s.failure().ok())
    return Result<std::vector<AuditEntry>>::fail("audit trail [" + db_.describe() + "]: " + s.error(),
                                                 Fault::kDatabase);
  return all;
}

Result<std::vector<AuditEntry>> AuditTrail::page(int64_t beforeId, int count)
{
  return read("a.id < ? ORDER BY a.id DESC LIMIT ?", beforeId > 0 ? beforeId : INT64_MAX, count);
}

Result<std::vector<AuditEntry>> AuditTrail::ofSession(int64_t sessionId)
{
  return read("a.session_id = ? ORDER BY a.id LIMIT ?", sessionId, INT64_MAX);
}
}  // namespace nao_kinora_console
