// A CatalogStore with one SQLite database a library:
// <data folder>/<libref in lower case>.db, in WAL mode. The file, its
// tables and how changes reach it are library_file.h's; this file holds
// the cursors (paged_cursor.h) and the store.
//
// A reader (and an updater, for the content it starts from) reads through
// a snapshot: a connection of its own in a read transaction from the open
// on. A writer holds the entry's writer lock from the open to its commit or
// end, and writes into a staging version made at its first write.

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "refhost/store/catalog_store.h"
#include "refhost/store/paged/paged_cursor.h"
#include "refhost/store/paged/record_page.h"
#include "refhost/store/sqlite/library_file.h"

namespace refhost {
namespace {

using sqlite::Commitment;
using sqlite::Connection;
using sqlite::EntryName;
using sqlite::EntryRow;
using sqlite::LibraryFile;
using sqlite::Snapshot;
using sqlite::WriterLock;

class SqliteCursor final : public PagedCursor {
 public:
  SqliteCursor(std::shared_ptr<LibraryFile> file, EntryName entry,
               OpenIntent intent, std::string description,
               std::unique_ptr<WriterLock> lock,
               std::shared_ptr<Snapshot> snapshot, const EntryRow& base)
      : PagedCursor(intent, base.version, (uint64_t)base.info.record_count,
                    (uint32_t)base.info.longest_record),
        file_(std::move(file)),
        entry_(std::move(entry)),
        description_(std::move(description)),
        lock_(std::move(lock)),
        snapshot_(std::move(snapshot)) {}

  ~SqliteCursor() override {
    if (staging_ != 0 && !committed()) file_->DiscardStaging(staging_);
  }

 private:
  StoreStatus DoCommit() override {
    if (intent_ == OpenIntent::kUpdate && !writing_ && base_ != 0 &&
        EntryGone()) {
      // An update that wrote nothing to an entry another cursor of ours
      // deleted meanwhile brings the entry back as this cursor saw it.
      if (StoreStatus s = StartWriting(count_); !s.ok()) return s;
    }
    Commitment c;
    c.entry = &entry_;
    c.description = description_;
    c.staging = staging_;
    c.last_page = &tail_;
    c.count = count_;
    c.longest = longest_;
    // An update that wrote nothing keeps the entry's content as it stands,
    // even when another cursor of ours changed it since this one opened.
    c.keep_current = intent_ == OpenIntent::kUpdate && !writing_;
    c.attributes = AttributesToCommit(intent_, host_attributes_);
    c.lock = lock_.get();
    return file_->Commit(c);
  }

  // The base is read through the snapshot, the staging version through the
  // library's own connection.
  StoreStatus LoadPage(int64_t version, uint64_t number, uint64_t count,
                       RecordPage* page) override {
    Connection* source = version == base_ && snapshot_ != nullptr
                             ? &snapshot_->connection()
                             : nullptr;
    return file_->LoadPage(source, version, number, count, page, &ahead_);
  }

  // A writer that copies pages of its base stages from its first write;
  // another from its first stored page, so that an entry of one page is
  // made by its commit alone.
  StoreStatus StartStaging(uint64_t before, int64_t* staging, uint64_t* copied,
                           uint32_t* longest) override {
    if (before == 0) return StoreStatus::Ok();
    if (StoreStatus s = file_->NewStaging(staging); !s.ok()) return s;
    StoreStatus s = file_->CopyPages(snapshot_->connection(), base_, *staging,
                                     before, copied, longest);
    if (!s.ok()) {
      file_->DiscardStaging(*staging);
      *staging = 0;
    }
    return s;
  }

  StoreStatus StorePage(const RecordPage& page) override {
    if (staging_ == 0) {
      if (StoreStatus s = file_->NewStaging(&staging_); !s.ok()) return s;
    }
    return file_->StorePage(staging_, page, entry_.catalog);
  }

  StoreStatus DropPagesFrom(uint64_t from, uint32_t* longest) override {
    return file_->DropPagesFrom(staging_, from, longest);
  }

  void Discard(int64_t staging) override { file_->DiscardStaging(staging); }

  StoreStatus Damaged(const std::string& what) const override {
    return StoreStatus::Corrupt(file_->path() + ": " + what);
  }

  bool EntryGone() {
    EntryRow row;
    return file_
        ->FindEntry(nullptr, entry_.catalog, entry_.name, entry_.type, &row)
        .IsNotFound();
  }

  std::shared_ptr<LibraryFile> file_;
  EntryName entry_;
  std::string description_;
  std::unique_ptr<WriterLock> lock_;    // writers: the entry's lock
  std::shared_ptr<Snapshot> snapshot_;  // what the base is read through
  sqlite::ReadAhead ahead_;             // the next page of the base
};

class SqliteCatalogStore final : public CatalogStore {
 public:
  SqliteCatalogStore(std::string folder, const StoreOptions& options)
      : folder_(std::move(folder)), options_(options) {}
  // A batch not ended is stored; cursors that outlive the store keep its
  // files, but not its ledger.
  ~SqliteCatalogStore() override {
    for (auto& [libref, file] : files_) {
      file->FlushBatch();
      file->set_ledger(nullptr);
    }
  }

 private:
  // The library files of the folder.
  StoreStatus DoListLibraries(std::vector<std::string>* librefs) override {
    DIR* dir = opendir(folder_.c_str());
    if (dir == nullptr) return SystemFailure(folder_, errno);
    while (dirent* e = readdir(dir)) {
      std::string file = e->d_name;
      if (file.size() <= 3 || file.compare(file.size() - 3, 3, ".db") != 0) {
        continue;
      }
      std::string libref = file.substr(0, file.size() - 3);
      // Only the files this store names: a lower-case libref.
      if (CheckLibref(libref).ok() &&
          PathOf(LibrefKey(libref)) == folder_ + "/" + file) {
        librefs->push_back(LibrefKey(libref));
      }
    }
    closedir(dir);
    std::sort(librefs->begin(), librefs->end());
    return StoreStatus::Ok();
  }

  StoreStatus DoListCatalogs(std::string_view libref,
                             std::vector<CatalogInfo>* catalogs) override {
    std::shared_ptr<LibraryFile> file;
    if (StoreStatus s = FileOf(libref, false, &file); !s.ok()) return s;
    return file->ListCatalogs(catalogs);
  }

  StoreStatus DoDeleteCatalog(std::string_view libref, std::string_view catalog,
                              bool with_entries) override {
    std::shared_ptr<LibraryFile> file;
    int64_t id;
    if (StoreStatus s = CatalogOf(libref, catalog, &file, &id); !s.ok()) {
      return s;
    }
    if (file->read_only()) return file->ReadOnlyRefusal();
    return file->DeleteCatalog(catalog, with_entries);
  }

  StoreStatus DoFindLibrary(std::string_view libref) override {
    std::string key(libref);
    if (files_.count(key)) return StoreStatus::Ok();
    // A link in the library's place counts: opening it says why not.
    // A folder the user may not search is no proof of absence.
    struct stat info;
    if (lstat(PathOf(key).c_str(), &info) == 0) return StoreStatus::Ok();
    if (errno != ENOENT) return SystemFailure(PathOf(key), errno);
    return StoreStatus::NotFound("no such library");
  }

  StoreStatus DoCreateLibrary(std::string_view libref) override {
    std::shared_ptr<LibraryFile> file;
    return FileOf(libref, true, &file);
  }

  StoreStatus DoFindCatalog(std::string_view libref,
                            std::string_view catalog) override {
    std::shared_ptr<LibraryFile> file;
    int64_t id;
    return CatalogOf(libref, catalog, &file, &id);
  }

  StoreStatus DoCreateCatalog(std::string_view libref,
                              std::string_view catalog) override {
    std::shared_ptr<LibraryFile> file;
    if (StoreStatus s = FileOf(libref, true, &file); !s.ok()) return s;
    int64_t id;
    if (file->read_only()) {
      StoreStatus s = file->CatalogId(nullptr, catalog, &id);
      return s.IsNotFound() ? file->ReadOnlyRefusal() : s;
    }
    return file->CreateCatalog(catalog);
  }

  StoreStatus DoFindEntry(std::string_view libref, std::string_view catalog,
                          std::string_view name, std::string_view type,
                          EntryInfo* info) override {
    std::shared_ptr<LibraryFile> file;
    if (StoreStatus s = FileOf(libref, false, &file); !s.ok()) return s;
    Connection* reader;
    if (StoreStatus s = file->Reader(&reader); !s.ok()) return s;
    EntryRow row;
    StoreStatus s = file->FindEntry(reader, catalog, name, type, &row);
    if (s.ok() && info != nullptr) *info = std::move(row.info);
    return s;
  }

  StoreStatus DoDeleteEntry(std::string_view libref, std::string_view catalog,
                            std::string_view name,
                            std::string_view type) override {
    std::shared_ptr<LibraryFile> file;
    int64_t id;
    if (StoreStatus s = CatalogOf(libref, catalog, &file, &id); !s.ok()) {
      return s;
    }
    if (file->read_only()) return file->ReadOnlyRefusal();
    return file->DeleteEntry(id, Name(catalog, name, type));
  }

  StoreStatus DoOpenListing(std::string_view libref, std::string_view catalog,
                            std::unique_ptr<EntryListing>* listing) override {
    std::shared_ptr<LibraryFile> file;
    if (StoreStatus s = FileOf(libref, false, &file); !s.ok()) return s;
    return file->OpenListing(catalog, listing);
  }

  StoreStatus DoOpenEntry(std::string_view libref, std::string_view catalog,
                          std::string_view name, std::string_view type,
                          OpenIntent intent, std::string_view description,
                          std::unique_ptr<EntryCursor>* cursor) override {
    std::shared_ptr<LibraryFile> file;
    if (StoreStatus s = FileOf(libref, false, &file); !s.ok()) return s;
    // A reader finds the catalog in its snapshot; a writer first.
    if (int64_t id; intent != OpenIntent::kRead) {
      StoreStatus s = file->CatalogId(nullptr, catalog, &id);
      if (!s.ok()) return s;
    }
    EntryName entry = Name(catalog, name, type);
    std::unique_ptr<WriterLock> lock;
    if (intent != OpenIntent::kRead) {
      if (StoreStatus s = file->LockForWriting(entry, &lock); !s.ok()) {
        return s;
      }
    }
    // The content read, found in the snapshot it is read from (for a
    // writer taken after the lock, so that it holds what the last writer
    // committed).
    std::shared_ptr<Snapshot> snapshot;
    EntryRow base;
    if (intent != OpenIntent::kReplace) {
      if (StoreStatus s =
              file->TakeSnapshot(intent != OpenIntent::kRead, &snapshot);
          !s.ok()) {
        return s;
      }
      StoreStatus s = file->FindEntry(&snapshot->connection(), entry.catalog,
                                      entry.name, entry.type, &base);
      if (s.IsNotFound() && intent == OpenIntent::kUpdate) {
        base = EntryRow();
      } else if (!s.ok()) {
        return s;
      }
    }
    *cursor = std::make_unique<SqliteCursor>(
        file, std::move(entry), intent, std::string(description),
        std::move(lock), std::move(snapshot), base);
    return StoreStatus::Ok();
  }

  StoreStatus DoCheckLibrary(std::string_view libref,
                             LibraryCheck* check) override {
    std::shared_ptr<LibraryFile> file;
    if (StoreStatus s = FileOf(libref, false, &file); !s.ok()) return s;
    return file->Check(check);
  }

  StoreStatus DoCompactLibrary(std::string_view libref,
                               LibraryCompaction* compaction) override {
    std::shared_ptr<LibraryFile> file;
    if (StoreStatus s = FileOf(libref, false, &file); !s.ok()) return s;
    return file->Compact(compaction);
  }

  // The library's file and journal as the file system sees them: their
  // times, sizes and inodes, which every commit of any process changes.
  StoreStatus DoChangeStamp(std::string_view libref,
                            std::string* stamp) override {
    std::string path = PathOf(std::string(libref));
    for (const char* suffix : {"", "-wal"}) {
      struct stat info;
      if (stat((path + suffix).c_str(), &info) != 0) {
        if (*suffix != '\0') continue;
        if (errno != ENOENT) return SystemFailure(path, errno);
        return StoreStatus::NotFound("no such library");
      }
      *stamp += std::to_string((int64_t)info.st_mtim.tv_sec * 1000000000 +
                               info.st_mtim.tv_nsec) +
                "/" + std::to_string((int64_t)info.st_size) + "/" +
                std::to_string((int64_t)info.st_ino) + ";";
    }
    return StoreStatus::Ok();
  }

  void DoBatching(bool on) override {
    for (auto& [libref, file] : files_) file->SetBatching(on);
  }

  // Every library's batch; the first failure is the status.
  StoreStatus DoFlushBatch() override {
    StoreStatus status;
    for (auto& [libref, file] : files_) {
      StoreStatus s = file->FlushBatch();
      if (status.ok()) status = s;
    }
    return status;
  }

  static EntryName Name(std::string_view catalog, std::string_view name,
                        std::string_view type) {
    return EntryName{std::string(catalog), std::string(name),
                     std::string(type)};
  }

  std::string PathOf(const std::string& key) const {
    std::string file;
    for (char c : key) {
      file += (c >= 'A' && c <= 'Z') ? (char)(c - 'A' + 'a') : c;
    }
    return folder_ + "/" + file + ".db";
  }

  // The library's open database; NotFound for an absent library unless
  // create (a store that only reads never creates one).
  StoreStatus FileOf(std::string_view libref, bool create,
                     std::shared_ptr<LibraryFile>* out) {
    std::string key(libref);
    auto it = files_.find(key);
    if (it != files_.end()) {
      *out = it->second;
      return StoreStatus::Ok();
    }
    std::string path = PathOf(key);
    StoreStatus s = LibraryFile::Open(path, key, options_, create, out);
    if (s.IsNotFound() && create && options_.read_only) {
      return StoreStatus::ReadOnly(path + ": opened for reading only");
    }
    if (!s.ok()) return s;
    (*out)->set_ledger(&mutable_ledger());
    (*out)->SetBatching(batching());
    files_[key] = *out;
    return StoreStatus::Ok();
  }

  StoreStatus CatalogOf(std::string_view libref, std::string_view catalog,
                        std::shared_ptr<LibraryFile>* file, int64_t* id) {
    if (StoreStatus s = FileOf(libref, false, file); !s.ok()) return s;
    return (*file)->CatalogId(nullptr, catalog, id);
  }

  std::string folder_;
  StoreOptions options_;
  std::map<std::string, std::shared_ptr<LibraryFile>> files_;
};

}  // namespace

std::unique_ptr<CatalogStore> NewSqliteCatalogStore(
    const std::string& data_folder, const StoreOptions& options) {
  return std::make_unique<SqliteCatalogStore>(data_folder, options);
}

}  // namespace refhost
