// The pair of servers the ctest fixture server_pair starts
// (scripts/pg-test-pair: a primary and its synchronous standby), and what
// the tests of failover do with processes: run one within a deadline,
// mount a store, keep a writer going in a child process. Every wait has a
// deadline of its own and fails saying what it waited for, so that a
// process that hangs fails its test, never holds it until ctest's limit.

#ifndef VUVOROZO_TESTS_FAILOVER_PAIR_H_
#define VUVOROZO_TESTS_FAILOVER_PAIR_H_

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace failover {

// The URLs and folder the fixture gives the tests in their environment;
// empty when not set.
std::string BothUrl();     // both servers, target_session_attrs=read-write
std::string PrimaryUrl();  // the primary alone
std::string StandbyUrl();  // the standby alone
std::string PairDir();     // the pair's folder
// Why the tests cannot use the pair; empty when they can.
std::string PairProblem();

// url (server and options) with the database that database_url names.
std::string OnDatabase(const std::string& url, const std::string& database_url);

// Runs `pg-test-pair action` on the pair within seconds; empty when it
// worked, else what it said.
std::string PairScript(const std::string& action, int seconds);

// True when the standby is in recovery (a hot standby) and the primary
// takes changes: the pair as the fixture starts it.
bool PairIsFresh(std::string* why);

// Milliseconds of a clock that only goes forward, the same in the test and
// the processes it forks.
int64_t NowMs();

struct Ran {
  int code = -1;           // exit code; -1 when killed or not started
  bool timed_out = false;  // killed at the deadline
  std::string out;
  std::string err;
};

// Runs the program with args, standard input from in (a file), within
// seconds; its output is kept in scratch/.out and scratch/.err. Nothing in
// it uses the test framework: a forked writer calls it too.
Ran RunProgram(const std::vector<std::string>& args, int seconds,
               const std::string& scratch, const std::string& in = "/dev/null");

// A store mounted by the program in the foreground, unmounted when it goes.
class Mounted {
 public:
  Mounted(std::string point, std::string log)
      : point_(std::move(point)), log_(std::move(log)) {}
  ~Mounted() { Stop(); }
  Mounted(const Mounted&) = delete;
  Mounted& operator=(const Mounted&) = delete;

  // Mounts the store url with the options given, waiting up to 60 seconds
  // until the mount point is another file system; empty when mounted,
  // else why not.
  std::string Start(const std::string& url,
                    const std::vector<std::string>& options = {});
  // Unmounts and waits up to 60 seconds for the mount to end: its exit
  // code; -1 when it had to be killed or was not running.
  int Stop();
  bool Up() const;
  const std::string& point() const { return point_; }

 private:
  std::string point_;
  std::string log_;
  pid_t pid_ = -1;
};

// What a writer did at one step.
struct Attempt {
  int index = 0;
  int64_t start_ms = 0;
  int64_t end_ms = 0;
  int result = 0;  // 0: it reported success
};

// A child process that runs step(0), step(1), ... until the file stop
// exists, appending each attempt to the file log as a line. step returns 0
// for a success; the child never returns to the test framework.
pid_t StartWriter(const std::string& log, const std::string& stop,
                  const std::function<int(int)>& step);
// The attempts of a writer's log so far.
std::vector<Attempt> Attempts(const std::string& log);
// Waits up to seconds for the process to end; true when it ended with exit
// code 0. A process still running at the deadline is killed (false).
bool AwaitExit(pid_t pid, int seconds);

}  // namespace failover

#endif  // VUVOROZO_TESTS_FAILOVER_PAIR_H_
