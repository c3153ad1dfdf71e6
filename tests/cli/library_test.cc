// Libraries through the program: checking and compacting them, writers of
// one entry in two processes, and reading where nothing may be written.

#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "cli/program.h"

namespace {

using LibraryTest = ProgramTest;

TEST_F(LibraryTest, CheckAndCompactSayWhatTheyFoundAndDid) {
  std::string lines;
  for (int i = 0; i < 3000; ++i) lines += "note " + std::to_string(i) + "\n";
  ASSERT_EQ(Run({"write", "work.notes.a"}, lines).code, 0);
  ASSERT_EQ(Run({"write", "work.notes.b.jpeg"}, Bytes(3000000, 5)).code, 0);
  ASSERT_EQ(Run({"write", "work.other.c"}, "one\n").code, 0);

  Outcome check = Run({"check", "work"});
  EXPECT_EQ(check.code, 0) << check.err;
  EXPECT_NE(
      check.out.find("WORK (" + data_ + "/work.db): 2 catalogs, 3 entries, "),
      std::string::npos)
      << check.out;
  EXPECT_NE(check.out.find("The library is sound.\n"), std::string::npos);
  Outcome json = Run({"check", "WORK", "--json"});
  EXPECT_EQ(json.code, 0);
  EXPECT_EQ(json.out.rfind("{\"library\": \"WORK\", \"file\": \"" + data_ +
                               "/work.db\", \"catalogs\": 2, \"entries\": 3, ",
                           0),
            0u)
      << json.out;
  EXPECT_NE(json.out.find("\"problems\": [], \"notes\": []}\n"),
            std::string::npos);

  // The room of a deleted entry goes back to the file system.
  ASSERT_EQ(Run({"delete", "work.notes.b.jpeg"}).code, 0);
  Outcome compact = Run({"compact", "work", "--json"});
  EXPECT_EQ(compact.code, 0) << compact.err;
  EXPECT_NE(compact.out.find("\"bytes_after\": "), std::string::npos);
  struct stat info;
  ASSERT_EQ(stat((data_ + "/work.db").c_str(), &info), 0);
  EXPECT_LT(info.st_size, 200000);
  EXPECT_EQ(Run({"read", "work.notes.a"}).out, lines);

  // A damaged page: check says which entry, exit 1; reading it fails.
  ASSERT_EQ(
      RunShell("sqlite3 \"$D/work.db\" \"UPDATE pages SET data = "
               "substr(data, 1, 30) || x'00' || substr(data, 32) WHERE key "
               "= (SELECT min(key) FROM pages)\""),
      0);
  check = Run({"check", "work"});
  EXPECT_EQ(check.code, 1);
  EXPECT_NE(
      check.err.find("vuvorozo: check: WORK: entry WORK.NOTES.A.CATAMS: " +
                     data_ + "/work.db: the library file is damaged"),
      std::string::npos)
      << check.err;
  EXPECT_NE(check.out.find("The library is damaged.\n"), std::string::npos);
  EXPECT_EQ(Run({"read", "work.notes.a"}).code, 1);

  EXPECT_EQ(Run({"check"}).code, 2);
  EXPECT_EQ(Run({"check", "work", "more"}).code, 2);
  EXPECT_EQ(Run({"compact", "wo/rk"}).code, 2);
  Outcome absent = Run({"check", "nolib"});
  EXPECT_EQ(absent.code, 1);
  EXPECT_EQ(absent.err,
            "vuvorozo: check: NOLIB: The library does not exist "
            "in the data folder " +
                data_ + ".\n");
}

// SQLite's own account of a damaged file runs over lines: each is said as
// a message of its own, never as one line with the line breaks escaped.
TEST_F(LibraryTest, ADamagedFileIsSaidLineByLine) {
  ASSERT_EQ(Run({"write", "work.notes.a"}, "one\ntwo\n").code, 0);
  // The header of an index's first page made nonsense of (its free space).
  ASSERT_EQ(RunShell("page=$(sqlite3 \"$D/work.db\" \"SELECT rootpage FROM "
                     "sqlite_schema WHERE type = 'index' LIMIT 1\") && "
                     "size=$(sqlite3 \"$D/work.db\" \"PRAGMA page_size\") && "
                     "printf '\\015\\000\\000\\000\\005' | dd "
                     "of=\"$D/work.db\" bs=1 seek=$(( (page - 1) * size )) "
                     "conv=notrunc 2>/dev/null"),
            0);
  Outcome check = Run({"check", "work"});
  EXPECT_EQ(check.code, 1);
  EXPECT_NE(check.err.find("vuvorozo: check: WORK: SQLite: *** in database "
                           "main ***\nvuvorozo: check: WORK: "),
            std::string::npos)
      << check.err;
  EXPECT_EQ(check.err.find("\\x0A"), std::string::npos) << check.err;
}

// Two programs appending to one entry at once: both appends land whole,
// one after the other.
TEST_F(LibraryTest, ConcurrentAppendsLandWhole) {
  ASSERT_EQ(Run({"write", "work.c.m"}, "base\n").code, 0);
  ASSERT_EQ(RunShell("(seq 1 5000 | \"$V\" --data \"$D\" write work.c.m mod "
                     "lrecl=10) & (seq 5001 10000 | \"$V\" --data \"$D\" write "
                     "work.c.m mod lrecl=10) & wait"),
            0);
  Outcome read = Run({"read", "work.c.m"});
  EXPECT_EQ(read.code, 0) << read.err;
  std::string first, second;
  for (int i = 1; i <= 5000; ++i) first += std::to_string(i) + "\n";
  for (int i = 5001; i <= 10000; ++i) second += std::to_string(i) + "\n";
  EXPECT_TRUE(read.out == "base\n" + first + second ||
              read.out == "base\n" + second + first)
      << read.out.substr(0, 100);
}

// Reading commands open the libraries read-only: they work on read-only
// media (a tmpfs the test mounts and remounts read-only, as root).
TEST_F(LibraryTest, ReadingCommandsWorkOnReadOnlyMediaAsRoot) {
  ASSERT_EQ(mkdir(data_.c_str(), 0755), 0);
  ASSERT_EQ(mount("tmpfs", data_.c_str(), "tmpfs", 0, "size=8m"), 0)
      << "this test mounts a tmpfs and must run as root: "
      << std::strerror(errno);
  struct Unmount {
    std::string folder;
    ~Unmount() { umount2(folder.c_str(), MNT_DETACH); }
  } unmount{data_};
  ASSERT_EQ(Run({"write", "work.docs.readme", "desc=Kept"}, "Read me\n").code,
            0);
  ASSERT_EQ(Run({"write", "work.docs.page.html"}, "<p>\n").code, 0);
  ASSERT_EQ(
      mount(nullptr, data_.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, "size=8m"),
      0)
      << std::strerror(errno);

  EXPECT_EQ(Run({"read", "work.docs.readme"}).out, "Read me\n");
  Outcome list = Run({"list", "work.docs"});
  EXPECT_EQ(list.code, 0) << list.err;
  EXPECT_EQ(list.out,
            "NAME    TYPE    DESCRIPTION\n"
            "PAGE    HTML\n"
            "README  CATAMS  Kept\n");
  EXPECT_EQ(Run({"info", "work.docs.readme"}).code, 0);
  EXPECT_EQ(Run({"exists", "work.docs.page.html"}).code, 0);
  EXPECT_EQ(Run({"check", "work"}).code, 0);
  Outcome exported = Run({"export", "work.docs", root_ + "/out"});
  EXPECT_EQ(exported.code, 0) << exported.err;
  EXPECT_EQ(ReadFile(root_ + "/out/readme.txt"), "Read me\n");
  // Writing fails saying why, and the entry stays as it was.
  for (const Outcome& refused : {Run({"write", "work.docs.readme"}, "new\n"),
                                 Run({"delete", "work.docs.readme"})}) {
    EXPECT_EQ(refused.code, 1);
    EXPECT_NE(
        refused.err.find(data_ + "/work.db: the library is on read-only media"),
        std::string::npos)
        << refused.err;
  }
  EXPECT_EQ(Run({"read", "work.docs.readme"}).out, "Read me\n");
}

}  // namespace
