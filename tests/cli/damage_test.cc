// Damage to a library, made by hand in its file: check names each kind,
// no read gives bytes that were not stored, and compact takes nothing an
// entry reads from.

#include <string>
#include <vector>

#include "cli/program.h"

namespace {

class DamageTest : public ProgramTest {
 protected:
  void SetUp() override {
    ProgramTest::SetUp();
    for (int i = 1; i <= 20000; ++i) {
      notes_ += "note " + std::to_string(i) + " of the field survey\n";
    }
    contents_ = {{"work.notes.a", notes_},
                 {"work.notes.b", "visit,date\nnorth,2026-03-01\n"},
                 {"work.notes.c", "<p>a short page</p>\n<p>and more</p>\n"}};
    for (const auto& [name, bytes] : contents_) {
      ASSERT_EQ(Run({"write", name}, bytes).code, 0);
    }
    ASSERT_EQ(Run({"check", "work"}).code, 0);
    ASSERT_EQ(RunShell("cp -a \"$D\" \"$D.sound\""), 0);
  }

  int Sql(const std::string& sql) {
    return RunShell("sqlite3 \"$D/work.db\" \"" + sql + "\"");
  }
  void Restore() {
    ASSERT_EQ(RunShell("rm -rf \"$D\" && cp -a \"$D.sound\" \"$D\""), 0);
  }
  // The entries that read as they were written.
  std::vector<std::string> Readable() {
    std::vector<std::string> names;
    for (const auto& [name, bytes] : contents_) {
      Outcome read = Run({"read", name});
      if (read.code == 0) {
        EXPECT_EQ(read.out, bytes) << name << " read other bytes, exit 0";
        names.push_back(name);
      } else {
        EXPECT_EQ(read.code, 1) << name;
        EXPECT_NE(read.err.find(": "), std::string::npos) << read.err;
      }
    }
    return names;
  }

  std::string notes_;
  std::vector<std::pair<std::string, std::string>> contents_;
};

std::string OfEntry(const char* name) {
  return std::string("(SELECT version_id FROM entries WHERE name = '") + name +
         "')";
}

// The statement that gives the entry these attributes, as a person
// editing the file would write them.
std::string Attributes(const char* name, const char* size, const char* records,
                       const char* newline, const char* more = nullptr) {
  return std::string(
             "UPDATE entries SET host_attributes = 'vuvorozo-file 1' "
             "|| char(10) || '") +
         size + "' || char(10) || '" + records + "' || char(10) || '" +
         newline +
         (more != nullptr ? std::string("' || char(10) || '") + more
                          : std::string()) +
         "' WHERE name = '" + name + "'";
}

TEST_F(DamageTest, CheckNamesEachDamageAndCompactKeepsWhatReads) {
  struct Damage {
    const char* what;
    std::string sql;
    std::string said;        // in check's errors
    std::string unreadable;  // an entry no read may give, or ""
    std::string mend;        // undoes the damage after compact, or ""
  };
  const std::vector<Damage> damages = {
      {"a version's state",
       "UPDATE versions SET state = 2 WHERE id = " + OfEntry("A"),
       "entry WORK.NOTES.A.CATAMS: its content is not marked live (state 2)",
       "", ""},
      {"two entries on one version",
       "UPDATE entries SET version_id = " + OfEntry("B") + " WHERE name = 'C'",
       "entry WORK.NOTES.C.CATAMS: shares its content with entry "
       "WORK.NOTES.B.CATAMS",
       "work.notes.c", ""},
      {"a record count one too low",
       "UPDATE versions SET record_count = record_count - 1 WHERE id = " +
           OfEntry("A"),
       "its pages hold 20000 records, it counts 19999", "work.notes.a",
       "UPDATE versions SET record_count = 20000 WHERE id = " + OfEntry("A")},
      {"a record count one too high",
       "UPDATE versions SET record_count = record_count + 1 WHERE id = " +
           OfEntry("A"),
       "entry WORK.NOTES.A.CATAMS: ", "work.notes.a",
       "UPDATE versions SET record_count = 20000 WHERE id = " + OfEntry("A")},
      {"the longest record",
       "UPDATE versions SET longest = longest + 7 WHERE id = " + OfEntry("A"),
       "its longest record does not agree", "", ""},
      {"a page of no version",
       "INSERT INTO pages(key, count, longest, data) SELECT key + "
       "(100000 << 32), count, longest, data FROM pages WHERE key = "
       "(SELECT min(key) FROM pages)",
       "1 page of records belong to no content", "", ""},
      {"the last newline, edited",
       Attributes("B", "size=28", "records=lines", "newline=no"),
       "entry WORK.NOTES.B.CATAMS: the entry says it holds 28 bytes, its "
       "records give 27",
       "work.notes.b", ""},
      {"the content's hash, edited",
       Attributes("B", "size=28", "records=lines", "newline=yes",
                  "xxh3=0123456789abcdef"),
       "entry WORK.NOTES.B.CATAMS: its records do not give the bytes that "
       "were written (their hash differs)",
       "work.notes.b", ""},
      {"lines edited to chunks",
       Attributes("C", "size=36", "records=chunks", "newline=yes"),
       "entry WORK.NOTES.C.CATAMS: the entry says it holds 36 bytes, its "
       "records give 34",
       "work.notes.c", ""},
  };
  for (const Damage& damage : damages) {
    SCOPED_TRACE(damage.what);
    Restore();
    ASSERT_EQ(Sql(damage.sql), 0);
    Outcome check = Run({"check", "work"});
    EXPECT_EQ(check.code, 1) << check.out;
    EXPECT_NE(check.err.find(damage.said), std::string::npos) << check.err;
    EXPECT_NE(check.out.find("The library is damaged."), std::string::npos);
    std::vector<std::string> before = Readable();
    if (!damage.unreadable.empty()) {
      EXPECT_EQ(std::count(before.begin(), before.end(), damage.unreadable), 0);
      // Export and the mount's view hold to the same rule: no file.
      Outcome out = Run({"export", "work.notes", root_ + "/out"});
      EXPECT_EQ(out.code, 1);
      std::string file =
          root_ + "/out/" + damage.unreadable.substr(11) + ".txt";
      EXPECT_FALSE(std::filesystem::exists(file)) << file;
      std::filesystem::remove_all(root_ + "/out");
    }
    Outcome compact = Run({"compact", "work"});
    EXPECT_EQ(compact.code, 0) << compact.err;
    EXPECT_EQ(Readable(), before) << "compact took what read";
    if (!damage.mend.empty()) {
      ASSERT_EQ(Sql(damage.mend), 0);
      EXPECT_EQ(Run({"read", damage.unreadable}).out, notes_)
          << "compact kept the records";
    }
  }
}

// What is no library: an empty file, a file of another program.
TEST_F(DamageTest, AFileThatHoldsNoLibraryIsNotSound) {
  ASSERT_EQ(RunShell(": > \"$D/empty.db\" && echo hello > \"$D/other.db\""), 0);
  for (const char* libref : {"empty", "other"}) {
    Outcome check = Run({"check", libref});
    EXPECT_EQ(check.code, 1) << libref << check.out;
    EXPECT_EQ(check.out.find("The library is sound."), std::string::npos);
  }
  EXPECT_NE(Run({"check", "empty"}).err.find("the file is empty, no library"),
            std::string::npos);
}

// Compact after leftovers of a killed writer and a page of no version:
// the library is sound again, and what read still reads.
TEST_F(DamageTest, CompactLeavesASoundLibrary) {
  ASSERT_EQ(Sql("INSERT INTO pages(key, count, longest, data) SELECT key + "
                "(100000 << 32), count, longest, data FROM pages WHERE key = "
                "(SELECT min(key) FROM pages); INSERT INTO versions(state, "
                "owner_pid) VALUES(0, 999999)"),
            0);
  Outcome check = Run({"check", "work"});
  EXPECT_EQ(check.code, 1);
  ASSERT_EQ(Run({"compact", "work"}).code, 0);
  check = Run({"check", "work"});
  EXPECT_EQ(check.code, 0) << check.err;
  EXPECT_EQ(Readable().size(), contents_.size());
}

}  // namespace
