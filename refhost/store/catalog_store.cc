// What every CatalogStore shares: the status text, the key rules, the
// checks every store's public calls make before the store's own routine
// runs, and the seeding and inspecting routines written over the public
// calls.

#include "refhost/store/catalog_store.h"

#include <cerrno>
#include <cstring>
#include <string>

#include "refhost/util/utf8.h"

namespace refhost {

std::string StoreStatus::ToString() const {
  static constexpr const char* kNames[] = {
      "OK",        "not found",    "invalid argument",
      "I/O error", "busy",         "not empty",
      "disk full", "read-only",    "not a library",
      "corrupt",   "no permission"};
  std::string text = kNames[code_];
  if (!message().empty()) text += ": " + message();
  return text;
}

const std::string* AttributesToCommit(OpenIntent intent,
                                      const std::optional<std::string>& given) {
  static const std::string kNone;
  if (given) return &*given;
  return intent == OpenIntent::kReplace ? &kNone : nullptr;
}

std::string_view TrimKey(std::string_view text) {
  size_t end = text.size();
  while (end > 0 && text[end - 1] == ' ') --end;
  return text.substr(0, end);
}

std::string LibrefKey(std::string_view libref) {
  std::string key(TrimKey(libref));
  for (char& c : key) {
    if (c >= 'a' && c <= 'z') c = (char)(c - 'a' + 'A');
  }
  return key;
}

namespace {

// A libref may become part of a file name: letters, digits and a few marks.
bool IsLibrefCharacter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
         (c >= '0' && c <= '9') || c == '_' || c == '$' || c == '#' || c == '@';
}

}  // namespace

StoreStatus CheckLibref(std::string_view libref) {
  std::string_view key = TrimKey(libref);
  if (key.empty() || key.size() > 8) {
    return StoreStatus::InvalidArgument("libref must be 1 to 8 characters");
  }
  for (char c : key) {
    if (!IsLibrefCharacter(c)) {
      return StoreStatus::InvalidArgument(
          "libref holds a character other "
          "than letters, digits, _ $ # @");
    }
  }
  return StoreStatus::Ok();
}

StoreStatus CheckCatalogName(std::string_view catalog) {
  std::string_view key = TrimKey(catalog);
  if (key.empty() || key.size() > 32) {
    return StoreStatus::InvalidArgument(
        "catalog name must be 1 to 32 characters");
  }
  return StoreStatus::Ok();
}

StoreStatus CheckEntryKey(std::string_view name, std::string_view type) {
  std::string_view key = TrimKey(name);
  if (key.empty() || key.size() > 32) {
    return StoreStatus::InvalidArgument(
        "entry name must be 1 to 32 characters");
  }
  if (TrimKey(type).size() > 8) {
    return StoreStatus::InvalidArgument(
        "entry type must be at most 8 characters");
  }
  return StoreStatus::Ok();
}

StoreStatus CheckNewName(std::string_view name) {
  for (size_t at = 0; at < name.size();) {
    size_t length = Utf8CharacterLength(name.substr(at));
    if (length == 0) {
      return StoreStatus::InvalidArgument("name is not UTF-8 text");
    }
    if (IsControlCharacter(Utf8CodePoint(name.substr(at), length))) {
      return StoreStatus::InvalidArgument("name holds a control character");
    }
    at += length;
  }
  return StoreStatus::Ok();
}

namespace {

// The keys of a call, checked, in the form the stores keep them.
struct Keys {
  std::string libref;  // upper case, no trailing blanks
  std::string_view catalog;
  std::string_view name;
  std::string_view type;

  StoreStatus TakeLibrary(std::string_view given) {
    if (StoreStatus s = CheckLibref(given); !s.ok()) return s;
    libref = LibrefKey(given);
    return StoreStatus::Ok();
  }
  StoreStatus TakeCatalog(std::string_view given_libref,
                          std::string_view given_catalog) {
    if (StoreStatus s = TakeLibrary(given_libref); !s.ok()) return s;
    if (StoreStatus s = CheckCatalogName(given_catalog); !s.ok()) return s;
    catalog = TrimKey(given_catalog);
    return StoreStatus::Ok();
  }
  StoreStatus TakeEntry(std::string_view given_libref,
                        std::string_view given_catalog,
                        std::string_view given_name,
                        std::string_view given_type) {
    if (StoreStatus s = TakeCatalog(given_libref, given_catalog); !s.ok()) {
      return s;
    }
    if (StoreStatus s = CheckEntryKey(given_name, given_type); !s.ok()) {
      return s;
    }
    name = TrimKey(given_name);
    type = TrimKey(given_type);
    return StoreStatus::Ok();
  }
};

}  // namespace

StoreStatus EntryCursor::Seek(uint64_t position) {
  if (position > record_count()) {
    return StoreStatus::InvalidArgument("position beyond the end");
  }
  return DoSeek(position);
}

StoreStatus EntryCursor::Commit() {
  if (!writable()) return StoreStatus::Ok();
  if (committed_) return StoreStatus::InvalidArgument("cursor committed");
  StoreStatus status = DoCommit();
  if (status.ok()) committed_ = true;
  return status;
}

StoreStatus CatalogStore::ListLibraries(std::vector<std::string>* librefs) {
  librefs->clear();
  StoreStatus status = DoListLibraries(librefs);
  if (!status.ok()) librefs->clear();
  return status;
}

StoreStatus CatalogStore::ListCatalogs(std::string_view libref,
                                       std::vector<CatalogInfo>* catalogs) {
  catalogs->clear();
  Keys keys;
  StoreStatus status = keys.TakeLibrary(libref);
  if (status.ok()) status = DoListCatalogs(keys.libref, catalogs);
  if (!status.ok()) catalogs->clear();
  return status;
}

StoreStatus CatalogStore::DeleteCatalog(std::string_view libref,
                                        std::string_view catalog,
                                        bool with_entries) {
  Keys keys;
  if (StoreStatus s = keys.TakeCatalog(libref, catalog); !s.ok()) return s;
  return DoDeleteCatalog(keys.libref, keys.catalog, with_entries);
}

StoreStatus CatalogStore::FindLibrary(std::string_view libref) {
  Keys keys;
  if (StoreStatus s = keys.TakeLibrary(libref); !s.ok()) return s;
  return DoFindLibrary(keys.libref);
}

StoreStatus CatalogStore::CreateLibrary(std::string_view libref) {
  Keys keys;
  if (StoreStatus s = keys.TakeLibrary(libref); !s.ok()) return s;
  return DoCreateLibrary(keys.libref);
}

StoreStatus CatalogStore::FindCatalog(std::string_view libref,
                                      std::string_view catalog) {
  Keys keys;
  if (StoreStatus s = keys.TakeCatalog(libref, catalog); !s.ok()) return s;
  return DoFindCatalog(keys.libref, keys.catalog);
}

StoreStatus CatalogStore::CreateCatalog(std::string_view libref,
                                        std::string_view catalog) {
  Keys keys;
  if (StoreStatus s = keys.TakeCatalog(libref, catalog); !s.ok()) return s;
  if (StoreStatus s = CheckNewName(keys.catalog);
      !s.ok() && !DoFindCatalog(keys.libref, keys.catalog).ok()) {
    return s;
  }
  return DoCreateCatalog(keys.libref, keys.catalog);
}

StoreStatus CatalogStore::FindEntry(std::string_view libref,
                                    std::string_view catalog,
                                    std::string_view name,
                                    std::string_view type, EntryInfo* info) {
  Keys keys;
  if (StoreStatus s = keys.TakeEntry(libref, catalog, name, type); !s.ok()) {
    return s;
  }
  return DoFindEntry(keys.libref, keys.catalog, keys.name, keys.type, info);
}

StoreStatus CatalogStore::DeleteEntry(std::string_view libref,
                                      std::string_view catalog,
                                      std::string_view name,
                                      std::string_view type) {
  Keys keys;
  if (StoreStatus s = keys.TakeEntry(libref, catalog, name, type); !s.ok()) {
    return s;
  }
  return DoDeleteEntry(keys.libref, keys.catalog, keys.name, keys.type);
}

StoreStatus CatalogStore::OpenListing(std::string_view libref,
                                      std::string_view catalog,
                                      std::unique_ptr<EntryListing>* listing) {
  listing->reset();
  Keys keys;
  StoreStatus status = keys.TakeCatalog(libref, catalog);
  if (status.ok()) status = DoOpenListing(keys.libref, keys.catalog, listing);
  if (!status.ok()) listing->reset();
  return status;
}

StoreStatus CatalogStore::List(std::string_view libref,
                               std::string_view catalog,
                               std::vector<EntryInfo>* entries) {
  entries->clear();
  std::unique_ptr<EntryListing> listing;
  StoreStatus status = OpenListing(libref, catalog, &listing);
  while (status.ok()) {
    EntryInfo info;
    if (!(status = listing->Next(&info)).ok()) break;
    entries->push_back(std::move(info));
  }
  if (status.IsNotFound() && listing != nullptr) return StoreStatus::Ok();
  entries->clear();
  return status;
}

StoreStatus CatalogStore::BeginBatch() {
  batching_ = true;
  DoBatching(true);
  return StoreStatus::Ok();
}

StoreStatus CatalogStore::FlushBatch() {
  return batching_ ? DoFlushBatch() : StoreStatus::Ok();
}

StoreStatus CatalogStore::EndBatch() {
  StoreStatus status = FlushBatch();
  batching_ = false;
  DoBatching(false);
  return status;
}

BatchFate BatchLedger::FateOf(int64_t commit) const {
  if (pending_.count(commit)) return BatchFate::kPending;
  if (lost_.count(commit)) return BatchFate::kLost;
  return BatchFate::kStored;
}

int64_t BatchLedger::Gather() {
  pending_.insert(++count_);
  return count_;
}

void BatchLedger::Settle(const std::vector<int64_t>& commits,
                         const StoreStatus& flush) {
  for (int64_t commit : commits) {
    pending_.erase(commit);
    if (!flush.ok()) lost_.insert(commit);
  }
  if (!flush.ok() && !commits.empty()) last_loss_ = flush;
}

StoreStatus CatalogStore::OpenEntry(std::string_view libref,
                                    std::string_view catalog,
                                    std::string_view name,
                                    std::string_view type, OpenIntent intent,
                                    std::string_view description,
                                    std::unique_ptr<EntryCursor>* cursor) {
  cursor->reset();
  Keys keys;
  StoreStatus status = keys.TakeEntry(libref, catalog, name, type);
  if (status.ok()) {
    status = DoOpenEntry(keys.libref, keys.catalog, keys.name, keys.type,
                         intent, description, cursor);
  }
  if (!status.ok()) cursor->reset();
  return status;
}

StoreStatus CatalogStore::CheckLibrary(std::string_view libref,
                                       LibraryCheck* check) {
  *check = LibraryCheck();
  Keys keys;
  if (StoreStatus s = keys.TakeLibrary(libref); !s.ok()) return s;
  return DoCheckLibrary(keys.libref, check);
}

StoreStatus CatalogStore::CompactLibrary(std::string_view libref,
                                         LibraryCompaction* compaction) {
  *compaction = LibraryCompaction();
  Keys keys;
  if (StoreStatus s = keys.TakeLibrary(libref); !s.ok()) return s;
  return DoCompactLibrary(keys.libref, compaction);
}

StoreStatus CatalogStore::ChangeStamp(std::string_view libref,
                                      std::string* stamp) {
  stamp->clear();
  Keys keys;
  StoreStatus status = keys.TakeLibrary(libref);
  if (status.ok()) status = DoChangeStamp(keys.libref, stamp);
  if (!status.ok()) stamp->clear();
  return status;
}

StoreStatus CatalogStore::PutEntry(std::string_view libref,
                                   std::string_view catalog,
                                   std::string_view name, std::string_view type,
                                   std::string_view description,
                                   const std::vector<StoredRecord>& records) {
  StoreStatus status = CreateCatalog(libref, catalog);
  if (!status.ok()) return status;
  std::unique_ptr<EntryCursor> cursor;
  status = OpenEntry(libref, catalog, name, type, OpenIntent::kReplace,
                     description, &cursor);
  if (!status.ok()) return status;
  for (const StoredRecord& record : records) {
    status = cursor->Write(record.bytes.data(), (uint32_t)record.bytes.size(),
                           record.kind);
    if (!status.ok()) return status;
  }
  return cursor->Commit();
}

std::optional<Entry> CatalogStore::GetEntry(std::string_view libref,
                                            std::string_view catalog,
                                            std::string_view name,
                                            std::string_view type) {
  Entry entry;
  if (!FindEntry(libref, catalog, name, type, &entry.info).ok()) {
    return std::nullopt;
  }
  std::unique_ptr<EntryCursor> cursor;
  if (!OpenEntry(libref, catalog, name, type, OpenIntent::kRead, "", &cursor)
           .ok()) {
    return std::nullopt;
  }
  RecordView view;
  while (cursor->Read(&view).ok()) {
    entry.records.push_back(
        {std::string((const char*)view.data, view.length), view.kind});
  }
  return entry;
}

std::vector<EntryInfo> CatalogStore::ListEntries(std::string_view libref,
                                                 std::string_view catalog) {
  std::vector<EntryInfo> entries;
  List(libref, catalog, &entries);
  return entries;
}

StoreStatus SystemFailure(const std::string& path, int error) {
  std::string text = path + ": " + std::strerror(error);
  switch (error) {
    case EACCES:
    case EPERM:
      return StoreStatus::NoPermission(text);
    case EROFS:
      return StoreStatus::ReadOnly(text);
    case ENOSPC:
    case EDQUOT:
      return StoreStatus::DiskFull(text);
    default:
      return StoreStatus::IoError(text);
  }
}

}  // namespace refhost
