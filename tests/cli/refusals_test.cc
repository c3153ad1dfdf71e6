// What the program says, and the exit code it gives, when the user or the
// module refuses: every message is a sentence, never a bare status.

#include "cli/program.h"
#include "refhost/store/catalog_store.h"

namespace {

class RefusalsTest : public ProgramTest {};

TEST_F(RefusalsTest, OptionsTheModuleDoesNotAcceptAreUsageErrors) {
  Outcome unknown = Run({"write", "work.a.b", "lrecl=80", "colour=red"}, "x\n");
  EXPECT_EQ(unknown.code, 2);
  EXPECT_EQ(unknown.err,
            "vuvorozo: write: 'colour=red': Option not recognised. Options "
            "are LRECL=n, BLOCKSIZE=n, RECFM=V|F|P, MOD, ATTR, CATALOG and "
            "DESC='text'.\n");
  Outcome malformed = Run({"write", "work.a.b", "recfm=u"}, "x\n");
  EXPECT_EQ(malformed.code, 2);
  EXPECT_NE(malformed.err.find("'recfm=u': Option malformed"),
            std::string::npos)
      << malformed.err;
  EXPECT_EQ(Run({"read", "work.a.b", "lrecl", "80"}).code, 2);
  EXPECT_EQ(Run({"info", "work.a.b", "descr=x"}).code, 2);
  // Nothing was written by the refused commands.
  EXPECT_EQ(Run({"exists", "work.a.b"}).code, 1);
}

TEST_F(RefusalsTest, TheModulesRefusalsAreExplained) {
  ASSERT_EQ(Run({"write", "work.a.b"}, "x\n").code, 0);

  Outcome catalog = Run({"read", "work.a"});
  EXPECT_EQ(catalog.code, 1);
  EXPECT_EQ(
      catalog.err,
      "vuvorozo: read: work.a: The fileref does not name a catalog entry. An "
      "entry needs a name of three or four levels, libref.catalog.entry "
      "or libref.catalog.entry.type.\n");

  // The options of a refused open go back to the module all the same (the
  // program reports a block left behind).
  Outcome type = Run({"write", "work.a.b.format", "lrecl=10", "desc=x"}, "x\n");
  EXPECT_EQ(type.code, 1);
  EXPECT_NE(type.err.find("WORK.A.B.FORMAT: This entry type cannot be "
                          "written."),
            std::string::npos)
      << type.err;

  Outcome absent = Run({"read", "work.a.c"});
  EXPECT_EQ(absent.code, 1);
  EXPECT_EQ(absent.err,
            "vuvorozo: read: WORK.A.C.CATAMS: The entry does not exist.\n");
  EXPECT_EQ(Run({"info", "nolib.a.c"}).err,
            "vuvorozo: info: NOLIB.A.C.CATAMS: The library does not exist in "
            "the data folder " +
                data_ + ".\n");

  Outcome libref = Run({"write", "ninechars.a.b"}, "x\n");
  EXPECT_EQ(libref.code, 1);
  EXPECT_NE(libref.err.find("The name does not resolve to a catalog entry."),
            std::string::npos);
  Outcome long_name = Run({"read", "work.a." + std::string(33, 'e')});
  EXPECT_EQ(long_name.code, 1);
  EXPECT_NE(long_name.err.find("each of 1 to 32 characters"), std::string::npos)
      << long_name.err;
  Outcome five = Run({"delete", "a.b.c.d.e"});
  EXPECT_EQ(five.code, 1);
  EXPECT_NE(five.err.find("one to four levels"), std::string::npos);

  Outcome not_catalog = Run({"list", "work.a.b.c.d"});
  EXPECT_EQ(not_catalog.code, 1);
  EXPECT_NE(not_catalog.err.find("work.a.b.c.d: no entry matches"),
            std::string::npos)
      << not_catalog.err;
}

TEST_F(RefusalsTest, ValuesTheProgramCannotKeepAreRefusedBeforeAnyOpen) {
  ASSERT_EQ(Run({"write", "work.c.p"}, "precious\n").code, 0);
  std::string in = root_ + "/in";
  std::filesystem::create_directory(in);
  WriteFile(in + "/p.txt", "new\n");
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const Case cases[] = {
      {{"write", "work.c.p", "lrecl=2147483647"},
       "vuvorozo: write: lrecl=2147483647: longer than the longest record the "
       "program keeps (1048576 bytes)"},
      {{"import", in, "work.c", "lrecl=2147483647"},
       "vuvorozo: import: lrecl="},
      {{"write", "work.c.p", "lrecl=-1"},
       "vuvorozo: write: lrecl=-1: a record length is a positive number"},
      {{"write", "work.c.p", "blocksize=-5"},
       "vuvorozo: write: blocksize=-5: a block size is a positive number"},
      {{"write", "work.c.p", "lrecl=1048577"}, "vuvorozo: write: lrecl="},
      {{"write", "work.c.p", "desc=\"open"}, "vuvorozo: write: 'desc=\"open'"},
  };
  for (const Case& c : cases) {
    Outcome o = Run(c.args, "new\n");
    EXPECT_EQ(o.code, 2) << c.message;
    EXPECT_EQ(o.err.rfind(c.message, 0), 0u) << o.err;
    EXPECT_EQ(Run({"read", "work.c.p"}).out, "precious\n") << c.message;
  }
  EXPECT_EQ(Run({"write", "work.c.q", "lrecl=1048576"}, "x\n").code, 0);

  // Names made from now on are text a table can show.
  for (std::string name : {"work.c.a\tb", "work.c.bad\xFF", "work.\x1B[2J.x"}) {
    Outcome o = Run({"write", name}, "x\n");
    EXPECT_EQ(o.code, 1) << name;
    EXPECT_NE(o.err.find("without control characters"), std::string::npos)
        << o.err;
    EXPECT_EQ(o.err.find('\x1B'), std::string::npos) << o.err;
  }
}

TEST_F(RefusalsTest, TablesShowStoredBytesEscaped) {
  // Another program stored a name and a description that would steer a
  // terminal; the table shows them as escapes, the JSON stays valid.
  ASSERT_EQ(Run({"write", "work.c.fine"}, "x\n").code, 0);
  {
    auto store = refhost::NewSqliteCatalogStore(data_);
    ASSERT_TRUE(store
                    ->PutEntry("WORK", "C", "E\x1B[2J", "CATAMS",
                               "bell\a tab\t \xFF back\\slash", {})
                    .ok());
  }
  Outcome table = Run({"list", "work.c"});
  EXPECT_EQ(table.out,
            "NAME      TYPE    DESCRIPTION\n"
            "E\\x1B[2J  CATAMS  bell\\x07 tab\\x09 \\xFF back\\\\slash\n"
            "FINE      CATAMS\n");
  Outcome json = Run({"list", "work.c", "--json"});
  EXPECT_NE(json.out.find("{\"name\": \"E\\u001b[2J\", \"type\": \"CATAMS\", "
                          "\"description\": \"bell\\u0007 tab\\u0009 \\ufffd "
                          "back\\\\slash\", "),
            std::string::npos)
      << json.out;
}

TEST_F(RefusalsTest, UsageErrorsNameTheWordTypedAndANearMiss) {
  Outcome bare = RunBare({});
  EXPECT_EQ(bare.code, 2);
  EXPECT_NE(bare.err.find("Usage: vuvorozo"), std::string::npos);
  Outcome help = RunBare({"--help"});
  EXPECT_EQ(help.code, 0);
  EXPECT_NE(help.out.find("Exit codes:"), std::string::npos);
  // Every command that takes a pattern is named so.
  EXPECT_NE(help.out.find("In list, read, delete, copy, rename and the\n"
                          "members of export the entry (and type) of a name "
                          "may be a pattern"),
            std::string::npos)
      << help.out;
  EXPECT_NE(RunBare({"help", "mount"}).out.find("SIGINT, SIGTERM or SIGHUP"),
            std::string::npos);
  for (const char* command :
       {"write", "read", "list", "import", "export", "delete", "copy", "rename",
        "mkdir", "exists", "info"}) {
    Outcome h = RunBare({command, "--help"});
    EXPECT_EQ(h.code, 0) << command;
    EXPECT_EQ(h.out.rfind(std::string("Usage: vuvorozo ") + command, 0), 0u)
        << h.out;
    EXPECT_EQ(RunBare({"help", command}).out, h.out);
    EXPECT_NE(help.out.find(std::string("\n  ") + command + " "),
              std::string::npos)
        << command;
  }

  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const Case cases[] = {
      {{"lsit"},
       "vuvorozo: 'lsit': unknown command (did you mean 'list'?)\n"
       "Try 'vuvorozo --help'.\n"},
      {{"frobnicate"},
       "vuvorozo: 'frobnicate': unknown command\nTry 'vuvorozo --help'.\n"},
      {{"help", "nosuch"}, "vuvorozo: help: 'nosuch': no such command\n"},
      {{"help", "exsts"},
       "vuvorozo: help: 'exsts': no such command (did you mean 'exists'?)\n"},
      {{"read"},
       "vuvorozo: read: a name libref.catalog.entry[.type] is needed\n"
       "Try 'vuvorozo help read'.\n"},
      {{"list", "a.b", "c.d"}, "vuvorozo: list: list takes one name\n"},
      {{"import", "folder"},
       "vuvorozo: import: a folder or archive and a name"},
      // A libref where a catalog is needed is said in plain words.
      {{"import", "site", "work"},
       "vuvorozo: import: work is a libref: import puts the files in a "
       "catalog, libref.catalog (work.notes, say); -r makes each folder a "
       "catalog of a libref\n"},
      {{"import", "site", "work.site.index"},
       "vuvorozo: import: work.site.index: import takes a catalog, "
       "libref.catalog, not an entry\n"},
      {{"export", "a.b"},
       "vuvorozo: export: a name libref.catalog and a folder"},
      {{"delete", "a.b.c", "mod"},
       "vuvorozo: delete: 'mod': delete takes names, not options\n"},
      // A flag is named wherever it stands, the whole word as typed.
      {{"read", "a.b.c", "--verbos"},
       "vuvorozo: read: '--verbos': unknown flag (did you mean "
       "'--verbose'?)\n"},
      {{"--colour=red", "list"},
       "vuvorozo: list: '--colour=red': unknown flag\n"},
      {{"list", "-lz"}, "vuvorozo: list: '-lz': unknown flag -z\n"},
      {{"read", "a.b.c", "--json"},
       "vuvorozo: read: --json: read takes no such flag\n"},
      {{"list", "-q", "-v"}, "vuvorozo: list: --verbose and --quiet"},
      {{"--data"}, "vuvorozo: '--data' needs a value\n"},
      {{"--bogus"}, "vuvorozo: '--bogus': unknown flag\n"},
  };
  for (const Case& c : cases) {
    Outcome o = RunBare(c.args);
    EXPECT_EQ(o.code, 2) << c.message;
    EXPECT_EQ(o.err.rfind(c.message, 0), 0u) << o.err;
  }
  // Option keywords get the same help, the whole word quoted.
  Outcome slip = Run({"write", "work.a.b", "lrec=200"}, "x\n");
  EXPECT_EQ(slip.code, 2);
  EXPECT_EQ(slip.err.rfind("vuvorozo: write: 'lrec=200': Option not "
                           "recognised.",
                           0),
            0u)
      << slip.err;
  EXPECT_NE(slip.err.find("(did you mean 'lrecl'?)"), std::string::npos);
  Outcome value = Run({"write", "work.a.b", "lrecl", "=", "abc"}, "x\n");
  EXPECT_EQ(value.err.rfind("vuvorozo: write: 'lrecl = abc': Option "
                            "malformed",
                            0),
            0u)
      << value.err;

  // --version names the module's release and build, and what it runs on.
  Outcome version = RunBare({"--version"});
  EXPECT_EQ(version.code, 0) << version.err;
  EXPECT_EQ(version.out.rfind("vuvorozo 1.", 0), 0u) << version.out;
  EXPECT_NE(version.out.find("\nmodule 1.00, build VUVOROZO."),
            std::string::npos)
      << version.out;
  EXPECT_NE(version.out.find("\nSQLite 3."), std::string::npos);
  EXPECT_NE(version.out.find("\nzstd 1."), std::string::npos);
}

TEST_F(RefusalsTest, LookingLeavesNoDataFolderBehind) {
  Outcome read = Run({"read", "work.a.b"});
  EXPECT_EQ(read.code, 1);
  EXPECT_EQ(read.err, "vuvorozo: read: no data folder " + data_ +
                          " (the first command that writes makes it)\n");
  EXPECT_EQ(Run({"list", "work.a"}).code, 1);
  EXPECT_EQ(Run({"exists", "work.a"}).code, 1);
  EXPECT_FALSE(std::filesystem::exists(data_));

  ASSERT_TRUE(std::filesystem::create_directory(data_));
  EXPECT_EQ(Run({"read", "work.a.b"}).err,
            "vuvorozo: read: WORK.A.B.CATAMS: The library does not exist in "
            "the data folder " +
                data_ + ".\n");
  Outcome module = Run({"--module", root_ + "/none.so", "exists", "work.a"});
  EXPECT_EQ(module.code, 1);
  EXPECT_NE(module.err.find("cannot load " + root_ + "/none.so"),
            std::string::npos)
      << module.err;
}

// A name that is not there gets the store's names near it, at the level
// where it went wrong: the entries of that name of another type, an entry,
// catalog or library of a similar name; wherever a command takes a name.
TEST_F(RefusalsTest, MisspeltNamesGetTheNamesTheUserMayHaveMeant) {
  ASSERT_EQ(Run({"write", "work.site.index.html"}, "<p>Hi</p>\n").code, 0);
  ASSERT_EQ(Run({"write", "work.site.notes"}, "Call the plumber\n").code, 0);
  ASSERT_EQ(Run({"write", "work.site.weather.csv"}, "day,rain\n").code, 0);
  const std::string absent = "The entry does not exist.";
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const Case cases[] = {
      {{"read", "work.site.index"},
       "read: WORK.SITE.INDEX.CATAMS: " + absent +
           " Did you mean 'work.site.index.html'?"},
      {{"read", "work.site.notse"},
       "read: WORK.SITE.NOTSE.CATAMS: " + absent +
           " Did you mean 'work.site.notes'?"},
      {{"info", "work.site.index.htm"},
       "info: WORK.SITE.INDEX.HTM: " + absent +
           " Did you mean 'work.site.index.html'?"},
      {{"delete", "work.site.weather"},
       "delete: work.site.weather: " + absent +
           " Did you mean 'work.site.weather.csv'?"},
      {{"copy", "work.site.indx", "work.other"},
       "Did you mean 'work.site.index.html'?"},
      {{"rename", "wrok.site.notes", "work.other"},
       "The library does not exist in the data folder " + data_ +
           ". Did you mean 'work.site.notes'?"},
      {{"list", "work.stie"},
       "list: work.stie: The catalog does not exist. Did you mean "
       "'work.site'?"},
      {{"list", "wrok"},
       "list: wrok: The library does not exist in the data folder " + data_ +
           ". Did you mean 'work'?"},
      {{"export", "work.stie", root_ + "/out"}, "Did you mean 'work.site'?"},
      {{"read", "work.stie.*"}, "Did you mean 'work.site'?"},
      {{"delete", "work.stie"}, "Did you mean 'work.site'?"},
      {{"check", "wrok"}, "Did you mean 'work'?"},
  };
  for (const Case& c : cases) {
    Outcome o = Run(c.args);
    EXPECT_EQ(o.code, 1) << c.message;
    EXPECT_NE(o.err.find(c.message + "\n"), std::string::npos) << o.err;
  }
  // Nothing near: nothing offered.
  EXPECT_EQ(Run({"read", "work.site.zzzzzz"}).err,
            "vuvorozo: read: WORK.SITE.ZZZZZZ.CATAMS: " + absent + "\n");
  // exists offers with -v only, and says nothing more on its own.
  Outcome quiet = Run({"exists", "work.site.index"});
  EXPECT_EQ(quiet.code, 1);
  EXPECT_EQ(quiet.out + quiet.err, "");
  EXPECT_EQ(Run({"exists", "work.site.index", "-v"}).out,
            "work.site.index does not exist. Did you mean "
            "'work.site.index.html'?\n");
  // Entries of one name and several types are all offered.
  ASSERT_EQ(Run({"write", "work.site.index.csv"}, "a,b\n").code, 0);
  EXPECT_NE(Run({"read", "work.site.index"})
                .err.find("Did you mean 'work.site.index.csv' or "
                          "'work.site.index.html'?\n"),
            std::string::npos);
}

}  // namespace
