// Runs the built program as a user would: a child process with the given
// arguments and standard input, its output and exit code collected. Each
// test gets a fresh temporary folder for its data and files, removed at the
// end.

#ifndef VUVOROZO_TESTS_CLI_PROGRAM_H_
#define VUVOROZO_TESTS_CLI_PROGRAM_H_

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

struct Outcome {
  int code = -1;    // exit code; -1 when the program did not exit
  std::string out;  // standard output
  std::string err;  // standard error
};

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vuvorozo-cli-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    data_ = root_ + "/data";
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

  // Runs a shell command line with $V the program and $D the data folder;
  // its exit code, -1 when it did not exit.
  int RunShell(const std::string& line) {
    std::string command = "V='" + std::string(VUVOROZO_PROGRAM_PATH) + "' D='" +
                          data_ + "'; " + line;
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  // Runs the program over this test's data folder.
  Outcome Run(std::vector<std::string> args, const std::string& input = "") {
    args.insert(args.begin(), {"--data", data_});
    return RunBare(args, input);
  }

  // Runs the program with exactly these arguments.
  Outcome RunBare(const std::vector<std::string>& args,
                  const std::string& input = "") {
    std::string in_path = root_ + "/.stdin";
    std::string out_path = root_ + "/.stdout";
    std::string err_path = root_ + "/.stderr";
    WriteFile(in_path, input);
    pid_t pid = fork();
    if (pid == 0) {
      int in = open(in_path.c_str(), O_RDONLY);
      const std::string& to = stdout_to_.empty() ? out_path : stdout_to_;
      int out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(in, 0);
      dup2(out, 1);
      dup2(err, 2);
      std::vector<char*> argv;
      std::string program = VUVOROZO_PROGRAM_PATH;
      // VUVOROZO_PROGRAM_WRAPPER runs the program under another one, such
      // as valgrind: its words go first, then the program and arguments.
      std::vector<std::string> wrapper;
      if (const char* w = getenv("VUVOROZO_PROGRAM_WRAPPER")) {
        std::string word;
        for (const char* p = w;; ++p) {
          if (*p == ' ' || *p == '\0') {
            if (!word.empty()) wrapper.push_back(word);
            word.clear();
            if (*p == '\0') break;
          } else {
            word += *p;
          }
        }
      }
      for (std::string& word : wrapper) argv.push_back(word.data());
      argv.push_back(program.data());
      std::vector<std::string> copy = args;
      for (std::string& a : copy) argv.push_back(a.data());
      argv.push_back(nullptr);
      unsetenv("VUVOROZO_DATA");
      unsetenv("VUVOROZO_MODULE");
      // The user's own data folder is the test's: no run ever reaches the
      // real user's.
      setenv("HOME", (root_ + "/home").c_str(), 1);
      unsetenv("XDG_DATA_HOME");
      for (const auto& [name, value] : env_) {
        if (value.empty()) {
          unsetenv(name.c_str());
        } else {
          setenv(name.c_str(), value.c_str(), 1);
        }
      }
      if (chdir((cwd_.empty() ? root_ : cwd_).c_str()) != 0) _exit(126);
      if (uid_ != 0 && (setgid(uid_) != 0 || setuid(uid_) != 0)) _exit(126);
      if (store_env_.empty()) {
        unsetenv("VUVOROZO_STORE");
      } else {
        setenv("VUVOROZO_STORE", store_env_.c_str(), 1);
      }
      setenv("VUVOROZO_DEBUG_LOG", DebugLogPath().c_str(), 1);
      // A run that hangs ends at its deadline (the alarm outlives exec),
      // long before the test runner's own limit.
      alarm(Deadline());
      execvp(argv[0], argv.data());
      _exit(127);
    }
    Outcome outcome;
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) outcome.code = WEXITSTATUS(status);
    if (WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM) {
      std::string shown;
      for (const std::string& a : args) shown += " " + a;
      ADD_FAILURE() << "the program ran past its deadline of " << Deadline()
                    << " s and was stopped:" << shown;
    }
    outcome.out = ReadFile(out_path);
    outcome.err = ReadFile(err_path);
    // The program notes module blocks or host handles a command left
    // behind in its debug log, never to the user; no command may leave any.
    EXPECT_EQ(outcome.err.find("internal"), std::string::npos) << outcome.err;
    std::string log = ReadFile(DebugLogPath());
    EXPECT_EQ(log.find("internal:"), std::string::npos) << log;
    return outcome;
  }

  std::string DebugLogPath() const { return root_ + "/.debug-log"; }

  // Seconds a run of the program may take: far more than any takes, and
  // more under a wrapper (valgrind runs it many times slower).
  static unsigned Deadline() {
    return getenv("VUVOROZO_PROGRAM_WRAPPER") != nullptr ? 1200 : 400;
  }

  static void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
  }
  static std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // What a test compares of a file: bytes, modification time, mode.
  struct FileState {
    std::string bytes;
    int64_t modified_ns = 0;
    unsigned mode = 0;
    bool operator==(const FileState&) const = default;
  };
  // Every file under folder by its path relative to it, the manifests
  // export writes left out; folders are listed with a trailing '/'.
  static std::map<std::string, FileState> Snapshot(const std::string& folder) {
    std::map<std::string, FileState> files;
    for (const auto& e :
         std::filesystem::recursive_directory_iterator(folder)) {
      std::string path = e.path().string();
      std::string relative = path.substr(folder.size() + 1);
      if (e.path().filename() == ".vuvorozo-manifest") continue;
      if (e.is_directory()) {
        files[relative + "/"] = FileState();
        continue;
      }
      struct stat st;
      EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
      files[relative] = {
          ReadFile(path),
          int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
          unsigned(st.st_mode & 07777)};
    }
    return files;
  }
  // Every file and folder under folder by its path relative to it, with
  // the modes and times of folders too; the manifests export writes left
  // out. Names are taken as bytes, whatever they hold.
  static std::map<std::string, FileState> Tree(const std::string& folder) {
    std::map<std::string, FileState> tree;
    for (const auto& e :
         std::filesystem::recursive_directory_iterator(folder)) {
      std::string path = e.path().string();
      std::string relative = path.substr(folder.size() + 1);
      if (e.path().filename() == ".vuvorozo-manifest") continue;
      struct stat st;
      EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
      int64_t modified =
          int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
      if (S_ISDIR(st.st_mode)) {
        tree[relative + "/"] = {"", modified, unsigned(st.st_mode & 07777)};
      } else {
        tree[relative] = {ReadFile(path), modified,
                          unsigned(st.st_mode & 07777)};
      }
    }
    return tree;
  }

  // The paths where two trees differ, escaped, with what differs: empty
  // when they are the same.
  static std::string TreeDifference(
      const std::map<std::string, FileState>& got,
      const std::map<std::string, FileState>& want) {
    auto shown = [](const std::string& path) {
      std::string out;
      for (unsigned char c : path) {
        if (c < 0x20 || c >= 0x7f) {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\x%02X", c);
          out += hex;
        } else {
          out += char(c);
        }
      }
      return out;
    };
    std::string report;
    for (const auto& [path, state] : want) {
      auto it = got.find(path);
      if (it == got.end()) {
        report += "missing " + shown(path) + "\n";
      } else if (!(it->second == state)) {
        report += "differs " + shown(path) +
                  (it->second.bytes != state.bytes ? " bytes" : "") +
                  (it->second.mode != state.mode ? " mode" : "") +
                  (it->second.modified_ns != state.modified_ns ? " time" : "") +
                  "\n";
      }
    }
    for (const auto& [path, state] : got) {
      if (want.count(path) == 0) report += "extra " + shown(path) + "\n";
    }
    return report;
  }

  // A name from a hostile alphabet: blanks (trailing ones too), dots,
  // leading dashes, '~', backslashes, quotes, newlines, control bytes,
  // bytes that are not UTF-8, UTF-8 letters, long names. Never "." or
  // "..", nor a name the program keeps for its own files.
  static std::string HostileName(std::mt19937& random) {
    static const char* const kPieces[] = {
        "notes", "Notes", "a",    "B",           " ",        ".",
        "-",     "~",     "\\",   "'",           "\"",       "\n",
        "\t",    "\x01",  "\x7f", "\xff",        "\xc3\xa9", "\xe6\x97\xa5",
        "#",     "$",     "..",   "report 2024", "x.y"};
    static const char* const kEndings[] = {"",     ".txt", ".csv",    ".html",
                                           ".kor", ".gif", ".tar.gz", ".min.js",
                                           " ",    ".",    "~",       ".TXT"};
    std::string name;
    int pieces = 1 + int(random() % 4);
    for (int i = 0; i < pieces; ++i) {
      name += kPieces[random() % (sizeof kPieces / sizeof *kPieces)];
    }
    if (random() % 12 == 0) name = std::string(200 + random() % 40, 'l');
    name += kEndings[random() % (sizeof kEndings / sizeof *kEndings)];
    if (name == "." || name == ".." || name.rfind(".vuvorozo-", 0) == 0) {
      name = "_" + name;
    }
    return name.substr(0, 255);
  }

  // A tree under folder made from seed (the same seed, the same tree):
  // files of names from HostileName at random depths, with case twins
  // (notes.txt beside Notes.txt), empty folders, texts with and without a
  // last newline, bytes, and random modes and times, folders' included.
  static void MakeHostileTree(const std::string& folder, unsigned seed,
                              int files = 30) {
    std::mt19937 random(seed);
    std::filesystem::create_directories(folder);
    std::vector<std::string> folders = {""};
    std::set<std::string> taken;
    auto fresh = [&](const std::string& parent) {
      for (;;) {
        std::string path = parent + HostileName(random);
        if (path.size() < 3000 && taken.insert(path).second) return path;
      }
    };
    for (int i = 0; i < 2 + int(random() % 6); ++i) {
      std::string parent = folders[random() % folders.size()];
      std::string path = fresh(parent);
      ASSERT_EQ(mkdir((folder + "/" + path).c_str(), 0755), 0) << path;
      folders.push_back(path + "/");
    }
    static const unsigned kModes[] = {0644, 0600, 0755, 0444, 0640};
    for (int i = 0; i < files; ++i) {
      std::string path = fresh(folders[random() % folders.size()]);
      std::string bytes;
      switch (random() % 4) {
        case 0:
          bytes = "line one\nline two\n";
          break;
        case 1:
          bytes = "no last newline " + std::to_string(i);
          break;
        case 2:
          bytes = Bytes(random() % 5000, unsigned(random()));
          break;
        default:
          break;  // empty
      }
      WriteFile(folder + "/" + path, bytes);
      chmod((folder + "/" + path).c_str(), kModes[random() % 5]);
      SetModified(folder + "/" + path,
                  1000000000000000000 + int64_t(random()) * 1000003);
      // A case twin now and then.
      size_t slash = path.rfind('/');
      std::string twin = path;
      for (size_t c = slash == std::string::npos ? 0 : slash + 1;
           c < twin.size(); ++c) {
        if (twin[c] >= 'a' && twin[c] <= 'z') twin[c] = char(twin[c] - 32);
      }
      if (random() % 4 == 0 && taken.insert(twin).second) {
        WriteFile(folder + "/" + twin, "twin of " + std::to_string(i));
      }
    }
    // Folders last, the deepest first: their times and modes stand.
    static const unsigned kFolderModes[] = {0755, 0700, 0750};
    for (auto it = folders.rbegin(); it != folders.rend(); ++it) {
      if (it->empty()) continue;
      std::string path = folder + "/" + *it;
      chmod(path.c_str(), kFolderModes[random() % 3]);
      SetModified(path, 1100000000000000000 + int64_t(random()) * 999983);
    }
  }

  static void SetModified(const std::string& path, int64_t ns) {
    struct timespec times[2];
    times[0].tv_sec = time_t(ns / 1000000000);
    times[0].tv_nsec = long(ns % 1000000000);
    times[1] = times[0];
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
  }
  static std::string Bytes(size_t n, unsigned seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) {
      seed = seed * 1103515245u + 12345u;
      s[i] = static_cast<char>(seed >> 16);
    }
    return s;
  }

  std::string root_;
  std::string data_;
  std::string store_env_;  // $VUVOROZO_STORE of the runs; unset when empty
  // More variables of the runs (an empty value unsets one), set after
  // $HOME, which is the test's <root>/home.
  std::map<std::string, std::string> env_;
  std::string
      cwd_;        // the folder the runs start in; empty: the test's own root_
  uid_t uid_ = 0;  // the user (and group) the runs are made as; 0: root
  // Where the runs' standard output goes (/dev/full, say); empty: a file
  // the outcome reads.
  std::string stdout_to_;
};

#endif  // VUVOROZO_TESTS_CLI_PROGRAM_H_
