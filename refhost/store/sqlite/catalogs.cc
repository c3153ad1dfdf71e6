// Catalogs and entries of a library file: finding, listing, making and
// deleting them. A deletion waits for the writers of other processes that
// hold what it would take away.

#include <sqlite3.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "refhost/store/sqlite/library_file.h"

namespace refhost {
namespace sqlite {

StoreStatus LibraryFile::CatalogId(Connection* connection,
                                   std::string_view name, int64_t* id) {
  if (format_ == 0) return StoreStatus::NotFound("no such catalog");
  Connection& c = connection ? *connection : *main_;
  // What the batch's transaction found it finds again.
  bool in_batch = batch_open_ && &c == main_.get();
  if (in_batch) {
    auto known = batch_catalogs_.find(name);
    if (known != batch_catalogs_.end()) {
      *id = known->second;
      return StoreStatus::Ok();
    }
  }
  StoreStatus status;
  Statement* st = c.Get(Sql::kFindCatalog, &status);
  if (st == nullptr) return status;
  st->Bind(1, name);
  int rc = st->Step();
  if (rc == SQLITE_ROW) {
    *id = st->Int(0);
    if (in_batch) batch_catalogs_.emplace(name, *id);
  } else if (rc == SQLITE_DONE) {
    status = StoreStatus::NotFound("no such catalog");
  } else {
    status = c.Failure("finding a catalog");
  }
  st->Reset();
  return status;
}

StoreStatus LibraryFile::InsertCatalog(std::string_view name, int64_t* id) {
  if (batch_open_) {
    auto known = batch_catalogs_.find(name);
    if (known != batch_catalogs_.end()) {
      *id = known->second;
      return StoreStatus::Ok();
    }
  }
  StoreStatus status;
  Statement* st = main_->Get(Sql::kInsertCatalog, &status);
  if (st == nullptr) return status;
  st->Bind(1, name);
  int rc = st->Step();
  st->Reset();
  if (rc != SQLITE_DONE) return main_->Failure("making a catalog");
  return CatalogId(nullptr, name, id);
}

StoreStatus LibraryFile::CreateCatalog(std::string_view name) {
  int64_t id;
  if (CatalogId(nullptr, name, &id).ok()) return StoreStatus::Ok();
  return Batched([&] { return InsertCatalog(name, &id); });
}

StoreStatus LibraryFile::ListCatalogs(std::vector<CatalogInfo>* out) {
  if (format_ == 0) return StoreStatus::Ok();
  StoreStatus status;
  Statement* st = main_->Get(Sql::kListCatalogs, &status);
  if (st == nullptr) return status;
  int rc;
  while ((rc = st->Step()) == SQLITE_ROW) {
    out->push_back({st->Text(0), st->Int(1)});
  }
  st->Reset();
  // The count read every entry's page: the cache gives them back, for
  // the pages the caller reads next.
  sqlite3_db_release_memory(main_->db());
  return rc == SQLITE_DONE ? StoreStatus::Ok()
                           : main_->Failure("listing the catalogs");
}

StoreStatus LibraryFile::DeleteCatalog(std::string_view name,
                                       bool with_entries) {
  // Writers of other processes would bring back entries taken with the
  // catalog, so they finish first; a writer of a new entry in an empty
  // catalog brings the catalog back at its commit, which is its right.
  Owner writer;
  auto held = [&](bool* waiting) -> StoreStatus {
    if (!with_entries) return StoreStatus::Ok();
    StoreStatus status;
    Statement* st = main_->Get(Sql::kCatalogWriters, &status);
    if (st == nullptr) return status;
    st->Bind(1, name);
    int rc;
    Owner me = ThisProcess();
    while ((rc = st->Step()) == SQLITE_ROW) {
      Owner owner{st->Int(0), st->Int(1)};
      if (!(owner == me) && IsAlive(owner)) {
        *waiting = true;
        writer = owner;
      }
    }
    st->Reset();
    return rc == SQLITE_DONE ? StoreStatus::Ok()
                             : main_->Failure("looking for writers");
  };
  auto body = [&]() -> StoreStatus {
    int64_t id;
    if (StoreStatus s = CatalogId(nullptr, name, &id); !s.ok()) return s;
    std::vector<int64_t> versions;
    StoreStatus status;
    Statement* st = main_->Get(Sql::kCatalogVersions, &status);
    if (st == nullptr) return status;
    st->Bind(1, id);
    int rc;
    while ((rc = st->Step()) == SQLITE_ROW) versions.push_back(st->Int(0));
    st->Reset();
    if (rc != SQLITE_DONE) return main_->Failure("listing entries");
    if (!versions.empty() && !with_entries) {
      return StoreStatus::NotEmpty("the catalog holds entries");
    }
    for (int64_t version : versions) {
      if (StoreStatus s = DeleteVersion(version); !s.ok()) return s;
    }
    for (Sql which : {Sql::kDeleteCatalogEntries, Sql::kDeleteCatalog}) {
      Statement* del = main_->Get(which, &status);
      if (del == nullptr) return status;
      del->Bind(1, id);
      rc = del->Step();
      del->Reset();
      if (rc != SQLITE_DONE) return main_->Failure("deleting a catalog");
    }
    auto known = batch_catalogs_.find(name);
    if (known != batch_catalogs_.end()) batch_catalogs_.erase(known);
    return StoreStatus::Ok();
  };
  StoreStatus status = WhenFree(held, body, [&] {
    return path_ + ": catalog " + libref_ + "." + std::string(name) +
           " has entries being written by process " +
           std::to_string(writer.pid);
  });
  if (status.ok()) TrimFreeSpace();
  return status;
}

StoreStatus LibraryFile::FindEntry(Connection* connection, int64_t catalog,
                                   std::string_view name, std::string_view type,
                                   EntryRow* row) {
  Connection& c = connection ? *connection : *main_;
  StoreStatus status;
  Statement* st = c.Get(Sql::kFindEntry, &status);
  if (st == nullptr) return status;
  st->Bind(1, catalog);
  return EntryOf(c, st, name, type, row, false);
}

StoreStatus LibraryFile::FindEntry(Connection* connection,
                                   std::string_view catalog,
                                   std::string_view name, std::string_view type,
                                   EntryRow* row) {
  if (format_ == 0) return StoreStatus::NotFound("no such catalog");
  Connection& c = connection ? *connection : *main_;
  // A host asks of an entry more than once before it reads it (is it
  // there, how long are its records, then the open): in a read
  // transaction, where the entry cannot change, what was found is kept.
  FoundEntry& last = last_found_;
  bool steady = c.reading();
  if (c.Within(last.transaction) && last.catalog == catalog &&
      last.row.info.name == name && last.row.info.type == type) {
    *row = last.row;
    return StoreStatus::Ok();
  }
  bool shared = steady && shared_ != nullptr && &c == &shared_->connection();
  std::shared_ptr<PageDecoder::Job> first_page;
  StoreStatus status;
  if (shared && TakeAhead(c, catalog, name, type, row, &first_page)) {
    ++ahead_found_;
  } else {
    Statement* st = c.Get(Sql::kFindNamedEntry, &status);
    if (st == nullptr) return status;
    st->Bind(1, catalog);
    status = EntryOf(c, st, name, type, row);
    if (shared && status.ok()) {
      // Read ahead from here, unless it has been of no use.
      if (!ahead_.entries.empty()) ++ahead_missed_;
      ahead_ = EntriesAhead();
      if (ahead_missed_ <= ahead_found_ + kAheadMisses) {
        ahead_.transaction = c.read_transaction();
        ahead_.catalog = std::string(catalog);
        ahead_.name = std::string(name);
        ahead_.type = std::string(type);
      }
    }
  }
  if (status.ok() && steady) {
    last.transaction = c.read_transaction();
    last.catalog = std::string(catalog);
    last.row = *row;
    last.first_page = std::move(first_page);
  }
  if (shared && status.ok() && c.Within(ahead_.transaction)) {
    ReadEntriesAhead(c);
  }
  if (status.IsNotFound()) {
    // Say whether it is the catalog that is missing.
    int64_t id;
    if (StoreStatus s = CatalogId(&c, catalog, &id); !s.ok()) return s;
  }
  return status;
}

bool LibraryFile::TakeAhead(const Connection& c, std::string_view catalog,
                            std::string_view name, std::string_view type,
                            EntryRow* row,
                            std::shared_ptr<PageDecoder::Job>* first_page) {
  if (!c.Within(ahead_.transaction) || ahead_.catalog != catalog) return false;
  std::deque<EntryAhead>& entries = ahead_.entries;
  auto at = std::find_if(entries.begin(), entries.end(), [&](auto& e) {
    return e.row.info.name == name && e.row.info.type == type;
  });
  if (at == entries.end()) return false;
  // Those before it the reader passed over (folders an export makes, say).
  *row = std::move(at->row);
  *first_page = std::move(at->first_page);
  entries.erase(entries.begin(), at + 1);
  return true;
}

void LibraryFile::ReadEntriesAhead(Connection& c) {
  EntriesAhead& ahead = ahead_;
  if (ahead.at_end || ahead.entries.size() >= kEntriesAhead / 2) return;
  StoreStatus status;
  Statement* st = c.Get(Sql::kEntriesAfter, &status);
  if (st == nullptr) return;
  st->Bind(1, ahead.catalog);
  st->Bind(2, ahead.name);
  st->Bind(3, ahead.type);
  st->Bind(4, (int64_t)kEntriesAhead);
  int read = 0;
  int rc;
  std::vector<std::shared_ptr<PageDecoder::Job>> first_pages;
  while ((rc = st->Step()) == SQLITE_ROW) {
    EntryAhead e;
    std::string name = st->Text(7), type = st->Text(8);
    // What does not read is left for the reader's own look-up to say.
    if (!RowOf(c, st, name, type, &e.row, true).ok()) break;
    if (format_ >= 2 && e.row.info.record_count > 0) {
      e.first_page = PageJob(c, *st, 9, e.row.version, 0);
      if (e.first_page != nullptr) first_pages.push_back(e.first_page);
    }
    ahead.name = std::move(name);
    ahead.type = std::move(type);
    ahead.entries.push_back(std::move(e));
    ++read;
  }
  st->Reset();
  // A statement that failed, or a row that did not read, ends it too.
  ahead.at_end = rc != SQLITE_DONE || read < kEntriesAhead;
  if (!first_pages.empty()) Decoder().Hand(std::move(first_pages));
}

StoreStatus LibraryFile::RowOf(Connection& c, Statement* st,
                               std::string_view name, std::string_view type,
                               EntryRow* row, bool attributes) {
  row->info.name = std::string(name);
  row->info.type = std::string(type);
  row->info.description = st->Text(0);
  row->info.created_micros = st->Int(1);
  row->info.modified_micros = st->Int(2);
  row->version = st->Int(3);
  row->info.record_count = st->Int(4);
  row->info.longest_record = (int32_t)st->Int(5);
  if (!attributes) return StoreStatus::Ok();
  return AttributesOf(c, st, 6, name, &row->info.host_attributes, [&] {
    return "entry " + std::string(name) + "." + std::string(type);
  });
}

StoreStatus LibraryFile::EntryOf(Connection& c, Statement* st,
                                 std::string_view name, std::string_view type,
                                 EntryRow* row, bool attributes) {
  StoreStatus status;
  st->Bind(2, name);
  st->Bind(3, type);
  int rc = st->Step();
  if (rc == SQLITE_ROW) {
    status = RowOf(c, st, name, type, row, attributes);
  } else if (rc == SQLITE_DONE) {
    status = StoreStatus::NotFound("no such entry");
  } else {
    status = c.Failure("finding an entry");
  }
  st->Reset();
  return status;
}

// A listing reads its rows one at a time through a statement of its own
// on a snapshot, which keeps the catalog as it was at the open.
class SqliteListing final : public EntryListing {
 public:
  SqliteListing(std::shared_ptr<LibraryFile> file,
                std::shared_ptr<Snapshot> snapshot)
      : file_(std::move(file)), snapshot_(std::move(snapshot)) {}

  StoreStatus Open(std::string_view catalog) {
    catalog_ = std::string(catalog);
    Connection& c = snapshot_->connection();
    int64_t id;
    if (StoreStatus s = file_->CatalogId(&c, catalog, &id); !s.ok()) return s;
    if (rows_.Prepare(c.db(), file_->sql_[(int)Sql::kListEntries].c_str()) !=
        SQLITE_OK) {
      return c.Failure("listing entries");
    }
    rows_.Bind(1, id);
    return StoreStatus::Ok();
  }

  StoreStatus Next(EntryInfo* info) override {
    if (done_) return StoreStatus::NotFound("end");
    int rc = rows_.Step();
    if (rc == SQLITE_DONE) {
      done_ = true;
      // A catalog walked to its end went through the cache page by page:
      // what it holds now is the end of the catalog, no help to what comes
      // next; the memory goes back.
      rows_.Reset();
      sqlite3_db_release_memory(snapshot_->connection().db());
      return StoreStatus::NotFound("end");
    }
    if (rc != SQLITE_ROW) {
      done_ = true;
      return snapshot_->connection().Failure("listing entries");
    }
    info->name = rows_.Text(0);
    info->type = rows_.Text(1);
    info->description = rows_.Text(2);
    info->created_micros = rows_.Int(3);
    info->modified_micros = rows_.Int(4);
    info->record_count = rows_.Int(6);
    info->longest_record = (int32_t)rows_.Int(7);
    return file_->AttributesOf(
        snapshot_->connection(), &rows_, 8, info->name, &info->host_attributes,
        [&] {
          return file_->Describe({catalog_, info->name, info->type});
        });
  }

 private:
  std::shared_ptr<LibraryFile> file_;
  std::shared_ptr<Snapshot> snapshot_;
  Statement rows_;  // finalized before the snapshot goes
  std::string catalog_;
  bool done_ = false;
};

StoreStatus LibraryFile::OpenListing(std::string_view catalog,
                                     std::unique_ptr<EntryListing>* listing) {
  if (format_ == 0) return StoreStatus::NotFound("no such catalog");
  std::shared_ptr<Snapshot> snapshot;
  if (StoreStatus s = TakeSnapshot(false, &snapshot); !s.ok()) return s;
  auto made =
      std::make_unique<SqliteListing>(shared_from_this(), std::move(snapshot));
  if (StoreStatus s = made->Open(catalog); !s.ok()) return s;
  *listing = std::move(made);
  return StoreStatus::Ok();
}

StoreStatus LibraryFile::DeleteEntry(int64_t catalog, const EntryName& entry) {
  Owner writer;
  auto held = [&](bool* waiting) {
    return ForeignWriter(entry, waiting, &writer);
  };
  auto body = [&]() -> StoreStatus {
    EntryRow old;
    if (StoreStatus s =
            FindEntry(nullptr, catalog, entry.name, entry.type, &old);
        !s.ok()) {
      return s;
    }
    StoreStatus status;
    Statement* st = main_->Get(Sql::kDeleteEntry, &status);
    if (st == nullptr) return status;
    st->Bind(1, catalog);
    st->Bind(2, entry.name);
    st->Bind(3, entry.type);
    int rc = st->Step();
    st->Reset();
    if (rc != SQLITE_DONE) return main_->Failure("deleting an entry");
    return DeleteVersion(old.version);
  };
  StoreStatus status =
      WhenFree(held, body, [&] { return BeingWritten(entry, writer); });
  if (status.ok()) TrimFreeSpace();
  return status;
}

}  // namespace sqlite
}  // namespace refhost
