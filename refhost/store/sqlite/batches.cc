// A library file's changes, one transaction each or gathered in a batch
// (library_file.h): the transaction or savepoint a change runs in, the
// leftovers of earlier changes it does first, and the batch's flush.

#include <sqlite3.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "refhost/store/sqlite/library_file.h"

namespace refhost {
namespace sqlite {
namespace {

// A batch is flushed once it has gathered for this long, or this many
// bytes of pages: other processes wait no longer for the library, and the
// journal and the pages the batch changed stay small.
constexpr auto kBatchMillis = std::chrono::milliseconds(100);
constexpr size_t kBatchBytes = 4u << 20;

// Room the pages of a change may not take (an eighth of a small file
// system): what deleting or compacting needs to record what it frees, so
// that a full disk can always be relieved through the store. Below
// kShortRoom the journal is written back into the library after each
// commit, and holds no more than one change.
constexpr uint64_t kKeptRoom = 1u << 20;
constexpr uint64_t kShortRoom = 32u << 20;

}  // namespace

// A page's bytes land twice, in the journal and later in the library:
// room for both, and for what the batch gathered before it, besides the
// room kept.
// The file system is looked at again once what pages took since the last
// look could have reached a sixteenth of the room it left spare: not a
// system call a page on a disk with room, every page on one short of it.
StoreStatus LibraryFile::EnsureRoom(size_t bytes) {
  written_since_ += 2 * (uint64_t)bytes;
  if (!short_of_room_ &&
      written_since_ + 2 * (uint64_t)batch_bytes_ < spare_room_ / 16) {
    return StoreStatus::Ok();
  }
  spare_room_ = 0;
  written_since_ = 0;
  struct statvfs fs;
  if (statvfs(path_.c_str(), &fs) != 0) return StoreStatus::Ok();
  uint64_t free = (uint64_t)fs.f_bavail * fs.f_frsize;
  uint64_t kept =
      std::min<uint64_t>(kKeptRoom, (uint64_t)fs.f_blocks * fs.f_frsize / 8);
  short_of_room_ = free < kShortRoom;
  uint64_t needed = 2 * ((uint64_t)bytes + batch_bytes_) + kept;
  if (free >= needed) {
    spare_room_ = free - needed;
    return StoreStatus::Ok();
  }
  return StoreStatus::DiskFull(
      path_ + ": the disk is full (" + std::to_string(free >> 10) +
      " KiB free, of which the store keeps " + std::to_string(kept >> 10) +
      " KiB for deleting and compacting)");
}

void LibraryFile::WriteBackIfShort() {
  if (!short_of_room_) return;
  // The journal, written back, starts again from its beginning at the next
  // change and is cut to nothing then.
  main_->Exec("PRAGMA journal_size_limit = 0");
  main_->Exec("PRAGMA wal_checkpoint(PASSIVE)");
}

void LibraryFile::SetBatching(bool on) {
  batching_ = on && !mode_.read_only;
  share_reads_ = on;
  if (!on) shared_.reset();
}

bool LibraryFile::BatchDue() const {
  return short_of_room_ || batch_bytes_ >= kBatchBytes ||
         std::chrono::steady_clock::now() - batch_start_ >= kBatchMillis;
}

StoreStatus LibraryFile::OpenBatch() {
  if (batch_open_ && BatchDue()) {
    if (StoreStatus s = FlushBatch(); !s.ok()) return s;
  }
  if (batch_open_) return StoreStatus::Ok();
  ++transactions_;
  if (StoreStatus s = main_->Begin(true); !s.ok()) return s;
  batch_open_ = true;
  batch_start_ = std::chrono::steady_clock::now();
  batch_bytes_ = 0;
  // No process takes a lock while the transaction is open: what is held
  // now is all that is held until the batch is stored. When that cannot
  // be told, every lock is taken with its row.
  bool held = true;
  if (!AnyForeignWriter(&held).ok()) held = true;
  batch_foreign_writers_ = held;
  return StoreStatus::Ok();
}

StoreStatus LibraryFile::BeginChange(bool in_batch) {
  if (!in_batch) {
    ++transactions_;
    stored_in_change_.clear();
    return main_->Begin(true);
  }
  if (StoreStatus s = OpenBatch(); !s.ok()) return s;
  // Stored in the batch, outside the savepoint: a change that fails does
  // not take them with it.
  if (StoreStatus s = StorePending(keep_pending_); !s.ok()) return s;
  pending_at_begin_ = pending_pages_.size();
  StoreStatus status = main_->Run(Sql::kSavepoint);
  if (!status.ok() && sqlite3_get_autocommit(main_->db())) LoseBatch(status);
  return status;
}

StoreStatus LibraryFile::Leftovers() {
  for (const EntryName& entry : unreleased_) {
    // A cursor of this process that locked the entry again holds the row.
    if (writing_.count(entry.Key())) continue;
    if (StoreStatus s = DropWriter(entry); !s.ok()) return s;
  }
  for (int64_t version : undiscarded_) {
    if (StoreStatus s = DeleteVersion(version); !s.ok()) return s;
  }
  return StoreStatus::Ok();
}

StoreStatus LibraryFile::EndChange(bool in_batch, StoreStatus status) {
  if (!status.ok()) {
    // What the library knew of its catalogs' dictionaries may have gone
    // with the change: it is read again.
    for (auto& [catalog, text] : texts_) text.loaded = false;
  }
  if (!in_batch) {
    if (status.ok()) {
      status = main_->Commit();
      if (!status.ok()) {
        for (auto& [catalog, text] : texts_) text.loaded = false;
      }
    } else {
      main_->Rollback();
    }
    if (!status.ok()) {
      // Rows of pages taken from the compressor went with the change:
      // their versions can no longer be committed. The pages handed over
      // in it are handed again by their writers.
      for (int64_t version : stored_in_change_) {
        broken_versions_.emplace(version, status);
      }
      DropHandedSince(pending_at_begin_);
    }
    stored_in_change_.clear();
    if (status.ok()) {
      unreleased_.clear();
      undiscarded_.clear();
      ++changes_;
      WriteBackIfShort();
    }
    return status;
  }
  if (sqlite3_get_autocommit(main_->db())) {
    // SQLite ended the whole transaction (a full disk, say).
    LoseBatch(status.ok() ? main_->Failure("storing changes") : status);
    return status.ok() ? main_->Failure("storing changes") : status;
  }
  if (status.ok()) {
    status = main_->Run(Sql::kRelease);
    if (!status.ok() && sqlite3_get_autocommit(main_->db())) {
      LoseBatch(status);
      return status;
    }
  }
  if (!status.ok()) {
    main_->Run(Sql::kRollbackTo);
    main_->Run(Sql::kRelease);
    // A catalog the change made went with it, and the pages handed over
    // in it, whose versions it may have made.
    batch_catalogs_.clear();
    DropHandedSince(pending_at_begin_);
  }
  if (status.ok()) {
    // The leftovers are done once the savepoint holds; to do again should
    // the batch be lost.
    batch_released_.insert(batch_released_.end(), unreleased_.begin(),
                           unreleased_.end());
    batch_discarded_.insert(batch_discarded_.end(), undiscarded_.begin(),
                            undiscarded_.end());
    unreleased_.clear();
    undiscarded_.clear();
  }
  return status;
}

StoreStatus LibraryFile::StorePending(size_t keep, bool only_commits) {
  while (pending_pages_.size() > keep) {
    if (only_commits &&
        std::none_of(pending_pages_.begin(), pending_pages_.end(),
                     [](const PendingPage& p) { return p.committed; })) {
      break;
    }
    PendingPage row = pending_pages_.front();
    pending_pages_.pop_front();
    std::string content, frame, why;
    std::shared_ptr<PageDictionary> used;
    StoreStatus status;
    if (!compressor_->Take(&content, &frame, &used, &why)) {
      status = StoreStatus::IoError(path_ + ": " + why);
    }
    CatalogText* text = nullptr;
    if (status.ok()) status = TextOf(row.catalog, &text);
    if (status.ok() && text != nullptr && text->dictionary != used) {
      // The catalog has another dictionary since (this page's samples made
      // it): the page is compressed with it.
      if (codec_.Compress(content, &why)) {
        frame = codec_.frame();
      } else {
        status = StoreStatus::IoError(path_ + ": " + why);
      }
    }
    if (status.ok()) {
      status = InsertRow(row.key, row.count, row.longest, row.catalog, text,
                         content, frame);
    }
    if (!status.ok()) {
      if (!row.committed) broken_versions_.emplace(row.key >> 32, status);
      LosePending(status);
      return status;
    }
    if (!batch_open_) stored_in_change_.push_back(row.key >> 32);
  }
  return StoreStatus::Ok();
}

void LibraryFile::DropHandedSince(size_t count) {
  if (pending_pages_.size() <= count) return;
  compressor_->Drop(pending_pages_.size() - count);
  pending_pages_.resize(count);
}

void LibraryFile::LosePending(const StoreStatus& why) {
  DropPending(why);
  if (batch_open_) LoseBatch(why);
}

void LibraryFile::DropPending(const StoreStatus& why) {
  // A writer's pages went: it commits nothing. The pages of commits go
  // with their batch, which the ledger tells.
  for (const PendingPage& row : pending_pages_) {
    if (!row.committed) broken_versions_.emplace(row.key >> 32, why);
  }
  if (compressor_ != nullptr) compressor_->Drop();
  pending_pages_.clear();
  pending_at_begin_ = 0;
}

StoreStatus LibraryFile::FlushBatch() {
  if (!batch_open_) return StoreStatus::Ok();
  // The rows of the batch's commits are stored in it; a writer's pages
  // after them may wait.
  if (StoreStatus s = StorePending(0, true); !s.ok()) return s;
  // The locks still held show to other processes from now on.
  for (const auto& [key, entry] : unwritten_locks_) {
    if (StoreStatus s =
            WriterRow(Sql::kPutWriter, entry, "marking an entry written");
        !s.ok()) {
      LoseBatch(s);
      return s;
    }
  }
  unwritten_locks_.clear();
  batch_catalogs_.clear();
  batch_open_ = false;
  StoreStatus status = main_->Commit();
  if (!status.ok()) {
    LoseBatch(status);
    return status;
  }
  ++changes_;
  WriteBackIfShort();
  if (ledger_ != nullptr) ledger_->Settle(batch_commits_, status);
  batch_commits_.clear();
  batch_released_.clear();
  batch_discarded_.clear();
  shared_.reset();
  // A library this process made takes the page size its first rows call
  // for while it holds little.
  if (fit_pages_) fit_pages_ = !FitPagesToFirstRows();
  return status;
}

void LibraryFile::LoseBatch(const StoreStatus& why) {
  DropPending(why);
  batch_open_ = false;
  batch_catalogs_.clear();
  // The locks taken in the batch went with it (lost_batches_ below).
  unwritten_locks_.clear();
  main_->Rollback();
  for (auto& [catalog, text] : texts_) text.loaded = false;
  if (ledger_ != nullptr) {
    ledger_->Settle(batch_commits_,
                    why.ok() ? main_->Failure("storing changes") : why);
  }
  batch_commits_.clear();
  unreleased_.insert(unreleased_.end(), batch_released_.begin(),
                     batch_released_.end());
  undiscarded_.insert(undiscarded_.end(), batch_discarded_.begin(),
                      batch_discarded_.end());
  batch_released_.clear();
  batch_discarded_.clear();
  ++lost_batches_;
}

}  // namespace sqlite
}  // namespace refhost
