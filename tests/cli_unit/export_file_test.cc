// A file an export makes in a folder: a new name is created as it is, an
// existing one (a file, a link) replaced only at Commit, and whatever was
// there before is what stays when the file goes without Commit.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "cli/files/content.h"
#include "cli/files/file_writer.h"
#include "refhost/host/file_attributes.h"

namespace cli {
namespace {

class ExportFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vuvorozo-export-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    folder_ = open(root_.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(folder_, 0);
  }
  void TearDown() override {
    close(folder_);
    std::filesystem::remove_all(root_);
  }

  std::set<std::string> Names() const {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(root_)) {
      names.insert(e.path().filename().string());
    }
    return names;
  }
  std::string Read(const std::string& name) const {
    std::ifstream in(root_ + "/" + name);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  void Write(const std::string& name, const std::string& text) const {
    std::ofstream(root_ + "/" + name) << text;
  }
  static void Put(ExportFile& file, const std::string& text) {
    ASSERT_EQ(write(file.fd(), text.data(), text.size()), (ssize_t)text.size());
  }

  std::string root_;
  int folder_ = -1;
};

TEST_F(ExportFileTest, ANewNameIsCreatedAsItIsAndGoesWithoutCommit) {
  {
    ExportFile file(folder_, "new.txt");
    ASSERT_TRUE(file.Create()) << file.error();
    EXPECT_EQ(Names(), std::set<std::string>{"new.txt"}) << "no temporary";
    Put(file, "new\n");
    ASSERT_TRUE(file.Commit(0640, 1709287200LL * 1000000000 + 5))
        << file.error();
  }
  EXPECT_EQ(Read("new.txt"), "new\n");
  struct stat st;
  ASSERT_EQ(stat((root_ + "/new.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(st.st_mtim.tv_sec, 1709287200);
  EXPECT_EQ(st.st_mtim.tv_nsec, 5);

  // Stopped before its Commit, a new file goes: the name is free again.
  {
    ExportFile file(folder_, "stopped.txt");
    ASSERT_TRUE(file.Create());
    Put(file, "half");
  }
  EXPECT_EQ(Names(), std::set<std::string>{"new.txt"});
}

TEST_F(ExportFileTest, AnExistingFileOrLinkIsReplacedOnlyAtCommit) {
  Write("old.txt", "old\n");
  Write("outside.txt", "outside\n");
  std::filesystem::create_symlink("outside.txt", root_ + "/link.txt");
  std::filesystem::create_symlink("nowhere.txt", root_ + "/dangling.txt");
  {
    ExportFile file(folder_, "old.txt");
    ASSERT_TRUE(file.Create());
    Put(file, "half");
    EXPECT_EQ(Read("old.txt"), "old\n") << "untouched until Commit";
  }
  EXPECT_EQ(Read("old.txt"), "old\n");
  EXPECT_EQ(Names(), (std::set<std::string>{"dangling.txt", "link.txt",
                                            "old.txt", "outside.txt"}))
      << "the temporary went";
  for (const char* name : {"old.txt", "link.txt", "dangling.txt"}) {
    ExportFile file(folder_, name);
    ASSERT_TRUE(file.Create()) << name;
    Put(file, std::string("now ") + name);
    ASSERT_TRUE(file.Commit(0644, 0)) << file.error();
  }
  EXPECT_EQ(Read("old.txt"), "now old.txt");
  // A link is replaced by the file, never followed.
  EXPECT_FALSE(std::filesystem::is_symlink(root_ + "/link.txt"));
  EXPECT_EQ(Read("link.txt"), "now link.txt");
  EXPECT_EQ(Read("outside.txt"), "outside\n");
  EXPECT_FALSE(std::filesystem::is_symlink(root_ + "/dangling.txt"));
  EXPECT_EQ(Names(), (std::set<std::string>{"dangling.txt", "link.txt",
                                            "old.txt", "outside.txt"}));
}

}  // namespace
}  // namespace cli

namespace cli {
namespace {

// Files made by the file writer beside their reading: each as ExportFile
// makes it (bytes, mode, time; an existing file replaced, a folder in the
// way refused), the results in the order handed, a folder kept open by the
// writer for as long as it needs it, and no more bytes waiting than the
// bound allows but one file's. Nothing is left of a file that could not be
// made.
TEST_F(ExportFileTest, TheFileWriterMakesFilesInTheOrderHanded) {
  ASSERT_EQ(mkdir((root_ + "/sub").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((root_ + "/taken").c_str(), 0755), 0);
  Write("old.txt", "old");
  int sub = open((root_ + "/sub").c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(sub, 0);
  auto sub_owner = std::make_shared<const Descriptor>(sub);
  FileWriter writer(1000, 100);
  EXPECT_TRUE(writer.Room(1000)) << "one file is always taken";
  const int64_t kTime = 1600000000123456789;
  std::vector<std::string> names;
  for (int i = 0; i < 200; ++i) {
    std::string name = "note" + std::to_string(i) + ".txt";
    writer.Hand(folder_, nullptr, name, name, "note " + std::to_string(i), 0640,
                kTime + i);
    names.push_back(name);
  }
  writer.Hand(folder_, nullptr, "old.txt", "old.txt", "new", 0600, kTime);
  writer.Hand(folder_, nullptr, "taken", "taken", "x", 0600, kTime);
  // The folder's own descriptor goes before the writer is done with it.
  writer.Hand(sub, sub_owner, "deep.csv", "sub/deep.csv", "a,b\n", 0644, kTime);
  sub_owner.reset();
  EXPECT_FALSE(writer.Room(100)) << "200 notes wait, or were just made";
  for (int i = 0; i < 200; ++i) {
    std::string error;
    ASSERT_TRUE(writer.Take(&error)) << names[i] << ": " << error;
  }
  std::string error;
  ASSERT_TRUE(writer.Take(&error)) << error;
  EXPECT_FALSE(writer.Take(&error));
  EXPECT_EQ(error.find("cannot write taken: "), 0u) << error;
  ASSERT_TRUE(writer.Take(&error)) << error;
  EXPECT_EQ(writer.pending(), 0u);
  EXPECT_FALSE(writer.Take(&error)) << "nothing is left to take";
  for (int i = 0; i < 200; ++i) {
    EXPECT_EQ(Read(names[i]), "note " + std::to_string(i));
    struct stat st;
    ASSERT_EQ(stat((root_ + "/" + names[i]).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec, kTime + i);
  }
  EXPECT_EQ(Read("old.txt"), "new");
  EXPECT_EQ(Read("sub/deep.csv"), "a,b\n");
  EXPECT_TRUE(std::filesystem::is_directory(root_ + "/taken"));
  EXPECT_EQ(Names().size(), 200u + 3u) << "no temporary file is left";
  EXPECT_TRUE(writer.Room(100));
}

}  // namespace
}  // namespace cli

namespace cli {
namespace {

// An Output asked to hash sums exactly the bytes put after it was asked,
// whatever their pieces (lines across the buffer's end, pieces larger than
// the buffer), to a descriptor or to memory alike.
TEST_F(ExportFileTest, AnOutputHashesEveryBytePutAfterItIsAsked) {
  std::string before = "put before the hash was asked for\n";
  std::string after;
  auto put_all = [&](Output& out) {
    EXPECT_TRUE(out.Put(before.data(), before.size()));
    refhost::ContentHash summed;
    out.HashInto(&summed);
    after.clear();
    for (int i = 0; i < 3000; ++i) {
      std::string line = "line " + std::to_string(i) + std::string(i % 97, 'x');
      EXPECT_TRUE(out.PutLine(line.data(), line.size()));
      after += "\n" + line;
    }
    std::string large(200 << 10, 'L');
    EXPECT_TRUE(out.Put(large.data(), large.size()));
    EXPECT_TRUE(out.PutLine("end", 3));
    after += large + "\nend";
    EXPECT_TRUE(out.Flush());
    out.HashInto(nullptr);
    EXPECT_TRUE(out.Put("not hashed", 10));
    refhost::ContentHash expected;
    expected.Add(after.data(), after.size());
    EXPECT_EQ(summed.Value(), expected.Value());
  };
  std::string memory;
  {
    Output out(&memory);
    put_all(out);
  }
  EXPECT_EQ(memory, before + after + "not hashed");
  ExportFile file(folder_, "out.txt");
  ASSERT_TRUE(file.Create());
  {
    Output out(file.fd());
    put_all(out);
    EXPECT_TRUE(out.Flush());
  }
  ASSERT_TRUE(file.Commit(0644, 0));
  EXPECT_EQ(Read("out.txt"), before + after + "not hashed");
}

}  // namespace
}  // namespace cli
