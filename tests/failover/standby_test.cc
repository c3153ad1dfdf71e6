// Libraries read from a hot standby: the commands that only read and a
// read-only mount give there what was written on the primary; a change
// sent there is refused in plain words, with the exit code and errno of a
// library that may only be read; a reader whose entry the primary
// replaces meanwhile is told so, never given other bytes.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

#include "cli/program.h"
#include "failover/pair.h"
#include "refhost/store/catalog_store.h"
#include "support/server_database.h"

namespace {

using failover::Mounted;
using failover::Ran;
using refhost::StoreStatus;

class StandbyTest : public ProgramTest {
 protected:
  void SetUp() override {
    ProgramTest::SetUp();
    ASSERT_EQ(failover::PairProblem(), "");
    std::string why;
    ASSERT_TRUE(failover::PairIsFresh(&why)) << why;
    // A commit returns once the standby has applied it, so that what the
    // primary took shows on the standby at once.
    setenv("PGOPTIONS", "-c synchronous_commit=remote_apply", 1);
    database_ = std::make_unique<refhost::ServerDatabase>();
    ASSERT_FALSE(database_->url().empty()) << database_->error();
    primary_ = database_->url();
    standby_ = failover::OnDatabase(failover::StandbyUrl(), primary_);
  }
  void TearDown() override {
    database_.reset();
    unsetenv("PGOPTIONS");
    std::string log = ReadFile(root_ + "/.debug-log");
    EXPECT_EQ(log.find("internal:"), std::string::npos) << log;
    ProgramTest::TearDown();
  }

  // Runs the program over the store url, input on its standard input.
  Ran On(const std::string& url, std::vector<std::string> args,
         const std::string& input = "") {
    WriteFile(root_ + "/.input", input);
    args.insert(args.begin(), {"--store", url});
    return failover::RunProgram(args, 120, root_, root_ + "/.input");
  }

  // Notes, a table, a web page, bytes that are no text, an empty file.
  void MakeFolder(const std::string& folder) {
    std::filesystem::create_directories(folder);
    WriteFile(folder + "/jan.txt", "North 1200\nSouth  950\nEast   730\n");
    WriteFile(folder + "/sales.csv", "region,total\nnorth,1200\nsouth,950");
    WriteFile(folder + "/index.html", "<html><body><p>Hi</p></body></html>\n");
    WriteFile(folder + "/photo.png", Bytes(70000, 3));
    WriteFile(folder + "/empty.txt", "");
    SetModified(folder + "/jan.txt", 1600000000123456789LL);
  }

  std::unique_ptr<refhost::ServerDatabase> database_;
  std::string primary_;
  std::string standby_;
};

// What is written on the primary, the standby gives back through every
// command that only reads, and through a read-only mount.
TEST_F(StandbyTest, CommandsThatReadWorkOnTheStandby) {
  MakeFolder(root_ + "/src");
  Ran imported = On(primary_, {"import", root_ + "/src", "fo.docs"});
  ASSERT_EQ(imported.code, 0) << imported.err;
  Ran written = On(primary_, {"write", "fo.notes.memo", "desc='Weekly memo'"},
                   "no newline at the end");
  ASSERT_EQ(written.code, 0) << written.err;

  Ran listed = On(standby_, {"list", "-l", "fo.notes"});
  EXPECT_EQ(listed.code, 0) << listed.err;
  EXPECT_NE(listed.out.find("Weekly memo"), std::string::npos) << listed.out;
  Ran read = On(standby_, {"read", "fo.notes.memo"});
  EXPECT_EQ(read.code, 0) << read.err;
  EXPECT_EQ(read.out, "no newline at the end");
  Ran exported = On(standby_, {"export", "fo.docs", root_ + "/out"});
  ASSERT_EQ(exported.code, 0) << exported.err;
  EXPECT_EQ(Snapshot(root_ + "/out"), Snapshot(root_ + "/src"));
  Ran check = On(standby_, {"check", "fo"});
  EXPECT_EQ(check.code, 0) << check.err;
  EXPECT_NE(check.out.find("sound"), std::string::npos) << check.out;
  Ran info = On(standby_, {"info", "fo.notes.memo"});
  EXPECT_EQ(info.code, 0) << info.err;
  EXPECT_NE(info.out.find("FO.NOTES.MEMO"), std::string::npos) << info.out;
  EXPECT_EQ(On(standby_, {"exists", "fo.notes.memo"}).code, 0);
  EXPECT_EQ(On(standby_, {"exists", "fo.notes.none"}).code, 1);

  // Through a read-only mount: the files export wrote, and no change.
  std::filesystem::create_directories(root_ + "/mnt");
  Mounted mount(root_ + "/mnt", root_ + "/mount.log");
  ASSERT_EQ(mount.Start(standby_, {"-o", "ro"}), "");
  for (const char* file :
       {"jan.txt", "sales.csv", "index.html", "photo.png", "empty.txt"}) {
    EXPECT_EQ(ReadFile(root_ + "/mnt/fo/docs/" + file),
              ReadFile(root_ + "/src/" + file))
        << file;
  }
  EXPECT_EQ(ReadFile(root_ + "/mnt/fo/notes/memo.txt"),
            "no newline at the end");
  int fd = open((root_ + "/mnt/fo/docs/new.txt").c_str(),
                O_WRONLY | O_CREAT | O_EXCL, 0644);
  EXPECT_EQ(fd, -1);
  EXPECT_EQ(errno, EROFS);
  EXPECT_EQ(mount.Stop(), 0) << ReadFile(root_ + "/mount.log");
}

// A change sent to the standby is refused saying that the server is a
// standby and what reaches the primary; the library stays as it was, and
// a mount that could write answers EROFS, as for a library that may only
// be read.
TEST_F(StandbyTest, ChangesOnTheStandbyAreRefusedInPlainWords) {
  Ran written = On(primary_, {"write", "fo.notes.memo"}, "kept\n");
  ASSERT_EQ(written.code, 0) << written.err;

  std::vector<std::pair<std::vector<std::string>, std::string>> changes = {
      {{"write", "fo.notes.memo"}, "other\n"},
      {{"write", "fo.notes.new"}, "new\n"},
      {{"write", "other.notes.new"}, "new\n"},
      {{"delete", "fo.notes.memo"}, ""},
      {{"rename", "fo.notes.memo", "fo.notes.moved"}, ""},
      {{"mkdir", "fo.more"}, ""},
      {{"compact", "fo"}, ""},
  };
  for (const auto& [args, input] : changes) {
    Ran refused = On(standby_, args, input);
    EXPECT_EQ(refused.code, 1) << args[0] << ": " << refused.err;
    EXPECT_NE(refused.err.find("vuvorozo: " + args[0] + ": "),
              std::string::npos)
        << refused.err;
    EXPECT_NE(refused.err.find("the server is a read-only standby: a change "
                               "needs the primary"),
              std::string::npos)
        << refused.err;
    EXPECT_NE(refused.err.find("target_session_attrs=read-write"),
              std::string::npos)
        << refused.err;
    EXPECT_EQ(refused.err.find("ERROR:"), std::string::npos) << refused.err;
  }
  Ran read = On(primary_, {"read", "fo.notes.memo"});
  EXPECT_EQ(read.out, "kept\n") << read.err;
  Ran listed = On(primary_, {"list", "fo.notes"});
  EXPECT_EQ(listed.out.find("NEW"), std::string::npos) << listed.out;
  EXPECT_EQ(listed.out.find("MOVED"), std::string::npos) << listed.out;
  EXPECT_EQ(On(primary_, {"exists", "other.notes.new"}).code, 1);

  // A mount that may write: it reads, and every change it tries is EROFS.
  std::filesystem::create_directories(root_ + "/mnt");
  Mounted mount(root_ + "/mnt", root_ + "/mount.log");
  ASSERT_EQ(mount.Start(standby_), "");
  EXPECT_EQ(ReadFile(root_ + "/mnt/fo/notes/memo.txt"), "kept\n");
  std::string path = root_ + "/mnt/fo/notes/new.txt";
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
  int closed = 0, error = 0;
  if (fd >= 0) {
    EXPECT_EQ(write(fd, "new\n", 4), 4);
    closed = close(fd);
    error = errno;
  } else {
    error = errno;
  }
  EXPECT_TRUE(fd < 0 || closed != 0) << "a file written on a standby closed";
  EXPECT_EQ(error, EROFS);
  EXPECT_NE(unlink((root_ + "/mnt/fo/notes/memo.txt").c_str()), 0);
  EXPECT_EQ(errno, EROFS);
  mount.Stop();
  std::string log = ReadFile(root_ + "/mount.log");
  EXPECT_NE(log.find("the server is a read-only standby"), std::string::npos)
      << log;
  EXPECT_EQ(On(primary_, {"read", "fo.notes.memo"}).out, "kept\n");
  EXPECT_EQ(On(primary_, {"exists", "fo.notes.new"}).code, 1);
}

// A store over the standby, and one over a database whose sessions are
// read-only: each refusal says which it is.
TEST_F(StandbyTest, StoresSayWhyTheServerTakesNoChange) {
  auto standby = refhost::NewPostgresCatalogStore(standby_);
  StoreStatus st = standby->CreateCatalog("WORK", "CAT");
  EXPECT_EQ(st.code(), StoreStatus::kReadOnly) << st.ToString();
  EXPECT_NE(st.message().find("read-only standby"), std::string::npos)
      << st.message();

  ASSERT_EQ(database_->Query(
                "DO $$BEGIN EXECUTE format('ALTER DATABASE %I SET "
                "default_transaction_read_only = on', current_database()); "
                "END$$; SELECT 1"),
            1);
  // The primary alone: a URL asking for a server that takes writes finds
  // none.
  std::string primary = failover::OnDatabase(failover::PrimaryUrl(), primary_);
  st = refhost::NewPostgresCatalogStore(primary)->CreateCatalog("WORK", "CAT");
  EXPECT_EQ(st.code(), StoreStatus::kReadOnly) << st.ToString();
  EXPECT_NE(st.message().find("sessions are read-only "
                              "(default_transaction_read_only is on)"),
            std::string::npos)
      << st.message();
  // A store opened for reading only reads there as anywhere.
  auto reader = refhost::NewPostgresCatalogStore(
      primary, refhost::StoreOptions{.read_only = true});
  std::vector<std::string> librefs;
  EXPECT_TRUE(reader->ListLibraries(&librefs).ok());
}

// The primary keeps a version while a reader of its own pins it, but knows
// nothing of the standby's readers: once it replaces the entry, a reader on
// the standby is told so at the next page, never given bytes of another
// content, and the library is not called damaged.
TEST_F(StandbyTest, AStandbyReaderIsToldWhenThePrimaryReplacesItsEntry) {
  auto primary = refhost::NewPostgresCatalogStore(primary_);
  ASSERT_TRUE(primary->CreateCatalog("WORK", "CAT").ok());
  auto record = [](int i) {
    return "record " + std::to_string(i) + " " + std::string(90, 'a' + i % 26);
  };
  const int kRecords = 20000;  // some 2 MB: many pages
  {
    std::unique_ptr<refhost::EntryCursor> cursor;
    ASSERT_TRUE(primary
                    ->OpenEntry("WORK", "CAT", "BIG", "DATA",
                                refhost::OpenIntent::kReplace, "", &cursor)
                    .ok());
    for (int i = 0; i < kRecords; ++i) {
      std::string r = record(i);
      ASSERT_TRUE(cursor->Write(r.data(), (uint32_t)r.size(), 0).ok());
    }
    ASSERT_TRUE(cursor->Commit().ok());
  }

  auto standby = refhost::NewPostgresCatalogStore(
      standby_, refhost::StoreOptions{.read_only = true});
  std::unique_ptr<refhost::EntryCursor> reader;
  ASSERT_TRUE(standby
                  ->OpenEntry("WORK", "CAT", "BIG", "DATA",
                              refhost::OpenIntent::kRead, "", &reader)
                  .ok());
  refhost::RecordView view;
  ASSERT_TRUE(reader->Read(&view).ok());
  {
    std::unique_ptr<refhost::EntryCursor> cursor;
    ASSERT_TRUE(primary
                    ->OpenEntry("WORK", "CAT", "BIG", "DATA",
                                refhost::OpenIntent::kReplace, "", &cursor)
                    .ok());
    ASSERT_TRUE(cursor->Write("new", 3, 0).ok());
    ASSERT_TRUE(cursor->Commit().ok());
  }
  int i = 1;
  StoreStatus st;
  for (; i < kRecords && (st = reader->Read(&view)).ok(); ++i) {
    ASSERT_EQ(std::string((const char*)view.data, view.length), record(i));
  }
  EXPECT_LT(i, kRecords) << "the whole old content was read";
  EXPECT_EQ(st.code(), StoreStatus::kIoError) << st.ToString();
  EXPECT_NE(st.message().find("replaced or deleted on the primary while "
                              "this standby read it"),
            std::string::npos)
      << st.message();
  reader.reset();

  ASSERT_TRUE(standby
                  ->OpenEntry("WORK", "CAT", "BIG", "DATA",
                              refhost::OpenIntent::kRead, "", &reader)
                  .ok());
  EXPECT_EQ(reader->record_count(), 1u);
  reader.reset();
  refhost::LibraryCheck check;
  ASSERT_TRUE(standby->CheckLibrary("WORK", &check).ok());
  EXPECT_TRUE(check.problems.empty()) << check.problems[0];
}

}  // namespace
