// Versions and their record pages in a library file: making and dropping
// versions, storing, loading, cutting and copying pages (one row a page in
// format 2; one row a record in format 1, read into pages).

#include <sqlite3.h>

#include <algorithm>
#include <string>

#include "refhost/store/sqlite/library_file.h"

namespace refhost {
namespace sqlite {
namespace {

// Pages an update's first write copies in one transaction.
constexpr int kCopyBatchPages = 256;
// Records of a format-1 version read into one page.
constexpr uint32_t kFormat1PageRecords = 1024;

}  // namespace

StoreStatus LibraryFile::NewVersion(int state, int64_t* version) {
  StoreStatus status;
  Statement* st = main_->Get(Sql::kNewVersion, &status);
  if (st == nullptr) return status;
  Owner me = ThisProcess();
  st->Bind(1, state);
  st->Bind(2, me.pid);
  st->Bind(3, me.start);
  int rc = st->Step();
  st->Reset();
  if (rc != SQLITE_DONE) return main_->Failure("making a version");
  *version = sqlite3_last_insert_rowid(main_->db());
  return StoreStatus::Ok();
}

StoreStatus LibraryFile::NewLiveVersion(const RecordPage& page, int64_t catalog,
                                        bool hand_over, int64_t* version) {
  StoreStatus status;
  Statement* st = main_->Get(Sql::kNewLiveVersion, &status);
  if (st == nullptr) return status;
  Owner me = ThisProcess();
  st->Bind(1, me.pid);
  st->Bind(2, me.start);
  st->Bind(3, (int64_t)page.count());
  st->Bind(4, (int64_t)page.longest());
  int rc = st->Step();
  st->Reset();
  if (rc != SQLITE_DONE) return main_->Failure("storing an entry");
  *version = sqlite3_last_insert_rowid(main_->db());
  return InsertPage(*version, page, catalog, hand_over);
}

StoreStatus LibraryFile::DeleteVersion(int64_t version) {
  broken_versions_.erase(version);
  StoreStatus status;
  Statement* pages = main_->Get(Sql::kDeletePages, &status);
  if (pages == nullptr) return status;
  pages->Bind(1, PageKey(version, 0));
  pages->Bind(2, PageKey(version + 1, 0));
  int rc = pages->Step();
  pages->Reset();
  if (rc != SQLITE_DONE) return main_->Failure("dropping a version");
  Statement* st = main_->Get(Sql::kDeleteVersion, &status);
  if (st == nullptr) return status;
  st->Bind(1, version);
  rc = st->Step();
  st->Reset();
  return rc == SQLITE_DONE ? StoreStatus::Ok()
                           : main_->Failure("dropping a version");
}

StoreStatus LibraryFile::InsertPage(int64_t version, const RecordPage& page,
                                    int64_t catalog, bool hand_over) {
  CatalogText* text = nullptr;
  if (StoreStatus s = TextOf(catalog, &text); !s.ok()) return s;
  int64_t key = PageKey(version, page.first());
  if (hand_over) {
    // One made before a fork is the parent's: its pages were stored before.
    PageCompressor* compressor = UsableCompressor(&compressor_);
    std::string content;
    page.Content(&content);
    // The row takes no more than the content.
    if (StoreStatus s = EnsureRoom(content.size()); !s.ok()) return s;
    PageLevel level = codec_.LevelOf(content.size());
    compressor->Hand(std::move(content),
                     text != nullptr ? text->dictionary : nullptr, level);
    pending_pages_.push_back(
        {key, page.count(), page.longest(), catalog, false});
    return StoreStatus::Ok();
  }
  std::string why;
  if (!page.Encode(codec_, &why))
    return StoreStatus::IoError(path_ + ": " + why);
  if (StoreStatus s = EnsureRoom(codec_.frame().size()); !s.ok()) return s;
  return InsertRow(key, page.count(), page.longest(), catalog, text,
                   codec_.content(), codec_.frame());
}

StoreStatus LibraryFile::InsertRow(int64_t key, uint32_t count,
                                   uint32_t longest, int64_t catalog,
                                   CatalogText* text,
                                   const std::string& content,
                                   const std::string& frame) {
  StoreStatus status;
  Statement* st = main_->Get(Sql::kInsertPage, &status);
  if (st == nullptr) return status;
  st->Bind(1, key);
  st->Bind(2, (int64_t)count);
  st->Bind(3, (int64_t)longest);
  st->BindBlob(4, frame.data(), frame.size());
  int rc = st->Step();
  st->Reset();
  if (rc != SQLITE_DONE) return main_->Failure("writing records");
  if (batch_open_) batch_bytes_ += frame.size();
  if (text != nullptr) return NoteWritten(catalog, text, key, content, frame);
  return StoreStatus::Ok();
}

StoreStatus LibraryFile::LoadPage(Connection* connection, int64_t version,
                                  uint64_t number, uint64_t count,
                                  RecordPage* page, ReadAhead* ahead) {
  Connection& c = connection ? *connection : *main_;
  // A writer's own pages may still be in the compressor.
  if (&c == main_.get() && !pending_pages_.empty()) {
    if (StoreStatus s = StorePending(0); !s.ok()) return s;
  }
  StoreStatus status;
  bool taken = false;
  // The pages read ahead hold only while the reader goes on where they are
  // (a child of fork() never waits for its parent's threads).
  bool on_track = ahead != nullptr && decoder_ != nullptr &&
                  decoder_->Usable() && c.Within(ahead->transaction) &&
                  ahead->version == version;
  if (on_track && !ahead->jobs.empty() &&
      ahead->jobs.front()->first == number) {
    std::shared_ptr<PageDecoder::Job> job = std::move(ahead->jobs.front());
    ahead->jobs.pop_front();
    decoder_->Wait(job.get());
    // A page that did not decode is read again, and said as any other.
    if (job->ok) {
      *page = std::move(job->page);
      taken = true;
    }
  }
  if (!taken && decoder_ != nullptr && decoder_->Usable()) {
    // The entry's first page, read ahead with the entry.
    std::shared_ptr<PageDecoder::Job> job = FirstPageAhead(c, version);
    if (job != nullptr && number >= job->first &&
        number - job->first < job->count) {
      decoder_->Wait(job.get());
      if (job->ok) {
        *page = std::move(job->page);
        taken = true;
        if (ahead != nullptr) ahead->jobs.clear();
      }
    }
  }
  if (!taken) {
    // Off the pages read ahead: those after it are too.
    if (ahead != nullptr) ahead->jobs.clear();
    status = LoadPageNow(c, version, number, count, page);
  }
  // In a read transaction the next pages are what they were: they are
  // decoded while this one is read.
  if (status.ok() && ahead != nullptr && format_ >= 2 && c.reading()) {
    uint64_t next = page->end();
    if (!ahead->jobs.empty()) {
      next = ahead->jobs.back()->first + ahead->jobs.back()->count;
    }
    while (ahead->jobs.size() < ReadAhead::kPages && next < count &&
           ReadAheadFrom(c, version, next, ahead)) {
      next = ahead->jobs.back()->first + ahead->jobs.back()->count;
    }
  }
  return status;
}

bool LibraryFile::ReadAheadFrom(Connection& c, int64_t version, uint64_t first,
                                ReadAhead* ahead) {
  std::shared_ptr<PageDecoder::Job> job = DecodeAhead(c, version, first);
  if (job == nullptr) return false;
  ahead->transaction = c.read_transaction();
  ahead->version = version;
  ahead->jobs.push_back(std::move(job));
  return true;
}

std::shared_ptr<PageDecoder::Job> LibraryFile::FirstPageAhead(
    const Connection& c, int64_t version) {
  FoundEntry& last = last_found_;
  if (last.first_page == nullptr || !c.Within(last.transaction) ||
      last.row.version != version) {
    return nullptr;
  }
  return std::move(last.first_page);
}

std::shared_ptr<PageDecoder::Job> LibraryFile::DecodeAhead(Connection& c,
                                                           int64_t version,
                                                           uint64_t first) {
  StoreStatus status;
  Statement* st = c.Get(Sql::kFindPage, &status);
  if (st == nullptr) return nullptr;
  st->Bind(1, PageKey(version, first));
  st->Bind(2, PageKey(version, 0));
  std::shared_ptr<PageDecoder::Job> job;
  if (st->Step() == SQLITE_ROW) job = PageJob(c, *st, 0, version, first);
  st->Reset();
  if (job != nullptr) Decoder().Hand(job);
  return job;
}

std::shared_ptr<PageDecoder::Job> LibraryFile::PageJob(
    Connection& c, Statement& st, int column, int64_t version, uint64_t first) {
  // Only a row that starts where the page before ended, with sound counts:
  // anything else is read (and said) when the reader gets there.
  if (st.Int(column) != PageKey(version, first) || st.Int(column + 1) <= 0 ||
      st.Int(column + 1) > UINT32_MAX || st.Int(column + 2) < 0 ||
      st.Int(column + 2) > UINT32_MAX) {
    return nullptr;
  }
  auto job = std::make_shared<PageDecoder::Job>();
  job->first = first;
  job->count = (uint32_t)st.Int(column + 1);
  job->longest = (uint32_t)st.Int(column + 2);
  job->frame.assign((const char*)st.Blob(column + 3), st.Bytes(column + 3));
  if (uint32_t id = DictionaryOf(job->frame.data(), job->frame.size())) {
    PageDictionary* found = nullptr;
    if (FinderFor(c)(id, &found, &job->missing)) {
      job->dictionary = dictionaries_[id];
    }
  }
  return job;
}

PageDecoder& LibraryFile::Decoder() {
  if (decoder_ != nullptr && !decoder_->Usable()) decoder_.reset();
  if (decoder_ == nullptr) decoder_ = std::make_unique<PageDecoder>();
  return *decoder_;
}

StoreStatus LibraryFile::LoadPageNow(Connection& c, int64_t version,
                                     uint64_t number, uint64_t count,
                                     RecordPage* page) {
  StoreStatus status;
  std::string missing =
      "record " + std::to_string(number) + " of an entry is missing";
  if (format_ == 1) {
    // One row a record: up to kFormat1PageRecords consecutive ones.
    Statement* st = c.Get(Sql::kRecordsBetween, &status);
    if (st == nullptr) return status;
    st->Bind(1, PageKey(version, number));
    st->Bind(2, PageKey(version, count));
    page->Reset(number);
    int rc = SQLITE_DONE;
    while (page->count() < kFormat1PageRecords &&
           (rc = st->Step()) == SQLITE_ROW &&
           st->Int(0) == PageKey(version, page->end())) {
      page->Append(st->Blob(2), (uint32_t)st->Bytes(2), (uint16_t)st->Int(1));
    }
    if (page->empty() && rc != SQLITE_ROW && rc != SQLITE_DONE) {
      status = c.Failure("reading records");
    } else if (page->empty()) {
      status = Damaged(missing);
    }
    st->Reset();
    return status;
  }
  Statement* st = c.Get(Sql::kFindPage, &status);
  if (st == nullptr) return status;
  st->Bind(1, PageKey(version, number));
  st->Bind(2, PageKey(version, 0));
  int rc = st->Step();
  if (rc == SQLITE_ROW) {
    uint64_t first = (uint64_t)(st->Int(0) - PageKey(version, 0));
    int64_t records = st->Int(1);
    int64_t longest = st->Int(2);
    std::string why;
    if (records <= 0 || records > UINT32_MAX || longest < 0 ||
        longest > UINT32_MAX || number >= first + (uint64_t)records) {
      status = Damaged(missing);
    } else if (!page->Decode(codec_, st->Blob(3), st->Bytes(3), first,
                             (uint32_t)records, (uint32_t)longest, &why,
                             FinderFor(c))) {
      status = Damaged("the page holding record " + std::to_string(number) +
                       " of an entry: " + why);
    }
  } else if (rc == SQLITE_DONE) {
    status = Damaged(missing);
  } else {
    status = c.Failure("reading records");
  }
  st->Reset();
  return status;
}

StoreStatus LibraryFile::NewStaging(int64_t* version) {
  return Change([&] { return NewVersion(kStaging, version); });
}

StoreStatus LibraryFile::StorePage(int64_t version, const RecordPage& page,
                                   std::string_view catalog) {
  keep_pending_ = kPagesInFlight;
  StoreStatus status = Change([&]() -> StoreStatus {
    int64_t id = 0;
    if (StoreStatus s = CatalogId(nullptr, catalog, &id);
        !s.ok() && !s.IsNotFound()) {
      return s;
    }
    return InsertPage(version, page, id, true);
  });
  keep_pending_ = 0;
  return status;
}

StoreStatus LibraryFile::DropPagesFrom(int64_t version, uint64_t from,
                                       uint32_t* longest) {
  StoreStatus status = Change([&]() -> StoreStatus {
    StoreStatus s;
    Statement* st = main_->Get(Sql::kDeletePages, &s);
    if (st == nullptr) return s;
    st->Bind(1, PageKey(version, from));
    st->Bind(2, PageKey(version + 1, 0));
    int rc = st->Step();
    st->Reset();
    return rc == SQLITE_DONE ? StoreStatus::Ok()
                             : main_->Failure("dropping records");
  });
  if (!status.ok()) return status;
  Statement* st = main_->Get(Sql::kLongestBetween, &status);
  if (st == nullptr) return status;
  st->Bind(1, PageKey(version, 0));
  st->Bind(2, PageKey(version, from));
  int rc = st->Step();
  if (rc == SQLITE_ROW) {
    *longest = (uint32_t)st->Int(0);
  } else {
    status = main_->Failure("reading record lengths");
  }
  st->Reset();
  return status;
}

StoreStatus LibraryFile::CopyPages(Connection& source, int64_t from, int64_t to,
                                   uint64_t before, uint64_t* records,
                                   uint32_t* longest) {
  StoreStatus status;
  Statement* pages = source.Get(Sql::kPagesBetween, &status);
  if (pages == nullptr) return status;
  pages->Bind(1, PageKey(from, 0));
  pages->Bind(2, PageKey(from, before));
  *records = 0;
  *longest = 0;
  bool more = true;
  while (more && status.ok()) {
    status = Change([&]() -> StoreStatus {
      StoreStatus s;
      Statement* insert = main_->Get(Sql::kInsertPage, &s);
      if (insert == nullptr) return s;
      for (int i = 0; i < kCopyBatchPages; ++i) {
        int rc = pages->Step();
        if (rc == SQLITE_DONE) {
          more = false;
          break;
        }
        if (rc != SQLITE_ROW) return source.Failure("reading records");
        uint64_t first = (uint64_t)(pages->Int(0) - PageKey(from, 0));
        if (first != *records) {
          return Damaged("the pages of an entry do not follow each other");
        }
        int64_t count = pages->Int(1);
        insert->Bind(1, PageKey(to, first));
        insert->Bind(2, count);
        insert->Bind(3, pages->Int(2));
        insert->BindBlob(4, pages->Blob(3), pages->Bytes(3));
        int done = insert->Step();
        insert->Reset();
        if (done != SQLITE_DONE) return main_->Failure("copying records");
        *records += (uint64_t)count;
        *longest = std::max(*longest, (uint32_t)pages->Int(2));
      }
      return StoreStatus::Ok();
    });
  }
  pages->Reset();
  return status;
}

// When that fails (a full disk), the next change of the library drops the
// version; a later process's sweep, when this one ends first.
void LibraryFile::DiscardStaging(int64_t version) {
  if (mode_.read_only) return;
  if (!Change([&] { return DeleteVersion(version); }).ok()) {
    undiscarded_.push_back(version);
  }
}

}  // namespace sqlite
}  // namespace refhost
