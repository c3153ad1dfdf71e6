// The mount's tree over a store that fails on demand (a memory store behind
// a switch): a full disk is ENOSPC to the writer, a store that cannot be
// reached is EIO, never a missing file, and a file whose last close could
// not be kept is shown as the catalog holds it, not as it was written.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <memory>
#include <string>

#include "cli/mount/tree.h"
#include "cli/session.h"
#include "refhost/store/catalog_store.h"

namespace cli {
namespace {

using refhost::StoreStatus;

// What the switch makes every call of the store give.
enum class Fault { kNone, kDiskFull, kUnreachable };

// A cursor of the memory store whose commit (and writes) fail as the
// switch says.
class SwitchedCursor : public refhost::EntryCursor {
 public:
  SwitchedCursor(std::unique_ptr<refhost::EntryCursor> inner,
                 const Fault& fault)
      : inner_(std::move(inner)), fault_(fault) {}
  uint64_t position() const override { return inner_->position(); }
  uint64_t record_count() const override { return inner_->record_count(); }
  uint32_t longest_record() const override { return inner_->longest_record(); }
  bool writable() const override { return inner_->writable(); }
  StoreStatus Read(refhost::RecordView* record) override {
    if (fault_ == Fault::kUnreachable) return Lost();
    return inner_->Read(record);
  }
  void SetHostAttributes(std::string attributes) override {
    inner_->SetHostAttributes(std::move(attributes));
  }
  static StoreStatus Lost() {
    return StoreStatus::IoError("server: cannot connect to the server");
  }

 private:
  StoreStatus DoSeek(uint64_t position) override {
    return inner_->Seek(position);
  }
  StoreStatus DoWrite(const void* data, uint32_t length,
                      uint16_t kind) override {
    return inner_->Write(data, length, kind);
  }
  StoreStatus DoCommit() override {
    if (fault_ == Fault::kDiskFull) return StoreStatus::DiskFull("disk full");
    if (fault_ == Fault::kUnreachable) return Lost();
    return inner_->Commit();
  }
  std::unique_ptr<refhost::EntryCursor> inner_;
  const Fault& fault_;
};

class SwitchedStore : public refhost::CatalogStore {
 public:
  explicit SwitchedStore(Fault* fault)
      : inner_(refhost::NewMemoryCatalogStore()), fault_(*fault) {}

 private:
  // Reads fail while the store cannot be reached; so does every change
  // then, and a change that needs room fails on a full disk.
  bool Lost() const { return fault_ == Fault::kUnreachable; }
  StoreStatus DoListLibraries(std::vector<std::string>* librefs) override {
    return Lost() ? SwitchedCursor::Lost() : inner_->ListLibraries(librefs);
  }
  StoreStatus DoListCatalogs(std::string_view libref,
                             std::vector<refhost::CatalogInfo>* c) override {
    return Lost() ? SwitchedCursor::Lost() : inner_->ListCatalogs(libref, c);
  }
  StoreStatus DoDeleteCatalog(std::string_view libref, std::string_view catalog,
                              bool with_entries) override {
    return Lost() ? SwitchedCursor::Lost()
                  : inner_->DeleteCatalog(libref, catalog, with_entries);
  }
  StoreStatus DoFindLibrary(std::string_view libref) override {
    return Lost() ? SwitchedCursor::Lost() : inner_->FindLibrary(libref);
  }
  StoreStatus DoCreateLibrary(std::string_view libref) override {
    return Lost() ? SwitchedCursor::Lost() : inner_->CreateLibrary(libref);
  }
  StoreStatus DoFindCatalog(std::string_view libref,
                            std::string_view catalog) override {
    return Lost() ? SwitchedCursor::Lost()
                  : inner_->FindCatalog(libref, catalog);
  }
  StoreStatus DoCreateCatalog(std::string_view libref,
                              std::string_view catalog) override {
    return Lost() ? SwitchedCursor::Lost()
                  : inner_->CreateCatalog(libref, catalog);
  }
  StoreStatus DoFindEntry(std::string_view libref, std::string_view catalog,
                          std::string_view name, std::string_view type,
                          refhost::EntryInfo* info) override {
    return Lost() ? SwitchedCursor::Lost()
                  : inner_->FindEntry(libref, catalog, name, type, info);
  }
  StoreStatus DoDeleteEntry(std::string_view libref, std::string_view catalog,
                            std::string_view name,
                            std::string_view type) override {
    return Lost() ? SwitchedCursor::Lost()
                  : inner_->DeleteEntry(libref, catalog, name, type);
  }
  StoreStatus DoOpenListing(
      std::string_view libref, std::string_view catalog,
      std::unique_ptr<refhost::EntryListing>* listing) override {
    return Lost() ? SwitchedCursor::Lost()
                  : inner_->OpenListing(libref, catalog, listing);
  }
  StoreStatus DoOpenEntry(
      std::string_view libref, std::string_view catalog, std::string_view name,
      std::string_view type, refhost::OpenIntent intent,
      std::string_view description,
      std::unique_ptr<refhost::EntryCursor>* cursor) override {
    if (Lost()) return SwitchedCursor::Lost();
    std::unique_ptr<refhost::EntryCursor> inner;
    StoreStatus status = inner_->OpenEntry(libref, catalog, name, type, intent,
                                           description, &inner);
    if (status.ok()) {
      *cursor = std::make_unique<SwitchedCursor>(std::move(inner), fault_);
    }
    return status;
  }
  StoreStatus DoCheckLibrary(std::string_view libref,
                             refhost::LibraryCheck* check) override {
    return inner_->CheckLibrary(libref, check);
  }
  StoreStatus DoCompactLibrary(std::string_view libref,
                               refhost::LibraryCompaction* c) override {
    return inner_->CompactLibrary(libref, c);
  }
  StoreStatus DoChangeStamp(std::string_view libref,
                            std::string* stamp) override {
    return Lost() ? SwitchedCursor::Lost() : inner_->ChangeStamp(libref, stamp);
  }

  std::unique_ptr<refhost::CatalogStore> inner_;
  const Fault& fault_;
};

class MountFailuresTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    session_ = Session::StartOver(std::make_unique<SwitchedStore>(&fault_),
                                  VUVOROZO_MODULE_PATH, "memory", &error);
    ASSERT_NE(session_, nullptr) << error;
    tree_ = std::make_unique<MountTree>(*session_, false);
  }
  void TearDown() override {
    fault_ = Fault::kNone;
    tree_->Shutdown();
    tree_.reset();
    session_.reset();
  }

  // cp: create (or truncate), write, flush, release. The first failure.
  int Copy(const std::string& path, const std::string& bytes) {
    uint64_t handle = 0;
    int error =
        tree_->Create(path, 0644, O_WRONLY | O_CREAT | O_TRUNC, &handle);
    if (error != 0) return error;
    int n = tree_->Write(handle, bytes.data(), bytes.size(), 0);
    int flushed = tree_->Flush(handle);
    int released = tree_->Release(handle);
    if (n < 0) return n;
    return flushed != 0 ? flushed : released;
  }
  int64_t SizeOf(const std::string& path) {
    struct stat st;
    int error = tree_->GetAttributes(path, 0, &st);
    return error != 0 ? error : st.st_size;
  }

  Fault fault_ = Fault::kNone;
  std::unique_ptr<Session> session_;
  std::unique_ptr<MountTree> tree_;
};

TEST_F(MountFailuresTest, AFailedCloseIsSaidAndTheFolderShowsWhatIsStored) {
  ASSERT_EQ(tree_->MakeFolder("/work"), 0);
  ASSERT_EQ(tree_->MakeFolder("/work/notes"), 0);
  ASSERT_EQ(Copy("/work/notes/kept.txt", "kept\n"), 0);

  // A full disk: the writer is told there is no room, and neither the new
  // file nor the new bytes of a kept one are shown afterwards.
  fault_ = Fault::kDiskFull;
  EXPECT_EQ(Copy("/work/notes/new.txt", "will not fit\n"), -ENOSPC);
  EXPECT_EQ(Copy("/work/notes/kept.txt", "longer bytes that will not fit\n"),
            -ENOSPC);
  fault_ = Fault::kNone;
  EXPECT_EQ(SizeOf("/work/notes/new.txt"), -ENOENT);
  EXPECT_EQ(SizeOf("/work/notes/kept.txt"), 5);
  std::vector<TreeItem> items;
  ASSERT_EQ(tree_->List("/work/notes", &items), 0);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].name, "kept.txt");

  // A store that cannot be reached: what cannot be looked at is an I/O
  // error, never a file or folder that is not there; a close fails alike.
  fault_ = Fault::kUnreachable;
  EXPECT_EQ(SizeOf("/work/notes/kept.txt"), -EIO);
  EXPECT_EQ(SizeOf("/work/notes"), -EIO);
  EXPECT_EQ(SizeOf("/work"), -EIO);
  EXPECT_EQ(tree_->List("/work/notes", &items), -EIO);
  EXPECT_EQ(tree_->List("/", &items), -EIO);
  EXPECT_NE(Copy("/work/notes/kept.txt", "x\n"), 0);
  // Back again: as it was.
  fault_ = Fault::kNone;
  EXPECT_EQ(SizeOf("/work/notes/kept.txt"), 5);
  EXPECT_EQ(SizeOf("/work/none"), -ENOENT);
}

}  // namespace
}  // namespace cli
