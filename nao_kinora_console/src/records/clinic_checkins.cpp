// Check-ins: how hard an exercise felt and whether it hurt, asked after each
// exercise that was played, and only those.
#include "nao_kinora_console/records/clinic_store.h"

#include "nao_kinora_console/records/clinic_rules.h"

#include <nlohmann/json.hpp>

namespace nao_kinora_console
{
namespace
{
using Lock = std::lock_guard<std::mutex>;

template <class T = bool>
Result<T> refused(const std::string& why, Fault kind = Fault::kRule)
{
  return Result<T>::fail(why, kind);
}
}  // namespace

Result<bool> ClinicStore::addCheckin(const Checkin& c)
{
  std::string why = checkRating("effort", c.effort);
  if (why.empty())
    why = checkRating("pain", c.pain);
  if (why.empty())
    why = checkNote("check-in note", c.note);
  if (!why.empty())
    return refused<bool>(why);
  Lock lock(mutex_);
  Statement s(db_,
              "SELECT plan_items,"
              " EXISTS (SELECT 1 FROM session_exercises e WHERE e.session_id = sessions.id AND e.position = ?)"
              " FROM sessions WHERE id = ?");
  if (!s.bind(1, c.position).bind(2, c.sessionId).step())
    return s.error().empty()
               ? refused("This session is not in the records (it may have been deleted with its patient).",
                         Fault::kNotFound)
               : failed<bool>(s.error());
  const nlohmann::json items = nlohmann::json::parse(s.text(0), nullptr, false);
  const int64_t planned = items.is_array() ? static_cast<int64_t>(items.size()) : 0;
  if (planned > 0 && c.position > planned)
    return refused<bool>("position: " + std::to_string(c.position) + "; this session's plan has " +
                         std::to_string(planned) + " exercises");
  if (s.integer(1) == 0)
    return refused<bool>(
        "Exercise " + std::to_string(c.position) + " has not been played in this session: it cannot be rated yet.",
        Fault::kConflict);
  if (c.effort < 0 && c.pain < 0 && c.note.empty())
    return Result<bool>{};  // nothing answered: nothing to change
  // Answered again, each answer given replaces the one before; a blank keeps it.
  Statement add(db_,
                "INSERT INTO checkins(session_id, position, effort, pain, note, recorded)"
                " VALUES (?, ?, NULLIF(?, -1), NULLIF(?, -1), ?, ?) ON CONFLICT (session_id, position) DO UPDATE SET"
                " effort = COALESCE(excluded.effort, checkins.effort), pain = COALESCE(excluded.pain, checkins.pain),"
                " note = CASE excluded.note WHEN '' THEN checkins.note ELSE excluded.note END,"
                " recorded = excluded.recorded");
  add.bind(1, c.sessionId).bind(2, c.position).bind(3, c.effort).bind(4, c.pain).bind(5, c.note);
  if (!add.bind(6, wallNow()).run().empty())
    return failed<bool>(add.error());
  Result<bool> r;
  r.value = true;
  return r;
}

Result<std::vector<Checkin>> ClinicStore::checkins(int64_t sessionId)
{
  Lock lock(mutex_);
  Statement s(db_,
              "SELECT position, COALESCE(effort, -1), COALESCE(pain, -1), note FROM checkins"
              " WHERE session_id = ? ORDER BY position");
  Result<std::vector<Checkin>> r;
  s.bind(1, sessionId);
  while (s.step())
    r.value.push_back({sessionId, static_cast<int>(s.integer(0)), static_cast<int>(s.integer(1)),
                       static_cast<int>(s.integer(2)), s.text(3)});
  return s.error().empty() ? r : failed<std::vector<Checkin>>(s.error());
}
}  // namespace nao_kinora_console
