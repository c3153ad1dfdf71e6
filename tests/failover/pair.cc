#include "failover/pair.h"

#include <fcntl.h>
#include <libpq-fe.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace failover {
namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Waits up to seconds for pid; its exit code, or -1 when it was killed
// (*timed_out when at the deadline).
int Reap(pid_t pid, int seconds, bool* timed_out) {
  int status = 0;
  int64_t deadline = NowMs() + int64_t{seconds} * 1000;
  while (waitpid(pid, &status, WNOHANG) != pid) {
    if (NowMs() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      if (timed_out != nullptr) *timed_out = true;
      return -1;
    }
    usleep(20000);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs argv (argv[0] a path) with standard input from in and its output
// in scratch/.out and scratch/.err, within seconds.
Ran RunWithin(const std::vector<std::string>& argv, int seconds,
              const std::string& scratch, const std::string& in) {
  std::string out_path = scratch + "/.out";
  std::string err_path = scratch + "/.err";
  Ran ran;
  pid_t pid = fork();
  if (pid < 0) return ran;
  if (pid == 0) {
    int i = open(in.c_str(), O_RDONLY);
    int o = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int e = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (i < 0 || o < 0 || e < 0) _exit(126);
    dup2(i, 0);
    dup2(o, 1);
    dup2(e, 2);
    std::vector<std::string> copy = argv;
    std::vector<char*> args;
    for (std::string& a : copy) args.push_back(a.data());
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  ran.code = Reap(pid, seconds, &ran.timed_out);
  ran.out = ReadFile(out_path);
  ran.err = ReadFile(err_path);
  return ran;
}

// The database of a URL postgresql:///NAME?...
size_t DatabaseStart(const std::string& url) {
  size_t scheme = url.find("://");
  if (scheme == std::string::npos) return std::string::npos;
  size_t slash = url.find('/', scheme + 3);
  return slash == std::string::npos ? slash : slash + 1;
}

// The value of a one-row query on url; why not in *why.
std::string QueryOne(const std::string& url, const std::string& sql,
                     std::string* why) {
  PGconn* c = PQconnectdb(url.c_str());
  std::string value;
  if (PQstatus(c) != CONNECTION_OK) {
    *why = url + ": " + PQerrorMessage(c);
  } else {
    PGresult* r = PQexec(c, sql.c_str());
    if (PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) == 1) {
      value = PQgetvalue(r, 0, 0);
    } else {
      *why = url + ": " + PQerrorMessage(c);
    }
    PQclear(r);
  }
  PQfinish(c);
  return value;
}

}  // namespace

std::string BothUrl() { return Env("VUVOROZO_TEST_SERVER"); }
std::string PrimaryUrl() { return Env("VUVOROZO_TEST_PRIMARY"); }
std::string StandbyUrl() { return Env("VUVOROZO_TEST_STANDBY"); }
std::string PairDir() { return Env("VUVOROZO_TEST_PAIR"); }

std::string PairProblem() {
  if (BothUrl().empty() || PrimaryUrl().empty() || StandbyUrl().empty() ||
      PairDir().empty()) {
    return "$VUVOROZO_TEST_SERVER, $VUVOROZO_TEST_PRIMARY, "
           "$VUVOROZO_TEST_STANDBY or $VUVOROZO_TEST_PAIR is not set: run "
           "the test through ctest, "
           "whose fixture server_pair starts the servers "
           "(scripts/pg-test-pair)";
  }
  return "";
}

std::string OnDatabase(const std::string& url,
                       const std::string& database_url) {
  size_t from = DatabaseStart(database_url);
  size_t at = DatabaseStart(url);
  if (from == std::string::npos || at == std::string::npos) return url;
  std::string name =
      database_url.substr(from, database_url.find('?', from) - from);
  size_t end = url.find('?', at);
  return url.substr(0, at) + name +
         (end == std::string::npos ? "" : url.substr(end));
}

std::string PairScript(const std::string& action, int seconds) {
  char pattern[] = "/tmp/vuvorozo-pair-run-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return "cannot make a scratch folder";
  Ran ran = RunWithin(
      {VUVOROZO_SOURCE_DIR "/scripts/pg-test-pair", action, PairDir()}, seconds,
      pattern, "/dev/null");
  std::error_code ignored;
  std::filesystem::remove_all(pattern, ignored);
  if (ran.code == 0) return "";
  return "pg-test-pair " + action +
         (ran.timed_out
              ? " did not end within " + std::to_string(seconds) + " seconds"
              : " failed") +
         ": " + ran.err;
}

bool PairIsFresh(std::string* why) {
  std::string standby =
      QueryOne(StandbyUrl(), "SELECT pg_is_in_recovery()", why);
  if (standby.empty()) return false;
  std::string primary = QueryOne(BothUrl(), "SELECT pg_is_in_recovery()", why);
  if (primary.empty()) return false;
  if (standby != "t" || primary != "f") {
    *why =
        "the standby was promoted already (by an earlier run of the failover "
        "test): start the pair afresh with scripts/pg-test-pair restart " +
        PairDir();
    return false;
  }
  // The primary commits once the standby has the change: what the tests
  // of failover count on.
  std::string sync = QueryOne(
      BothUrl(),
      "SELECT count(*) FROM pg_stat_replication WHERE sync_state = 'sync'",
      why);
  if (sync != "1") {
    *why = "the primary has no synchronous standby";
    return false;
  }
  return true;
}

int64_t NowMs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

Ran RunProgram(const std::vector<std::string>& args, int seconds,
               const std::string& scratch, const std::string& in) {
  std::vector<std::string> argv = {VUVOROZO_PROGRAM_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  // The program's notes on blocks or handles it left behind go to a log
  // the test reads, never to the user.
  setenv("VUVOROZO_DEBUG_LOG", (scratch + "/.debug-log").c_str(), 1);
  unsetenv("VUVOROZO_DATA");
  unsetenv("VUVOROZO_STORE");
  unsetenv("VUVOROZO_MODULE");
  return RunWithin(argv, seconds, scratch, in);
}

std::string Mounted::Start(const std::string& url,
                           const std::vector<std::string>& options) {
  if (access("/dev/fuse", R_OK | W_OK) != 0) {
    return "cannot mount: /dev/fuse is not there to use";
  }
  pid_ = fork();
  if (pid_ < 0) return "cannot fork";
  if (pid_ == 0) {
    int log = open(log_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    dup2(log, 1);
    dup2(log, 2);
    // Blocks or handles the mount left behind are noted in its log.
    setenv("VUVOROZO_DEBUG_LOG", log_.c_str(), 1);
    std::vector<std::string> args = {
        VUVOROZO_PROGRAM_PATH, "--store", url, "mount", point_, "-f"};
    args.insert(args.end(), options.begin(), options.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  for (int64_t deadline = NowMs() + 60000; NowMs() < deadline;) {
    if (Up()) return "";
    int status;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return "the mount ended before it stood: " + ReadFile(log_);
    }
    usleep(50000);
  }
  return "the mount did not stand within 60 seconds: " + ReadFile(log_);
}

bool Mounted::Up() const {
  struct stat inside, outside;
  std::string parent = std::filesystem::path(point_).parent_path().string();
  return stat(point_.c_str(), &inside) == 0 &&
         stat(parent.c_str(), &outside) == 0 && inside.st_dev != outside.st_dev;
}

int Mounted::Stop() {
  if (pid_ <= 0) return -1;
  char pattern[] = "/tmp/vuvorozo-unmount-XXXXXX";
  bool scratch = mkdtemp(pattern) != nullptr;
  if (Up() && scratch) {
    RunWithin({"/bin/fusermount3", "-u", point_}, 30, pattern, "/dev/null");
  }
  bool timed_out = false;
  int code = Reap(pid_, 60, &timed_out);
  pid_ = -1;
  if (timed_out && scratch) {
    RunWithin({"/bin/fusermount3", "-uz", point_}, 30, pattern, "/dev/null");
  }
  std::error_code ignored;
  if (scratch) std::filesystem::remove_all(pattern, ignored);
  return code;
}

pid_t StartWriter(const std::string& log, const std::string& stop,
                  const std::function<int(int)>& step) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  for (int i = 0; fd >= 0 && access(stop.c_str(), F_OK) != 0; ++i) {
    int64_t start = NowMs();
    int result = step(i);
    std::string line = std::to_string(i) + " " + std::to_string(start) + " " +
                       std::to_string(NowMs()) + " " + std::to_string(result) +
                       "\n";
    if (write(fd, line.data(), line.size()) != (ssize_t)line.size()) break;
  }
  _exit(fd >= 0 ? 0 : 1);
}

std::vector<Attempt> Attempts(const std::string& log) {
  std::vector<Attempt> attempts;
  std::istringstream lines(ReadFile(log));
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    Attempt a;
    if (words >> a.index >> a.start_ms >> a.end_ms >> a.result) {
      attempts.push_back(a);
    }
  }
  return attempts;
}

bool AwaitExit(pid_t pid, int seconds) {
  bool timed_out = false;
  return Reap(pid, seconds, &timed_out) == 0 && !timed_out;
}

}  // namespace failover
