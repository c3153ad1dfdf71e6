// A CatalogStore on a PostgreSQL server, for hosts on many machines that
// share their libraries: one ServerConnection a store, shared by its
// cursors (server_connection.h describes the schema, the versions and the
// locks). This file holds the store's calls, its check and compaction.

#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "refhost/store/catalog_store.h"
#include "refhost/store/packed_attributes.h"
#include "refhost/store/paged/record_page.h"
#include "refhost/store/postgres/postgres_cursor.h"
#include "refhost/store/postgres/server_connection.h"

namespace refhost {
namespace {

using postgres::EntryName;
using postgres::EntryRow;
using postgres::Hash;
using postgres::kCatalogLock;
using postgres::kEntryLock;
using postgres::kLive;
using postgres::Params;
using postgres::Pin;
using postgres::PostgresCursor;
using postgres::Result;
using postgres::ServerConnection;
using postgres::WriterLock;

class PostgresCatalogStore final : public CatalogStore {
 public:
  PostgresCatalogStore(std::string url, const StoreOptions& options)
      : connection_(
            std::make_shared<ServerConnection>(std::move(url), options)) {}

  ~PostgresCatalogStore() override {
    // The commits sent are settled in the ledger, which goes with the
    // store.
    connection_->Settle();
    connection_->SetBatching(false, nullptr);
  }

  StoreStatus ServerVersion(std::string* version) {
    if (StoreStatus s = connection_->Ready(); !s.ok()) return s;
    *version = connection_->Version();
    return StoreStatus::Ok();
  }

 private:
  StoreStatus DoListLibraries(std::vector<std::string>* librefs) override {
    return connection_->ListLibraries(librefs);
  }

  StoreStatus DoListCatalogs(std::string_view libref,
                             std::vector<CatalogInfo>* catalogs) override {
    int64_t library;
    if (StoreStatus s = LibraryId(libref, false, &library); !s.ok()) return s;
    Result r;
    if (StoreStatus s = connection_->Run(
            "SELECT c.name, (SELECT count(*) FROM vuvorozo.entries e WHERE "
            "e.catalog_id = c.id) FROM vuvorozo.catalogs c WHERE c.library_id "
            "= $1 ORDER BY c.name",
            Params().Int(library), &r);
        !s.ok()) {
      return s;
    }
    for (int i = 0; i < r.rows(); ++i) {
      CatalogInfo info;
      info.name = std::string(r.Bytes(i, 0));
      info.entry_count = r.Int(i, 1);
      catalogs->push_back(std::move(info));
    }
    return StoreStatus::Ok();
  }

  StoreStatus DoDeleteCatalog(std::string_view libref, std::string_view catalog,
                              bool with_entries) override {
    int64_t library, id;
    if (StoreStatus s = CatalogId(libref, catalog, &library, &id); !s.ok()) {
      return s;
    }
    if (connection_->read_only()) return connection_->ReadOnlyRefusal();
    std::string name(catalog);
    int64_t key = kCatalogLock + Hash({std::to_string(library), name});
    if (StoreStatus s = connection_->Lock(
            key, false,
            "catalog " + std::string(libref) + "." + name +
                " has an entry being written by another process");
        !s.ok()) {
      return s;
    }
    StoreStatus status = connection_->Change([&]() -> StoreStatus {
      Result r;
      if (StoreStatus s = connection_->Run(
              "SELECT count(*) FROM vuvorozo.entries WHERE catalog_id = $1",
              Params().Int(id), &r);
          !s.ok()) {
        return s;
      }
      if (r.Int(0, 0) > 0 && !with_entries) {
        return StoreStatus::NotEmpty("the catalog holds entries");
      }
      if (StoreStatus s = connection_->Run(
              "WITH gone AS (DELETE FROM vuvorozo.entries WHERE catalog_id = "
              "$1 RETURNING version_id) UPDATE vuvorozo.versions SET state = 2 "
              "WHERE id IN (SELECT version_id FROM gone)",
              Params().Int(id));
          !s.ok()) {
        return s;
      }
      if (StoreStatus s = connection_->Run(
              "DELETE FROM vuvorozo.catalogs WHERE id = $1", Params().Int(id));
          !s.ok()) {
        return s;
      }
      if (StoreStatus s = connection_->Bump(library); !s.ok()) return s;
      return connection_->RemoveUnused(library);
    });
    connection_->Unlock(key, false);
    return status;
  }

  StoreStatus DoFindLibrary(std::string_view libref) override {
    int64_t library;
    return LibraryId(libref, false, &library);
  }

  StoreStatus DoCreateLibrary(std::string_view libref) override {
    int64_t library;
    return LibraryId(libref, true, &library);
  }

  StoreStatus DoFindCatalog(std::string_view libref,
                            std::string_view catalog) override {
    int64_t library, id;
    return CatalogId(libref, catalog, &library, &id);
  }

  StoreStatus DoCreateCatalog(std::string_view libref,
                              std::string_view catalog) override {
    int64_t library, id;
    if (StoreStatus s = LibraryId(libref, true, &library); !s.ok()) return s;
    if (connection_->read_only()) {
      StoreStatus s = connection_->CatalogId(library, catalog, &id);
      return s.IsNotFound() ? connection_->ReadOnlyRefusal() : s;
    }
    // A catalog there already changes nothing: the library's generation,
    // which tells readers (the mount) to look at it again, stays.
    return connection_->Change([&]() -> StoreStatus {
      bool made = false;
      if (StoreStatus s =
              connection_->InsertCatalog(library, catalog, &id, &made);
          !s.ok() || !made) {
        return s;
      }
      return connection_->Bump(library);
    });
  }

  StoreStatus DoFindEntry(std::string_view libref, std::string_view catalog,
                          std::string_view name, std::string_view type,
                          EntryInfo* info) override {
    int64_t library;
    if (StoreStatus s = LibraryId(libref, false, &library); !s.ok()) return s;
    EntryRow row;
    StoreStatus s =
        connection_->FindEntry(library, Name(catalog, name, type), &row);
    if (s.ok() && info != nullptr) *info = std::move(row.info);
    return s;
  }

  StoreStatus DoDeleteEntry(std::string_view libref, std::string_view catalog,
                            std::string_view name,
                            std::string_view type) override {
    int64_t library, id;
    if (StoreStatus s = CatalogId(libref, catalog, &library, &id); !s.ok()) {
      return s;
    }
    if (connection_->read_only()) return connection_->ReadOnlyRefusal();
    EntryName entry = Name(catalog, name, type);
    std::unique_ptr<WriterLock> lock;
    if (StoreStatus s = LockForWriting(library, libref, entry, &lock);
        !s.ok()) {
      return s;
    }
    return connection_->Change([&]() -> StoreStatus {
      bool found = false;
      if (StoreStatus s = connection_->DropEntry(id, entry, &found); !s.ok()) {
        return s;
      }
      if (!found) return StoreStatus::NotFound("no such entry");
      if (StoreStatus s = connection_->Bump(library); !s.ok()) return s;
      return connection_->RemoveUnused(library);
    });
  }

  StoreStatus DoOpenListing(std::string_view libref, std::string_view catalog,
                            std::unique_ptr<EntryListing>* listing) override {
    int64_t library, id;
    if (StoreStatus s = CatalogId(libref, catalog, &library, &id); !s.ok()) {
      return s;
    }
    std::vector<EntryInfo> entries;
    if (StoreStatus s = connection_->ListEntries(id, &entries); !s.ok()) {
      return s;
    }
    *listing = std::make_unique<ListedEntries>(std::move(entries));
    return StoreStatus::Ok();
  }

  StoreStatus DoOpenEntry(std::string_view libref, std::string_view catalog,
                          std::string_view name, std::string_view type,
                          OpenIntent intent, std::string_view description,
                          std::unique_ptr<EntryCursor>* cursor) override {
    int64_t library;
    if (StoreStatus s = LibraryId(libref, false, &library); !s.ok()) return s;
    EntryName entry = Name(catalog, name, type);
    std::unique_ptr<WriterLock> lock;
    if (intent != OpenIntent::kRead) {
      if (connection_->read_only()) return connection_->ReadOnlyRefusal();
      // A writer of an entry brings a schema of an earlier version to
      // this one (a new library makes it whole: LibraryId).
      if (StoreStatus s = connection_->MakeSchema(); !s.ok()) return s;
      if (StoreStatus s = LockForWriting(library, libref, entry, &lock);
          !s.ok()) {
        return s;
      }
    }
    // The content read, pinned and then found again, so that it is the
    // entry's version still, which no removal takes while it is pinned.
    EntryRow base;
    std::unique_ptr<Pin> pin;
    while (intent != OpenIntent::kReplace) {
      EntryRow row;
      bool pinned = false, catalog_found = false;
      StoreStatus s = connection_->FindEntry(
          library, entry, &row, pin == nullptr, &pinned, &catalog_found);
      if (s.IsNotFound() && catalog_found && intent == OpenIntent::kUpdate) {
        pin.reset();
        break;
      }
      if (!s.ok()) return s;
      if (pin != nullptr && row.version == base.version) break;
      pin.reset();
      if (pinned) {
        pin = std::make_unique<Pin>(connection_, row.version);
        base = std::move(row);
      } else if (pin == nullptr) {
        usleep(1000);  // a removal looks at the version for a moment
      }
    }
    if (pin == nullptr) base = EntryRow();
    *cursor = std::make_unique<PostgresCursor>(
        connection_, library, std::move(entry), intent,
        std::string(description), std::move(lock), std::move(pin), base);
    return StoreStatus::Ok();
  }

  StoreStatus DoCheckLibrary(std::string_view libref,
                             LibraryCheck* check) override;
  StoreStatus DoCompactLibrary(std::string_view libref,
                               LibraryCompaction* compaction) override;

  // The library's generation, which every change of any connection bumps.
  StoreStatus DoChangeStamp(std::string_view libref,
                            std::string* stamp) override {
    int64_t library;
    if (StoreStatus s = LibraryId(libref, false, &library); !s.ok()) return s;
    return connection_->Generation(library, stamp);
  }

  // In a batch the commits are sent without waiting for the server (each
  // still a transaction of its own), their results read with the next
  // statement's.
  void DoBatching(bool on) override {
    connection_->SetBatching(on, &mutable_ledger());
  }
  StoreStatus DoFlushBatch() override { return connection_->FlushBatch(); }

  static EntryName Name(std::string_view catalog, std::string_view name,
                        std::string_view type) {
    return EntryName{std::string(catalog), std::string(name),
                     std::string(type)};
  }

  StoreStatus LibraryId(std::string_view libref, bool create, int64_t* id) {
    return connection_->LibraryId(std::string(libref), create, id);
  }

  StoreStatus CatalogId(std::string_view libref, std::string_view catalog,
                        int64_t* library, int64_t* id) {
    if (StoreStatus s = LibraryId(libref, false, library); !s.ok()) return s;
    return connection_->CatalogId(*library, catalog, id);
  }

  // The entry's writer lock, with its catalog's (shared).
  StoreStatus LockForWriting(int64_t library, std::string_view libref,
                             const EntryName& entry,
                             std::unique_ptr<WriterLock>* lock) {
    std::string who = std::to_string(library);
    ServerConnection::Keys keys = {
        {kCatalogLock + Hash({who, entry.catalog}), true},
        {kEntryLock + Hash({who, entry.catalog, entry.name, entry.type}),
         false}};
    if (StoreStatus s = connection_->Lock(
            keys,
            "entry " + ServerConnection::Describe(std::string(libref), entry) +
                " is being written by another process",
            std::make_pair(library, std::string_view(entry.catalog)));
        !s.ok()) {
      return s;
    }
    *lock = std::make_unique<WriterLock>(connection_, std::move(keys));
    return StoreStatus::Ok();
  }

  std::shared_ptr<ServerConnection> connection_;
};

StoreStatus PostgresCatalogStore::DoCheckLibrary(std::string_view libref,
                                                 LibraryCheck* check) {
  check->file = connection_->shown();
  int64_t library;
  if (StoreStatus s = LibraryId(libref, false, &library); !s.ok()) return s;
  Result r;
  if (StoreStatus s = connection_->Run(
          "SELECT (SELECT count(*) FROM vuvorozo.catalogs WHERE library_id = "
          "$1), coalesce(sum(octet_length(p.data)), 0)::int8, "
          "coalesce(sum(octet_length(p.data)) FILTER (WHERE v.state <> 1), "
          "0)::int8 FROM vuvorozo.versions v JOIN vuvorozo.pages p ON "
          "p.version_id = v.id WHERE v.library_id = $1",
          Params().Int(library), &r);
      !s.ok()) {
    return s;
  }
  check->catalogs = r.Int(0, 0);
  check->file_bytes = r.Int(0, 1);
  check->free_bytes = r.Int(0, 2);
  if (StoreStatus s = connection_->CheckDictionaries(library, libref, check);
      !s.ok()) {
    return s;
  }
  int schema;
  if (StoreStatus s = connection_->Inspect(&schema); !s.ok()) return s;
  Result entries;
  if (StoreStatus s = connection_->Run(
          std::string("SELECT c.name, e.name, e.type, v.id, v.record_count, "
                      "v.longest, v.state, e.host_attributes, ") +
              (schema >= 3 ? "e.attributes_packed" : "false") +
              " FROM vuvorozo.entries e JOIN vuvorozo.catalogs c ON c.id = "
              "e.catalog_id JOIN vuvorozo.versions v ON v.id = e.version_id "
              "WHERE c.library_id = $1 ORDER BY c.name, e.name, e.type",
          Params().Int(library), &entries);
      !s.ok()) {
    return s;
  }
  // The entry each version belongs to: no two may share one.
  std::unordered_map<int64_t, std::string> owners;
  DictionaryFinder finder = connection_->Finder();
  for (int i = 0; i < entries.rows(); ++i) {
    ++check->entries;
    std::string what = "entry " + std::string(libref) + "." +
                       std::string(entries.Bytes(i, 0)) + "." +
                       std::string(entries.Bytes(i, 1)) + "." +
                       std::string(entries.Bytes(i, 2));
    int64_t version = entries.Int(i, 3);
    uint64_t count = (uint64_t)entries.Int(i, 4);
    uint32_t longest = (uint32_t)entries.Int(i, 5);
    if (entries.Int(i, 6) != kLive) {
      check->problems.push_back(what + ": its content is not marked live");
    }
    if (entries.Int(i, 8) != 0) {
      std::string_view packed = entries.Bytes(i, 7);
      std::string text, why;
      if (!UnpackHostAttributes(packed.data(), packed.size(),
                                entries.Bytes(i, 1), &text, &why)) {
        check->problems.push_back(what +
                                  ": its host attributes do not read: " + why);
      }
    }
    auto [first, fresh] = owners.try_emplace(version, what);
    if (!fresh) {
      check->problems.push_back(what + ": shares its content with " +
                                first->second +
                                " (deleting either would take it from both)");
    }
    Result pages;
    if (StoreStatus s = connection_->Run(
            "SELECT first, count, longest, data FROM vuvorozo.pages WHERE "
            "version_id = $1 ORDER BY first",
            Params().Int(version), &pages);
        !s.ok()) {
      return s;
    }
    uint64_t next = 0;
    uint32_t seen_longest = 0;
    RecordPage page;
    for (int p = 0; p < pages.rows(); ++p) {
      ++check->pages;
      uint64_t first = (uint64_t)pages.Int(p, 0);
      std::string why;
      std::string_view data = pages.Bytes(p, 3);
      if (first != next) {
        check->problems.push_back(what + ": records " + std::to_string(next) +
                                  " to " + std::to_string(first) +
                                  " are missing");
      }
      if (!page.Decode(connection_->codec(), data.data(), data.size(), first,
                       (uint32_t)pages.Int(p, 1), (uint32_t)pages.Int(p, 2),
                       &why, finder)) {
        check->problems.push_back(what + ": the page at record " +
                                  std::to_string(first) +
                                  " is damaged: " + why);
      }
      check->records += page.count();
      seen_longest = std::max(seen_longest, page.longest());
      next = first + (uint64_t)pages.Int(p, 1);
    }
    if (next != count) {
      check->problems.push_back(what + ": holds " + std::to_string(next) +
                                " records, says " + std::to_string(count));
    }
    if (seen_longest > longest) {
      check->problems.push_back(what + ": holds a record longer than it says");
    }
  }
  return StoreStatus::Ok();
}

StoreStatus PostgresCatalogStore::DoCompactLibrary(
    std::string_view libref, LibraryCompaction* compaction) {
  compaction->file = connection_->shown();
  int64_t library;
  if (StoreStatus s = LibraryId(libref, false, &library); !s.ok()) return s;
  auto bytes = [&](int64_t* out) -> StoreStatus {
    Result r;
    StoreStatus s = connection_->Run(
        "SELECT coalesce(sum(octet_length(p.data)), 0)::int8 FROM "
        "vuvorozo.versions v JOIN vuvorozo.pages p ON p.version_id = v.id "
        "WHERE v.library_id = $1",
        Params().Int(library), &r);
    if (s.ok()) *out = r.Int(0, 0);
    return s;
  };
  if (StoreStatus s = bytes(&compaction->bytes_before); !s.ok()) return s;
  // A schema of an earlier version is brought to this one, so that its
  // catalogs get dictionaries too.
  if (StoreStatus s = connection_->MakeSchema(); !s.ok()) return s;
  if (StoreStatus s = connection_->Change(
          [&]() -> StoreStatus { return connection_->RemoveUnused(library); });
      !s.ok()) {
    return s;
  }
  if (StoreStatus s = connection_->RenewDictionaries(library); !s.ok()) {
    return s;
  }
  if (StoreStatus s = connection_->PackVersions(library); !s.ok()) {
    return s;
  }
  if (StoreStatus s = connection_->PackAttributes(library); !s.ok()) {
    return s;
  }
  return bytes(&compaction->bytes_after);
}

}  // namespace

std::unique_ptr<CatalogStore> NewPostgresCatalogStore(
    const std::string& url, const StoreOptions& options) {
  return std::make_unique<PostgresCatalogStore>(url, options);
}

StoreStatus ServerVersion(const std::string& url, std::string* version) {
  if (!IsServerStoreUrl(url)) {
    return StoreStatus::InvalidArgument(MaskPassword(url) +
                                        ": not a store URL (postgresql://...)");
  }
  PostgresCatalogStore store(url, StoreOptions{.read_only = true});
  return store.ServerVersion(version);
}

}  // namespace refhost
