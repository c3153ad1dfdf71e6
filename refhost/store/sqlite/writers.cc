// Who writes what, and who reads what: the process that owns a staging
// version or an entry's writer lock (its id and start time), the writer
// locks of entries as rows of the writers table, the sweep of what writers
// that died left behind, and the snapshots readers read through.

#include <pthread.h>
#include <signal.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "refhost/store/sqlite/library_file.h"

namespace refhost {
namespace sqlite {
namespace {

// Idle connections kept for the next reader.
constexpr size_t kIdleConnections = 4;

// The start time of a process (clock ticks after boot), 0 when unknown.
int64_t StartTime(int64_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)),
                   std::istreambuf_iterator<char>());
  size_t paren = stat.rfind(')');
  if (paren == std::string::npos) return 0;
  // Field 22 of the line; the fields after the name start at field 3.
  const char* p = stat.c_str() + paren + 1;
  for (int field = 3; field < 22 && *p != '\0'; ++field) {
    while (*p == ' ') ++p;
    while (*p != ' ' && *p != '\0') ++p;
  }
  return std::strtoll(p, nullptr, 10);
}

}  // namespace

Owner ThisProcess() {
  // Asked at every entry written: the process is looked up once, and
  // again in a forked child, which is another process.
  static Owner cached;
  static bool forked = [] {
    pthread_atfork(nullptr, nullptr, [] { cached = Owner{}; });
    return false;
  }();
  (void)forked;
  if (cached.pid == 0) {
    int64_t pid = getpid();
    cached = Owner{pid, StartTime(pid)};
  }
  return cached;
}

bool IsAlive(const Owner& owner) {
  if (owner.pid <= 0) return false;
  if (kill((pid_t)owner.pid, 0) != 0 && errno == ESRCH) return false;
  if (owner.start == 0) return true;
  int64_t start = StartTime(owner.pid);
  return start == 0 || start == owner.start;
}

std::string EntryName::Key() const {
  std::string key = catalog;
  key += '\0';
  key += name;
  key += '\0';
  key += type;
  return key;
}

Snapshot::~Snapshot() { library_->GiveBack(std::move(connection_)); }

WriterLock::~WriterLock() {
  if (held_) library_->ReleaseWriter(entry_, generation_);
}

StoreStatus LibraryFile::ForeignWriter(const EntryName& entry, bool* held,
                                       Owner* owner) {
  StoreStatus status;
  Statement* st = main_->Get(Sql::kFindWriter, &status);
  if (st == nullptr) return status;
  st->Bind(1, entry.catalog);
  st->Bind(2, entry.name);
  st->Bind(3, entry.type);
  int rc = st->Step();
  if (rc == SQLITE_ROW) {
    Owner writer{st->Int(0), st->Int(1)};
    *held = !(writer == ThisProcess()) && IsAlive(writer);
    if (*held && owner != nullptr) *owner = writer;
  } else if (rc != SQLITE_DONE) {
    status = main_->Failure("looking for writers");
  }
  st->Reset();
  return status;
}

StoreStatus LibraryFile::AnyForeignWriter(bool* held) {
  *held = false;
  Statement st;
  if (st.Prepare(main_->db(), "SELECT owner_pid, owner_start FROM writers") !=
      SQLITE_OK) {
    return main_->Failure("looking for writers");
  }
  Owner me = ThisProcess();
  int rc = SQLITE_DONE;
  while (!*held && (rc = st.Step()) == SQLITE_ROW) {
    Owner owner{st.Int(0), st.Int(1)};
    *held = !(owner == me) && IsAlive(owner);
  }
  if (!*held && rc != SQLITE_DONE) return main_->Failure("looking for writers");
  return StoreStatus::Ok();
}

StoreStatus LibraryFile::LockForWriting(const EntryName& entry,
                                        std::unique_ptr<WriterLock>* lock) {
  if (mode_.read_only) return ReadOnlyRefusal();
  std::string key = entry.Key();
  auto it = writing_.find(key);
  // A lock taken before a batch was lost may have gone with it: taken
  // again, and the cursors that held it commit nothing.
  if (it != writing_.end() && it->second.generation == lost_batches_) {
    ++it->second.cursors;
    *lock = std::make_unique<WriterLock>(this, entry, lost_batches_);
    return StoreStatus::Ok();
  }
  if (batching_) {
    if (StoreStatus s = OpenBatch(); !s.ok()) return s;
  }
  if (batch_open_ && !batch_foreign_writers_) {
    // No other process holds a lock or can take one before the batch is
    // stored, and the batch writes the row then if the lock is still held.
    unwritten_locks_[key] = entry;
    writing_[key] = Writing{1, lost_batches_};
  } else {
    Owner writer;
    auto held = [&](bool* waiting) {
      return ForeignWriter(entry, waiting, &writer);
    };
    auto body = [&] {
      return WriterRow(Sql::kPutWriter, entry, "marking an entry written");
    };
    StoreStatus status =
        WhenFree(held, body, [&] { return BeingWritten(entry, writer); });
    if (!status.ok()) return status;
    writing_[key] = Writing{1, lost_batches_};
  }
  *lock = std::make_unique<WriterLock>(this, entry, lost_batches_);
  return StoreStatus::Ok();
}

std::string LibraryFile::BeingWritten(const EntryName& entry,
                                      const Owner& writer) const {
  return path_ + ": " + Describe(entry) + " is being written by process " +
         std::to_string(writer.pid);
}

StoreStatus LibraryFile::DropWriter(const EntryName& entry) {
  if (unwritten_locks_.erase(entry.Key()) > 0) return StoreStatus::Ok();
  return WriterRow(Sql::kDropWriter, entry, "releasing an entry");
}

// Puts or drops this process's row of the entry's writer lock.
StoreStatus LibraryFile::WriterRow(Sql which, const EntryName& entry,
                                   const char* doing) {
  StoreStatus status;
  Statement* st = main_->Get(which, &status);
  if (st == nullptr) return status;
  Owner me = ThisProcess();
  st->Bind(1, entry.catalog);
  st->Bind(2, entry.name);
  st->Bind(3, entry.type);
  st->Bind(4, me.pid);
  st->Bind(5, me.start);
  int rc = st->Step();
  st->Reset();
  return rc == SQLITE_DONE ? StoreStatus::Ok() : main_->Failure(doing);
}

// The last cursor of this process on the entry drops the lock's row; when
// that fails (a full disk), the next change of the library drops it.
void LibraryFile::ReleaseWriter(const EntryName& entry, int64_t generation) {
  auto it = writing_.find(entry.Key());
  // A lock of before a lost batch: the entry's lock now is another's.
  if (it == writing_.end() || it->second.generation != generation) return;
  if (--it->second.cursors > 0) return;
  writing_.erase(it);
  if (unwritten_locks_.erase(entry.Key()) > 0) return;
  if (!Batched([&] { return DropWriter(entry); }).ok()) {
    unreleased_.push_back(entry);
  }
}

StoreStatus LibraryFile::TakeSnapshot(bool fresh,
                                      std::shared_ptr<Snapshot>* snapshot) {
  // A snapshot shows what this process changed: a batch is stored first.
  if (StoreStatus s = FlushBatch(); !s.ok()) return s;
  bool share = share_reads_ && !fresh;
  if (share && shared_ != nullptr && shared_->changes() == changes_) {
    *snapshot = shared_;
    return StoreStatus::Ok();
  }
  shared_.reset();
  std::unique_ptr<Connection> connection;
  if (!idle_.empty()) {
    connection = std::move(idle_.back());
    idle_.pop_back();
  } else {
    connection = std::make_unique<Connection>(path_, &sql_);
    if (StoreStatus s = connection->Open(mode_, false); !s.ok()) return s;
  }
  if (StoreStatus s = connection->Begin(false); !s.ok()) return s;
  // The first read fixes what the transaction sees.
  int64_t tables;
  if (StoreStatus s = connection->Integer(Sql::kSchemaSize, &tables); !s.ok()) {
    connection->Rollback();
    return s;
  }
  *snapshot = std::make_shared<Snapshot>(this, std::move(connection), changes_);
  if (share) shared_ = *snapshot;
  return StoreStatus::Ok();
}

StoreStatus LibraryFile::Reader(Connection** connection) {
  *connection = main_.get();
  if (!share_reads_ || batch_open_) return StoreStatus::Ok();
  std::shared_ptr<Snapshot> snapshot;
  if (StoreStatus s = TakeSnapshot(false, &snapshot); !s.ok()) return s;
  *connection = &snapshot->connection();  // shared_ keeps it
  return StoreStatus::Ok();
}

void LibraryFile::GiveBack(std::unique_ptr<Connection> connection) {
  connection->Rollback();
  if (idle_.size() < kIdleConnections) idle_.push_back(std::move(connection));
}

// Removes the versions of writers that are gone (a process killed while
// writing) and live versions no entry uses, and the writer locks of
// processes that are gone. A version an entry points to is never
// removed, whatever its state says: the entry reads through it. Whether an
// owner is gone is decided inside the write transaction: a writer seen
// alive before it could commit and end while a sweep looked, and its
// committed version would go with it.
StoreStatus LibraryFile::SweepOrphans() {
  if (mode_.read_only) return StoreStatus::Ok();
  // Most opens find nothing to look at, and take no lock for it. Each
  // entry has a version of its own, so a library with as many versions as
  // entries and no writer has no orphan to look for; counting the two
  // tables reads no more than their pages, where looking for versions no
  // entry uses would index every entry's version in memory (a megabyte and
  // tens of milliseconds at 50,000 entries, at every open).
  int64_t candidates = 0;
  if (StoreStatus s =
          main_->Integer("SELECT ((SELECT count(*) FROM versions) != "
                         "(SELECT count(*) FROM entries)) + "
                         "(SELECT count(*) FROM writers)",
                         &candidates);
      !s.ok() || candidates == 0) {
    return s;
  }
  return Change([&]() -> StoreStatus {
    std::vector<int64_t> orphans;
    std::vector<EntryName> dead_writers;
    {
      Statement st;
      if (st.Prepare(main_->db(),
                     "SELECT id, state, owner_pid, owner_start FROM versions "
                     "WHERE id NOT IN (SELECT version_id FROM entries)") !=
          SQLITE_OK) {
        return main_->Failure("looking for orphans");
      }
      while (st.Step() == SQLITE_ROW) {
        if (st.Int(1) == kLive || !IsAlive(Owner{st.Int(2), st.Int(3)})) {
          orphans.push_back(st.Int(0));
        }
      }
      Statement writers;
      if (writers.Prepare(main_->db(),
                          "SELECT catalog, name, type, owner_pid, owner_start "
                          "FROM writers") != SQLITE_OK) {
        return main_->Failure("looking for writers");
      }
      while (writers.Step() == SQLITE_ROW) {
        if (!IsAlive(Owner{writers.Int(3), writers.Int(4)})) {
          dead_writers.push_back(
              {writers.Text(0), writers.Text(1), writers.Text(2)});
        }
      }
    }
    for (int64_t version : orphans) {
      if (StoreStatus s = DeleteVersion(version); !s.ok()) return s;
    }
    Statement drop;
    if (drop.Prepare(main_->db(),
                     "DELETE FROM writers WHERE catalog = ?1 AND name = ?2 "
                     "AND type = ?3") != SQLITE_OK) {
      return main_->Failure("releasing entries");
    }
    for (const EntryName& entry : dead_writers) {
      drop.Bind(1, entry.catalog);
      drop.Bind(2, entry.name);
      drop.Bind(3, entry.type);
      int rc = drop.Step();
      drop.Reset();
      if (rc != SQLITE_DONE) return main_->Failure("releasing entries");
    }
    return StoreStatus::Ok();
  });
}

}  // namespace sqlite
}  // namespace refhost
