// What the tests of the SQLite store share: a fresh folder for each test,
// SQL run straight on a library file (bypassing the store, to look inside
// or to damage it), and child processes that use the store on their own.

#ifndef VUVOROZO_TESTS_REFHOST_STORE_LIBRARY_FILES_H_
#define VUVOROZO_TESTS_REFHOST_STORE_LIBRARY_FILES_H_

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

namespace refhost {

inline std::string TempFolder() {
  char pattern[] = "/tmp/vuvorozo-store-XXXXXX";
  char* made = mkdtemp(pattern);
  return made ? made : "";
}

// Runs the statements on the database file at path; false with *error (when
// not null) saying why when one fails.
inline bool ExecFile(const std::string& path, const std::string& sql,
                     std::string* error = nullptr) {
  sqlite3* db = nullptr;
  bool ok =
      sqlite3_open(path.c_str(), &db) == SQLITE_OK &&
      sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
  if (!ok && error != nullptr) *error = db ? sqlite3_errmsg(db) : "no memory";
  sqlite3_close(db);
  return ok;
}

// Calls read with the first row the statement gives, read from the
// database file at path.
template <typename Read>
void FirstRowOfFile(const std::string& path, const std::string& sql,
                    Read read) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) ==
      SQLITE_OK) {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW) {
      read(st);
    }
    sqlite3_finalize(st);
  }
  sqlite3_close(db);
}

// The first column of the first row the statement gives, read from the
// database file at path; -1 (or "") when there is none.
inline int64_t QueryFile(const std::string& path, const std::string& sql) {
  int64_t value = -1;
  FirstRowOfFile(path, sql, [&](sqlite3_stmt* st) {
    value = sqlite3_column_int64(st, 0);
  });
  return value;
}
inline std::string QueryText(const std::string& path, const std::string& sql) {
  std::string value;
  FirstRowOfFile(path, sql, [&](sqlite3_stmt* st) {
    const unsigned char* text = sqlite3_column_text(st, 0);
    if (text != nullptr) value = (const char*)text;
  });
  return value;
}

// Seconds a child process of a test may run: far more than any takes.
inline constexpr unsigned kChildDeadline = 120;

// A child process that runs body and exits with what it returns, or is
// stopped at its deadline. The child must make its own stores: it never
// touches the parent's.
inline pid_t Spawn(const std::function<int()>& body) {
  pid_t pid = fork();
  if (pid == 0) {
    alarm(kChildDeadline);
    _exit(body());
  }
  return pid;
}

// The child's exit code; 128 + the signal when a signal ended it. A child
// stopped at its deadline fails the test, saying so.
inline int Reap(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  if (WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM) {
    ADD_FAILURE() << "a child process ran past its deadline of "
                  << kChildDeadline << " s and was stopped";
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// A test with a fresh data folder whose library WORK is work.db.
class LibraryFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = TempFolder();
    ASSERT_FALSE(folder_.empty());
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }

  std::string DbPath() const { return folder_ + "/work.db"; }
  int64_t Query(const std::string& sql) { return QueryFile(DbPath(), sql); }

  // Every version belongs to an entry, every page to a version, and no
  // entry is marked as being written.
  void ExpectNothingLeftBehind() { ExpectNothingLeftBehindIn(DbPath()); }

 public:
  static void ExpectNothingLeftBehindIn(const std::string& path) {
    auto query = [&](const char* sql) { return QueryFile(path, sql); };
    EXPECT_EQ(query("SELECT count(*) FROM versions"),
              query("SELECT count(*) FROM entries"));
    EXPECT_EQ(query("SELECT coalesce(sum(count), 0) FROM pages"),
              query("SELECT coalesce(sum(record_count), 0) FROM versions"));
    EXPECT_EQ(query("SELECT count(*) FROM pages WHERE key >> 32 NOT IN "
                    "(SELECT id FROM versions)"),
              0);
    EXPECT_EQ(query("SELECT count(*) FROM writers"), 0);
  }

 protected:
  std::string folder_;
};

}  // namespace refhost

#endif  // VUVOROZO_TESTS_REFHOST_STORE_LIBRARY_FILES_H_
