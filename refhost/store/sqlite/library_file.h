// The SQLite store's side of one library file: opening it
// (library_file.cc), its format, made new or brought up to date from the
// previous one (schema.cc), the transactions every change runs in (below),
// catalogs and entries (catalogs.cc), record pages in and out (pages.cc),
// the commit (commit.cc), the writer locks of entries and the snapshots of
// readers (writers.cc), and the check and compaction of the file
// (upkeep.cc). Connections and statements are connection.h's;
// sqlite_store.cc builds the cursors and the CatalogStore over it.
//
// Tables (format 2: PRAGMA user_version 2, PRAGMA application_id "VUVL"):
//   catalogs(id, name)
//   entries(catalog_id, name, type, description, created, modified,
//           version_id, host_attributes)     -- the committed content
//   versions(id, state, owner_pid, owner_start, record_count, longest)
//   pages(key, count, longest, data)         -- key = version << 32 | first
//   writers(catalog, name, type, owner_pid, owner_start)
// Format 1, written by the first release, kept one row a record in
// records(key, kind, data) (key = version << 32 | number) and had no pages,
// writers, owner_start or application id; host_attributes came later. A
// library of format 1 is brought to format 2 in one transaction the first
// time it is opened for writing; opened for reading only, it is read as it
// is.
//
// An entry's content is a version: its records, in pages (record_page.h) of
// consecutive records. A writer fills a staging version (state 0, owned by
// its process) and its commit switches the entry to it in one transaction,
// dropping the old version. A process killed while writing leaves the entry
// on its previous version; its staging version is an orphan, removed when a
// later writer opens the library and finds the owner gone.
//
// A writer of an entry holds its row in writers from the open to the
// commit or the cursor's end; a writer of another process waits while the
// owner lives (a process id and its start time; a store over a server
// would use a lock of its session instead). Cursors of one process share
// the row.
//
// Room: a library is made with incremental vacuum. The room of dropped
// versions is reused by later writes; deletions, and a library's close,
// give it back to the file system once it passes kTrimBytes.
//
// Batching invariants of a LibraryFile:
// - A writer gathers its records in a page in memory. The page reaches the
//   file in one transaction of its own when the next record would not fit,
//   and the last page in the transaction of the commit.
// - No write transaction outlives the store call that began it. Between
//   calls a library holds no write lock, so another process can always
//   write, and a failed transaction takes with it nothing but the change of
//   the call that failed: a writer's gathered page stays in memory for the
//   next try.
// - A commit stores the last page, makes the staging version live, points
//   the entry at it, drops the entry's old version and releases the entry's
//   writer lock, all in one transaction.
// - An update's first write copies the pages before its position from the
//   base version as they are stored, kCopyBatchPages pages a transaction;
//   the staging version they fill is seen by no one until the commit.
// - A reader reads through a connection of its own (a Snapshot) inside one
//   read transaction, from the open to the end of the cursor, so it sees the
//   content as it was at the open even after a writer (of this or another
//   process) drops that version.

#ifndef VUVOROZO_REFHOST_STORE_SQLITE_LIBRARY_FILE_H_
#define VUVOROZO_REFHOST_STORE_SQLITE_LIBRARY_FILE_H_

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "refhost/store/catalog_store.h"
#include "refhost/store/paged/record_page.h"
#include "refhost/store/sqlite/connection.h"

namespace refhost {
namespace sqlite {

// The stored form (see the tables above).
inline constexpr int kFormat = 2;  // PRAGMA user_version of a library
// PRAGMA application_id of every library: "VUVL".
inline constexpr int64_t kApplicationId = 0x5655564C;
// versions.state
inline constexpr int kStaging = 0;
inline constexpr int kLive = 1;
// The key of a version's page (format 2) or record (format 1) whose first
// record is number first.
inline int64_t PageKey(int64_t version, uint64_t first) {
  return (version << 32) + (int64_t)first;
}

// Bytes of the file at path; 0 when it cannot be read.
int64_t FileSize(const std::string& path);

// The process that owns a staging version or writes an entry: its id, and
// its start time so that a later process given the same id is not taken
// for it (0 when unknown).
struct Owner {
  int64_t pid = 0;
  int64_t start = 0;
  bool operator==(const Owner&) const = default;
};
Owner ThisProcess();
bool IsAlive(const Owner& owner);

// An entry as its writer lock and messages name it.
struct EntryName {
  std::string catalog;
  std::string name;
  std::string type;
  std::string Key() const;
};

struct EntryRow {
  EntryInfo info;
  int64_t version = 0;
};

class LibraryFile;

// A connection of the library's inside one read transaction, for one
// cursor; it goes back to the library's idle connections when it goes.
class Snapshot {
 public:
  Snapshot(LibraryFile* library, std::unique_ptr<Connection> connection)
      : library_(library), connection_(std::move(connection)) {}
  ~Snapshot();
  Snapshot(const Snapshot&) = delete;
  Snapshot& operator=(const Snapshot&) = delete;
  Connection& connection() { return *connection_; }

 private:
  LibraryFile* library_;
  std::unique_ptr<Connection> connection_;
};

// The writer lock of one entry, held by this process; released when it
// goes unless a commit released it.
class WriterLock {
 public:
  WriterLock(LibraryFile* library, EntryName entry)
      : library_(library), entry_(std::move(entry)) {}
  ~WriterLock();
  WriterLock(const WriterLock&) = delete;
  WriterLock& operator=(const WriterLock&) = delete;
  const EntryName& entry() const { return entry_; }
  // The commit released the lock with its transaction.
  void Released() { held_ = false; }

 private:
  LibraryFile* library_;
  EntryName entry_;
  bool held_ = true;
};

// What a writer's commit makes of the entry.
struct Commitment {
  const EntryName* entry;
  std::string_view description;           // empty keeps the stored one
  int64_t staging = 0;                    // the version written; 0 for none
  const RecordPage* last_page = nullptr;  // not yet stored; may be empty
  uint64_t count = 0;
  uint32_t longest = 0;
  bool keep_current = false;  // staging 0: keep the entry's content when it
                              // has one (else it becomes empty)
  const std::string* attributes = nullptr;  // null keeps the entry's
  WriterLock* lock = nullptr;               // released with the commit
};

// One library file and the connections to it, shared by the store and its
// cursors.
class LibraryFile {
 public:
  // Opens the library file at path (libref names it in messages). An absent
  // file is NotFound unless create. Refuses a file that is not a regular
  // file, or not a library of this program.
  static StoreStatus Open(const std::string& path, const std::string& libref,
                          const StoreOptions& options, bool create,
                          std::shared_ptr<LibraryFile>* library);
  ~LibraryFile();
  LibraryFile(const LibraryFile&) = delete;
  LibraryFile& operator=(const LibraryFile&) = delete;

  const std::string& path() const { return path_; }
  bool read_only() const { return mode_.read_only; }
  // The refusal of a change to a library opened for reading only.
  StoreStatus ReadOnlyRefusal() const;
  // "entry WORK.CAT.NAME.TYPE"
  std::string Describe(const EntryName& entry) const;

  // Catalogs. connection may be a snapshot's; null for the library's own.
  StoreStatus CatalogId(Connection* connection, std::string_view name,
                        int64_t* id);
  StoreStatus CreateCatalog(std::string_view name);
  StoreStatus ListCatalogs(std::vector<CatalogInfo>* out);
  // Deletes the catalog, with its entries when with_entries (NotEmpty when
  // it has entries and not with_entries); waits for writers of its entries
  // in other processes.
  StoreStatus DeleteCatalog(std::string_view name, bool with_entries);

  // Entries.
  StoreStatus FindEntry(Connection* connection, int64_t catalog,
                        std::string_view name, std::string_view type,
                        EntryRow* row);
  // The same, the catalog named: one statement, so one read of the file
  // where a reader calls it outside a transaction.
  StoreStatus FindEntry(Connection* connection, std::string_view catalog,
                        std::string_view name, std::string_view type,
                        EntryRow* row);
  StoreStatus ListEntries(int64_t catalog, std::vector<EntryInfo>* out);
  // Deletes the entry (NotFound when absent), waiting for a writer of it in
  // another process.
  StoreStatus DeleteEntry(int64_t catalog, const EntryName& entry);

  // Takes the entry's writer lock, waiting up to the lock timeout for a
  // writer of another process. Busy, naming the entry, after the timeout.
  StoreStatus LockForWriting(const EntryName& entry,
                             std::unique_ptr<WriterLock>* lock);
  // A connection in a read transaction of its own.
  StoreStatus TakeSnapshot(std::unique_ptr<Snapshot>* snapshot);

  // Pages. LoadPage puts the page holding record number of the version into
  // *page, read through connection (null: the library's own). count is the
  // version's record count.
  StoreStatus LoadPage(Connection* connection, int64_t version, uint64_t number,
                       uint64_t count, RecordPage* page);
  StoreStatus NewStaging(int64_t* version);
  StoreStatus StorePage(int64_t version, const RecordPage& page);
  // Drops the version's stored pages from record from on (from must start
  // a page); *longest receives the longest record of the pages kept.
  StoreStatus DropPagesFrom(int64_t version, uint64_t from, uint32_t* longest);
  // Copies the pages of version from before record `before` (which starts
  // a page) into version to, as they are stored, reading through source.
  // *records and *longest receive what the copied pages hold.
  StoreStatus CopyPages(Connection& source, int64_t from, int64_t to,
                        uint64_t before, uint64_t* records, uint32_t* longest);
  // Throws away a staging version (its writer gave up); best effort.
  void DiscardStaging(int64_t version);
  StoreStatus Commit(const Commitment& commitment);

  StoreStatus Check(LibraryCheck* check);
  StoreStatus Compact(LibraryCompaction* compaction);

 private:
  friend class Snapshot;
  friend class WriterLock;

  LibraryFile(std::string path, std::string libref,
              const StoreOptions& options);

  // Why this process cannot change the library (permission, read-only
  // media); Ok when it can.
  StoreStatus WhyNotWritable() const;
  StoreStatus OpenFile(bool create);
  StoreStatus OpenReadOnly();
  // What the file holds: its format (0 for an empty database) or the
  // refusal of a file that is not a library of ours.
  StoreStatus Inspect(Connection& connection, int* format);
  StoreStatus InspectNow(Connection& connection, int* format);
  StoreStatus MakeSchema();
  StoreStatus Stamp();
  StoreStatus MigrateFormat1();
  StoreStatus MigrateVersion(int64_t version, int64_t claimed);
  void ChooseStatements(int format, bool has_attributes);
  // Runs body in one write transaction (BEGIN IMMEDIATE ... COMMIT), rolled
  // back when body or the commit fails.
  template <typename Body>
  StoreStatus Change(Body&& body);
  // Runs change, retried while held() finds a writer of another process,
  // up to the lock timeout; then Busy with busy_message.
  template <typename Held, typename Body>
  StoreStatus WhenFree(Held&& held, Body&& body,
                       const std::string& busy_message);
  StoreStatus ForeignWriter(const EntryName& entry, bool* held);
  StoreStatus InsertCatalog(std::string_view name, int64_t* id);
  StoreStatus SetEntryVersion(int64_t catalog, const EntryName& entry,
                              std::string_view description, int64_t version,
                              const std::string* attributes);
  StoreStatus NewVersion(int state, int64_t* version);
  StoreStatus DeleteVersion(int64_t version);
  StoreStatus InsertPage(int64_t version, const RecordPage& page);
  StoreStatus DropWriter(const EntryName& entry);
  StoreStatus WriterRow(Sql which, const EntryName& entry, const char* doing);
  void ReleaseWriter(const EntryName& entry);
  void GiveBack(std::unique_ptr<Connection> connection);
  StoreStatus Damaged(const std::string& what) const;
  // Steps a statement of kFindEntry's columns into *row.
  StoreStatus EntryOf(Connection& c, Statement* st, std::string_view name,
                      std::string_view type, EntryRow* row);
  StoreStatus SweepOrphans();
  // Gives free pages back to the file system once there are many.
  void TrimFreeSpace();
  StoreStatus CheckVersion(Connection& connection, const std::string& entry,
                           int64_t version, int64_t count, int64_t longest,
                           LibraryCheck* check);
  int64_t FileBytes() const;

  std::string path_;
  std::string libref_;
  StoreOptions options_;
  OpenMode mode_;
  int format_ = kFormat;
  std::array<std::string, (int)Sql::kCount> sql_;
  std::unique_ptr<Connection> main_;
  std::vector<std::unique_ptr<Connection>> idle_;  // snapshots to reuse
  PageCodec codec_;
  std::map<std::string, int> writing_;  // entry key -> cursors writing it
  StoreStatus read_only_refusal_;       // why changes are refused; Ok when
                                        // the store was opened for reading
  // Left by changes that failed, for the next change to do.
  std::vector<EntryName> unreleased_;  // writer locks to drop
  std::vector<int64_t> undiscarded_;   // staging versions to drop
};

// --- Transactions ---------------------------------------------------------

template <typename Body>
StoreStatus LibraryFile::Change(Body&& body) {
  if (mode_.read_only) return ReadOnlyRefusal();
  if (StoreStatus s = main_->Begin(true); !s.ok()) return s;
  // What earlier changes could not do goes first.
  StoreStatus status;
  for (const EntryName& entry : unreleased_) {
    if (status.ok()) status = DropWriter(entry);
  }
  for (int64_t version : undiscarded_) {
    if (status.ok()) status = DeleteVersion(version);
  }
  if (status.ok()) status = body();
  if (status.ok()) {
    status = main_->Commit();
  } else {
    main_->Rollback();
  }
  if (status.ok()) {
    unreleased_.clear();
    undiscarded_.clear();
  }
  return status;
}

template <typename Held, typename Body>
StoreStatus LibraryFile::WhenFree(Held&& held, Body&& body,
                                  const std::string& busy_message) {
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::milliseconds(options_.lock_timeout_ms);
  int pause_ms = 5;
  for (;;) {
    bool waiting = false;
    StoreStatus status = Change([&]() -> StoreStatus {
      if (StoreStatus s = held(&waiting); !s.ok() || waiting) return s;
      return body();
    });
    if (!status.ok() || !waiting) return status;
    if (std::chrono::steady_clock::now() >= deadline) {
      return StoreStatus::Busy(busy_message);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
    pause_ms = std::min(pause_ms * 2, 100);
  }
}

}  // namespace sqlite
}  // namespace refhost

#endif  // VUVOROZO_REFHOST_STORE_SQLITE_LIBRARY_FILE_H_
