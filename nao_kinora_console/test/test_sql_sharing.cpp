// The store's database layer shared: writers of many threads through a pool,
// many connections setting up one new database at once, and a server lost
// under a connection and back.
#include "sql_test_backends.h"

#include "nao_kinora_console/db/connection_pool.h"
#include "nao_kinora_console/db/sqlite_db.h"

#include <sqlite3.h>

#include <atomic>
#include <thread>

namespace
{
using namespace sql_test;

// Read, then write what was read plus one, in many threads at once through a
// pool of two: only writers that queue count every one. A writer that waited
// too long (kBusy) tries again, as the store will.
TEST(SqlLayer, WritersQueueThroughAPool)
{
  const int kThreads = 4, kEach = 25, kPool = 2;
  for (const auto& b : bothBackends())
  {
    makeTables(*b, *b->connect());
    ConnectionPool pool([&](SqlError& e) { return openConnection(b->where, false, e); }, kPool);
    std::atomic<int> leased{0}, mostLeased{0}, failures{0};
    std::vector<std::thread> threads;
    for (int k = 0; k < kThreads; ++k)
      threads.emplace_back(
          [&]
          {
            for (int done = 0; done < kEach;)
            {
              auto db = pool.lease();
              int seen = mostLeased, now = ++leased;
              while (now > seen && !mostLeased.compare_exchange_weak(seen, now))
              {
              }
              SqlError e;
              {
                Transaction t(*db);
                Statement read(*db, "SELECT n FROM stock WHERE id = 1");
                const int64_t n = t.failure().ok() && read.step() ? read.integer(0) : 0;
                e = t.failure().ok() ? read.failure() : t.failure();
                Statement write(*db, "UPDATE stock SET n = ? WHERE id = 1");
                if (e.ok() && write.bind(1, n + 1).run().empty())
                  t.commit();
                e = e.ok() ? (write.failure().ok() ? t.failure() : write.failure()) : e;
              }
              --leased;
              if (e.ok())
                ++done;
              else if (e.fault != SqlFault::kBusy)
              {
                ++failures;
                break;
              }
            }
          });
    for (auto& t : threads)
      t.join();
    EXPECT_EQ(0, failures.load()) << b->name;
    EXPECT_EQ(kThreads * kEach, count(*b->connect(), "SELECT n FROM stock WHERE id = 1")) << b->name;
    EXPECT_LE(mostLeased.load(), kPool) << b->name;
  }
}

// Many connections set up one new database at once: each step of the schema
// runs once (the second step's row is there once), all of them succeed.
TEST(SqlLayer, NewDatabaseOpenedByManyAtOnce)
{
  const int kOpeners = 6, kRounds = 3;
  const char* const steps[] = {"CREATE TABLE things(id BIGINT PRIMARY KEY, name TEXT NOT NULL)",
                               "INSERT INTO things VALUES (1, 'set up once')"};
  for (const auto& b : bothBackends())
    for (int round = 0; round < kRounds; ++round)
    {
      Backend fresh{b->name, b->dialect, b->where, {}, {}};
      fresh.where = b->dialect == SqlDialect::kSqlite ? b->dir->path() + "new" + std::to_string(round) + ".db"
                                                      : b->server->createDatabase("new" + std::to_string(round));
      std::vector<std::unique_ptr<SqlConnection>> dbs;
      for (int k = 0; k < kOpeners; ++k)
        dbs.push_back(fresh.connect());
      StartLine line(kOpeners);
      std::vector<SqlError> results(kOpeners);
      std::vector<std::thread> threads;
      for (int k = 0; k < kOpeners; ++k)
        threads.emplace_back(
            [&, k]
            {
              line.arrive();
              results[k] = migrateSchema(*dbs[k], 2, [&](SqlConnection& c, int64_t v) { return c.execute(steps[v]); });
            });
      for (auto& t : threads)
        t.join();
      for (const SqlError& e : results)
        EXPECT_TRUE(e.ok()) << b->name << ": " << faultName(e.fault) << ": " << e.message;
      SqlError e;
      EXPECT_EQ(2, dbs[0]->schemaVersion(e)) << b->name;
      EXPECT_EQ(1, count(*dbs[0], "SELECT count(*) FROM things")) << b->name;
    }
}

// SQLite refuses at once, without waiting, a statement that has read and
// must then write while another connection holds the write lock (a file
// turned to WAL while another console sets it up): outside a transaction the
// layer runs it again once the other is done.
TEST(SqliteLayer, StatementRefusedWithoutWaitingRunsAgain)
{
  kinora_test::TempDir dir;
  Database writer, switcher;
  ASSERT_TRUE(writer.openFile(dir.path() + "new.db", true).ok());
  ASSERT_TRUE(switcher.openFile(dir.path() + "new.db", false).ok());
  switcher.setBusyTimeout(60000);  // only a stalled machine waits that long
  run(writer, "CREATE TABLE t(x BIGINT)");
  std::atomic<int> attemptsEnded{0};
  sqlite3_trace_v2(
      switcher.handle(), SQLITE_TRACE_PROFILE,
      [](unsigned, void* count, void*, void*)
      {
        ++*static_cast<std::atomic<int>*>(count);
        return 0;
      },
      &attemptsEnded);
  std::unique_ptr<Transaction> writing(new Transaction(writer));
  run(writer, "INSERT INTO t VALUES (1)");
  std::string mode;
  SqlError failure;
  std::thread turn(
      [&]
      {
        Statement wal(switcher, "PRAGMA journal_mode=WAL");
        mode = wal.step() ? wal.text(0) : "";
        failure = wal.failure();
      });
  // Its first attempt has ended (refused) before the writer lets go.
  EXPECT_TRUE(kinora_test::waitWallFor([&] { return attemptsEnded > 0; }, 60.0));
  EXPECT_EQ("", writing->commit());
  turn.join();
  EXPECT_TRUE(failure.ok()) << failure.message;
  EXPECT_EQ("wal", mode);
}

// The server stopped and started again under one connection: typed
// unavailable meanwhile, then it connects again by itself, except inside a
// transaction, whose writes are lost whole.
TEST(SqlLayer, ServerLostAndBack)
{
  kinora_test::PgServer server;
  SqlError e;
  auto db = openConnection(server.url(), false, e);
  ASSERT_TRUE(db) << e.message;
  run(*db, "CREATE TABLE t(x BIGINT)");
  auto insert = [&](int x)
  {
    Statement s(*db, "INSERT INTO t VALUES (?)");
    s.bind(1, x).run();
    return s.failure();
  };
  EXPECT_TRUE(insert(1).ok());
  server.stop();
  e = insert(2);
  EXPECT_EQ("unavailable", std::string(faultName(e.fault))) << e.message;
  EXPECT_EQ(
      "cannot reach the database server [127.0.0.1:" + std::to_string(server.port()) + "/kinora]: Connection refused",
      e.message);
  server.start();
  e = insert(3);
  EXPECT_TRUE(e.ok()) << e.message;
  {
    Transaction t(*db);
    EXPECT_TRUE(insert(4).ok());
    server.stop();
    server.start();
    e = insert(5);
    EXPECT_EQ("unavailable", std::string(faultName(e.fault))) << e.message;
    t.commit();
    EXPECT_EQ("unavailable", std::string(faultName(t.failure().fault))) << t.error();
  }
  EXPECT_TRUE(insert(6).ok());
  // Stopped and back while the connection was idle: its next use goes through.
  server.stop();
  server.start();
  e = insert(7);
  EXPECT_TRUE(e.ok()) << e.message;
  Statement all(*db, "SELECT x FROM t ORDER BY x");
  std::vector<int64_t> xs;
  while (all.step())
    xs.push_back(all.integer(0));
  EXPECT_EQ((std::vector<int64_t>{1, 3, 6, 7}), xs);
}
}  // namespace
