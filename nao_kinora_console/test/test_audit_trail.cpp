// The audit trail on both back ends: each event one entry with who, when and
// room, newest first in pages; the database refuses to change or remove an
// entry; a deleted patient's entries stay, without the code.
#include "sql_test_backends.h"

#include "nao_kinora_console/accounts/account_store.h"
#include "nao_kinora_console/accounts/audit_trail.h"

namespace
{
using namespace sql_test;

const double kStart = 1.8e9;

struct Trail
{
  double now = kStart;
  std::unique_ptr<SqlConnection> db;
  std::unique_ptr<AuditTrail> trail;

  explicit Trail(const Backend& b) : db(b.connect())
  {
    // The clinic's patients, as far as the trail reads them.
    run(*db, std::string("CREATE TABLE patients(id ") + b.idColumn() + ", code TEXT NOT NULL)");
    run(*db, "INSERT INTO patients(code) VALUES ('P-0001'), ('P-0002')");
    const SqlError made = addAccountTables(*db);
    EXPECT_TRUE(made.ok()) << made.message;
    trail.reset(new AuditTrail(*db, [this] { return now; }));
  }
};

struct Recorded
{
  double at;
  AuditEvent event;
  std::string code;  // the patient's code read back
};

// Every kind of action the console records, each by someone in some room.
const Recorded kEvents[] = {
    {10, {"", "room-a", "login failed", 0, 0, R"({"name":"maria","address":"10.0.0.1"})"}, ""},
    {11, {"maria", "room-a", "login", 0, 0, ""}, ""},
    {12, {"maria", "room-a", "patient added", 1, 0, ""}, "P-0001"},
    {13, {"maria", "room-a", "plan saved", 1, 0, "plan 4"}, "P-0001"},
    {14, {"maria", "room-a", "start", 1, 7, "plan 4"}, "P-0001"},
    {15, {"tom", "room-b", "pause", 1, 7, ""}, "P-0001"},
    {16, {"tom", "room-b", "continue", 1, 7, ""}, "P-0001"},
    {17, {"tom", "room-b", "skip", 1, 7, ""}, "P-0001"},
    {18, {"tom", "room-b", "speed", 1, 7, "0.75"}, "P-0001"},
    {19, {"maria", "room-a", "end", 1, 7, ""}, "P-0001"},
    {20, {"maria", "room-a", "check-in", 1, 7, "exercise 2"}, "P-0001"},
    {21, {"maria", "room-a", "export", 2, 0, "csv"}, "P-0002"},
    {22, {"", "room-a", "patient deleted", 2, 0, ""}, "P-0002"},
};

void expectEntry(const Recorded& want, const AuditEntry& got, const std::string& where)
{
  EXPECT_EQ(kStart + want.at, got.at) << where;
  EXPECT_EQ(want.event.who, got.event.who) << where;
  EXPECT_EQ(want.event.room, got.event.room) << where;
  EXPECT_EQ(want.event.action, got.event.action) << where;
  EXPECT_EQ(want.event.patientId, got.event.patientId) << where;
  EXPECT_EQ(want.event.sessionId, got.event.sessionId) << where;
  EXPECT_EQ(want.event.detail, got.event.detail) << where;
  EXPECT_EQ(want.code, got.patientCode) << where;
}

TEST(AuditTrail, EachEventOneEntryNewestFirstInPages)
{
  const int n = sizeof kEvents / sizeof kEvents[0];
  for (const auto& b : bothBackends())
  {
    Trail t(*b);
    for (const Recorded& r : kEvents)
    {
      t.now = kStart + r.at;
      ASSERT_TRUE(t.trail->record(r.event).ok()) << b->name;
    }
    EXPECT_EQ(n, count(*t.db, "SELECT count(*) FROM audit")) << b->name;
    // Pages of 5, each after the last entry of the one before: 5, 5, 3, 0.
    std::vector<AuditEntry> all;
    int64_t before = 0;
    for (int size : {5, 5, 3, 0})
    {
      const auto page = t.trail->page(before, 5);
      ASSERT_TRUE(page.ok()) << b->name << ": " << page.error;
      ASSERT_EQ(static_cast<std::size_t>(size), page.value.size()) << b->name;
      all.insert(all.end(), page.value.begin(), page.value.end());
      before = page.value.empty() ? 0 : page.value.back().id;
    }
    for (int i = 0; i < n; ++i)
      expectEntry(kEvents[n - 1 - i], all[i], b->name + " newest-" + std::to_string(i));
    // A session's entries, oldest first.
    const auto session = t.trail->ofSession(7);
    ASSERT_EQ(7u, session.value.size()) << b->name;
    for (int i = 0; i < 7; ++i)
      expectEntry(kEvents[4 + i], session.value[i], b->name + " session-" + std::to_string(i));
  }
}

TEST(AuditTrail, EntriesCannotBeChangedOrRemoved)
{
  const char* const refused[] = {
      "UPDATE audit SET who = 'someone else'",
      "UPDATE audit SET patient_id = NULL WHERE id = 1",
      "DELETE FROM audit WHERE id = 1",
      "DELETE FROM audit",
  };
  for (const auto& b : bothBackends())
  {
    Trail t(*b);
    ASSERT_TRUE(t.trail->record(kEvents[2].event).ok());
    for (const char* sql : refused)
    {
      Statement s(*t.db, sql);
      s.run();
      EXPECT_EQ(std::string("constraint"), faultName(s.failure().fault)) << b->name << ": " << sql;
    }
    if (b->dialect == SqlDialect::kPostgres)
    {
      const SqlError cut = t.db->execute("TRUNCATE audit");
      EXPECT_EQ(std::string("constraint"), faultName(cut.fault)) << cut.message;
    }
    const auto left = t.trail->page(0, 10);
    ASSERT_EQ(1u, left.value.size()) << b->name;
    expectEntry({0, kEvents[2].event, "P-0001"}, left.value[0], b->name);
  }
}

TEST(AuditTrail, DeletedPatientsEntriesStayWithoutTheCode)
{
  for (const auto& b : bothBackends())
  {
    Trail t(*b);
    t.trail->record({"maria", "room-a", "patient added", 1, 0, ""});
    t.trail->record({"maria", "room-a", "patient added", 2, 0, ""});
    t.trail->record({"maria", "room-a", "patient deleted", 1, 0, ""});
    run(*t.db, "DELETE FROM patients WHERE id = 1");
    const auto all = t.trail->page(0, 10);
    ASSERT_EQ(3u, all.value.size()) << b->name;
    EXPECT_EQ("", all.value[0].patientCode) << b->name;
    EXPECT_EQ("P-0002", all.value[1].patientCode) << b->name;
    EXPECT_EQ("", all.value[2].patientCode) << b->name;
    EXPECT_EQ(1, all.value[2].event.patientId) << b->name;
  }
}
}  // namespace
