// What keeps a library file small: the reference host's attributes kept
// packed (and those of earlier releases packed by compact), live versions
// without an owner, and compact packing every version's pages once at its
// level; damage to any of it is refused, naming the entry, and compact
// drops no sound entry.

#include <sqlite3.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "refhost/host/file_attributes.h"
#include "refhost/store/catalog_store.h"
#include "refhost/store/library_files.h"
#include "refhost/store/paged/record_page.h"

namespace refhost {
namespace {

class PackingTest : public LibraryFolderTest {
 protected:
  std::unique_ptr<CatalogStore> Store() {
    return NewSqliteCatalogStore(folder_);
  }

  // The attributes an import keeps for file note-<i>.txt.
  static std::string FileOf(int i) {
    FileAttributes a;
    a.file_name = "note-" + std::to_string(i) + ".txt";
    a.modified_ns = 1733800000000000000 + i;
    a.mode = 0644;
    a.size = 100 + i;
    a.records = RecordMapping::kLines;
    a.content_hash = 0x9e3779b97f4a7c15ULL * (uint64_t)(i + 1);
    a.changed_ns = *a.modified_ns;
    a.inode = 5000 + i;
    return EncodeFileAttributes(a);
  }

  // Lines of notes, different for every i.
  static std::vector<StoredRecord> NotesOf(int i, int lines) {
    static const char* const kWords[] = {"meeting", "garden",  "invoice",
                                         "library", "station", "report",
                                         "the",     "of",      "and"};
    std::vector<StoredRecord> out;
    uint32_t state = (uint32_t)i * 2654435761u + 7;
    for (int n = 0; n < lines; ++n) {
      std::string line = std::to_string(i) + "." + std::to_string(n);
      for (int w = 0; w < 8; ++w) {
        state = state * 1103515245u + 12345u;
        line += " ";
        line += kWords[(state >> 16) % 9];
      }
      out.push_back({line, 0});
    }
    return out;
  }

  void Put(CatalogStore& store, int i, int lines, const std::string& attrs) {
    ASSERT_TRUE(store.CreateCatalog("WORK", "CAT").ok());
    std::unique_ptr<EntryCursor> cursor;
    ASSERT_TRUE(store
                    .OpenEntry("WORK", "CAT", "NOTE-" + std::to_string(i),
                               "DATA", OpenIntent::kReplace, "", &cursor)
                    .ok());
    for (const StoredRecord& r : NotesOf(i, lines)) {
      ASSERT_TRUE(
          cursor->Write(r.bytes.data(), (uint32_t)r.bytes.size(), r.kind).ok());
    }
    cursor->SetHostAttributes(attrs);
    ASSERT_TRUE(cursor->Commit().ok());
  }

  void ExpectEntries(CatalogStore& store, int count, int lines) {
    for (int i = 0; i < count; ++i) {
      auto entry =
          store.GetEntry("WORK", "CAT", "NOTE-" + std::to_string(i), "DATA");
      ASSERT_TRUE(entry.has_value()) << i;
      EXPECT_EQ(entry->records, NotesOf(i, lines)) << i;
      EXPECT_EQ(entry->info.host_attributes, FileOf(i)) << i;
    }
  }

  std::string Problems(CatalogStore& store) {
    LibraryCheck check;
    EXPECT_TRUE(store.CheckLibrary("WORK", &check).ok());
    std::string all;
    for (const std::string& p : check.problems) all += p + "\n";
    return all;
  }
};

TEST_F(PackingTest, AnImportsAttributesAreKeptPackedAndDamageIsNamed) {
  {
    auto store = Store();
    for (int i = 0; i < 20; ++i) Put(*store, i, 5, FileOf(i));
    std::unique_ptr<EntryCursor> cursor;
    ASSERT_TRUE(store
                    ->OpenEntry("WORK", "CAT", "OTHER", "DATA",
                                OpenIntent::kReplace, "", &cursor)
                    .ok());
    cursor->SetHostAttributes("another host's attributes");
    ASSERT_TRUE(cursor->Commit().ok());
  }
  EXPECT_EQ(Query("SELECT count(*) FROM entries WHERE typeof(host_attributes) "
                  "= 'blob' AND substr(host_attributes, 1, 1) = x'A5'"),
            20);
  EXPECT_LE(Query("SELECT max(length(host_attributes)) FROM entries WHERE "
                  "name LIKE 'NOTE-%'"),
            40);
  EXPECT_EQ(QueryText(DbPath(),
                      "SELECT host_attributes FROM entries WHERE "
                      "name = 'OTHER'"),
            "another host's attributes");
  // A time of change is kept after the creation: none until a change.
  EXPECT_EQ(Query("SELECT count(*) FROM entries WHERE modified_after <> 0"), 0);
  // A live version keeps no owner: only a staging one needs it.
  EXPECT_EQ(Query("SELECT count(*) FROM versions WHERE owner_pid <> 0 OR "
                  "owner_start <> 0"),
            0);
  {
    auto store = Store();
    ExpectEntries(*store, 20, 5);
    EXPECT_EQ(Problems(*store), "");
  }

  // A byte of one entry's attributes changed, and another's moved to a
  // third entry: both are refused by a look-up, a listing and the check,
  // which name them; the others read as written.
  ASSERT_TRUE(ExecFile(DbPath(),
                       "UPDATE entries SET host_attributes = "
                       "CAST(substr(host_attributes, 1, 9) || x'00' || "
                       "substr(host_attributes, 11) AS BLOB) WHERE name = "
                       "'NOTE-3'; "
                       "UPDATE entries SET host_attributes = (SELECT "
                       "host_attributes FROM entries WHERE name = 'NOTE-4') "
                       "WHERE name = 'NOTE-5'"));
  auto store = Store();
  for (const char* name : {"NOTE-3", "NOTE-5"}) {
    EntryInfo info;
    StoreStatus found = store->FindEntry("WORK", "CAT", name, "DATA", &info);
    EXPECT_EQ(found.code(), StoreStatus::kCorrupt) << found.ToString();
    EXPECT_NE(found.message().find(name), std::string::npos) << found.message();
  }
  std::vector<EntryInfo> listed;
  EXPECT_EQ(store->List("WORK", "CAT", &listed).code(), StoreStatus::kCorrupt);
  std::string problems = Problems(*store);
  EXPECT_NE(problems.find("WORK.CAT.NOTE-3.DATA"), std::string::npos)
      << problems;
  EXPECT_NE(problems.find("WORK.CAT.NOTE-5.DATA"), std::string::npos)
      << problems;
  EXPECT_EQ(problems.find("NOTE-4"), std::string::npos) << problems;
  auto sound = store->GetEntry("WORK", "CAT", "NOTE-4", "DATA");
  ASSERT_TRUE(sound.has_value());
  EXPECT_EQ(sound->info.host_attributes, FileOf(4));

  // An entry changed later says so, its creation kept.
  EntryInfo before, after;
  ASSERT_TRUE(store->FindEntry("WORK", "CAT", "NOTE-4", "DATA", &before).ok());
  EXPECT_EQ(before.modified_micros, before.created_micros);
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  Put(*store, 4, 5, FileOf(4));
  ASSERT_TRUE(store->FindEntry("WORK", "CAT", "NOTE-4", "DATA", &after).ok());
  EXPECT_EQ(after.created_micros, before.created_micros);
  EXPECT_GE(after.modified_micros, before.created_micros + 5000);
  EXPECT_LT(after.modified_micros, before.created_micros + 60000000);

  // Compact drops no entry, and leaves what it cannot read as it was.
  LibraryCompaction compaction;
  ASSERT_TRUE(store->CompactLibrary("WORK", &compaction).ok());
  EXPECT_EQ(Query("SELECT count(*) FROM entries"), 21);
  problems = Problems(*store);
  EXPECT_NE(problems.find("WORK.CAT.NOTE-3.DATA"), std::string::npos)
      << problems;
  // Written again, or deleted, an entry whose attributes were damaged
  // is as sound as the others.
  Put(*store, 3, 5, FileOf(3));
  auto again = store->GetEntry("WORK", "CAT", "NOTE-3", "DATA");
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(again->info.host_attributes, FileOf(3));
  ASSERT_TRUE(store->DeleteEntry("WORK", "CAT", "NOTE-5", "DATA").ok());
  EXPECT_EQ(Problems(*store), "");
}

// Pages are written at the levels an import can afford; compact packs each
// version's pages again at its own level, once: the library is smaller,
// every record reads as written, and a second compact packs nothing again.
TEST_F(PackingTest, CompactPacksEveryVersionOnceAndKeepsEveryRecord) {
  {
    auto store = Store();
    for (int i = 0; i < 60; ++i) {
      Put(*store, i, i % 3 == 0 ? 2000 : 60, FileOf(i));
    }
  }
  // As an earlier release kept attributes: as text, which compact packs.
  ASSERT_TRUE(ExecFile(DbPath(), "UPDATE entries SET host_attributes = '" +
                                     FileOf(7) + "' WHERE name = 'NOTE-7'"));
  int64_t pages_before = Query("SELECT sum(length(data)) FROM pages");
  auto store = Store();
  LibraryCompaction compaction;
  ASSERT_TRUE(store->CompactLibrary("WORK", &compaction).ok());
  int64_t pages_after = Query("SELECT sum(length(data)) FROM pages");
  EXPECT_LT(pages_after, pages_before * 97 / 100)
      << pages_before << " -> " << pages_after;
  EXPECT_EQ(Query("SELECT count(*) FROM versions WHERE packed <> " +
                  std::to_string(kCompactLevel)),
            0);
  EXPECT_EQ(QueryText(DbPath(),
                      "SELECT typeof(host_attributes) || "
                      "hex(substr(host_attributes, 1, 1)) FROM "
                      "entries WHERE name = 'NOTE-7'"),
            "blobA5");
  for (int i = 0; i < 60; ++i) {
    auto entry =
        store->GetEntry("WORK", "CAT", "NOTE-" + std::to_string(i), "DATA");
    ASSERT_TRUE(entry.has_value()) << i;
    EXPECT_EQ(entry->records, NotesOf(i, i % 3 == 0 ? 2000 : 60)) << i;
    EXPECT_EQ(entry->info.host_attributes, FileOf(i)) << i;
  }
  EXPECT_EQ(Problems(*store), "");
  ExpectNothingLeftBehind();

  // Packed once: a second compact leaves every page as it is.
  std::string digest =
      QueryText(DbPath(),
                "SELECT group_concat(hex(substr(data, -4)), '') "
                "FROM (SELECT data FROM pages ORDER BY key)");
  ASSERT_TRUE(store->CompactLibrary("WORK", &compaction).ok());
  EXPECT_EQ(QueryText(DbPath(),
                      "SELECT group_concat(hex(substr(data, -4)), "
                      "'') FROM (SELECT data FROM pages ORDER BY "
                      "key)"),
            digest);
  // An entry written since is packed by the next.
  Put(*store, 1, 60, FileOf(1));
  EXPECT_EQ(Query("SELECT count(*) FROM versions WHERE packed = 0"), 1);
  ASSERT_TRUE(store->CompactLibrary("WORK", &compaction).ok());
  EXPECT_EQ(Query("SELECT count(*) FROM versions WHERE packed = 0"), 0);
  EXPECT_EQ(store->GetEntry("WORK", "CAT", "NOTE-1", "DATA")->records,
            NotesOf(1, 60));
}

}  // namespace
}  // namespace refhost
