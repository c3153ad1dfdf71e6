// Where the libraries are: the user's own data folder by default, made by
// the first command that writes; a folder that is not there is never taken
// for an empty one; and a user of the folder earlier releases made in the
// working folder is told where the default went. Each run's $HOME is the
// test's own, so no run reaches the real user's folder.

#include "cli/program.h"

namespace {

class DataFolderTest : public ProgramTest {
 protected:
  std::string Home() const { return root_ + "/home"; }
  std::string DefaultFolder() const {
    return Home() + "/.local/share/vuvorozo";
  }
  static bool Exists(const std::string& path) {
    return std::filesystem::exists(path);
  }
};

TEST_F(DataFolderTest, TheDefaultIsTheUsersOwnMadeByTheFirstWrite) {
  std::string none = "no data folder " + DefaultFolder() +
                     " (the first command that writes makes it)\n";
  // Looking, or changing what is not there, makes nothing.
  for (const char* command : {"list", "check", "exists", "delete", "compact"}) {
    std::vector<std::string> args = {command};
    if (std::string(command) != "list") args.push_back("work.notes.jan");
    if (std::string(command) == "check" || std::string(command) == "compact") {
      args.back() = "work";
    }
    Outcome looked = RunBare(args);
    EXPECT_EQ(looked.code, 1) << command;
    EXPECT_EQ(looked.err, "vuvorozo: " + std::string(command) + ": " + none);
    EXPECT_EQ(looked.out, "");
  }
  EXPECT_EQ(RunBare({"read", "work.notes.jan"}).err, "vuvorozo: read: " + none);
  // A write that fails before it stores anything makes no folder either.
  EXPECT_EQ(RunBare({"write"}).code, 2);
  EXPECT_EQ(RunBare({"import", root_ + "/nosuch", "work.notes"}).code, 1);
  EXPECT_EQ(RunBare({"mkdir", "work.a\tb"}).code, 1);
  EXPECT_FALSE(Exists(Home()));

  // The first write makes it, with its parents, and -v says so once.
  Outcome first = RunBare({"write", "work.notes.jan", "-v"}, "Buy stamps\n");
  EXPECT_EQ(first.code, 0) << first.err;
  EXPECT_EQ(first.out, "created the data folder " + DefaultFolder() + "\n");
  EXPECT_TRUE(Exists(DefaultFolder() + "/work.db"));
  Outcome second = RunBare({"write", "work.notes.feb", "-v"}, "Tea\n");
  EXPECT_EQ(second.out, "");
  EXPECT_EQ(RunBare({"read", "work.notes.jan"}).out, "Buy stamps\n");
  EXPECT_EQ(RunBare({"list"}).out,
            "LIBREF  CATALOGS\n"
            "WORK           1\n");

  // $XDG_DATA_HOME moves it, when it is a path from the root.
  env_["XDG_DATA_HOME"] = root_ + "/xdg/data";
  EXPECT_EQ(RunBare({"list"}).err, "vuvorozo: list: no data folder " + root_ +
                                       "/xdg/data/vuvorozo (the first command "
                                       "that writes makes it)\n");
  ASSERT_EQ(RunBare({"mkdir", "notes.todo"}).code, 0);
  EXPECT_TRUE(Exists(root_ + "/xdg/data/vuvorozo/notes.db"));
  env_["XDG_DATA_HOME"] = "relative/data";
  EXPECT_EQ(RunBare({"read", "work.notes.feb"}).out, "Tea\n");

  // --data and $VUVOROZO_DATA still name another.
  env_["VUVOROZO_DATA"] = root_ + "/elsewhere";
  EXPECT_EQ(RunBare({"list"}).code, 1);
  ASSERT_EQ(RunBare({"write", "other.notes.a"}, "x\n").code, 0);
  EXPECT_TRUE(Exists(root_ + "/elsewhere/other.db"));
  EXPECT_EQ(RunBare({"--data", DefaultFolder(), "read", "work.notes.jan"}).out,
            "Buy stamps\n");
}

TEST_F(DataFolderTest, AMistypedFolderIsNoEmptyStore) {
  ASSERT_EQ(Run({"write", "work.notes.jan"}, "Buy stamps\n").code, 0);
  std::string typo = root_ + "/dtaa";
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{
           {"list"},
           {"list", "work.notes"},
           {"export", "work.notes", root_ + "/out"},
           {"info", "work.notes.jan"},
           {"copy", "work.notes.jan", "work.notes.feb"}}) {
    std::vector<std::string> full = {"--data", typo};
    full.insert(full.end(), args.begin(), args.end());
    Outcome typed = RunBare(full);
    EXPECT_EQ(typed.code, 1) << args[0];
    EXPECT_EQ(typed.out, "") << args[0];
    EXPECT_NE(typed.err.find(": no data folder " + typo + " "),
              std::string::npos)
        << typed.err;
  }
  EXPECT_FALSE(Exists(typo));
  // A file where the folder should be is no data folder at all.
  WriteFile(root_ + "/plain", "notes\n");
  Outcome file =
      RunBare({"--data", root_ + "/plain", "write", "work.a.b"}, "x");
  EXPECT_EQ(file.code, 1);
  EXPECT_EQ(file.err, "vuvorozo: write: " + root_ +
                          "/plain: not a folder, so no data folder\n");
  // A folder named for writing is made with its parents.
  ASSERT_EQ(
      RunBare({"--data", root_ + "/a/b/c", "write", "work.a.b"}, "x\n").code,
      0);
  EXPECT_TRUE(Exists(root_ + "/a/b/c/work.db"));
}

// Earlier releases kept the libraries in ./vuvorozo-data by default. A user
// who runs the program where that folder is, with the new default not made
// yet, is told where the default went and how to go on; nothing is made
// beside the old folder.
TEST_F(DataFolderTest, AUserOfTheEarlierDefaultIsToldWhereItWent) {
  std::string project = root_ + "/project";
  std::filesystem::create_directories(project);
  ASSERT_EQ(
      RunBare({"--data", project + "/vuvorozo-data", "write", "work.notes.jan"},
              "Buy stamps\n")
          .code,
      0);
  cwd_ = project;
  std::string note =
      "no data folder " + DefaultFolder() +
      "; ./vuvorozo-data here is the data folder of earlier releases, which "
      "is no longer the default: give --data vuvorozo-data (or set "
      "$VUVOROZO_DATA), or move it to " +
      DefaultFolder() + "\n";
  EXPECT_EQ(RunBare({"list"}).err, "vuvorozo: list: " + note);
  Outcome write = RunBare({"write", "work.notes.feb"}, "Tea\n");
  EXPECT_EQ(write.code, 1);
  EXPECT_EQ(write.err, "vuvorozo: write: " + note);
  EXPECT_FALSE(Exists(Home()));
  EXPECT_EQ(RunBare({"--data", "vuvorozo-data", "read", "work.notes.jan"}).out,
            "Buy stamps\n");

  // Once the user's folder is there, it is the one used.
  std::filesystem::create_directories(DefaultFolder());
  Outcome list = RunBare({"list"});
  EXPECT_EQ(list.code, 0) << list.err;
  EXPECT_EQ(list.out, "LIBREF  CATALOGS\n");
}

}  // namespace
