// The paged cursor: reads served from one decoded page at a time, writes
// gathered in the tail page until it fills, and a write into the middle
// cut back to its point (paged_cursor.h). The store behind it gives the
// pages and makes the commit.

#include "refhost/store/paged/paged_cursor.h"

#include <algorithm>
#include <string>
#include <utility>

namespace refhost {
namespace {

// Record numbers are the low half of a page's key.
constexpr uint64_t kMaxRecords = 0xFFFFFFFFu;

}  // namespace

PagedCursor::PagedCursor(OpenIntent intent, int64_t base, uint64_t count,
                         uint32_t longest)
    : intent_(intent), base_(base), count_(count), longest_(longest) {}

StoreStatus PagedCursor::DoSeek(uint64_t position) {
  position_ = position;
  return StoreStatus::Ok();
}

StoreStatus PagedCursor::Read(RecordView* record) {
  if (position_ >= count_) return StoreStatus::NotFound("end");
  const RecordPage* page = &tail_;
  if (!writing_ || position_ < tail_.first()) {
    int64_t version = writing_ ? staging_ : base_;
    if (page_version_ != version || !page_.Holds(position_)) {
      page_version_ = 0;
      if (StoreStatus s = LoadPage(version, position_, count_, &page_);
          !s.ok()) {
        return s;
      }
      // A page past the count: the count is wrong, and the records it
      // leaves out would go unread.
      if (page_.end() > count_) {
        return Damaged("its pages hold more records than the " +
                       std::to_string(count_) + " it counts");
      }
      page_version_ = version;
    }
    page = &page_;
  }
  *record = page->Get(position_++);
  return StoreStatus::Ok();
}

StoreStatus PagedCursor::DoWrite(const void* data, uint32_t length,
                                 uint16_t kind) {
  if (position_ >= kMaxRecords) {
    return StoreStatus::InvalidArgument(
        "an entry holds at most 4294967295 records");
  }
  if (!writing_) {
    if (StoreStatus s = StartWriting(position_); !s.ok()) return s;
  } else if (position_ < count_) {
    if (StoreStatus s = CutAt(position_); !s.ok()) return s;
  }
  if (!tail_.Fits(length)) {
    // A failed store keeps the page here for the next write or commit.
    if (StoreStatus s = StorePage(tail_); !s.ok()) return s;
    stored_longest_ = std::max(stored_longest_, tail_.longest());
    tail_.Reset(count_);
  }
  tail_.Append(data, length, kind);
  ++position_;
  ++count_;
  longest_ = std::max(longest_, length);
  return StoreStatus::Ok();
}

StoreStatus PagedCursor::StartWriting(uint64_t at) {
  RecordPage tail;
  tail.Reset(0);
  if (at > 0) {
    if (StoreStatus s =
            LoadPage(base_, at < count_ ? at : at - 1, count_, &tail);
        !s.ok()) {
      return s;
    }
    tail.Truncate((uint32_t)(at - tail.first()));
  }
  int64_t staging = 0;
  uint64_t copied = 0;
  uint32_t longest = 0;
  if (StoreStatus s = StartStaging(tail.first(), &staging, &copied, &longest);
      !s.ok()) {
    return s;
  }
  if (copied != tail.first()) {
    if (staging != 0) Discard(staging);
    return Damaged(
        "the records before the first write of an update are missing");
  }
  writing_ = true;
  staging_ = staging;
  std::swap(tail_, tail);
  count_ = at;
  stored_longest_ = longest;
  longest_ = std::max(longest, tail_.longest());
  return StoreStatus::Ok();
}

StoreStatus PagedCursor::CutAt(uint64_t at) {
  if (at >= tail_.first()) {
    tail_.Truncate((uint32_t)(at - tail_.first()));
  } else {
    RecordPage page;
    if (StoreStatus s = LoadPage(staging_, at, count_, &page); !s.ok()) {
      return s;
    }
    page.Truncate((uint32_t)(at - page.first()));
    if (StoreStatus s = DropPagesFrom(page.first(), &stored_longest_);
        !s.ok()) {
      return s;
    }
    std::swap(tail_, page);
    if (page_version_ == staging_) page_version_ = 0;
  }
  longest_ = std::max(stored_longest_, tail_.longest());
  count_ = at;
  return StoreStatus::Ok();
}

}  // namespace refhost
