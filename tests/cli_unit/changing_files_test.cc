// Files that change while they are read: content taken from a file is held
// to the file as it was first seen (size, modification and status change
// times, and the bytes a read gives up to the end), so that an import
// never keeps a mix of two versions of a file, nor a size it never had.
// The file is changed at fixed points (between the first look and the
// read, between two passes), never by racing a reader.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "cli/command_support.h"
#include "cli/files/catalog_import.h"
#include "cli/files/content.h"
#include "cli/mount/tree.h"
#include "cli/session.h"
#include "refhost/store/catalog_store.h"

namespace cli {
namespace {

class ChangingFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vuvorozo-changing-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  std::string Make(const std::string& name, const std::string& bytes) {
    std::string path = folder_ + "/" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }
  static void Append(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::app) << bytes;
  }
  // Lines of numbers, as seq writes them, to at least bytes.
  static std::string Numbers(size_t bytes) {
    std::string text;
    for (int i = 1; text.size() < bytes; ++i) text += std::to_string(i) + "\n";
    return text;
  }
  static std::string All(const Content& content, bool* ok, std::string* error) {
    std::string bytes;
    int64_t total = 0;
    *ok = content.Pass(
        [&](const char* data, size_t length) {
          bytes.append(data, length);
          return true;
        },
        &total, error);
    return bytes;
  }
  // A file's times moved to another second, its bytes as they are.
  static void Touch(const std::string& path, time_t seconds) {
    struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  }

  std::string folder_;
};

TEST_F(ChangingFilesTest, ContentIsHeldToTheFileAsItWasFirstSeen) {
  // A small file read whole: changed between the first look and the load.
  std::string small = Make("small.txt", "one\ntwo\n");
  int fd = open(small.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  FileStamp first;
  ASSERT_TRUE(StampOf(fd, &first));
  Append(small, "three\n");
  Content content;
  std::string error;
  EXPECT_FALSE(content.Load(fd, &error, &first));
  EXPECT_TRUE(content.changed());
  EXPECT_EQ(error, kChangedWhileRead);
  // The same file as it is now loads, and a later load starts afresh.
  ASSERT_TRUE(StampOf(fd, &first));
  ASSERT_EQ(lseek(fd, 0, SEEK_SET), 0);
  EXPECT_TRUE(content.Load(fd, &error, &first)) << error;
  EXPECT_FALSE(content.changed());
  EXPECT_EQ(content.bytes(), "one\ntwo\nthree\n");
  close(fd);

  // The times alone tell a change: same bytes, same size.
  fd = open(small.c_str(), O_RDONLY);
  ASSERT_TRUE(StampOf(fd, &first));
  Touch(small, 1000000);
  EXPECT_FALSE(content.Load(fd, &error, &first));
  EXPECT_TRUE(content.changed());
  close(fd);

  // A large file read in passes: each pass must find it as it was loaded.
  std::string big = Make("big.txt", Numbers(kWholeContentBytes + 100000));
  fd = open(big.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(content.Load(fd, &error)) << error;
  ASSERT_FALSE(content.whole());
  bool ok = false;
  std::string once = All(content, &ok, &error);
  EXPECT_TRUE(ok) << error;
  EXPECT_EQ(All(content, &ok, &error), once);
  EXPECT_TRUE(ok) << error;
  // Cut short between passes, as the file being rewritten would be.
  ASSERT_EQ(truncate(big.c_str(), 5000000), 0);
  All(content, &ok, &error);
  EXPECT_FALSE(ok);
  EXPECT_TRUE(content.changed());
  EXPECT_EQ(error, kChangedWhileRead);
  close(fd);

  // Standard input that is no file is read once: nothing to hold it to.
  int pipes[2];
  ASSERT_EQ(pipe(pipes), 0);
  ASSERT_EQ(write(pipes[1], "piped\n", 6), 6);
  close(pipes[1]);
  EXPECT_TRUE(content.Load(pipes[0], &error, &first)) << error;
  EXPECT_EQ(content.bytes(), "piped\n");
  close(pipes[0]);
}

// The buffer grows with what is loaded into it: every size around its
// steps, from a file and from a source giving odd pieces, comes back whole,
// and a content loaded after a larger one is not mixed with it.
TEST_F(ChangingFilesTest, ContentOfAnySizeComesBackAsItWas) {
  const std::string text = Numbers(kWholeContentBytes + 70000);
  const size_t sizes[] = {0,
                          1,
                          (64 << 10) - 1,
                          64 << 10,
                          (64 << 10) + 1,
                          3000000,
                          kWholeContentBytes - 1,
                          kWholeContentBytes,
                          kWholeContentBytes + 1,
                          5000,
                          kWholeContentBytes + 70000};
  Content from_file;
  Content from_source;
  for (size_t size : sizes) {
    SCOPED_TRACE(size);
    const std::string want = text.substr(0, size);
    std::string path = Make("sized.txt", want);
    int fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    std::string error;
    bool ok = false;
    ASSERT_TRUE(from_file.Load(fd, &error)) << error;
    EXPECT_EQ(from_file.whole(), size < kWholeContentBytes);
    EXPECT_TRUE(All(from_file, &ok, &error) == want) << error;
    EXPECT_TRUE(ok);
    close(fd);

    size_t given = 0;
    ASSERT_TRUE(from_source.LoadFrom(
        [&](char* data, size_t capacity, size_t* got, std::string*) {
          *got = std::min({capacity, size - given, size_t{10007}});
          std::memcpy(data, want.data() + given, *got);
          given += *got;
          return true;
        },
        &error))
        << error;
    EXPECT_EQ(from_source.whole(), size < kWholeContentBytes);
    EXPECT_TRUE(All(from_source, &ok, &error) == want) << error;
    EXPECT_TRUE(ok);
  }
}

TEST_F(ChangingFilesTest, AnImportRefusesAFileThatChangedAndKeepsTheOldEntry) {
  std::string error;
  std::unique_ptr<Session> session = Session::StartOver(
      refhost::NewMemoryCatalogStore(), VUVOROZO_MODULE_PATH, "memory", &error);
  ASSERT_NE(session, nullptr) << error;
  Words no_options;
  ImportSettings settings;
  settings.option_words = &no_options;
  Tally tally;
  std::string path = Make("g.txt", Numbers(kWholeContentBytes * 3));
  const std::string first_text = Numbers(kWholeContentBytes * 3);

  // Imports g.txt as the file's first look found it; change runs between
  // the load and the passes that write it.
  auto import = [&](const std::function<void()>& change) {
    int fd = open(path.c_str(), O_RDONLY);
    EXPECT_GE(fd, 0);
    struct stat st;
    EXPECT_EQ(fstat(fd, &st), 0);
    FileStamp stamp;
    EXPECT_TRUE(StampOf(fd, &stamp));
    FileFacts facts;
    facts.mode = st.st_mode & 07777;
    facts.size = stamp.size;
    facts.modified_ns = stamp.modified_ns;
    facts.changed_ns = stamp.changed_ns;
    CatalogImport catalog(*session, settings, tally);
    EXPECT_TRUE(catalog.Begin("WORK.GROWN", ""));
    Outcome outcome =
        catalog.File("g.txt", facts, fd, [&](Content& content, std::string* e) {
          bool loaded = content.Load(fd, e, &stamp);
          change();
          return loaded;
        });
    EXPECT_TRUE(catalog.End());
    close(fd);
    return outcome;
  };
  EXPECT_EQ(import([] {}), Outcome::kDone);
  EXPECT_EQ(tally.skipped, 0);

  // Cut to 5,000,000 bytes mid-line while it is read: refused, the entry
  // keeps the first import's bytes and size.
  EXPECT_EQ(import([&] { ASSERT_EQ(truncate(path.c_str(), 5000000), 0); }),
            Outcome::kSkipped);
  // Grown by a line, then by nothing but a touch.
  std::ofstream(path, std::ios::binary) << first_text;
  EXPECT_EQ(import([&] { Append(path, "more\n"); }), Outcome::kSkipped);
  std::ofstream(path, std::ios::binary) << first_text;
  EXPECT_EQ(import([&] { Touch(path, 2000000); }), Outcome::kSkipped);

  MountTree tree(*session, true);
  struct stat st;
  ASSERT_EQ(tree.GetAttributes("/work/grown/g.txt", 0, &st), 0);
  EXPECT_EQ(static_cast<size_t>(st.st_size), first_text.size());
  uint64_t handle = 0;
  ASSERT_EQ(tree.Open("/work/grown/g.txt", O_RDONLY, &handle), 0);
  std::string bytes(first_text.size() + 10, '\0');
  size_t got = 0;
  for (int n; (n = tree.Read(handle, bytes.data() + got,
                             std::min<size_t>(1 << 20, bytes.size() - got),
                             static_cast<off_t>(got))) > 0;) {
    got += static_cast<size_t>(n);
  }
  bytes.resize(got);
  EXPECT_EQ(tree.Release(handle), 0);
  EXPECT_TRUE(bytes == first_text) << bytes.size();
  tree.Shutdown();
}

}  // namespace
}  // namespace cli
