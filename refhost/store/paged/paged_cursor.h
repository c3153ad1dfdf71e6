// What the cursors of the stores that keep an entry's records in pages
// (record_page.h) share. A cursor reads a version a page at a time, each
// page decoded once and its records served from memory. A writer's records
// after its last stored page wait in memory (the tail page) until they
// fill it; its first write starts from the base's records before it (the
// stored pages before the one holding the point copied as they are, that
// page taken back as the tail). A write into the middle drops what
// follows: in memory when the point is in the tail, else by taking back
// the stored page that holds the point as the tail and dropping the pages
// from it on. The store gives the pages and makes the commit.

#ifndef VUVOROZO_REFHOST_STORE_PAGED_PAGED_CURSOR_H_
#define VUVOROZO_REFHOST_STORE_PAGED_PAGED_CURSOR_H_

#include <cstdint>
#include <optional>
#include <string>

#include "refhost/store/catalog_store.h"
#include "refhost/store/paged/record_page.h"

namespace refhost {

class PagedCursor : public EntryCursor {
 public:
  // base: the version the content starts as (0 for none), with its count
  // of records and longest record.
  PagedCursor(OpenIntent intent, int64_t base, uint64_t count,
              uint32_t longest);

  uint64_t position() const override { return position_; }
  uint64_t record_count() const override { return count_; }
  uint32_t longest_record() const override { return longest_; }
  bool writable() const override { return intent_ != OpenIntent::kRead; }
  StoreStatus Read(RecordView* record) override;
  void SetHostAttributes(std::string attributes) override {
    host_attributes_ = std::move(attributes);
  }

 protected:
  // The page of version (the base's or staging_) holding record number;
  // count is the content's record count, for messages.
  virtual StoreStatus LoadPage(int64_t version, uint64_t number, uint64_t count,
                               RecordPage* page) = 0;
  // The first write: makes the staging version when the store wants one
  // now (*staging, else 0) and copies into it the base's stored pages
  // before record `before`, giving the records and longest record they
  // hold. On failure it leaves no staging version behind.
  virtual StoreStatus StartStaging(uint64_t before, int64_t* staging,
                                   uint64_t* copied, uint32_t* longest) = 0;
  // Stores a full page in the staging version (making staging_ when 0).
  virtual StoreStatus StorePage(const RecordPage& page) = 0;
  // Drops staging_'s pages from record from on (from starts a page);
  // *longest receives the longest record of the pages kept.
  virtual StoreStatus DropPagesFrom(uint64_t from, uint32_t* longest) = 0;
  // Gives up a staging version.
  virtual void Discard(int64_t staging) = 0;
  // A status for a library found damaged.
  virtual StoreStatus Damaged(const std::string& what) const = 0;

  // The first write, or a commit's content, at record `at`.
  StoreStatus StartWriting(uint64_t at);

  OpenIntent intent_;
  int64_t base_;          // version read from; 0 for none
  bool writing_ = false;  // the cursor's own content has started
  int64_t staging_ = 0;   // version its pages go to; 0 for none yet
  uint64_t count_;
  uint32_t longest_;
  uint32_t stored_longest_ = 0;  // longest record of the stored pages
  uint64_t position_ = 0;
  RecordPage tail_;                             // records not yet stored
  std::optional<std::string> host_attributes_;  // given for the commit

 private:
  StoreStatus DoSeek(uint64_t position) override;
  StoreStatus DoWrite(const void* data, uint32_t length,
                      uint16_t kind) override;
  StoreStatus CutAt(uint64_t at);

  RecordPage page_;           // the page read last
  int64_t page_version_ = 0;  // its version; 0 when none
};

}  // namespace refhost

#endif  // VUVOROZO_REFHOST_STORE_PAGED_PAGED_CURSOR_H_
