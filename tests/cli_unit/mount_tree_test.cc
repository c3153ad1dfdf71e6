// The mount's tree on its own: the built module loaded into a session over
// a memory store, the tree driven as libfuse would drive it, without FUSE
// and without root. Files written are entries read back, stat gives the
// bytes a read gives, renames and removals go through the module, and what
// a catalog cannot hold is refused with its errno.

#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "cli/command_support.h"
#include "cli/files/entry_types.h"
#include "cli/files/manifest.h"
#include "cli/mount/tree.h"
#include "cli/records.h"
#include "cli/session.h"
#include "refhost/host/file_attributes.h"
#include "refhost/host/library_services.h"
#include "refhost/store/catalog_store.h"

namespace cli {
namespace {

class MountTreeTest : public ::testing::Test {
 protected:
  void SetUp() override { Start(false); }
  void TearDown() override {
    if (tree_ != nullptr) tree_->Shutdown();
    tree_.reset();
    // The tree gave back every fileref, block and handle it took.
    refhost::HostBalance balance = session_->host().Balance();
    EXPECT_EQ(balance.module_blocks + balance.temporary_blocks, 0);
    EXPECT_EQ(balance.host_handles(), 0);
    EXPECT_EQ(balance.bad_releases, 0);
    session_.reset();
  }

  void Start(bool read_only) {
    std::string error;
    session_ = Session::StartOver(refhost::NewMemoryCatalogStore(),
                                  VUVOROZO_MODULE_PATH, "memory", &error);
    ASSERT_NE(session_, nullptr) << error;
    tree_ = std::make_unique<MountTree>(*session_, read_only);
  }

  // Creates (or replaces) the file with bytes, as cp does: create, write,
  // close. Returns 0 or the first negative errno.
  int Write(const std::string& path, const std::string& bytes) {
    uint64_t handle = 0;
    int error =
        tree_->Create(path, 0640, O_WRONLY | O_CREAT | O_TRUNC, &handle);
    if (error != 0) return error;
    int n = tree_->Write(handle, bytes.data(), bytes.size(), 0);
    int flushed = tree_->Flush(handle);
    int released = tree_->Release(handle);
    if (n < 0) return n;
    return flushed != 0 ? flushed : released;
  }

  // The file's bytes, read in pieces of piece bytes.
  std::string Read(const std::string& path, size_t piece = 4096) {
    uint64_t handle = 0;
    EXPECT_EQ(tree_->Open(path, O_RDONLY, &handle), 0) << path;
    std::string bytes;
    std::vector<char> buffer(piece);
    for (;;) {
      int n = tree_->Read(handle, buffer.data(), piece, bytes.size());
      EXPECT_GE(n, 0) << path;
      if (n <= 0) break;
      bytes.append(buffer.data(), n);
    }
    EXPECT_EQ(tree_->Release(handle), 0);
    return bytes;
  }

  std::set<std::string> Names(const std::string& path) {
    std::vector<TreeItem> items;
    EXPECT_EQ(tree_->List(path, &items), 0) << path;
    std::set<std::string> names;
    for (const TreeItem& item : items) names.insert(item.name);
    return names;
  }

  // Every file of the folder: its listed size is its stat's and the bytes
  // a read gives.
  void ExpectSizesAreBytes(const std::string& folder) {
    std::vector<TreeItem> items;
    ASSERT_EQ(tree_->List(folder, &items), 0);
    for (const TreeItem& item : items) {
      std::string path = folder + "/" + item.name;
      struct stat st;
      ASSERT_EQ(tree_->GetAttributes(path, 0, &st), 0) << path;
      EXPECT_EQ(st.st_size, item.attributes.st_size) << path;
      EXPECT_EQ(static_cast<size_t>(st.st_size), Read(path).size()) << path;
    }
  }

  std::unique_ptr<Session> session_;
  std::unique_ptr<MountTree> tree_;
};

TEST_F(MountTreeTest, FilesWrittenAreEntriesThatReadBackWhole) {
  ASSERT_EQ(tree_->MakeFolder("/work"), 0);
  ASSERT_EQ(tree_->MakeFolder("/work/notes"), 0);
  EXPECT_EQ(Names("/"), std::set<std::string>{"work"});
  EXPECT_EQ(Names("/work"), std::set<std::string>{"notes"});
  std::string text = "Call the plumber\nBuy stamps";
  std::string binary(70000, '\0');
  for (size_t i = 0; i < binary.size(); ++i) binary[i] = char(i * 7 + 3);
  ASSERT_EQ(Write("/work/notes/jan.txt", text), 0);
  ASSERT_EQ(Write("/work/notes/photo.gif", binary), 0);
  ASSERT_EQ(Write("/work/notes/empty.txt", ""), 0);
  EXPECT_EQ(Names("/work/notes"),
            (std::set<std::string>{"empty.txt", "jan.txt", "photo.gif"}));
  EXPECT_EQ(Read("/work/notes/jan.txt"), text);
  EXPECT_EQ(Read("/work/notes/photo.gif", 1000), binary);
  EXPECT_EQ(Read("/work/notes/empty.txt"), "");
  ExpectSizesAreBytes("/work/notes");
  struct stat st;
  ASSERT_EQ(tree_->GetAttributes("/work/notes/jan.txt", 0, &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);

  // A read anywhere, and back again.
  uint64_t handle = 0;
  ASSERT_EQ(tree_->Open("/work/notes/photo.gif", O_RDONLY, &handle), 0);
  char piece[16];
  ASSERT_EQ(tree_->Read(handle, piece, sizeof piece, 50000), 16);
  EXPECT_EQ(std::string(piece, 16), binary.substr(50000, 16));
  ASSERT_EQ(tree_->Read(handle, piece, sizeof piece, 10), 16);
  EXPECT_EQ(std::string(piece, 16), binary.substr(10, 16));

  // A reader that opened the old content keeps it whole while the file is
  // replaced; the next open reads the new one.
  ASSERT_EQ(Write("/work/notes/photo.gif", "new"), 0);
  ASSERT_EQ(tree_->Read(handle, piece, sizeof piece, 69990), 10);
  EXPECT_EQ(std::string(piece, 10), binary.substr(69990));
  EXPECT_EQ(tree_->Release(handle), 0);
  EXPECT_EQ(Read("/work/notes/photo.gif"), "new");

  // What the store keeps is what the program reads: the entry, its bytes.
  refhost::EntryInfo info;
  ASSERT_TRUE(session_->host()
                  .library_services()
                  ->FindEntry("WORK", "NOTES", "JAN", "CATAMS", &info)
                  .ok());
  EXPECT_EQ(info.record_count, 2);
}

TEST_F(MountTreeTest, RenamesAndRemovalsGoThroughTheModule) {
  ASSERT_EQ(tree_->MakeFolder("/work"), 0);
  ASSERT_EQ(tree_->MakeFolder("/work/notes"), 0);
  ASSERT_EQ(tree_->MakeFolder("/work/other"), 0);
  std::string text = "one\r\ntwo\n\tthree  \n";
  ASSERT_EQ(Write("/work/notes/jan.txt", text), 0);

  // Another name in the catalog is another entry: a copy, then the old goes.
  ASSERT_EQ(tree_->Rename("/work/notes/jan.txt", "/work/notes/feb.txt", 0), 0);
  EXPECT_EQ(Names("/work/notes"), std::set<std::string>{"feb.txt"});
  EXPECT_EQ(Read("/work/notes/feb.txt"), text);
  // Across catalogs, and to another type and back: the bytes stay.
  ASSERT_EQ(tree_->Rename("/work/notes/feb.txt", "/work/other/feb.kor", 0), 0);
  EXPECT_EQ(Names("/work/notes"), std::set<std::string>{});
  EXPECT_EQ(Read("/work/other/feb.kor"), text);
  ASSERT_EQ(tree_->Rename("/work/other/feb.kor", "/work/other/feb.pdf", 0), 0);
  EXPECT_EQ(Read("/work/other/feb.pdf"), text);
  ExpectSizesAreBytes("/work/other");
  // The same entry under another file name keeps its records; only the
  // name kept with it changes.
  ASSERT_EQ(tree_->Rename("/work/other/feb.pdf", "/work/other/FEB.pdf", 0), 0);
  EXPECT_EQ(Names("/work/other"), std::set<std::string>{"FEB.pdf"});
  // A rename onto an existing file replaces it; with RENAME_NOREPLACE it is
  // refused.
  ASSERT_EQ(Write("/work/other/mar.txt", "march\n"), 0);
  EXPECT_EQ(tree_->Rename("/work/other/mar.txt", "/work/other/FEB.pdf", 1),
            -EEXIST);

  // A scratch file becomes an entry when it gets a name a catalog holds,
  // as rsync and editors save.
  ASSERT_EQ(Write("/work/other/.mar.txt.tmp", "March\n"), 0);
  EXPECT_EQ(Names("/work/other"),
            (std::set<std::string>{".mar.txt.tmp", "FEB.pdf", "mar.txt"}));
  ASSERT_EQ(tree_->Rename("/work/other/.mar.txt.tmp", "/work/other/mar.txt", 0),
            0);
  EXPECT_EQ(Read("/work/other/mar.txt"), "March\n");
  EXPECT_EQ(Names("/work/other"),
            (std::set<std::string>{"FEB.pdf", "mar.txt"}));

  // A file still open for writing at unmount is not kept: the entry keeps
  // what it had.
  uint64_t open = 0;
  ASSERT_EQ(tree_->Open("/work/other/mar.txt", O_WRONLY | O_TRUNC, &open), 0);
  ASSERT_EQ(tree_->Write(open, "half", 4, 0), 4);
  tree_->Shutdown();
  tree_ = std::make_unique<MountTree>(*session_, false);
  EXPECT_EQ(Read("/work/other/mar.txt"), "March\n");

  EXPECT_EQ(tree_->RemoveFolder("/work/other"), -ENOTEMPTY);
  EXPECT_EQ(tree_->Remove("/work/other/FEB.pdf"), 0);
  EXPECT_EQ(tree_->Remove("/work/other/mar.txt"), 0);
  EXPECT_EQ(tree_->Remove("/work/other/mar.txt"), -ENOENT);
  EXPECT_EQ(tree_->RemoveFolder("/work/other"), 0);
  EXPECT_EQ(Names("/work"), std::set<std::string>{"notes"});
}

// Two entries that keep one file name (a copy keeps its source's) show
// both, by the rule export follows, and a change shows at once.
TEST_F(MountTreeTest, EntriesKeepingOneFileNameAreAllShown) {
  ASSERT_EQ(tree_->MakeFolder("/work"), 0);
  ASSERT_EQ(tree_->MakeFolder("/work/c"), 0);
  ASSERT_EQ(Write("/work/c/a.txt", "first\n"), 0);
  refhost::EntryInfo info;
  ASSERT_TRUE(session_->host()
                  .library_services()
                  ->FindEntry("WORK", "C", "A", "CATAMS", &info)
                  .ok());
  int32_t status = 0;
  ASSERT_TRUE(CopyEntry(*session_, "WORK.C.A.CATAMS", info, "WORK.C.B.CATAMS",
                        nullptr, &status));
  EXPECT_EQ(Names("/work/c"), (std::set<std::string>{"a.txt", "b.txt"}));
  EXPECT_EQ(Read("/work/c/b.txt"), "first\n");
  ExpectSizesAreBytes("/work/c");
  EXPECT_EQ(tree_->Remove("/work/c/a.txt"), 0);
  EXPECT_EQ(Names("/work/c"), std::set<std::string>{"a.txt"});
  EXPECT_EQ(Read("/work/c/a.txt"), "first\n");
}

// The entries of a catalog, NAME.TYPE, as the store holds them.
std::set<std::string> EntriesOf(Session& session, const std::string& catalog) {
  std::vector<refhost::EntryInfo> infos;
  std::set<std::string> keys;
  std::vector<std::string> names;
  EXPECT_TRUE(session.host().store()->List("WORK", catalog, &infos).ok());
  for (const refhost::EntryInfo& info : infos) {
    keys.insert(info.name + "." + info.type);
  }
  return keys;
}

TEST_F(MountTreeTest, AnyNameAndAnyDepthIsTakenAndWhatIsNotIsRefused) {
  ASSERT_EQ(tree_->MakeFolder("/work"), 0);
  ASSERT_EQ(tree_->MakeFolder("/work/notes"), 0);
  // Names no entry name holds are fitted; the file keeps its own.
  for (const std::string& name :
       {std::string("jquery.min.js"), std::string(33, 'x') + ".txt",
        std::string("trail .txt"), std::string("bad\xFF\n.txt"),
        std::string(".gitignore"), std::string("A.txt"),
        std::string("a.txt")}) {
    ASSERT_EQ(Write("/work/notes/" + name, name + "\n"), 0) << name;
    EXPECT_EQ(Read("/work/notes/" + name), name + "\n") << name;
  }
  EXPECT_EQ(EntriesOf(*session_, "NOTES").size(), 7u);
  // Folders of any depth, made one by one, hold files and stay when empty.
  ASSERT_EQ(tree_->MakeFolder("/work/notes/sub", 0700), 0);
  ASSERT_EQ(tree_->MakeFolder("/work/notes/sub/deeper"), 0);
  ASSERT_EQ(Write("/work/notes/sub/deeper/a.txt", "deep\n"), 0);
  ASSERT_EQ(tree_->MakeFolder("/work/notes/sub/empty"), 0);
  EXPECT_EQ(Names("/work/notes/sub"),
            (std::set<std::string>{"deeper", "empty"}));
  EXPECT_EQ(Read("/work/notes/sub/deeper/a.txt"), "deep\n");
  struct stat st;
  ASSERT_EQ(tree_->GetAttributes("/work/notes/sub", 0, &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ExpectSizesAreBytes("/work/notes/sub/deeper");
  uint64_t handle = 0;
  int create = O_WRONLY | O_CREAT;
  EXPECT_EQ(tree_->Create("/work/notes/none/a.txt", 0644, create, &handle),
            -ENOENT);
  EXPECT_EQ(tree_->MakeFolder("/work/notes/a.txt/x"), -ENOTDIR);
  EXPECT_EQ(tree_->MakeFolder("/work/notes/sub"), -EEXIST);
  EXPECT_EQ(tree_->Create("/work/notes/" + std::string(256, 'y'), 0644, create,
                          &handle),
            -ENAMETOOLONG);
  EXPECT_EQ(tree_->RemoveFolder("/work/notes/sub"), -ENOTEMPTY);
  EXPECT_EQ(tree_->RemoveFolder("/work/notes/sub/empty"), 0);
  EXPECT_EQ(Names("/work/notes/sub"), std::set<std::string>{"deeper"});
  // A folder renamed within its catalog: only the paths change.
  ASSERT_EQ(tree_->Rename("/work/notes/sub", "/work/notes/moved", 0), 0);
  EXPECT_EQ(Read("/work/notes/moved/deeper/a.txt"), "deep\n");
  EXPECT_EQ(tree_->GetAttributes("/work/notes/sub", 0, &st), -ENOENT);

  EXPECT_EQ(tree_->Create("/work/a.txt", 0644, create, &handle), -EPERM);
  EXPECT_EQ(tree_->MakeFolder("/toolonglibref"), -ENAMETOOLONG);
  EXPECT_EQ(tree_->MakeFolder("/no-dash"), -EINVAL);
  EXPECT_EQ(tree_->ChangeOwner("/work/notes/a.txt", getuid() + 1, -1), -EPERM);
  // A bit the file would lose is refused; the mode stays as it was.
  EXPECT_EQ(tree_->ChangeMode("/work/notes/a.txt", 0, 04755), -EPERM);
  EXPECT_EQ(tree_->ChangeMode("/work/notes/a.txt", 0, 01644), -EPERM);
  EXPECT_EQ(tree_->ChangeMode("/work/notes/none.txt", 0, 04755), -ENOENT);

  ASSERT_EQ(tree_->GetAttributes("/work/notes/a.txt", 0, &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(tree_->Rename("/work/notes/a.txt", "/work/notes/.a.txt.swp", 0),
            -EPERM);
  EXPECT_EQ(tree_->RemoveFolder("/work"), -ENOTEMPTY);
  // A catalog's folder of a name no catalog holds keeps its name.
  ASSERT_EQ(tree_->MakeFolder("/work/My Notes.2024"), 0);
  EXPECT_EQ(Names("/work"), (std::set<std::string>{"My Notes.2024", "notes"}));
  ASSERT_EQ(Write("/work/My Notes.2024/x.txt", "x\n"), 0);
  EXPECT_EQ(Read("/work/My Notes.2024/x.txt"), "x\n");
}

TEST_F(MountTreeTest, RenamesChangeNamesOnlyAndTemporariesLeaveNoEntries) {
  ASSERT_EQ(tree_->MakeFolder("/work"), 0);
  ASSERT_EQ(tree_->MakeFolder("/work/notes"), 0);
  ASSERT_EQ(Write("/work/notes/a.txt", "first\n"), 0);
  // Renamed within the catalog, the entry stays the one it was.
  ASSERT_EQ(tree_->Rename("/work/notes/a.txt", "/work/notes/b.txt", 0), 0);
  EXPECT_EQ(EntriesOf(*session_, "NOTES"), std::set<std::string>{"A.CATAMS"});
  EXPECT_EQ(Names("/work/notes"), std::set<std::string>{"b.txt"});
  EXPECT_EQ(Read("/work/notes/b.txt"), "first\n");
  // A new a.txt has an entry of its own.
  ASSERT_EQ(Write("/work/notes/a.txt", "second\n"), 0);
  EXPECT_EQ(EntriesOf(*session_, "NOTES"),
            (std::set<std::string>{"A.CATAMS", "A~2.CATAMS"}));

  // rsync: a temporary written and closed, its time set, then renamed over
  // the real name; the entry of the real name takes the bytes.
  std::string temporary = "/work/notes/.b.txt.Xy12Ab";
  ASSERT_EQ(Write(temporary, "from rsync\n"), 0);
  struct timespec times[2] = {{0, UTIME_OMIT}, {1500000000, 5}};
  ASSERT_EQ(tree_->SetTimes(temporary, 0, times), 0);
  EXPECT_EQ(Names("/work/notes"),
            (std::set<std::string>{".b.txt.Xy12Ab", "a.txt", "b.txt"}));
  EXPECT_EQ(EntriesOf(*session_, "NOTES").size(), 2u);
  ASSERT_EQ(tree_->Rename(temporary, "/work/notes/b.txt", 0), 0);
  EXPECT_EQ(EntriesOf(*session_, "NOTES"),
            (std::set<std::string>{"A.CATAMS", "A~2.CATAMS"}));
  EXPECT_EQ(Read("/work/notes/b.txt"), "from rsync\n");
  struct stat st;
  ASSERT_EQ(tree_->GetAttributes("/work/notes/b.txt", 0, &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, 1500000000);

  // An editor's swap file and a backup copy come and go, never stored.
  ASSERT_EQ(Write("/work/notes/.b.txt.swp", "swap"), 0);
  ASSERT_EQ(Write("/work/notes/b.txt~", "from rsync\n"), 0);
  ASSERT_EQ(Write("/work/notes/b.txt", "edited\n"), 0);
  EXPECT_EQ(tree_->Remove("/work/notes/b.txt~"), 0);
  EXPECT_EQ(tree_->Remove("/work/notes/.b.txt.swp"), 0);
  EXPECT_EQ(EntriesOf(*session_, "NOTES").size(), 2u);
  EXPECT_EQ(Read("/work/notes/b.txt"), "edited\n");
  // Dot files that are no temporaries are files like any other.
  ASSERT_EQ(Write("/work/notes/.htaccess", "deny\n"), 0);
  EXPECT_EQ(EntriesOf(*session_, "NOTES").size(), 3u);

  // A temporary left when the mount ends is kept under its own name.
  ASSERT_EQ(Write("/work/notes/left.txt~", "left\n"), 0);
  tree_->Shutdown();
  tree_ = std::make_unique<MountTree>(*session_, false);
  EXPECT_EQ(Read("/work/notes/left.txt~"), "left\n");
  EXPECT_EQ(EntriesOf(*session_, "NOTES").size(), 4u);
}

TEST_F(MountTreeTest, AReadOnlyTreeRefusesEveryChange) {
  ASSERT_EQ(tree_->MakeFolder("/work"), 0);
  ASSERT_EQ(tree_->MakeFolder("/work/notes"), 0);
  ASSERT_EQ(Write("/work/notes/a.txt", "a\n"), 0);
  tree_->Shutdown();
  // The same store, now read only.
  tree_ = std::make_unique<MountTree>(*session_, true);
  uint64_t handle = 0;
  EXPECT_EQ(
      tree_->Create("/work/notes/b.txt", 0644, O_WRONLY | O_CREAT, &handle),
      -EROFS);
  EXPECT_EQ(tree_->Open("/work/notes/a.txt", O_WRONLY, &handle), -EROFS);
  EXPECT_EQ(tree_->Remove("/work/notes/a.txt"), -EROFS);
  EXPECT_EQ(tree_->Rename("/work/notes/a.txt", "/work/notes/b.txt", 0), -EROFS);
  EXPECT_EQ(tree_->MakeFolder("/work/more"), -EROFS);
  EXPECT_EQ(tree_->ChangeMode("/work/notes/a.txt", 0, 0600), -EROFS);
  EXPECT_EQ(Read("/work/notes/a.txt"), "a\n");
}

// An entry that keeps no size (written by another host) is counted once a
// version: a listing and a stat give the bytes a read gives, and a new
// version its own.
TEST_F(MountTreeTest, SizesNotKeptAreCountedOnceAVersion) {
  ASSERT_EQ(tree_->MakeFolder("/work"), 0);
  ASSERT_EQ(tree_->MakeFolder("/work/c"), 0);
  auto forget_size = [&] {
    refhost::EntryInfo info;
    ASSERT_TRUE(session_->host()
                    .library_services()
                    ->FindEntry("WORK", "C", "A", "CATAMS", &info)
                    .ok());
    refhost::FileAttributes kept;
    ASSERT_TRUE(refhost::DecodeFileAttributes(info.host_attributes, &kept));
    kept.size.reset();
    Fileref fileref(*session_);
    Directory directory(*session_);
    ASSERT_TRUE(
        OpenExistingCatalog(*session_, fileref, directory, "WORK.C", nullptr));
    EntryStream entry(*session_);
    EntryKey key{"WORK", "C", "A", "CATAMS"};
    ASSERT_EQ(entry.OpenMember(directory, key, "A.CATAMS", kDefaultTypeHint,
                               kOpenUpdate, kInputRecordLength, nullptr),
              0);
    entry.SetAttributes(refhost::EncodeFileAttributes(kept));
    ASSERT_EQ(entry.Close(), 0);
    directory.Close();
  };
  ASSERT_EQ(Write("/work/c/a.txt", "one\ntwo\n"), 0);
  forget_size();
  for (int twice = 0; twice < 2; ++twice) {
    ExpectSizesAreBytes("/work/c");
    struct stat st;
    ASSERT_EQ(tree_->GetAttributes("/work/c/a.txt", 0, &st), 0);
    EXPECT_EQ(st.st_size, 8);
  }
  ASSERT_EQ(Write("/work/c/a.txt", "three\n"), 0);
  forget_size();
  struct stat st;
  ASSERT_EQ(tree_->GetAttributes("/work/c/a.txt", 0, &st), 0);
  EXPECT_EQ(st.st_size, 6);
  ExpectSizesAreBytes("/work/c");
}

// A folder of many files, past what a view holds in memory: each folder
// lists exactly its files and folders, with any name; a listing being read
// goes on as it began while the catalog changes, and the next one shows the
// change, whoever made it. The manifest is export's: a line a file, in the
// order of their paths.
TEST_F(MountTreeTest, LargeFoldersListEveryNameAndFollowEveryWriter) {
  ASSERT_EQ(tree_->MakeFolder("/work"), 0);
  ASSERT_EQ(tree_->MakeFolder("/work/big"), 0);
  const std::vector<std::string> folders = {"", "sub", "a b", "sub/\xc3\xbc"};
  for (const std::string& folder : folders) {
    if (!folder.empty()) {
      ASSERT_EQ(tree_->MakeFolder("/work/big/" + folder), 0) << folder;
    }
  }
  std::map<std::string, std::set<std::string>> expected = {
      {"", {"sub", "a b"}},
      {"sub", {"\xc3\xbc"}},
      {"a b", {}},
      {"sub/\xc3\xbc", {}}};
  const std::vector<std::string> names = {"note ", "line\nbreak ", ".profile",
                                          "\xe2\x82\xac", "x.tar."};
  for (int i = 0; i < 1200; ++i) {
    const std::string& folder = folders[i % folders.size()];
    std::string name = names[i % names.size()] + std::to_string(i) + ".txt";
    std::string path = folder.empty() ? name : folder + "/" + name;
    ASSERT_EQ(Write("/work/big/" + path, "line " + std::to_string(i) + "\n"), 0)
        << path;
    expected[folder].insert(name);
  }
  for (const auto& [folder, wanted] : expected) {
    EXPECT_EQ(Names("/work/big" + (folder.empty() ? "" : "/" + folder)), wanted)
        << folder;
  }
  ExpectSizesAreBytes("/work/big/a b");

  // A listing begun, then a file removed and one written, by this tree and
  // by another over the same store (another process, as far as the views
  // know): the listing goes on as it began; the next shows the changes.
  std::unique_ptr<FolderReader> reader;
  ASSERT_EQ(tree_->OpenFolder("/work/big", &reader), 0);
  std::set<std::string> listed;
  TreeItem item;
  for (int i = 0; i < 10 && reader->Next(&item) > 0; ++i) {
    listed.insert(item.name);
  }
  std::string gone = *expected[""].rbegin();
  EXPECT_EQ(tree_->Remove("/work/big/" + gone), 0);
  ASSERT_EQ(Write("/work/big/late.txt", "late\n"), 0);
  {
    MountTree other(*session_, false);
    uint64_t handle = 0;
    ASSERT_EQ(other.Create("/work/big/other.txt", 0644,
                           O_WRONLY | O_CREAT | O_TRUNC, &handle),
              0);
    ASSERT_EQ(other.Write(handle, "other\n", 6, 0), 6);
    ASSERT_EQ(other.Release(handle), 0);
    ASSERT_EQ(other.Remove("/work/big/" + *expected[""].begin()), 0);
    other.Shutdown();
  }
  while (reader->Next(&item) > 0) {
    EXPECT_TRUE(listed.insert(item.name).second) << item.name;
  }
  EXPECT_EQ(listed, expected[""]);
  expected[""].erase(gone);
  expected[""].erase(expected[""].begin());
  expected[""].insert({"late.txt", "other.txt"});
  EXPECT_EQ(Names("/work/big"), expected[""]);
  EXPECT_EQ(Read("/work/big/other.txt"), "other\n");

  // Descriptions given by a manifest written in: the manifest shown lists
  // every file once, by path, with its description.
  std::string first = *expected["a b"].begin();
  ASSERT_EQ(Write("/work/big/.vuvorozo-manifest",
                  "a b/" + first + "\tWORK.BIG.X.CATAMS\tthe first\n"),
            0);
  EXPECT_EQ(Names("/work/big").count(".vuvorozo-manifest"), 1u);
  std::string manifest = Read("/work/big/.vuvorozo-manifest");
  int bad = 0;
  std::map<std::string, ManifestLine> lines = ParseManifest(manifest, &bad);
  EXPECT_EQ(bad, 0);
  std::set<std::string> files;
  for (const auto& [folder, wanted] : expected) {
    for (const std::string& name : wanted) {
      if (expected.count(folder.empty() ? name : folder + "/" + name) == 0) {
        files.insert(folder.empty() ? name : folder + "/" + name);
      }
    }
  }
  std::set<std::string> in_manifest;
  for (const auto& [file, line] : lines) in_manifest.insert(file);
  EXPECT_EQ(in_manifest, files);
  EXPECT_EQ(lines["a b/" + first].description, "the first");
  std::vector<std::string> order;
  for (size_t at = manifest.find('\n'); at + 1 < manifest.size();
       at = manifest.find('\n', at + 1)) {
    order.push_back(manifest.substr(at + 1, manifest.find('\t', at) - at - 1));
  }
  EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
  EXPECT_EQ(order.size(), files.size());
}

}  // namespace
}  // namespace cli
