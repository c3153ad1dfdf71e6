// The SQLite store's library files: records in compressed pages, libraries
// of the first release, damage, space given back, reading where nothing
// may be written (read-only media, a user who may only read, a full disk),
// files that are not libraries, and many processes making one library.
// The tests of a full disk and of read-only media mount a small tmpfs of
// their own, which needs root (as the test machines and CI run); without
// it they fail saying so.

#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "refhost/store/catalog_store.h"
#include "refhost/store/library_files.h"

namespace refhost {
namespace {

std::vector<StoredRecord> Lines(int count, int width, uint16_t kind = 0) {
  std::vector<StoredRecord> out;
  for (int i = 0; i < count; ++i) {
    std::string line = "line " + std::to_string(i) + ";note;";
    line.resize((size_t)(i % width), '.');
    out.push_back({line, (uint16_t)(kind + i % 7)});
  }
  return out;
}

// Bytes that do not compress.
std::vector<StoredRecord> Noise(int count, int width, unsigned seed) {
  std::vector<StoredRecord> out;
  for (int i = 0; i < count; ++i) {
    std::string bytes((size_t)width, '\0');
    for (char& c : bytes) {
      seed = seed * 1103515245u + 12345u;
      c = (char)(seed >> 16);
    }
    out.push_back({bytes, 1});
  }
  return out;
}

int64_t FileBytes(const std::string& path) {
  struct stat info;
  int64_t total = 0;
  for (const char* suffix : {"", "-wal"}) {
    if (stat((path + suffix).c_str(), &info) == 0) total += info.st_size;
  }
  return total;
}

// A small tmpfs mounted on a folder for one test, gone with it.
class Tmpfs {
 public:
  Tmpfs(const std::string& folder, const std::string& size)
      : folder_(folder), size_(size) {
    mounted_ = mount("tmpfs", folder.c_str(), "tmpfs", 0,
                     ("size=" + size).c_str()) == 0;
    if (!mounted_) error_ = std::strerror(errno);
  }
  ~Tmpfs() {
    if (mounted_) umount2(folder_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  const std::string& error() const { return error_; }
  bool RemountReadOnly() {
    return mount(nullptr, folder_.c_str(), nullptr, MS_REMOUNT | MS_RDONLY,
                 ("size=" + size_).c_str()) == 0;
  }

 private:
  std::string folder_;
  std::string size_;
  bool mounted_ = false;
  std::string error_;
};

#define ASSERT_MOUNTED(tmpfs)                                         \
  ASSERT_TRUE((tmpfs).mounted())                                      \
      << "this test mounts a tmpfs of its own and must run as root: " \
      << (tmpfs).error()

class LibraryFileTest : public LibraryFolderTest {
 protected:
  std::unique_ptr<CatalogStore> Store(bool read_only = false) {
    StoreOptions options;
    options.read_only = read_only;
    return NewSqliteCatalogStore(folder_, options);
  }

  // The records of the entry, read one by one until the cursor stops; the
  // status it stopped with in *end.
  static std::vector<StoredRecord> ReadAll(CatalogStore& store,
                                           std::string_view name,
                                           StoreStatus* end) {
    std::vector<StoredRecord> out;
    std::unique_ptr<EntryCursor> cursor;
    *end = store.OpenEntry("WORK", "CAT", name, "DATA", OpenIntent::kRead, "",
                           &cursor);
    if (!end->ok()) return out;
    RecordView view;
    while ((*end = cursor->Read(&view)).ok()) {
      out.push_back(
          {std::string((const char*)view.data, view.length), view.kind});
    }
    return out;
  }
};

// Records are kept in compressed pages: many records a row, read back and
// rewritten from any position.
TEST_F(LibraryFileTest, PagesHoldRunsOfRecordsReadAndCutAnywhere) {
  auto store = Store();
  std::vector<StoredRecord> model = Lines(20000, 120);
  model[5000] = {std::string(100000, 'w'), 3};  // a page of its own
  ASSERT_TRUE(store->PutEntry("WORK", "CAT", "E", "DATA", "", model).ok());
  int64_t pages = Query("SELECT count(*) FROM pages");
  EXPECT_GT(pages, 10);
  EXPECT_LT(pages, 200) << "many records a page";
  int64_t raw = 0;
  for (const StoredRecord& r : model) raw += (int64_t)r.bytes.size();
  EXPECT_LT(Query("SELECT sum(length(data)) FROM pages"), raw / 3)
      << "text is stored compressed";

  std::unique_ptr<EntryCursor> cursor;
  ASSERT_TRUE(store
                  ->OpenEntry("WORK", "CAT", "E", "DATA", OpenIntent::kRead, "",
                              &cursor)
                  .ok());
  for (uint64_t at : {19999u, 0u, 7777u, 5000u, 5001u, 4999u, 12345u}) {
    ASSERT_TRUE(cursor->Seek(at).ok());
    RecordView view;
    ASSERT_TRUE(cursor->Read(&view).ok());
    EXPECT_EQ(std::string((const char*)view.data, view.length), model[at].bytes)
        << at;
    EXPECT_EQ(view.kind, model[at].kind);
  }

  // Writes after points into stored pages, at a page's start and in the
  // tail page the writer still holds.
  int64_t boundary = Query(
      "SELECT (key & 4294967295) FROM pages ORDER BY key LIMIT 1 "
      "OFFSET 1");
  ASSERT_GT(boundary, 0);
  ASSERT_LT(boundary, 3000);
  ASSERT_TRUE(store
                  ->OpenEntry("WORK", "CAT", "E", "DATA", OpenIntent::kUpdate,
                              "", &cursor)
                  .ok());
  auto write_at = [&](uint64_t at, const std::string& bytes) {
    ASSERT_TRUE(cursor->Seek(at).ok());
    ASSERT_TRUE(cursor->Write(bytes.data(), (uint32_t)bytes.size(), 9).ok());
    model.resize(at);
    model.push_back({bytes, 9});
    EXPECT_EQ(cursor->record_count(), model.size());
  };
  write_at(12345, "X");
  EXPECT_EQ(cursor->longest_record(), 100000u);
  write_at(12346, "Y");
  write_at(12345, "Z");
  write_at(3000, "three thousand");
  EXPECT_EQ(cursor->longest_record(), 119u) << "the long record went";
  write_at((uint64_t)boundary, "at a page start");
  for (int i = 0; i < 3000; ++i) {
    write_at(model.size(), "appended " + std::to_string(i));
  }
  ASSERT_TRUE(cursor->Seek(0).ok());
  std::vector<StoredRecord> own;
  RecordView view;
  while (cursor->Read(&view).ok()) {
    own.push_back(
        {std::string((const char*)view.data, view.length), view.kind});
  }
  EXPECT_EQ(own, model) << "a writer reads its own content";
  ASSERT_TRUE(cursor->Commit().ok());
  cursor.reset();
  EXPECT_EQ(store->GetEntry("WORK", "CAT", "E", "DATA")->records, model);
  store.reset();
  ExpectNothingLeftBehind();
}

// A damaged page is a store error that names the library; no record of it
// is handed out, and the check names the entry.
TEST_F(LibraryFileTest, ADamagedPageIsAnErrorNeverWrongRecords) {
  std::vector<StoredRecord> sound = Lines(3000, 90);
  ASSERT_TRUE(Store()->PutEntry("WORK", "CAT", "E", "DATA", "", sound).ok());
  ASSERT_TRUE(Store()->PutEntry("WORK", "CAT", "F", "DATA", "", sound).ok());
  int64_t first = Query("SELECT min(key) FROM pages");
  int64_t pages = Query("SELECT count(*) FROM pages WHERE key >> 32 = " +
                        std::to_string(first >> 32));
  ASSERT_GT(pages, 2);
  // One byte of E's first page changed; E's second page claims a record
  // more than it holds.
  ASSERT_TRUE(ExecFile(DbPath(),
                       "UPDATE pages SET data = substr(data, 1, 40) || "
                       "x'5A' || substr(data, 42) WHERE key = " +
                           std::to_string(first) +
                           ";"
                           "UPDATE pages SET count = count + 1 WHERE key = "
                           "(SELECT min(key) FROM pages WHERE key > " +
                           std::to_string(first) + ")"));

  auto store = Store();
  StoreStatus end;
  EXPECT_TRUE(ReadAll(*store, "E", &end).empty());
  EXPECT_EQ(end.code(), StoreStatus::kCorrupt) << end.ToString();
  EXPECT_NE(end.message().find(DbPath()), std::string::npos) << end.message();
  EXPECT_NE(end.message().find("damaged"), std::string::npos);
  // Past the first page, the next one is refused too.
  std::unique_ptr<EntryCursor> cursor;
  ASSERT_TRUE(store
                  ->OpenEntry("WORK", "CAT", "E", "DATA", OpenIntent::kRead, "",
                              &cursor)
                  .ok());
  int64_t second = Query(
      "SELECT (key & 4294967295) FROM pages ORDER BY key "
      "LIMIT 1 OFFSET 1");
  ASSERT_TRUE(cursor->Seek((uint64_t)second).ok());
  RecordView view;
  EXPECT_EQ(cursor->Read(&view).code(), StoreStatus::kCorrupt);
  EXPECT_EQ(ReadAll(*store, "F", &end), sound);

  LibraryCheck check;
  ASSERT_TRUE(store->CheckLibrary("WORK", &check).ok());
  ASSERT_EQ(check.problems.size(), 1u);
  EXPECT_NE(check.problems[0].find("entry WORK.CAT.E.DATA"), std::string::npos)
      << check.problems[0];
  EXPECT_EQ(check.entries, 2);
  EXPECT_EQ(check.file, DbPath());

  // A page past the first two, damaged: a reader going through the entry
  // (whose next page is decoded while it reads the one before) gets every
  // record before it, then the error, never a record of it.
  ASSERT_TRUE(store->PutEntry("WORK", "CAT", "G", "DATA", "", sound).ok());
  store.reset();
  int64_t g = Query("SELECT max(key) >> 32 FROM pages");
  int64_t third =
      Query("SELECT key FROM pages WHERE key >> 32 = " + std::to_string(g) +
            " ORDER BY key LIMIT 1 OFFSET 2");
  ASSERT_GT(third & 0xFFFFFFFF, 0);
  ASSERT_TRUE(ExecFile(DbPath(),
                       "UPDATE pages SET data = substr(data, 1, 40) || "
                       "x'5A' || substr(data, 42) WHERE key = " +
                           std::to_string(third)));
  store = Store();
  std::vector<StoredRecord> before = ReadAll(*store, "G", &end);
  EXPECT_EQ(end.code(), StoreStatus::kCorrupt) << end.ToString();
  EXPECT_EQ(before, std::vector<StoredRecord>(
                        sound.begin(), sound.begin() + (third & 0xFFFFFFFF)));
  ASSERT_TRUE(store->DeleteEntry("WORK", "CAT", "G", "DATA").ok());

  // Rewriting the entry mends it.
  ASSERT_TRUE(store->PutEntry("WORK", "CAT", "E", "DATA", "", sound).ok());
  ASSERT_TRUE(store->CheckLibrary("WORK", &check).ok());
  EXPECT_TRUE(check.problems.empty());
  EXPECT_EQ(check.records, 6000);
  EXPECT_EQ(check.catalogs, 1);
}

// A reader that goes through a catalog in a batch (an export) finds the
// entries after the one it found read ahead, their first pages decoded
// meanwhile: in any order it gets each entry as it is, a damaged page or
// row is said for its own entry alone, and a later batch sees what others
// changed since.
TEST_F(LibraryFileTest, ABatchReaderGetsEachEntryInAnyOrder) {
  // More than twice the entries read ahead at a time: the read-ahead is
  // refilled, in the catalog's order and out of it.
  const int kEntries = 80;
  auto name = [](int i) {
    return std::string(i < 10 ? "E0" : "E") + std::to_string(i);
  };
  // Empty entries, one page, several pages (the first in the middle).
  auto content = [](int i) {
    return i % 10 == 3 ? std::vector<StoredRecord>()
           : i == 14   ? Lines(6000, 120)
                       : Lines(5 + i * 7, 40 + i, (uint16_t)i);
  };
  {
    auto store = Store();
    for (int i = 0; i < kEntries; ++i) {
      ASSERT_TRUE(store
                      ->PutEntry("WORK", "CAT", name(i), "DATA",
                                 "entry " + std::to_string(i), content(i))
                      .ok());
    }
  }
  ASSERT_GT(Query("SELECT count(*) FROM pages WHERE key >> 32 = (SELECT "
                  "version_id FROM entries WHERE name = 'E14')"),
            2);
  auto store = Store();
  auto expect_entry = [&](int i, const std::string& order) {
    SCOPED_TRACE(order + ": " + name(i));
    EntryInfo info;
    ASSERT_TRUE(store->FindEntry("WORK", "CAT", name(i), "DATA", &info).ok());
    EXPECT_EQ(info.description, "entry " + std::to_string(i));
    EXPECT_EQ(info.record_count, (int64_t)content(i).size());
    StoreStatus end;
    EXPECT_EQ(ReadAll(*store, name(i), &end), content(i));
    EXPECT_TRUE(end.IsNotFound()) << end.ToString();
  };
  std::vector<std::vector<int>> orders(4);
  for (int i = 0; i < kEntries; ++i) {
    orders[0].push_back(i);                        // the catalog's
    orders[1].push_back(kEntries - 1 - i);         // backwards
    if (i % 3 == 0) orders[2].push_back(i);        // passing some over
    orders[3].push_back((i * 7 + 11) % kEntries);  // all over
  }
  ASSERT_TRUE(store->BeginBatch().ok());
  for (size_t o = 0; o < orders.size(); ++o) {
    for (int i : orders[o]) expect_entry(i, "order " + std::to_string(o));
  }
  // The batch ends with the entries after E03 read ahead.
  for (int i = 0; i < 4; ++i) expect_entry(i, "up to E03");
  ASSERT_TRUE(store->EndBatch().ok());

  // Another process changes, deletes and adds entries: a batch begun after
  // reads what they are now, never a page or row read ahead before.
  {
    auto other = Store();
    ASSERT_TRUE(other
                    ->PutEntry("WORK", "CAT", name(5), "DATA", "entry 5",
                               Lines(50, 30, 1))
                    .ok());
    ASSERT_TRUE(other->DeleteEntry("WORK", "CAT", name(6), "DATA").ok());
    ASSERT_TRUE(
        other->PutEntry("WORK", "CAT", "E06A", "DATA", "added", Lines(3, 9))
            .ok());
  }
  ASSERT_TRUE(store->BeginBatch().ok());
  expect_entry(4, "after the change");
  StoreStatus end;
  EXPECT_EQ(ReadAll(*store, name(5), &end), Lines(50, 30, 1));
  EXPECT_TRUE(
      store->FindEntry("WORK", "CAT", name(6), "DATA", nullptr).IsNotFound());
  EXPECT_EQ(ReadAll(*store, "E06A", &end), Lines(3, 9));
  ASSERT_TRUE(store->EndBatch().ok());
  store.reset();

  // E08's first page and E11's attributes damaged: each is refused when
  // it is read, and the entries around them read as before.
  ASSERT_TRUE(ExecFile(
      DbPath(),
      "UPDATE pages SET data = substr(data, 1, 40) || x'5A' || "
      "substr(data, 42) WHERE key = (SELECT version_id << 32 FROM entries "
      "WHERE name = 'E08');"
      "UPDATE entries SET host_attributes = x'ff0102' WHERE name = 'E11'"));
  store = Store();
  EXPECT_EQ(store->FindEntry("WORK", "CAT", name(11), "DATA", nullptr).code(),
            StoreStatus::kCorrupt)
      << "damaged attributes do not read outside a batch either";
  ASSERT_TRUE(store->BeginBatch().ok());
  for (int round = 0; round < 2; ++round) {
    for (int i = 7; i < 13; ++i) {
      SCOPED_TRACE("round " + std::to_string(round) + ": " + name(i));
      if (i == 8) {
        EXPECT_TRUE(ReadAll(*store, name(i), &end).empty());
        EXPECT_EQ(end.code(), StoreStatus::kCorrupt) << end.ToString();
      } else if (i == 11) {
        EXPECT_EQ(
            store->FindEntry("WORK", "CAT", name(i), "DATA", nullptr).code(),
            StoreStatus::kCorrupt);
      } else {
        expect_entry(i, "damage");
      }
    }
  }
  ASSERT_TRUE(store->EndBatch().ok());
}

// Dropped content leaves room that the next writes take, and a deletion
// gives it back to the file system; compaction gives back the rest.
TEST_F(LibraryFileTest, SpaceOfDroppedContentComesBack) {
  std::vector<StoredRecord> big = Noise(4000, 1000, 7);
  std::vector<StoredRecord> small = Lines(500, 60);
  {
    auto store = Store();
    ASSERT_TRUE(store->PutEntry("WORK", "CAT", "BIG", "DATA", "", big).ok());
    ASSERT_TRUE(store->PutEntry("WORK", "CAT", "S", "DATA", "", small).ok());
  }
  int64_t first = FileBytes(DbPath());
  EXPECT_GT(first, 4000000);
  EXPECT_LT(first, 4400000) << "incompressible pages cost little more";
  for (int round = 0; round < 3; ++round) {
    auto store = Store();
    ASSERT_TRUE(store->PutEntry("WORK", "CAT", "BIG", "DATA", "", big).ok());
    ASSERT_TRUE(store->PutEntry("WORK", "CAT", "S", "DATA", "", small).ok());
  }
  EXPECT_LT(FileBytes(DbPath()), first * 11 / 10) << "rewrites reuse room";
  {
    auto store = Store();
    ASSERT_TRUE(store->DeleteEntry("WORK", "CAT", "BIG", "DATA").ok());
  }
  EXPECT_LT(FileBytes(DbPath()), 600000) << "a deletion gives room back";

  // What an abandoned writer of a dead process left is free room too.
  pid_t writer = Spawn([&] {
    std::unique_ptr<EntryCursor> cursor;
    auto store = Store();
    if (!store
             ->OpenEntry("WORK", "CAT", "LOST", "DATA", OpenIntent::kReplace,
                         "", &cursor)
             .ok()) {
      return 2;
    }
    for (const StoredRecord& r : big) cursor->Write(r.bytes.data(), 1000, 1);
    kill(getpid(), SIGKILL);
    return 0;
  });
  EXPECT_EQ(Reap(writer), 128 + SIGKILL);
  auto store = Store(true);
  LibraryCheck check;
  ASSERT_TRUE(store->CheckLibrary("WORK", &check).ok());
  EXPECT_TRUE(check.problems.empty());
  EXPECT_GT(check.free_bytes, 3000000);
  store = Store();
  LibraryCompaction compaction;
  ASSERT_TRUE(store->CompactLibrary("WORK", &compaction).ok());
  EXPECT_EQ(compaction.file, DbPath());
  EXPECT_GT(compaction.bytes_before, 4000000);
  EXPECT_LT(compaction.bytes_after, 600000);
  EXPECT_EQ(store->GetEntry("WORK", "CAT", "S", "DATA")->records, small);
  ASSERT_TRUE(store->CheckLibrary("WORK", &check).ok());
  EXPECT_LT(check.free_bytes, 40000);
  store.reset();
  ExpectNothingLeftBehind();
}

// A library of many small entries (rows that fill pages of 1 KiB badly)
// is rebuilt by compact with larger pages and takes far less room; it
// stays in WAL journal, reads and takes writes. While another connection
// holds the file, compact keeps the page size and still succeeds. A new
// library written in batches takes its page size from its first rows.
TEST_F(LibraryFileTest, CompactFitsThePagesToTheRows) {
  // Entries of 450 to 550 bytes that do not compress: one a page of 1 KiB.
  auto content = [](int i) { return Noise(1, 450 + i % 100, (unsigned)i); };
  auto store = Store();
  for (int i = 0; i < 3000; ++i) {
    ASSERT_TRUE(store
                    ->PutEntry("WORK", "CAT", "E" + std::to_string(i), "DATA",
                               "", content(i))
                    .ok());
  }
  ASSERT_EQ(Query("PRAGMA page_size"), 1024);
  {
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(DbPath().c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "SELECT count(*) FROM entries", nullptr,
                           nullptr, nullptr),
              SQLITE_OK);
    LibraryCompaction held;
    ASSERT_TRUE(store->CompactLibrary("WORK", &held).ok());
    sqlite3_close(other);
    EXPECT_EQ(Query("PRAGMA page_size"), 1024) << "the file was not its own";
  }
  LibraryCompaction compaction;
  StoreStatus compacted = store->CompactLibrary("WORK", &compaction);
  ASSERT_TRUE(compacted.ok()) << compacted.ToString();
  EXPECT_GT(Query("PRAGMA page_size"), 1024);
  EXPECT_LT(compaction.bytes_after, compaction.bytes_before * 7 / 10)
      << "a library compacted with pages of 1 KiB";
  store.reset();
  EXPECT_EQ(QueryText(DbPath(), "PRAGMA journal_mode"), "wal");
  store = Store();
  ASSERT_TRUE(
      store->PutEntry("WORK", "CAT", "NEW", "DATA", "", Lines(40, 60)).ok());
  for (int i = 0; i < 3000; i += 7) {
    auto entry =
        store->GetEntry("WORK", "CAT", "E" + std::to_string(i), "DATA");
    ASSERT_TRUE(entry.has_value());
    EXPECT_EQ(entry->records, content(i));
  }
  LibraryCheck check;
  ASSERT_TRUE(store->CheckLibrary("WORK", &check).ok());
  EXPECT_TRUE(check.problems.empty());
  EXPECT_EQ(check.entries, 3001);
  store.reset();

  // A library made by a batch of such entries takes the larger pages once
  // it holds a few hundred of them; one of larger entries keeps its pages.
  for (int big = 0; big < 2; ++big) {
    std::string folder = folder_ + (big ? "/big" : "/batched");
    std::filesystem::create_directory(folder);
    auto batched = NewSqliteCatalogStore(folder);
    ASSERT_TRUE(batched->BeginBatch().ok());
    for (int i = 0; i < 600; ++i) {
      ASSERT_TRUE(batched
                      ->PutEntry("WORK", "CAT", "E" + std::to_string(i), "DATA",
                                 "",
                                 big ? Noise(4, 700, (unsigned)i) : content(i))
                      .ok());
      if (i % 100 == 99) {
        ASSERT_TRUE(batched->FlushBatch().ok());
      }
    }
    ASSERT_TRUE(batched->EndBatch().ok());
    batched.reset();
    std::string path = folder + "/work.db";
    if (big) {
      EXPECT_EQ(QueryFile(path, "PRAGMA page_size"), 1024);
    } else {
      EXPECT_GT(QueryFile(path, "PRAGMA page_size"), 1024);
    }
    EXPECT_EQ(QueryText(path, "PRAGMA journal_mode"), "wal");
    EXPECT_EQ(QueryFile(path, "SELECT count(*) FROM entries"), 600);
    batched = NewSqliteCatalogStore(folder);
    EXPECT_EQ(batched->GetEntry("WORK", "CAT", "E5", "DATA")->records,
              big ? Noise(4, 700, 5) : content(5));
  }

  // A rebuild stopped before the journal was set back leaves a library in
  // the rollback journal: the next writer sets it back.
  ASSERT_TRUE(ExecFile(DbPath(), "PRAGMA journal_mode = DELETE"));
  EXPECT_EQ(QueryText(DbPath(), "PRAGMA journal_mode"), "delete");
  store = Store();
  ASSERT_TRUE(store->DeleteEntry("WORK", "CAT", "NEW", "DATA").ok());
  store.reset();
  EXPECT_EQ(QueryText(DbPath(), "PRAGMA journal_mode"), "wal");
  ExpectNothingLeftBehind();
}

// A library written by the first release (one row a record, no host
// attributes, no stamp) is read as it is by a store that only reads, and
// brought to the new format by the first store that may write.
TEST_F(LibraryFileTest, LibrariesOfTheFirstReleaseOpenAndMoveOn) {
  pid_t gone = Spawn([] { return 0; });
  ASSERT_EQ(Reap(gone), 0);
  std::string sql = R"sql(
PRAGMA journal_mode=WAL;
BEGIN;
CREATE TABLE catalogs(id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE);
CREATE TABLE versions(id INTEGER PRIMARY KEY, state INTEGER NOT NULL,
  owner_pid INTEGER NOT NULL, record_count INTEGER NOT NULL DEFAULT 0,
  longest INTEGER NOT NULL DEFAULT 0);
CREATE TABLE entries(catalog_id INTEGER NOT NULL, name TEXT NOT NULL,
  type TEXT NOT NULL, description TEXT NOT NULL, created INTEGER NOT NULL,
  modified INTEGER NOT NULL, version_id INTEGER NOT NULL,
  PRIMARY KEY(catalog_id, name, type)) WITHOUT ROWID;
CREATE TABLE records(key INTEGER PRIMARY KEY, kind INTEGER NOT NULL,
  data BLOB NOT NULL);
PRAGMA user_version = 1;
INSERT INTO catalogs VALUES(1, 'CAT'), (2, 'EMPTY');
INSERT INTO versions VALUES(1, 1, 1, 3, 8), (2, 1, 1, 1500, 37),
  (3, 1, 1, 5, 4), (4, 0, )sql" +
                    std::to_string(gone) +
                    R"sql(, 2, 3);
INSERT INTO entries VALUES(1, 'MEMO', 'DATA', 'Memo', 10, 20, 1),
  (1, 'SALES', 'DATA', '', 10, 20, 2), (1, 'SHORT', 'DATA', '', 10, 20, 3);
INSERT INTO records VALUES(1 << 32, 0, 'Buy milk'), ((1 << 32) + 1, 270, ''),
  ((1 << 32) + 2, 65535, x'00FF0A');
INSERT INTO records VALUES(3 << 32, 0, 'one'), ((3 << 32) + 1, 0, 'two'),
  ((3 << 32) + 2, 0, 'four');
INSERT INTO records VALUES(4 << 32, 0, 'lost'), ((4 << 32) + 1, 0, 'too');
)sql";
  // SALES: 1,500 lines of a table; SHORT claims five records and holds
  // three (what two writers of the first release racing on one entry left).
  std::vector<StoredRecord> sales;
  for (int i = 0; i < 1500; ++i) {
    std::string line = "2024-01-" + std::to_string(1 + i % 28) + ",north," +
                       std::to_string(i * 37 % 1000);
    line.resize(37, ' ');
    sales.push_back({line, 1});
    sql += "INSERT INTO records VALUES((2 << 32) + " + std::to_string(i) +
           ", 1, '" + line + "');\n";
  }
  std::string error;
  ASSERT_TRUE(ExecFile(DbPath(), sql + "COMMIT;", &error)) << error;
  const std::vector<StoredRecord> memo = {
      {"Buy milk", 0}, {"", 270}, {std::string("\0\xff\n", 3), 65535}};
  const std::vector<StoredRecord> short_held = {
      {"one", 0}, {"two", 0}, {"four", 0}};

  auto reader = Store(true);
  auto entry = reader->GetEntry("WORK", "CAT", "MEMO", "DATA");
  ASSERT_TRUE(entry.has_value());
  EXPECT_EQ(entry->records, memo);
  EXPECT_EQ(entry->info.description, "Memo");
  EXPECT_EQ(entry->info.host_attributes, "");
  StoreStatus end;
  EXPECT_EQ(ReadAll(*reader, "SALES", &end), sales);
  EXPECT_TRUE(end.IsNotFound());
  EXPECT_EQ(ReadAll(*reader, "SHORT", &end), short_held);
  EXPECT_EQ(end.code(), StoreStatus::kCorrupt) << "a missing record is said";
  std::vector<CatalogInfo> catalogs;
  ASSERT_TRUE(reader->ListCatalogs("WORK", &catalogs).ok());
  EXPECT_EQ(catalogs.size(), 2u);
  reader.reset();
  EXPECT_EQ(Query("PRAGMA user_version"), 1) << "reading changed nothing";
  EXPECT_EQ(Query("SELECT count(*) FROM versions WHERE id = 4"), 1);

  auto store = Store();
  EXPECT_EQ(store->GetEntry("WORK", "CAT", "MEMO", "DATA")->records, memo);
  EXPECT_EQ(store->GetEntry("WORK", "CAT", "SALES", "DATA")->records, sales);
  entry = store->GetEntry("WORK", "CAT", "SHORT", "DATA");
  EXPECT_EQ(entry->records, short_held);
  EXPECT_EQ(entry->info.record_count, 3) << "claims what it holds";
  EXPECT_EQ(Query("PRAGMA user_version"), 4);
  EXPECT_EQ(Query("PRAGMA application_id"), 0x5655564C);
  EXPECT_EQ(Query("SELECT count(*) FROM sqlite_schema WHERE name = 'records'"),
            0);
  EXPECT_EQ(Query("PRAGMA auto_vacuum"), 2);
  // And it takes new content, host attributes and all.
  std::unique_ptr<EntryCursor> cursor;
  ASSERT_TRUE(store
                  ->OpenEntry("WORK", "CAT", "SALES", "DATA",
                              OpenIntent::kUpdate, "", &cursor)
                  .ok());
  ASSERT_TRUE(cursor->Seek(1500).ok());
  ASSERT_TRUE(cursor->Write("total", 5, 1).ok());
  cursor->SetHostAttributes("file=sales.csv");
  ASSERT_TRUE(cursor->Commit().ok());
  cursor.reset();
  entry = store->GetEntry("WORK", "CAT", "SALES", "DATA");
  EXPECT_EQ(entry->records.size(), 1501u);
  EXPECT_EQ(entry->info.host_attributes, "file=sales.csv");
  store.reset();
  ExpectNothingLeftBehind();
}

// A store that only reads changes nothing in the file, not even its
// housekeeping, and refuses every change saying so.
TEST_F(LibraryFileTest, AReadingStoreChangesNothing) {
  std::vector<StoredRecord> records = Lines(2000, 70);
  ASSERT_TRUE(Store()->PutEntry("WORK", "CAT", "E", "DATA", "", records).ok());
  // A staging version of a writer that is gone: a writing store sweeps it.
  pid_t gone = Spawn([] { return 0; });
  ASSERT_EQ(Reap(gone), 0);
  ASSERT_TRUE(
      ExecFile(DbPath(), "INSERT INTO versions(state, owner_pid) VALUES(0, " +
                             std::to_string(gone) + ")"));
  struct stat before;
  ASSERT_EQ(stat(DbPath().c_str(), &before), 0);

  auto store = Store(true);
  StoreStatus end;
  EXPECT_EQ(ReadAll(*store, "E", &end), records);
  EXPECT_EQ(store->ListEntries("WORK", "CAT").size(), 1u);
  LibraryCheck check;
  ASSERT_TRUE(store->CheckLibrary("WORK", &check).ok());
  EXPECT_TRUE(check.problems.empty());
  std::unique_ptr<EntryCursor> cursor;
  for (const StoreStatus& st :
       {store->PutEntry("WORK", "CAT", "E", "DATA", "", {}),
        store->OpenEntry("WORK", "CAT", "E", "DATA", OpenIntent::kUpdate, "",
                         &cursor),
        store->DeleteEntry("WORK", "CAT", "E", "DATA"),
        store->DeleteCatalog("WORK", "CAT", true),
        store->CreateCatalog("WORK", "NEW"), store->CreateLibrary("OTHER")}) {
    EXPECT_EQ(st.code(), StoreStatus::kReadOnly) << st.ToString();
    EXPECT_NE(st.message().find(folder_), std::string::npos) << st.message();
  }
  EXPECT_TRUE(store->CreateCatalog("WORK", "CAT").ok()) << "it exists";
  LibraryCompaction compaction;
  EXPECT_EQ(store->CompactLibrary("WORK", &compaction).code(),
            StoreStatus::kReadOnly);
  store.reset();
  struct stat after;
  ASSERT_EQ(stat(DbPath().c_str(), &after), 0);
  EXPECT_EQ(after.st_size, before.st_size);
  EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
  EXPECT_FALSE(std::filesystem::exists(folder_ + "/other.db"));
  EXPECT_EQ(Query("SELECT count(*) FROM versions"), 2);
}

// A catalog another program made under a name this one would refuse to
// make (a control character in it) is the library's all the same: making
// it again is Ok, and it takes entries and deletes like any other.
TEST_F(LibraryFileTest, ACatalogNamedByAnotherProgramIsServedLikeAnyOther) {
  ASSERT_TRUE(Store()->CreateCatalog("WORK", "CAT").ok());
  ASSERT_TRUE(ExecFile(DbPath(),
                       "INSERT INTO catalogs(name) VALUES('OLD' || char(9) || "
                       "'ONE')"));
  auto store = Store();
  EXPECT_TRUE(store->CreateCatalog("WORK", "NEW\tONE").IsInvalidArgument());
  EXPECT_TRUE(store->CreateCatalog("WORK", "OLD\tONE").ok());
  ASSERT_TRUE(
      store->PutEntry("WORK", "OLD\tONE", "E", "DATA", "", Lines(3, 9)).ok());
  EXPECT_EQ(store->ListEntries("WORK", "OLD\tONE").size(), 1u);
  EXPECT_TRUE(store->DeleteCatalog("WORK", "OLD\tONE", true).ok());
  EXPECT_TRUE(store->FindCatalog("WORK", "OLD\tONE").IsNotFound());
}

// Reading works where nothing can be written: for a user who may only read
// the folder, and on read-only media where the library's journal files
// cannot even be made. A writer there is told why it cannot write.
TEST_F(LibraryFileTest, ReadingWorksWhereNothingCanBeWrittenAsRoot) {
  std::vector<StoredRecord> records = Lines(3000, 50);
  ASSERT_TRUE(Store()->PutEntry("WORK", "CAT", "E", "DATA", "", records).ok());

  // A user with read permission only (the test runs as root, who may
  // write anything: the child becomes nobody).
  ASSERT_EQ(chmod(folder_.c_str(), 0555), 0);
  ASSERT_EQ(chmod(DbPath().c_str(), 0444), 0);
  pid_t reader = Spawn([&] {
    if (setgid(65534) != 0 || setuid(65534) != 0) return 2;
    StoreStatus end;
    if (ReadAll(*Store(true), "E", &end) != records || !end.IsNotFound()) {
      return 3;
    }
    // A store that would write reads too, and says why it cannot write.
    auto store = Store();
    if (store->GetEntry("WORK", "CAT", "E", "DATA")->records != records) {
      return 4;
    }
    StoreStatus st = store->PutEntry("WORK", "CAT", "E", "DATA", "", {});
    if (st.code() != StoreStatus::kNoPermission ||
        st.message() != DbPath() +
                            ": this user may not write the library "
                            "file") {
      return 5;
    }
    return 0;
  });
  EXPECT_EQ(Reap(reader), 0);

  // A folder the user may not even search hides its libraries: each call
  // says so, and none takes the library for absent.
  ASSERT_EQ(chmod(folder_.c_str(), 0700), 0);
  pid_t stranger = Spawn([&] {
    if (setgid(65534) != 0 || setuid(65534) != 0) return 2;
    auto store = Store(true);
    std::vector<std::string> librefs;
    std::string stamp;
    int code = 3;
    for (const StoreStatus& st :
         {store->ListLibraries(&librefs), store->FindLibrary("WORK"),
          store->FindEntry("WORK", "CAT", "E", "DATA", nullptr),
          store->ChangeStamp("WORK", &stamp),
          Store()->PutEntry("WORK", "CAT", "N", "DATA", "", {})}) {
      if (st.code() != StoreStatus::kNoPermission ||
          st.message().find("Permission denied") == std::string::npos) {
        return code;
      }
      ++code;
    }
    return 0;
  });
  EXPECT_EQ(Reap(stranger), 0);
  ASSERT_EQ(chmod(folder_.c_str(), 0755), 0);

  // Read-only media: a tmpfs remounted read-only under the library.
  std::string media = folder_ + "/media";
  ASSERT_EQ(mkdir(media.c_str(), 0755), 0);
  Tmpfs tmpfs(media, "4m");
  ASSERT_MOUNTED(tmpfs);
  auto write_store = NewSqliteCatalogStore(media, StoreOptions{false, 30000});
  ASSERT_TRUE(
      write_store->PutEntry("WORK", "CAT", "E", "DATA", "", records).ok());
  write_store.reset();
  ASSERT_TRUE(tmpfs.RemountReadOnly()) << std::strerror(errno);
  ASSERT_FALSE(std::filesystem::exists(media + "/work.db-shm"));
  auto store = NewSqliteCatalogStore(media, StoreOptions{true, 30000});
  EXPECT_EQ(store->GetEntry("WORK", "CAT", "E", "DATA")->records, records);
  std::vector<std::string> librefs;
  ASSERT_TRUE(store->ListLibraries(&librefs).ok());
  EXPECT_EQ(librefs, std::vector<std::string>{"WORK"});
  StoreStatus st = NewSqliteCatalogStore(media)->PutEntry("WORK", "CAT", "N",
                                                          "DATA", "", {});
  EXPECT_EQ(st.code(), StoreStatus::kReadOnly);
  EXPECT_EQ(st.message(),
            media + "/work.db: the library is on read-only media");
  st = NewSqliteCatalogStore(media)->CreateCatalog("NEW", "CAT");
  EXPECT_EQ(st.code(), StoreStatus::kReadOnly);
  EXPECT_EQ(st.message(), media + "/new.db: the library is on read-only media");
}

// A full disk: a write fails saying so, and the old content stays and
// reads as before; a deletion works or says why.
TEST_F(LibraryFileTest, AFullDiskKeepsOldContentAndReadsWorkingAsRoot) {
  std::string disk = folder_ + "/disk";
  ASSERT_EQ(mkdir(disk.c_str(), 0755), 0);
  Tmpfs tmpfs(disk, "3m");
  ASSERT_MOUNTED(tmpfs);
  StoreOptions writing, reading;
  reading.read_only = true;
  std::vector<StoredRecord> keep = Lines(4000, 80);
  ASSERT_TRUE(NewSqliteCatalogStore(disk, writing)
                  ->PutEntry("WORK", "CAT", "KEEP", "DATA", "k", keep)
                  .ok());
  // A writer that runs out of room in the middle, then a full disk.
  {
    std::string filler = disk + "/filler";
    int fd = open(filler.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    std::string block(4096, 'f');
    while (FileBytes(filler) < 2LL * 1024 * 1024 &&
           write(fd, block.data(), block.size()) > 0) {
    }
    auto store = NewSqliteCatalogStore(disk, writing);
    std::unique_ptr<EntryCursor> cursor;
    ASSERT_TRUE(store
                    ->OpenEntry("WORK", "CAT", "KEEP", "DATA",
                                OpenIntent::kReplace, "", &cursor)
                    .ok());
    StoreStatus st;
    for (const StoredRecord& r : Noise(4000, 1000, 3)) {
      st = cursor->Write(r.bytes.data(), 1000, 1);
      if (!st.ok()) break;
    }
    if (st.ok()) st = cursor->Commit();
    EXPECT_EQ(st.code(), StoreStatus::kDiskFull) << st.ToString();
    EXPECT_NE(st.message().find(disk + "/work.db"), std::string::npos);
    EXPECT_NE(st.message().find("disk is full"), std::string::npos);
    while (write(fd, block.data(), block.size()) > 0) {
    }
    close(fd);
  }
  // The disk has no room left at all.
  auto store = NewSqliteCatalogStore(disk, reading);
  auto entry = store->GetEntry("WORK", "CAT", "KEEP", "DATA");
  ASSERT_TRUE(entry.has_value());
  EXPECT_EQ(entry->records, keep);
  EXPECT_EQ(entry->info.description, "k");
  EXPECT_EQ(store->ListEntries("WORK", "CAT").size(), 1u);
  store.reset();
  StoreStatus deleted = NewSqliteCatalogStore(disk, writing)
                            ->DeleteEntry("WORK", "CAT", "KEEP", "DATA");
  if (!deleted.ok()) {
    EXPECT_EQ(deleted.code(), StoreStatus::kDiskFull) << deleted.ToString();
    EXPECT_NE(deleted.message().find(disk + "/work.db"), std::string::npos);
    EXPECT_EQ(NewSqliteCatalogStore(disk, reading)
                  ->GetEntry("WORK", "CAT", "KEEP", "DATA")
                  ->records,
              keep);
  }
  // Room again: everything works, and the library is sound.
  ASSERT_EQ(unlink((disk + "/filler").c_str()), 0);
  store = NewSqliteCatalogStore(disk, writing);
  ASSERT_TRUE(store->PutEntry("WORK", "CAT", "NEW", "DATA", "", keep).ok());
  LibraryCheck check;
  ASSERT_TRUE(store->CheckLibrary("WORK", &check).ok());
  EXPECT_TRUE(check.problems.empty());
  EXPECT_EQ(store->FindEntry("WORK", "CAT", "KEEP", "DATA", nullptr).ok(),
            !deleted.ok());
}

// A file in a library's place that is not one of ours is refused by name
// and left as it is: another program's database, a link out of the folder.
TEST_F(LibraryFileTest, FilesThatAreNotLibrariesAreRefusedAndLeftAlone) {
  std::string notes = folder_ + "/notes.db";
  ASSERT_TRUE(ExecFile(notes,
                       "CREATE TABLE notes(id, text);"
                       "INSERT INTO notes VALUES(1, 'keep me')"));
  std::string stamped = folder_ + "/stamped.db";
  ASSERT_TRUE(ExecFile(stamped,
                       "CREATE TABLE catalogs(id); PRAGMA application_id = 42;"
                       "PRAGMA user_version = 2"));
  auto store = Store();
  for (const char* libref : {"NOTES", "STAMPED"}) {
    for (const StoreStatus& st : {store->FindCatalog(libref, "CAT"),
                                  store->CreateCatalog(libref, "CAT")}) {
      EXPECT_EQ(st.code(), StoreStatus::kNotLibrary) << st.ToString();
      EXPECT_NE(st.message().find("not a library of this program"),
                std::string::npos)
          << st.message();
    }
  }
  EXPECT_NE(store->FindCatalog("NOTES", "CAT").message().find(notes + ": "),
            std::string::npos);
  EXPECT_EQ(QueryFile(notes, "SELECT count(*) FROM sqlite_schema"), 1);
  EXPECT_EQ(QueryFile(stamped, "PRAGMA application_id"), 42);

  // A link in the folder to a library elsewhere, and one to nowhere.
  std::string outside = folder_ + "/outside";
  ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
  ASSERT_TRUE(NewSqliteCatalogStore(outside)
                  ->PutEntry("REAL", "CAT", "E", "DATA", "", Lines(10, 9))
                  .ok());
  ASSERT_EQ(symlink("outside/real.db", (folder_ + "/link.db").c_str()), 0);
  ASSERT_EQ(symlink("outside/made.db", (folder_ + "/dangle.db").c_str()), 0);
  struct stat before;
  ASSERT_EQ(stat((outside + "/real.db").c_str(), &before), 0);
  for (const char* libref : {"LINK", "DANGLE"}) {
    for (const StoreStatus& st :
         {store->FindCatalog(libref, "CAT"),
          store->CreateCatalog(libref, "NEW"),
          store->PutEntry(libref, "CAT", "E", "DATA", "", {})}) {
      EXPECT_EQ(st.code(), StoreStatus::kNotLibrary) << st.ToString();
      EXPECT_NE(st.message().find("symbolic link"), std::string::npos)
          << st.message();
      EXPECT_NE(st.message().find(folder_ + "/"), std::string::npos);
    }
  }
  struct stat after;
  ASSERT_EQ(stat((outside + "/real.db").c_str(), &after), 0);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
  EXPECT_FALSE(std::filesystem::exists(outside + "/made.db"));
}

// Forty processes that write the first entries of a new library at once
// all succeed.
TEST_F(LibraryFileTest, FortyRacingFirstWritesOfOneLibraryAllSucceed) {
  constexpr int kWriters = 40;
  for (int round = 0; round < 2; ++round) {
    std::string folder = folder_ + "/round" + std::to_string(round);
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    int gate[2];
    ASSERT_EQ(pipe(gate), 0);
    std::vector<pid_t> writers;
    for (int i = 0; i < kWriters; ++i) {
      writers.push_back(Spawn([&, i] {
        close(gate[1]);
        char c;
        if (read(gate[0], &c, 1) != 0) return 2;  // opens when closed
        StoreStatus st = NewSqliteCatalogStore(folder)->PutEntry(
            "WORK", "CAT", "E" + std::to_string(i), "DATA", "", Lines(50, 30));
        if (!st.ok()) std::fprintf(stderr, "%s\n", st.ToString().c_str());
        return st.ok() ? 0 : 1;
      }));
    }
    close(gate[0]);
    close(gate[1]);
    int succeeded = 0;
    for (pid_t pid : writers) succeeded += Reap(pid) == 0;
    EXPECT_EQ(succeeded, kWriters);
    std::vector<EntryInfo> entries;
    StoreStatus listed =
        NewSqliteCatalogStore(folder)->List("WORK", "CAT", &entries);
    EXPECT_TRUE(listed.ok()) << listed.ToString();
    EXPECT_EQ(entries.size(), (size_t)kWriters);
  }
}

}  // namespace
}  // namespace refhost
