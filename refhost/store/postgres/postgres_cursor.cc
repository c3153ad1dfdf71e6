// The PostgreSQL cursor's commit: one call of commit_entry with the last
// page, the content's counts, the description, the host attributes and
// the locks it releases; in a batch, sent without waiting for it.

#include "refhost/store/postgres/postgres_cursor.h"

#include <string>
#include <vector>

#include "refhost/store/packed_attributes.h"
#include "refhost/util/clock.h"

namespace refhost {
namespace postgres {
StoreStatus PostgresCursor::DoCommit() {
  if (!writing_ && intent_ == OpenIntent::kReplace) {
    writing_ = true;
    tail_.Reset(0);
    count_ = 0;
    longest_ = 0;
  }
  if (staging_ != 0) {
    // The staging version's pages are all stored, or it commits nothing.
    connection_->Settle();
    if (StoreStatus s = connection_->Broken(staging_); !s.ok()) return s;
  }
  const std::string* attributes = AttributesToCommit(intent_, host_attributes_);
  // Those of the reference host's form are kept packed.
  std::string packed;
  bool is_packed = attributes != nullptr &&
                   PackHostAttributes(*attributes, entry_.name, &packed);
  if (is_packed) attributes = &packed;
  Params params;
  params.Int(library_)
      .Bytes(entry_.catalog)
      .Bytes(entry_.name)
      .Bytes(entry_.type)
      .Bytes(description_)
      .Int(NowMicros())
      .Int(staging_)
      .Text(writing_ ? "true" : "false")
      .Int((int64_t)count_)
      .Int(longest_);
  if (attributes != nullptr) {
    params.Bytes(*attributes);
  } else {
    params.Null();
  }
  params.Int(base_).Int((int64_t)tail_.first()).Int(tail_.count());
  params.Int(tail_.longest());
  if (writing_ && !tail_.empty()) {
    if (StoreStatus s =
            connection_->EncodePage(library_, entry_.catalog, tail_);
        !s.ok()) {
      return s;
    }
    params.Bytes(connection_->codec().frame());
  } else {
    params.Null();
  }
  // The writer's locks go with the commit, in the same step: the staging
  // version's, the entry's and the catalog's (the entry's commit lock,
  // which the commit holds to its end, keeps the next writer from reading
  // the entry before the commit shows).
  ServerConnection::Keys keys = lock_->keys();
  if (staging_ != 0) keys.push_back({kVersionLock + staging_, false});
  std::vector<int64_t> exclusive, shared;
  for (const auto& [key, is_shared] : keys) {
    (is_shared ? shared : exclusive).push_back(key);
  }
  params.Ints(connection_->OwnVersions()).Int(kVersionLock);
  params.Ints(exclusive).Ints(shared).Text(is_packed ? "true" : "false");
  const std::string sql =
      "SELECT vuvorozo.commit_entry($1, $2, $3, $4, $5, $6, $7, $8, $9, "
      "$10, $11, $12, $13, $14, $15, $16, $17::int8[], $18, $19::int8[], "
      "$20::int8[], $21)";
  if (BatchLedger* ledger = connection_->ledger();
      connection_->batching() && ledger != nullptr) {
    // In a batch the commit is sent and the writer goes on: the ledger
    // says what became of it once its result is read, with the next
    // statement's. One that fails releases the locks it would have.
    int64_t commit = ledger->Gather();
    ServerConnection* connection = connection_.get();
    if (StoreStatus s = connection_->Defer(
            sql, params,
            [connection, ledger, commit, keys](const StoreStatus& s) {
              ledger->Settle({commit}, s);
              if (!s.ok()) {
                connection->NoteLoss(s);
                connection->UnlockLater(keys);
              }
            });
        !s.ok()) {
      ledger->Settle({commit}, s);
      return s;
    }
  } else if (StoreStatus s = connection_->Run(sql, params); !s.ok()) {
    return s;
  }
  lock_->Take();
  lock_.reset();
  if (staging_ != 0) {
    connection_->Drop(staging_);
    staging_ = 0;
  }
  connection_->Unlocked(keys);
  return StoreStatus::Ok();
}

}  // namespace postgres
}  // namespace refhost
