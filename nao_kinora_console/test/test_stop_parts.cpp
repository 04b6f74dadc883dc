// The parts the controls' path stands on, as tables: logins held in memory
// under a driven clock, bounded pools, the trail written behind the requests
// and after the database is back, text escaped, and a hung server's calls
// ended by their deadline.
#include "clinic_test_util.h"
#include "pg_test_server.h"
#include "test_util.h"

#include "nao_kinora_console/accounts/account_store.h"
#include "nao_kinora_console/accounts/audit_trail.h"
#include "nao_kinora_console/db/text_checks.h"
#include "nao_kinora_console/records/clinic_store.h"
#include "nao_kinora_console/server/audit_queue.h"
#include "nao_kinora_console/server/bounded_pool.h"
#include "nao_kinora_console/server/login_book.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <stdexcept>
#include <thread>

namespace
{
using namespace nao_kinora_console;

Account named(int64_t id, const std::string& name)
{
  Account a;
  a.id = id;
  a.name = name;
  return a;
}

TEST(LoginBook, HeldEndedAndExpired)
{
  double now = 1000;
  LoginBook book([&] { return now; }, 60);
  EXPECT_EQ(HeldLook::kNotHeld, book.look("h1").kind);
  book.hold("h1", named(1, "maria"), false, now);
  book.hold("h2", named(1, "maria"), false, now);
  book.hold("t1", named(1, "maria"), true, now);
  book.hold("h3", named(2, "tom"), false, now);

  const struct
  {
    double at;
    const char* hash;
    HeldLook::Kind kind;
    LoginEnd why;
  } steps[] = {
      {1030, "h1", HeldLook::kIn, LoginEnd::kNone},        // used: kept alive
      {1085, "h1", HeldLook::kIn, LoginEnd::kNone},        // 55 s since its last use
      {1085, "h2", HeldLook::kEnded, LoginEnd::kExpired},  // 85 s unused
      {1086, "h2", HeldLook::kEnded, LoginEnd::kExpired},  // and stays so
      {5000, "t1", HeldLook::kIn, LoginEnd::kNone},        // a token has no idle expiry
      {5000, "nobody", HeldLook::kNotHeld, LoginEnd::kNone},
  };
  for (const auto& s : steps)
  {
    now = s.at;
    const HeldLook look = book.look(s.hash);
    EXPECT_EQ(s.kind, look.kind) << s.hash << " at " << s.at;
    EXPECT_EQ(s.why, look.why) << s.hash << " at " << s.at;
  }
  // The keeper's round ends the idle sessions that nobody looked at.
  now = 5000;
  const auto expired = book.expire();
  ASSERT_EQ(2u, expired.size());
  EXPECT_EQ(HeldLook::kEnded, book.look("h3").kind);

  book.hold("h4", named(2, "tom"), false, now);
  book.hold("h5", named(2, "tom"), false, now);
  EXPECT_EQ(2u, book.endAccount(2, LoginEnd::kDisabled).size());
  EXPECT_EQ(LoginEnd::kDisabled, book.look("h4").why);
  EXPECT_EQ(1u, book.end("t1", LoginEnd::kRevoked).size());
  EXPECT_EQ(LoginEnd::kRevoked, book.look("t1").why);
  // A login held again (logged in anew) is in.
  book.hold("h4", named(2, "tom"), false, now);
  EXPECT_EQ(HeldLook::kIn, book.look("h4").kind);
  book.forget("stale", LoginEnd::kUnknown);
  EXPECT_EQ(HeldLook::kEnded, book.look("stale").kind);
  EXPECT_STREQ("none", loginEndName(book.look("stale").why));
}

TEST(LoginBook, EndedReasonsAreBounded)
{
  double now = 0;
  LoginBook book([&] { return now; }, 60);
  for (int i = 0; i < 10000; ++i)
  {
    now = i;
    book.forget("made-up " + std::to_string(i), LoginEnd::kUnknown);
  }
  // The oldest made-up cookies are forgotten; the newest still known as over.
  EXPECT_EQ(HeldLook::kNotHeld, book.look("made-up 0").kind);
  EXPECT_EQ(HeldLook::kEnded, book.look("made-up 9999").kind);
}

TEST(BoundedPool, RefusesPastItsQueueAndSurvivesATaskThatThrows)
{
  BoundedPool pool("test", 1, 2);
  std::mutex m;
  std::condition_variable cv;
  bool release = false;
  std::atomic<int> ran{0};
  const auto blocker = [&]
  {
    std::unique_lock<std::mutex> hold(m);
    cv.wait(hold, [&] { return release; });
    ++ran;
  };
  ASSERT_TRUE(pool.post(blocker));
  // The one thread is taken: two wait, the third is refused at once.
  while (pool.waiting() != 0)
    std::this_thread::yield();
  EXPECT_TRUE(pool.post([&] { throw std::runtime_error("a fault of the task"); }));
  EXPECT_TRUE(pool.post([&] { ++ran; }));
  EXPECT_FALSE(pool.post([&] { ++ran; }));
  {
    std::lock_guard<std::mutex> hold(m);
    release = true;
  }
  cv.notify_all();
  // After the throwing task the thread goes on with the next.
  while (ran.load() < 2)
    std::this_thread::yield();
  pool.stop();
  EXPECT_EQ(2, ran.load());
  EXPECT_FALSE(pool.post([] {}));
}

TEST(TextChecks, EscapedTable)
{
  const struct
  {
    std::string in;
    bool valid;
    std::string escaped;
  } cases[] = {
      {"maria", true, "maria"},
      {"Çağrı", true, "Çağrı"},
      {std::string("a\0b", 3), true, "a\\x00b"},
      {"\xff\xfe", false, "\\xff\\xfe"},
      {"tab\there", true, "tab\\x09here"},
      {"back\\slash", true, "back\\x5cslash"},
      {"\xc3", false, "\\xc3"},                    // a character cut short
      {"\xe0\x80\x80", false, "\\xe0\\x80\\x80"},  // overlong
      {"\xed\xa0\x80", false, "\\xed\\xa0\\x80"},  // a surrogate
  };
  for (const auto& c : cases)
  {
    EXPECT_EQ(c.valid, validUtf8(c.in)) << c.escaped;
    EXPECT_EQ(c.escaped, escapedText(c.in));
    EXPECT_TRUE(validUtf8(escapedText(c.in)));
    EXPECT_FALSE(hasControl(escapedText(c.in)));
  }
}

// The trail's entries made while the file is locked by another writer wait,
// in order and with the time they were made, and are written once it is free.
TEST(AuditQueue, WaitsForTheDatabaseAndKeepsOrderAndTime)
{
  kinora_test::TempDir dir;
  const std::string path = dir.path() + "clinic.db";
  ASSERT_TRUE(ClinicStore::open(path, "room-a").ok());
  SqlError error;
  auto db = openConnection(path, false, error);
  ASSERT_TRUE(db) << error.message;
  db->setBusyTimeout(50);
  AuditTrail trail(*db, wallNow);
  sqlite3* other = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open(path.c_str(), &other));
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr));
  {
    AuditQueue queue(trail);
    queue.record({"maria", "room-a", "pause", 0, 0, "", 100.5});
    queue.record({"tom", "room-a", "end", 0, 0, std::string("\xff", 1), 101.5});
    EXPECT_FALSE(queue.flush(0.5));  // locked: nothing written yet
    EXPECT_EQ(2u, queue.waiting());
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    EXPECT_TRUE(queue.flush(30));
  }
  sqlite3_close(other);
  const auto entries = trail.page(0, 10);
  ASSERT_TRUE(entries.ok()) << entries.error;
  ASSERT_EQ(2u, entries.value.size());
  EXPECT_EQ("end", entries.value[0].event.action);
  EXPECT_EQ(101.5, entries.value[0].at);
  EXPECT_EQ("\\xff", entries.value[0].event.detail);
  EXPECT_EQ("pause", entries.value[1].event.action);
  EXPECT_EQ(100.5, entries.value[1].at);
}

// A server hung, not gone: a call ends with "unavailable" by its deadline
// instead of waiting for it; the next call after it is back goes through.
TEST(PgDeadline, HungServerCallEndsAndTheNextGoesThrough)
{
  kinora_test::PgServer server;
  SqlError error;
  auto db = openConnection(server.url(), false, error);
  ASSERT_TRUE(db) << error.message;
  db->setDeadline(500);
  {
    Statement s(*db, "SELECT 1");
    ASSERT_TRUE(s.step()) << s.error();
  }
  server.freeze();
  {
    Statement s(*db, "SELECT 2");
    EXPECT_FALSE(s.step());
    EXPECT_EQ(SqlFault::kUnavailable, s.failure().fault) << s.error();
  }
  server.thaw();
  bool back = false;
  for (int i = 0; i < 200 && !back; ++i)
  {
    Statement s(*db, "SELECT 4");
    back = s.step() && s.integer(0) == 4;
    if (!back)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(back);
}
// A session left running by a room whose console is gone is released from
// another room: refused while that console is seen, for this room's own, for
// one not running; then closed as interrupted with what its records hold, and
// the patient free for a new session.
TEST(ReleaseElsewhere, RoomGoneSessionClosedPatientFree)
{
  kinora_test::TempDir dir;
  const std::string path = dir.path() + "clinic.db";
  auto roomB = clinic_test::openStore(path, "room-b");
  const int64_t patient = roomB->addPatient("P-7", "").value;
  const std::string log = dir.path() + "b.jsonl";
  const int64_t session = roomB->beginSession({patient, 0, 1, log}).value;
  ASSERT_GT(session, 0);
  clinic_test::append(log, clinic_test::playedExercise(1, 10));
  ASSERT_TRUE(roomB->ingestLog(session).ok());
  auto roomA = clinic_test::openStore(path, "room-a");
  const struct
  {
    ClinicStore* by;
    int64_t id;
    double goneAfter;
    Fault fault;
  } refused[] = {
      {roomA.get(), session, 60, Fault::kConflict},  // room B's console was seen just now
      {roomB.get(), session, 0, Fault::kConflict},   // room B's own: released on its running page
      {roomA.get(), session + 99, 0, Fault::kNotFound},
  };
  for (const auto& r : refused)
  {
    const Status s = r.by->releaseSession(r.id, r.goneAfter);
    EXPECT_EQ(r.fault, s.fault) << s.error;
  }
  ASSERT_TRUE(roomA->releaseSession(session, 0).ok());
  const auto closed = roomA->session(session);
  ASSERT_TRUE(closed.ok());
  EXPECT_EQ("interrupted", closed.value.outcome);
  EXPECT_EQ(2, closed.value.resumeAt);
  EXPECT_EQ(Fault::kConflict, roomA->releaseSession(session, 0).fault);  // not running any more
  EXPECT_GT(roomA->beginSession({patient, 0, 1, dir.path() + "a.jsonl"}).value, 0);
}
}  // namespace
