// The store's database layer on both back ends, an SQLite file and a
// PostgreSQL server started by the test: each typed fault from its real
// cause, values bound and read back, transactions and RETURNING ids.
#include "sql_test_backends.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <functional>
#include <limits>

namespace
{
using namespace sql_test;

// A loopback port bound but not listening: a connection to it is refused,
// and no other program can take it meanwhile.
struct ClosedPort
{
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  int port = 0;
  ClosedPort()
  {
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    port = ntohs(a.sin_port);
  }
  ~ClosedPort() { close(fd); }
};

// Real damage: a garbage SQLite file; on the server, a table's first page
// overwritten while it is stopped, so nothing of it is cached.
SqlError readDamaged(const Backend& b, SqlConnection& db)
{
  if (b.dialect == SqlDialect::kSqlite)
  {
    std::ofstream(b.dir->path() + "garbage.db") << std::string(8192, 'x');
    SqlError opened;
    auto garbage = openConnection(b.dir->path() + "garbage.db", false, opened);  // SQLite reads it lazily
    EXPECT_TRUE(opened.ok()) << opened.message;
    Statement s(*garbage, "SELECT count(*) FROM sqlite_schema");
    s.step();
    return s.failure();
  }
  run(db, "CREATE TABLE damaged(x BIGINT); INSERT INTO damaged VALUES (1)");
  Statement where(db, "SELECT pg_relation_filepath('damaged')");
  const std::string file = b.server->dataDir() + "/" + (where.step() ? where.text(0) : "");
  b.server->stop();  // a fast shutdown writes the page out
  std::fstream(file, std::ios::in | std::ios::out | std::ios::binary) << std::string(8192, 'x');
  b.server->start();
  Statement s(db, "SELECT count(*) FROM damaged");
  s.step();
  return s.failure();
}

struct FaultCase
{
  const char* name;
  std::function<SqlError(const Backend&, SqlConnection&)> cause;
  SqlFault fault;
};

const FaultCase kFaults[] = {
    {"unique value taken",
     [](const Backend&, SqlConnection& db)
     {
       insertPerson(db, "P-1", 30);
       return insertPerson(db, "P-1", 31);
     },
     SqlFault::kTaken},
    {"primary key taken",
     [](const Backend&, SqlConnection& db)
     {
       Statement s(db, "INSERT INTO stock(id, n) VALUES (?, 5)");
       s.bind(1, 1).run();
       return s.failure();
     },
     SqlFault::kTaken},
    {"check violated", [](const Backend&, SqlConnection& db) { return insertPerson(db, "P-2", -1); },
     SqlFault::kConstraint},
    {"foreign key",
     [](const Backend&, SqlConnection& db)
     {
       Statement s(db, "INSERT INTO visits(person) VALUES (?)");
       s.bind(1, 999).run();
       return s.failure();
     },
     SqlFault::kConstraint},
    {"not null",
     [](const Backend&, SqlConnection& db)
     {
       Statement s(db, "INSERT INTO people(code) VALUES (?)");
       s.bindNull(1).run();
       return s.failure();
     },
     SqlFault::kConstraint},
    {"NUL in text", [](const Backend&, SqlConnection& db) { return insertPerson(db, std::string("P-\0x", 4), 1); },
     SqlFault::kConstraint},
    {"invalid UTF-8", [](const Backend&, SqlConnection& db) { return insertPerson(db, "P-\xC3\x28", 1); },
     SqlFault::kConstraint},
    {"not a finite number",
     [](const Backend&, SqlConnection& db)
     {
       Statement s(db, "INSERT INTO vals(r) VALUES (?)");
       s.bind(1, std::numeric_limits<double>::infinity()).run();
       return s.failure();
     },
     SqlFault::kConstraint},
    {"bad SQL", [](const Backend&, SqlConnection& db) { return Statement(db, "SELEC 1").failure(); },
     SqlFault::kInternal},
    {"no such placeholder",
     [](const Backend&, SqlConnection& db)
     {
       Statement s(db, "SELECT ?");
       return s.bind(2, 1).failure();
     },
     SqlFault::kInternal},
    // The other writer holds its lock as long as it likes: waiting longer
    // could not change the outcome.
    {"writer held up by another",
     [](const Backend& b, SqlConnection& db)
     {
       auto other = b.connect();
       Transaction holding(*other);
       EXPECT_TRUE(holding.failure().ok()) << holding.error();
       db.setBusyTimeout(50);
       const SqlError e = Transaction(db).failure();
       db.setBusyTimeout(5000);
       return e;
     },
     SqlFault::kBusy},
    {"transaction lost a race",
     [](const Backend& b, SqlConnection& db)
     {
       auto other = b.connect();
       run(db, b.dialect == SqlDialect::kSqlite ? "BEGIN" : "BEGIN ISOLATION LEVEL REPEATABLE READ");
       EXPECT_EQ(0, count(db, "SELECT n FROM stock WHERE id = 1"));  // this transaction's snapshot
       run(*other, "UPDATE stock SET n = n + 1 WHERE id = 1");
       Statement s(db, "UPDATE stock SET n = 100 WHERE id = 1");
       s.run();
       run(db, "ROLLBACK");
       return s.failure();
     },
     SqlFault::kBusy},
    {"newer schema",
     [](const Backend&, SqlConnection& db)
     {
       Transaction t(db);
       EXPECT_TRUE(db.setSchemaVersion(9).ok());
       EXPECT_EQ("", t.commit());
       return migrateSchema(db, 1, [](SqlConnection& c, int64_t) { return c.execute("CREATE TABLE later(x BIGINT)"); });
     },
     SqlFault::kNewerSchema},
    {"unreachable",
     [](const Backend& b, SqlConnection&)
     {
       ClosedPort closed;
       SqlError e;
       openConnection(b.dialect == SqlDialect::kSqlite
                          ? b.dir->path() + "no/such/folder/test.db"
                          : "postgresql://kinora@127.0.0.1:" + std::to_string(closed.port) + "/kinora",
                      true, e);
       return e;
     },
     SqlFault::kUnavailable},
    {"damaged", readDamaged, SqlFault::kCorrupt},
};

TEST(SqlLayer, EachFaultFromItsRealCause)
{
  for (const auto& b : bothBackends())
  {
    auto db = b->connect();
    ASSERT_TRUE(db);
    makeTables(*b, *db);
    for (const FaultCase& c : kFaults)
    {
      const SqlError e = c.cause(*b, *db);
      EXPECT_EQ(faultName(c.fault), std::string(faultName(e.fault))) << b->name << ", " << c.name << ": " << e.message;
      EXPECT_FALSE(e.message.empty()) << b->name << ", " << c.name;
    }
    EXPECT_EQ(1, count(*db, "SELECT count(*) FROM people")) << b->name << ": only the first P-1 is stored";
  }
}

// One line, naming where it is and never the password.
TEST(SqlLayer, UnreachableServerNamedInOneLine)
{
  ClosedPort closed;
  const std::string where = "127.0.0.1:" + std::to_string(closed.port) + "/clinic";
  SqlError e;
  EXPECT_FALSE(openConnection("postgresql://kinora:s3cret@" + where, false, e));
  EXPECT_EQ("cannot reach the database server [" + where + "]: Connection refused", e.message);
  EXPECT_FALSE(openConnection("postgresql://kinora:s3cret@[::1/clinic", false, e));
  EXPECT_EQ("[postgresql://kinora@[::1/clinic] is not a PostgreSQL address (postgresql://USER@HOST:PORT/DB)",
            e.message);
}

struct Row
{
  std::string text;
  int64_t integer;
  double real;
};

const Row kRows[] = {
    {"", 0, 0.0},
    {"O'Brien said \"hi\"; -- DROP TABLE vals", -1, 0.1},
    {"? and $1 and ''", std::numeric_limits<int64_t>::min(), 1.0 / 3},
    {"naïve ☃ 𝄞", std::numeric_limits<int64_t>::max(), -2.5e-300},
    {std::string(100000, 'x'), (int64_t(1) << 53) + 1, std::numeric_limits<double>::max()},
    {"\t\n\r", 42, std::numeric_limits<double>::denorm_min()},
};

TEST(SqlLayer, BoundValuesReadBackExactly)
{
  for (const auto& b : bothBackends())
  {
    auto db = b->connect();
    ASSERT_TRUE(db);
    makeTables(*b, *db);
    Statement insert(*db, "INSERT INTO vals(t, i, r) VALUES (?, ?, ?) RETURNING id");
    Statement read(*db, "SELECT t, i, r FROM vals WHERE id = ?");
    for (const Row& row : kRows)
    {
      ASSERT_TRUE(insert.bind(1, row.text).bind(2, row.integer).bind(3, row.real).step()) << insert.error();
      read.bind(1, insert.integer(0));
      insert.reset();
      ASSERT_TRUE(read.step()) << b->name << ": " << read.error();
      EXPECT_EQ(row.text, read.text(0)) << b->name;
      EXPECT_EQ(row.integer, read.integer(1)) << b->name;
      EXPECT_EQ(row.real, read.real(2)) << b->name << " " << row.real;
      read.reset();
    }
    // Values not bound again after a reset are NULL.
    ASSERT_TRUE(insert.bind(2, 7).step()) << insert.error();
    read.bind(1, insert.integer(0));
    ASSERT_TRUE(read.step()) << read.error();
    EXPECT_TRUE(read.isNull(0)) << b->name;
    EXPECT_FALSE(read.isNull(1)) << b->name;
    EXPECT_TRUE(read.isNull(2)) << b->name;
  }
}

TEST(SqlLayer, TransactionsAndReturnedIds)
{
  for (const auto& b : bothBackends())
  {
    auto db = b->connect();
    auto other = b->connect();
    ASSERT_TRUE(db && other);
    makeTables(*b, *db);
    {
      Transaction t(*db);
      ASSERT_TRUE(insertPerson(*db, "P-gone", 1).ok());
    }  // not committed
    EXPECT_EQ(0, count(*other, "SELECT count(*) FROM people")) << b->name;
    std::vector<int64_t> ids;
    {
      Transaction t(*db);
      // Each stepped once for its id and still open at the commit, as the store writes it.
      Statement a(*db, "INSERT INTO people(code, age) VALUES ('P-a', 5) RETURNING id");
      Statement c(*db, "INSERT INTO people(code, age) VALUES ('P-b', 5) RETURNING id");
      for (Statement* s : {&a, &c})
      {
        ASSERT_TRUE(s->step()) << s->error();
        ids.push_back(s->integer(0));
      }
      EXPECT_EQ(0, count(*other, "SELECT count(*) FROM people")) << b->name << ": not before the commit";
      EXPECT_EQ("", t.commit()) << b->name;
    }
    ASSERT_EQ(2u, ids.size());
    EXPECT_LT(ids[0], ids[1]) << b->name;
    EXPECT_EQ(ids[1], count(*other, "SELECT id FROM people WHERE code = 'P-b'")) << b->name;
    run(*db, "UPDATE people SET age = 6");
    EXPECT_EQ(2, db->changes()) << b->name;
    if (b->dialect == SqlDialect::kPostgres)  // a failed statement dooms the server's transaction; SQLite's goes on
    {
      Transaction t(*db);
      EXPECT_EQ("taken", std::string(faultName(insertPerson(*db, "P-a", 1).fault)));
      t.commit();
      EXPECT_EQ("internal", std::string(faultName(t.failure().fault))) << t.error();
    }
  }
}
}  // namespace
