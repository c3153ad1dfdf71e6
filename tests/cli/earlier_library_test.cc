// Libraries written by earlier releases of the program (the fixtures of
// tests/refhost/store/fixtures: library-2, made before record pages could
// name a dictionary; library-3, made before host attributes were kept
// packed, one of whose catalogs has a dictionary): each opens, reads byte
// for byte, takes changes, checks sound, and compact brings it to the
// current format without losing a byte.

#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "cli/program.h"

namespace {

const std::string kFixtures =
    std::string(VUVOROZO_SOURCE_DIR) + "/tests/refhost/store/fixtures/";

class EarlierLibraryTest : public ProgramTest,
                           public ::testing::WithParamInterface<const char*> {
 protected:
  // Both were made from the files of library-2/expected.
  static std::string Expected(const std::string& file) {
    return ReadFile(kFixtures + "library-2/expected/" + file);
  }

  // The copies library-3's catalog COPIES was imported from.
  static std::string Copy(int i) {
    return "Copy " + std::to_string(i) + "\n" + Expected("notes/long.txt");
  }

  void SetUp() override {
    ProgramTest::SetUp();
    std::filesystem::create_directories(data_);
    std::filesystem::copy_file(kFixtures + GetParam() + "/work.db",
                               data_ + "/work.db");
    // A checkout may make the copy read-only; a library of the user's is
    // theirs to write.
    chmod((data_ + "/work.db").c_str(), 0644);
  }

  bool has_copies() const { return std::string(GetParam()) == "library-3"; }

  // What the library's file answers (sqlite3's first line).
  std::string Sql(const std::string& sql) {
    std::string out = root_ + "/sql-out";
    RunShell("sqlite3 \"$D/work.db\" \"" + sql + "\" > '" + out + "'");
    std::string text = ReadFile(out);
    return text.substr(0, text.find('\n'));
  }

  // Every entry of the library as the program gives it back.
  void ExpectEveryEntryAsWritten(const std::string& when) {
    SCOPED_TRACE(when);
    std::string out = root_ + "/out-" + std::to_string(++exports_);
    Outcome exported = Run({"export", "work.notes", out});
    ASSERT_EQ(exported.code, 0) << exported.err;
    std::map<std::string, FileState> files = Snapshot(out);
    std::map<std::string, FileState> expected =
        Snapshot(kFixtures + "library-2/expected/notes");
    ASSERT_EQ(files.size(), expected.size());
    for (const auto& [name, state] : expected) {
      ASSERT_TRUE(files.count(name)) << name;
      EXPECT_EQ(files[name].bytes, state.bytes) << name;
    }
    // The file's own time and mode came back from its host attributes.
    EXPECT_EQ(files["jan.txt"].modified_ns, 1709287200LL * 1000000000);
    EXPECT_EQ(files["feb.txt"].mode, 0640u);
    for (const auto& [entry, file] : {std::pair{"jan", "jan.txt"},
                                      {"totals.csv", "totals.csv"},
                                      {"logo.gif", "logo.gif"}}) {
      Outcome read = Run({"read", std::string("work.reports.") + entry});
      EXPECT_EQ(read.code, 0) << read.err;
      EXPECT_EQ(read.out, Expected(std::string("reports/") + file)) << entry;
    }
    Outcome listed = Run({"list", "work.reports"});
    EXPECT_NE(listed.out.find("Monthly report"), std::string::npos);
    EXPECT_NE(listed.out.find("Totals of the year"), std::string::npos);
    EXPECT_NE(listed.out.find("Club logo"), std::string::npos);
    if (has_copies()) {
      std::string copies = root_ + "/copies-" + std::to_string(exports_);
      exported = Run({"export", "work.copies", copies});
      ASSERT_EQ(exported.code, 0) << exported.err;
      std::map<std::string, FileState> copied = Snapshot(copies);
      ASSERT_EQ(copied.size(), 8u);
      for (int i = 1; i <= 8; ++i) {
        std::string name = "copy-" + std::to_string(i) + ".txt";
        EXPECT_EQ(copied[name].bytes, Copy(i)) << name;
      }
    }
    Outcome check = Run({"check", "work"});
    EXPECT_EQ(check.code, 0) << check.out << check.err;
    EXPECT_NE(check.out.find("The library is sound."), std::string::npos);
  }

  int exports_ = 0;
};

TEST_P(EarlierLibraryTest, ReadsTakesChangesAndIsBroughtUpToDateByCompact) {
  EXPECT_EQ(Run({"list", "work"}).out,
            std::string("CATALOG  ENTRIES\n") +
                (has_copies() ? "COPIES         8\n" : "") +
                "EMPTY          0\n"
                "NOTES          9\n"
                "REPORTS        3\n");
  ExpectEveryEntryAsWritten("as the earlier release left it");
  EXPECT_EQ(Sql("PRAGMA user_version"), has_copies() ? "3" : "2")
      << "reading changes nothing";
  // The times of the entries the changes below leave alone.
  const std::string unchanged =
      " FROM entries WHERE name NOT IN ('LONG', 'FIRST', 'TOTALS', 'SALES') "
      "ORDER BY catalog_id, name, type)";
  const std::string times_then =
      Sql("SELECT group_concat(created || ',' || modified, ';') FROM (SELECT "
          "created, modified" +
          unchanged);
  ASSERT_NE(times_then, "");

  // Changes of every kind, beside the entries it had: an append to a
  // multi-page entry, a new entry, a replaced one, a deleted one.
  std::string more;
  for (int i = 0; i < 500; ++i)
    more += "added line " + std::to_string(i) + "\n";
  ASSERT_EQ(Run({"write", "work.notes.long", "mod"}, more).code, 0);
  ASSERT_EQ(Run({"write", "work.empty.first"}, "in the empty catalog\n").code,
            0);
  ASSERT_EQ(Run({"write", "work.reports.totals.csv"}, "total,1\n").code, 0);
  ASSERT_EQ(Run({"delete", "work.notes.sales.csv"}).code, 0);
  EXPECT_EQ(Run({"read", "work.notes.long"}).out,
            Expected("notes/long.txt") + more);
  EXPECT_EQ(Run({"read", "work.empty.first"}).out, "in the empty catalog\n");
  EXPECT_EQ(Run({"read", "work.reports.totals.csv"}).out, "total,1\n");
  EXPECT_EQ(Run({"read", "work.reports.jan"}).out, Expected("reports/jan.txt"));
  EXPECT_EQ(Run({"exists", "work.notes.sales.csv"}).code, 1);
  Outcome check = Run({"check", "work"});
  EXPECT_EQ(check.code, 0) << check.out;
  EXPECT_EQ(Sql("PRAGMA user_version"), "4")
      << "a release that cannot read what this one writes refuses it";
  // They keep them, the time of change now kept after the creation.
  EXPECT_EQ(Sql("SELECT group_concat(created || ',' || modified, ';') FROM "
                "(SELECT created, created + modified_after AS modified" +
                unchanged),
            times_then);
  EXPECT_EQ(Sql("SELECT count(*) FROM entries WHERE modified_after < 0"), "0");

  // Compact rewrites every page and host attribute in the current format;
  // what was there reads the same.
  ASSERT_EQ(Run({"write", "work.notes.long"}, Expected("notes/long.txt")).code,
            0);
  ASSERT_EQ(
      Run({"write", "work.reports.totals.csv"}, Expected("reports/totals.csv"))
          .code,
      0);
  ASSERT_EQ(
      Run({"write", "work.notes.sales.csv"}, Expected("notes/sales.csv")).code,
      0);
  Outcome compact = Run({"compact", "work"});
  ASSERT_EQ(compact.code, 0) << compact.err;
  ExpectEveryEntryAsWritten("after compact");
  EXPECT_EQ(Sql("SELECT count(*) FROM entries WHERE host_attributes <> '' AND "
                "NOT (typeof(host_attributes) = 'blob' AND "
                "hex(substr(host_attributes, 1, 1)) = 'A5')"),
            "0")
      << "every host attribute packed";
  EXPECT_EQ(Sql("SELECT count(*) FROM versions WHERE packed = 0"), "0");
}

INSTANTIATE_TEST_SUITE_P(Fixtures, EarlierLibraryTest,
                         ::testing::Values("library-2", "library-3"),
                         [](const auto& info) {
                           std::string name = info.param;
                           name.erase(name.find('-'), 1);
                           return name;
                         });

}  // namespace
