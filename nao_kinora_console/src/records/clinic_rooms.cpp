// Rooms: the consoles sharing one database, each beside its robot, and what
// runs in each now.
#include "nao_kinora_console/records/clinic_store.h"

#include <ctime>

namespace nao_kinora_console
{
namespace
{
using Lock = std::lock_guard<std::mutex>;

// "10:42" today, "2026-11-03 10:42" another day: when a running session began.
std::string clockTime(double wall)
{
  const time_t when = static_cast<time_t>(wall), now = time(nullptr);
  tm at{}, today{};
  localtime_r(&when, &at);
  localtime_r(&now, &today);
  const bool sameDay = at.tm_year == today.tm_year && at.tm_yday == today.tm_yday;
  char text[32];
  strftime(text, sizeof text, sameDay ? "%H:%M" : "%Y-%m-%d %H:%M", &at);
  return text;
}
}  // namespace

// Called with the mutex held, after the refused insert's transaction ended.
Result<int64_t> ClinicStore::whereRunning(int64_t patientId)
{
  Statement s(db_,
              "SELECT p.code, s.room, s.started FROM sessions s JOIN patients p ON p.id = s.patient_id"
              " WHERE s.patient_id = ? AND s.outcome = 'running'");
  if (s.bind(1, patientId).step())
    return Result<int64_t>::fail(s.text(0) + " is in a session in room " + s.text(1) + " since " + clockTime(s.real(2)),
                                 Fault::kConflict);
  if (!s.error().empty())
    return failed<int64_t>(s.error());
  // Ended between the refusal and this look: the therapist may press Start again.
  return Result<int64_t>::fail("This patient's session in another room has just ended: press Start again.",
                               Fault::kConflict);
}

Result<std::vector<int64_t>> ClinicStore::runningSessions()
{
  Lock lock(mutex_);
  Statement s(db_, "SELECT id FROM sessions WHERE outcome = 'running' AND room = ? ORDER BY id");
  s.bind(1, room_);
  Result<std::vector<int64_t>> r;
  while (s.step())
    r.value.push_back(s.integer(0));
  return s.error().empty() ? r : failed<std::vector<int64_t>>(s.error());
}

Result<std::vector<RoomNow>> ClinicStore::rooms()
{
  Lock lock(mutex_);
  // The index of running sessions answers the join; the exercise is the
  // last one the session's log began.
  Statement s(db_,
              "SELECT r.name, r.seen, COALESCE(s.id, 0), COALESCE(s.patient_id, 0), COALESCE(p.code, ''),"
              " COALESCE(s.started, 0),"
              " (SELECT e.position FROM session_exercises e WHERE e.session_id = s.id ORDER BY e.seq DESC LIMIT 1),"
              " (SELECT e.recording FROM session_exercises e WHERE e.session_id = s.id ORDER BY e.seq DESC LIMIT 1)"
              " FROM rooms r LEFT JOIN sessions s ON s.room = r.name AND s.outcome = 'running'"
              " LEFT JOIN patients p ON p.id = s.patient_id ORDER BY r.name, s.started, s.id");
  Result<std::vector<RoomNow>> r;
  while (s.step())
  {
    if (r.value.empty() || r.value.back().name != s.text(0))
      r.value.push_back({s.text(0), s.real(1), {}});
    if (s.integer(2) != 0)
      r.value.back().running.push_back(
          {s.integer(2), s.integer(3), s.text(4), static_cast<int>(s.integer(6)), s.text(7), s.real(5)});
  }
  return s.error().empty() ? r : failed<std::vector<RoomNow>>(s.error());
}

Status ClinicStore::roomSeen()
{
  Lock lock(mutex_);
  Statement s(db_, "UPDATE rooms SET seen = ? WHERE name = ?");
  const std::string error = s.bind(1, wallNow()).bind(2, room_).run();
  return error.empty() ? done() : failed<bool>(error);
}

Status ClinicStore::releaseSession(int64_t sessionId, double goneAfter)
{
  {
    Lock lock(mutex_);
    Statement s(db_,
                "SELECT s.outcome, s.room, COALESCE(r.seen, 0) FROM sessions s LEFT JOIN rooms r ON r.name = s.room"
                " WHERE s.id = ?");
    if (!s.bind(1, sessionId).step())
      return s.error().empty() ? Status::fail("No such session.", Fault::kNotFound) : failed<bool>(s.error());
    if (s.text(0) != "running")
      return Status::fail("This session is not running: there is nothing to release.", Fault::kConflict);
    if (s.text(1) == room_)
      return Status::fail("This session runs in this room: release it from the running page.", Fault::kConflict);
    const double ago = wallNow() - s.real(2);
    if (ago < goneAfter)
      return Status::fail("The console of room " + s.text(1) + " is running (seen " +
                              std::to_string(static_cast<long>(ago)) + " s ago): release the session there.",
                          Fault::kConflict);
  }
  const Result<SessionSummary> closed = ingest(sessionId, true, false);
  return closed.ok() ? done() : Status::failAs(closed);
}
}  // namespace nao_kinora_console
