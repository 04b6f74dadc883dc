// A writer killed with SIGKILL at several points while it stores sessions
// through the store: what it had committed is there, the file passes
// PRAGMA integrity_check, and every session holds exactly the exercises of
// its log up to the offset stored with it, never part of a read.
#include "clinic_test_util.h"
#include "test_util.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

namespace
{
using namespace clinic_test;

// The child: sessions of nine exercises, one read of the log per exercise,
// each reported on fd once committed ("session exercises\n"). Never returns.
[[noreturn]] void writeSessions(const std::string& db, const std::string& dir, int fd)
{
  try
  {
    auto store = openStore(db);
    // A patient of its own: the killed writer's last session is left running,
    // and a patient is in one running session at most.
    const int64_t patient = store->addPatient("P-KILL-" + std::to_string(getpid()), "").value;
    for (int n = 0;; ++n)
    {
      const std::string log = dir + "log_" + std::to_string(getpid()) + "_" + std::to_string(n);
      const int64_t id = store->beginSession({patient, 0, 1, log}).value;
      for (int k = 1; k <= 10; ++k)
      {
        append(log, k <= 9 ? playedExercise(k, 20 * k) : line(300, "cue", {{"kind", "closing"}}));
        if (!store->ingestLog(id).ok())
          _exit(3);
        const std::string report = std::to_string(id) + " " + std::to_string(k) + "\n";
        if (write(fd, report.data(), report.size()) < 0)
          _exit(4);
      }
    }
  }
  catch (...)
  {
  }
  _exit(2);
}

int loadedLines(const std::string& text)
{
  int n = 0;
  for (std::size_t at = text.find("recording loaded"); at != std::string::npos;
       at = text.find("recording loaded", at + 1))
    ++n;
  return n;
}

struct StoredSession
{
  int64_t id;
  std::string log;
  int64_t offset;
  int exercises;
};

// Read with SQLite itself, beside the store: the check and what it stored.
std::string inspect(const std::string& path, std::vector<StoredSession>& sessions)
{
  sqlite3* db = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* s = nullptr;
  sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &s, nullptr);
  const std::string verdict =
      sqlite3_step(s) == SQLITE_ROW ? reinterpret_cast<const char*>(sqlite3_column_text(s, 0)) : sqlite3_errmsg(db);
  sqlite3_finalize(s);
  sqlite3_prepare_v2(db,
                     "SELECT id, log_path, log_offset, (SELECT count(*) FROM session_exercises e"
                     " WHERE e.session_id = s.id) FROM sessions s",
                     -1, &s, nullptr);
  while (sqlite3_step(s) == SQLITE_ROW)
    sessions.push_back({sqlite3_column_int64(s, 0), reinterpret_cast<const char*>(sqlite3_column_text(s, 1)),
                        sqlite3_column_int64(s, 2), sqlite3_column_int(s, 3)});
  sqlite3_finalize(s);
  sqlite3_close(db);
  return verdict;
}

TEST(ClinicKill, CommittedSessionsSurviveWhole)
{
  kinora_test::TempDir dir;
  const std::string db = dir.path() + "clinic.db";
  for (const int reports : {1, 4, 9, 10, 13, 31})
  {
    SCOPED_TRACE("killed after " + std::to_string(reports) + " reports");
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
    {
      close(fds[0]);
      writeSessions(db, dir.path(), fds[1]);
    }
    close(fds[1]);
    FILE* in = fdopen(fds[0], "r");
    long session = 0;
    int exercises = 0;
    for (int i = 0; i < reports; ++i)
      ASSERT_EQ(2, std::fscanf(in, "%ld %d", &session, &exercises)) << "the writer stopped";
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    fclose(in);
    ASSERT_TRUE(WIFSIGNALED(status));

    std::vector<StoredSession> stored;
    EXPECT_EQ("ok", inspect(db, stored));
    ASSERT_FALSE(stored.empty());
    for (const StoredSession& s : stored)
    {
      const std::string read = kinora_test::readFile(s.log).substr(0, s.offset);
      EXPECT_TRUE(read.empty() || read.back() == '\n') << s.id;
      EXPECT_EQ(loadedLines(read), s.exercises) << s.id;
      if (s.id == session)
      {
        EXPECT_LE(std::min(exercises, 9), s.exercises);
      }
    }
    EXPECT_TRUE(ClinicStore::open(db).ok());
  }
}
}  // namespace
