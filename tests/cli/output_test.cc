// Standard output that cannot take what a command prints: every command
// fails with one message naming it, never exits 0 as if its lines had been
// read.

#include "program.h"

namespace {

class OutputTest : public ProgramTest {};

TEST_F(OutputTest, EveryCommandFailsWhenItsOutputCannotBeWritten) {
  std::string tree = root_ + "/tree";
  std::filesystem::create_directories(tree + "/sub");
  WriteFile(tree + "/notes.txt", "first\nsecond\n");
  WriteFile(tree + "/sub/data.csv", "a,b\n1,2\n");
  ASSERT_EQ(Run({"import", tree, "lib.notes"}).code, 0);
  ASSERT_EQ(Run({"write", "lib.notes.memo"}, "a memo\n").code, 0);

  // Each run prints on standard output, on its own or as asked.
  const std::vector<std::vector<std::string>> runs = {
      {"list"},
      {"list", "lib.notes", "-l"},
      {"list", "--json"},
      {"check", "lib"},
      {"check", "lib", "--json"},
      {"info", "lib.notes.memo"},
      {"info", "lib.notes.memo", "--json"},
      {"exists", "lib.notes.memo", "-v"},
      {"exists", "lib.notes.memo", "--json"},
      {"compact", "lib", "--json"},
      {"compact", "lib"},
      {"read", "lib.notes.memo"},
      {"export", "lib.notes", "-"},
      {"import", tree, "lib.again", "-v"},
      {"import", tree, "lib.again"},
      {"copy", "lib.notes.memo", "lib.notes.copy", "-v"},
      {"rename", "lib.notes.copy", "lib.notes.moved", "-v"},
      {"delete", "lib.notes.moved", "-v"},
      {"mkdir", "lib.fresh", "-v"},
      {"--version"},
      {"--help"},
      {"help"},
      {"help", "list"},
      {"list", "--help"},
  };
  stdout_to_ = "/dev/full";
  for (const auto& args : runs) {
    std::string shown;
    for (const std::string& a : args) shown += " " + a;
    Outcome got = Run(args, "text\n");
    EXPECT_EQ(got.code, 1) << shown << "\n" << got.err;
    std::string command = args[0].rfind("--", 0) == 0 ? "" : args[0] + ": ";
    std::string want =
        "vuvorozo: " + command + "standard output: No space left on device\n";
    EXPECT_NE(got.err.find(want), std::string::npos) << shown << "\n"
                                                     << got.err;
    // Said once, however many lines were lost.
    EXPECT_EQ(got.err.find("standard output"), got.err.rfind("standard output"))
        << shown << "\n"
        << got.err;
  }

  // The same runs to a file that takes everything succeed, and a run that
  // prints nothing is no failure even on a full device.
  stdout_to_.clear();
  EXPECT_EQ(Run({"list"}).code, 0);
  EXPECT_EQ(Run({"--version"}).code, 0);
  stdout_to_ = "/dev/full";
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"exists", "lib.notes.memo"},
        {"write", "lib.notes.other", "-v"},
        {"import", tree, "lib.again", "-q"}}) {
    Outcome quiet = Run(args, "text\n");
    EXPECT_EQ(quiet.code, 0) << args[0] << quiet.err;
    EXPECT_EQ(quiet.err, "") << args[0];
  }
}

TEST_F(OutputTest, AClosedStandardOutputIsAFailureOnlyWhenSomethingWasPrinted) {
  ASSERT_EQ(Run({"write", "lib.notes.memo"}, "a memo\n").code, 0);
  // Runs with standard output closed: the shell's >&-.
  auto closed = [&](const std::vector<std::string>& args) {
    std::string err_path = root_ + "/.closed-stderr";
    pid_t pid = fork();
    if (pid == 0) {
      int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(err, 2);
      close(err);
      close(1);
      std::vector<std::string> all = {VUVOROZO_PROGRAM_PATH, "--data", data_};
      all.insert(all.end(), args.begin(), args.end());
      std::vector<char*> argv;
      for (std::string& a : all) argv.push_back(a.data());
      argv.push_back(nullptr);
      setenv("HOME", (root_ + "/home").c_str(), 1);
      alarm(60);
      execv(argv[0], argv.data());
      _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    Outcome outcome;
    if (WIFEXITED(status)) outcome.code = WEXITSTATUS(status);
    outcome.err = ReadFile(err_path);
    return outcome;
  };
  Outcome listed = closed({"list"});
  EXPECT_EQ(listed.code, 1);
  EXPECT_NE(listed.err.find("vuvorozo: list: standard output: Bad file "
                            "descriptor"),
            std::string::npos)
      << listed.err;
  Outcome silent = closed({"exists", "lib.notes.memo"});
  EXPECT_EQ(silent.code, 0) << silent.err;
  EXPECT_EQ(silent.err, "");
}

}  // namespace
