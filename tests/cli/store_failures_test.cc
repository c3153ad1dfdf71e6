// What a store that fails says: every reason (permission, read-only media,
// a full disk, a link where a library should be, a library locked by
// another process, a damaged one) reaches the message and the exit code,
// and none reads as "does not exist". Permission is tested as the user
// nobody (the tests run as root, whom no permission stops); a full disk
// and read-only media are a small tmpfs of the test's own.

#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "cli/program.h"

namespace {

class StoreFailuresTest : public ProgramTest {
 protected:
  void SetUp() override {
    ProgramTest::SetUp();
    ASSERT_EQ(Run({"write", "work.site.notes"}, "Call the plumber\n").code, 0);
    ASSERT_EQ(Run({"write", "work.site.index.html"}, "<p>Hi</p>\n").code, 0);
  }
  static bool Has(const Outcome& outcome, const std::string& text) {
    return outcome.err.find(text) != std::string::npos;
  }
};

TEST_F(StoreFailuresTest, AnUnreadableFolderIsNeverTakenForAnEmptyOneAsRoot) {
  uid_ = 65534;  // nobody
  // A data folder in a folder the user may not enter is there all the
  // same.
  ASSERT_EQ(chmod(root_.c_str(), 0700), 0);
  Outcome hidden = Run({"exists", "work.site.notes"});
  EXPECT_EQ(hidden.code, 2);
  EXPECT_TRUE(Has(hidden, "Permission denied")) << hidden.err;
  Outcome listed = Run({"list"});
  EXPECT_EQ(listed.code, 1);
  EXPECT_EQ(listed.err, "vuvorozo: list: " + data_ + ": Permission denied\n");

  ASSERT_EQ(chmod(root_.c_str(), 0755), 0);
  ASSERT_EQ(chmod(data_.c_str(), 0), 0);

  // The test cannot be made: exists says why and exits 2, never 1.
  Outcome exists = Run({"exists", "work.site.notes", "-v"});
  EXPECT_EQ(exists.code, 2);
  EXPECT_EQ(exists.out, "");
  EXPECT_EQ(exists.err, "vuvorozo: exists: work.site.notes: " + data_ +
                            "/work.db: Permission denied\n");
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"read", "work.site.notes"},
                                             {"info", "work.site.notes"},
                                             {"export", "work.site", "-"},
                                             {"list", "work.site"},
                                             {"list", "work"},
                                             {"list"},
                                             {"check", "work"},
                                             {"write", "work.site.new"},
                                             {"delete", "work.site.notes"}}) {
    Outcome refused = Run(args, "x\n");
    EXPECT_EQ(refused.code, 1) << args[0];
    EXPECT_TRUE(Has(refused, ": Permission denied\n")) << refused.err;
    EXPECT_FALSE(Has(refused, "not exist")) << refused.err;
  }

  // A user who may read, not write: reading works, a change says why.
  ASSERT_EQ(chmod(data_.c_str(), 0555), 0);
  ASSERT_EQ(chmod((data_ + "/work.db").c_str(), 0444), 0);
  EXPECT_EQ(Run({"read", "work.site.notes"}).out, "Call the plumber\n");
  EXPECT_EQ(Run({"exists", "work.site.notes"}).code, 0);
  Outcome write = Run({"write", "work.site.notes"}, "x\n");
  EXPECT_EQ(write.code, 1);
  EXPECT_EQ(write.err, "vuvorozo: write: WORK.SITE.NOTES.CATAMS: " + data_ +
                           "/work.db: this user may not write the library "
                           "file\n");
  uid_ = 0;
  EXPECT_EQ(Run({"read", "work.site.notes"}).out, "Call the plumber\n");
}

// A link planted in a library's place, and a library whose pages are
// damaged: each is said, and exists cannot answer for the link.
TEST_F(StoreFailuresTest, ALinkOrADamagedLibraryIsSaid) {
  ASSERT_EQ(symlink("work.db", (data_ + "/link.db").c_str()), 0);
  Outcome link = Run({"read", "link.site.notes"});
  EXPECT_EQ(link.code, 1);
  EXPECT_TRUE(Has(link, data_ + "/link.db: a symbolic link; a library file "
                                "must be a regular file in the data folder"))
      << link.err;
  EXPECT_EQ(Run({"exists", "link.site.notes"}).code, 2);
  EXPECT_EQ(Run({"write", "link.site.more"}, "x\n").code, 1);
  EXPECT_TRUE(std::filesystem::is_symlink(data_ + "/link.db"));

  ASSERT_EQ(std::system(("sqlite3 '" + data_ +
                         "/work.db' \"UPDATE pages SET data = substr(data, 1, "
                         "8) || x'00ff00' || substr(data, 12)\"")
                            .c_str()),
            0);
  Outcome damaged = Run({"read", "work.site.notes"});
  EXPECT_EQ(damaged.code, 1);
  EXPECT_TRUE(Has(damaged, data_ + "/work.db: ")) << damaged.err;
  EXPECT_TRUE(Has(damaged, "damaged")) << damaged.err;
}

// Another process holding the library's write lock past the wait: the
// writer says who holds it, and readers still read.
TEST_F(StoreFailuresTest, ALibraryLockedByAnotherProcessIsSaid) {
  std::string held = root_ + "/held";
  FILE* shell = popen(("sqlite3 '" + data_ + "/work.db'").c_str(), "w");
  ASSERT_NE(shell, nullptr);
  // The shell notes that it holds the lock once the transaction began.
  std::fputs(("BEGIN IMMEDIATE;\n.system touch '" + held + "'\n").c_str(),
             shell);
  std::fflush(shell);
  for (int i = 0; i < 250 && !std::filesystem::exists(held); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_TRUE(std::filesystem::exists(held)) << "sqlite3 took no lock";
  Outcome write = Run({"write", "work.site.notes"}, "new\n");
  EXPECT_EQ(write.code, 1);
  EXPECT_TRUE(Has(write, data_ + "/work.db: locked by another process"))
      << write.err;
  EXPECT_EQ(Run({"read", "work.site.notes"}).out, "Call the plumber\n");
  std::fputs("ROLLBACK;\n", shell);
  pclose(shell);
  EXPECT_EQ(Run({"write", "work.site.notes"}, "new\n").code, 0);
}

// A full disk: the write fails saying so and the entry keeps its content;
// read-only media: a change says so.
TEST_F(StoreFailuresTest, AFullDiskAndReadOnlyMediaAreSaidAsRoot) {
  std::string small = root_ + "/small";
  ASSERT_EQ(mkdir(small.c_str(), 0755), 0);
  ASSERT_EQ(mount("tmpfs", small.c_str(), "tmpfs", 0, "size=1m"), 0)
      << "this test mounts a tmpfs and must run as root: "
      << std::strerror(errno);
  struct Unmount {
    std::string folder;
    ~Unmount() { umount2(folder.c_str(), MNT_DETACH); }
  } unmount{small};
  data_ = small;
  ASSERT_EQ(Run({"write", "work.site.photo.jpeg"}, Bytes(1000, 1)).code, 0);
  Outcome full = Run({"write", "work.site.photo.jpeg"}, Bytes(3000000, 2));
  EXPECT_EQ(full.code, 1);
  EXPECT_TRUE(Has(full, small + "/work.db: the disk is full")) << full.err;
  EXPECT_EQ(Run({"read", "work.site.photo.jpeg"}).out, Bytes(1000, 1));
  // The room a failed write took is given back, and the room the store
  // keeps lets a deletion free more: the disk is relieved through the
  // program, and what then fits is written.
  ASSERT_EQ(Run({"write", "work.site.scan.jpeg"}, Bytes(400000, 3)).code, 0);
  Outcome again = Run({"write", "work.site.more.jpeg"}, Bytes(900000, 4));
  EXPECT_EQ(again.code, 1);
  EXPECT_TRUE(Has(again, "the disk is full")) << again.err;
  std::filesystem::create_directories(root_ + "/in");
  WriteFile(root_ + "/in/large.jpeg", Bytes(900000, 5));
  Outcome import = Run({"import", root_ + "/in", "work.in"});
  EXPECT_EQ(import.code, 1);
  EXPECT_TRUE(Has(import, "the disk is full")) << import.err;
  EXPECT_EQ(Run({"delete", "work.site.scan.jpeg"}).code, 0);
  EXPECT_EQ(Run({"compact", "work"}).code, 0);
  EXPECT_EQ(Run({"write", "work.site.more.jpeg"}, Bytes(400000, 4)).code, 0);
  EXPECT_EQ(Run({"check", "work"}).code, 0);
  EXPECT_EQ(Run({"read", "work.site.photo.jpeg"}).out, Bytes(1000, 1));

  ASSERT_EQ(
      mount(nullptr, small.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, "size=1m"),
      0)
      << std::strerror(errno);
  Outcome media = Run({"delete", "work.site.photo.jpeg"});
  EXPECT_EQ(media.code, 1);
  EXPECT_TRUE(Has(media, small + "/work.db: the library is on read-only media"))
      << media.err;
  EXPECT_EQ(Run({"exists", "work.site.photo.jpeg"}).code, 0);
}

}  // namespace
