// Where the reference host keeps its libraries. A CatalogStore holds
// libraries, the catalogs inside them, the entries of each catalog and the
// records of each entry (bytes plus a 16-bit record kind code). The catalog
// library services (refhost/host/library_services.h) are written once over
// this interface; the memory store (store/memory) serves the tests, the
// SQLite store (store/sqlite) keeps a library per database file for the
// processes of one machine, and the PostgreSQL store (store/postgres)
// keeps every library of a database on a server for processes on many
// machines. The two persistent stores keep records in the same stored
// pages (store/paged).
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
// it was. A reader reads the content the entry had when it was opened, to
// the end, whatever is committed or deleted meanwhile.
//
// Writers of one entry. A store serves one process; several stores (of
// several processes) may share the libraries. While a writable cursor of one
// store is open on an entry, a writable OpenEntry or a DeleteEntry of the
// same entry from another store waits for that cursor to commit or go, up to
// the store's lock timeout, and then fails with kBusy ("entry WORK.C.M is
// being written by another process"); DeleteCatalog waits for every writer
// of the catalog the same way. So appends and replacements from several
// processes land whole, one after the other, or fail saying why. A writer
// whose process ends (or, on a server, whose connection ends) releases the
// entry. Cursors of one store may be open together on one entry: the last to
// commit sets the content.
//
// Failures. A status names the library file (or the libref) it concerns and
// says what happened, in words that can be shown to a user as they stand.
// Its code is the reason, whichever call met it: a library or data folder
// the user may not read is kNoPermission (never NotFound, which says
// only that the library is absent), one that may be read but not changed
// kNoPermission for a change, read-only media kReadOnly, a full disk
// kDiskFull, a link or other file in a library's place kNotLibrary, a
// library locked past the timeout kBusy, a damaged one kCorrupt.

#ifndef VUVOROZO_REFHOST_STORE_CATALOG_STORE_H_
#define VUVOROZO_REFHOST_STORE_CATALOG_STORE_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
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
    kBusy,             // another user holds what this needs, past the timeout
    kNotEmpty,         // a catalog that still holds entries
    kDiskFull,         // no space left for the change
    kReadOnly,         // the library may only be read: read-only media, or a
                       // store opened for reading
    kNotLibrary,       // the file is not a library of this program
    kCorrupt,          // the library is damaged
    kNoPermission,     // this user (or server role) may not read or change
                       // the library, or reach the folder it is kept in
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
  static StoreStatus DiskFull(std::string message) {
    return StoreStatus(kDiskFull, std::move(message));
  }
  static StoreStatus ReadOnly(std::string message) {
    return StoreStatus(kReadOnly, std::move(message));
  }
  static StoreStatus NotLibrary(std::string message) {
    return StoreStatus(kNotLibrary, std::move(message));
  }
  static StoreStatus Corrupt(std::string message) {
    return StoreStatus(kCorrupt, std::move(message));
  }
  static StoreStatus NoPermission(std::string message) {
    return StoreStatus(kNoPermission, std::move(message));
  }

  bool ok() const { return code_ == kOk; }
  bool IsNotFound() const { return code_ == kNotFound; }
  bool IsInvalidArgument() const { return code_ == kInvalidArgument; }
  bool IsNotEmpty() const { return code_ == kNotEmpty; }
  bool IsBusy() const { return code_ == kBusy; }
  Code code() const { return code_; }
  const std::string& message() const {
    static const std::string kNone;
    return message_ != nullptr ? *message_ : kNone;
  }
  std::string ToString() const;

 private:
  StoreStatus(Code code, std::string message)
      : code_(code),
        message_(message.empty() ? nullptr
                                 : std::make_shared<const std::string>(
                                       std::move(message))) {}

  // A status is made and dropped for every record read or written: one
  // that says all went well holds no string.
  Code code_ = kOk;
  std::shared_ptr<const std::string> message_;
};

// The status of a file operation on path that failed with the system's
// error: its code the reason (permission, read-only media, a full disk,
// else an I/O error), its message the path and the system's text.
StoreStatus SystemFailure(const std::string& path, int error);

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

// What CheckLibrary found.
struct LibraryCheck {
  std::string file;  // where the library is kept: its file, or the server
                     // store's URL (password masked); empty in memory
  int64_t catalogs = 0;
  int64_t entries = 0;
  int64_t records = 0;     // records of the entries, every one read
  int64_t pages = 0;       // stored pages read and verified
  int64_t file_bytes = 0;  // bytes on disk, journal included (on a server:
                           // the bytes of the library's stored pages)
  int64_t free_bytes = 0;  // of those, bytes Compact gives back
  std::vector<std::string> problems;  // what is wrong; empty when sound
  std::vector<std::string> notes;     // what is so, and no fault: an entry
                                      // being written, say
};

// What CompactLibrary did.
struct LibraryCompaction {
  std::string file;          // as LibraryCheck's
  int64_t bytes_before = 0;  // as LibraryCheck's file_bytes
  int64_t bytes_after = 0;
  // false when there was no room to rewrite the library whole, and only
  // its free room was given back
  bool rewritten = true;
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
//
// What every cursor refuses is refused here, once, before the store's own
// Do… routine runs: a position beyond the end, a write through a read
// cursor, any change after the commit. The Do… routines may take their
// arguments as sound.
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
  StoreStatus Seek(uint64_t position);
  // The record at the position, which then moves past it. NotFound at the
  // end (record untouched).
  virtual StoreStatus Read(RecordView* record) = 0;
  // Writes one record at the position. A write anywhere but the end first
  // drops every record from the position on: what follows is replaced, not
  // overlaid. InvalidArgument on a read cursor and after Commit. (Inline:
  // every record written passes here.)
  StoreStatus Write(const void* data, uint32_t length, uint16_t kind) {
    if (!writable()) return StoreStatus::InvalidArgument("read cursor");
    if (committed_) return StoreStatus::InvalidArgument("cursor committed");
    return DoWrite(data, length, kind);
  }
  // Makes the content visible as the entry's, whole; the description given
  // at open (when not empty) replaces the stored one. Afterwards the cursor
  // takes no further call but destruction (InvalidArgument). Ok and no
  // change for a read cursor. On failure the entry keeps what it held.
  StoreStatus Commit();
  // The host attributes Commit stores with the content, in the same step.
  // A replacing cursor never given any commits none (the entry's old ones
  // go with its old content); an updating cursor keeps the entry's unless
  // given new ones. No effect on a read cursor.
  virtual void SetHostAttributes(std::string attributes) = 0;

 protected:
  bool committed() const { return committed_; }

 private:
  // The cursor's own routines, called once the call above found nothing to
  // refuse: DoSeek with a position within the content, DoWrite and
  // DoCommit on a writable cursor not yet committed.
  virtual StoreStatus DoSeek(uint64_t position) = 0;
  virtual StoreStatus DoWrite(const void* data, uint32_t length,
                              uint16_t kind) = 0;
  virtual StoreStatus DoCommit() = 0;

  bool committed_ = false;  // set by the first Commit that succeeds
};

// The entries of a catalog, one after the other, ordered by name then type,
// as they stood when the listing was opened (a listing holds one entry at a
// time, whatever the catalog's size). A listing may outlive changes of the
// catalog through its store or another: it goes on showing the catalog as
// it was.
class EntryListing {
 public:
  EntryListing() = default;
  virtual ~EntryListing() = default;
  EntryListing(const EntryListing&) = delete;
  EntryListing& operator=(const EntryListing&) = delete;
  // The next entry into *info; NotFound after the last (*info untouched).
  virtual StoreStatus Next(EntryInfo* info) = 0;
};

// What became of a commit made in a batch (CatalogStore::BeginBatch).
enum class BatchFate { kPending, kStored, kLost };

// The commits a store gathered in batches, numbered from 1 in the order
// they succeeded, and what became of each: pending until the batch's next
// flush, then stored or lost with it.
class BatchLedger {
 public:
  // Commits gathered so far; a commit that leaves this count as it was
  // was stored at once (outside a batch, or by a store that gathers none).
  int64_t count() const { return count_; }
  BatchFate FateOf(int64_t commit) const;
  // Why the latest commits lost were lost; Ok when none was.
  const StoreStatus& last_loss() const { return last_loss_; }

  // For the stores: a commit made in a batch (its number), and the flush
  // that settled the commits given (stored when flush is Ok, else lost).
  int64_t Gather();
  void Settle(const std::vector<int64_t>& commits, const StoreStatus& flush);

 private:
  int64_t count_ = 0;
  std::set<int64_t> pending_;
  std::set<int64_t> lost_;
  StoreStatus last_loss_;
};

// Every store's public calls are not virtual: each checks the keys it is
// given, once for every store, and only then calls the store's own Do…
// routine. A key that breaks its rule (CheckLibref, CheckCatalogName,
// CheckEntryKey below) answers InvalidArgument, naming what is wrong,
// before the store looks at anything; the libref is checked first, then
// the catalog, then the entry's name and type. The Do… routines get the
// keys checked and in the form the store keeps them (a libref in upper
// case, every key without trailing blanks), and their outputs reset.
class CatalogStore {
 public:
  CatalogStore() = default;
  virtual ~CatalogStore() = default;
  CatalogStore(const CatalogStore&) = delete;
  CatalogStore& operator=(const CatalogStore&) = delete;

  // The store's librefs, in upper case and sorted. On failure *librefs is
  // empty.
  StoreStatus ListLibraries(std::vector<std::string>* librefs);
  // The library's catalogs ordered by name, with their entry counts.
  // NotFound for an absent library. On failure *catalogs is empty.
  StoreStatus ListCatalogs(std::string_view libref,
                           std::vector<CatalogInfo>* catalogs);
  // Deletes the catalog. One that holds entries is refused with NotEmpty
  // unless with_entries, when its entries go with it (readers that have an
  // entry open keep what they see; Busy when another process writes one of
  // them past the lock timeout). NotFound when absent.
  StoreStatus DeleteCatalog(std::string_view libref, std::string_view catalog,
                            bool with_entries);

  // Ok when the library exists, NotFound when not.
  StoreStatus FindLibrary(std::string_view libref);
  // Creates the library; Ok when it exists already.
  StoreStatus CreateLibrary(std::string_view libref);
  // Ok when the catalog exists; NotFound for an absent library or catalog.
  StoreStatus FindCatalog(std::string_view libref, std::string_view catalog);
  // Creates the catalog (and its library when absent); Ok when it exists,
  // whatever its name. A catalog made gets a name fit to show: a name
  // CheckNewName refuses is InvalidArgument unless the catalog exists.
  // Every path that makes a catalog (the library services' open for
  // update, the program's own) comes here, so this is the one rule.
  StoreStatus CreateCatalog(std::string_view libref, std::string_view catalog);

  // On success fills *info (when not null) with the entry's committed state;
  // on failure *info is untouched. NotFound when the library, catalog or
  // entry is absent.
  StoreStatus FindEntry(std::string_view libref, std::string_view catalog,
                        std::string_view name, std::string_view type,
                        EntryInfo* info);
  // Deletes the entry. NotFound when absent; Busy when another process
  // writes it past the lock timeout.
  StoreStatus DeleteEntry(std::string_view libref, std::string_view catalog,
                          std::string_view name, std::string_view type);
  // A listing of the catalog's entries (EntryListing above). NotFound when
  // the library or catalog is absent; on failure *listing is null.
  StoreStatus OpenListing(std::string_view libref, std::string_view catalog,
                          std::unique_ptr<EntryListing>* listing);
  // The catalog's entries ordered by name, then type, all at once (written
  // over OpenListing). NotFound when the library or catalog is absent. On
  // failure *entries is empty.
  StoreStatus List(std::string_view libref, std::string_view catalog,
                   std::vector<EntryInfo>* entries);

  // Opens a cursor over an entry of an existing catalog. description is kept
  // for Commit (writable intents only). On success *cursor holds the cursor
  // at position 0; on failure it is null. NotFound for an absent catalog, or
  // an absent entry with kRead; Busy, for a writable intent, when another
  // process writes the entry past the lock timeout.
  StoreStatus OpenEntry(std::string_view libref, std::string_view catalog,
                        std::string_view name, std::string_view type,
                        OpenIntent intent, std::string_view description,
                        std::unique_ptr<EntryCursor>* cursor);

  // Reads the whole library: the storage's own integrity check, then every
  // record of every entry. Ok with check->problems empty when the library
  // is sound; Ok with problems listed when it is damaged; NotFound for an
  // absent library; another status when the library cannot be read at all
  // (*check then holds no more than was learnt before the failure).
  StoreStatus CheckLibrary(std::string_view libref, LibraryCheck* check);
  // Gives the library's unused space back to the file system: what
  // writers that died left behind, and the room of dropped content. Ok with
  // the sizes before and after; NotFound for an absent library.
  StoreStatus CompactLibrary(std::string_view libref,
                             LibraryCompaction* compaction);

  // A token that changes whenever a catalog or entry of the library changes,
  // through this store or another: a host that keeps views of a library
  // (the mount) builds them again when the token differs from the one it
  // built them with. NotFound for an absent library. On failure *stamp is
  // empty.
  StoreStatus ChangeStamp(std::string_view libref, std::string* stamp);

  // Batches. A host that writes many entries one after the other (an
  // import) may ask the store to gather their commits, so that many take
  // one step of the storage: BeginBatch, the entries, EndBatch. Inside a
  // batch a cursor's Commit that succeeds has made the entry's change, and
  // this store sees it at once; other stores see it, and it survives the
  // end of the process, once the batch is flushed: by FlushBatch or
  // EndBatch, or by the store on its own (when the batch has gathered for a
  // while, before it waits for another process, and before a read that
  // must see the batch). Each commit stays whole: after a crash, or a
  // flush that fails, every entry of the batch holds its content of before
  // the batch or its new content, never a part. ledger() says which
  // commits are stored. (A store may instead send each commit on without
  // waiting for it, a step of its own that others may see at once, and
  // learn what became of it later: the ledger says so the same way.)
  // Reads inside a batch may be served from one snapshot of the library,
  // taken at the first read after this store's last change, so that a
  // host that only reads many entries (an export) may take a batch for
  // that: its reads then see the library as it was at their first. A
  // store that gathers nothing stores each commit at once.
  StoreStatus BeginBatch();
  // Stores what the batch gathered. On failure commits gathered since the
  // last flush are lost, the ledger says which (all of them in a store that
  // gathers them in one step), and the batch goes on.
  StoreStatus FlushBatch();
  // FlushBatch, then commits are no longer gathered.
  StoreStatus EndBatch();
  bool batching() const { return batching_; }
  const BatchLedger& ledger() const { return DoLedger(); }

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

 protected:
  BatchLedger& mutable_ledger() { return ledger_; }

 private:
  // The store's own routines, one for each call above, with the keys
  // checked and in stored form and the outputs reset (vectors and strings
  // empty, the cursor null, the check and compaction records fresh).
  virtual StoreStatus DoListLibraries(std::vector<std::string>* librefs) = 0;
  virtual StoreStatus DoListCatalogs(std::string_view libref,
                                     std::vector<CatalogInfo>* catalogs) = 0;
  virtual StoreStatus DoDeleteCatalog(std::string_view libref,
                                      std::string_view catalog,
                                      bool with_entries) = 0;
  virtual StoreStatus DoFindLibrary(std::string_view libref) = 0;
  virtual StoreStatus DoCreateLibrary(std::string_view libref) = 0;
  virtual StoreStatus DoFindCatalog(std::string_view libref,
                                    std::string_view catalog) = 0;
  virtual StoreStatus DoCreateCatalog(std::string_view libref,
                                      std::string_view catalog) = 0;
  virtual StoreStatus DoFindEntry(std::string_view libref,
                                  std::string_view catalog,
                                  std::string_view name, std::string_view type,
                                  EntryInfo* info) = 0;
  virtual StoreStatus DoDeleteEntry(std::string_view libref,
                                    std::string_view catalog,
                                    std::string_view name,
                                    std::string_view type) = 0;
  virtual StoreStatus DoOpenListing(std::string_view libref,
                                    std::string_view catalog,
                                    std::unique_ptr<EntryListing>* listing) = 0;
  virtual StoreStatus DoOpenEntry(std::string_view libref,
                                  std::string_view catalog,
                                  std::string_view name, std::string_view type,
                                  OpenIntent intent,
                                  std::string_view description,
                                  std::unique_ptr<EntryCursor>* cursor) = 0;
  virtual StoreStatus DoCheckLibrary(std::string_view libref,
                                     LibraryCheck* check) = 0;
  virtual StoreStatus DoCompactLibrary(std::string_view libref,
                                       LibraryCompaction* compaction) = 0;
  virtual StoreStatus DoChangeStamp(std::string_view libref,
                                    std::string* stamp) = 0;
  // Batches: whether commits are gathered from now on (called with false
  // after a flush), and the flush. A store that gathers nothing keeps
  // these.
  virtual void DoBatching(bool /*on*/) {}
  virtual StoreStatus DoFlushBatch() { return StoreStatus::Ok(); }

 protected:
  // The ledger of the store that gathers the commits (a store over
  // another gives the other's).
  virtual const BatchLedger& DoLedger() const { return ledger_; }

 private:
  bool batching_ = false;
  BatchLedger ledger_;
};

// A store that lives in memory and dies with the object.
std::unique_ptr<CatalogStore> NewMemoryCatalogStore();

// How a SQLite or PostgreSQL store opens its libraries.
struct StoreOptions {
  // Opens libraries for reading only: nothing in a library is changed (no
  // housekeeping either), so reading works on read-only media, for a user
  // (or a server role) who may only read and on a full disk. Every change
  // is refused with kReadOnly.
  bool read_only = false;
  // How long a writer waits for another process's writer of the same entry
  // before it gives up with kBusy.
  int lock_timeout_ms = 30000;
  // How hard the store compresses what it writes: 1 (fastest) to 19
  // (smallest); 0 for the store's own choice.
  int compression_level = 0;
};

// A store with one SQLite database a library, <data_folder>/<libref in lower
// case>.db, a regular file inside the folder (a symbolic link is refused,
// never followed). The folder must exist.
std::unique_ptr<CatalogStore> NewSqliteCatalogStore(
    const std::string& data_folder, const StoreOptions& options = {});

// A store on a PostgreSQL server: every library of the database that url
// (postgresql://... or postgres://..., libpq's URL form) names, in the
// database's schema vuvorozo, made on the first change. The store connects
// on its first call, and again after a lost connection when nothing of its
// own was held on it; a connection that fails is the status of the call.
std::unique_ptr<CatalogStore> NewPostgresCatalogStore(
    const std::string& url, const StoreOptions& options = {});
// Whether text is a URL NewPostgresCatalogStore takes.
bool IsServerStoreUrl(std::string_view text);
// The text with the password of every postgresql:// URL in it masked
// ("***"), whether in the user part or a password= parameter.
std::string MaskPassword(std::string_view text);
// The version of libpq the program runs with ("15.20").
std::string ServerClientVersion();
// Connects to the server url names and gives its version ("15.20"); the
// status says why when it cannot, password masked.
StoreStatus ServerVersion(const std::string& url, std::string* version);

// Helpers shared by the stores.

// A listing of entries held in memory (a store whose catalogs are in
// memory, or a listing already read whole).
class ListedEntries final : public EntryListing {
 public:
  explicit ListedEntries(std::vector<EntryInfo> entries)
      : entries_(std::move(entries)) {}
  StoreStatus Next(EntryInfo* info) override {
    if (next_ >= entries_.size()) return StoreStatus::NotFound("end");
    *info = std::move(entries_[next_++]);
    return StoreStatus::Ok();
  }

 private:
  std::vector<EntryInfo> entries_;
  size_t next_ = 0;
};

// The host attributes a writable cursor's commit stores (see
// EntryCursor::SetHostAttributes), given the ones it was given: those; none
// (an empty text) for a replacing cursor given none, the entry's old ones
// going with its old content; null, keeping the entry's, for an updating
// cursor given none.
const std::string* AttributesToCommit(OpenIntent intent,
                                      const std::optional<std::string>& given);

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
// delete; only catalogs made (CreateCatalog) and entries the library
// services write are held to it. InvalidArgument naming what is wrong
// otherwise.
StoreStatus CheckNewName(std::string_view name);

}  // namespace refhost

#endif  // VUVOROZO_REFHOST_STORE_CATALOG_STORE_H_
