// The library file's format: its tables, what a file holds (a library of
// ours, of which format, or something else), making a new library,
// bringing one of an earlier format to the current one, and the
// statements each format is read and written with.

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "refhost/store/sqlite/library_file.h"

namespace refhost {
namespace sqlite {
namespace {

// A journal left larger than this by a big transaction is cut back.
constexpr const char* kJournalLimit = "PRAGMA journal_size_limit = 8388608";

// The tables that format 1 has too, as a new library makes them (format
// 1 had versions without owner_start and packed, entries with modified
// for modified_after and, in its first release, without host_attributes;
// kFormat4Changes brings the last two to this).
constexpr const char* kSharedTables = R"sql(
CREATE TABLE IF NOT EXISTS catalogs(
  id INTEGER PRIMARY KEY,
  name TEXT NOT NULL UNIQUE);
CREATE TABLE IF NOT EXISTS versions(
  id INTEGER PRIMARY KEY,
  state INTEGER NOT NULL,
  owner_pid INTEGER NOT NULL,
  record_count INTEGER NOT NULL DEFAULT 0,
  longest INTEGER NOT NULL DEFAULT 0,
  owner_start INTEGER NOT NULL DEFAULT 0,
  packed INTEGER NOT NULL DEFAULT 0);
CREATE TABLE IF NOT EXISTS entries(
  catalog_id INTEGER NOT NULL,
  name TEXT NOT NULL,
  type TEXT NOT NULL,
  description TEXT NOT NULL,
  created INTEGER NOT NULL,
  modified_after INTEGER NOT NULL,
  version_id INTEGER NOT NULL,
  host_attributes TEXT NOT NULL DEFAULT '',
  PRIMARY KEY(catalog_id, name, type)) WITHOUT ROWID;
)sql";

// The table format 3 added.
constexpr const char* kFormat3Tables = R"sql(
CREATE TABLE IF NOT EXISTS dictionaries(
  id INTEGER PRIMARY KEY,
  catalog_id INTEGER NOT NULL,
  made INTEGER NOT NULL,
  trained_bytes INTEGER NOT NULL,
  hash INTEGER NOT NULL,
  data BLOB NOT NULL);
CREATE INDEX IF NOT EXISTS dictionaries_of_catalog
  ON dictionaries(catalog_id, made);
)sql";

// The tables format 2 added.
constexpr const char* kFormat2Tables = R"sql(
CREATE TABLE IF NOT EXISTS pages(
  key INTEGER PRIMARY KEY,
  count INTEGER NOT NULL,
  longest INTEGER NOT NULL,
  data BLOB NOT NULL);
CREATE TABLE IF NOT EXISTS writers(
  catalog TEXT NOT NULL,
  name TEXT NOT NULL,
  type TEXT NOT NULL,
  owner_pid INTEGER NOT NULL,
  owner_start INTEGER NOT NULL,
  PRIMARY KEY(catalog, name, type)) WITHOUT ROWID;
)sql";

// What format 4 changed: the level compact packed a version's pages at
// (0: as their writer packed them); an entry's time of change kept as the
// microseconds after its creation (0 until it changes: no bytes, where the
// time itself takes eight), under a name of its own, so that a release
// that knew the column as the time itself cannot take it for one.
constexpr const char* kFormat4Changes[] = {
    "ALTER TABLE versions ADD COLUMN packed INTEGER NOT NULL DEFAULT 0",
    "ALTER TABLE entries RENAME COLUMN modified TO modified_after",
    "UPDATE entries SET modified_after = modified_after - created",
};

StoreStatus MakeFormat4(Connection& c) {
  for (const char* sql : kFormat4Changes) {
    if (StoreStatus s = c.Exec(sql); !s.ok()) return s;
  }
  return StoreStatus::Ok();
}

}  // namespace

StoreStatus LibraryFile::OpenFile(bool create) {
  main_ = std::make_unique<Connection>(path_, &sql_);
  if (StoreStatus s = main_->Open(mode_, create); !s.ok()) return s;
  if (StoreStatus s = main_->Exec("PRAGMA synchronous = NORMAL"); !s.ok()) {
    return s;
  }
  // Freed pages are not overwritten one by one (SQLite may be built to):
  // deleting would then take as much room in the journal as it frees, and
  // fail on a full disk. They go back to the file system when the library
  // trims its free space, and compact rewrites it whole.
  if (StoreStatus s = main_->Exec("PRAGMA secure_delete = FAST"); !s.ok()) {
    return s;
  }
  if (StoreStatus s = main_->Exec(kJournalLimit); !s.ok()) return s;
  int format = 0;
  if (StoreStatus s = Inspect(*main_, &format); !s.ok()) return s;
  if (format == 0) {
    if (StoreStatus s = MakeSchema(); !s.ok()) return s;
  } else if (format < kFormat) {
    StoreStatus migrated =
        format == 1 ? MigrateFormat1() : MigrateFormats2And3();
    if (!migrated.ok()) return migrated;
    // A connection that renamed a column cannot checkpoint the journal
    // after a later rebuild (SQLite 3.40 answers "table is locked"): the
    // library goes on through a connection of its own.
    return OpenFile(false);
  }
  // Every library is kept in WAL journal; one whose rebuild with another
  // page size was stopped midway may be left without it, and gets it back
  // here
  // (while others hold the file it stays as it is, and works as well).
  if (format != 0 && JournalMode() != "wal") {
    main_->Exec("PRAGMA journal_mode = WAL");
  }
  // Housekeeping: a library that cannot be swept now (a full disk, say) is
  // swept by a later writer.
  SweepOrphans();
  return StoreStatus::Ok();
}

// A library on read-only media, or whose folder the user may not write,
// has no journal index (-shm) unless a writer left one, and none can be
// made. With no journal content to read, the file alone is the library:
// it is then opened as immutable. A journal with content is read through
// its index, which SQLite opens read-only when it exists.
StoreStatus LibraryFile::OpenReadOnly() {
  main_ = std::make_unique<Connection>(path_, &sql_);
  int format = 0;
  StoreStatus status = main_->Open(mode_, false);
  if (status.ok()) status = Inspect(*main_, &format);
  if (!status.ok() && status.code() != StoreStatus::kNotLibrary &&
      status.code() != StoreStatus::kCorrupt && FileSize(path_ + "-wal") == 0) {
    mode_.immutable = true;
    main_ = std::make_unique<Connection>(path_, &sql_);
    status = main_->Open(mode_, false);
    if (status.ok()) status = Inspect(*main_, &format);
  }
  if (!status.ok()) return status;
  format_ = format;
  bool has_attributes = true;
  if (format == 1) {
    Statement probe;
    has_attributes =
        probe.Prepare(main_->db(),
                      "SELECT host_attributes FROM entries LIMIT 0") ==
        SQLITE_OK;
  }
  ChooseStatements(format, has_attributes);
  return StoreStatus::Ok();
}

// The stamp, the format number and the tables are read in one transaction:
// another process may be making the library meanwhile.
StoreStatus LibraryFile::Inspect(Connection& connection, int* format) {
  if (!sqlite3_get_autocommit(connection.db())) {
    return InspectNow(connection, format);
  }
  if (StoreStatus s = connection.Begin(false); !s.ok()) return s;
  StoreStatus status = InspectNow(connection, format);
  connection.Rollback();
  return status;
}

StoreStatus LibraryFile::InspectNow(Connection& connection, int* format) {
  int64_t application = 0, version = 0;
  if (StoreStatus s = connection.Integer("PRAGMA application_id", &application);
      !s.ok()) {
    return s;
  }
  if (StoreStatus s = connection.Integer("PRAGMA user_version", &version);
      !s.ok()) {
    return s;
  }
  std::set<std::string> tables;
  {
    Statement list;
    if (list.Prepare(connection.db(),
                     "SELECT name FROM sqlite_schema WHERE type = 'table' "
                     "ORDER BY name") != SQLITE_OK) {
      return connection.Failure("reading the library's tables");
    }
    int rc;
    while ((rc = list.Step()) == SQLITE_ROW) tables.insert(list.Text(0));
    if (rc != SQLITE_DONE) {
      return connection.Failure("reading the library's tables");
    }
  }
  if (application == kApplicationId) {
    if (version >= 2 && version <= kFormat) {
      *format = (int)version;
      return StoreStatus::Ok();
    }
    if (version > kFormat) {
      return StoreStatus::NotLibrary(
          path_ + ": made by a newer version of this program (format " +
          std::to_string(version) + "); this one reads formats 1 to " +
          std::to_string(kFormat));
    }
    return StoreStatus::Corrupt(path_ +
                                ": the library file is damaged (format " +
                                std::to_string(version) + ")");
  }
  if (application == 0 && version == 0 && tables.empty()) {
    *format = 0;
    return StoreStatus::Ok();
  }
  if (application == 0 && version == 1 && tables.count("catalogs") &&
      tables.count("versions") && tables.count("entries") &&
      tables.count("records")) {
    *format = 1;
    return StoreStatus::Ok();
  }
  std::string what = "not a library of this program (an SQLite database";
  if (application != 0) {
    char id[24];
    std::snprintf(id, sizeof id, "0x%08llX", (unsigned long long)application);
    what += std::string(" of application ") + id;
  }
  if (!tables.empty()) {
    what += tables.size() == 1 ? " with the table" : " with the tables";
    const char* separator = " ";
    for (const std::string& table : tables) {
      what += separator + table;
      separator = ", ";
    }
  }
  return StoreStatus::NotLibrary(path_ + ": " + what + ")");
}

// A new library. Several processes may make it at once: the write lock
// decides, and the others find the tables made.
StoreStatus LibraryFile::MakeSchema() {
  // These settings take effect only on a database without tables.
  if (StoreStatus s = main_->Exec(kPageSize); !s.ok()) return s;
  if (StoreStatus s = main_->Exec("PRAGMA auto_vacuum = INCREMENTAL");
      !s.ok()) {
    return s;
  }
  if (StoreStatus s = SetWal(); !s.ok()) return s;
  return Change([&]() -> StoreStatus {
    int format = 0;
    if (StoreStatus s = Inspect(*main_, &format); !s.ok()) return s;
    if (format == kFormat) return StoreStatus::Ok();
    if (format != 0) {
      return StoreStatus::IoError(path_ +
                                  ": made by another program meanwhile");
    }
    for (const char* tables : {kSharedTables, kFormat2Tables, kFormat3Tables}) {
      if (StoreStatus s = main_->Exec(tables); !s.ok()) return s;
    }
    fit_pages_ = true;
    return Stamp();
  });
}

// Marks the file as a library of this program, of the current format;
// inside the caller's transaction.
StoreStatus LibraryFile::Stamp() {
  std::string stamp =
      "PRAGMA application_id = " + std::to_string(kApplicationId) +
      "; PRAGMA user_version = " + std::to_string(kFormat);
  return main_->Exec(stamp.c_str());
}

// Brings a library of format 1 to format 2 in one transaction: each
// version's records become pages, the records table goes, and the file is
// stamped. A version that claimed more records than it held (a fault of
// format-1 writers racing on one entry) keeps the records it holds. The
// file is then rebuilt, best effort, to give the records' room back.
StoreStatus LibraryFile::MigrateFormat1() {
  StoreStatus status = Change([&]() -> StoreStatus {
    int format = 0;
    if (StoreStatus s = Inspect(*main_, &format); !s.ok()) return s;
    if (format == kFormat) return StoreStatus::Ok();  // done by another
    Statement probe;
    if (probe.Prepare(main_->db(),
                      "SELECT host_attributes FROM entries LIMIT 0") !=
        SQLITE_OK) {
      if (StoreStatus s = main_->Exec(
              "ALTER TABLE entries ADD COLUMN host_attributes TEXT NOT NULL "
              "DEFAULT ''");
          !s.ok()) {
        return s;
      }
    }
    if (StoreStatus s = main_->Exec(
            "ALTER TABLE versions ADD COLUMN owner_start INTEGER NOT NULL "
            "DEFAULT 0");
        !s.ok()) {
      return s;
    }
    for (const char* tables : {kFormat2Tables, kFormat3Tables}) {
      if (StoreStatus s = main_->Exec(tables); !s.ok()) return s;
    }
    if (StoreStatus s = MakeFormat4(*main_); !s.ok()) return s;
    std::vector<std::pair<int64_t, int64_t>> versions;
    {
      Statement list;
      if (list.Prepare(main_->db(), "SELECT id, record_count FROM versions") !=
          SQLITE_OK) {
        return main_->Failure("reading the library's versions");
      }
      while (list.Step() == SQLITE_ROW) {
        versions.emplace_back(list.Int(0), list.Int(1));
      }
    }
    for (const auto& [version, claimed] : versions) {
      if (StoreStatus s = MigrateVersion(version, claimed); !s.ok()) return s;
    }
    if (StoreStatus s = main_->Exec("DROP TABLE records"); !s.ok()) return s;
    return Stamp();
  });
  if (!status.ok()) return status;
  if (main_->Exec("PRAGMA auto_vacuum = INCREMENTAL").ok()) {
    main_->Exec("VACUUM");
  }
  return StoreStatus::Ok();
}

// Format 2 lacks the dictionaries; its pages, which name none, read as
// they are. Format 3 has every table: what it lacks is packed host
// attributes, which its attributes, as they are, read beside (compact
// packs them). Both are stamped with the current format, which a release
// that does not read packed attributes refuses.
StoreStatus LibraryFile::MigrateFormats2And3() {
  return Change([&]() -> StoreStatus {
    int format = 0;
    if (StoreStatus s = Inspect(*main_, &format); !s.ok()) return s;
    if (format == kFormat) return StoreStatus::Ok();  // done by another
    if (StoreStatus s = main_->Exec(kFormat3Tables); !s.ok()) return s;
    if (StoreStatus s = MakeFormat4(*main_); !s.ok()) return s;
    return Stamp();
  });
}

StoreStatus LibraryFile::MigrateVersion(int64_t version, int64_t claimed) {
  StoreStatus status;
  Statement* records = main_->Get(Sql::kRecordsBetween, &status);
  if (records == nullptr) return status;
  records->Bind(1, PageKey(version, 0));
  records->Bind(2, PageKey(version, (uint64_t)std::max<int64_t>(claimed, 0)));
  RecordPage page;
  page.Reset(0);
  uint64_t held = 0;
  uint32_t longest = 0;
  int rc;
  while (status.ok() && (rc = records->Step()) == SQLITE_ROW) {
    uint32_t length = (uint32_t)records->Bytes(2);
    if (!page.Fits(length)) {
      status = InsertPage(version, page, 0);
      page.Reset(held);
    }
    page.Append(records->Blob(2), length, (uint16_t)records->Int(1));
    longest = std::max(longest, length);
    ++held;
  }
  if (status.ok() && rc != SQLITE_DONE) {
    status = main_->Failure("reading the records of a version");
  }
  records->Reset();
  if (status.ok() && !page.empty()) status = InsertPage(version, page, 0);
  if (!status.ok()) return status;
  Statement set;
  if (set.Prepare(main_->db(),
                  "UPDATE versions SET record_count = ?1, longest = ?2 "
                  "WHERE id = ?3") != SQLITE_OK) {
    return main_->Failure("updating a version");
  }
  set.Bind(1, (int64_t)held);
  set.Bind(2, (int64_t)longest);
  set.Bind(3, version);
  if (set.Step() != SQLITE_DONE) return main_->Failure("updating a version");
  return StoreStatus::Ok();
}

void LibraryFile::ChooseStatements(int format, bool has_attributes) {
  const std::string attributes = has_attributes ? "e.host_attributes" : "''";
  const std::string modified =
      format >= 4 ? "e.created + e.modified_after" : "e.modified";
  auto set = [&](Sql which, std::string text) {
    sql_[(int)which] = std::move(text);
  };
  set(Sql::kFindCatalog, "SELECT id FROM catalogs WHERE name = ?1");
  set(Sql::kInsertCatalog, "INSERT OR IGNORE INTO catalogs(name) VALUES(?1)");
  set(Sql::kListCatalogs,
      "SELECT c.name, count(e.name) FROM catalogs c LEFT JOIN entries e "
      "ON e.catalog_id = c.id GROUP BY c.id ORDER BY c.name");
  set(Sql::kCatalogVersions,
      "SELECT version_id FROM entries WHERE catalog_id = ?1");
  set(Sql::kDeleteCatalogEntries, "DELETE FROM entries WHERE catalog_id = ?1");
  set(Sql::kDeleteCatalog, "DELETE FROM catalogs WHERE id = ?1");
  set(Sql::kFindEntry,
      "SELECT e.description, e.created, " + modified +
          ", e.version_id, v.record_count, v.longest, " + attributes +
          " FROM entries e JOIN versions v ON v.id = e.version_id "
          "WHERE e.catalog_id = ?1 AND e.name = ?2 AND e.type = ?3");
  set(Sql::kFindNamedEntry,
      "SELECT e.description, e.created, " + modified +
          ", e.version_id, v.record_count, v.longest, " + attributes +
          " FROM catalogs c JOIN entries e ON e.catalog_id = c.id "
          "JOIN versions v ON v.id = e.version_id "
          "WHERE c.name = ?1 AND e.name = ?2 AND e.type = ?3");
  // The entries after one, in the catalog's order: kFindEntry's columns,
  // the name and type, and the key, counts and data of the first page (of
  // a library that keeps pages; null where there is no such row).
  set(Sql::kEntriesAfter,
      "SELECT e.description, e.created, " + modified +
          ", e.version_id, v.record_count, v.longest, " + attributes +
          ", e.name, e.type, " +
          (format >= 2 ? "p.key, p.count, p.longest, p.data"
                       : "NULL, NULL, NULL, NULL") +
          " FROM catalogs c JOIN entries e "
          "ON e.catalog_id = c.id JOIN versions v ON v.id = e.version_id " +
          (format >= 2 ? "LEFT JOIN pages p ON p.key = e.version_id << 32 "
                       : "") +
          "WHERE c.name = ?1 AND (e.name, e.type) > (?2, ?3) "
          "ORDER BY e.name, e.type LIMIT ?4");
  set(Sql::kListEntries,
      "SELECT e.name, e.type, e.description, e.created, " + modified +
          ", e.version_id, v.record_count, v.longest, " + attributes +
          " FROM entries e JOIN versions v ON v.id = e.version_id "
          "WHERE e.catalog_id = ?1 ORDER BY e.name, e.type");
  set(Sql::kUpsertEntry,
      format >= 4
          ? "INSERT INTO entries(catalog_id, name, type, description, "
            "created, modified_after, version_id, host_attributes) "
            "VALUES(?1, ?2, ?3, ?4, ?5, 0, ?6, coalesce(?7, '')) "
            "ON CONFLICT(catalog_id, name, type) DO UPDATE SET "
            "description = CASE WHEN ?4 <> '' THEN ?4 ELSE description END, "
            "modified_after = ?5 - created, version_id = ?6, "
            "host_attributes = coalesce(?7, host_attributes)"
          : "INSERT INTO entries(catalog_id, name, type, description, "
            "created, modified, version_id, host_attributes) "
            "VALUES(?1, ?2, ?3, ?4, ?5, ?5, ?6, coalesce(?7, '')) "
            "ON CONFLICT(catalog_id, name, type) DO UPDATE SET "
            "description = CASE WHEN ?4 <> '' THEN ?4 ELSE description END, "
            "modified = ?5, version_id = ?6, "
            "host_attributes = coalesce(?7, host_attributes)");
  set(Sql::kDeleteEntry,
      "DELETE FROM entries WHERE catalog_id = ?1 AND name = ?2 AND type = ?3");
  // A live version has no owner (0, which SQLite keeps in no bytes): the
  // writer kNewLiveVersion is given (?1, ?2) is not kept.
  set(Sql::kNewVersion,
      "INSERT INTO versions(state, owner_pid, owner_start) VALUES(?1, "
      "CASE WHEN ?1 = 1 THEN 0 ELSE ?2 END, CASE WHEN ?1 = 1 THEN 0 ELSE ?3 "
      "END)");
  set(Sql::kNewLiveVersion,
      "INSERT INTO versions(state, owner_pid, owner_start, record_count, "
      "longest) VALUES(1, 0, 0, ?3, ?4)");
  set(Sql::kSetVersion,
      "UPDATE versions SET state = ?1, record_count = ?2, longest = ?3, "
      "owner_pid = CASE WHEN ?1 = 1 THEN 0 ELSE owner_pid END, "
      "owner_start = CASE WHEN ?1 = 1 THEN 0 ELSE owner_start END "
      "WHERE id = ?4");
  set(Sql::kDeleteVersion, "DELETE FROM versions WHERE id = ?1");
  set(Sql::kMarkPacked, "UPDATE versions SET packed = ?2 WHERE id = ?1");
  set(Sql::kFindPage,
      "SELECT key, count, longest, data FROM pages "
      "WHERE key <= ?1 AND key >= ?2 ORDER BY key DESC LIMIT 1");
  set(Sql::kPagesBetween,
      "SELECT key, count, longest, data FROM pages "
      "WHERE key >= ?1 AND key < ?2 ORDER BY key");
  set(Sql::kInsertPage,
      "INSERT INTO pages(key, count, longest, data) VALUES(?1, ?2, ?3, ?4)");
  set(Sql::kDeletePages, "DELETE FROM pages WHERE key >= ?1 AND key < ?2");
  set(Sql::kLongestBetween,
      "SELECT coalesce(max(longest), 0) FROM pages "
      "WHERE key >= ?1 AND key < ?2");
  set(Sql::kFindWriter,
      "SELECT owner_pid, owner_start FROM writers "
      "WHERE catalog = ?1 AND name = ?2 AND type = ?3");
  set(Sql::kCatalogWriters,
      "SELECT owner_pid, owner_start FROM writers WHERE catalog = ?1");
  set(Sql::kPutWriter,
      "INSERT OR REPLACE INTO writers(catalog, name, type, owner_pid, "
      "owner_start) VALUES(?1, ?2, ?3, ?4, ?5)");
  set(Sql::kDropWriter,
      "DELETE FROM writers WHERE catalog = ?1 AND name = ?2 AND type = ?3 "
      "AND owner_pid = ?4 AND owner_start = ?5");
  set(Sql::kFindDictionary,
      "SELECT data, hash FROM dictionaries WHERE id = ?1");
  set(Sql::kCatalogDictionary,
      "SELECT id, data, hash FROM dictionaries WHERE catalog_id = ?1 "
      "ORDER BY made DESC LIMIT 1");
  set(Sql::kCatalogDictionaries,
      "SELECT id, data, hash FROM dictionaries WHERE catalog_id = ?1 "
      "ORDER BY made DESC LIMIT 16");
  set(Sql::kDictionaryKept, "SELECT count(*) FROM dictionaries WHERE id = ?1");
  set(Sql::kInsertDictionary,
      "INSERT INTO dictionaries(id, catalog_id, made, trained_bytes, hash, "
      "data) VALUES(?1, ?2, (SELECT coalesce(max(made), 0) + 1 FROM "
      "dictionaries), ?3, ?4, ?5)");
  set(Sql::kPageByKey, "SELECT count, longest, data FROM pages WHERE key = ?1");
  set(Sql::kUpdatePage, "UPDATE pages SET data = ?2 WHERE key = ?1");
  set(Sql::kEntryAttributes,
      "SELECT host_attributes FROM entries WHERE catalog_id = ?1 AND "
      "name = ?2 AND type = ?3");
  set(Sql::kSetAttributes,
      "UPDATE entries SET host_attributes = ?4 WHERE catalog_id = ?1 AND "
      "name = ?2 AND type = ?3");
  set(Sql::kRecordsBetween,
      "SELECT key, kind, data FROM records WHERE key >= ?1 AND key < ?2 "
      "ORDER BY key");
  set(Sql::kBegin, "BEGIN");
  set(Sql::kBeginWrite, "BEGIN IMMEDIATE");
  set(Sql::kCommit, "COMMIT");
  set(Sql::kRollback, "ROLLBACK");
  set(Sql::kSavepoint, "SAVEPOINT change");
  set(Sql::kRelease, "RELEASE change");
  set(Sql::kRollbackTo, "ROLLBACK TO change");
  set(Sql::kSchemaSize, "SELECT count(*) FROM sqlite_schema");
  set(Sql::kFreePages, "PRAGMA freelist_count");
  format_ = format;
}

}  // namespace sqlite
}  // namespace refhost
