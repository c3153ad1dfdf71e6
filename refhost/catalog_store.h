// Where the reference host keeps its libraries. A CatalogStore holds
// libraries, the catalogs inside them, the entries of each catalog and the
// records of each entry (bytes plus a 16-bit record kind code). The catalog
// library services (library_services.h) are written once over this
// interface; MemoryCatalogStore serves the tests and SqliteCatalogStore keeps
// a library per database file for users.
//
// Names. Catalog names, entry names and entry types are keys compared
// exactly, case kept; librefs are compared without regard to case (a libref
// may become a file name). Trailing blanks are not part of a key: "WORK "
// and "WORK", "SOURCE  " and "SOURCE" name the same thing, and the store
// hands back keys without trailing blanks. The module sends upper case.
// Limits: libref 1..8, catalog and entry name 1..32, entry type 0..8
// characters; a libref holds only letters, digits and _ $ # @.
//
// Consistency. An entry's content changes only when a writable cursor
// commits: the new content replaces the old whole, at once. Until then every
// reader (and ListEntries, FindEntry) sees the previous content, or no entry
// at all for a new one. A cursor destroyed without Commit leaves the entry as
// it was.

#ifndef VUVOROZO_REFHOST_CATALOG_STORE_H_
#define VUVOROZO_REFHOST_CATALOG_STORE_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace refhost {

// The result of a store operation (LevelDB's Status, smaller).
class StoreStatus {
 public:
  enum Code {
    kOk = 0,
    kNotFound,         // library, catalog or entry absent; end of data
    kInvalidArgument,  // a name or position the store cannot take
    kIoError,          // the backing storage failed
    kBusy,             // another user holds what this needs
    kNotEmpty,         // a catalog that still holds entries
  };

  StoreStatus() = default;
  static StoreStatus Ok() { return StoreStatus(); }
  static StoreStatus NotFound(std::string message) {
    return StoreStatus(kNotFound, std::move(message));
  }
  static StoreStatus InvalidArgument(std::string message) {
    return StoreStatus(kInvalidArgument, std::move(message));
  }
  static StoreStatus IoError(std::string message) {
    return StoreStatus(kIoError, std::move(message));
  }
  static StoreStatus Busy(std::string message) {
    return StoreStatus(kBusy, std::move(message));
  }
  static StoreStatus NotEmpty(std::string message) {
    return StoreStatus(kNotEmpty, std::move(message));
  }

  bool ok() const { return code_ == kOk; }
  bool IsNotFound() const { return code_ == kNotFound; }
  bool IsInvalidArgument() const { return code_ == kInvalidArgument; }
  bool IsNotEmpty() const { return code_ == kNotEmpty; }
  Code code() const { return code_; }
  const std::string& message() const { return message_; }
  std::string ToString() const;

 private:
  StoreStatus(Code code, std::string message)
      : code_(code), message_(std::move(message)) {}

  Code code_ = kOk;
  std::string message_;
};

// One record as it is stored.
struct StoredRecord {
  std::string bytes;  // the record's data, any bytes
  uint16_t kind = 0;  // record kind code

  bool operator==(const StoredRecord&) const = default;
};

// What a store knows of an entry besides its records.
struct EntryInfo {
  std::string name;             // no trailing blanks
  std::string type;             // no trailing blanks
  std::string description;      // as stored; empty when none
  int64_t created_micros = 0;   // microseconds since the epoch, first commit
  int64_t modified_micros = 0;  // microseconds since the epoch, last commit
  int64_t record_count = 0;
  int32_t longest_record = 0;  // bytes of the longest record; 0 when empty
  // What the host keeps with the entry besides records and description
  // (its own encoding; the store does not look inside). Empty when none.
  std::string host_attributes;
};

// What a store knows of a catalog.
struct CatalogInfo {
  std::string name;         // no trailing blanks
  int64_t entry_count = 0;  // entries committed now
};

// An entry with its records, for seeding and inspecting in tests.
struct Entry {
  EntryInfo info;
  std::vector<StoredRecord> records;
};

// A record handed out by a cursor. The bytes belong to the cursor and stay
// valid until its next call.
struct RecordView {
  const uint8_t* data = nullptr;
  uint32_t length = 0;
  uint16_t kind = 0;
};

// How an entry is opened for a cursor.
enum class OpenIntent {
  kRead,     // the entry must exist; the cursor cannot write
  kReplace,  // the content starts empty and replaces the old at commit;
             // the entry is created at commit when absent
  kUpdate,   // the content starts as the entry's (empty when absent) and
             // replaces it at commit; the entry is created when absent
};

// A position in an entry is the number of records before it: 0 is the
// start, record_count() the end.
class EntryCursor {
 public:
  EntryCursor() = default;
  virtual ~EntryCursor() = default;
  EntryCursor(const EntryCursor&) = delete;
  EntryCursor& operator=(const EntryCursor&) = delete;

  virtual uint64_t position() const = 0;
  // Records in the content this cursor sees (its own writes included).
  virtual uint64_t record_count() const = 0;
  // The longest record of that content, in bytes.
  virtual uint32_t longest_record() const = 0;
  virtual bool writable() const = 0;

  // Moves to position (0..record_count()). InvalidArgument beyond the end;
  // the position is unchanged then.
  virtual StoreStatus Seek(uint64_t position) = 0;
  // The record at the position, which then moves past it. NotFound at the
  // end (record untouched).
  virtual StoreStatus Read(RecordView* record) = 0;
  // Writes one record at the position. A write anywhere but the end first
  // drops every record from the position on: what follows is replaced, not
  // overlaid. InvalidArgument on a read cursor.
  virtual StoreStatus Write(const void* data, uint32_t length,
                            uint16_t kind) = 0;
  // Makes the content visible as the entry's, whole; the description given
  // at open (when not empty) replaces the stored one. Afterwards the cursor
  // takes no further call but destruction. Ok and no change for a read
  // cursor.
  virtual StoreStatus Commit() = 0;
  // The host attributes Commit stores with the content, in the same step.
  // A replacing cursor never given any commits none (the entry's old ones
  // go with its old content); an updating cursor keeps the entry's unless
  // given new ones. No effect on a read cursor.
  virtual void SetHostAttributes(std::string attributes) = 0;
};

class CatalogStore {
 public:
  CatalogStore() = default;
  virtual ~CatalogStore() = default;
  CatalogStore(const CatalogStore&) = delete;
  CatalogStore& operator=(const CatalogStore&) = delete;

  // The store's librefs, in upper case and sorted.
  virtual StoreStatus ListLibraries(std::vector<std::string>* librefs) = 0;
  // The library's catalogs ordered by name, with their entry counts.
  // NotFound for an absent library; *catalogs is empty then.
  virtual StoreStatus ListCatalogs(std::string_view libref,
                                   std::vector<CatalogInfo>* catalogs) = 0;
  // Deletes the catalog. One that holds entries is refused with NotEmpty
  // unless with_entries, when its entries go with it (readers that have an
  // entry open keep what they see). NotFound when absent.
  virtual StoreStatus DeleteCatalog(std::string_view libref,
                                    std::string_view catalog,
                                    bool with_entries) = 0;

  // Ok when the library exists, NotFound when not.
  virtual StoreStatus FindLibrary(std::string_view libref) = 0;
  // Creates the library; Ok when it exists already.
  virtual StoreStatus CreateLibrary(std::string_view libref) = 0;
  // Ok when the catalog exists; NotFound for an absent library or catalog.
  virtual StoreStatus FindCatalog(std::string_view libref,
                                  std::string_view catalog) = 0;
  // Creates the catalog (and its library when absent); Ok when it exists.
  virtual StoreStatus CreateCatalog(std::string_view libref,
                                    std::string_view catalog) = 0;

  // On success fills *info (when not null) with the entry's committed state.
  // NotFound when the library, catalog or entry is absent.
  virtual StoreStatus FindEntry(std::string_view libref,
                                std::string_view catalog, std::string_view name,
                                std::string_view type, EntryInfo* info) = 0;
  // Deletes the entry. NotFound when absent.
  virtual StoreStatus DeleteEntry(std::string_view libref,
                                  std::string_view catalog,
                                  std::string_view name,
                                  std::string_view type) = 0;
  // The catalog's entries ordered by name, then type. NotFound when the
  // library or catalog is absent; *entries is empty then.
  virtual StoreStatus List(std::string_view libref, std::string_view catalog,
                           std::vector<EntryInfo>* entries) = 0;

  // Opens a cursor over an entry of an existing catalog. description is kept
  // for Commit (writable intents only). On success *cursor holds the cursor
  // at position 0; on failure it is null. NotFound for an absent catalog, or
  // an absent entry with kRead.
  virtual StoreStatus OpenEntry(std::string_view libref,
                                std::string_view catalog, std::string_view name,
                                std::string_view type, OpenIntent intent,
                                std::string_view description,
                                std::unique_ptr<EntryCursor>* cursor) = 0;

  // Seeding and inspecting, written over the routines above.

  // Replaces (or creates) the entry with these records, creating the
  // library and catalog when absent.
  StoreStatus PutEntry(std::string_view libref, std::string_view catalog,
                       std::string_view name, std::string_view type,
                       std::string_view description,
                       const std::vector<StoredRecord>& records);
  // The committed entry with its records, or nothing when absent.
  std::optional<Entry> GetEntry(std::string_view libref,
                                std::string_view catalog, std::string_view name,
                                std::string_view type);
  // The catalog's entries (empty when absent), ordered by name then type.
  std::vector<EntryInfo> ListEntries(std::string_view libref,
                                     std::string_view catalog);
};

// A store that lives in memory and dies with the object.
std::unique_ptr<CatalogStore> NewMemoryCatalogStore();

// A store with one SQLite database a library, <data_folder>/<libref in lower
// case>.db. The folder must exist.
std::unique_ptr<CatalogStore> NewSqliteCatalogStore(
    const std::string& data_folder);

// Key helpers shared by the stores.

// The key without trailing blanks.
std::string_view TrimKey(std::string_view text);
// A libref's key: without trailing blanks, in upper case.
std::string LibrefKey(std::string_view libref);
// Ok when the trimmed key fits its kind; InvalidArgument naming what is
// wrong otherwise.
StoreStatus CheckLibref(std::string_view libref);
StoreStatus CheckCatalogName(std::string_view catalog);
StoreStatus CheckEntryKey(std::string_view name, std::string_view type);
// Ok when a catalog or entry name may be given to something new: UTF-8
// text without control characters (a name is printed in tables and may
// become a file name). Names stored before this rule still read and
// delete; only catalogs made and entries written are held to it.
// InvalidArgument naming what is wrong otherwise.
StoreStatus CheckNewName(std::string_view name);

}  // namespace refhost

#endif  // VUVOROZO_REFHOST_CATALOG_STORE_H_
