// A page of records as the SQLite store keeps them: a run of consecutive
// records of one entry version (bytes and kind code each), held decoded in
// memory and stored as one compressed row.
//
// Stored form: a zstd frame that carries its content size and a checksum of
// its content. The content is the page's records in columns:
//   a layout byte: 0x01 lines (no record holds a newline), 0x02 one kind;
//   the kind codes, 2 bytes each, little-endian: one for the page with
//     0x02, else one a record;
//   with 0x01, each record followed by a newline; else each record's
//     length (an unsigned LEB128 number), then the records back to back.
// A page of text lines is then stored much as the text itself would be,
// and compresses as well. zstd stores a block it cannot shrink as it is,
// so an incompressible page costs a few bytes more than its content.
// A page whose frame, checksum, size or columns do not agree with what the
// row says of it is damaged: Decode refuses it and never hands out records
// from it.

#ifndef VUVOROZO_REFHOST_STORE_PAGED_RECORD_PAGE_H_
#define VUVOROZO_REFHOST_STORE_PAGED_RECORD_PAGE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "refhost/store/catalog_store.h"

struct ZSTD_CCtx_s;
struct ZSTD_DCtx_s;

namespace refhost {

// A writer stores its page once the records' bytes would pass this; a
// single record longer than that makes a page of its own.
inline constexpr size_t kPageBytes = 64 * 1024;

// The zstd contexts and scratch space a connection reuses for every page.
class PageCodec {
 public:
  PageCodec();
  ~PageCodec();
  PageCodec(const PageCodec&) = delete;
  PageCodec& operator=(const PageCodec&) = delete;

  ZSTD_CCtx_s* compressor() { return compressor_; }
  ZSTD_DCtx_s* decompressor() { return decompressor_; }
  std::string& content() { return content_; }  // a page's content, encoded
  std::string& frame() { return frame_; }      // a page's stored form

 private:
  ZSTD_CCtx_s* compressor_;
  ZSTD_DCtx_s* decompressor_;
  std::string content_;
  std::string frame_;
};

class RecordPage {
 public:
  // An empty page whose first record will be number first.
  void Reset(uint64_t first);

  uint64_t first() const { return first_; }
  // Number of the record after the page's last.
  uint64_t end() const { return first_ + ends_.size(); }
  uint32_t count() const { return (uint32_t)ends_.size(); }
  bool empty() const { return ends_.empty(); }
  bool Holds(uint64_t number) const {
    return number >= first_ && number < end();
  }
  uint32_t longest() const { return longest_; }
  // Bytes of the records held (of a decoded page: with what separates them).
  size_t bytes() const { return bytes_.size(); }
  // Whether a record of length bytes still belongs on this page.
  bool Fits(uint32_t length) const {
    return empty() || bytes_.size() + length <= kPageBytes;
  }

  void Append(const void* data, uint32_t length, uint16_t kind);
  // Keeps the first count records.
  void Truncate(uint32_t count);
  // Record number (which the page holds).
  RecordView Get(uint64_t number) const {
    size_t i = (size_t)(number - first_);
    uint32_t start = i == 0 ? start_ : ends_[i - 1] + gap_;
    RecordView view;
    view.data = (const uint8_t*)bytes_.data() + start;
    view.length = ends_[i] - start;
    view.kind = kinds_[i];
    return view;
  }

  // The page's stored form, in codec.frame(). False, with *why, when the
  // compressor fails.
  bool Encode(PageCodec& codec, std::string* why) const;
  // Takes the stored form of a page whose row says it starts at first,
  // holds count records and none longer than longest. False, with *why and
  // the page empty, when the stored form is damaged.
  bool Decode(PageCodec& codec, const void* frame, size_t size, uint64_t first,
              uint32_t count, uint32_t longest, std::string* why);

 private:
  // Finds the records in a page's content, which becomes the page's bytes;
  // false when it does not hold exactly count records.
  bool Parse(uint32_t count);

  // Puts the records back to back at the start of bytes_, as Append
  // keeps them.
  void MakePlain();

  uint64_t first_ = 0;
  std::vector<uint32_t> ends_;  // end offset of each record in bytes_
  std::vector<uint16_t> kinds_;
  // The records. A decoded page keeps its content as it was decompressed:
  // the first record at start_, each next one gap_ bytes (a newline) after
  // the end of the one before.
  std::string bytes_;
  uint32_t start_ = 0;
  uint32_t gap_ = 0;
  uint32_t longest_ = 0;
};

}  // namespace refhost

#endif  // VUVOROZO_REFHOST_STORE_PAGED_RECORD_PAGE_H_
