// What the program says, and the exit code it gives, when the user or the
// module refuses: every message is a sentence, never a bare status.

#include "cli/program.h"
#include "refhost/catalog_store.h"

namespace {

class RefusalsTest : public ProgramTest {};

TEST_F(RefusalsTest, OptionsTheModuleDoesNotAcceptAreUsageErrors) {
  Outcome unknown = Run({"write", "work.a.b", "lrecl=80", "colour=red"}, "x\n");
  EXPECT_EQ(unknown.code, 2);
  EXPECT_EQ(unknown.err,
            "vuvorozo write: option 'COLOUR': Option not recognised. Options "
            "are LRECL=n, BLOCKSIZE=n, RECFM=V|F|P, MOD, ATTR, CATALOG and "
            "DESC='text'.\n");
  Outcome malformed = Run({"write", "work.a.b", "recfm=u"}, "x\n");
  EXPECT_EQ(malformed.code, 2);
  EXPECT_NE(malformed.err.find("option 'U': Option malformed"),
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
  EXPECT_EQ(catalog.err,
            "vuvorozo: work.a: The fileref does not name a catalog entry. An "
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
            "vuvorozo: WORK.A.C.CATAMS: The entry does not exist.\n");
  EXPECT_EQ(Run({"info", "nolib.a.c"}).err,
            "vuvorozo: NOLIB.A.C.CATAMS: The library does not exist.\n");

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

  Outcome not_catalog = Run({"list", "work.a.b"});
  EXPECT_EQ(not_catalog.code, 1);
  EXPECT_NE(not_catalog.err.find("does not name a catalog"), std::string::npos)
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
       "vuvorozo write: lrecl=2147483647: longer than the longest record the "
       "program keeps (1048576 bytes)"},
      {{"import", in, "work.c", "lrecl=2147483647"}, "vuvorozo import: lrecl="},
      {{"write", "work.c.p", "lrecl=-1"},
       "vuvorozo write: lrecl=-1: a record length is a positive number"},
      {{"write", "work.c.p", "blocksize=-5"},
       "vuvorozo write: blocksize=-5: a block size is a positive number"},
      {{"write", "work.c.p", "lrecl=1048577"}, "vuvorozo write: lrecl="},
      {{"write", "work.c.p", "desc=\"open"}, "vuvorozo write: option"},
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
                          "back\\\\slash\"}"),
            std::string::npos)
      << json.out;
}

TEST_F(RefusalsTest, UsageErrorsAndHelp) {
  Outcome bare = RunBare({});
  EXPECT_EQ(bare.code, 2);
  EXPECT_NE(bare.err.find("Usage: vuvorozo"), std::string::npos);
  Outcome help = RunBare({"--help"});
  EXPECT_EQ(help.code, 0);
  EXPECT_NE(help.out.find("Exit codes:"), std::string::npos);
  for (const char* command : {"write", "read", "list", "import", "export",
                              "delete", "exists", "info"}) {
    Outcome h = RunBare({command, "--help"});
    EXPECT_EQ(h.code, 0) << command;
    EXPECT_EQ(h.out.rfind(std::string("Usage: vuvorozo ") + command, 0), 0u)
        << h.out;
    EXPECT_EQ(RunBare({"help", command}).out, h.out);
  }

  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const Case cases[] = {
      {{"frobnicate"}, "vuvorozo: unknown command 'frobnicate'"},
      {{"read"}, "vuvorozo read: a name libref.catalog.entry[.type] is needed"},
      {{"list", "a.b", "c.d"}, "vuvorozo list: list takes one name"},
      {{"import", "folder"}, "vuvorozo import: a folder and a name"},
      {{"export", "a.b"},
       "vuvorozo export: a name libref.catalog and a folder"},
      {{"delete", "a.b.c", "mod"}, "vuvorozo delete: delete takes one name"},
      {{"read", "a.b.c", "--verbose"}, "vuvorozo read: unknown flag --verbose"},
      {{"read", "a.b.c", "--json"}, "vuvorozo read: --json belongs to list"},
      {{"--data"}, "vuvorozo: --data needs a value"},
  };
  for (const Case& c : cases) {
    Outcome o = RunBare(c.args);
    EXPECT_EQ(o.code, 2) << c.message;
    EXPECT_EQ(o.err.rfind(c.message, 0), 0u) << o.err;
  }
}

TEST_F(RefusalsTest, LookingLeavesNoDataFolderBehind) {
  Outcome read = Run({"read", "work.a.b"});
  EXPECT_EQ(read.code, 1);
  EXPECT_EQ(read.err,
            "vuvorozo: WORK.A.B.CATAMS: The library does not exist.\n");
  EXPECT_EQ(Run({"list", "work.a"}).code, 1);
  EXPECT_EQ(Run({"exists", "work.a"}).code, 1);
  EXPECT_FALSE(std::filesystem::exists(data_));

  Outcome module = Run({"--module", root_ + "/none.so", "exists", "work.a"});
  EXPECT_EQ(module.code, 1);
  EXPECT_NE(module.err.find("cannot load " + root_ + "/none.so"),
            std::string::npos)
      << module.err;
}

}  // namespace
