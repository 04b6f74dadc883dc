// Patients and their plans.
#include "nao_kinora_console/records/clinic_store.h"

#include "nao_kinora_console/records/clinic_rules.h"

namespace nao_kinora_console
{
namespace
{
using Lock = std::lock_guard<std::mutex>;

template <class T>
Result<T> refused(const std::string& why, Fault kind = Fault::kRule)
{
  return Result<T>::fail(why, kind);
}

std::string checkPlan(const std::string& name, double speed, const std::vector<std::string>& items)
{
  std::string why = checkPlanName(name);
  if (why.empty())
    why = checkSpeed(speed);
  return why.empty() ? checkPlanItems(items) : why;
}

std::string writeItems(SqlConnection& db, int64_t planId, const std::vector<std::string>& items)
{
  Statement clear(db, "DELETE FROM plan_items WHERE plan_id = ?");
  std::string error = clear.bind(1, planId).run();
  Statement add(db, "INSERT INTO plan_items(plan_id, position, recording) VALUES (?, ?, ?)");
  for (std::size_t i = 0; i < items.size() && error.empty(); ++i)
  {
    error = add.bind(1, planId).bind(2, static_cast<int64_t>(i + 1)).bind(3, items[i]).run();
    add.reset();
  }
  return error;
}

template <class T = bool>
Result<T> unknown(const char* what)
{
  const std::string words = std::string(what) == "patient"
                                ? "This patient is not in the records (they may have been deleted)."
                                : std::string("This ") + what + " is not in the records (it may have been deleted).";
  return Result<T>::fail(words, Fault::kNotFound);
}

Status planNameTaken(const std::string& name)
{
  return Status::fail("This patient already has a plan called \"" + name + "\": choose another name.", Fault::kTaken);
}
}  // namespace

Result<int64_t> ClinicStore::addPatient(const std::string& code, const std::string& note)
{
  std::string why = checkPatientCode(code);
  if (why.empty())
    why = checkNote("patient note", note);
  if (!why.empty())
    return refused<int64_t>(why);
  Lock lock(mutex_);
  // The code is looked for first: a unique index refusal does not say whose.
  Statement same(db_, "SELECT code FROM patients WHERE lower(code) = lower(?)");
  if (same.bind(1, code).step())
    return refused<int64_t>("A patient with the code " + same.text(0) + " already exists.", Fault::kTaken);
  if (!same.error().empty())
    return failed<int64_t>(same.error());
  Statement s(db_, "INSERT INTO patients(code, note, created) VALUES (?, ?, ?) RETURNING id");
  Result<int64_t> r;
  if (s.bind(1, code).bind(2, note).bind(3, wallNow()).step())
    r.value = s.integer(0);
  else if (s.failure().fault == SqlFault::kTaken)  // another console added it since the look
    return refused<int64_t>("A patient with the code " + code + " already exists.", Fault::kTaken);
  else
    return failed<int64_t>(s.error());
  return r;
}

Status ClinicStore::setPatientNote(int64_t patientId, const std::string& note)
{
  const std::string why = checkNote("patient note", note);
  if (!why.empty())
    return refused<bool>(why);
  Lock lock(mutex_);
  Statement s(db_, "UPDATE patients SET note = ? WHERE id = ?");
  if (!s.bind(1, note).bind(2, patientId).run().empty())
    return failed<bool>(s.error());
  return db_.changes() == 1 ? done() : unknown("patient");
}

Result<std::vector<Patient>> ClinicStore::patients()
{
  Lock lock(mutex_);
  // The index on (patient_id, started) answers each latest start.
  Statement s(db_,
              "SELECT id, code, note, created, (SELECT MAX(started) FROM sessions WHERE patient_id = patients.id) "
              "FROM patients ORDER BY code");
  Result<std::vector<Patient>> r;
  while (s.step())
    r.value.push_back({s.integer(0), s.text(1), s.text(2), s.real(3), s.real(4)});
  return s.error().empty() ? r : failed<std::vector<Patient>>(s.error());
}

Result<Patient> ClinicStore::patientWhere(const char* sql, const std::string& key, int64_t id)
{
  Lock lock(mutex_);
  Statement s(db_, sql);
  if (key.empty())
    s.bind(1, id);
  else
    s.bind(1, key);
  Result<Patient> r;
  if (s.step())
    r.value = {s.integer(0), s.text(1), s.text(2), s.real(3)};
  else if (!s.error().empty())
    return failed<Patient>(s.error());
  else if (key.empty())
    return unknown<Patient>("patient");
  else
    return refused<Patient>("No patient has the code " + key + ".", Fault::kNotFound);
  return r;
}

Result<Patient> ClinicStore::patient(int64_t patientId)
{
  return patientWhere("SELECT id, code, note, created FROM patients WHERE id = ?", "", patientId);
}

Result<Patient> ClinicStore::patientByCode(const std::string& code)
{
  if (code.empty())
    return refused<Patient>(checkPatientCode(code));
  return patientWhere("SELECT id, code, note, created FROM patients WHERE lower(code) = lower(?)", code, 0);
}

DeletedLogs ClinicStore::deletePatient(int64_t patientId, const std::string& confirmCode)
{
  const Result<Patient> p = patient(patientId);
  if (!p.ok())
    return DeletedLogs::failAs(p);
  if (confirmCode != p.value.code)
    return refused<std::vector<std::string>>("To delete this patient, type their code " + p.value.code + " exactly.");
  Lock lock(mutex_);
  Transaction t(db_);
  Statement logs(db_, "SELECT log_path, outcome FROM sessions WHERE patient_id = ?");
  DeletedLogs r;
  logs.bind(1, patientId);
  while (logs.step())
  {
    if (logs.text(1) == "running")
      return refused<std::vector<std::string>>("A session of this patient is running: end it before deleting them.",
                                               Fault::kConflict);
    r.value.push_back(logs.text(0));
  }
  Statement s(db_, "DELETE FROM patients WHERE id = ?");
  std::string error = !t.error().empty()      ? t.error()
                      : !logs.error().empty() ? logs.error()
                                              : s.bind(1, patientId).run();
  if (error.empty())
    error = t.commit();
  // secure_delete zeroed the freed space; the checkpoint moves that into the
  // file and empties the journal, which still held the old pages. (A
  // server's freed rows are its own to vacuum.)
  if (error.empty() && db_.dialect() == SqlDialect::kSqlite)
    error = db_.execute("PRAGMA wal_checkpoint(TRUNCATE)").message;
  return error.empty() ? r : failed<std::vector<std::string>>(error);
}

Result<int64_t> ClinicStore::savePlan(int64_t patientId, const std::string& name, double speed,
                                      const std::vector<std::string>& items, bool mirror)
{
  const std::string why = checkPlan(name, speed, items);
  if (!why.empty())
    return refused<int64_t>(why);
  Lock lock(mutex_);
  Transaction t(db_);
  Statement same(db_, "SELECT 1 FROM plans WHERE patient_id = ? AND name = ?");
  if (same.bind(1, patientId).bind(2, name).step())
    return Result<int64_t>::failAs(planNameTaken(name));
  // The server gives a value in a SELECT list no type of its own: each is cast.
  Statement s(db_,
              "INSERT INTO plans(patient_id, name, speed, updated, mirror) SELECT id, CAST(? AS TEXT),"
              " CAST(? AS DOUBLE PRECISION), CAST(? AS DOUBLE PRECISION), CAST(? AS BIGINT) FROM patients"
              " WHERE id = ? RETURNING id");
  s.bind(1, name).bind(2, speed).bind(3, wallNow()).bind(4, mirror ? 1 : 0).bind(5, patientId);
  const bool added = t.error().empty() && s.step();
  std::string error = !t.error().empty() ? t.error() : s.error();
  if (error.empty() && !added)
    return unknown<int64_t>("patient");
  Result<int64_t> r;
  r.value = s.integer(0);
  if (error.empty())
    error = writeItems(db_, r.value, items);
  if (error.empty())
    error = t.commit();
  return error.empty() ? r : failed<int64_t>(error);
}

Status ClinicStore::updatePlan(int64_t planId, const std::string& name, double speed,
                               const std::vector<std::string>& items, bool mirror)
{
  const std::string why = checkPlan(name, speed, items);
  if (!why.empty())
    return refused<bool>(why);
  Lock lock(mutex_);
  Transaction t(db_);
  Statement same(db_,
                 "SELECT 1 FROM plans o JOIN plans p ON p.patient_id = o.patient_id"
                 " WHERE o.id = ? AND p.name = ? AND p.id != o.id");
  if (same.bind(1, planId).bind(2, name).step())
    return planNameTaken(name);
  Statement s(db_, "UPDATE plans SET name = ?, speed = ?, updated = ?, mirror = ? WHERE id = ?");
  std::string error =
      t.error().empty()
          ? s.bind(1, name).bind(2, speed).bind(3, wallNow()).bind(4, mirror ? 1 : 0).bind(5, planId).run()
          : t.error();
  if (error.empty() && db_.changes() == 0)
    return unknown("plan");
  if (error.empty())
    error = writeItems(db_, planId, items);
  if (error.empty())
    error = t.commit();
  return error.empty() ? done() : failed<bool>(error);
}

Status ClinicStore::deletePlan(int64_t planId)
{
  Lock lock(mutex_);
  Statement s(db_, "DELETE FROM plans WHERE id = ?");
  if (!s.bind(1, planId).run().empty())
    return failed<bool>(s.error());
  return db_.changes() == 1 ? done() : unknown("plan");
}

// A plan's row and its items are read in one transaction, which queues with
// the writers: an edit committed between the two reads would show half of
// each of two edits.
Result<std::vector<Plan>> ClinicStore::plans(int64_t patientId)
{
  Lock lock(mutex_);
  Transaction t(db_);
  if (!t.error().empty())
    return failed<std::vector<Plan>>(t.error());
  return plansLocked(patientId);
}

Result<Plan> ClinicStore::plan(int64_t planId)
{
  Lock lock(mutex_);
  Transaction t(db_);
  if (!t.error().empty())
    return failed<Plan>(t.error());
  Statement owner(db_, "SELECT patient_id FROM plans WHERE id = ?");
  if (!owner.bind(1, planId).step())
    return owner.error().empty() ? unknown<Plan>("plan") : failed<Plan>(owner.error());
  Result<std::vector<Plan>> all = plansLocked(owner.integer(0));
  for (const Plan& p : all.value)
    if (p.id == planId)
    {
      Result<Plan> r;
      r.value = p;
      return r;
    }
  return all.ok() ? unknown<Plan>("plan") : Result<Plan>::failAs(all);
}

Result<std::vector<Plan>> ClinicStore::plansLocked(int64_t patientId)
{
  Statement known(db_, "SELECT 1 FROM patients WHERE id = ?");
  if (!known.bind(1, patientId).step())
    return known.error().empty() ? unknown<std::vector<Plan>>("patient") : failed<std::vector<Plan>>(known.error());
  Statement s(db_, "SELECT id, name, speed, updated, mirror FROM plans WHERE patient_id = ? ORDER BY name, id");
  Statement items(db_, "SELECT recording FROM plan_items WHERE plan_id = ? ORDER BY position");
  Result<std::vector<Plan>> r;
  s.bind(1, patientId);
  while (s.step())
  {
    Plan plan{s.integer(0), patientId, s.text(1), s.real(2), {}, s.real(3), s.integer(4) != 0};
    items.bind(1, plan.id);
    while (items.step())
      plan.items.push_back(items.text(0));
    items.reset();
    r.value.push_back(plan);
  }
  const std::string error = !s.error().empty() ? s.error() : items.error();
  return error.empty() ? r : failed<std::vector<Plan>>(error);
}
}  // namespace nao_kinora_console
