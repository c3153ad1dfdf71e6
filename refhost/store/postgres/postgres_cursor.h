// A cursor of the PostgreSQL store: a PagedCursor whose pages live on the
// server. A writer's staging version is made only when a page must be
// stored; its commit is one call of the schema's commit_entry, which
// releases the writer's locks in the same step.

#ifndef VUVOROZO_REFHOST_STORE_POSTGRES_POSTGRES_CURSOR_H_
#define VUVOROZO_REFHOST_STORE_POSTGRES_POSTGRES_CURSOR_H_

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "refhost/store/paged/paged_cursor.h"
#include "refhost/store/postgres/server_connection.h"

namespace refhost {
namespace postgres {

class PostgresCursor final : public PagedCursor {
 public:
  PostgresCursor(std::shared_ptr<ServerConnection> connection, int64_t library,
                 EntryName entry, OpenIntent intent, std::string description,
                 std::unique_ptr<WriterLock> lock, std::unique_ptr<Pin> pin,
                 const EntryRow& base)
      : PagedCursor(intent, base.version, (uint64_t)base.info.record_count,
                    (uint32_t)base.info.longest_record),
        connection_(std::move(connection)),
        library_(library),
        entry_(std::move(entry)),
        description_(std::move(description)),
        lock_(std::move(lock)),
        pin_(std::move(pin)) {}

  ~PostgresCursor() override {
    if (staging_ != 0) connection_->ReleaseStaging(staging_);
  }

 private:
  StoreStatus DoCommit() override;

  StoreStatus LoadPage(int64_t version, uint64_t number, uint64_t count,
                       RecordPage* page) override {
    StoreStatus s = connection_->LoadPage(version, number, count, page);
    if (!s.ok() && version == staging_ && version != 0) {
      // A page of its own that could not be stored is missing.
      if (StoreStatus broken = connection_->Broken(version); !broken.ok()) {
        return broken;
      }
    }
    return s.code() == StoreStatus::kCorrupt
               ? connection_->ReadOnStandby(version, std::move(s))
               : s;
  }

  // A staging version is made only for pages to store: the base's pages
  // before the first write are copied on the server, or a full page.
  StoreStatus StartStaging(uint64_t before, int64_t* staging, uint64_t* copied,
                           uint32_t* longest) override {
    *staging = 0;
    if (before == 0) return StoreStatus::Ok();
    StoreStatus s = connection_->NewVersion(library_, kStaging, staging);
    if (s.ok())
      s = connection_->CopyPages(base_, *staging, before, copied, longest);
    if (!s.ok() && *staging != 0) {
      connection_->ReleaseStaging(*staging);
      *staging = 0;
    }
    return s;
  }

  StoreStatus StorePage(const RecordPage& page) override {
    if (staging_ == 0) {
      if (StoreStatus s =
              connection_->NewVersion(library_, kStaging, &staging_);
          !s.ok()) {
        return s;
      }
    }
    return connection_->StorePage(library_, entry_.catalog, staging_, page);
  }

  StoreStatus DropPagesFrom(uint64_t from, uint32_t* longest) override {
    return connection_->DropPagesFrom(staging_, from, longest);
  }

  void Discard(int64_t staging) override {
    connection_->ReleaseStaging(staging);
  }

  StoreStatus Damaged(const std::string& what) const override {
    return connection_->Damaged(what);
  }

  std::shared_ptr<ServerConnection> connection_;
  int64_t library_;
  EntryName entry_;
  std::string description_;
  std::unique_ptr<WriterLock> lock_;  // writers: the entry's lock
  std::unique_ptr<Pin> pin_;          // the base's pin
};

}  // namespace postgres
}  // namespace refhost

#endif  // VUVOROZO_REFHOST_STORE_POSTGRES_POSTGRES_CURSOR_H_
