// The program against folders and libraries that others prepared, files
// too large for a 32-bit process to hold, and memory that runs out: it
// writes nowhere but inside the folder it was given, imports or names
// every file, and never aborts or loses an entry's old content.

#include <sys/resource.h>

#include "cli/program.h"
#include "refhost/host/file_attributes.h"
#include "refhost/store/catalog_store.h"

namespace {

class HostileTest : public ProgramTest {
 protected:
  // Puts an entry into the data folder's library as another program might
  // have: any name, any type, any host attributes.
  void Plant(std::string_view catalog, std::string_view name,
             std::string_view type, const refhost::FileAttributes* attributes) {
    auto store = refhost::NewSqliteCatalogStore(data_);
    ASSERT_TRUE(store->CreateCatalog("WORK", catalog).ok());
    std::unique_ptr<refhost::EntryCursor> cursor;
    ASSERT_TRUE(store
                    ->OpenEntry("WORK", catalog, name, type,
                                refhost::OpenIntent::kReplace, "", &cursor)
                    .ok());
    if (attributes != nullptr) {
      cursor->SetHostAttributes(refhost::EncodeFileAttributes(*attributes));
    }
    ASSERT_TRUE(cursor->Write("planted", 7, 145).ok());
    ASSERT_TRUE(cursor->Commit().ok());
  }
  static bool Sanitized() {
#if defined(__SANITIZE_ADDRESS__)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    return true;
#endif
#endif
    return false;
  }
};

TEST_F(HostileTest, ExportWritesOnlyInsideItsFolderAndNeverThroughALink) {
  std::string out = root_ + "/out";
  std::string outside = root_ + "/outside";
  std::filesystem::create_directories(out);
  std::filesystem::create_directories(outside);
  WriteFile(outside + "/victim.txt", "victim\n");
  ASSERT_EQ(Run({"write", "work.c.a"}, "a\n").code, 0);
  ASSERT_EQ(Run({"write", "work.c.b"}, "b\n").code, 0);
  // Links planted where the files will go: one to a file outside, one to
  // a file that does not exist yet.
  std::filesystem::create_symlink("../outside/victim.txt", out + "/a.txt");
  std::filesystem::create_symlink("../outside/new.txt", out + "/b.txt");

  // Entries another program wrote: names and types that are paths, and a
  // recorded file name and folder that climb out.
  refhost::FileAttributes climbing;
  climbing.file_name = "../escape.txt";
  climbing.folder = "../up";
  climbing.mode = 06755;  // set-user-ID and set-group-ID
  Plant("C", "UP", "CATAMS", &climbing);
  Plant("C", "X/Y", "CATAMS", nullptr);
  Plant("C", "Z", "../../Q", nullptr);
  Plant("D", "W", "CATAMS", &climbing);

  Outcome exported = Run({"export", "work.c", out});
  EXPECT_EQ(exported.code, 1);
  EXPECT_NE(exported.err.find("X/Y.CATAMS: skipped: the name cannot be part "
                              "of a file name"),
            std::string::npos)
      << exported.err;
  EXPECT_NE(exported.err.find("Z.../../Q: skipped"), std::string::npos);
  EXPECT_NE(exported.err.find("the recorded path ../escape.txt is not used (a "
                              "'..' step"),
            std::string::npos);
  EXPECT_EQ(ReadFile(outside + "/victim.txt"), "victim\n");
  EXPECT_FALSE(std::filesystem::exists(outside + "/new.txt"));
  EXPECT_FALSE(std::filesystem::exists(root_ + "/escape.txt"));
  EXPECT_FALSE(std::filesystem::is_symlink(out + "/a.txt"));
  EXPECT_EQ(ReadFile(out + "/a.txt"), "a\n");
  EXPECT_EQ(ReadFile(out + "/b.txt"), "b\n");
  EXPECT_EQ(ReadFile(out + "/up.txt"), "planted\n");
  EXPECT_EQ(Snapshot(out)["up.txt"].mode, 0755u);

  // A folder of a tree export planted as a link to outside is not entered.
  std::string tree = root_ + "/tree";
  std::filesystem::create_directories(tree);
  std::filesystem::create_directory_symlink("../outside", tree + "/d");
  Outcome recursive = Run({"export", "-r", "work", tree});
  EXPECT_EQ(recursive.code, 1);
  EXPECT_NE(recursive.err.find("d: cannot make the folder (a link is not "
                               "followed)"),
            std::string::npos)
      << recursive.err;
  EXPECT_EQ(std::vector<std::string>({"victim.txt"}), [&] {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(outside)) {
      names.push_back(e.path().filename().string());
    }
    return names;
  }());
  // Nothing was left behind under a temporary name.
  for (const auto& e : std::filesystem::recursive_directory_iterator(out)) {
    EXPECT_EQ(e.path().filename().string().rfind(".vuvorozo-tmp-", 0),
              std::string::npos);
  }
}

TEST_F(HostileTest, AFileOfTwoGigabytesIsImportedAndExported) {
  if (getenv("VUVOROZO_PROGRAM_WRAPPER") != nullptr) {
    GTEST_SKIP() << "moves two gigabytes; not under a wrapper";
  }
  std::string in = root_ + "/in";
  std::filesystem::create_directory(in);
  constexpr int64_t kSize = (int64_t(1) << 31) + 1;
  int fd = open((in + "/sparse.pdf").c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate64(fd, kSize), 0);
  close(fd);
  WriteFile(in + "/small.txt", "small\n");
  Outcome imported = Run({"import", "-v", in, "work.big"});
  EXPECT_EQ(imported.code, 0) << imported.err;
  EXPECT_NE(imported.out.find("sparse.pdf -> WORK.BIG.SPARSE.PDF"),
            std::string::npos)
      << imported.out;
  auto store = refhost::NewSqliteCatalogStore(data_);
  refhost::EntryInfo info;
  ASSERT_TRUE(store->FindEntry("WORK", "BIG", "SPARSE", "PDF", &info).ok());
  refhost::FileAttributes a;
  ASSERT_TRUE(refhost::DecodeFileAttributes(info.host_attributes, &a));
  EXPECT_EQ(a.size, kSize);
  EXPECT_EQ(a.records, refhost::RecordMapping::kChunks);

  // Out again as a member of a tar stream, read by tar as it comes: its
  // header gives the size (past what 32 bits and the old tar header hold),
  // and every byte of it arrives.
  std::string code_file = root_ + "/export.code";
  std::string command =
      std::string("{ '") + VUVOROZO_PROGRAM_PATH + "' --data '" + data_ +
      "' export work.big -; echo $? > '" + code_file + "'; } | tar -tvf - 2>&1";
  FILE* listing = popen(command.c_str(), "r");
  ASSERT_NE(listing, nullptr);
  std::string listed;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, listing)) > 0;) {
    listed.append(buffer, n);
  }
  EXPECT_EQ(pclose(listing), 0) << listed;
  EXPECT_EQ(ReadFile(code_file), "0\n") << "export failed";
  EXPECT_NE(listed.find(" " + std::to_string(kSize) + " "), std::string::npos)
      << listed;
  EXPECT_NE(listed.find("sparse.pdf"), std::string::npos) << listed;
}

// Memory that runs out at every point of a write or an import, from the
// start of the program on: each run ends with exit code 0 or 1 (with a
// message), never an abort, and the entry holds its old content or the
// new one, whole.
TEST_F(HostileTest, RunningOutOfMemoryEndsWithAMessageAndKeepsTheEntry) {
  if (Sanitized() || getenv("VUVOROZO_PROGRAM_WRAPPER") != nullptr) {
    GTEST_SKIP() << "limits the address space; not with a sanitizer or "
                    "wrapper";
  }
  // More than the program reads whole: it goes through a temporary file.
  std::string input = Bytes(5 << 20, 11);
  std::string in = root_ + "/in";
  std::filesystem::create_directory(in);
  WriteFile(in + "/p.txt", input);
  WriteFile(root_ + "/input", input);
  auto limited = [&](long kilobytes, const std::string& command) {
    std::string line = "ulimit -v " + std::to_string(kilobytes) + "; exec " +
                       VUVOROZO_PROGRAM_PATH + " --data " + data_ + " " +
                       command + " 2>" + root_ + "/err";
    int status = system(line.c_str());
    return status;
  };
  // The least address space in which the program starts and answers.
  ASSERT_EQ(Run({"write", "work.c.p"}, "precious\n").code, 0);
  long low = 4000, high = 200000;
  while (high - low > 250) {
    long middle = (low + high) / 2;
    int status = limited(middle, "exists work.c.p");
    (WIFEXITED(status) && WEXITSTATUS(status) == 0 ? high : low) = middle;
  }
  int failures = 0;
  const std::string commands[] = {"write work.c.p < " + root_ + "/input",
                                  "import " + in + " work.c"};
  for (long kilobytes = high; kilobytes < high + 12000; kilobytes += 750) {
    for (const std::string& command : commands) {
      SCOPED_TRACE(command + " in " + std::to_string(kilobytes) + " KB");
      ASSERT_EQ(Run({"write", "work.c.p"}, "precious\n").code, 0);
      int status = limited(kilobytes, command);
      ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
      int code = WEXITSTATUS(status);
      ASSERT_TRUE(code == 0 || code == 1) << code;
      if (code == 1) {
        ++failures;
        EXPECT_NE(ReadFile(root_ + "/err"), "");
      }
      std::string content = Run({"read", "work.c.p"}).out;
      EXPECT_TRUE(content == "precious\n" || content == input)
          << content.size() << " bytes";
    }
  }
  EXPECT_GT(failures, 0) << "memory never ran out";
}

}  // namespace
