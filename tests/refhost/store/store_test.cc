// The catalog store conformance suite: every story runs against the
// in-memory store, the SQLite store and the PostgreSQL store, so the
// library services see the same behaviour from all.

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "refhost/store/store_suite.h"

namespace refhost {
namespace {

TEST_P(StoreTest, LibrariesAndCatalogsExistOnceCreated) {
  EXPECT_TRUE(store().FindLibrary("WORK").IsNotFound());
  EXPECT_TRUE(store().FindCatalog("WORK", "CAT").IsNotFound());
  ASSERT_TRUE(store().CreateLibrary("WORK    ").ok());
  EXPECT_TRUE(store().FindLibrary("WORK").ok());
  EXPECT_TRUE(store().FindLibrary("work").ok()) << "librefs ignore case";
  EXPECT_TRUE(store().FindCatalog("WORK", "CAT").IsNotFound());
  ASSERT_TRUE(store().CreateCatalog("WORK", "CAT").ok());
  // Again is fine, and changes nothing: the library's change stamp, which
  // tells readers such as the mount to look again, stays.
  std::string stamp, again;
  ASSERT_TRUE(store().ChangeStamp("WORK", &stamp).ok());
  ASSERT_TRUE(store().CreateCatalog("WORK", "CAT").ok());
  ASSERT_TRUE(store().ChangeStamp("WORK", &again).ok());
  EXPECT_EQ(again, stamp);
  EXPECT_TRUE(store().FindCatalog("WORK", "CAT  ").ok());
  EXPECT_TRUE(store().FindCatalog("WORK", "cat").IsNotFound())
      << "catalog names keep case";
  // A catalog made in a library that does not exist yet makes the library.
  ASSERT_TRUE(store().CreateCatalog("OTHER", "C2").ok());
  EXPECT_TRUE(store().FindLibrary("OTHER").ok());
}

TEST_P(StoreTest, RefusesKeysItCannotHold) {
  EXPECT_TRUE(store().CreateLibrary("").IsInvalidArgument());
  EXPECT_TRUE(store().CreateLibrary("TOOLONGREF").IsInvalidArgument());
  EXPECT_TRUE(store().CreateLibrary("../X").IsInvalidArgument());
  EXPECT_TRUE(store().CreateLibrary("A/B").IsInvalidArgument());
  EXPECT_TRUE(store().CreateCatalog("WORK", "").IsInvalidArgument());
  EXPECT_TRUE(
      store().CreateCatalog("WORK", std::string(33, 'C')).IsInvalidArgument());
  ASSERT_TRUE(store().CreateCatalog("WORK", "CAT").ok());
  std::unique_ptr<EntryCursor> cursor;
  EXPECT_TRUE(store()
                  .OpenEntry("WORK", "CAT", std::string(33, 'N'), "DATA",
                             OpenIntent::kReplace, "", &cursor)
                  .IsInvalidArgument());
  EXPECT_TRUE(store()
                  .OpenEntry("WORK", "CAT", "N", "NINECHARS",
                             OpenIntent::kReplace, "", &cursor)
                  .IsInvalidArgument());
  EXPECT_EQ(cursor, nullptr);
}

// Every call checks its keys before the store looks at anything: a bad
// libref, catalog or entry key answers InvalidArgument even where nothing
// exists, the libref first, then the catalog, then the entry; outputs are
// as on any failure, and nothing is made.
TEST_P(StoreTest, EveryCallChecksItsKeysBeforeLookingAtAnything) {
  ASSERT_TRUE(store().PutEntry("WORK", "CAT", "E", "DATA", "", {}).ok());
  const std::string bad_catalog(33, 'C');
  const std::string bad_name(33, 'N');
  auto refused = [](const StoreStatus& st, std::string_view says) {
    return st.IsInvalidArgument() &&
           st.message().find(says) != std::string::npos;
  };
  std::vector<CatalogInfo> catalogs = {{"stale", 1}};
  std::vector<EntryInfo> entries(1);
  EntryInfo info;
  info.name = "untouched";
  std::unique_ptr<EntryCursor> cursor = Open("E", "DATA", OpenIntent::kRead);
  LibraryCheck check;
  LibraryCompaction compaction;
  std::string stamp = "stale";

  // A bad libref, in a store where no such library exists.
  EXPECT_TRUE(refused(store().ListCatalogs("../X", &catalogs), "libref"));
  EXPECT_TRUE(catalogs.empty());
  EXPECT_TRUE(refused(store().FindLibrary("../X"), "libref"));
  EXPECT_TRUE(refused(store().CreateLibrary("../X"), "libref"));
  EXPECT_TRUE(refused(store().DeleteCatalog("../X", "CAT", true), "libref"));
  EXPECT_TRUE(refused(store().FindCatalog("../X", "CAT"), "libref"));
  EXPECT_TRUE(refused(store().CreateCatalog("../X", bad_catalog), "libref"))
      << "the libref is checked before the catalog";
  EXPECT_TRUE(
      refused(store().FindEntry("../X", "CAT", "E", "DATA", &info), "libref"));
  EXPECT_EQ(info.name, "untouched");
  EXPECT_TRUE(
      refused(store().DeleteEntry("../X", "CAT", "E", "DATA"), "libref"));
  EXPECT_TRUE(refused(store().List("../X", "CAT", &entries), "libref"));
  EXPECT_TRUE(entries.empty());
  EXPECT_TRUE(refused(store().OpenEntry("../X", "CAT", "E", "DATA",
                                        OpenIntent::kRead, "", &cursor),
                      "libref"));
  EXPECT_EQ(cursor, nullptr);
  check.catalogs = 7;
  EXPECT_TRUE(refused(store().CheckLibrary("../X", &check), "libref"));
  EXPECT_EQ(check.catalogs, 0);
  compaction.bytes_after = 7;
  EXPECT_TRUE(refused(store().CompactLibrary("../X", &compaction), "libref"));
  EXPECT_EQ(compaction.bytes_after, 0);
  EXPECT_TRUE(refused(store().ChangeStamp("../X", &stamp), "libref"));
  EXPECT_EQ(stamp, "");

  // A bad catalog name, in a library that does not exist.
  for (const char* libref : {"WORK", "ABSENT"}) {
    SCOPED_TRACE(libref);
    EXPECT_TRUE(refused(store().DeleteCatalog(libref, bad_catalog, false),
                        "catalog name"));
    EXPECT_TRUE(refused(store().FindCatalog(libref, bad_catalog), "catalog"));
    EXPECT_TRUE(
        refused(store().FindEntry(libref, bad_catalog, bad_name, "T", nullptr),
                "catalog name"))
        << "the catalog is checked before the entry";
    EXPECT_TRUE(
        refused(store().DeleteEntry(libref, bad_catalog, "E", "T"), "catalog"));
    EXPECT_TRUE(
        refused(store().List(libref, bad_catalog, &entries), "catalog"));
    EXPECT_TRUE(refused(store().OpenEntry(libref, bad_catalog, "E", "T",
                                          OpenIntent::kReplace, "", &cursor),
                        "catalog"));
  }

  // A bad entry name or type, in a catalog that does not exist.
  for (const char* catalog : {"CAT", "ABSENT"}) {
    SCOPED_TRACE(catalog);
    EXPECT_TRUE(
        refused(store().FindEntry("WORK", catalog, bad_name, "DATA", &info),
                "entry name"));
    EXPECT_TRUE(refused(store().DeleteEntry("WORK", catalog, "E", "NINECHARS"),
                        "entry type"));
    for (OpenIntent intent :
         {OpenIntent::kRead, OpenIntent::kReplace, OpenIntent::kUpdate}) {
      EXPECT_TRUE(refused(store().OpenEntry("WORK", catalog, bad_name, "DATA",
                                            intent, "", &cursor),
                          "entry name"));
      EXPECT_EQ(cursor, nullptr);
    }
  }

  std::vector<std::string> librefs;
  ASSERT_TRUE(store().ListLibraries(&librefs).ok());
  EXPECT_EQ(librefs, std::vector<std::string>{"WORK"}) << "nothing was made";
  ASSERT_TRUE(store().ListCatalogs("WORK", &catalogs).ok());
  ASSERT_EQ(catalogs.size(), 1u);
  EXPECT_EQ(catalogs[0].name, "CAT");
}

// A catalog made gets a name fit to show; one that exists answers Ok to
// being made again.
TEST_P(StoreTest, CatalogsAreMadeOnlyUnderNamesFitToShow) {
  for (std::string_view bad : {"TAB\tBED", "ESC\x1B[2J", "BYTE\xFF"}) {
    EXPECT_TRUE(store().CreateCatalog("WORK", bad).IsInvalidArgument()) << bad;
    EXPECT_TRUE(store().FindCatalog("WORK", bad).IsNotFound()) << bad;
  }
  EXPECT_TRUE(store().FindLibrary("WORK").IsNotFound()) << "nothing was made";
  ASSERT_TRUE(store().CreateCatalog("WORK", "CAF\xC3\x89").ok());
  EXPECT_TRUE(store().CreateCatalog("WORK", "CAF\xC3\x89").ok());
  EXPECT_TRUE(store().FindCatalog("WORK", "CAF\xC3\x89").ok());
}

TEST_P(StoreTest, RecordsRoundTripWithKindsAndAnyBytes) {
  ASSERT_TRUE(store().CreateCatalog("WORK", "CAT").ok());
  auto cursor = Open("E", "DATA    ", OpenIntent::kReplace, "first entry");
  std::string binary("\0\x01\xff\n\0", 5);
  Write(cursor.get(), "hello", 1);
  Write(cursor.get(), "", 270);
  Write(cursor.get(), binary, 65535);
  Write(cursor.get(), std::string(70000, 'x'), 7);
  EXPECT_EQ(cursor->record_count(), 4u);
  EXPECT_EQ(cursor->longest_record(), 70000u);
  ASSERT_TRUE(cursor->Commit().ok());
  cursor.reset();

  auto entry = store().GetEntry("WORK", "CAT", "E", "DATA");
  ASSERT_TRUE(entry.has_value());
  EXPECT_EQ(entry->info.name, "E");
  EXPECT_EQ(entry->info.type, "DATA");
  EXPECT_EQ(entry->info.description, "first entry");
  EXPECT_EQ(entry->info.record_count, 4);
  EXPECT_EQ(entry->info.longest_record, 70000);
  EXPECT_GT(entry->info.created_micros, 0);
  std::vector<StoredRecord> expected = {
      {"hello", 1}, {"", 270}, {binary, 65535}, {std::string(70000, 'x'), 7}};
  EXPECT_EQ(entry->records, expected);

  // The same data through a store opened afresh (from disk, or the server).
  if (GetParam() != Kind::kMemory) {
    store_.reset();
    store_ = Make();
    EXPECT_EQ(Records("E", "DATA"), expected);
  }
}

TEST_P(StoreTest, ReplaceDropsOldContentButKeepsDescriptionAndCreation) {
  ASSERT_TRUE(store()
                  .PutEntry("WORK", "CAT", "E", "DATA", "kept",
                            Recs({"one", "two", "three"}))
                  .ok());
  EntryInfo before;
  ASSERT_TRUE(store().FindEntry("WORK", "CAT", "E", "DATA", &before).ok());

  auto cursor = Open("E", "DATA", OpenIntent::kReplace);
  EXPECT_EQ(cursor->record_count(), 0u) << "a replacing cursor starts empty";
  Write(cursor.get(), "new");
  ASSERT_TRUE(cursor->Commit().ok());
  cursor.reset();

  auto entry = store().GetEntry("WORK", "CAT", "E", "DATA");
  ASSERT_TRUE(entry.has_value());
  EXPECT_EQ(entry->records, Recs({"new"}));
  EXPECT_EQ(entry->info.description, "kept") << "empty description keeps";
  EXPECT_EQ(entry->info.created_micros, before.created_micros);
  EXPECT_GE(entry->info.modified_micros, before.modified_micros);
  EXPECT_EQ(entry->info.longest_record, 3);

  ASSERT_TRUE(store().PutEntry("WORK", "CAT", "E", "DATA", "changed", {}).ok());
  entry = store().GetEntry("WORK", "CAT", "E", "DATA");
  EXPECT_EQ(entry->info.description, "changed");
  EXPECT_TRUE(entry->records.empty());
  EXPECT_EQ(entry->info.longest_record, 0) << "empty entry: length 0";
}

TEST_P(StoreTest, UpdateAppendsAtTheEnd) {
  ASSERT_TRUE(
      store().PutEntry("WORK", "CAT", "LOG", "LOG", "", Recs({"a", "b"})).ok());
  auto cursor = Open("LOG", "LOG", OpenIntent::kUpdate);
  EXPECT_EQ(cursor->record_count(), 2u);
  ASSERT_TRUE(cursor->Seek(cursor->record_count()).ok());
  Write(cursor.get(), "ccc");
  ASSERT_TRUE(cursor->Commit().ok());
  cursor.reset();
  EXPECT_EQ(Records("LOG", "LOG"), Recs({"a", "b", "ccc"}));

  // Update of an absent entry starts empty and creates it at commit.
  cursor = Open("NEW", "LOG", OpenIntent::kUpdate);
  EXPECT_EQ(cursor->record_count(), 0u);
  Write(cursor.get(), "first");
  EXPECT_FALSE(store().FindEntry("WORK", "CAT", "NEW", "LOG", nullptr).ok());
  ASSERT_TRUE(cursor->Commit().ok());
  EXPECT_EQ(Records("NEW", "LOG"), Recs({"first"}));
}

TEST_P(StoreTest, SeekThenReadOrOverwriteTheRest) {
  ASSERT_TRUE(store()
                  .PutEntry("WORK", "CAT", "E", "DATA", "",
                            Recs({"r0", "r1", "a-long-record", "r3"}))
                  .ok());
  auto reader = Open("E", "DATA", OpenIntent::kRead);
  ASSERT_TRUE(reader->Seek(2).ok());
  RecordView view;
  ASSERT_TRUE(reader->Read(&view).ok());
  EXPECT_EQ(std::string((const char*)view.data, view.length), "a-long-record");
  EXPECT_EQ(reader->position(), 3u);
  ASSERT_TRUE(reader->Seek(0).ok());
  EXPECT_EQ(ReadAll(reader.get()).size(), 4u);
  EXPECT_TRUE(reader->Read(&view).IsNotFound()) << "end stays the end";
  EXPECT_TRUE(reader->Seek(5).IsInvalidArgument());
  EXPECT_EQ(reader->position(), 4u) << "a refused seek leaves the position";
  ASSERT_TRUE(reader->Seek(4).ok()) << "the end itself is a position";

  // Writing after a seek into the middle replaces everything from there.
  auto writer = Open("E", "DATA", OpenIntent::kUpdate);
  ASSERT_TRUE(writer->Seek(1).ok());
  Write(writer.get(), "R1");
  EXPECT_EQ(writer->record_count(), 2u);
  EXPECT_EQ(writer->longest_record(), 2u) << "the long record went";
  ASSERT_TRUE(writer->Seek(0).ok());
  EXPECT_EQ(ReadAll(writer.get()), Recs({"r0", "R1"}))
      << "a writer reads its own content";
  ASSERT_TRUE(writer->Seek(2).ok());
  Write(writer.get(), "r2");
  ASSERT_TRUE(writer->Commit().ok());
  EXPECT_EQ(Records("E", "DATA"), Recs({"r0", "R1", "r2"}));
  EXPECT_EQ(store().GetEntry("WORK", "CAT", "E", "DATA")->info.longest_record,
            2);
}

TEST_P(StoreTest, NewContentIsVisibleOnlyAtCommitAndReadersKeepTheirs) {
  ASSERT_TRUE(
      store()
          .PutEntry("WORK", "CAT", "E", "DATA", "", Recs({"old1", "old2"}))
          .ok());
  auto early_reader = Open("E", "DATA", OpenIntent::kRead);
  RecordView view;
  ASSERT_TRUE(early_reader->Read(&view).ok());

  auto writer = Open("E", "DATA", OpenIntent::kReplace);
  for (int i = 0; i < 5000; ++i)
    Write(writer.get(), "new-" + std::to_string(i));
  // Until the commit everyone sees the old content.
  EXPECT_EQ(Records("E", "DATA"), Recs({"old1", "old2"}));
  EXPECT_EQ(store().ListEntries("WORK", "CAT")[0].record_count, 2);
  auto fresh = Open("NEWONE", "DATA", OpenIntent::kReplace);
  Write(fresh.get(), "x");
  EXPECT_TRUE(
      store().FindEntry("WORK", "CAT", "NEWONE", "DATA", nullptr).IsNotFound());
  ASSERT_TRUE(writer->Commit().ok());
  writer.reset();
  EXPECT_EQ(Records("E", "DATA").size(), 5000u);

  // A reader opened before the commit reads the content it opened.
  ASSERT_TRUE(early_reader->Read(&view).ok());
  EXPECT_EQ(std::string((const char*)view.data, view.length), "old2");
  EXPECT_TRUE(early_reader->Read(&view).IsNotFound());
  early_reader.reset();

  // A cursor given up without commit changes nothing.
  fresh.reset();
  EXPECT_TRUE(
      store().FindEntry("WORK", "CAT", "NEWONE", "DATA", nullptr).IsNotFound());
  auto abandoned = Open("E", "DATA", OpenIntent::kReplace);
  Write(abandoned.get(), "lost");
  abandoned.reset();
  EXPECT_EQ(Records("E", "DATA").size(), 5000u);
}

TEST_P(StoreTest, UpdateThatWritesNothingKeepsWhatOthersCommitted) {
  ASSERT_TRUE(
      store().PutEntry("WORK", "CAT", "E", "DATA", "", Recs({"v1"})).ok());
  auto idle = Open("E", "DATA", OpenIntent::kUpdate, "new description");
  ASSERT_TRUE(
      store().PutEntry("WORK", "CAT", "E", "DATA", "", Recs({"v2"})).ok());
  ASSERT_TRUE(idle->Commit().ok());
  idle.reset();
  auto entry = store().GetEntry("WORK", "CAT", "E", "DATA");
  EXPECT_EQ(entry->records, Recs({"v2"}));
  EXPECT_EQ(entry->info.description, "new description");

  // Deleted meanwhile: the entry comes back as the updater saw it.
  idle = Open("E", "DATA", OpenIntent::kUpdate);
  ASSERT_TRUE(store().DeleteEntry("WORK", "CAT", "E", "DATA").ok());
  ASSERT_TRUE(idle->Commit().ok());
  idle.reset();
  EXPECT_EQ(Records("E", "DATA"), Recs({"v2"}));
}

// What an entry holds after a writer's commit, case by case: by what the
// writer did (replace or update; nothing, a few records, many pages) and
// what another cursor of the store did meanwhile (nothing, committed other
// content, deleted the entry or its catalog). The SQLite store decides in
// its commit's transaction, the server store in its schema's commit_entry
// and the memory store in its own commit: the three agree on every case.
TEST_P(StoreTest, CommitDecidesTheSameContentInEveryCase) {
  enum class Writes { kNothing, kFew, kManyPages };
  enum class Meanwhile {
    kNothing,
    kOtherCommit,
    kEntryDeleted,
    kCatalogDeleted
  };
  struct Case {
    const char* story;
    bool seeded;  // the entry holds A (attributes "a") before the open
    OpenIntent intent;
    Writes writes;  // an updater writes at the end
    Meanwhile meanwhile;
    const char* content;     // pieces: A seed, B other's, W written
    const char* attributes;  // stored after the commit
  };
  const Case cases[] = {
      {"replace with nothing", true, OpenIntent::kReplace, Writes::kNothing,
       Meanwhile::kNothing, "", ""},
      {"replace with a few", true, OpenIntent::kReplace, Writes::kFew,
       Meanwhile::kNothing, "W", ""},
      {"replace with many pages", true, OpenIntent::kReplace,
       Writes::kManyPages, Meanwhile::kNothing, "W", ""},
      {"replace, entry deleted", true, OpenIntent::kReplace, Writes::kFew,
       Meanwhile::kEntryDeleted, "W", ""},
      {"replace, catalog deleted", true, OpenIntent::kReplace,
       Writes::kManyPages, Meanwhile::kCatalogDeleted, "W", ""},
      {"replace with nothing, catalog deleted", true, OpenIntent::kReplace,
       Writes::kNothing, Meanwhile::kCatalogDeleted, "", ""},
      {"replace, another committed", true, OpenIntent::kReplace, Writes::kFew,
       Meanwhile::kOtherCommit, "W", ""},
      {"update with nothing", true, OpenIntent::kUpdate, Writes::kNothing,
       Meanwhile::kNothing, "A", "a"},
      {"update with nothing, another committed", true, OpenIntent::kUpdate,
       Writes::kNothing, Meanwhile::kOtherCommit, "B", "b"},
      // An entry brought back comes back with its records only.
      {"update with nothing, entry deleted", true, OpenIntent::kUpdate,
       Writes::kNothing, Meanwhile::kEntryDeleted, "A", ""},
      {"update with nothing, catalog deleted", true, OpenIntent::kUpdate,
       Writes::kNothing, Meanwhile::kCatalogDeleted, "A", ""},
      {"update with a few", true, OpenIntent::kUpdate, Writes::kFew,
       Meanwhile::kNothing, "AW", "a"},
      {"update with many pages", true, OpenIntent::kUpdate, Writes::kManyPages,
       Meanwhile::kNothing, "AW", "a"},
      {"update with a few, entry deleted", true, OpenIntent::kUpdate,
       Writes::kFew, Meanwhile::kEntryDeleted, "AW", ""},
      {"update with many pages, another committed", true, OpenIntent::kUpdate,
       Writes::kManyPages, Meanwhile::kOtherCommit, "AW", "b"},
      {"update of an absent entry with nothing", false, OpenIntent::kUpdate,
       Writes::kNothing, Meanwhile::kNothing, "", ""},
      {"update of an absent entry with nothing, another committed", false,
       OpenIntent::kUpdate, Writes::kNothing, Meanwhile::kOtherCommit, "B",
       "b"},
      {"update of an absent entry with a few", false, OpenIntent::kUpdate,
       Writes::kFew, Meanwhile::kNothing, "W", ""},
  };
  const std::vector<StoredRecord> a = Recs({"a0", "a1", "a-longest-2"}, 1);
  const std::vector<StoredRecord> b = Recs({"b0"}, 2);
  std::vector<StoredRecord> many;
  for (int i = 0; i < 3000; ++i) {
    many.push_back({"written record " + std::to_string(i) +
                        std::string((size_t)(i % 40), '.'),
                    3});
  }
  const std::vector<StoredRecord> few(many.begin(), many.begin() + 2);

  int number = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.story);
    std::string catalog = "C" + std::to_string(++number);
    ASSERT_TRUE(store().CreateCatalog("WORK", catalog).ok());
    auto put = [&](const std::vector<StoredRecord>& records,
                   const char* attributes) {
      std::unique_ptr<EntryCursor> cursor;
      ASSERT_TRUE(store()
                      .OpenEntry("WORK", catalog, "E", "DATA",
                                 OpenIntent::kReplace, "", &cursor)
                      .ok());
      for (const StoredRecord& r : records)
        Write(cursor.get(), r.bytes, r.kind);
      cursor->SetHostAttributes(attributes);
      ASSERT_TRUE(cursor->Commit().ok());
    };
    if (c.seeded) put(a, "a");

    std::unique_ptr<EntryCursor> writer;
    ASSERT_TRUE(
        store()
            .OpenEntry("WORK", catalog, "E", "DATA", c.intent, "", &writer)
            .ok());
    const std::vector<StoredRecord>& written =
        c.writes == Writes::kFew ? few : many;
    if (c.writes != Writes::kNothing) {
      ASSERT_TRUE(writer->Seek(writer->record_count()).ok());
      for (const StoredRecord& r : written) {
        Write(writer.get(), r.bytes, r.kind);
      }
    }
    switch (c.meanwhile) {
      case Meanwhile::kNothing:
        break;
      case Meanwhile::kOtherCommit:
        put(b, "b");
        break;
      case Meanwhile::kEntryDeleted:
        ASSERT_TRUE(store().DeleteEntry("WORK", catalog, "E", "DATA").ok());
        break;
      case Meanwhile::kCatalogDeleted:
        ASSERT_TRUE(store().DeleteCatalog("WORK", catalog, true).ok());
        break;
    }
    ASSERT_TRUE(writer->Commit().ok());
    writer.reset();

    std::vector<StoredRecord> expected;
    for (const char* piece = c.content; *piece != '\0'; ++piece) {
      const std::vector<StoredRecord>& part = *piece == 'A'   ? a
                                              : *piece == 'B' ? b
                                                              : written;
      expected.insert(expected.end(), part.begin(), part.end());
    }
    auto entry = store().GetEntry("WORK", catalog, "E", "DATA");
    ASSERT_TRUE(entry.has_value());
    EXPECT_EQ(entry->records, expected);
    EXPECT_EQ(entry->info.record_count, (int64_t)expected.size());
    int32_t longest = 0;
    for (const StoredRecord& r : expected) {
      longest = std::max(longest, (int32_t)r.bytes.size());
    }
    EXPECT_EQ(entry->info.longest_record, longest);
    EXPECT_EQ(entry->info.host_attributes, c.attributes);
  }
  if (GetParam() != Kind::kMemory) ExpectNothingLeftBehind();
}

TEST_P(StoreTest, SeveralWritersOnOneCatalogAtOnce) {
  ASSERT_TRUE(store().CreateCatalog("WORK", "CAT").ok());
  auto a = Open("A", "DATA", OpenIntent::kReplace);
  auto b = Open("B", "DATA", OpenIntent::kReplace);
  for (int i = 0; i < 3000; ++i) {
    Write(a.get(), "a" + std::to_string(i));
    Write(b.get(), "b" + std::to_string(i));
  }
  ASSERT_TRUE(a->Commit().ok());
  for (int i = 3000; i < 3100; ++i) Write(b.get(), "b" + std::to_string(i));
  ASSERT_TRUE(b->Commit().ok());
  auto ra = Records("A", "DATA");
  auto rb = Records("B", "DATA");
  ASSERT_EQ(ra.size(), 3000u);
  ASSERT_EQ(rb.size(), 3100u);
  EXPECT_EQ(ra[2999].bytes, "a2999");
  EXPECT_EQ(rb[3099].bytes, "b3099");
}

TEST_P(StoreTest, DeleteAndListing) {
  ASSERT_TRUE(store().PutEntry("WORK", "CAT", "B", "SOURCE", "", {}).ok());
  ASSERT_TRUE(store().PutEntry("WORK", "CAT", "A", "SOURCE", "", {}).ok());
  ASSERT_TRUE(store().PutEntry("WORK", "CAT", "A", "LOG", "", {}).ok());
  ASSERT_TRUE(store().PutEntry("WORK", "CAT2", "Z", "LOG", "", {}).ok());
  std::vector<EntryInfo> listed = store().ListEntries("WORK", "CAT");
  ASSERT_EQ(listed.size(), 3u);
  EXPECT_EQ(listed[0].name + "." + listed[0].type, "A.LOG");
  EXPECT_EQ(listed[1].name + "." + listed[1].type, "A.SOURCE");
  EXPECT_EQ(listed[2].name + "." + listed[2].type, "B.SOURCE");
  std::vector<EntryInfo> none;
  EXPECT_TRUE(store().List("WORK", "NOCAT", &none).IsNotFound());
  EXPECT_TRUE(store().List("NOLIB", "CAT", &none).IsNotFound());

  auto reader = Open("A", "SOURCE", OpenIntent::kRead);
  ASSERT_TRUE(store().DeleteEntry("WORK", "CAT", "A", "SOURCE  ").ok());
  EXPECT_TRUE(store().DeleteEntry("WORK", "CAT", "A", "SOURCE").IsNotFound());
  EXPECT_TRUE(
      store().FindEntry("WORK", "CAT", "A", "SOURCE", nullptr).IsNotFound());
  std::unique_ptr<EntryCursor> cursor;
  EXPECT_TRUE(store()
                  .OpenEntry("WORK", "CAT", "A", "SOURCE", OpenIntent::kRead,
                             "", &cursor)
                  .IsNotFound());
  EXPECT_EQ(store().ListEntries("WORK", "CAT").size(), 2u);
  EXPECT_TRUE(store().DeleteEntry("WORK", "NOCAT", "A", "LOG").IsNotFound());
  reader.reset();  // its content went with the deletion; nothing breaks
}

TEST_P(StoreTest, LibrariesAndCatalogsAreListedAndCatalogsDeleted) {
  std::vector<std::string> librefs;
  ASSERT_TRUE(store().ListLibraries(&librefs).ok());
  EXPECT_TRUE(librefs.empty());
  ASSERT_TRUE(store().PutEntry("work", "B", "E1", "DATA", "", {}).ok());
  ASSERT_TRUE(store().PutEntry("WORK", "B", "E2", "DATA", "", {}).ok());
  ASSERT_TRUE(store().CreateCatalog("WORK", "A").ok());
  ASSERT_TRUE(store().CreateLibrary("ARCHIVE").ok());
  ASSERT_TRUE(store().ListLibraries(&librefs).ok());
  EXPECT_EQ(librefs, (std::vector<std::string>{"ARCHIVE", "WORK"}));
  std::vector<CatalogInfo> catalogs;
  ASSERT_TRUE(store().ListCatalogs("Work", &catalogs).ok());
  ASSERT_EQ(catalogs.size(), 2u);
  EXPECT_EQ(catalogs[0].name + "/" + std::to_string(catalogs[0].entry_count),
            "A/0");
  EXPECT_EQ(catalogs[1].name + "/" + std::to_string(catalogs[1].entry_count),
            "B/2");
  EXPECT_TRUE(store().ListCatalogs("NOLIB", &catalogs).IsNotFound());
  EXPECT_TRUE(catalogs.empty());

  // A catalog with entries goes only when asked to take them along; a
  // reader keeps its entry, and a writer open at the time brings the
  // catalog back at its commit.
  EXPECT_TRUE(store().DeleteCatalog("WORK", "B", false).IsNotEmpty());
  ASSERT_TRUE(
      store().PutEntry("WORK", "B", "E3", "DATA", "", Recs({"r"})).ok());
  std::unique_ptr<EntryCursor> reader, writer;
  ASSERT_TRUE(
      store()
          .OpenEntry("WORK", "B", "E3", "DATA", OpenIntent::kRead, "", &reader)
          .ok());
  ASSERT_TRUE(store()
                  .OpenEntry("WORK", "B", "NEW", "DATA", OpenIntent::kReplace,
                             "", &writer)
                  .ok());
  ASSERT_TRUE(store().DeleteCatalog("WORK", "B", true).ok());
  EXPECT_TRUE(store().FindCatalog("WORK", "B").IsNotFound());
  EXPECT_TRUE(store().DeleteCatalog("WORK", "B", true).IsNotFound());
  ASSERT_TRUE(store().DeleteCatalog("WORK", "A", false).ok());
  EXPECT_EQ(ReadAll(reader.get()), Recs({"r"}));
  Write(writer.get(), "w");
  ASSERT_TRUE(writer->Commit().ok());
  ASSERT_TRUE(store().ListCatalogs("WORK", &catalogs).ok());
  ASSERT_EQ(catalogs.size(), 1u);
  EXPECT_EQ(catalogs[0].name, "B");
  EXPECT_EQ(catalogs[0].entry_count, 1);
  EXPECT_EQ(store().ListEntries("WORK", "B")[0].name, "NEW");
}

// The persistent stores keep the reference host's attributes packed and
// any other text as it is: every one comes back byte for byte, through a
// look-up and a listing, and after an update that keeps it.
TEST_P(StoreTest, HostAttributesOfEveryFormComeBackByteForByte) {
  ASSERT_TRUE(store().CreateCatalog("WORK", "CAT").ok());
  const std::string file =
      "vuvorozo-file 1\nname=note-1.txt\nmtime=1733800000123456789\n"
      "mode=644\nsize=12\nrecords=lines\nnewline=yes\n"
      "xxh3=0123456789abcdef\nctime=1733800000123459999\ninode=77";
  const std::pair<const char*, std::string> written[] = {
      {"NOTE-1", file},  // the name after the entry's own
      {"OTHER", file},   // under another name
      {"note-1", file},
      {"FOLDER",
       "vuvorozo-file 1\nname=.\nfolder=My%20Notes\nkind=folder\n"
       "mtime=-5\nmode=755\nnewline=yes"},
      {"ODD", file + "\ncolour=blue"},  // a key of a later host
      {"PLAIN", "size=8"},
      {"BINARY", std::string("file=e.txt\0\xff", 12)},
      {"NUMBERS", "vuvorozo-file 1\nmtime=007\nnewline=yes"},
  };
  for (const auto& [name, attributes] : written) {
    auto writer = Open(name, "DATA", OpenIntent::kReplace);
    Write(writer.get(), "one");
    writer->SetHostAttributes(attributes);
    ASSERT_TRUE(writer->Commit().ok()) << name;
  }
  auto expect_all = [&](const char* when) {
    SCOPED_TRACE(when);
    std::vector<EntryInfo> listed = store().ListEntries("WORK", "CAT");
    ASSERT_EQ(listed.size(), std::size(written));
    for (const auto& [name, attributes] : written) {
      EntryInfo info;
      ASSERT_TRUE(store().FindEntry("WORK", "CAT", name, "DATA", &info).ok());
      EXPECT_EQ(info.host_attributes, attributes) << name;
      const std::string wanted = name;
      auto in_list =
          std::find_if(listed.begin(), listed.end(),
                       [&](const EntryInfo& e) { return e.name == wanted; });
      ASSERT_NE(in_list, listed.end()) << name;
      EXPECT_EQ(in_list->host_attributes, attributes) << name;
    }
  };
  expect_all("written");
  for (const auto& [name, attributes] : written) {
    auto writer = Open(name, "DATA", OpenIntent::kUpdate);
    Write(writer.get(), "two");
    ASSERT_TRUE(writer->Commit().ok()) << name;
  }
  expect_all("updated");
}

TEST_P(StoreTest, HostAttributesFollowTheContentTheyDescribe) {
  ASSERT_TRUE(store().CreateCatalog("WORK", "CAT").ok());
  auto writer = Open("E", "DATA", OpenIntent::kReplace);
  Write(writer.get(), "one");
  writer->SetHostAttributes(std::string("file=e.txt\0\xff", 12));
  ASSERT_TRUE(writer->Commit().ok());
  EntryInfo info;
  ASSERT_TRUE(store().FindEntry("WORK", "CAT", "E", "DATA", &info).ok());
  EXPECT_EQ(info.host_attributes, std::string("file=e.txt\0\xff", 12));
  EXPECT_EQ(store().ListEntries("WORK", "CAT")[0].host_attributes,
            info.host_attributes);

  // An update keeps them unless it brings its own.
  writer = Open("E", "DATA", OpenIntent::kUpdate);
  Write(writer.get(), "two");
  ASSERT_TRUE(writer->Commit().ok());
  ASSERT_TRUE(store().FindEntry("WORK", "CAT", "E", "DATA", &info).ok());
  EXPECT_EQ(info.host_attributes.size(), 12u);
  writer = Open("E", "DATA", OpenIntent::kUpdate);
  writer->SetHostAttributes("size=8");
  ASSERT_TRUE(writer->Commit().ok());
  ASSERT_TRUE(store().FindEntry("WORK", "CAT", "E", "DATA", &info).ok());
  EXPECT_EQ(info.host_attributes, "size=8");

  // New content from a writer that says nothing of it drops them: they
  // described the old content.
  writer = Open("E", "DATA", OpenIntent::kReplace);
  ASSERT_TRUE(writer->Commit().ok());
  ASSERT_TRUE(store().FindEntry("WORK", "CAT", "E", "DATA", &info).ok());
  EXPECT_EQ(info.host_attributes, "");
  // A writer that never commits leaves them as they were.
  writer = Open("E", "DATA", OpenIntent::kReplace);
  writer->SetHostAttributes("lost");
  writer.reset();
  ASSERT_TRUE(store().FindEntry("WORK", "CAT", "E", "DATA", &info).ok());
  EXPECT_EQ(info.host_attributes, "");
}

TEST_P(StoreTest, ReadCursorWritesNothingAndACommittedOneNoMore) {
  ASSERT_TRUE(
      store().PutEntry("WORK", "CAT", "E", "DATA", "d", Recs({"x"})).ok());
  auto reader = Open("E", "DATA", OpenIntent::kRead);
  EXPECT_FALSE(reader->writable());
  EXPECT_TRUE(reader->Write("y", 1, 0).IsInvalidArgument());
  EXPECT_TRUE(reader->Commit().ok());
  EXPECT_EQ(Records("E", "DATA"), Recs({"x"}));

  // A writer, once committed, takes nothing more.
  auto writer = Open("E", "DATA", OpenIntent::kUpdate);
  ASSERT_TRUE(writer->Seek(writer->record_count()).ok());
  Write(writer.get(), "y");
  ASSERT_TRUE(writer->Commit().ok());
  EXPECT_TRUE(writer->Write("z", 1, 0).IsInvalidArgument());
  EXPECT_TRUE(writer->Commit().IsInvalidArgument());
  EXPECT_EQ(Records("E", "DATA"), Recs({"x", "y"}));
}

INSTANTIATE_TEST_SUITE_P(Stores, StoreTest,
                         ::testing::Values(Kind::kMemory, Kind::kSqlite,
                                           Kind::kPostgres),
                         KindName);

}  // namespace
}  // namespace refhost
