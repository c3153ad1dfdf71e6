// The SQLite store's side of one library file: opening it
// (library_file.cc), its format, made new or brought up to date from the
// previous one (schema.cc), the transactions every change runs in (below),
// catalogs and entries (catalogs.cc), record pages in and out (pages.cc),
// the commit (commit.cc), the writer locks of entries and the snapshots of
// readers (writers.cc), and the check and compaction of the file
// (upkeep.cc). Connections and statements are connection.h's;
// sqlite_store.cc builds the cursors and the CatalogStore over it.
//
// Tables (format 4: PRAGMA user_version 4, PRAGMA application_id "VUVL"):
//   catalogs(id, name)
//   entries(catalog_id, name, type, description, created, modified_after,
//           version_id, host_attributes)     -- the committed content
//   versions(id, state, owner_pid, owner_start, record_count, longest,
//            packed)
//   pages(key, count, longest, data)         -- key = version << 32 | first
//   writers(catalog, name, type, owner_pid, owner_start)
//   dictionaries(id, catalog_id, made, trained_bytes, hash, data)
// A page's frame names the dictionary it was compressed with (record_page.h).
// Host attributes of the reference host's form are kept packed (a blob of
// packed_attributes.h); others as text, or once the catalog has a
// dictionary as a frame compressed with it (a blob). Each catalog gets a
// dictionary once kTrainBytes of its text were written without one
// (dictionaries.cc), made from what was written, which is then compressed
// again with it; compact makes a new one from the whole catalog once the
// catalog's pages take four times the bytes they took when its dictionary
// was made (trained_bytes), and compresses the catalog again with it if it
// makes the pages it is tried on smaller. A live version's owner is 0: it
// belongs to its entry, and only staging versions need one; packed is the
// level compact packed its pages at (0: as written). An entry's time of
// change is kept as the microseconds after its creation (modified_after).
//
// Format 3 is format 4 without packed attributes, versions.packed and
// modified_after (it kept the time of change itself, as modified), and
// format 2 without dictionaries besides; each is brought to format 4 (the
// tables and columns made, the file stamped) the first time it is opened
// for writing, and compact packs their attributes and pages and gives
// their catalogs dictionaries. Format 1,
// written by the first release, kept one row a record in records(key,
// kind, data) (key = version << 32 | number) and had no pages, writers,
// owner_start or application id; host_attributes came later. It is brought
// to format 4 in one transaction the first time it is opened for writing.
// Opened for reading only, a library of any format is read as it is.
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
//   and the last page in the transaction of the commit. A writer makes its
//   staging version with its first stored page: an entry of one page is
//   made whole by its commit alone.
// - Outside a batch, no write transaction outlives the store call that
//   began it. Between calls a library holds no write lock, so another
//   process can always write, and a failed transaction takes with it
//   nothing but the change of the call that failed: a writer's gathered
//   page stays in memory for the next try.
// - In a batch (CatalogStore::BeginBatch; batches.cc) the commits, writer
//   locks, catalogs made and deletions go into one write transaction, each
//   in a savepoint of its own, so that a change that fails still takes
//   nothing else with it. Every other change (the pages of a large entry,
//   staging versions, upkeep) first flushes the batch and runs in a
//   transaction of its own. The batch is flushed after kBatchMillis or
//   kBatchBytes, before a snapshot is taken and before a writer waits for
//   another process: it holds the library's write lock for no longer than
//   that beyond the call that gathered last. A batch that fails to be
//   stored takes with it every change it gathered (the ledger says which
//   commits), and the writer locks taken in it: a writer whose lock went
//   with it commits nothing.
// - No other process sees the library while a batch's transaction is open,
//   nor changes it. A batch whose transaction found no writer lock of
//   another live process takes the locks of its writers without rows: a
//   row is written only for a lock still held when the batch is stored, so
//   that an entry written and committed within one batch costs no row and
//   no savepoint for its lock, and other processes find every lock held at
//   every moment they can look. The catalogs' ids are looked up once in a
//   batch's transaction.
// - A commit stores the last page, makes the staging version live, points
//   the entry at it, drops the entry's old version and releases the entry's
//   writer lock, all in one transaction.
// - A page is compressed beside the writer (PageCompressor) and its row
//   stored by a later change of this process, in the order the pages were
//   given: a full page of a writer by one of its next ones, the last page
//   of a commit in a batch by the batch's next commit. At most
//   kPagesInFlight wait at the start of each such change, and none once
//   anything else is done: a commit outside a batch, the batch's store, a
//   read of a version's pages through the library's own connection, and
//   every other change, begin by storing them all (rows of committed
//   entries never wait beyond their batch). A row that cannot be stored
//   takes its batch with it, or (outside one) every writer's lock, as a
//   lost batch does: its writer commits nothing.
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
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "refhost/store/catalog_store.h"
#include "refhost/store/paged/page_compressor.h"
#include "refhost/store/paged/page_decoder.h"
#include "refhost/store/paged/record_page.h"
#include "refhost/store/sqlite/connection.h"

namespace refhost {
namespace sqlite {

// The stored form (see the tables above).
inline constexpr int kFormat = 4;  // PRAGMA user_version of a library
// The SQLite page size of a library. A compressed record page is a row of
// the pages table; rows longer than a SQLite page go on in overflow pages,
// which SQLite fills whole (what does not fill one stays in the row's
// leaf). What is lost is the room at the end of each leaf that the next
// row does not fit in, and with rows appended in key order that room is
// about half a row's leaf part a leaf: small pages lose least where the
// rows are entries of a few KB (a folder of 10 KB texts, 20 files of
// 1 MB), larger ones where they are of a few hundred bytes (a folder of
// notes of 1 KB): measured on such folders, 1 KiB pages made the smallest
// libraries of the first two, and a library within 17% of the smallest of
// the third (16 KiB). A new library takes the page size its first few
// hundred rows fill best, and compact rebuilds a library with the one its
// rows then call for (upkeep.cc).
inline constexpr const char* kPageSize = "PRAGMA page_size = 1024";
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

// A connection of the library's inside one read transaction, for the
// cursors and listings that read through it (in a batch, several share
// one); it goes back to the library's idle connections when the last goes.
class Snapshot {
 public:
  Snapshot(LibraryFile* library, std::unique_ptr<Connection> connection,
           int64_t changes)
      : library_(library),
        connection_(std::move(connection)),
        changes_(changes) {}
  ~Snapshot();
  Snapshot(const Snapshot&) = delete;
  Snapshot& operator=(const Snapshot&) = delete;
  Connection& connection() { return *connection_; }
  // The library's count of changes made by this process when it was
  // taken: a snapshot taken before a later change does not show it.
  int64_t changes() const { return changes_; }

 private:
  LibraryFile* library_;
  std::unique_ptr<Connection> connection_;
  int64_t changes_;
};

// The writer lock of one entry, held by this process; released when it
// goes unless a commit released it.
class WriterLock {
 public:
  WriterLock(LibraryFile* library, EntryName entry, int64_t generation)
      : library_(library), entry_(std::move(entry)), generation_(generation) {}
  ~WriterLock();
  WriterLock(const WriterLock&) = delete;
  WriterLock& operator=(const WriterLock&) = delete;
  const EntryName& entry() const { return entry_; }
  // The library's count of lost batches when the lock was taken.
  int64_t generation() const { return generation_; }
  // The commit released the lock with its transaction.
  void Released() { held_ = false; }

 private:
  LibraryFile* library_;
  EntryName entry_;
  int64_t generation_;
  bool held_ = true;
};

// A reader's next pages, read from the library and being decoded while the
// reader reads the page before them (LibraryFile::LoadPage).
struct ReadAhead {
  static constexpr size_t kPages = PageDecoder::kThreads;

  int64_t transaction = 0;  // the read transaction read through
  int64_t version = 0;
  std::deque<std::shared_ptr<PageDecoder::Job>> jobs;  // in their order
};

// What a writer's commit makes of the entry.
struct Commitment {
  const EntryName* entry;
  std::string_view description;  // empty keeps the stored one
  // The version written, when a page of it is stored already; 0 for none
  // (the content is then the last page alone, or none).
  int64_t staging = 0;
  const RecordPage* last_page = nullptr;  // not yet stored; may be empty
  uint64_t count = 0;
  uint32_t longest = 0;
  bool keep_current = false;  // the writer wrote nothing: keep the entry's
                              // content when it has one (else it becomes
                              // empty)
  const std::string* attributes = nullptr;  // null keeps the entry's
  WriterLock* lock = nullptr;               // released with the commit
};

// One library file and the connections to it, shared by the store and its
// cursors.
class LibraryFile : public std::enable_shared_from_this<LibraryFile> {
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

  // Entries. By the catalog's id, for the writers of the library, which
  // need what the row says but its host attributes: those are left empty
  // (unread, so that an entry whose attributes are damaged can still be
  // written again or deleted).
  StoreStatus FindEntry(Connection* connection, int64_t catalog,
                        std::string_view name, std::string_view type,
                        EntryRow* row);
  // The same, the catalog named: one statement, so one read of the file
  // where a reader calls it outside a transaction. Through the snapshot a
  // batch's readers share, the entries after it are read ahead (see
  // EntriesAhead below).
  StoreStatus FindEntry(Connection* connection, std::string_view catalog,
                        std::string_view name, std::string_view type,
                        EntryRow* row);
  // Deletes the entry (NotFound when absent), waiting for a writer of it in
  // another process.
  StoreStatus DeleteEntry(int64_t catalog, const EntryName& entry);

  // Takes the entry's writer lock, waiting up to the lock timeout for a
  // writer of another process. Busy, naming the entry, after the timeout.
  StoreStatus LockForWriting(const EntryName& entry,
                             std::unique_ptr<WriterLock>* lock);
  // A connection in a read transaction that shows everything this process
  // changed: of its own (fresh), or in a batch the one readers share while
  // this process changes nothing.
  StoreStatus TakeSnapshot(bool fresh, std::shared_ptr<Snapshot>* snapshot);
  // The connection a look at the library's entries goes through: in a
  // batch that has gathered nothing, the shared snapshot; else the
  // library's own.
  StoreStatus Reader(Connection** connection);
  // The catalog's entries through a snapshot (EntryListing).
  StoreStatus OpenListing(std::string_view catalog,
                          std::unique_ptr<EntryListing>* listing);

  // Batches (batches.cc).
  void SetBatching(bool on);
  // Stores what the batch gathered; settles its commits in the ledger.
  StoreStatus FlushBatch();

  // Pages. LoadPage puts the page holding record number of the version into
  // *page, read through connection (null: the library's own). count is the
  // version's record count. With ahead, a reader's, the page after it is
  // read and decoded on the decoder's thread meanwhile, for the reader's
  // next LoadPage (in a read transaction, where the pages stay as they
  // are).
  StoreStatus LoadPage(Connection* connection, int64_t version, uint64_t number,
                       uint64_t count, RecordPage* page,
                       ReadAhead* ahead = nullptr);
  StoreStatus NewStaging(int64_t* version);
  // Stores a full page of a writer of the catalog.
  StoreStatus StorePage(int64_t version, const RecordPage& page,
                        std::string_view catalog);
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
  friend class SqliteListing;

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
  StoreStatus MigrateFormats2And3();
  StoreStatus MigrateVersion(int64_t version, int64_t claimed);
  void ChooseStatements(int format, bool has_attributes);
  // Runs body in one write transaction (BEGIN IMMEDIATE ... COMMIT), rolled
  // back when body or the commit fails; a batch is flushed first.
  template <typename Body>
  StoreStatus Change(Body&& body);
  // The same, or in a batch in a savepoint of the batch's transaction.
  template <typename Body>
  StoreStatus Batched(Body&& body);
  // Runs a batched change, retried while held() finds a writer of another
  // process, up to the lock timeout; then Busy with busy_message(), which
  // may name the writer held() found last.
  template <typename Held, typename Body, typename Message>
  StoreStatus WhenFree(Held&& held, Body&& body, Message&& busy_message);
  // The parts of a change around its body (batches.cc): the transaction or
  // savepoint begun (in_batch: in the batch), what earlier changes left to
  // do, and the end, which commits or releases on success and rolls back on
  // failure.
  StoreStatus BeginChange(bool in_batch);
  // The batch's transaction, begun when not open (a batch that is due
  // stored first); it notes whether another live process holds writer
  // locks.
  StoreStatus OpenBatch();
  // Whether a live process other than this one holds a writer lock of the
  // library.
  StoreStatus AnyForeignWriter(bool* held);
  StoreStatus Leftovers();
  StoreStatus EndChange(bool in_batch, StoreStatus status);
  // The batch's transaction went without being stored: its commits are
  // lost, and what it had done of earlier changes' leftovers is to do again.
  void LoseBatch(const StoreStatus& why);
  bool BatchDue() const;
  // DiskFull when storing bytes more would leave less room than the store
  // keeps for deleting (batches.cc).
  StoreStatus EnsureRoom(size_t bytes);
  // Writes the journal back into the library when room is short.
  void WriteBackIfShort();
  // Whether another live process holds the entry's writer lock; *owner
  // (may be null) is then that process.
  StoreStatus ForeignWriter(const EntryName& entry, bool* held,
                            Owner* owner = nullptr);
  // The refusal of a change to an entry that writer holds.
  std::string BeingWritten(const EntryName& entry, const Owner& writer) const;
  StoreStatus InsertCatalog(std::string_view name, int64_t* id);
  StoreStatus SetEntryVersion(int64_t catalog, const EntryName& entry,
                              std::string_view description, int64_t version,
                              const std::string* attributes);
  StoreStatus NewVersion(int state, int64_t* version);
  StoreStatus DeleteVersion(int64_t version);
  // Stores the page of a version of an entry of the catalog (0: none
  // known), compressed with the catalog's dictionary: at once, or, with
  // hand_over, by the compressor, its row by a later change.
  StoreStatus InsertPage(int64_t version, const RecordPage& page,
                         int64_t catalog, bool hand_over = false);
  // A live version holding page (and nothing else).
  StoreStatus NewLiveVersion(const RecordPage& page, int64_t catalog,
                             bool hand_over, int64_t* version);
  // Stores the rows of the pages handed to the compressor, oldest first,
  // until keep are left (batches.cc); all those of commits with
  // only_commits. On failure the pages go, with the batch or the writers'
  // locks.
  StoreStatus StorePending(size_t keep, bool only_commits = false);
  void LosePending(const StoreStatus& why);
  // Drops the pages waiting, their writers' versions broken for why.
  void DropPending(const StoreStatus& why);
  // Drops the pages handed over after the first count waiting.
  void DropHandedSince(size_t count);

  // Dictionaries (dictionaries.cc).
  // What the library knows of one catalog's dictionary.
  struct CatalogText {
    bool loaded = false;
    std::shared_ptr<PageDictionary> dictionary;  // null: none yet
    int64_t seen_in = -1;  // the transaction that saw its row last
    // Written without a dictionary by this process: samples of the text,
    // the pages' keys and the entries whose attributes are text.
    std::vector<std::string> samples;
    size_t sample_bytes = 0;
    size_t sample_stored = 0;  // the bytes they were stored in
    std::vector<int64_t> pages;
    std::vector<std::pair<std::string, std::string>> entries;
    std::vector<std::string> attribute_samples;  // the latest
    bool failed = false;  // no dictionary can be made, or it is damaged
    // How well the dictionary made last compressed what it was made from,
    // and how well it compresses what is written now: text unlike what it
    // was made from (another kind of file) gets a dictionary of its own.
    DictionaryFit fit;
    bool drifting = false;  // samples are gathered for a new dictionary
    int made = 0;           // dictionaries made by this process
    uint32_t newest = 0;    // the id of the catalog's newest dictionary
    // The catalog's dictionaries to choose from (ChooseDictionary), read
    // again once a dictionary is made or another found.
    std::vector<std::shared_ptr<PageDictionary>> choices;
  };
  // The catalog's dictionary for what is written in this transaction;
  // null when it has none (yet).
  StoreStatus TextOf(int64_t catalog, CatalogText** out);
  // A page of the catalog stored without a dictionary: noted, and once
  // there is enough of them the catalog's dictionary made and what was
  // noted compressed again with it.
  StoreStatus NoteWritten(int64_t catalog, CatalogText* text, int64_t key,
                          const std::string& content, const std::string& frame);
  // LoadPage's read of a page, and its reading ahead (pages.cc).
  StoreStatus LoadPageNow(Connection& c, int64_t version, uint64_t number,
                          uint64_t count, RecordPage* page);
  // Hands the page that starts at record first to the decoder, behind the
  // reader's others; false when no sound row starts there.
  bool ReadAheadFrom(Connection& c, int64_t version, uint64_t first,
                     ReadAhead* ahead);
  // The page of the version that starts at record first, read through c
  // and handed to the decoder; null when no sound row starts there.
  std::shared_ptr<PageDecoder::Job> DecodeAhead(Connection& c, int64_t version,
                                                uint64_t first);
  // The job of decoding the page row whose key, counts and data are the
  // columns of st from column on, read through c, when it is the page of
  // the version that starts at record first with sound counts; else null.
  std::shared_ptr<PageDecoder::Job> PageJob(Connection& c, Statement& st,
                                            int column, int64_t version,
                                            uint64_t first);
  // The decoder of readers' next pages (a new one in a child of fork()).
  PageDecoder& Decoder();
  // The first page of the version, when it was read ahead with its entry
  // in c's read transaction (catalogs.cc).
  std::shared_ptr<PageDecoder::Job> FirstPageAhead(const Connection& c,
                                                   int64_t version);
  // Entries read ahead (catalogs.cc). TakeAhead finds the entry among
  // those read ahead through c, dropping those before it;
  // ReadEntriesAhead reads more of the entries after the last when few are
  // left, with their first pages, which it hands to the decoder.
  bool TakeAhead(const Connection& c, std::string_view catalog,
                 std::string_view name, std::string_view type, EntryRow* row,
                 std::shared_ptr<PageDecoder::Job>* first_page);
  void ReadEntriesAhead(Connection& c);
  // The row of a page of the catalog (its text: null for none),
  // compressed into frame from content.
  StoreStatus InsertRow(int64_t key, uint32_t count, uint32_t longest,
                        int64_t catalog, CatalogText* text,
                        const std::string& content, const std::string& frame);
  // Notes text as sampled now (NoteSampled of record_page.h).
  void NoteSampled(CatalogText* text);
  // Where a window of the catalog's text ends: the dictionary of the
  // catalog's that fits the page that ended it is written with.
  StoreStatus ChooseFor(int64_t catalog, CatalogText* text,
                        std::string_view content);
  // Makes the catalog a dictionary from samples and stores it, unless
  // worth (when given) finds it no better than what the catalog has.
  StoreStatus MakeCatalogDictionary(
      int64_t catalog, CatalogText* text,
      const std::vector<std::string>& samples,
      const std::vector<std::string>& attributes, int64_t trained_bytes,
      const std::function<bool(PageDictionary&)>& worth = nullptr);
  // A page row packed again: its key, what its row says, the bytes of its
  // content, of its frame as stored, and its new frame.
  struct Repacked {
    int64_t key = 0;
    int64_t count = 0;
    int64_t longest = 0;
    size_t text = 0;
    size_t before = 0;
    std::string frame;
  };
  // Pages packed again, in the order RepackPage read them. Their frames
  // are made on the repacker's threads while the next pages are read;
  // TakeRepacked fills them in. What a run leaves handed over (it ended
  // on an error) is dropped with it.
  class Repacking {
   public:
    explicit Repacking(LibraryFile* file) : file_(file) {}
    ~Repacking();
    Repacking(const Repacking&) = delete;
    Repacking& operator=(const Repacking&) = delete;
    std::vector<Repacked> pages;

   private:
    friend class LibraryFile;
    LibraryFile* file_;
    size_t framed_ = 0;  // the pages before this one have their frames
    size_t handed_ = 0;  // pages of the run the repacker holds
  };
  // Which pages RepackPage packs again, with which dictionary.
  enum class Repack {
    kToDictionary,  // those not packed with the one in use, with it
    kEvery,         // every page, with the one in use
    kOwnDictionary  // every page, with the one it names (else the one in
                    // use)
  };
  // Packs the page row at key again, at the level in use, onto run's
  // pages, unless it does not read or mode leaves it as it is. Its frame
  // may wait on the repacker's threads: TakeRepacked(run, 0) before the
  // frames are used.
  StoreStatus RepackPage(int64_t key, Repack mode, Repacking* run);
  // Takes back the frames of run's pages, oldest first, until at most
  // leave of them are being packed.
  StoreStatus TakeRepacked(Repacking* run, size_t leave);
  // Stores pages packed again, in place; or, last_written (the pages a
  // writer of the transaction's catalog stored last), taken out and put
  // back in order.
  StoreStatus StoreRepacked(std::vector<Repacked>& pages, bool last_written);
  // The level compact packs pages at, and a version's pages so packed.
  int CompactLevel() const;
  StoreStatus MarkPacked(int64_t version, int level);
  // Compact's part: the pages of versions compact has not packed yet packed
  // again at its level, each kept where that makes it smaller.
  StoreStatus PackVersions();
  // The attributes as they are stored for an entry of the catalog: in the
  // packed form (packed_attributes.h) where they take it, else compressed
  // with the catalog's dictionary (*packed true: a blob), else as text.
  StoreStatus PackAttributes(int64_t catalog, const EntryName& entry,
                             const std::string& text, std::string* stored,
                             bool* packed);
  // The attributes of column i of a row read through c, of the entry
  // named name. describe() says which entry it is, for the message when
  // they do not read (and only then: a listing reads thousands).
  template <typename Describe>
  StoreStatus AttributesOf(Connection& c, Statement* st, int i,
                           std::string_view name, std::string* out,
                           const Describe& describe) {
    std::string why;
    if (ReadAttributes(c, st, i, name, out, &why)) return StoreStatus::Ok();
    return Damaged(describe() + ": its host attributes do not read: " + why);
  }
  // AttributesOf's reading: false with *why when they do not read.
  bool ReadAttributes(Connection& c, Statement* st, int i,
                      std::string_view name, std::string* out,
                      std::string* why);
  // The dictionaries pages read through c may name.
  DictionaryFinder FinderFor(Connection& c);
  StoreStatus CheckDictionaries(Connection& c, LibraryCheck* check);
  // Compact's parts: the host attributes of earlier releases packed where
  // they take the packed form; new dictionaries for catalogs that have
  // grown, their text compressed again (PackVersions below packs the
  // rest); dictionaries no page names dropped.
  StoreStatus RepackAttributes();
  StoreStatus RenewDictionaries();
  StoreStatus DropUnusedDictionaries();
  StoreStatus RenewCatalog(int64_t catalog, int64_t stored);
  // Sets the library's journal to WAL, waiting while others hold the
  // file.
  StoreStatus SetWal();
  // The journal mode SQLite reports ("wal", "delete"...; "" on failure).
  std::string JournalMode();
  // Rebuilds the file (VACUUM), with pages of page_size bytes where that is
  // not the present size and the file can be had to itself.
  StoreStatus Rebuild(int64_t present, int64_t page_size);
  // After a batch of a library this process made: once it holds enough
  // rows to tell, rebuilt with the page size they fill best, when that is
  // another. True once told (or the library is too large to rebuild in
  // passing).
  bool FitPagesToFirstRows();
  StoreStatus DropWriter(const EntryName& entry);
  StoreStatus WriterRow(Sql which, const EntryName& entry, const char* doing);
  void ReleaseWriter(const EntryName& entry, int64_t generation);
  void GiveBack(std::unique_ptr<Connection> connection);
  StoreStatus Damaged(const std::string& what) const;
  // Steps a statement of kFindEntry's columns into *row; its host
  // attributes unless not attributes.
  StoreStatus EntryOf(Connection& c, Statement* st, std::string_view name,
                      std::string_view type, EntryRow* row,
                      bool attributes = true);
  // The row a statement of kFindEntry's columns stands on.
  StoreStatus RowOf(Connection& c, Statement* st, std::string_view name,
                    std::string_view type, EntryRow* row, bool attributes);
  StoreStatus SweepOrphans();
  // Gives free pages back to the file system once there are many.
  void TrimFreeSpace();
  StoreStatus CheckVersion(Connection& connection, const std::string& entry,
                           int64_t version, int64_t count, int64_t longest,
                           LibraryCheck* check);
  StoreStatus CheckLeftovers(Connection& connection, LibraryCheck* check) const;
  // Removes pages whose version is gone.
  StoreStatus DropStrayPages();
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
  // Pages handed to the compressor whose rows wait, in the order handed.
  struct PendingPage {
    int64_t key;
    uint32_t count;
    uint32_t longest;
    int64_t catalog;
    bool committed;  // the last page of a commit
  };
  std::unique_ptr<PageCompressor> compressor_;
  std::unique_ptr<PageDecoder> decoder_;  // of readers' next pages
  // Packs pages again beside the reading of the next ones (made when
  // first used).
  std::unique_ptr<PageCompressor> repacker_;
  std::deque<PendingPage> pending_pages_;
  // How many pages the next change may leave waiting (kPagesInFlight for
  // a writer's page and a commit in a batch, else none).
  size_t keep_pending_ = 0;
  // Pages waiting when the change under way began: those handed over since
  // go with it should it fail.
  size_t pending_at_begin_ = 0;
  // Versions whose rows a transaction outside a batch stored, should it
  // fail; and the versions whose pages went so (their writers commit
  // nothing), with why.
  std::vector<int64_t> stored_in_change_;
  std::map<int64_t, StoreStatus> broken_versions_;
  std::map<int64_t, CatalogText> texts_;  // by catalog id
  std::vector<CatalogText*> sampled_;     // those whose samples are kept
  // Dictionaries read, by id; an id names the same bytes in every library.
  std::map<uint32_t, std::shared_ptr<PageDictionary>> dictionaries_;
  int64_t transactions_ = 0;  // write transactions begun
  // The cursors of this process writing each entry (by its key), and the
  // count of lost batches when the first took the lock: a lock taken
  // before a batch was lost may have gone with it.
  struct Writing {
    int cursors = 0;
    int64_t generation = 0;
  };
  std::map<std::string, Writing> writing_;
  StoreStatus read_only_refusal_;  // why changes are refused; Ok when
                                   // the store was opened for reading
  // Left by changes that failed, for the next change to do.
  std::vector<EntryName> unreleased_;  // writer locks to drop
  std::vector<int64_t> undiscarded_;   // staging versions to drop

  // Changes this process committed (transactions and batches stored).
  int64_t changes_ = 0;
  // The entry found last through a connection in a read transaction, with
  // its first page when that was read ahead.
  struct FoundEntry {
    int64_t transaction = 0;  // the read transaction it was found in
    std::string catalog;
    EntryRow row;
    std::shared_ptr<PageDecoder::Job> first_page;
  };
  FoundEntry last_found_;
  // A reader that goes through a catalog in its order (an export, in a
  // batch) finds each entry after the one before: the entries after the
  // last found are read a few at a time, and the first pages of the next
  // ones decoded meanwhile, as ReadAhead does within an entry. Only
  // through the snapshot a batch's readers share, in its read transaction,
  // where they stay as they are; and no longer once reading ahead has
  // missed more than it found (the reader goes in another order).
  struct EntryAhead {
    EntryRow row;
    std::shared_ptr<PageDecoder::Job> first_page;  // null: none
  };
  struct EntriesAhead {
    int64_t transaction = 0;  // the read transaction they were read in
    std::string catalog;
    std::deque<EntryAhead> entries;  // in the catalog's order
    std::string name, type;          // the last read ahead
    bool at_end = false;             // none after it
  };
  EntriesAhead ahead_;
  int64_t ahead_found_ = 0;   // entries found among those read ahead
  int64_t ahead_missed_ = 0;  // and not, with some read ahead
  // The snapshot readers share in a batch; null when none is taken.
  std::shared_ptr<Snapshot> shared_;

  // The batch (batches.cc).
  BatchLedger* ledger_ = nullptr;  // the store's
  bool batching_ = false;          // commits are gathered
  // Readers share one snapshot while this process changes nothing (in a
  // batch, of a library that may be changed or only read).
  bool share_reads_ = false;
  bool batch_open_ = false;  // the batch's transaction is open
  bool fit_pages_ = false;   // made by this process, its page size not fitted
  std::chrono::steady_clock::time_point batch_start_;
  size_t batch_bytes_ = 0;      // of pages gathered in it
  bool short_of_room_ = false;  // the file system, when last looked
  uint64_t spare_room_ = 0;     // free beyond what was needed, when last looked
  uint64_t written_since_ = 0;  // what pages may have taken of it since
  std::vector<int64_t> batch_commits_;  // their numbers in the ledger
  // The catalogs' ids as the batch's transaction sees them.
  std::map<std::string, int64_t, std::less<>> batch_catalogs_;
  // The batch's transaction found writer locks of other live processes:
  // locks are taken with their rows.
  bool batch_foreign_writers_ = true;
  // Writer locks of this process taken in the batch without their rows
  // (by entry key): written when the batch is stored while held.
  std::map<std::string, EntryName> unwritten_locks_;
  // Leftovers of earlier changes the batch did: to do again if it is lost.
  std::vector<EntryName> batch_released_;
  std::vector<int64_t> batch_discarded_;
  int64_t lost_batches_ = 0;

 public:
  // Set by the store, which keeps the ledger, before any change.
  void set_ledger(BatchLedger* ledger) { ledger_ = ledger; }
  int64_t lost_batches() const { return lost_batches_; }
};

// Pages a writer may have in the compressor at the start of its next
// change.
inline constexpr size_t kPagesInFlight = 4;
// Pages a repacking run may have on the repacker's threads while it reads
// the next ones (their contents are held meanwhile).
inline constexpr size_t kRepackAhead = 8;
// Entries read ahead at a time for a reader going through a catalog, each
// with its first page (handed to the decoder together: a thread woken for
// each small page would cost more than decoding it). The decoder is handed
// a batch once half of them are taken; with 8 its threads were woken every
// 4 entries, and an export of 10,000 small files spent a seventh of its
// processor time waking and switching threads.
inline constexpr int kEntriesAhead = 32;
// Reading entries ahead stops once it has missed this many more than it
// found.
inline constexpr int64_t kAheadMisses = 4;

// --- Transactions ---------------------------------------------------------

template <typename Body>
StoreStatus LibraryFile::Change(Body&& body) {
  if (mode_.read_only) return ReadOnlyRefusal();
  if (StoreStatus s = FlushBatch(); !s.ok()) return s;
  if (StoreStatus s = BeginChange(false); !s.ok()) return s;
  // What earlier changes could not do goes first.
  StoreStatus status = StorePending(keep_pending_);
  pending_at_begin_ = pending_pages_.size();
  if (status.ok()) status = Leftovers();
  if (status.ok()) status = body();
  return EndChange(false, status);
}

template <typename Body>
StoreStatus LibraryFile::Batched(Body&& body) {
  if (mode_.read_only) return ReadOnlyRefusal();
  if (!batching_) return Change(body);
  if (StoreStatus s = BeginChange(true); !s.ok()) return s;
  StoreStatus status = Leftovers();
  if (status.ok()) status = body();
  return EndChange(true, status);
}

template <typename Held, typename Body, typename Message>
StoreStatus LibraryFile::WhenFree(Held&& held, Body&& body,
                                  Message&& busy_message) {
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::milliseconds(options_.lock_timeout_ms);
  int pause_ms = 5;
  for (;;) {
    bool waiting = false;
    StoreStatus status = Batched([&]() -> StoreStatus {
      if (StoreStatus s = held(&waiting); !s.ok() || waiting) return s;
      return body();
    });
    if (!status.ok() || !waiting) return status;
    if (std::chrono::steady_clock::now() >= deadline) {
      return StoreStatus::Busy(busy_message());
    }
    // The other writer needs the library to finish.
    if (StoreStatus s = FlushBatch(); !s.ok()) return s;
    std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
    pause_ms = std::min(pause_ms * 2, 100);
  }
}

}  // namespace sqlite
}  // namespace refhost

#endif  // VUVOROZO_REFHOST_STORE_SQLITE_LIBRARY_FILE_H_
