// The program over a server store: what one machine writes, another reads,
// and the password of the store's URL appears in nothing the program says.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "cli/program.h"
#include "support/server_database.h"

namespace {

class ServerStoreTest : public ProgramTest {
 protected:
  void SetUp() override {
    ProgramTest::SetUp();
    ASSERT_FALSE(database_.url().empty()) << database_.error();
    // The test server trusts its local users, so a password is taken and
    // ignored: enough to see that it is never shown.
    std::string url = database_.url();
    with_password_ = "postgresql://vuvorozo:" + std::string(kSecret) + "@" +
                     url.substr(std::string("postgresql://").size());
  }

  // A library an earlier release wrote works (below).
  void ExpectEarlierLibraryWorks(const std::string& fixture, int schema,
                                 bool copies);

  static constexpr const char* kSecret = "Pa55-w0rd-x";
  refhost::ServerDatabase database_;
  std::string with_password_;
};

TEST_F(ServerStoreTest, MachinesSharingAServerSeeOneAnothersEntries) {
  // One machine chooses the store by flag, another by the environment.
  Outcome w = RunBare(
      {"--store", with_password_, "write", "work.notes.a", "desc='from one'"},
      "alpha\nbeta\n");
  ASSERT_EQ(w.code, 0) << w.err;
  store_env_ = database_.url() + "&password=" + kSecret;
  Outcome r = RunBare({"read", "work.notes.a"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "alpha\nbeta\n");
  Outcome l = RunBare({"list", "-l", "work.notes"});
  EXPECT_NE(l.out.find("from one"), std::string::npos) << l.out;
  // --data wins over the environment: the folder has no such library.
  Outcome local = RunBare({"--data", data_, "read", "work.notes.a"});
  EXPECT_EQ(local.code, 1);
  EXPECT_NE(local.err.find("data folder"), std::string::npos) << local.err;
  Outcome both = RunBare({"--data", data_, "--store", with_password_, "list"});
  EXPECT_EQ(both.code, 2) << both.err;

  // What the program prints names the store with its password masked.
  Outcome version = RunBare({"--version"});
  EXPECT_EQ(version.code, 0) << version.err;
  EXPECT_NE(version.out.find("libpq "), std::string::npos) << version.out;
  EXPECT_NE(version.out.find("PostgreSQL server "), std::string::npos);
  EXPECT_NE(version.out.find("password=***"), std::string::npos);
  Outcome check = RunBare({"--store", with_password_, "check", "work"});
  EXPECT_EQ(check.code, 0) << check.err;
  EXPECT_NE(check.out.find("vuvorozo:***@"), std::string::npos) << check.out;
  Outcome absent = RunBare({"read", "none.notes.a"});
  EXPECT_EQ(absent.code, 1);
  EXPECT_NE(absent.err.find("does not exist in the store"), std::string::npos)
      << absent.err;
  // A database the server does not have: libpq's account of it, masked.
  std::string wrong = with_password_;
  wrong.replace(wrong.find("/test_"), 6, "/nodb_");
  Outcome failed = RunBare({"--store", wrong, "list"});
  EXPECT_EQ(failed.code, 1);
  EXPECT_NE(failed.err.find("cannot connect to the server"), std::string::npos)
      << failed.err;
  Outcome failed_version = RunBare({"--store", wrong, "--version"});
  EXPECT_EQ(failed_version.code, 1);
  Outcome help = RunBare({"--help"});
  for (const Outcome* o : {&w, &r, &l, &version, &check, &absent, &failed,
                           &failed_version, &help}) {
    EXPECT_EQ(o->out.find(kSecret), std::string::npos) << o->out;
    EXPECT_EQ(o->err.find(kSecret), std::string::npos) << o->err;
  }
}

// A password in the store's URL is gone from what the process shows (its
// arguments and environment, as ps reads them) while it runs, and the
// program says once how to keep it private; the store is still reached.
TEST_F(ServerStoreTest, ThePasswordIsHiddenFromTheProcessList) {
  // The program's arguments and environment as /proc shows them, read
  // while it waits for its standard input; the text once it is given.
  struct Shown {
    std::string arguments;
    std::string environment;
    Outcome outcome;
  };
  auto run = [&](const std::vector<std::string>& args,
                 const std::string& store) {
    Shown shown;
    int input[2];
    EXPECT_EQ(pipe(input), 0);
    std::string err_path = root_ + "/.hidden-stderr";
    pid_t pid = fork();
    if (pid == 0) {
      dup2(input[0], 0);
      close(input[1]);
      int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(err, 2);
      int out = open("/dev/null", O_WRONLY);
      dup2(out, 1);
      std::vector<std::string> all = {VUVOROZO_PROGRAM_PATH};
      all.insert(all.end(), args.begin(), args.end());
      std::vector<char*> argv;
      for (std::string& a : all) argv.push_back(a.data());
      argv.push_back(nullptr);
      setenv("HOME", (root_ + "/home").c_str(), 1);
      if (store.empty()) {
        unsetenv("VUVOROZO_STORE");
      } else {
        setenv("VUVOROZO_STORE", store.c_str(), 1);
      }
      alarm(60);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(input[0]);
    // Until the program hides it, at most ten seconds; a password that
    // stays shown fails below.
    std::string proc = "/proc/" + std::to_string(pid);
    for (int i = 0; i < 200; ++i) {
      shown.arguments = ReadFile(proc + "/cmdline");
      shown.environment = ReadFile(proc + "/environ");
      // The program runs (not the test's fork before its exec), and what
      // it shows holds no password.
      if (shown.arguments.find(std::string("\0write\0", 7)) !=
              std::string::npos &&
          shown.arguments.find(kSecret) == std::string::npos &&
          shown.environment.find(kSecret) == std::string::npos) {
        break;
      }
      usleep(50000);
    }
    EXPECT_EQ(write(input[1], "hidden\n", 7), 7);
    close(input[1]);
    int status = 0;
    waitpid(pid, &status, 0);
    shown.outcome.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    shown.outcome.err = ReadFile(err_path);
    return shown;
  };
  const std::string advice = "~/.pgpass or $PGPASSWORD keep it private\n";
  Shown by_flag = run({"--store", with_password_, "write", "work.notes.h"}, "");
  EXPECT_EQ(by_flag.outcome.code, 0) << by_flag.outcome.err;
  EXPECT_EQ(by_flag.arguments.find(kSecret), std::string::npos);
  EXPECT_NE(by_flag.arguments.find("vuvorozo:***@"), std::string::npos);
  EXPECT_NE(by_flag.outcome.err.find(advice), std::string::npos)
      << by_flag.outcome.err;
  Shown joined =
      run({"--store=" + with_password_, "write", "work.notes.j"}, "");
  EXPECT_EQ(joined.outcome.code, 0) << joined.outcome.err;
  EXPECT_EQ(joined.arguments.find(kSecret), std::string::npos);
  Shown by_variable =
      run({"write", "work.notes.v"}, database_.url() + "&password=" + kSecret);
  EXPECT_EQ(by_variable.outcome.code, 0) << by_variable.outcome.err;
  EXPECT_EQ(by_variable.environment.find(kSecret), std::string::npos);
  EXPECT_NE(by_variable.environment.find("password=***"), std::string::npos);
  // Said once a run; not at all without a password, nor with -q.
  EXPECT_EQ(by_variable.outcome.err.find(advice),
            by_variable.outcome.err.rfind(advice));
  Shown plain = run({"--store", database_.url(), "write", "work.notes.p"}, "");
  EXPECT_EQ(plain.outcome.err, "");
  Shown quiet =
      run({"-q", "--store", with_password_, "write", "work.notes.q"}, "");
  EXPECT_EQ(quiet.outcome.err, "");
  for (const char* name : {"work.notes.h", "work.notes.j", "work.notes.v"}) {
    EXPECT_EQ(RunBare({"--store", database_.url(), "read", name}).out,
              "hidden\n")
        << name;
  }
}

// The safe ways the program points to are libpq's own: a password file
// named by $PGPASSFILE is read for the store's URL (libpq says so when the
// file is open to others, and connects with it), and $PGPASSWORD passes
// through. The test server trusts its local users, so it takes any
// password: what is seen is that libpq reads them.
TEST_F(ServerStoreTest, PasswordFilesAndVariablesReachTheServerLibrary) {
  std::string file = root_ + "/pgpass";
  WriteFile(file, std::string("*:*:*:vuvorozo:") + kSecret + "\n");
  ASSERT_EQ(chmod(file.c_str(), 0644), 0);
  env_["PGPASSFILE"] = file;
  Outcome open_file = RunBare({"--store", database_.url(), "list"});
  EXPECT_EQ(open_file.code, 0) << open_file.err;
  EXPECT_NE(open_file.err.find(file), std::string::npos)
      << "libpq read no password file: " << open_file.err;
  ASSERT_EQ(chmod(file.c_str(), 0600), 0);
  Outcome private_file = RunBare({"--store", database_.url(), "list"});
  EXPECT_EQ(private_file.code, 0) << private_file.err;
  EXPECT_EQ(private_file.err, "");
  env_.erase("PGPASSFILE");
  env_["PGPASSWORD"] = kSecret;
  Outcome variable = RunBare({"--store", database_.url(), "list"});
  EXPECT_EQ(variable.code, 0) << variable.err;
  EXPECT_EQ(variable.err, "");
  for (const Outcome* o : {&open_file, &private_file, &variable}) {
    EXPECT_EQ(o->err.find(kSecret), std::string::npos) << o->err;
  }
}

// Two programs appending to one entry of the server at once, many times:
// every append lands whole. A writer that waited for the entry builds on
// the content the other committed, never on the one it replaced.
TEST_F(ServerStoreTest, ConcurrentAppendsAllLand) {
  store_env_ = database_.url();
  ASSERT_EQ(RunBare({"write", "work.c.m"}, "base\n").code, 0);
  ASSERT_EQ(RunShell("S='" + database_.url() +
                     "'; for w in a b; do (for i in $(seq 1 25); do echo $w$i "
                     "| \"$V\" --store \"$S\" write work.c.m mod; done) & "
                     "done; wait"),
            0);
  Outcome read = RunBare({"read", "work.c.m"});
  ASSERT_EQ(read.code, 0) << read.err;
  for (std::string writer : {"a", "b"}) {
    size_t at = 0;
    for (int i = 1; i <= 25; ++i) {
      size_t found = read.out.find(writer + std::to_string(i) + "\n", at);
      ASSERT_NE(found, std::string::npos) << writer << i << "\n" << read.out;
      at = found;
    }
  }
  EXPECT_EQ(std::count(read.out.begin(), read.out.end(), '\n'), 51);
}

// An import sends each entry's commit on without waiting for the server.
// A file whose commit the server refuses is said by name, with the
// server's reason, and left out of the count; the exit status says the
// import failed; the files around it are stored, and an import again with
// -u completes it.
TEST_F(ServerStoreTest, AnImportSaysWhichFilesTheServerRefused) {
  store_env_ = database_.url();
  ASSERT_EQ(RunBare({"write", "work.other.x"}, "made the schema\n").code, 0);
  database_.AddTrigger("refuse", "INSERT OR UPDATE", "vuvorozo.entries",
                       "IF NEW.name = 'B'::bytea THEN RAISE EXCEPTION "
                       "'refused by the test'; END IF;");
  std::string in = root_ + "/in";
  std::filesystem::create_directory(in);
  for (std::string name : {"a", "b", "c", "d"}) {
    WriteFile(in + "/" + name + ".txt", "note " + name + "\n");
  }
  Outcome first = RunBare({"import", in, "work.notes"});
  EXPECT_EQ(first.code, 1) << first.err;
  EXPECT_NE(first.out.find("3 entries written, 1 skipped"), std::string::npos)
      << first.out;
  EXPECT_NE(first.err.find("vuvorozo: import: b.txt: skipped: not stored: "),
            std::string::npos)
      << first.err;
  EXPECT_NE(first.err.find("refused by the test\n"), std::string::npos)
      << first.err << ": the server's reason, without its context";
  Outcome listed = RunBare({"list", "work.notes"});
  EXPECT_EQ(listed.out.find("\nB "), std::string::npos) << listed.out;
  for (std::string name : {"A", "C", "D"}) {
    EXPECT_NE(listed.out.find("\n" + name + " "), std::string::npos)
        << listed.out;
  }
  database_.DropTrigger("refuse", "vuvorozo.entries");
  Outcome again = RunBare({"import", "-u", in, "work.notes"});
  EXPECT_EQ(again.code, 0) << again.err;
  EXPECT_NE(again.out.find("1 entry written"), std::string::npos) << again.out;
  Outcome read = RunBare({"read", "work.notes.b"});
  EXPECT_EQ(read.out, "note b\n") << read.err;
}

// A server library written by an earlier release: it reads byte for
// byte, takes changes, the first of which brings the schema to the current
// version, checks sound, and compact packs the host attributes it kept as
// text. schema: its version; copies: it holds library-3's COPIES.
void ServerStoreTest::ExpectEarlierLibraryWorks(const std::string& fixture,
                                                int schema, bool copies) {
  const std::string fixtures =
      std::string(VUVOROZO_SOURCE_DIR) + "/tests/refhost/store/fixtures/";
  ASSERT_GT(database_.Query(ReadFile(fixtures + fixture + "/vuvorozo.sql") +
                            "; SELECT count(*) FROM vuvorozo.entries"),
            0);
  store_env_ = database_.url();
  auto expected = [&](const std::string& file) {
    return ReadFile(fixtures + "library-2/expected/" + file);
  };
  auto every_entry_as_written = [&](const std::string& when) {
    SCOPED_TRACE(when);
    std::string out = root_ + "/out-" + when;
    Outcome exported = RunBare({"export", "work.notes", out});
    ASSERT_EQ(exported.code, 0) << exported.err;
    std::map<std::string, FileState> files = Snapshot(out);
    std::map<std::string, FileState> notes =
        Snapshot(fixtures + "library-2/expected/notes");
    ASSERT_EQ(files.size(), notes.size());
    for (const auto& [name, state] : notes) {
      EXPECT_EQ(files[name].bytes, state.bytes) << name;
    }
    EXPECT_EQ(files["jan.txt"].modified_ns, 1709287200LL * 1000000000);
    EXPECT_EQ(files["feb.txt"].mode, 0640u);
    for (const char* entry : {"jan", "totals.csv", "logo.gif"}) {
      std::string file = std::string(entry).find('.') == std::string::npos
                             ? std::string(entry) + ".txt"
                             : entry;
      EXPECT_EQ(RunBare({"read", std::string("work.reports.") + entry}).out,
                expected("reports/" + file))
          << entry;
    }
    if (copies) {
      std::string copied = root_ + "/copies-" + when;
      exported = RunBare({"export", "work.copies", copied});
      ASSERT_EQ(exported.code, 0) << exported.err;
      std::map<std::string, FileState> files = Snapshot(copied);
      ASSERT_EQ(files.size(), 8u);
      for (int i = 1; i <= 8; ++i) {
        EXPECT_EQ(
            files["copy-" + std::to_string(i) + ".txt"].bytes,
            "Copy " + std::to_string(i) + "\n" + expected("notes/long.txt"))
            << i;
      }
    }
    Outcome check = RunBare({"check", "work"});
    EXPECT_EQ(check.code, 0) << check.out << check.err;
  };
  every_entry_as_written("as-left");
  EXPECT_EQ(database_.Query("SELECT max(version) FROM vuvorozo.schema_version"),
            schema)
      << "reading changes nothing";

  std::string more;
  for (int i = 0; i < 500; ++i)
    more += "added line " + std::to_string(i) + "\n";
  ASSERT_EQ(RunBare({"write", "work.notes.long", "mod"}, more).code, 0);
  EXPECT_EQ(database_.Query("SELECT max(version) FROM vuvorozo.schema_version"),
            3);
  EXPECT_EQ(database_.Query("SELECT count(*) FROM pg_proc WHERE proname "
                            "= 'commit_entry' AND prosrc LIKE "
                            "'%xact_lock%'"),
            1)
      << "the commit takes the entry's commit lock";
  EXPECT_EQ(RunBare({"read", "work.notes.long"}).out,
            expected("notes/long.txt") + more);
  ASSERT_EQ(
      RunBare({"write", "work.notes.long"}, expected("notes/long.txt")).code,
      0);
  ASSERT_EQ(
      RunBare({"write", "work.empty.first"}, "in the empty catalog\n").code, 0);
  every_entry_as_written("changed");
  EXPECT_GT(database_.Query("SELECT count(*) FROM vuvorozo.entries "
                            "WHERE NOT attributes_packed AND "
                            "octet_length(host_attributes) > 0"),
            0);
  Outcome compact = RunBare({"compact", "work"});
  ASSERT_EQ(compact.code, 0) << compact.err;
  EXPECT_EQ(database_.Query("SELECT count(*) FROM vuvorozo.entries "
                            "WHERE NOT attributes_packed AND "
                            "octet_length(host_attributes) > 0"),
            0)
      << "every host attribute packed";
  every_entry_as_written("compacted");
}

// The release before dictionaries (tests/refhost/store/fixtures/server-1).
TEST_F(ServerStoreTest, ALibraryOfTheFirstSchemaVersionReadsAndTakesChanges) {
  ExpectEarlierLibraryWorks("server-1", 1, false);
}

// The release before packed attributes, a catalog of which has a
// dictionary (tests/refhost/store/fixtures/server-2).
TEST_F(ServerStoreTest, ALibraryOfTheSecondSchemaVersionReadsAndTakesChanges) {
  ExpectEarlierLibraryWorks("server-2", 2, true);
}

}  // namespace
