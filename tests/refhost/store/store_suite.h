// The store conformance suite's fixture: a fresh store of each kind for
// every story (memory; SQLite in a fresh temporary folder; PostgreSQL in a
// fresh database of the test server), a second store over the same data,
// and what the stories share. store_test.cc holds the stories every store
// tells; shared_store_test.cc those of several processes, and what only
// the SQLite or the server store has.

#ifndef VUVOROZO_TESTS_REFHOST_STORE_STORE_SUITE_H_
#define VUVOROZO_TESTS_REFHOST_STORE_STORE_SUITE_H_

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "refhost/store/catalog_store.h"
#include "refhost/store/library_files.h"
#include "support/server_database.h"

namespace refhost {

enum class Kind { kMemory, kSqlite, kPostgres };

class StoreTest : public ::testing::TestWithParam<Kind> {
 protected:
  void SetUp() override {
    if (GetParam() == Kind::kSqlite) folder_ = TempFolder();
    if (GetParam() == Kind::kPostgres) {
      database_ = std::make_unique<ServerDatabase>();
      ASSERT_FALSE(database_->url().empty()) << database_->error();
    }
    store_ = Make();
    ASSERT_NE(store_, nullptr);
  }
  void TearDown() override {
    store_.reset();
    if (!folder_.empty()) std::filesystem::remove_all(folder_);
  }

  // A second store over the same data (a fresh one for memory).
  std::unique_ptr<CatalogStore> Make(const StoreOptions& options = {}) {
    switch (GetParam()) {
      case Kind::kMemory:
        return NewMemoryCatalogStore();
      case Kind::kSqlite:
        return NewSqliteCatalogStore(folder_, options);
      case Kind::kPostgres:
        return NewPostgresCatalogStore(database_->url(), options);
    }
    return nullptr;
  }

  // What the store's messages name it by.
  std::string Where() const {
    return GetParam() == Kind::kPostgres ? database_->url()
                                         : folder_ + "/work.db";
  }

  // Waits until the server has ended the sessions of processes that are
  // gone, keeping at most `live` (the server notices a killed client at
  // once, but ends its session on its own time).
  void AwaitSessionsEnded(int live = 0) {
    if (GetParam() == Kind::kPostgres) {
      ASSERT_TRUE(database_->AwaitSessions(live)) << "sessions left open";
    }
  }

  // Every version belongs to an entry, every page to a version, and no
  // entry is marked as being written. The server store removes what
  // writers whose connection ended left once the server has ended their
  // sessions, at the next change (a compaction here).
  void ExpectNothingLeftBehind() {
    if (GetParam() == Kind::kSqlite) {
      LibraryFolderTest::ExpectNothingLeftBehindIn(folder_ + "/work.db");
      return;
    }
    store_.reset();
    AwaitSessionsEnded();
    LibraryCompaction compaction;
    ASSERT_TRUE(Make()->CompactLibrary("WORK", &compaction).ok());
    AwaitSessionsEnded();
    EXPECT_EQ(database_->Query("SELECT count(*) FROM vuvorozo.versions"),
              database_->Query("SELECT count(*) FROM vuvorozo.entries"));
    EXPECT_EQ(
        database_->Query("SELECT coalesce(sum(count), 0) FROM vuvorozo.pages"),
        database_->Query(
            "SELECT coalesce(sum(record_count), 0) FROM vuvorozo.versions"));
    EXPECT_EQ(database_->Query("SELECT count(*) FROM pg_locks WHERE locktype = "
                               "'advisory' AND database = (SELECT oid FROM "
                               "pg_database WHERE datname = "
                               "current_database())"),
              0);
  }

  CatalogStore& store() { return *store_; }

  std::unique_ptr<EntryCursor> Open(std::string_view name,
                                    std::string_view type, OpenIntent intent,
                                    std::string_view description = "") {
    std::unique_ptr<EntryCursor> cursor;
    StoreStatus st = store().OpenEntry("WORK", "CAT", name, type, intent,
                                       description, &cursor);
    EXPECT_TRUE(st.ok()) << st.ToString();
    return cursor;
  }

  static void Write(EntryCursor* cursor, std::string_view bytes,
                    uint16_t kind = 0) {
    StoreStatus st = cursor->Write(bytes.data(), (uint32_t)bytes.size(), kind);
    ASSERT_TRUE(st.ok()) << st.ToString();
  }

  static std::vector<StoredRecord> ReadAll(EntryCursor* cursor) {
    std::vector<StoredRecord> out;
    RecordView view;
    while (cursor->Read(&view).ok()) {
      out.push_back(
          {std::string((const char*)view.data, view.length), view.kind});
    }
    return out;
  }

  std::vector<StoredRecord> Records(std::string_view name,
                                    std::string_view type) {
    auto entry = store().GetEntry("WORK", "CAT", name, type);
    return entry ? entry->records : std::vector<StoredRecord>{};
  }

  std::string folder_;
  std::unique_ptr<ServerDatabase> database_;
  std::unique_ptr<CatalogStore> store_;
};

// The stores that serve several processes (and, on a server, machines).
using SharedStoreTest = StoreTest;

inline std::vector<StoredRecord> Recs(std::initializer_list<const char*> texts,
                                      uint16_t kind = 0) {
  std::vector<StoredRecord> out;
  for (const char* t : texts) out.push_back({t, kind});
  return out;
}

inline std::string KindName(const ::testing::TestParamInfo<Kind>& info) {
  return info.param == Kind::kMemory   ? "Memory"
         : info.param == Kind::kSqlite ? "Sqlite"
                                       : "Postgres";
}

}  // namespace refhost

#endif  // VUVOROZO_TESTS_REFHOST_STORE_STORE_SUITE_H_
