// A library's dictionaries: a catalog's text is compressed with one made
// from the catalog's own entries, each page names the one it needs, check
// verifies them, compact makes a new one once the catalog has grown, and
// a damaged dictionary or page is refused, never read as other bytes.

#include <sqlite3.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "refhost/store/catalog_store.h"
#include "refhost/store/library_files.h"
#include "refhost/store/paged/record_page.h"

namespace refhost {
namespace {

const char* const kWords[] = {
    "meeting", "garden",  "invoice", "monday", "library", "station", "report",
    "council", "weather", "budget",  "notes",  "market",  "quarter", "paper",
    "the",     "of",      "and",     "for",    "with",    "before",  "after"};

// The words of later notes: half of them others.
const char* const kLaterWords[] = {
    "meeting", "harbour", "invoice", "ferry", "library", "tunnel",  "report",
    "orchard", "weather", "ledger",  "notes", "bakery",  "quarter", "canal",
    "the",     "of",      "and",     "for",   "beside",  "during",  "until"};

// An entry of notes: lines of words, different for every seed.
std::vector<StoredRecord> Notes(int seed, int lines,
                                const char* const* words = kWords) {
  uint64_t state = (uint64_t)seed * 2654435761u + 1;
  auto next = [&] {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return (uint32_t)(state >> 33);
  };
  std::vector<StoredRecord> out;
  for (int i = 0; i < lines; ++i) {
    std::string line = std::to_string(seed) + "-" + std::to_string(i) + ":";
    int count = 6 + (int)(next() % 8);
    for (int w = 0; w < count; ++w) {
      line += " ";
      line += words[next() % (sizeof kWords / sizeof kWords[0])];
    }
    out.push_back({line, 0});
  }
  return out;
}

class DictionaryTest : public LibraryFolderTest {
 protected:
  std::unique_ptr<CatalogStore> Store() {
    return NewSqliteCatalogStore(folder_);
  }

  static std::string Name(int i) { return "N" + std::to_string(i); }
  // Entry i of CAT: notes of about 8 KB, of the later words from later_.
  std::vector<StoredRecord> NotesOf(int i) const {
    return Notes(i, 150, i >= later_ ? kLaterWords : kWords);
  }
  int later_ = 1 << 30;

  // Entries first to first + count of CAT, of about 8 KB each.
  void WriteNotes(CatalogStore& store, int first, int count) {
    for (int i = first; i < first + count; ++i) {
      ASSERT_TRUE(
          store.PutEntry("WORK", "CAT", Name(i), "DATA", "", NotesOf(i)).ok())
          << Name(i);
    }
  }

  void ExpectNotes(CatalogStore& store, int count) {
    for (int i = 0; i < count; ++i) {
      auto entry = store.GetEntry("WORK", "CAT", Name(i), "DATA");
      ASSERT_TRUE(entry.has_value()) << Name(i);
      EXPECT_EQ(entry->records, NotesOf(i)) << Name(i);
    }
  }

  // The dictionaries the pages of the library name (0: none).
  std::multiset<uint32_t> NamedByPages() {
    std::multiset<uint32_t> named;
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open(DbPath().c_str(), &db), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    EXPECT_EQ(
        sqlite3_prepare_v2(db, "SELECT data FROM pages", -1, &st, nullptr),
        SQLITE_OK);
    while (sqlite3_step(st) == SQLITE_ROW) {
      named.insert(DictionaryOf(sqlite3_column_blob(st, 0),
                                (size_t)sqlite3_column_bytes(st, 0)));
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return named;
  }
};

// Past the first half megabyte of its text a catalog gets a dictionary;
// what was written before is compressed again with it, every page names
// it, and every entry reads as written. A catalog of little text has
// none, and reads as well.
TEST_F(DictionaryTest, ACatalogsTextIsCompressedWithItsOwnDictionary) {
  auto store = Store();
  ASSERT_TRUE(
      store->PutEntry("WORK", "SMALL", "ONE", "DATA", "", Notes(7, 20)).ok());
  WriteNotes(*store, 0, 100);
  EXPECT_EQ(Query("SELECT count(*) FROM dictionaries"), 1);
  EXPECT_EQ(Query("SELECT catalog_id FROM dictionaries"),
            Query("SELECT id FROM catalogs WHERE name = 'CAT'"));
  int64_t id = Query("SELECT id FROM dictionaries");
  std::multiset<uint32_t> named = NamedByPages();
  EXPECT_EQ(named.count((uint32_t)id), 100u) << "every page of CAT";
  EXPECT_EQ(named.count(0), 1u) << "the small catalog's page";
  int64_t stored = Query("SELECT sum(length(data)) FROM pages");
  store.reset();

  store = Store();
  ExpectNotes(*store, 100);
  EXPECT_EQ(store->GetEntry("WORK", "SMALL", "ONE", "DATA")->records,
            Notes(7, 20));
  LibraryCheck check;
  ASSERT_TRUE(store->CheckLibrary("WORK", &check).ok());
  EXPECT_TRUE(check.problems.empty()) << check.problems[0];
  EXPECT_EQ(check.entries, 101);

  // The same text without a dictionary takes more room.
  ASSERT_TRUE(ExecFile(DbPath(), "DELETE FROM dictionaries"));
  std::string other = folder_ + "/plain";
  std::filesystem::create_directory(other);
  auto plain = NewSqliteCatalogStore(other);
  for (int i = 0; i < 100; ++i) {
    ASSERT_TRUE(plain
                    ->PutEntry("WORK", "X" + std::to_string(i), Name(i), "DATA",
                               "", Notes(i, 150))
                    .ok());
  }
  EXPECT_LT(stored, QueryFile(other + "/work.db",
                              "SELECT sum(length(data)) FROM pages"))
      << "one catalog an entry never reaches the text a dictionary needs";
}

// A dictionary whose bytes were damaged: check names it and the entries
// that need it, a read of such an entry is refused naming it, and no
// record of it is handed out; compact keeps every entry, sound or not.
TEST_F(DictionaryTest, ADamagedDictionaryIsRefusedNamingWhatNeedsIt) {
  {
    auto store = Store();
    WriteNotes(*store, 0, 80);
    ASSERT_TRUE(
        store->PutEntry("WORK", "SMALL", "ONE", "DATA", "", Notes(7, 20)).ok());
  }
  ASSERT_EQ(Query("SELECT count(*) FROM dictionaries"), 1);
  ASSERT_TRUE(ExecFile(DbPath(),
                       "UPDATE dictionaries SET data = substr(data, 1, 2000) "
                       "|| x'5A5A5A5A' || substr(data, 2005)"));
  auto store = Store();
  std::unique_ptr<EntryCursor> cursor;
  StoreStatus opened = store->OpenEntry("WORK", "CAT", "N3", "DATA",
                                        OpenIntent::kRead, "", &cursor);
  StoreStatus read = opened;
  RecordView view;
  if (opened.ok()) read = cursor->Read(&view);
  EXPECT_EQ(read.code(), StoreStatus::kCorrupt) << read.ToString();
  EXPECT_NE(read.message().find(DbPath()), std::string::npos) << read.message();
  cursor.reset();
  EXPECT_EQ(store->GetEntry("WORK", "SMALL", "ONE", "DATA")->records,
            Notes(7, 20));

  LibraryCheck check;
  ASSERT_TRUE(store->CheckLibrary("WORK", &check).ok());
  ASSERT_FALSE(check.problems.empty());
  std::string all;
  for (const std::string& p : check.problems) all += p + "\n";
  EXPECT_NE(all.find("dictionary"), std::string::npos) << all;
  EXPECT_NE(all.find("WORK.CAT.N3.DATA"), std::string::npos) << all;
  EXPECT_EQ(all.find("WORK.SMALL.ONE.DATA"), std::string::npos) << all;

  LibraryCompaction compaction;
  store->CompactLibrary("WORK", &compaction);
  std::vector<EntryInfo> entries;
  ASSERT_TRUE(store->List("WORK", "CAT", &entries).ok());
  EXPECT_EQ(entries.size(), 80u) << "compact drops no entry";
  // Written again, an entry reads; the others stay refused.
  ASSERT_TRUE(
      store->PutEntry("WORK", "CAT", "N3", "DATA", "", Notes(3, 150)).ok());
  EXPECT_EQ(store->GetEntry("WORK", "CAT", "N3", "DATA")->records,
            Notes(3, 150));
}

// Compact gives a catalog that has grown well past the text its
// dictionary was made from, and whose later text that dictionary serves
// less well, a new one, compresses the catalog again with it and drops
// the dictionary no page names any more; nothing reads differently, and
// a library of several generations of pages checks sound. A catalog its
// dictionaries serve as well as a new one would is left as it is: compact
// never makes a library's pages larger.
TEST_F(DictionaryTest, CompactRenewsADictionaryOnlyWhereANewOneIsSmaller) {
  later_ = 70;
  auto store = Store();
  WriteNotes(*store, 0, 70);
  ASSERT_EQ(Query("SELECT count(*) FROM dictionaries"), 1);
  int64_t first = Query("SELECT id FROM dictionaries");
  WriteNotes(*store, 70, 330);
  LibraryCheck check;
  ASSERT_TRUE(store->CheckLibrary("WORK", &check).ok());
  EXPECT_TRUE(check.problems.empty());
  int64_t before = Query("SELECT sum(length(data)) FROM pages");
  LibraryCompaction compaction;
  ASSERT_TRUE(store->CompactLibrary("WORK", &compaction).ok());
  store.reset();
  int64_t now = Query("SELECT id FROM dictionaries ORDER BY made DESC LIMIT 1");
  EXPECT_NE(now, first);
  std::multiset<uint32_t> named = NamedByPages();
  EXPECT_EQ(named.count((uint32_t)now), named.size())
      << "every page compressed again";
  EXPECT_EQ(Query("SELECT count(*) FROM dictionaries WHERE id = " +
                  std::to_string(first)),
            0);
  int64_t after = Query("SELECT sum(length(data)) FROM pages");
  EXPECT_LT(after, before);
  store = Store();
  ExpectNotes(*store, 400);
  ASSERT_TRUE(store->CheckLibrary("WORK", &check).ok());
  EXPECT_TRUE(check.problems.empty());

  // Compacted again, the catalog keeps its dictionary and its pages.
  ASSERT_TRUE(store->CompactLibrary("WORK", &compaction).ok());
  store.reset();
  EXPECT_EQ(Query("SELECT id FROM dictionaries"), now);
  EXPECT_EQ(Query("SELECT sum(length(data)) FROM pages"), after);
  store = Store();
  ExpectNotes(*store, 400);
  store.reset();
  ExpectNothingLeftBehind();
}

// Rows of readings, text of another kind than notes.
std::vector<StoredRecord> Rows(int seed, int lines) {
  uint64_t state = (uint64_t)seed * 40503u + 7;
  auto next = [&] {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return (uint32_t)(state >> 33);
  };
  std::vector<StoredRecord> out;
  for (int i = 0; i < lines; ++i) {
    out.push_back({std::to_string(next() % 1000000) + ";" +
                       std::to_string(next() % 100000) + "." +
                       std::to_string(next() % 1000) + ";" +
                       std::to_string(next()) + ";" +
                       std::to_string(next() % 4096),
                   0});
  }
  return out;
}

// A catalog whose text changed kind has a dictionary for each kind; a
// later writer of the first kind packs it with the first, not with the
// catalog's newest, once it has seen a window of it.
TEST_F(DictionaryTest, ALaterWriterPacksEachKindWithItsOwnDictionary) {
  auto store = Store();
  WriteNotes(*store, 0, 100);
  for (int i = 0; i < 150; ++i) {
    ASSERT_TRUE(store
                    ->PutEntry("WORK", "CAT", "R" + std::to_string(i), "DATA",
                               "", Rows(i, 200))
                    .ok());
  }
  store.reset();
  ASSERT_EQ(Query("SELECT count(*) FROM dictionaries"), 2);
  auto notes =
      (uint32_t)Query("SELECT id FROM dictionaries ORDER BY made LIMIT 1");
  auto rows =
      (uint32_t)Query("SELECT id FROM dictionaries ORDER BY made DESC LIMIT 1");
  std::multiset<uint32_t> before = NamedByPages();

  auto writer = Store();
  for (int i = 0; i < 60; ++i) {
    ASSERT_TRUE(writer
                    ->PutEntry("WORK", "CAT", "M" + std::to_string(i), "DATA",
                               "", Notes(1000 + i, 150))
                    .ok());
  }
  std::multiset<uint32_t> after = NamedByPages();
  EXPECT_GE(after.count(notes) - before.count(notes), 40u);
  EXPECT_LE(after.count(rows) - before.count(rows), 20u)
      << "the first window only";
  store = Store();
  ExpectNotes(*store, 100);
  for (int i = 0; i < 60; ++i) {
    auto entry =
        store->GetEntry("WORK", "CAT", "M" + std::to_string(i), "DATA");
    ASSERT_TRUE(entry.has_value());
    EXPECT_EQ(entry->records, Notes(1000 + i, 150));
  }
  LibraryCheck check;
  ASSERT_TRUE(store->CheckLibrary("WORK", &check).ok());
  EXPECT_TRUE(check.problems.empty());

  // Once no page names the notes' dictionary, compact (another process's)
  // drops it: the writer that chose it writes with the newest from then
  // on.
  for (const auto& [prefix, count] :
       {std::pair<std::string, int>{"N", 100}, {"M", 60}, {"R", 150}}) {
    for (int i = 0; i < count; ++i) {
      ASSERT_TRUE(
          store->DeleteEntry("WORK", "CAT", prefix + std::to_string(i), "DATA")
              .ok());
    }
  }
  LibraryCompaction compaction;
  ASSERT_TRUE(store->CompactLibrary("WORK", &compaction).ok());
  store.reset();
  ASSERT_EQ(Query("SELECT count(*) FROM dictionaries WHERE id = " +
                  std::to_string(notes)),
            0);
  for (int i = 60; i < 70; ++i) {
    ASSERT_TRUE(writer
                    ->PutEntry("WORK", "CAT", "M" + std::to_string(i), "DATA",
                               "", Notes(1000 + i, 150))
                    .ok());
  }
  writer.reset();
  EXPECT_EQ(NamedByPages().count(notes), 0u);
  store = Store();
  for (int i = 60; i < 70; ++i) {
    auto entry =
        store->GetEntry("WORK", "CAT", "M" + std::to_string(i), "DATA");
    ASSERT_TRUE(entry.has_value());
    EXPECT_EQ(entry->records, Notes(1000 + i, 150));
  }
  ASSERT_TRUE(store->CheckLibrary("WORK", &check).ok());
  EXPECT_TRUE(check.problems.empty()) << check.problems[0];
}

}  // namespace
}  // namespace refhost
