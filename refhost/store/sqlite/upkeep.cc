// Upkeep of a library file: free space given back to the file system,
// the check that reads every record of every entry, and compaction.

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <unordered_map>

#include "refhost/store/sqlite/library_file.h"

namespace refhost {
namespace sqlite {
namespace {

// Free space given back to the file system once it passes this.
constexpr int64_t kTrimBytes = 256 << 10;

// The page sizes compact may rebuild a library with, and what a rebuild
// with another one must save of the bytes the present one would take.
constexpr int64_t kPageSizes[] = {1024, 2048, 4096, 8192, 16384};
constexpr int kSizes = sizeof kPageSizes / sizeof kPageSizes[0];
constexpr double kResizeGain = 0.03;
// A new library's page size is chosen once it holds this many page rows,
// unless it holds this many bytes first.
constexpr int64_t kFitRows = 256;
constexpr int64_t kFitBytes = 16 << 20;

int VarintBytes(uint64_t v) {
  int n = 1;
  while (v >= 0x80 && n < 9) {
    v >>= 7;
    ++n;
  }
  return n;
}

// The pages a b-tree of one table takes when a rebuild fills it with its
// rows in key order, for each of kPageSizes at once: SQLite's rule of what
// of a row stays in its leaf and what goes on in overflow pages (which
// are filled whole), leaves filled as far as the next row fits.
class TreeEstimate {
 public:
  explicit TreeEstimate(bool index) : index_(index) {}

  // A row of payload bytes, with key_bytes of key in its cell besides.
  void Add(uint64_t payload, int key_bytes) {
    for (int i = 0; i < kSizes; ++i) {
      int64_t u = kPageSizes[i];
      int64_t most = index_ ? (u - 12) * 64 / 255 - 23 : u - 35;
      int64_t least = (u - 12) * 32 / 255 - 23;
      int64_t local = (int64_t)payload, overflow = 0;
      if (local > most) {
        int64_t surplus = least + ((int64_t)payload - least) % (u - 4);
        local = surplus <= most ? surplus : least;
        overflow = ((int64_t)payload - local + u - 5) / (u - 4);
      }
      int64_t cell =
          VarintBytes(payload) + key_bytes + local + (overflow > 0 ? 4 : 0) + 2;
      if (used_[i] == 0 || used_[i] + cell > u) {
        ++leaves_[i];
        used_[i] = 8;
      }
      used_[i] += cell;
      overflow_[i] += overflow;
    }
  }

  // The tree's bytes in pages of kPageSizes[i], its inner pages counted
  // as one of about 14 bytes a leaf.
  int64_t Bytes(int i) const {
    int64_t u = kPageSizes[i];
    int64_t inner = leaves_[i] > 1 ? (leaves_[i] * 14 + u - 13) / (u - 12) : 0;
    return (leaves_[i] + overflow_[i] + inner + (leaves_[i] == 0)) * u;
  }

 private:
  bool index_;
  int64_t used_[kSizes] = {};
  int64_t leaves_[kSizes] = {};
  int64_t overflow_[kSizes] = {};
};

// The page size that makes the library smallest when it is rebuilt (by
// the sizes of its rows): *best, or the present one where no other saves
// kResizeGain of it, or the rows cannot be read.
void ChooseRebuildPageSize(Connection& c, int64_t present, int64_t* best) {
  *best = present;
  struct Table {
    const char* sql;  // each row's payload, key bytes in its cell
    bool index;
  };
  // Estimates of the payloads: the columns' bytes, and their header and
  // numbers.
  const Table tables[] = {
      {"SELECT length(data) + 12, 5 FROM pages ORDER BY key", false},
      {"SELECT length(name) + length(type) + length(description) + "
       "length(host_attributes) + 30, 0 FROM entries ORDER BY catalog_id, "
       "name, type",
       true},
      {"SELECT 14, 3 FROM versions", false},
      {"SELECT length(data) + 30, 2 FROM dictionaries", false},
  };
  int64_t total[kSizes] = {};
  for (const Table& table : tables) {
    Statement st;
    if (st.Prepare(c.db(), table.sql) != SQLITE_OK) return;
    TreeEstimate tree(table.index);
    int rc;
    while ((rc = st.Step()) == SQLITE_ROW) {
      tree.Add((uint64_t)std::max<int64_t>(0, st.Int(0)), (int)st.Int(1));
    }
    if (rc != SQLITE_DONE) return;
    for (int i = 0; i < kSizes; ++i) total[i] += tree.Bytes(i);
  }
  int chosen = -1, now = -1;
  for (int i = 0; i < kSizes; ++i) {
    if (kPageSizes[i] == present) now = i;
    if (chosen < 0 || total[i] < total[chosen]) chosen = i;
  }
  if (now < 0 || (double)total[chosen] < (1.0 - kResizeGain) * total[now]) {
    *best = kPageSizes[chosen];
  }
}

}  // namespace

void LibraryFile::TrimFreeSpace() {
  if (mode_.read_only) return;
  int64_t free_pages = 0, page_size = 0;
  if (!main_->Integer(Sql::kFreePages, &free_pages).ok() ||
      !main_->Integer("PRAGMA page_size", &page_size).ok() ||
      free_pages * page_size < kTrimBytes) {
    return;
  }
  main_->Exec("PRAGMA incremental_vacuum");
}

StoreStatus LibraryFile::SetWal() {
  // Changing the journal needs the file to itself, and SQLite does not
  // wait for that: the change is tried again while others hold the file.
  for (int waited_ms = 0;; waited_ms += 10) {
    StoreStatus s = main_->Exec("PRAGMA journal_mode = WAL");
    if (s.ok()) return s;
    if (!s.IsBusy() || waited_ms >= kBusyTimeoutMs) return s;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

int64_t LibraryFile::FileBytes() const {
  return FileSize(path_) + FileSize(path_ + "-wal");
}

StoreStatus LibraryFile::CheckVersion(Connection& connection,
                                      const std::string& entry, int64_t version,
                                      int64_t count, int64_t longest,
                                      LibraryCheck* check) {
  RecordPage page;
  uint64_t number = 0;
  uint32_t seen_longest = 0;
  while (number < (uint64_t)count) {
    StoreStatus s =
        LoadPage(&connection, version, number, (uint64_t)count, &page);
    if (s.code() == StoreStatus::kCorrupt) {
      check->problems.push_back(entry + ": " + s.message());
      return StoreStatus::Ok();
    }
    if (!s.ok()) return s;
    if (page.first() != number) {
      check->problems.push_back(entry + ": its pages overlap at record " +
                                std::to_string(number));
      return StoreStatus::Ok();
    }
    ++check->pages;
    check->records += page.count();
    seen_longest = std::max(seen_longest, page.longest());
    number = page.end();
  }
  if (number > (uint64_t)count) {
    check->problems.push_back(entry + ": its pages hold " +
                              std::to_string(number) + " records, it counts " +
                              std::to_string(count));
  } else if (format_ >= 2) {
    // Pages past the count would be records no read gives.
    int64_t beyond = 0;
    Statement st;
    if (st.Prepare(connection.db(),
                   "SELECT count(*) FROM pages WHERE key >= ?1 AND key < ?2") !=
        SQLITE_OK) {
      return connection.Failure("checking the library");
    }
    st.Bind(1, PageKey(version, (uint64_t)count));
    st.Bind(2, PageKey(version + 1, 0));
    if (st.Step() == SQLITE_ROW) beyond = st.Int(0);
    if (beyond > 0) {
      check->problems.push_back(entry + ": " + std::to_string(beyond) +
                                (beyond == 1 ? " page holds" : " pages hold") +
                                " records past the " + std::to_string(count) +
                                " it counts");
    }
  }
  if (seen_longest != (uint64_t)longest) {
    check->problems.push_back(entry +
                              ": its longest record does not agree with the "
                              "one noted (" +
                              std::to_string(seen_longest) + " and " +
                              std::to_string(longest) + " bytes)");
  }
  return StoreStatus::Ok();
}

// What no entry reads. Content and locks that writers which stopped (a
// process killed) left are no damage: they are noted, and opening the
// library for writing or compact removes them. Pages of no version are
// damage: no change leaves them. A lock of a process that runs is noted.
StoreStatus LibraryFile::CheckLeftovers(Connection& c,
                                        LibraryCheck* check) const {
  int64_t stale_versions = 0;
  {
    Statement st;
    if (st.Prepare(c.db(),
                   "SELECT state, owner_pid, owner_start FROM versions WHERE "
                   "id NOT IN (SELECT version_id FROM entries)") != SQLITE_OK) {
      return c.Failure("checking the library");
    }
    while (st.Step() == SQLITE_ROW) {
      if (st.Int(0) == kLive || !IsAlive(Owner{st.Int(1), st.Int(2)})) {
        ++stale_versions;
      }
    }
  }
  if (stale_versions > 0) {
    check->notes.push_back(
        std::to_string(stale_versions) +
        (stale_versions == 1 ? " version" : " versions") +
        " of content no entry uses, left by writers that stopped (compact "
        "removes them)");
  }
  if (format_ < 2) return StoreStatus::Ok();
  int64_t stray_pages = 0;
  if (StoreStatus s =
          c.Integer("SELECT count(*) FROM pages WHERE key >> 32 NOT IN "
                    "(SELECT id FROM versions)",
                    &stray_pages);
      !s.ok()) {
    return s;
  }
  if (stray_pages > 0) {
    check->problems.push_back(std::to_string(stray_pages) +
                              (stray_pages == 1 ? " page" : " pages") +
                              " of records belong to no content (compact "
                              "removes them)");
  }
  Statement writers;
  if (writers.Prepare(c.db(),
                      "SELECT catalog, name, type, owner_pid, owner_start "
                      "FROM writers ORDER BY catalog, name, type") !=
      SQLITE_OK) {
    return c.Failure("checking the library");
  }
  while (writers.Step() == SQLITE_ROW) {
    Owner owner{writers.Int(3), writers.Int(4)};
    EntryName entry{writers.Text(0), writers.Text(1), writers.Text(2)};
    std::string pid = std::to_string(owner.pid);
    check->notes.push_back(
        Describe(entry) +
        (IsAlive(owner) ? " is being written by process " + pid
                        : " is still marked written by process " + pid +
                              ", which has ended (the next change clears it)"));
  }
  return StoreStatus::Ok();
}

StoreStatus LibraryFile::Check(LibraryCheck* check) {
  check->file = path_;
  check->file_bytes = FileBytes();
  if (format_ == 0) {
    // An empty file: a library no writer has made (a writer makes it one).
    check->problems.push_back(path_ + ": the file is empty, no library");
    return StoreStatus::Ok();
  }
  std::shared_ptr<Snapshot> snapshot;
  if (StoreStatus s = TakeSnapshot(true, &snapshot); !s.ok()) return s;
  Connection& c = snapshot->connection();
  {
    Statement integrity;
    if (integrity.Prepare(c.db(), "PRAGMA integrity_check(20)") != SQLITE_OK) {
      return c.Failure("checking the library");
    }
    int rc;
    while ((rc = integrity.Step()) == SQLITE_ROW) {
      std::string line = integrity.Text(0);
      if (line != "ok") check->problems.push_back("SQLite: " + line);
    }
    if (rc != SQLITE_DONE) {
      StoreStatus s = c.Failure("checking the library");
      check->problems.push_back(s.message());
      return StoreStatus::Ok();
    }
  }
  int64_t catalogs = 0;
  if (StoreStatus s = c.Integer("SELECT count(*) FROM catalogs", &catalogs);
      !s.ok()) {
    return s;
  }
  check->catalogs = catalogs;
  if (StoreStatus s = CheckDictionaries(c, check); !s.ok()) return s;
  // The entry each version belongs to: no two may share one.
  std::unordered_map<int64_t, std::string> owners;
  Statement entries;
  if (entries.Prepare(c.db(),
                      "SELECT c.name, e.name, e.type, e.version_id, "
                      "v.record_count, v.longest, v.id, e.host_attributes, "
                      "v.state "
                      "FROM entries e "
                      "LEFT JOIN catalogs c ON c.id = e.catalog_id "
                      "LEFT JOIN versions v ON v.id = e.version_id "
                      "ORDER BY c.name, e.name, e.type") != SQLITE_OK) {
    return c.Failure("checking the library");
  }
  int rc;
  while ((rc = entries.Step()) == SQLITE_ROW) {
    ++check->entries;
    std::string entry =
        Describe({entries.Text(0), entries.Text(1), entries.Text(2)});
    std::string attributes;
    if (StoreStatus s = AttributesOf(c, &entries, 7, entries.Text(1),
                                     &attributes, [&] { return entry; });
        !s.ok()) {
      check->problems.push_back(s.message());
    }
    if (entries.Int(6) == 0) {
      check->problems.push_back(entry + ": its content is missing");
      continue;
    }
    if (entries.Int(8) != kLive) {
      check->problems.push_back(entry +
                                ": its content is not marked live (state " +
                                std::to_string(entries.Int(8)) + ")");
    }
    auto [first, fresh] = owners.try_emplace(entries.Int(3), entry);
    if (!fresh) {
      check->problems.push_back(entry + ": shares its content with " +
                                first->second +
                                " (deleting either would take it from both)");
    }
    if (StoreStatus s = CheckVersion(c, entry, entries.Int(3), entries.Int(4),
                                     entries.Int(5), check);
        !s.ok()) {
      return s;
    }
  }
  if (rc != SQLITE_DONE) return c.Failure("checking the library");
  if (StoreStatus s = CheckLeftovers(c, check); !s.ok()) return s;
  int64_t free_pages = 0, page_size = 0, orphaned = 0;
  c.Integer("PRAGMA freelist_count", &free_pages);
  c.Integer("PRAGMA page_size", &page_size);
  if (format_ >= 2) {
    c.Integer(
        "SELECT coalesce(sum(length(data)), 0) FROM pages WHERE key >> 32 "
        "NOT IN (SELECT version_id FROM entries)",
        &orphaned);
  }
  check->free_bytes = free_pages * page_size + orphaned;
  return StoreStatus::Ok();
}

StoreStatus LibraryFile::DropStrayPages() {
  if (format_ < 2) return StoreStatus::Ok();
  return Change([&] {
    return main_->Exec(
        "DELETE FROM pages WHERE key >> 32 NOT IN (SELECT id FROM versions)");
  });
}

std::string LibraryFile::JournalMode() {
  Statement st;
  if (st.Prepare(main_->db(), "PRAGMA journal_mode") == SQLITE_OK &&
      st.Step() == SQLITE_ROW) {
    return st.Text(0);
  }
  return std::string();
}

StoreStatus LibraryFile::Rebuild(int64_t present, int64_t page_size) {
  // A library in WAL journal takes another page size only when it is
  // rebuilt out of it, which needs the file to itself: while another
  // connection has it open, it keeps its size.
  bool resized = false;
  if (page_size != present &&
      main_->Exec("PRAGMA journal_mode = DELETE").ok()) {
    resized = JournalMode() == "delete";
    if (resized) {
      main_->Exec(("PRAGMA page_size = " + std::to_string(page_size)).c_str());
    } else if (StoreStatus s = SetWal(); !s.ok()) {
      return s;
    }
  }
  StoreStatus vacuumed = main_->Exec("VACUUM");
  if (resized) {
    // Back to the journal every library has, whatever the rebuild did.
    if (StoreStatus s = SetWal(); !s.ok()) return s;
  }
  return vacuumed;
}

int LibraryFile::CompactLevel() const {
  return std::max(kCompactLevel, options_.compression_level);
}

StoreStatus LibraryFile::MarkPacked(int64_t version, int level) {
  StoreStatus status;
  Statement* st = main_->Get(Sql::kMarkPacked, &status);
  if (st == nullptr) return status;
  st->Bind(1, version);
  st->Bind(2, (int64_t)level);
  int rc = st->Step();
  st->Reset();
  return rc == SQLITE_DONE ? StoreStatus::Ok()
                           : main_->Failure("updating a version");
}

StoreStatus LibraryFile::PackVersions() {
  if (format_ < 4) return StoreStatus::Ok();
  int level = CompactLevel();
  // Each entry's content, with its catalog, not yet packed at the level.
  std::vector<std::pair<int64_t, int64_t>> versions;
  {
    Statement st;
    if (st.Prepare(main_->db(),
                   "SELECT v.id, e.catalog_id FROM entries e JOIN versions v "
                   "ON v.id = e.version_id WHERE v.packed < ?1 ORDER BY "
                   "v.id") != SQLITE_OK) {
      return main_->Failure("reading the library's versions");
    }
    st.Bind(1, (int64_t)level);
    while (st.Step() == SQLITE_ROW) versions.emplace_back(st.Int(0), st.Int(1));
  }
  codec_.set_level(level);
  StoreStatus status;
  size_t next = 0;
  while (status.ok() && next < versions.size()) {
    // A transaction packs versions until it has packed kRenewBatchPages
    // pages (a version of more pages has one of its own).
    status = Change([&]() -> StoreStatus {
      size_t packed = 0;
      while (next < versions.size() && packed < kRenewBatchPages) {
        auto [version, catalog] = versions[next++];
        std::vector<int64_t> keys;
        {
          StoreStatus s;
          Statement* st = main_->Get(Sql::kPagesBetween, &s);
          if (st == nullptr) return s;
          st->Bind(1, PageKey(version, 0));
          st->Bind(2, PageKey(version + 1, 0));
          while (st->Step() == SQLITE_ROW) keys.push_back(st->Int(0));
          st->Reset();
        }
        CatalogText* text = nullptr;
        Repacking run(this);
        for (int64_t key : keys) {
          if (StoreStatus s = TextOf(catalog, &text); !s.ok()) return s;
          if (StoreStatus s = RepackPage(key, Repack::kOwnDictionary, &run);
              !s.ok()) {
            return s;
          }
          if (StoreStatus s = TakeRepacked(&run, kRepackAhead); !s.ok()) {
            return s;
          }
        }
        if (StoreStatus s = TakeRepacked(&run, 0); !s.ok()) return s;
        std::vector<Repacked> smaller;
        for (Repacked& page : run.pages) {
          if (page.frame.size() < page.before) {
            smaller.push_back(std::move(page));
          }
        }
        packed += keys.size();
        if (StoreStatus s = StoreRepacked(smaller, false); !s.ok()) return s;
        if (StoreStatus s = MarkPacked(version, level); !s.ok()) return s;
      }
      return StoreStatus::Ok();
    });
  }
  codec_.set_level(options_.compression_level);
  codec_.Use(nullptr);
  return status;
}

bool LibraryFile::FitPagesToFirstRows() {
  int64_t rows = 0, page_size = 0, best = 0;
  std::string enough = "SELECT count(*) FROM (SELECT 1 FROM pages LIMIT " +
                       std::to_string(kFitRows) + ")";
  if (!main_->Integer(enough.c_str(), &rows).ok() ||
      !main_->Integer("PRAGMA page_size", &page_size).ok()) {
    return true;
  }
  if (rows < kFitRows) return FileBytes() > kFitBytes;
  ChooseRebuildPageSize(*main_, page_size, &best);
  if (best == page_size) return true;
  idle_.clear();
  // What fails leaves the library as it was, and compact tries again.
  Rebuild(page_size, best);
  return true;
}

StoreStatus LibraryFile::Compact(LibraryCompaction* compaction) {
  compaction->file = path_;
  compaction->bytes_before = FileBytes();
  if (mode_.read_only) return ReadOnlyRefusal();
  if (StoreStatus s = FlushBatch(); !s.ok()) return s;
  shared_.reset();
  if (StoreStatus s = SweepOrphans(); !s.ok()) return s;
  if (StoreStatus s = DropStrayPages(); !s.ok()) return s;
  if (StoreStatus s = RepackAttributes(); !s.ok()) return s;
  if (StoreStatus s = RenewDictionaries(); !s.ok()) return s;
  if (StoreStatus s = PackVersions(); !s.ok()) return s;
  if (StoreStatus s = DropUnusedDictionaries(); !s.ok()) return s;
  // Rebuilding needs the file to itself within this process.
  idle_.clear();
  int64_t vacuum = 0;
  if (StoreStatus s = main_->Integer("PRAGMA auto_vacuum", &vacuum); !s.ok()) {
    return s;
  }
  if (vacuum != 2) {
    if (StoreStatus s = main_->Exec("PRAGMA auto_vacuum = INCREMENTAL");
        !s.ok()) {
      return s;
    }
  }
  // The rows' sizes may call for other pages (rows of a few hundred bytes
  // fill small ones badly).
  int64_t page_size = 0, best = 0;
  if (StoreStatus s = main_->Integer("PRAGMA page_size", &page_size); !s.ok()) {
    return s;
  }
  ChooseRebuildPageSize(*main_, page_size, &best);
  StoreStatus vacuumed = Rebuild(page_size, best);
  if (vacuumed.code() == StoreStatus::kDiskFull) {
    // No room for the copy a rewrite makes: the free pages alone go back,
    // which needs none.
    if (StoreStatus s = main_->Exec("PRAGMA incremental_vacuum"); !s.ok()) {
      return s;
    }
    compaction->rewritten = false;
  } else if (!vacuumed.ok()) {
    return vacuumed;
  }
  if (StoreStatus s = main_->Exec("PRAGMA wal_checkpoint(TRUNCATE)"); !s.ok()) {
    return s;
  }
  compaction->bytes_after = FileBytes();
  return StoreStatus::Ok();
}

}  // namespace sqlite
}  // namespace refhost
