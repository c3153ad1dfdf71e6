// A writer's commit: in one transaction the last page is stored, the
// staging version made live (or the entry's content kept, or an empty
// version made), the entry pointed at it with its description and host
// attributes, its old version dropped and its writer lock released.
//
// The server store makes the same decision in its schema's commit_entry
// and the memory store in its own commit; the store suite's story
// CommitDecidesTheSameContentInEveryCase drives the three through every
// case (what the writer did, what another cursor did meanwhile).

#include <sqlite3.h>

#include <string>

#include "refhost/store/sqlite/library_file.h"
#include "refhost/util/clock.h"

namespace refhost {
namespace sqlite {
StoreStatus LibraryFile::Commit(const Commitment& c) {
  if (c.lock != nullptr && c.lock->generation() != lost_batches_) {
    return StoreStatus::IoError(
        path_ + ": " + Describe(*c.entry) +
        " was not stored: its writer lock went with changes that could not "
        "be stored");
  }
  if (auto broken = broken_versions_.find(c.staging);
      c.staging != 0 && broken != broken_versions_.end()) {
    return StoreStatus::IoError(path_ + ": " + Describe(*c.entry) +
                                " was not stored: its records could not be "
                                "stored (" +
                                broken->second.message() + ")");
  }
  std::string key = c.entry->Key();
  auto writing = writing_.find(key);
  bool last_writer = writing != writing_.end() && writing->second.cursors == 1;
  bool gathered = batching_;
  // In a batch the last page is stored by a later change of the batch;
  // else every page of the entry is stored by this one.
  keep_pending_ = gathered ? kPagesInFlight : 0;
  StoreStatus status = Batched([&]() -> StoreStatus {
    // A catalog deleted while the cursor was open comes back with it.
    int64_t catalog;
    if (StoreStatus s = InsertCatalog(c.entry->catalog, &catalog); !s.ok()) {
      return s;
    }
    int64_t version = c.staging;
    if (version != 0) {
      if (c.last_page != nullptr && !c.last_page->empty()) {
        if (StoreStatus s =
                InsertPage(version, *c.last_page, catalog, gathered);
            !s.ok()) {
          return s;
        }
      }
      StoreStatus s;
      Statement* st = main_->Get(Sql::kSetVersion, &s);
      if (st == nullptr) return s;
      st->Bind(1, kLive);
      st->Bind(2, (int64_t)c.count);
      st->Bind(3, (int64_t)c.longest);
      st->Bind(4, version);
      int rc = st->Step();
      st->Reset();
      if (rc != SQLITE_DONE) return main_->Failure("storing an entry");
      if (sqlite3_changes(main_->db()) != 1) {
        return Damaged("a writer's records were taken away");
      }
    } else if (c.last_page != nullptr && !c.last_page->empty()) {
      if (StoreStatus s =
              NewLiveVersion(*c.last_page, catalog, gathered, &version);
          !s.ok()) {
        return s;
      }
    } else {
      EntryRow row;
      StoreStatus s = StoreStatus::NotFound("");
      if (c.keep_current) {
        s = FindEntry(nullptr, catalog, c.entry->name, c.entry->type, &row);
        if (!s.ok() && !s.IsNotFound()) return s;
      }
      if (s.ok()) {
        version = row.version;
      } else if (StoreStatus made = NewVersion(kLive, &version); !made.ok()) {
        return made;
      }
    }
    if (StoreStatus s = SetEntryVersion(catalog, *c.entry, c.description,
                                        version, c.attributes);
        !s.ok()) {
      return s;
    }
    // Every row the commit waits for is the batch's from here on.
    for (PendingPage& pending : pending_pages_) pending.committed = gathered;
    return last_writer ? DropWriter(*c.entry) : StoreStatus::Ok();
  });
  keep_pending_ = 0;
  if (status.ok() && c.lock != nullptr) {
    c.lock->Released();
    if (writing != writing_.end() && --writing->second.cursors == 0) {
      writing_.erase(writing);
    }
  }
  if (status.ok() && gathered) {
    batch_commits_.push_back(ledger_ != nullptr ? ledger_->Gather() : 0);
    // Other processes wait no longer than a batch's time for the library,
    // whatever the caller does next.
    if (BatchDue()) FlushBatch();
  }
  return status;
}

// Points the entry at version (making the entry when absent) and drops the
// entry's previous version; inside the caller's transaction. attributes:
// the host attributes to store; null keeps the entry's.
StoreStatus LibraryFile::SetEntryVersion(int64_t catalog,
                                         const EntryName& entry,
                                         std::string_view description,
                                         int64_t version,
                                         const std::string* attributes) {
  EntryRow old;
  StoreStatus found = FindEntry(nullptr, catalog, entry.name, entry.type, &old);
  if (!found.ok() && !found.IsNotFound()) return found;
  StoreStatus status;
  Statement* st = main_->Get(Sql::kUpsertEntry, &status);
  if (st == nullptr) return status;
  st->Bind(1, catalog);
  st->Bind(2, entry.name);
  st->Bind(3, entry.type);
  st->Bind(4, description);
  st->Bind(5, NowMicros());
  st->Bind(6, version);
  std::string stored;
  if (attributes != nullptr) {
    bool packed = false;
    if (StoreStatus s =
            PackAttributes(catalog, entry, *attributes, &stored, &packed);
        !s.ok()) {
      st->Reset();
      return s;
    }
    if (packed) {
      st->BindBlob(7, stored.data(), stored.size());
    } else {
      st->Bind(7, *attributes);
    }
  }
  int rc = st->Step();
  st->Reset();
  if (rc != SQLITE_DONE) return main_->Failure("storing an entry");
  if (found.ok() && old.version != version) return DeleteVersion(old.version);
  return StoreStatus::Ok();
}

}  // namespace sqlite
}  // namespace refhost
