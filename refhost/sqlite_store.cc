// A CatalogStore with one SQLite database a library:
// <data folder>/<libref in lower case>.db, in WAL mode.
//
// Tables (schema version 1, in PRAGMA user_version):
//   catalogs(id, name)
//   entries(catalog_id, name, type, description, created, modified,
//           version_id, host_attributes)   -- the committed content
//   versions(id, state, owner_pid, record_count, longest)
//   records(key, kind, data)               -- key = version << 32 | number
//
// An entry's content is a version. A writable cursor writes its records
// into a staging version (state 0, owned by this process) under batched
// transactions, and its commit switches the entry to that version in one
// transaction. So a process killed in the middle of writing leaves the
// entry on its previous version; its staging version is an orphan, removed
// when a later process opens the library and finds its owner gone. The old
// version of a switched or deleted entry is dropped at once unless a reader
// of this process still reads it; then it is retired (state 2) and dropped
// when the last such reader closes. Readers of other processes keep their
// own snapshot while they step through a version.
//
// One connection a library is shared by every cursor of the store, so
// several members can be open at once in one process. Writes gather in one
// open transaction that is committed every kBatchRecords records, at an
// entry's commit and at any change of catalogs or entries; between host
// calls that transaction may hold the library's write lock. The per-record
// path is one bind and step of a prepared statement.

#include <dirent.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "refhost/catalog_store.h"

namespace refhost {
namespace {

constexpr int kSchemaVersion = 1;
constexpr int64_t kBatchRecords = 65536;
constexpr int kBusyTimeoutMs = 5000;

constexpr int kStaging = 0;
constexpr int kLive = 1;
constexpr int kRetired = 2;

const std::string kNoAttributes;

constexpr const char* kSchema = R"sql(
CREATE TABLE catalogs(
  id INTEGER PRIMARY KEY,
  name TEXT NOT NULL UNIQUE);
CREATE TABLE versions(
  id INTEGER PRIMARY KEY,
  state INTEGER NOT NULL,
  owner_pid INTEGER NOT NULL,
  record_count INTEGER NOT NULL DEFAULT 0,
  longest INTEGER NOT NULL DEFAULT 0);
CREATE TABLE entries(
  catalog_id INTEGER NOT NULL,
  name TEXT NOT NULL,
  type TEXT NOT NULL,
  description TEXT NOT NULL,
  created INTEGER NOT NULL,
  modified INTEGER NOT NULL,
  version_id INTEGER NOT NULL,
  host_attributes TEXT NOT NULL DEFAULT '',
  PRIMARY KEY(catalog_id, name, type)) WITHOUT ROWID;
CREATE TABLE records(
  key INTEGER PRIMARY KEY,
  kind INTEGER NOT NULL,
  data BLOB NOT NULL);
PRAGMA user_version = 1;
)sql";

int64_t NowMicros() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

int64_t RecordKey(int64_t version, uint64_t number) {
  return (version << 32) + (int64_t)number;
}

bool ProcessAlive(int64_t pid) {
  if (pid <= 0) return false;
  return kill((pid_t)pid, 0) == 0 || errno != ESRCH;
}

// A prepared statement, finalized with its owner.
class Statement {
 public:
  Statement() = default;
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  int Prepare(sqlite3* db, const char* sql) {
    sqlite3_finalize(stmt_);
    stmt_ = nullptr;
    return sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt_,
                              nullptr);
  }
  sqlite3_stmt* get() const { return stmt_; }
  void Reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  void Bind(int i, int64_t v) { sqlite3_bind_int64(stmt_, i, v); }
  void Bind(int i, std::string_view text) {
    sqlite3_bind_text(stmt_, i, text.data(), (int)text.size(),
                      SQLITE_TRANSIENT);
  }
  int Step() { return sqlite3_step(stmt_); }
  int64_t Int(int i) { return sqlite3_column_int64(stmt_, i); }
  std::string Text(int i) {
    const unsigned char* t = sqlite3_column_text(stmt_, i);
    return t ? std::string((const char*)t, sqlite3_column_bytes(stmt_, i))
             : std::string();
  }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

// One library's database, shared by the store and its cursors.
class Library {
 public:
  // Statements still prepared (ours are members, finalized after this
  // body) keep the connection as a zombie until they go.
  ~Library() {
    if (in_transaction_) Exec("COMMIT");
    sqlite3_close_v2(db_);
  }

  StoreStatus Open(const std::string& path, bool create) {
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX |
                (create ? SQLITE_OPEN_CREATE : 0);
    if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
      return Error("open " + path);
    }
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    if (StoreStatus s = Exec("PRAGMA journal_mode=WAL"); !s.ok()) return s;
    if (StoreStatus s = Exec("PRAGMA synchronous=NORMAL"); !s.ok()) return s;
    if (StoreStatus s = EnsureSchema(); !s.ok()) return s;
    if (StoreStatus s = PrepareAll(); !s.ok()) return s;
    return SweepOrphans();
  }

  sqlite3* db() const { return db_; }

  StoreStatus Error(const std::string& what) {
    std::string text = what + ": " + (db_ ? sqlite3_errmsg(db_) : "no db");
    int code = db_ ? sqlite3_errcode(db_) : SQLITE_ERROR;
    if (code == SQLITE_BUSY || code == SQLITE_LOCKED) {
      return StoreStatus::Busy(text);
    }
    return StoreStatus::IoError(text);
  }

  StoreStatus Exec(const char* sql) {
    if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
      return Error(sql);
    }
    return StoreStatus::Ok();
  }

  // Starts the shared write transaction when none is open.
  StoreStatus BeginWrite() {
    if (in_transaction_) return StoreStatus::Ok();
    if (StoreStatus s = Exec("BEGIN IMMEDIATE"); !s.ok()) return s;
    in_transaction_ = true;
    ++serial_;
    batched_ = 0;
    return StoreStatus::Ok();
  }

  // Commits the shared write transaction, if open. On failure everything
  // since BEGIN is rolled back and its serial noted, so that cursors whose
  // staged records went with it know.
  StoreStatus Commit() {
    if (!in_transaction_) return StoreStatus::Ok();
    StoreStatus s = Exec("COMMIT");
    if (!s.ok()) {
      Rollback();
      return s;
    }
    in_transaction_ = false;
    batched_ = 0;
    return StoreStatus::Ok();
  }

  void Rollback() {
    if (in_transaction_) {
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    if (in_transaction_) rolled_back_.push_back(serial_);
    in_transaction_ = false;
    batched_ = 0;
  }

  // Counts one staged record; commits the batch when it is full.
  StoreStatus Staged() {
    if (++batched_ >= kBatchRecords) return Commit();
    return StoreStatus::Ok();
  }

  // The write transaction now open (valid after BeginWrite).
  uint64_t serial() const { return serial_; }
  // Whether the transaction of that serial was rolled back.
  bool RolledBack(uint64_t serial) const {
    for (uint64_t s : rolled_back_) {
      if (s == serial) return true;
    }
    return false;
  }

  // Catalog id; NotFound when absent. Not cached: another process may
  // delete a catalog.
  StoreStatus CatalogId(std::string_view name, int64_t* id) {
    Statement& st = find_catalog_;
    st.Bind(1, name);
    int rc = st.Step();
    StoreStatus status;
    if (rc == SQLITE_ROW) {
      *id = st.Int(0);
    } else if (rc == SQLITE_DONE) {
      status = StoreStatus::NotFound("no such catalog");
    } else {
      status = Error("find catalog");
    }
    st.Reset();
    return status;
  }

  StoreStatus CreateCatalog(std::string_view name) {
    int64_t id;
    if (CatalogId(name, &id).ok()) return StoreStatus::Ok();
    if (StoreStatus s = BeginWrite(); !s.ok()) return s;
    if (StoreStatus s = InsertCatalog(name, &id); !s.ok()) {
      Rollback();
      return s;
    }
    return Commit();
  }

  // The catalog's id, making the catalog when absent; inside the caller's
  // transaction.
  StoreStatus InsertCatalog(std::string_view name, int64_t* id) {
    insert_catalog_.Bind(1, name);
    int rc = insert_catalog_.Step();
    insert_catalog_.Reset();
    if (rc != SQLITE_DONE) return Error("create catalog");
    return CatalogId(name, id);
  }

  StoreStatus ListCatalogs(std::vector<CatalogInfo>* out) {
    Statement& st = list_catalogs_;
    int rc;
    while ((rc = st.Step()) == SQLITE_ROW) {
      out->push_back({st.Text(0), st.Int(1)});
    }
    st.Reset();
    return rc == SQLITE_DONE ? StoreStatus::Ok() : Error("list catalogs");
  }

  // Deletes the catalog, and its entries when with_entries; NotEmpty when
  // it holds entries and not with_entries.
  StoreStatus DeleteCatalog(std::string_view name, bool with_entries) {
    if (StoreStatus s = BeginWrite(); !s.ok()) return s;
    int64_t id;
    StoreStatus s = CatalogId(name, &id);
    std::vector<int64_t> versions;
    if (s.ok()) {
      Statement& st = catalog_versions_;
      st.Bind(1, id);
      int rc;
      while ((rc = st.Step()) == SQLITE_ROW) versions.push_back(st.Int(0));
      st.Reset();
      if (rc != SQLITE_DONE) s = Error("list entries");
    }
    if (s.ok() && !versions.empty() && !with_entries) {
      s = StoreStatus::NotEmpty("the catalog holds entries");
    }
    for (size_t i = 0; s.ok() && i < versions.size(); ++i) {
      s = DropVersion(versions[i]);
    }
    if (s.ok()) {
      delete_catalog_entries_.Bind(1, id);
      int rc = delete_catalog_entries_.Step();
      delete_catalog_entries_.Reset();
      delete_catalog_.Bind(1, id);
      if (rc == SQLITE_DONE) rc = delete_catalog_.Step();
      delete_catalog_.Reset();
      if (rc != SQLITE_DONE) s = Error("delete catalog");
    }
    if (!s.ok()) {
      Rollback();
      return s;
    }
    return Commit();
  }

  struct EntryRow {
    EntryInfo info;
    int64_t version = 0;
  };

  StoreStatus FindEntry(int64_t catalog, std::string_view name,
                        std::string_view type, EntryRow* row) {
    Statement& st = find_entry_;
    st.Bind(1, catalog);
    st.Bind(2, name);
    st.Bind(3, type);
    int rc = st.Step();
    StoreStatus status;
    if (rc == SQLITE_ROW) {
      row->info.name = std::string(name);
      row->info.type = std::string(type);
      FillRow(st, 0, row);
    } else if (rc == SQLITE_DONE) {
      status = StoreStatus::NotFound("no such entry");
    } else {
      status = Error("find entry");
    }
    st.Reset();
    return status;
  }

  StoreStatus ListEntries(int64_t catalog, std::vector<EntryInfo>* out) {
    Statement& st = list_entries_;
    st.Bind(1, catalog);
    int rc;
    while ((rc = st.Step()) == SQLITE_ROW) {
      EntryRow row;
      row.info.name = st.Text(0);
      row.info.type = st.Text(1);
      FillRow(st, 2, &row);
      out->push_back(std::move(row.info));
    }
    st.Reset();
    return rc == SQLITE_DONE ? StoreStatus::Ok() : Error("list entries");
  }

  // Points the entry at version (making the entry when absent) and drops
  // the entry's previous version. Runs inside the caller's transaction.
  // attributes: the host attributes to store; null keeps the entry's.
  StoreStatus SetEntryVersion(int64_t catalog, std::string_view name,
                              std::string_view type,
                              std::string_view description, int64_t version,
                              const std::string* attributes) {
    EntryRow old;
    StoreStatus found = FindEntry(catalog, name, type, &old);
    if (!found.ok() && !found.IsNotFound()) return found;
    int64_t now = NowMicros();
    Statement& st = upsert_entry_;
    st.Bind(1, catalog);
    st.Bind(2, name);
    st.Bind(3, type);
    st.Bind(4, description);
    st.Bind(5, now);
    st.Bind(6, version);
    if (attributes != nullptr) st.Bind(7, *attributes);
    int rc = st.Step();
    st.Reset();
    if (rc != SQLITE_DONE) return Error("set entry");
    if (found.ok() && old.version != version) return DropVersion(old.version);
    return StoreStatus::Ok();
  }

  StoreStatus DeleteEntry(int64_t catalog, std::string_view name,
                          std::string_view type) {
    if (StoreStatus s = BeginWrite(); !s.ok()) return s;
    EntryRow old;
    StoreStatus s = FindEntry(catalog, name, type, &old);
    if (s.ok()) {
      delete_entry_.Bind(1, catalog);
      delete_entry_.Bind(2, name);
      delete_entry_.Bind(3, type);
      int rc = delete_entry_.Step();
      delete_entry_.Reset();
      s = rc == SQLITE_DONE ? DropVersion(old.version) : Error("delete entry");
    }
    if (!s.ok() && !s.IsNotFound()) {
      Rollback();
      return s;
    }
    StoreStatus c = Commit();
    return c.ok() ? s : c;
  }

  // A version for a writer; inside the caller's transaction.
  StoreStatus NewVersion(int state, int64_t* version) {
    new_version_.Bind(1, state);
    new_version_.Bind(2, (int64_t)getpid());
    int rc = new_version_.Step();
    new_version_.Reset();
    if (rc != SQLITE_DONE) return Error("new version");
    *version = sqlite3_last_insert_rowid(db_);
    return StoreStatus::Ok();
  }

  StoreStatus SetVersion(int64_t version, int state, uint64_t count,
                         uint32_t longest) {
    set_version_.Bind(1, state);
    set_version_.Bind(2, (int64_t)count);
    set_version_.Bind(3, (int64_t)longest);
    set_version_.Bind(4, version);
    int rc = set_version_.Step();
    set_version_.Reset();
    if (rc != SQLITE_DONE) return Error("set version");
    return sqlite3_changes(db_) == 1 ? StoreStatus::Ok()
                                     : StoreStatus::NotFound("no such version");
  }

  // Drops a version no entry uses any more, or retires it while a reader of
  // this process still reads it. Inside the caller's transaction.
  StoreStatus DropVersion(int64_t version) {
    if (pins_.count(version)) {
      set_state_.Bind(1, kRetired);
      set_state_.Bind(2, (int64_t)getpid());
      set_state_.Bind(3, version);
      int rc = set_state_.Step();
      set_state_.Reset();
      return rc == SQLITE_DONE ? StoreStatus::Ok() : Error("retire version");
    }
    return DeleteVersion(version);
  }

  StoreStatus DeleteVersion(int64_t version) {
    if (StoreStatus s = DeleteRecords(version, 0); !s.ok()) return s;
    delete_version_.Bind(1, version);
    int rc = delete_version_.Step();
    delete_version_.Reset();
    return rc == SQLITE_DONE ? StoreStatus::Ok() : Error("delete version");
  }

  // Deletes the version's records from number `from` on.
  StoreStatus DeleteRecords(int64_t version, uint64_t from) {
    delete_records_.Bind(1, RecordKey(version, from));
    delete_records_.Bind(2, RecordKey(version + 1, 0));
    int rc = delete_records_.Step();
    delete_records_.Reset();
    return rc == SQLITE_DONE ? StoreStatus::Ok() : Error("delete records");
  }

  uint32_t Longest(int64_t version) {
    longest_.Bind(1, RecordKey(version, 0));
    longest_.Bind(2, RecordKey(version + 1, 0));
    uint32_t longest = 0;
    if (longest_.Step() == SQLITE_ROW) longest = (uint32_t)longest_.Int(0);
    longest_.Reset();
    return longest;
  }

  StoreStatus CopyRecords(int64_t from, int64_t to, uint64_t count) {
    copy_records_.Bind(1, RecordKey(to, 0) - RecordKey(from, 0));
    copy_records_.Bind(2, RecordKey(from, 0));
    copy_records_.Bind(3, RecordKey(from, count));
    int rc = copy_records_.Step();
    copy_records_.Reset();
    return rc == SQLITE_DONE ? StoreStatus::Ok() : Error("copy records");
  }

  StoreStatus InsertRecord(int64_t key, const void* data, uint32_t length,
                           uint16_t kind) {
    sqlite3_stmt* st = insert_record_.get();
    sqlite3_bind_int64(st, 1, key);
    sqlite3_bind_int(st, 2, kind);
    // The bytes stay put for the step: no copy.
    sqlite3_bind_blob(st, 3, length ? data : "", (int)length, SQLITE_STATIC);
    int rc = sqlite3_step(st);
    sqlite3_reset(st);
    return rc == SQLITE_DONE ? StoreStatus::Ok() : Error("write record");
  }

  void Pin(int64_t version) { ++pins_[version]; }

  // The last reader of a retired version drops it.
  void Unpin(int64_t version) {
    auto it = pins_.find(version);
    if (it == pins_.end() || --it->second > 0) return;
    pins_.erase(it);
    state_of_.Bind(1, version);
    bool retired =
        state_of_.Step() == SQLITE_ROW && state_of_.Int(0) == kRetired;
    state_of_.Reset();
    if (!retired) return;
    if (!BeginWrite().ok()) return;  // the next open sweeps it
    if (!DeleteVersion(version).ok()) {
      Rollback();
      return;
    }
    Commit();
  }

  // Throws away a writer's staging version (cursor given up).
  void Discard(int64_t version) {
    if (!BeginWrite().ok()) return;
    if (!DeleteVersion(version).ok()) Rollback();
    // Left in the batch: the next commit carries it.
  }

 private:
  static void FillRow(Statement& st, int at, EntryRow* row) {
    row->info.description = st.Text(at);
    row->info.created_micros = st.Int(at + 1);
    row->info.modified_micros = st.Int(at + 2);
    row->version = st.Int(at + 3);
    row->info.record_count = st.Int(at + 4);
    row->info.longest_record = (int32_t)st.Int(at + 5);
    row->info.host_attributes = st.Text(at + 6);
  }

  StoreStatus EnsureSchema() {
    Statement version;
    if (version.Prepare(db_, "PRAGMA user_version") != SQLITE_OK ||
        version.Step() != SQLITE_ROW) {
      return Error("read schema version");
    }
    int64_t v = version.Int(0);
    version.Reset();
    if (v == kSchemaVersion) return AddAttributeColumn();
    if (v > kSchemaVersion) {
      return StoreStatus::IoError("library written by a newer version (" +
                                  std::to_string(v) + ")");
    }
    // Version 0: a new file. Another process may be making it too; the
    // write lock decides and the loser finds the tables made.
    if (StoreStatus s = BeginWrite(); !s.ok()) return s;
    if (version.Prepare(db_, "PRAGMA user_version") != SQLITE_OK ||
        version.Step() != SQLITE_ROW) {
      Rollback();
      return Error("read schema version");
    }
    v = version.Int(0);
    version.Reset();
    if (v == 0) {
      if (sqlite3_exec(db_, kSchema, nullptr, nullptr, nullptr) != SQLITE_OK) {
        StoreStatus s = Error("make tables");
        Rollback();
        return s;
      }
    }
    return Commit();
  }

  // Libraries made before entries kept host attributes lack their column.
  StoreStatus AddAttributeColumn() {
    Statement probe;
    if (probe.Prepare(db_, "SELECT host_attributes FROM entries LIMIT 0") ==
        SQLITE_OK) {
      return StoreStatus::Ok();
    }
    return Exec(
        "ALTER TABLE entries ADD COLUMN host_attributes TEXT NOT NULL "
        "DEFAULT ''");
  }

  StoreStatus PrepareAll() {
    struct {
      Statement* st;
      const char* sql;
    } const kStatements[] = {
        {&find_catalog_, "SELECT id FROM catalogs WHERE name = ?1"},
        {&insert_catalog_, "INSERT OR IGNORE INTO catalogs(name) VALUES(?1)"},
        {&find_entry_,
         "SELECT e.description, e.created, e.modified, e.version_id, "
         "v.record_count, v.longest, e.host_attributes FROM entries e JOIN "
         "versions v ON v.id = e.version_id "
         "WHERE e.catalog_id = ?1 AND e.name = ?2 AND e.type = ?3"},
        {&list_entries_,
         "SELECT e.name, e.type, e.description, e.created, e.modified, "
         "e.version_id, v.record_count, v.longest, e.host_attributes FROM "
         "entries e JOIN versions v ON v.id = e.version_id "
         "WHERE e.catalog_id = ?1 "
         "ORDER BY e.name, e.type"},
        {&upsert_entry_,
         "INSERT INTO entries(catalog_id, name, type, description, created, "
         "modified, version_id, host_attributes) "
         "VALUES(?1, ?2, ?3, ?4, ?5, ?5, ?6, coalesce(?7, '')) "
         "ON CONFLICT(catalog_id, name, type) DO UPDATE SET "
         "description = CASE WHEN ?4 <> '' THEN ?4 ELSE description END, "
         "modified = ?5, version_id = ?6, "
         "host_attributes = coalesce(?7, host_attributes)"},
        {&list_catalogs_,
         "SELECT c.name, count(e.name) FROM catalogs c LEFT JOIN entries e "
         "ON e.catalog_id = c.id GROUP BY c.id ORDER BY c.name"},
        {&catalog_versions_,
         "SELECT version_id FROM entries WHERE catalog_id = ?1"},
        {&delete_catalog_entries_, "DELETE FROM entries WHERE catalog_id = ?1"},
        {&delete_catalog_, "DELETE FROM catalogs WHERE id = ?1"},
        {&delete_entry_,
         "DELETE FROM entries WHERE catalog_id = ?1 AND name = ?2 AND "
         "type = ?3"},
        {&new_version_,
         "INSERT INTO versions(state, owner_pid) VALUES(?1, ?2)"},
        {&set_version_,
         "UPDATE versions SET state = ?1, record_count = ?2, longest = ?3 "
         "WHERE id = ?4"},
        {&set_state_,
         "UPDATE versions SET state = ?1, owner_pid = ?2 "
         "WHERE id = ?3"},
        {&state_of_, "SELECT state FROM versions WHERE id = ?1"},
        {&delete_version_, "DELETE FROM versions WHERE id = ?1"},
        {&delete_records_, "DELETE FROM records WHERE key >= ?1 AND key < ?2"},
        {&longest_,
         "SELECT coalesce(max(length(data)), 0) FROM records "
         "WHERE key >= ?1 AND key < ?2"},
        {&copy_records_,
         "INSERT INTO records(key, kind, data) SELECT key + ?1, kind, data "
         "FROM records WHERE key >= ?2 AND key < ?3"},
        {&insert_record_,
         "INSERT INTO records(key, kind, data) VALUES(?1, ?2, ?3)"},
    };
    for (const auto& s : kStatements) {
      if (s.st->Prepare(db_, s.sql) != SQLITE_OK) return Error(s.sql);
    }
    return StoreStatus::Ok();
  }

  // Removes the versions of writers that are gone (a process killed while
  // writing), and live versions no entry uses.
  StoreStatus SweepOrphans() {
    Statement st;
    if (st.Prepare(db_,
                   "SELECT id, state, owner_pid FROM versions WHERE state <> 1 "
                   "OR id NOT IN (SELECT version_id FROM entries)") !=
        SQLITE_OK) {
      return Error("find orphans");
    }
    std::vector<int64_t> orphans;
    int rc;
    while ((rc = st.Step()) == SQLITE_ROW) {
      if (st.Int(1) == kLive || !ProcessAlive(st.Int(2))) {
        orphans.push_back(st.Int(0));
      }
    }
    st.Reset();
    if (rc != SQLITE_DONE) return Error("find orphans");
    if (orphans.empty()) return StoreStatus::Ok();
    if (StoreStatus s = BeginWrite(); !s.ok()) return s;
    for (int64_t v : orphans) {
      if (StoreStatus s = DeleteVersion(v); !s.ok()) {
        Rollback();
        return s;
      }
    }
    return Commit();
  }

  sqlite3* db_ = nullptr;
  bool in_transaction_ = false;
  int64_t batched_ = 0;
  uint64_t serial_ = 0;                // write transactions begun
  std::vector<uint64_t> rolled_back_;  // serials rolled back (rare)
  std::map<int64_t, int> pins_;        // versions readers of ours are reading
  Statement find_catalog_, insert_catalog_, find_entry_, list_entries_,
      upsert_entry_, list_catalogs_, catalog_versions_, delete_catalog_entries_,
      delete_catalog_, delete_entry_, new_version_, set_version_, set_state_,
      state_of_, delete_version_, delete_records_, longest_, copy_records_,
      insert_record_;
};

class SqliteCursor final : public EntryCursor {
 public:
  SqliteCursor(std::shared_ptr<Library> library, std::string catalog,
               std::string name, std::string type, OpenIntent intent,
               std::string description, int64_t base, uint64_t count,
               uint32_t longest)
      : library_(std::move(library)),
        catalog_(std::move(catalog)),
        name_(std::move(name)),
        type_(std::move(type)),
        intent_(intent),
        description_(std::move(description)),
        base_(base),
        count_(count),
        longest_(longest) {
    if (base_ != 0) library_->Pin(base_);
  }

  ~SqliteCursor() override {
    reader_ = nullptr;  // finalize before the version can go
    if (staging_ != 0 && !committed_) library_->Discard(staging_);
    if (base_ != 0) library_->Unpin(base_);
  }

  uint64_t position() const override { return position_; }
  uint64_t record_count() const override { return count_; }
  uint32_t longest_record() const override { return longest_; }
  bool writable() const override { return intent_ != OpenIntent::kRead; }

  StoreStatus Seek(uint64_t position) override {
    if (position > count_) {
      return StoreStatus::InvalidArgument("position beyond the end");
    }
    position_ = position;
    rebind_ = true;
    return StoreStatus::Ok();
  }

  StoreStatus Read(RecordView* record) override {
    if (position_ >= count_) return StoreStatus::NotFound("end");
    int64_t version = staging_ != 0 ? staging_ : base_;
    for (int attempt = 0; attempt < 2; ++attempt) {
      if (reader_ == nullptr) {
        reader_ = std::make_unique<Statement>();
        if (reader_->Prepare(library_->db(),
                             "SELECT kind, data FROM records WHERE key >= ?1 "
                             "AND key < ?2 ORDER BY key") != SQLITE_OK) {
          reader_ = nullptr;
          return library_->Error("prepare read");
        }
        rebind_ = true;
      }
      sqlite3_stmt* st = reader_->get();
      if (rebind_) {
        sqlite3_reset(st);
        sqlite3_bind_int64(st, 1, RecordKey(version, position_));
        sqlite3_bind_int64(st, 2, RecordKey(version, count_));
        rebind_ = false;
      }
      int rc = sqlite3_step(st);
      if (rc == SQLITE_ROW) {
        record->kind = (uint16_t)sqlite3_column_int(st, 0);
        record->data = (const uint8_t*)sqlite3_column_blob(st, 1);
        record->length = (uint32_t)sqlite3_column_bytes(st, 1);
        ++position_;
        return StoreStatus::Ok();
      }
      rebind_ = true;
      if (rc == SQLITE_DONE) {
        return StoreStatus::IoError("records missing from a version");
      }
      // A rollback of the shared transaction aborts pending statements;
      // the version read is untouched by it, so start the step again.
      if ((rc & 0xff) != SQLITE_ABORT) return library_->Error("read record");
    }
    return library_->Error("read record");
  }

  StoreStatus Write(const void* data, uint32_t length, uint16_t kind) override {
    if (!writable()) return StoreStatus::InvalidArgument("read cursor");
    if (committed_) return StoreStatus::InvalidArgument("cursor committed");
    if (StoreStatus s = Usable(); !s.ok()) return s;
    if (StoreStatus s = library_->BeginWrite(); !s.ok()) return s;
    serial_ = library_->serial();
    StoreStatus s = Stage(data, length, kind);
    if (!s.ok()) {
      library_->Rollback();
      return s;
    }
    rebind_ = true;
    return library_->Staged();
  }

  StoreStatus Commit() override {
    if (!writable()) return StoreStatus::Ok();
    if (committed_) return StoreStatus::InvalidArgument("cursor committed");
    if (StoreStatus s = Usable(); !s.ok()) return s;
    if (StoreStatus s = library_->BeginWrite(); !s.ok()) return s;
    // A catalog deleted while the cursor was open comes back with it.
    int64_t catalog;
    StoreStatus s = library_->InsertCatalog(catalog_, &catalog);
    int64_t version = staging_;
    if (!s.ok()) {
      // reported below
    } else if (version != 0) {
      s = library_->SetVersion(version, kLive, count_, longest_);
    } else if (intent_ == OpenIntent::kUpdate) {
      // An update that wrote nothing keeps the entry's content as it
      // stands, even when another writer changed it since this cursor
      // opened; an entry deleted meanwhile comes back as this cursor saw it.
      Library::EntryRow row;
      s = library_->FindEntry(catalog, name_, type_, &row);
      if (s.ok()) {
        version = row.version;
      } else if (s.IsNotFound() && base_ != 0) {
        version = base_;
        s = library_->SetVersion(base_, kLive, count_, longest_);
      }
      // Deleted meanwhile by another process (its content went with it),
      // or absent at open: an empty entry.
      if (s.IsNotFound()) s = library_->NewVersion(kLive, &version);
    } else {
      s = library_->NewVersion(kLive, &version);
    }
    if (s.ok()) {
      s = library_->SetEntryVersion(
          catalog, name_, type_, description_, version,
          host_attributes_                  ? &*host_attributes_
          : intent_ == OpenIntent::kReplace ? &kNoAttributes
                                            : nullptr);
    }
    if (!s.ok()) {
      library_->Rollback();
      return s;
    }
    if (s = library_->Commit(); !s.ok()) return s;
    committed_ = true;
    return StoreStatus::Ok();
  }

  void SetHostAttributes(std::string attributes) override {
    host_attributes_ = std::move(attributes);
  }

 private:
  // Fails once a rollback took records this cursor staged.
  StoreStatus Usable() const {
    if (staging_ != 0 && library_->RolledBack(serial_)) {
      return StoreStatus::IoError(
          "records written to this entry were lost "
          "with a failed transaction");
    }
    return StoreStatus::Ok();
  }

  StoreStatus Stage(const void* data, uint32_t length, uint16_t kind) {
    if (staging_ == 0) {
      if (StoreStatus s = library_->NewVersion(kStaging, &staging_); !s.ok()) {
        staging_ = 0;
        return s;
      }
      // An update starts from the base up to the position.
      if (position_ > 0) {
        if (StoreStatus s = library_->CopyRecords(base_, staging_, position_);
            !s.ok()) {
          return s;
        }
      }
      count_ = position_;
      longest_ = position_ > 0 ? library_->Longest(staging_) : 0;
    } else if (position_ < count_) {
      if (StoreStatus s = library_->DeleteRecords(staging_, position_);
          !s.ok()) {
        return s;
      }
      count_ = position_;
      longest_ = library_->Longest(staging_);
    }
    if (StoreStatus s = library_->InsertRecord(RecordKey(staging_, position_),
                                               data, length, kind);
        !s.ok()) {
      return s;
    }
    ++position_;
    ++count_;
    if (length > longest_) longest_ = length;
    return StoreStatus::Ok();
  }

  std::shared_ptr<Library> library_;
  std::string catalog_;
  std::string name_;
  std::string type_;
  OpenIntent intent_;
  std::string description_;
  int64_t base_;         // version read from; 0 for none
  int64_t staging_ = 0;  // version written to; 0 until the first write
  uint64_t serial_ = 0;  // write transaction of the latest write
  uint64_t count_;
  uint32_t longest_;
  uint64_t position_ = 0;
  bool committed_ = false;
  bool rebind_ = true;
  std::optional<std::string> host_attributes_;  // given for the commit
  std::unique_ptr<Statement> reader_;
};

class SqliteCatalogStore final : public CatalogStore {
 public:
  explicit SqliteCatalogStore(std::string folder)
      : folder_(std::move(folder)) {}

  StoreStatus ListLibraries(std::vector<std::string>* librefs) override {
    librefs->clear();
    DIR* dir = opendir(folder_.c_str());
    if (dir == nullptr) {
      return StoreStatus::IoError("cannot read the folder " + folder_ + ": " +
                                  std::strerror(errno));
    }
    while (dirent* e = readdir(dir)) {
      std::string file = e->d_name;
      if (file.size() <= 3 || file.compare(file.size() - 3, 3, ".db") != 0) {
        continue;
      }
      std::string libref = file.substr(0, file.size() - 3);
      // Only the files this store names: a lower-case libref.
      if (CheckLibref(libref).ok() &&
          PathOf(LibrefKey(libref)) == folder_ + "/" + file) {
        librefs->push_back(LibrefKey(libref));
      }
    }
    closedir(dir);
    std::sort(librefs->begin(), librefs->end());
    return StoreStatus::Ok();
  }

  StoreStatus ListCatalogs(std::string_view libref,
                           std::vector<CatalogInfo>* catalogs) override {
    catalogs->clear();
    std::shared_ptr<Library> library;
    if (StoreStatus s = Get(libref, false, &library); !s.ok()) return s;
    StoreStatus s = library->ListCatalogs(catalogs);
    if (!s.ok()) catalogs->clear();
    return s;
  }

  StoreStatus DeleteCatalog(std::string_view libref, std::string_view catalog,
                            bool with_entries) override {
    std::shared_ptr<Library> library;
    int64_t id;
    if (StoreStatus s = Catalog(libref, catalog, &library, &id); !s.ok()) {
      return s;
    }
    return library->DeleteCatalog(TrimKey(catalog), with_entries);
  }

  StoreStatus FindLibrary(std::string_view libref) override {
    if (StoreStatus s = CheckLibref(libref); !s.ok()) return s;
    std::string key = LibrefKey(libref);
    if (libraries_.count(key)) return StoreStatus::Ok();
    struct stat info;
    if (stat(PathOf(key).c_str(), &info) == 0) return StoreStatus::Ok();
    return StoreStatus::NotFound("no such library");
  }

  StoreStatus CreateLibrary(std::string_view libref) override {
    std::shared_ptr<Library> library;
    return Get(libref, true, &library);
  }

  StoreStatus FindCatalog(std::string_view libref,
                          std::string_view catalog) override {
    std::shared_ptr<Library> library;
    int64_t id;
    return Catalog(libref, catalog, &library, &id);
  }

  StoreStatus CreateCatalog(std::string_view libref,
                            std::string_view catalog) override {
    if (StoreStatus s = CheckCatalogName(catalog); !s.ok()) return s;
    std::shared_ptr<Library> library;
    if (StoreStatus s = Get(libref, true, &library); !s.ok()) return s;
    return library->CreateCatalog(TrimKey(catalog));
  }

  StoreStatus FindEntry(std::string_view libref, std::string_view catalog,
                        std::string_view name, std::string_view type,
                        EntryInfo* info) override {
    std::shared_ptr<Library> library;
    int64_t id;
    if (StoreStatus s = Catalog(libref, catalog, &library, &id); !s.ok()) {
      return s;
    }
    if (StoreStatus s = CheckEntryKey(name, type); !s.ok()) return s;
    Library::EntryRow row;
    StoreStatus s = library->FindEntry(id, TrimKey(name), TrimKey(type), &row);
    if (s.ok() && info != nullptr) *info = std::move(row.info);
    return s;
  }

  StoreStatus DeleteEntry(std::string_view libref, std::string_view catalog,
                          std::string_view name,
                          std::string_view type) override {
    std::shared_ptr<Library> library;
    int64_t id;
    if (StoreStatus s = Catalog(libref, catalog, &library, &id); !s.ok()) {
      return s;
    }
    if (StoreStatus s = CheckEntryKey(name, type); !s.ok()) return s;
    return library->DeleteEntry(id, TrimKey(name), TrimKey(type));
  }

  StoreStatus List(std::string_view libref, std::string_view catalog,
                   std::vector<EntryInfo>* entries) override {
    entries->clear();
    std::shared_ptr<Library> library;
    int64_t id;
    if (StoreStatus s = Catalog(libref, catalog, &library, &id); !s.ok()) {
      return s;
    }
    StoreStatus s = library->ListEntries(id, entries);
    if (!s.ok()) entries->clear();
    return s;
  }

  StoreStatus OpenEntry(std::string_view libref, std::string_view catalog,
                        std::string_view name, std::string_view type,
                        OpenIntent intent, std::string_view description,
                        std::unique_ptr<EntryCursor>* cursor) override {
    cursor->reset();
    std::shared_ptr<Library> library;
    int64_t id;
    if (StoreStatus s = Catalog(libref, catalog, &library, &id); !s.ok()) {
      return s;
    }
    if (StoreStatus s = CheckEntryKey(name, type); !s.ok()) return s;
    Library::EntryRow row;
    StoreStatus s = library->FindEntry(id, TrimKey(name), TrimKey(type), &row);
    if (!s.ok() && !(s.IsNotFound() && intent != OpenIntent::kRead)) return s;
    if (!s.ok() || intent == OpenIntent::kReplace) row = Library::EntryRow();
    *cursor = std::make_unique<SqliteCursor>(
        library, std::string(TrimKey(catalog)), std::string(TrimKey(name)),
        std::string(TrimKey(type)), intent, std::string(description),
        row.version, (uint64_t)row.info.record_count,
        (uint32_t)row.info.longest_record);
    return StoreStatus::Ok();
  }

 private:
  std::string PathOf(const std::string& key) const {
    std::string file;
    for (char c : key) {
      file += (c >= 'A' && c <= 'Z') ? (char)(c - 'A' + 'a') : c;
    }
    return folder_ + "/" + file + ".db";
  }

  // The library's open database; NotFound for an absent library unless
  // create.
  StoreStatus Get(std::string_view libref, bool create,
                  std::shared_ptr<Library>* out) {
    if (StoreStatus s = CheckLibref(libref); !s.ok()) return s;
    std::string key = LibrefKey(libref);
    auto it = libraries_.find(key);
    if (it != libraries_.end()) {
      *out = it->second;
      return StoreStatus::Ok();
    }
    std::string path = PathOf(key);
    struct stat info;
    if (!create && stat(path.c_str(), &info) != 0) {
      return StoreStatus::NotFound("no such library");
    }
    auto library = std::make_shared<Library>();
    if (StoreStatus s = library->Open(path, create); !s.ok()) return s;
    libraries_[key] = library;
    *out = std::move(library);
    return StoreStatus::Ok();
  }

  StoreStatus Catalog(std::string_view libref, std::string_view catalog,
                      std::shared_ptr<Library>* library, int64_t* id) {
    if (StoreStatus s = CheckCatalogName(catalog); !s.ok()) return s;
    if (StoreStatus s = Get(libref, false, library); !s.ok()) return s;
    return (*library)->CatalogId(TrimKey(catalog), id);
  }

  std::string folder_;
  std::map<std::string, std::shared_ptr<Library>> libraries_;
};

}  // namespace

std::unique_ptr<CatalogStore> NewSqliteCatalogStore(
    const std::string& data_folder) {
  return std::make_unique<SqliteCatalogStore>(data_folder);
}

}  // namespace refhost
