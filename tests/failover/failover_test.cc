// The shared store survives losing its server: the program and the mount
// write over a URL that names a primary and its synchronous standby; the
// primary is stopped as a crash would stop it, the standby promoted, and
// the writers go on. Every write that reported success is then on the new
// primary, whole and byte for byte; a write that failed said so and left
// its entry whole or absent; writes after the promotion succeed.

#include <fcntl.h>
#include <libpq-fe.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <set>

#include "cli/program.h"
#include "failover/pair.h"
#include "support/server_database.h"

namespace {

using failover::Attempt;
using failover::Mounted;
using failover::NowMs;
using failover::Ran;

// Writes a writer needs on each side of the failure.
constexpr int kBefore = 10;
constexpr int kAfter = 10;
// Every phase's deadline, in seconds: generous for a loaded machine, and
// still short of ctest's limit.
constexpr int kPhase = 240;

// The content of write i of a writer: lines of text, every fifth one
// longer than a stored page.
std::string Content(const std::string& writer, int i) {
  int lines = i % 5 == 2 ? 4000 : 3 + (i * 37) % 60;
  std::string text;
  for (int j = 0; j < lines; ++j) {
    text += writer + " " + std::to_string(i) + " line " + std::to_string(j) +
            ": the quick brown fox jumps over the lazy dog\n";
  }
  return text;
}

class FailoverTest : public ProgramTest {
 protected:
  void SetUp() override {
    ProgramTest::SetUp();
    ASSERT_EQ(failover::PairProblem(), "");
    std::string why;
    ASSERT_TRUE(failover::PairIsFresh(&why)) << why;
    database_ = std::make_unique<refhost::ServerDatabase>();
    ASSERT_FALSE(database_->url().empty()) << database_->error();
    url_ = database_->url();
    for (const char* folder : {"/in", "/runs", "/mnt", "/out"}) {
      std::filesystem::create_directories(root_ + folder);
    }
    stop_ = root_ + "/stop";
  }
  void TearDown() override {
    // Writers still running are stopped and killed; their logs are kept
    // until the folder goes.
    WriteFile(stop_, "");
    for (pid_t pid : writers_) failover::AwaitExit(pid, 120);
    mount_.reset();
    database_.reset();
    ProgramTest::TearDown();
  }

  // The program's writer: write i stores standard input as fo.prog.wI;
  // every fourth step imports a folder of two files into fo.imp instead.
  // Each run's standard error is kept for the test to read; a run that
  // does not end within 120 seconds is killed and counts as hung.
  int ProgramStep(int i) {
    std::string scratch = root_ + "/runs/" + std::to_string(i);
    std::filesystem::create_directories(scratch);
    Ran ran;
    if (i % 4 == 3) {
      std::string folder = root_ + "/in/import" + std::to_string(i);
      std::filesystem::create_directories(folder);
      for (const char* part : {"a", "b"}) {
        std::string name = "i" + std::to_string(i) + part;
        WriteFile(folder + "/" + name + ".txt", Content("import", i) + part);
      }
      ran = failover::RunProgram({"--store", url_, "import", folder, "fo.imp"},
                                 120, scratch);
    } else {
      std::string in = root_ + "/in/w" + std::to_string(i) + ".txt";
      WriteFile(in, Content("program", i));
      ran = failover::RunProgram(
          {"--store", url_, "write", "fo.prog.w" + std::to_string(i)}, 120,
          scratch, in);
    }
    return ran.timed_out ? -2 : ran.code;
  }

  // The mount's writer: copy i goes to fo/mnt/mI.txt, written and closed;
  // the errno of the call that failed, 0 when every call succeeded.
  int MountStep(int i) {
    std::string path = root_ + "/mnt/fo/mnt/m" + std::to_string(i) + ".txt";
    std::string bytes = Content("mount", i);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return errno;
    int error = 0;
    for (size_t at = 0; at < bytes.size() && error == 0;) {
      ssize_t n = write(fd, bytes.data() + at, bytes.size() - at);
      if (n < 0) error = errno;
      at += n > 0 ? (size_t)n : 0;
    }
    if (close(fd) != 0 && error == 0) error = errno;
    // A pause, longer after a failure: a copy takes a few milliseconds, and
    // thousands of them would only make the check at the end longer.
    usleep(error == 0 ? 20000 : 100000);
    return error;
  }

  // Waits until every writer's log shows `count` successes of writes that
  // started at `since` or later; false at the deadline.
  bool AwaitSuccesses(const std::vector<std::string>& logs, int count,
                      int64_t since) {
    for (int64_t deadline = NowMs() + int64_t{kPhase} * 1000;
         NowMs() < deadline;) {
      bool all = true;
      for (const std::string& log : logs) {
        int done = 0;
        for (const Attempt& a : failover::Attempts(log)) {
          done += a.result == 0 && a.start_ms >= since;
        }
        all = all && done >= count;
      }
      if (all) return true;
      usleep(100000);
    }
    return false;
  }

  // Waits until `count` sessions of the database wait for a lock; false
  // at the deadline.
  bool AwaitWaiting(int count) {
    for (int64_t deadline = NowMs() + int64_t{kPhase} * 1000;
         NowMs() < deadline;) {
      if (database_->Query("SELECT count(*) FROM pg_stat_activity WHERE "
                           "datname = current_database() AND "
                           "wait_event_type = 'Lock'") >= count) {
        return true;
      }
      usleep(100000);
    }
    return false;
  }

  // The files an export of the catalog gives, by name.
  std::map<std::string, std::string> Exported(const std::string& catalog) {
    std::string folder = root_ + "/out/" + catalog;
    Ran ran = failover::RunProgram({"--store", url_, "export", catalog, folder},
                                   300, root_);
    EXPECT_EQ(ran.code, 0) << ran.err;
    std::map<std::string, std::string> files;
    if (!std::filesystem::exists(folder)) return files;
    for (const auto& e : std::filesystem::directory_iterator(folder)) {
      std::string name = e.path().filename().string();
      if (name != ".vuvorozo-manifest") files[name] = ReadFile(e.path());
    }
    return files;
  }

  std::unique_ptr<refhost::ServerDatabase> database_;
  std::unique_ptr<Mounted> mount_;
  std::string url_;
  std::string stop_;
  std::vector<pid_t> writers_;
};

TEST_F(FailoverTest, NothingAcknowledgedIsLostWhenThePrimaryFails) {
  // The catalogs the writers fill, made before they start.
  for (const char* catalog : {"fo.prog", "fo.imp", "fo.mnt"}) {
    Ran made =
        failover::RunProgram({"--store", url_, "mkdir", catalog}, 120, root_);
    ASSERT_EQ(made.code, 0) << made.err;
  }
  mount_ = std::make_unique<Mounted>(root_ + "/mnt", root_ + "/mount.log");
  ASSERT_EQ(mount_->Start(url_), "");

  std::string program_log = root_ + "/program.log";
  std::string mount_log = root_ + "/mount-writer.log";
  writers_.push_back(failover::StartWriter(
      program_log, stop_, [this](int i) { return ProgramStep(i); }));
  writers_.push_back(failover::StartWriter(
      mount_log, stop_, [this](int i) { return MountStep(i); }));
  std::vector<std::string> logs = {program_log, mount_log};
  ASSERT_TRUE(AwaitSuccesses(logs, kBefore, 0))
      << "the writers did not write " << kBefore << " entries each within "
      << kPhase << " seconds";

  // Each writer's next close waits (a session of the test locks the table
  // of entries against changes), so that the primary goes, as in a crash,
  // with a close of each in flight; the standby is promoted a moment
  // later.
  std::unique_ptr<PGconn, decltype(&PQfinish)> holder(PQconnectdb(url_.c_str()),
                                                      &PQfinish);
  ASSERT_EQ(PQstatus(holder.get()), CONNECTION_OK)
      << PQerrorMessage(holder.get());
  PGresult* locked = PQexec(holder.get(),
                            "BEGIN; LOCK TABLE vuvorozo.entries IN SHARE ROW "
                            "EXCLUSIVE MODE");
  ExecStatusType status = PQresultStatus(locked);
  PQclear(locked);
  ASSERT_EQ(status, PGRES_COMMAND_OK) << PQerrorMessage(holder.get());
  ASSERT_TRUE(AwaitWaiting(2))
      << "the writers' closes did not wait within " << kPhase << " seconds";
  int64_t crashed = NowMs();
  ASSERT_EQ(failover::PairScript("crash", 120), "");
  holder.reset();
  usleep(1500000);
  ASSERT_EQ(failover::PairScript("promote", 240), "");
  int64_t promoted = NowMs();
  ASSERT_TRUE(AwaitSuccesses(logs, kAfter, promoted))
      << "the writers did not write " << kAfter << " entries each within "
      << kPhase << " seconds of the promotion";
  WriteFile(stop_, "");
  for (pid_t pid : writers_) {
    EXPECT_TRUE(failover::AwaitExit(pid, 300)) << "a writer did not stop";
  }
  writers_.clear();
  mount_->Stop();

  // What the new primary holds.
  std::map<std::string, std::string> held;
  for (const char* catalog : {"fo.prog", "fo.imp", "fo.mnt"}) {
    for (auto& [name, bytes] : Exported(catalog)) {
      held[std::string(catalog) + "/" + name] = bytes;
    }
  }
  // What each attempt wrote, by the name export gives it.
  auto expected = [](const std::string& log, const Attempt& a) {
    std::map<std::string, std::string> files;
    std::string i = std::to_string(a.index);
    if (log.ends_with("mount-writer.log")) {
      files["fo.mnt/m" + i + ".txt"] = Content("mount", a.index);
    } else if (a.index % 4 == 3) {
      for (const char* part : {"a", "b"}) {
        files["fo.imp/i" + i + part + ".txt"] =
            Content("import", a.index) + part;
      }
    } else {
      files["fo.prog/w" + i + ".txt"] = Content("program", a.index);
    }
    return files;
  };

  std::set<std::string> written;
  std::map<std::string, int> said;  // how the failures were reported
  for (const std::string& log : logs) {
    int ok = 0, failed = 0, ok_after = 0, in_flight = 0;
    for (const Attempt& a : failover::Attempts(log)) {
      bool after = a.start_ms >= promoted;
      // The close that waited when the primary went cannot have been
      // stored.
      if (a.start_ms < crashed && a.end_ms >= crashed) {
        ++in_flight;
        EXPECT_NE(a.result, 0) << log << ": attempt " << a.index
                               << " was held at its close, yet succeeded";
      }
      for (const auto& [name, bytes] : expected(log, a)) {
        written.insert(name);
        auto it = held.find(name);
        if (a.result == 0) {
          // Reported stored: there, whole and exact.
          if (it == held.end()) {
            ADD_FAILURE() << name << " reported stored, but lost";
            continue;
          }
          EXPECT_EQ(it->second.size(), bytes.size()) << name;
          EXPECT_TRUE(it->second == bytes) << name << " differs";
        } else if (it != held.end()) {
          // A write that failed at its end may have been stored: whole.
          EXPECT_TRUE(it->second == bytes) << name << " is stored in part";
        }
      }
      EXPECT_NE(a.result, -2) << "write " << a.index << " hung";
      if (a.result == 0) {
        ++ok;
        ok_after += after;
        continue;
      }
      ++failed;
      // A failure only while no server took writes, and said so.
      EXPECT_LT(a.start_ms, promoted)
          << log << ": attempt " << a.index << " failed after the promotion";
      EXPECT_GE(a.end_ms, crashed)
          << log << ": attempt " << a.index << " failed before the crash";
      if (log == program_log) {
        EXPECT_EQ(a.result, 1) << "attempt " << a.index;
        std::string err =
            ReadFile(root_ + "/runs/" + std::to_string(a.index) + "/.err");
        EXPECT_TRUE(err.starts_with("vuvorozo: write: ") ||
                    err.starts_with("vuvorozo: import: "))
            << err;
        EXPECT_TRUE(err.find("server") != std::string::npos ||
                    err.find("connection") != std::string::npos)
            << err;
        said[err.substr(0, err.find('\n'))] = a.index;
      } else {
        EXPECT_GT(a.result, 0) << "attempt " << a.index;
        said[std::string("the mount: ") + strerror(a.result)] = a.index;
      }
    }
    EXPECT_GE(ok_after, kAfter) << log;
    EXPECT_EQ(in_flight, 1) << log;
    std::cout << log.substr(root_.size() + 1) << ": " << ok
              << " writes reported success (" << ok_after
              << " after the promotion), " << failed << " failed\n";
  }
  // One line of each kind of failure (the program's name their entries).
  std::set<std::string> kinds;
  for (const auto& [message, index] : said) {
    size_t url = message.find("read-write: ");
    std::string kind = url == std::string::npos ? message : message.substr(url);
    if (kinds.insert(kind.substr(0, 60)).second) std::cout << message << "\n";
  }
  for (const auto& [name, bytes] : held) {
    EXPECT_TRUE(written.count(name) == 1) << name << " was never written";
  }

  Ran check =
      failover::RunProgram({"--store", url_, "check", "fo"}, 300, root_);
  EXPECT_EQ(check.code, 0) << check.out << check.err;
  EXPECT_NE(check.out.find("sound"), std::string::npos) << check.out;
  std::string debug = ReadFile(root_ + "/.debug-log");
  EXPECT_EQ(debug.find("internal:"), std::string::npos) << debug;
}

}  // namespace
