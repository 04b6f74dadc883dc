// Patients and their plans.
#include "nao_kinora_console/store/clinic_store.h"

#include "nao_kinora_console/store/clinic_rules.h"

#include <sys/time.h>

namespace nao_kinora_console
{
namespace
{
using Lock = std::lock_guard<std::mutex>;

template <class T>
Result<T> failed(const std::string& why)
{
  return Result<T>::fail(why);
}

std::string checkPlan(const std::string& name, double speed, const std::vector<std::string>& items)
{
  std::string why = checkPlanName(name);
  if (why.empty())
    why = checkSpeed(speed);
  return why.empty() ? checkPlanItems(items) : why;
}

std::string writeItems(Database& db, int64_t planId, const std::vector<std::string>& items)
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

std::string unknown(const char* what, int64_t id)
{
  return std::string("no ") + what + " with id " + std::to_string(id);
}
}  // namespace

double wallNow()
{
  timeval tv;
  gettimeofday(&tv, nullptr);
  return static_cast<double>(tv.tv_sec) + tv.tv_usec / 1e6;
}

Result<int64_t> ClinicStore::addPatient(const std::string& code, const std::string& note)
{
  std::string why = checkPatientCode(code);
  if (why.empty())
    why = checkNote("patient note", note);
  if (!why.empty())
    return failed<int64_t>(why);
  Lock lock(mutex_);
  Statement s(db_, "INSERT INTO patients(code, note, created) VALUES (?, ?, ?)");
  s.bind(1, code).bind(2, note).bind(3, wallNow()).run();
  if (!s.error().empty())
    return failed<int64_t>(s.error().find("UNIQUE") != std::string::npos
                               ? "patient code: [" + code + "] is taken; choose another"
                               : fault(s.error()));
  Result<int64_t> r;
  r.value = db_.lastInsertId();
  return r;
}

std::string ClinicStore::setPatientNote(int64_t patientId, const std::string& note)
{
  const std::string why = checkNote("patient note", note);
  if (!why.empty())
    return why;
  Lock lock(mutex_);
  Statement s(db_, "UPDATE patients SET note = ? WHERE id = ?");
  if (!s.bind(1, note).bind(2, patientId).run().empty())
    return fault(s.error());
  return db_.changes() == 1 ? "" : unknown("patient", patientId);
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
  if (!s.error().empty())
    r.error = fault(s.error());
  return r;
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
  else
    r.error = !s.error().empty() ? fault(s.error())
              : key.empty()      ? unknown("patient", id)
                                 : "no patient with code [" + key + "]";
  return r;
}

Result<Patient> ClinicStore::patient(int64_t patientId)
{
  return patientWhere("SELECT id, code, note, created FROM patients WHERE id = ?", "", patientId);
}

Result<Patient> ClinicStore::patientByCode(const std::string& code)
{
  if (code.empty())
    return failed<Patient>(checkPatientCode(code));
  return patientWhere("SELECT id, code, note, created FROM patients WHERE code = ?", code, 0);
}

std::string ClinicStore::deletePatient(int64_t patientId, const std::string& confirmCode)
{
  const Result<Patient> p = patient(patientId);
  if (!p.ok())
    return p.error;
  if (confirmCode != p.value.code)
    return "confirmation: type the patient's code [" + p.value.code + "] to delete them";
  Lock lock(mutex_);
  Transaction t(db_);
  Statement s(db_, "DELETE FROM patients WHERE id = ?");
  std::string error = t.error().empty() ? s.bind(1, patientId).run() : t.error();
  if (error.empty())
    error = t.commit();
  // secure_delete zeroed the freed space; the checkpoint moves that into the
  // file and empties the journal, which still held the old pages.
  if (error.empty())
    error = db_.exec("PRAGMA wal_checkpoint(TRUNCATE)");
  return error.empty() ? "" : fault(error);
}

Result<int64_t> ClinicStore::savePlan(int64_t patientId, const std::string& name, double speed,
                                      const std::vector<std::string>& items)
{
  const std::string why = checkPlan(name, speed, items);
  if (!why.empty())
    return failed<int64_t>(why);
  Lock lock(mutex_);
  Transaction t(db_);
  Statement s(db_,
              "INSERT INTO plans(patient_id, name, speed, updated) "
              "SELECT id, ?, ?, ? FROM patients WHERE id = ?");
  std::string error =
      t.error().empty() ? s.bind(1, name).bind(2, speed).bind(3, wallNow()).bind(4, patientId).run() : t.error();
  if (error.find("UNIQUE") != std::string::npos)
    return failed<int64_t>("plan name: this patient has a plan [" + name + "] already");
  if (error.empty() && db_.changes() == 0)
    return failed<int64_t>(unknown("patient", patientId));
  Result<int64_t> r;
  r.value = db_.lastInsertId();
  if (error.empty())
    error = writeItems(db_, r.value, items);
  if (error.empty())
    error = t.commit();
  return error.empty() ? r : failed<int64_t>(fault(error));
}

std::string ClinicStore::updatePlan(int64_t planId, const std::string& name, double speed,
                                    const std::vector<std::string>& items)
{
  const std::string why = checkPlan(name, speed, items);
  if (!why.empty())
    return why;
  Lock lock(mutex_);
  Transaction t(db_);
  Statement s(db_, "UPDATE plans SET name = ?, speed = ?, updated = ? WHERE id = ?");
  std::string error =
      t.error().empty() ? s.bind(1, name).bind(2, speed).bind(3, wallNow()).bind(4, planId).run() : t.error();
  if (error.find("UNIQUE") != std::string::npos)
    return "plan name: this patient has a plan [" + name + "] already";
  if (error.empty() && db_.changes() == 0)
    return unknown("plan", planId);
  if (error.empty())
    error = writeItems(db_, planId, items);
  if (error.empty())
    error = t.commit();
  return error.empty() ? "" : fault(error);
}

std::string ClinicStore::deletePlan(int64_t planId)
{
  Lock lock(mutex_);
  Statement s(db_, "DELETE FROM plans WHERE id = ?");
  if (!s.bind(1, planId).run().empty())
    return fault(s.error());
  return db_.changes() == 1 ? "" : unknown("plan", planId);
}

Result<std::vector<Plan>> ClinicStore::plans(int64_t patientId)
{
  Lock lock(mutex_);
  return plansLocked(patientId);
}

Result<Plan> ClinicStore::plan(int64_t planId)
{
  Lock lock(mutex_);
  Statement owner(db_, "SELECT patient_id FROM plans WHERE id = ?");
  if (!owner.bind(1, planId).step())
    return failed<Plan>(owner.error().empty() ? unknown("plan", planId) : fault(owner.error()));
  Result<std::vector<Plan>> all = plansLocked(owner.integer(0));
  for (const Plan& p : all.value)
    if (p.id == planId)
      return Result<Plan>{p, ""};
  return failed<Plan>(all.ok() ? unknown("plan", planId) : all.error);
}

Result<std::vector<Plan>> ClinicStore::plansLocked(int64_t patientId)
{
  Statement known(db_, "SELECT 1 FROM patients WHERE id = ?");
  if (!known.bind(1, patientId).step())
    return failed<std::vector<Plan>>(known.error().empty() ? unknown("patient", patientId) : fault(known.error()));
  Statement s(db_, "SELECT id, name, speed, updated FROM plans WHERE patient_id = ? ORDER BY name, id");
  Statement items(db_, "SELECT recording FROM plan_items WHERE plan_id = ? ORDER BY position");
  Result<std::vector<Plan>> r;
  s.bind(1, patientId);
  while (s.step())
  {
    Plan plan{s.integer(0), patientId, s.text(1), s.real(2), {}, s.real(3)};
    items.bind(1, plan.id);
    while (items.step())
      plan.items.push_back(items.text(0));
    items.reset();
    r.value.push_back(plan);
  }
  const std::string error = !s.error().empty() ? s.error() : items.error();
  if (!error.empty())
    r.error = fault(error);
  return r;
}
}  // namespace nao_kinora_console
