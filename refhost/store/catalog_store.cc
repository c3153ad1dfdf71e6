// What every CatalogStore shares: the status text, the key rules and the
// seeding and inspecting routines written over the store's own routines.

#include "refhost/store/catalog_store.h"

#include <string>

#include "refhost/util/utf8.h"

namespace refhost {

std::string StoreStatus::ToString() const {
  static constexpr const char* kNames[] = {
      "OK",        "not found", "invalid argument", "I/O error",     "busy",
      "not empty", "disk full", "read-only",        "not a library", "corrupt"};
  std::string text = kNames[code_];
  if (!message_.empty()) text += ": " + message_;
  return text;
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

}  // namespace refhost
