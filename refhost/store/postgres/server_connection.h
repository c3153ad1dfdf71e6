// The PostgreSQL store's connection to its server, shared by the store and
// its cursors, with what the store's files share: the lock keys and
// version states, statement parameters and results, and the entry rows.
// The connection's routines are in server_connection.cc (connecting,
// statements, session locks, what a failure means), schema.cc (making and
// versioning the schema) and rows.cc (libraries, catalogs, entries,
// versions and pages).
//
// Schema (schema version 3, in vuvorozo.schema_version): one set of tables
// in the schema vuvorozo serves every library of the database, each row
// keyed by its library. A new library is then one row, made by one
// statement that never changes the schema (which would lock out the other
// machines while it ran), and the schema is made, and brought to a later
// schema version, once for all libraries.
//   libraries(id, libref, generation)  -- generation: bumped by every change
//   catalogs(id, library_id, name)
//   versions(id, library_id, state, record_count, longest,
//            packed)                       -- version 3
//   pages(version_id, first, count, longest, data)
//   entries(catalog_id, name, type, description, created, modified,
//           version_id, host_attributes,   -- the committed content
//           attributes_packed)             -- version 3
//   dictionaries(id, library_id, catalog, made, hash, data)  -- version 2
// Host attributes of the reference host's form are kept packed
// (packed_attributes.h, attributes_packed true), any others as they are.
// Names, types, descriptions and host attributes are bytea: kept and
// compared byte for byte, whatever the database's encoding and collation.
// pages.data is a record page in its stored form (record_page.h), kept as
// it is (no compression of the server's on top of zstd's).
//
// An entry's content is a version. A writer gathers records in a page in
// memory (paged_cursor.h); a page that fills goes to a staging version
// (state 0). The commit switches the entry to its version (state 1, live)
// and marks the old one dropped (state 2) in one transaction: one call of
// the schema's function commit_entry, so that a commit costs one round
// trip. Small entries need no staging version: the commit makes the live
// version with its page. Full pages (compressed beside the writer), and in
// a batch the commits, are sent without waiting for the server (libpq's
// pipeline, each statement a transaction of its own): their results are read
// with the next statement's, so that the server stores them while the writer
// goes on. A commit waits for its staging version's pages, and makes nothing
// when one failed.
//
// Advisory locks of the session (the server releases them when the
// connection ends, whatever machine or process it came from) say who uses
// what:
// - an entry's writer lock (exclusive), held from the open for writing to
//   the commit or end of the cursor: a writer of another connection waits
//   for it, up to the lock timeout; with it the catalog's writer lock
//   (shared), which a deletion of the catalog takes exclusively;
// - a staging version's lock (exclusive, its writer's);
// - a version's pin (shared, each reader's, and an updater's of the
//   version it started from);
// - an entry's commit lock (exclusive, for the transaction of a writer's
//   commit, which releases the writer's lock before it ends): the next
//   writer has the entry's lock once it can take the commit lock too, and
//   then reads what that commit made.
// A version that is not live is removed once its lock can be taken: so a
// staging version of a writer whose connection ended goes, and a dropped
// version goes once its last reader is done. A reader reads its version to
// the end without a transaction held open on the server. Locks of one
// connection never stop each other: the store leaves its own staging
// versions and pins out of every removal. Removal happens in every commit
// that drops a version and every deletion, for the library concerned, and
// in CompactLibrary.
//
// The schema is made by the first change of a database that has none (the
// makers take turns on a transaction lock). A schema of a later version is
// refused, never misread; a later version of this program brings an
// earlier schema to its own version in the same place, once.

#ifndef VUVOROZO_REFHOST_STORE_POSTGRES_SERVER_CONNECTION_H_
#define VUVOROZO_REFHOST_STORE_POSTGRES_SERVER_CONNECTION_H_

#include <libpq-fe.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "refhost/store/catalog_store.h"
#include "refhost/store/paged/page_compressor.h"
#include "refhost/store/paged/record_page.h"

namespace refhost {
namespace postgres {

inline constexpr int kSchemaVersion = 3;

// Advisory lock keys: a kind in the top bits, a version id or a name's hash
// below.
inline constexpr int64_t kVersionLock = int64_t{1} << 60;
inline constexpr int64_t kEntryLock = int64_t{2} << 60;
inline constexpr int64_t kCatalogLock = int64_t{3} << 60;
inline constexpr int64_t kSchemaLock = int64_t{4} << 60;
// An entry's commit lock (the entry lock's hash): a writer's commit holds
// it for its transaction, and the next writer's lock waits for it.
inline constexpr int64_t kCommitLock = int64_t{5} << 60;
inline constexpr int64_t kKeyMask = (int64_t{1} << 60) - 1;

enum VersionState { kStaging = 0, kLive = 1, kDropped = 2 };

// The schema's statements, in order (schema.cc).
extern const char* const kSchema[];
extern const size_t kSchemaStatements;

// FNV-1a over the parts, each ended by a zero byte.
int64_t Hash(std::initializer_list<std::string_view> parts);

// Statement parameters: integers as text, bytes as binary.
class Params {
 public:
  Params& Int(int64_t value) {
    owned_.push_back(std::make_unique<std::string>(std::to_string(value)));
    return Add(owned_.back()->data(), (int)owned_.back()->size(), 0);
  }
  Params& Bytes(std::string_view value) {
    return Add(value.data() != nullptr ? value.data() : "", (int)value.size(),
               1);
  }
  Params& Text(std::string_view value) {
    owned_.push_back(std::make_unique<std::string>(value));
    return Add(owned_.back()->c_str(), 0, 0);
  }
  Params& Null() { return Add(nullptr, 0, 1); }
  // An int8[].
  Params& Ints(const std::vector<int64_t>& values) {
    std::string text = "{";
    for (int64_t v : values) {
      if (text.size() > 1) text += ',';
      text += std::to_string(v);
    }
    return Text(text + "}");
  }

  int size() const { return (int)values_.size(); }
  const char* const* values() const { return values_.data(); }
  const int* lengths() const { return lengths_.data(); }
  const int* formats() const { return formats_.data(); }

 private:
  Params& Add(const char* data, int length, int format) {
    values_.push_back(data);
    lengths_.push_back(length);
    formats_.push_back(format);
    return *this;
  }

  std::vector<const char*> values_;
  std::vector<int> lengths_;
  std::vector<int> formats_;
  std::vector<std::unique_ptr<std::string>> owned_;
};

// A statement's result, in binary form; freed when it goes.
class Result {
 public:
  Result() = default;
  ~Result() { PQclear(result_); }
  Result(const Result&) = delete;
  Result& operator=(const Result&) = delete;

  void Reset(PGresult* result) {
    PQclear(result_);
    result_ = result;
  }
  int rows() const { return result_ != nullptr ? PQntuples(result_) : 0; }
  bool null(int row, int column) const {
    return PQgetisnull(result_, row, column) != 0;
  }
  // An integer column (int2, int4, int8 or bool), in network order; 0 for
  // null.
  int64_t Int(int row, int column) const {
    const unsigned char* p =
        (const unsigned char*)PQgetvalue(result_, row, column);
    int length = PQgetlength(result_, row, column);
    uint64_t v = 0;
    for (int i = 0; i < length; ++i) v = (v << 8) | p[i];
    if (length == 2) return (int16_t)v;
    if (length == 4) return (int32_t)v;
    return (int64_t)v;
  }
  std::string_view Bytes(int row, int column) const {
    return std::string_view(PQgetvalue(result_, row, column),
                            (size_t)PQgetlength(result_, row, column));
  }
  PGresult* get() const { return result_; }

 private:
  PGresult* result_ = nullptr;
};

struct EntryName {
  std::string catalog;
  std::string name;
  std::string type;
};

struct EntryRow {
  EntryInfo info;
  int64_t version = 0;
};

// The columns of an entry row, as EntryOf reads them (rows.cc), in a
// schema of the version given (before version 3 no attributes are packed).
const char* EntryColumns(int version);
inline constexpr int kEntryColumnCount = 10;
// The entry columns (EntryColumns) of a row, from column `at` on, into
// *out; false, with *why, when its host attributes are packed and do not
// unpack.
bool EntryOf(const Result& r, int row, int at, EntryRow* out, std::string* why);

// One connection to the server, shared by a store and its cursors.
class ServerConnection {
 public:
  ServerConnection(std::string url, const StoreOptions& options);
  ~ServerConnection();
  ServerConnection(const ServerConnection&) = delete;
  ServerConnection& operator=(const ServerConnection&) = delete;

  const std::string& shown() const { return shown_; }
  bool read_only() const { return options_.read_only; }
  const StoreOptions& options() const { return options_; }

  // The refusal of a change by a store opened for reading only.
  StoreStatus ReadOnlyRefusal() const;

  // Connects when not connected; again when the connection was lost and
  // nothing of this store's was held on it.
  StoreStatus Ready();

  // The server's version ("15.20"), once Ready.
  std::string Version() const;

  // --- Statements -------------------------------------------------------

  // Runs a statement (prepared on its first use on this connection).
  StoreStatus Run(const std::string& sql, const Params& params,
                  Result* result = nullptr);

  // Runs SQL text without parameters.
  StoreStatus Exec(const std::string& sql, Result* result = nullptr);

  // A statement sent without waiting for its result (libpq's pipeline), in
  // a transaction of its own: the server runs it before any later
  // statement of this connection. Its result is read with the next
  // statement's, in the same round trip (Run), or by Settle, and done is
  // given what it means then; done runs no statement itself (UnlockLater).
  // Inside Change's transaction the statement runs at once. Failure: the
  // statement could not be sent (done is not called).
  using Done = std::function<void(const StoreStatus&)>;
  StoreStatus Defer(const std::string& sql, const Params& params, Done done);
  // Reads the result of every statement deferred; the first failure.
  StoreStatus Settle();

  // Batches (CatalogStore::BeginBatch): whether commits are deferred, and
  // the store's ledger that says what became of each.
  void SetBatching(bool on, BatchLedger* ledger) {
    batching_ = on && !options_.read_only;
    ledger_ = ledger;
  }
  bool batching() const { return batching_; }
  BatchLedger* ledger() const { return ledger_; }
  // A commit of the batch that failed (its done notes it), and the first
  // noted since the last flush, which the flush gives and forgets.
  void NoteLoss(const StoreStatus& why) {
    if (loss_.ok()) loss_ = why;
  }
  StoreStatus FlushBatch() {
    Settle();
    StoreStatus loss = std::move(loss_);
    loss_ = StoreStatus::Ok();
    return loss;
  }

  // Runs body in one transaction, rolled back when body or the commit
  // fails.
  template <typename Body>
  StoreStatus Change(Body&& body) {
    if (options_.read_only) return ReadOnlyRefusal();
    if (StoreStatus s = Ready(); !s.ok()) return s;
    if (StoreStatus s = Exec("BEGIN"); !s.ok()) return s;
    ++changing_;
    StoreStatus status = body();
    --changing_;
    if (status.ok()) status = Exec("COMMIT");
    if (!status.ok()) Exec("ROLLBACK");
    return status;
  }

  // --- Locks ------------------------------------------------------------

  // Takes session locks (key, shared), waiting up to the lock timeout for
  // them all; Busy with busy after it, holding none.
  using Keys = std::vector<std::pair<int64_t, bool>>;
  // With probe (library, catalog name): NotFound, holding none, once the
  // catalog is seen absent.
  StoreStatus Lock(
      const Keys& keys, const std::string& busy,
      std::optional<std::pair<int64_t, std::string_view>> probe = std::nullopt);
  StoreStatus Lock(int64_t key, bool shared, const std::string& busy);
  // Best effort: a lost connection released them already.
  void Unlock(const Keys& keys);
  void Unlock(int64_t key, bool shared) { Unlock(Keys{{key, shared}}); }
  // Counts keys as released by the server's own work (a commit's).
  void Unlocked(const Keys& keys);
  // Unlocks those of keys that held says were taken.
  void Release(const Keys& keys, const std::vector<bool>& held);
  // Keys a deferred statement that failed would have released: unlocked
  // once no deferred statement is left unread.
  void UnlockLater(const Keys& keys);

  // Versions this connection holds (staging or pinned), kept out of every
  // removal.
  void Hold(int64_t version) { ++own_[version]; }
  void Drop(int64_t version);
  std::vector<int64_t> OwnVersions() const;

  // --- Schema -----------------------------------------------------------

  // The schema's version; 0 when the database has none yet.
  StoreStatus Inspect(int* version);

  // Makes the schema when the database has none. Processes that start at
  // once take turns on a transaction lock; the first makes it.
  StoreStatus MakeSchema();

  // --- Libraries and catalogs ---------------------------------------------

  // The librefs of the database's libraries, sorted; none while the
  // database has no schema.
  StoreStatus ListLibraries(std::vector<std::string>* librefs);

  // The library's id; NotFound unless create, which makes the schema and
  // the library when absent.
  StoreStatus LibraryId(const std::string& libref, bool create, int64_t* id);

  // The library's generation, as ChangeStamp's token; NotFound for an
  // absent library.
  StoreStatus Generation(int64_t library, std::string* stamp);

  // The catalog's id; NotFound when absent.
  StoreStatus CatalogId(int64_t library, std::string_view name, int64_t* id);

  // Inside a transaction: the catalog's id, made when absent (*made).
  StoreStatus InsertCatalog(int64_t library, std::string_view name, int64_t* id,
                            bool* made);

  // Inside a transaction: bumps the library's generation.
  StoreStatus Bump(int64_t library);

  // Removes the library's versions that are not live and that no one holds
  // (dropped versions no reader pins, staging versions of writers whose
  // connection ended); inside the caller's transaction.
  StoreStatus RemoveUnused(int64_t library);

  // Inside a transaction: marks the entry's version dropped and deletes
  // the entry's row; *found false when there was none.
  StoreStatus DropEntry(int64_t catalog, const EntryName& entry, bool* found);

  // --- Entries ------------------------------------------------------------

  // The entry's committed row, found by its names in one statement;
  // NotFound, with *catalog_found saying whether the catalog was there,
  // when absent. With pin, the version is pinned in the same statement
  // when it can be (*pinned), which the caller must confirm with a second
  // look: a removal may have taken the version in between.
  StoreStatus FindEntry(int64_t library, const EntryName& entry, EntryRow* row,
                        bool pin = false, bool* pinned = nullptr,
                        bool* catalog_found = nullptr);

  StoreStatus ListEntries(int64_t catalog, std::vector<EntryInfo>* out);
  // Compact's part: the pages of the library's entries not yet packed at
  // compact's level packed again at it (each with the dictionary it
  // names), each kept where that makes it smaller.
  StoreStatus PackVersions(int64_t library);
  // Compact's part: the host attributes of the library's entries that
  // take the packed form and are not in it (written by schema version 2,
  // or before) packed.
  StoreStatus PackAttributes(int64_t library);
  // The refusal of an entry whose host attributes do not read.
  StoreStatus AttributesDamaged(const EntryName& entry,
                                const std::string& why) const;

  // --- Versions and pages -------------------------------------------------

  // The page of version holding record number; count is the version's
  // record count.
  StoreStatus LoadPage(int64_t version, uint64_t number, uint64_t count,
                       RecordPage* page);

  // A version of the library in the given state; a staging version comes
  // locked as this connection's (in the statement that makes it, so that
  // no removal sees it unlocked).
  StoreStatus NewVersion(int64_t library, VersionState state, int64_t* version);

  // Copies the pages of base that start before `before` into version;
  // *records and *longest receive what they hold.
  StoreStatus CopyPages(int64_t base, int64_t version, uint64_t before,
                        uint64_t* records, uint32_t* longest);

  // Stores a full page of an entry of the catalog in version (a staging
  // one): compressed on threads beside the writer and sent once its frame
  // is had, a few at a time, while the writer goes on. A page that fails
  // breaks its version, which then commits nothing (Broken).
  StoreStatus StorePage(int64_t library, std::string_view catalog,
                        int64_t version, const RecordPage& page);
  // Why a page of version could not be stored (after Settle); Ok when
  // every page was.
  StoreStatus Broken(int64_t version) const;
  // The pages handed to the compressor, oldest first, are stored (their
  // statements deferred) until at most leave wait. Every statement of the
  // connection runs this first: the pages go to the server in the order
  // they were written, before anything that could depend on them.
  void FinishEncoding(size_t leave);

  // --- Dictionaries (dictionaries.cc) -------------------------------------

  // The stored form of a page of an entry of the catalog, in
  // codec().frame(): compressed with the catalog's dictionary, or without
  // one until enough of the catalog's text was written to make one.
  StoreStatus EncodePage(int64_t library, std::string_view catalog,
                         const RecordPage& page);

  // Finds the dictionaries stored pages name, for their decoding.
  DictionaryFinder Finder();

  // compact: gives each catalog of the library whose pages grew a new
  // dictionary, when one made of its pages as they are now packs them
  // smaller, and packs every page of its entries with it again. Older
  // dictionaries stay: a writer of another connection may be writing with
  // one.
  StoreStatus RenewDictionaries(int64_t library);

  // Adds to the check's problems each dictionary of the library that is
  // damaged.
  StoreStatus CheckDictionaries(int64_t library, std::string_view libref,
                                LibraryCheck* check);

  // Drops the version's pages from record from on (from starts a page);
  // *longest receives the longest record of the pages kept.
  StoreStatus DropPagesFrom(int64_t version, uint64_t from, uint32_t* longest);

  // A staging version given up: its lock goes, and a later change of the
  // library removes it.
  void ReleaseStaging(int64_t version);

  // "WORK.CAT.NAME.TYPE"
  static std::string Describe(const std::string& libref,
                              const EntryName& entry);

  // A status for a library found damaged.
  StoreStatus Damaged(const std::string& what) const;

  // A reader's failure to find a page (damaged, as the store sees it) of
  // version, which the primary may have removed under a reader of its
  // hot standby: a standby's readers pin nothing there. That is said so;
  // any other failure is given back as it is.
  StoreStatus ReadOnStandby(int64_t version, StoreStatus damaged);

  PageCodec& codec() { return codec_; }

 private:
  // The refusal of a schema vuvorozo that does not hold our libraries.
  StoreStatus NotOurs() const;

  // The text with the URL's password masked wherever it appears.
  std::string Masked(const std::string& text) const;

  struct CatalogText;
  // What this connection knows of the catalog's text (null before the
  // schema's version 2, which has no dictionaries).
  StoreStatus TextFor(int64_t library, std::string_view catalog,
                      CatalogText** out);
  // The bookkeeping of a page just packed, in codec_ (content and frame):
  // the fit of the catalog's dictionary, the samples of the next, a
  // dictionary made once there are enough. May pack the page again.
  StoreStatus NoteEncoded(int64_t library, std::string_view catalog,
                          CatalogText* text);
  // Sends the statement that stores a page of version.
  StoreStatus DeferPage(int64_t version, uint64_t first, uint32_t count,
                        uint32_t longest, const std::string& frame);

  // What a finished statement means, in words a user can read.
  StoreStatus StatusOf(const Result& result) const;
  // The connection went: libpq's reason.
  StoreStatus Lost() const;

  // The server is a hot standby (it says so when the session starts, and
  // again once promoted).
  bool InHotStandby() const;

  // The name of the statement prepared for sql on this connection
  // (preparing it now when it is not yet).
  StoreStatus Prepared(const std::string& sql, const Params& params,
                       const std::string** name);
  // Sends a prepared statement into the pipeline, with a sync after it;
  // its result goes to keep (when given) and its status to done.
  StoreStatus Send(const std::string& name, const Params& params, Done done,
                   Result* keep);
  // Reads the oldest deferred statement's result and its sync; what it
  // means (given to its done too).
  StoreStatus SettleOldest();
  // Every deferred statement failed with why (the connection went).
  void FailDeferred(const StoreStatus& why);
  // After a settle: leaves the pipeline, and unlocks what UnlockLater kept.
  void AfterSettle();

  std::string url_;
  std::string shown_;
  std::string password_;
  StoreOptions options_;
  PGconn* pg_ = nullptr;
  std::map<std::string, std::string> statements_;  // prepared, by text
  std::map<std::string, int64_t> libraries_;       // ids, by libref
  int schema_version_ = -1;                        // -1 until inspected
  int held_ = 0;  // session locks held: a lost connection lost them
  std::map<int64_t, int> own_;
  PageCodec codec_;
  int changing_ = 0;  // inside Change's transaction
  // Statements sent whose results are not read yet, oldest first.
  struct Pending {
    Done done;
    Result* keep;  // where the result goes; null: dropped
  };
  std::deque<Pending> deferred_;
  bool pipelined_ = false;  // in libpq's pipeline mode
  bool batching_ = false;
  BatchLedger* ledger_ = nullptr;
  StoreStatus loss_;
  Keys unlock_later_;
  std::map<int64_t, StoreStatus> broken_;  // versions a page of failed
  // Full pages being compressed beside the writer, in the order written
  // (StorePage), whose statements wait for their frames.
  struct Encoding {
    int64_t library;
    std::string catalog;
    int64_t version;
    uint64_t first;
    uint32_t count;
    uint32_t longest;
  };
  std::deque<Encoding> encoding_;
  std::unique_ptr<PageCompressor> compressor_;
  bool finishing_ = false;  // inside FinishEncoding

  // What a catalog's writers on this connection know of its text: its
  // dictionary, or the samples of what was written without one.
  struct CatalogText {
    bool looked = false;  // the catalog's dictionary was looked for
    bool failed = false;  // none can be made, or the stored one is damaged
    std::shared_ptr<PageDictionary> dictionary;
    std::vector<std::string> samples;
    size_t sample_bytes = 0;   // text the samples were taken from
    size_t sample_stored = 0;  // what that text took compressed
    DictionaryFit fit;         // of the dictionary, to the text written now
    bool drifting = false;     // samples are kept for a new dictionary
    int made = 0;              // dictionaries made on this connection
    // The catalog's dictionaries to choose from (ChooseDictionary), read
    // again once a dictionary is made or another found.
    std::vector<std::shared_ptr<PageDictionary>> choices;
  };
  // Where a window of the catalog's text ends: the dictionary of the
  // catalog's that fits the page that ended it is written with.
  StoreStatus ChooseFor(int64_t library, std::string_view catalog,
                        CatalogText* text, std::string_view content);
  StoreStatus LookForDictionary(int64_t library, std::string_view catalog,
                                CatalogText* text);
  StoreStatus MakeDictionaryOf(int64_t library, std::string_view catalog,
                               CatalogText* text);
  // Makes a dictionary of the samples and stores it (outside a transaction,
  // so that it is never rolled back under pages that name it), unless
  // worth (when given) refuses it; *stored null when none was stored.
  StoreStatus StoreDictionary(
      int64_t library, std::string_view catalog,
      const std::vector<std::string>& samples,
      const std::function<bool(PageDictionary& made)>& worth,
      std::shared_ptr<PageDictionary>* stored);
  StoreStatus RenewCatalog(int64_t library, int64_t catalog_id,
                           const std::string& catalog);
  // What texts_ and dictionaries_ hold is forgotten at the next use: the
  // connection was made again.
  void ForgetIfReconnected();
  bool forget_dictionaries_ = false;
  std::map<std::pair<int64_t, std::string>, CatalogText> texts_;
  std::vector<CatalogText*> sampled_;  // those whose samples are kept
  std::map<uint32_t, std::shared_ptr<PageDictionary>> dictionaries_;  // by id
};

// An entry's writer lock and its catalog's, released when it goes (or by a
// commit, with the staging version's).
class WriterLock {
 public:
  WriterLock(std::shared_ptr<ServerConnection> connection,
             ServerConnection::Keys keys)
      : connection_(std::move(connection)), keys_(std::move(keys)) {}
  ~WriterLock() { connection_->Unlock(keys_); }
  WriterLock(const WriterLock&) = delete;
  WriterLock& operator=(const WriterLock&) = delete;

  const ServerConnection::Keys& keys() const { return keys_; }
  // Gives the keys up: the caller unlocked them.
  ServerConnection::Keys Take() { return std::move(keys_); }

 private:
  std::shared_ptr<ServerConnection> connection_;
  ServerConnection::Keys keys_;
};

// A reader's pin of a version, released when it goes.
class Pin {
 public:
  Pin(std::shared_ptr<ServerConnection> connection, int64_t version)
      : connection_(std::move(connection)), version_(version) {}
  ~Pin() {
    connection_->Drop(version_);
    connection_->Unlock(kVersionLock + version_, true);
  }
  Pin(const Pin&) = delete;
  Pin& operator=(const Pin&) = delete;

 private:
  std::shared_ptr<ServerConnection> connection_;
  int64_t version_;
};

}  // namespace postgres
}  // namespace refhost

#endif  // VUVOROZO_REFHOST_STORE_POSTGRES_SERVER_CONNECTION_H_
