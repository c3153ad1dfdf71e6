// A CatalogStore in memory, for tests. Each entry holds its committed
// content as an immutable, shared version; a reader keeps the version it
// opened, so a commit or a deletion never changes what an open reader sees.
// A writable cursor builds its new content privately (copying the base
// version only when it first writes) and swaps it in at commit. The store
// must outlive its cursors.

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "refhost/store/catalog_store.h"
#include "refhost/util/clock.h"

namespace refhost {
namespace {

struct Version {
  std::vector<StoredRecord> records;
  uint32_t longest = 0;
};

uint32_t LongestOf(const std::vector<StoredRecord>& records) {
  uint32_t longest = 0;
  for (const StoredRecord& r : records) {
    longest = std::max(longest, (uint32_t)r.bytes.size());
  }
  return longest;
}

struct MemEntry {
  std::string description;
  std::string host_attributes;
  int64_t created = 0;
  int64_t modified = 0;
  std::shared_ptr<const Version> content;
};

using EntryKey = std::pair<std::string, std::string>;  // name, type

struct MemCatalog {
  std::map<EntryKey, MemEntry> entries;  // ordered by name, then type
};

struct MemLibrary {
  std::map<std::string, MemCatalog> catalogs;
};

class MemoryCatalogStore;

class MemoryCursor final : public EntryCursor {
 public:
  MemoryCursor(MemoryCatalogStore* store, std::string libref,
               std::string catalog, EntryKey key, OpenIntent intent,
               std::string description, std::shared_ptr<const Version> base)
      : store_(store),
        libref_(std::move(libref)),
        catalog_(std::move(catalog)),
        key_(std::move(key)),
        intent_(intent),
        description_(std::move(description)),
        base_(std::move(base)) {
    if (!base_) base_ = std::make_shared<Version>();
  }

  uint64_t position() const override { return position_; }
  uint64_t record_count() const override { return content().records.size(); }
  uint32_t longest_record() const override { return content().longest; }
  bool writable() const override { return intent_ != OpenIntent::kRead; }

  StoreStatus Read(RecordView* record) override {
    const Version& v = content();
    if (position_ >= v.records.size()) return StoreStatus::NotFound("end");
    const StoredRecord& r = v.records[position_++];
    record->data = (const uint8_t*)r.bytes.data();
    record->length = (uint32_t)r.bytes.size();
    record->kind = r.kind;
    return StoreStatus::Ok();
  }

  void SetHostAttributes(std::string attributes) override {
    host_attributes_ = std::move(attributes);
  }

 private:
  StoreStatus DoSeek(uint64_t position) override {
    position_ = position;
    return StoreStatus::Ok();
  }

  StoreStatus DoWrite(const void* data, uint32_t length,
                      uint16_t kind) override {
    if (!work_) {
      // First write: the new content is the base up to the position.
      work_ = std::make_unique<Version>();
      work_->records.assign(base_->records.begin(),
                            base_->records.begin() + position_);
      work_->longest = LongestOf(work_->records);
    } else if (position_ < work_->records.size()) {
      work_->records.resize(position_);
      work_->longest = LongestOf(work_->records);
    }
    work_->records.push_back({std::string((const char*)data, length), kind});
    work_->longest = std::max(work_->longest, length);
    ++position_;
    return StoreStatus::Ok();
  }

  StoreStatus DoCommit() override;

  const Version& content() const { return work_ ? *work_ : *base_; }

  MemoryCatalogStore* store_;
  std::string libref_;
  std::string catalog_;
  EntryKey key_;
  OpenIntent intent_;
  std::string description_;
  std::shared_ptr<const Version> base_;
  std::unique_ptr<Version> work_;               // null until the first write
  std::optional<std::string> host_attributes_;  // given for the commit
  uint64_t position_ = 0;
  friend class MemoryCatalogStore;
};

class MemoryCatalogStore final : public CatalogStore {
 public:
  StoreStatus CommitCursor(MemoryCursor* cursor);

 private:
  StoreStatus DoListLibraries(std::vector<std::string>* librefs) override {
    for (const auto& [libref, library] : libraries_) librefs->push_back(libref);
    return StoreStatus::Ok();
  }

  StoreStatus DoListCatalogs(std::string_view libref,
                             std::vector<CatalogInfo>* catalogs) override {
    auto lib = libraries_.find(std::string(libref));
    if (lib == libraries_.end()) {
      return StoreStatus::NotFound("no such library");
    }
    for (const auto& [name, catalog] : lib->second.catalogs) {
      catalogs->push_back({name, (int64_t)catalog.entries.size()});
    }
    return StoreStatus::Ok();
  }

  StoreStatus DoDeleteCatalog(std::string_view libref, std::string_view catalog,
                              bool with_entries) override {
    MemCatalog* c = nullptr;
    if (StoreStatus s = Lookup(libref, catalog, &c); !s.ok()) return s;
    if (!c->entries.empty() && !with_entries) {
      return StoreStatus::NotEmpty("the catalog holds entries");
    }
    // Open readers hold their versions; open writers make the catalog again
    // at commit.
    libraries_[std::string(libref)].catalogs.erase(std::string(catalog));
    ++changes_;
    return StoreStatus::Ok();
  }

  StoreStatus DoFindLibrary(std::string_view libref) override {
    return libraries_.count(std::string(libref))
               ? StoreStatus::Ok()
               : StoreStatus::NotFound("no such library");
  }

  StoreStatus DoCreateLibrary(std::string_view libref) override {
    libraries_[std::string(libref)];
    ++changes_;
    return StoreStatus::Ok();
  }

  StoreStatus DoFindCatalog(std::string_view libref,
                            std::string_view catalog) override {
    MemCatalog* c = nullptr;
    return Lookup(libref, catalog, &c);
  }

  StoreStatus DoCreateCatalog(std::string_view libref,
                              std::string_view catalog) override {
    auto& catalogs = libraries_[std::string(libref)].catalogs;
    if (catalogs.try_emplace(std::string(catalog)).second) ++changes_;
    return StoreStatus::Ok();
  }

  StoreStatus DoFindEntry(std::string_view libref, std::string_view catalog,
                          std::string_view name, std::string_view type,
                          EntryInfo* info) override {
    MemCatalog* c = nullptr;
    if (StoreStatus s = Lookup(libref, catalog, &c); !s.ok()) return s;
    auto it = c->entries.find(Key(name, type));
    if (it == c->entries.end()) return StoreStatus::NotFound("no such entry");
    if (info) *info = InfoOf(it->first, it->second);
    return StoreStatus::Ok();
  }

  StoreStatus DoDeleteEntry(std::string_view libref, std::string_view catalog,
                            std::string_view name,
                            std::string_view type) override {
    MemCatalog* c = nullptr;
    if (StoreStatus s = Lookup(libref, catalog, &c); !s.ok()) return s;
    if (c->entries.erase(Key(name, type)) == 0) {
      return StoreStatus::NotFound("no such entry");
    }
    ++changes_;
    return StoreStatus::Ok();
  }

  // The catalog as it stands, copied: the tests' catalogs are small.
  StoreStatus DoOpenListing(std::string_view libref, std::string_view catalog,
                            std::unique_ptr<EntryListing>* listing) override {
    MemCatalog* c = nullptr;
    if (StoreStatus s = Lookup(libref, catalog, &c); !s.ok()) return s;
    std::vector<EntryInfo> entries;
    for (const auto& [key, entry] : c->entries) {
      entries.push_back(InfoOf(key, entry));
    }
    *listing = std::make_unique<ListedEntries>(std::move(entries));
    return StoreStatus::Ok();
  }

  StoreStatus DoOpenEntry(std::string_view libref, std::string_view catalog,
                          std::string_view name, std::string_view type,
                          OpenIntent intent, std::string_view description,
                          std::unique_ptr<EntryCursor>* cursor) override {
    MemCatalog* c = nullptr;
    if (StoreStatus s = Lookup(libref, catalog, &c); !s.ok()) return s;
    EntryKey key = Key(name, type);
    auto it = c->entries.find(key);
    std::shared_ptr<const Version> base;
    if (it != c->entries.end()) {
      base = it->second.content;
    } else if (intent == OpenIntent::kRead) {
      return StoreStatus::NotFound("no such entry");
    }
    if (intent == OpenIntent::kReplace) base = nullptr;
    *cursor = std::make_unique<MemoryCursor>(
        this, std::string(libref), std::string(catalog), std::move(key), intent,
        std::string(description), std::move(base));
    return StoreStatus::Ok();
  }

  // Nothing in memory can be damaged or hold free space: the check counts
  // what there is.
  StoreStatus DoCheckLibrary(std::string_view libref,
                             LibraryCheck* check) override {
    if (StoreStatus s = DoFindLibrary(libref); !s.ok()) return s;
    for (const auto& [name, catalog] :
         libraries_[std::string(libref)].catalogs) {
      ++check->catalogs;
      for (const auto& [key, entry] : catalog.entries) {
        ++check->entries;
        check->records += (int64_t)entry.content->records.size();
      }
    }
    return StoreStatus::Ok();
  }

  StoreStatus DoCompactLibrary(std::string_view libref,
                               LibraryCompaction*) override {
    return DoFindLibrary(libref);
  }

  // Every change of the store counts, whatever library it touched.
  StoreStatus DoChangeStamp(std::string_view libref,
                            std::string* stamp) override {
    if (StoreStatus s = DoFindLibrary(libref); !s.ok()) return s;
    *stamp = std::to_string(changes_);
    return StoreStatus::Ok();
  }

  static EntryKey Key(std::string_view name, std::string_view type) {
    return {std::string(name), std::string(type)};
  }

  static EntryInfo InfoOf(const EntryKey& key, const MemEntry& entry) {
    EntryInfo info;
    info.name = key.first;
    info.type = key.second;
    info.description = entry.description;
    info.host_attributes = entry.host_attributes;
    info.created_micros = entry.created;
    info.modified_micros = entry.modified;
    info.record_count = (int64_t)entry.content->records.size();
    info.longest_record = (int32_t)entry.content->longest;
    return info;
  }

  StoreStatus Lookup(std::string_view libref, std::string_view catalog,
                     MemCatalog** found) {
    auto lib = libraries_.find(std::string(libref));
    if (lib == libraries_.end()) {
      return StoreStatus::NotFound("no such library");
    }
    auto cat = lib->second.catalogs.find(std::string(catalog));
    if (cat == lib->second.catalogs.end()) {
      return StoreStatus::NotFound("no such catalog");
    }
    *found = &cat->second;
    return StoreStatus::Ok();
  }

  std::map<std::string, MemLibrary> libraries_;
  int64_t changes_ = 0;  // changes made, for ChangeStamp
};

StoreStatus MemoryCatalogStore::CommitCursor(MemoryCursor* cursor) {
  // A catalog deleted while the cursor was open comes back with it.
  ++changes_;
  MemCatalog& c = libraries_[cursor->libref_].catalogs[cursor->catalog_];
  MemEntry& entry = c.entries[cursor->key_];
  int64_t now = NowMicros();
  if (entry.created == 0) entry.created = now;
  entry.modified = now;
  if (!cursor->description_.empty()) {
    entry.description = cursor->description_;
  }
  if (const std::string* attributes =
          AttributesToCommit(cursor->intent_, cursor->host_attributes_)) {
    entry.host_attributes = *attributes;
  }
  if (cursor->work_) {
    entry.content = std::shared_ptr<const Version>(std::move(cursor->work_));
  } else if (cursor->intent_ == OpenIntent::kReplace || !entry.content) {
    entry.content = cursor->base_;
  }
  // An update that wrote nothing keeps the entry's content as it stands,
  // even when another writer changed it since this cursor opened.
  cursor->base_ = entry.content;
  return StoreStatus::Ok();
}

StoreStatus MemoryCursor::DoCommit() { return store_->CommitCursor(this); }

}  // namespace

std::unique_ptr<CatalogStore> NewMemoryCatalogStore() {
  return std::make_unique<MemoryCatalogStore>();
}

}  // namespace refhost
