// Record pages: building them record by record, and their stored form (see
// record_page.h).

#include "refhost/store/paged/record_page.h"

#include <zstd.h>

#include <algorithm>
#include <cstring>

namespace refhost {
namespace {

// The compression level of a page by the length of its content. On i386
// zstd compresses text at about the same speed at every level up to 3 (the
// sequences of short matches that text makes are the cost, not the entropy
// stage); level 5 makes text 3% smaller at half that speed. A page that is
// not full (a small entry, or an entry's last page) takes level 5, which
// costs an entry little beside its open and commit; full pages, the bulk of
// a large entry, keep level 3's speed. Both decompress alike.
constexpr int kFullPageLevel = 3;
constexpr int kShortPageLevel = 5;
constexpr size_t kShortPageBytes = kPageBytes / 2;

// A zstd frame starts with its magic number and a descriptor byte whose
// bit 2 says that a content checksum ends the frame.
constexpr uint8_t kFrameMagic[4] = {0x28, 0xB5, 0x2F, 0xFD};
constexpr uint8_t kChecksumFlag = 0x04;

// The first byte of a page's content says how its records are laid out.
constexpr uint8_t kLinesLayout = 0x01;    // each record ends with a newline
constexpr uint8_t kOneKindLayout = 0x02;  // one kind code for every record

void PutVarint(std::string* out, uint32_t value) {
  while (value >= 0x80) {
    out->push_back((char)(value | 0x80));
    value >>= 7;
  }
  out->push_back((char)value);
}

// Reads a number at *at; false when the text ends first or it is longer
// than 32 bits.
bool GetVarint(const uint8_t* data, size_t size, size_t* at, uint32_t* value) {
  uint32_t result = 0;
  for (int shift = 0; shift < 35; shift += 7) {
    if (*at >= size) return false;
    uint8_t byte = data[(*at)++];
    if (shift == 28 && byte > 0x0F) return false;
    result |= (uint32_t)(byte & 0x7F) << shift;
    if ((byte & 0x80) == 0) {
      *value = result;
      return true;
    }
  }
  return false;
}

}  // namespace

PageCodec::PageCodec()
    : compressor_(ZSTD_createCCtx()), decompressor_(ZSTD_createDCtx()) {
  ZSTD_CCtx_setParameter(compressor_, ZSTD_c_checksumFlag, 1);
  ZSTD_CCtx_setParameter(compressor_, ZSTD_c_contentSizeFlag, 1);
}

PageCodec::~PageCodec() {
  ZSTD_freeCCtx(compressor_);
  ZSTD_freeDCtx(decompressor_);
}

void RecordPage::Reset(uint64_t first) {
  first_ = first;
  ends_.clear();
  kinds_.clear();
  bytes_.clear();
  start_ = 0;
  gap_ = 0;
  longest_ = 0;
}

void RecordPage::MakePlain() {
  if (start_ == 0 && gap_ == 0) return;
  std::string plain;
  plain.reserve(bytes_.size());
  uint32_t start = start_;
  for (uint32_t& end : ends_) {
    uint32_t next = end + gap_;
    plain.append(bytes_, start, end - start);
    end = (uint32_t)plain.size();
    start = next;
  }
  bytes_.swap(plain);
  start_ = 0;
  gap_ = 0;
}

void RecordPage::Append(const void* data, uint32_t length, uint16_t kind) {
  MakePlain();
  bytes_.append((const char*)data, length);
  ends_.push_back((uint32_t)bytes_.size());
  kinds_.push_back(kind);
  longest_ = std::max(longest_, length);
}

void RecordPage::Truncate(uint32_t count) {
  MakePlain();
  if (count >= ends_.size()) return;
  ends_.resize(count);
  kinds_.resize(count);
  bytes_.resize(count == 0 ? 0 : ends_.back());
  longest_ = 0;
  uint32_t start = 0;
  for (uint32_t end : ends_) {
    longest_ = std::max(longest_, end - start);
    start = end;
  }
}

bool RecordPage::Encode(PageCodec& codec, std::string* why) const {
  if (start_ != 0 || gap_ != 0) {
    RecordPage plain = *this;
    plain.MakePlain();
    return plain.Encode(codec, why);
  }
  std::string& content = codec.content();
  content.clear();
  bool lines = memchr(bytes_.data(), '\n', bytes_.size()) == nullptr;
  bool one_kind = std::all_of(kinds_.begin(), kinds_.end(),
                              [&](uint16_t k) { return k == kinds_[0]; });
  content.push_back(
      (char)((lines ? kLinesLayout : 0) | (one_kind ? kOneKindLayout : 0)));
  for (size_t i = 0; i < (one_kind ? 1 : kinds_.size()); ++i) {
    content.push_back((char)(kinds_[i] & 0xFF));
    content.push_back((char)(kinds_[i] >> 8));
  }
  uint32_t start = 0;
  if (lines) {
    content.reserve(content.size() + bytes_.size() + ends_.size());
    for (uint32_t end : ends_) {
      content.append(bytes_, start, end - start);
      content.push_back('\n');
      start = end;
    }
  } else {
    for (uint32_t end : ends_) {
      PutVarint(&content, end - start);
      start = end;
    }
    content += bytes_;
  }
  ZSTD_CCtx_setParameter(
      codec.compressor(), ZSTD_c_compressionLevel,
      content.size() < kShortPageBytes ? kShortPageLevel : kFullPageLevel);
  std::string& frame = codec.frame();
  frame.resize(ZSTD_compressBound(content.size()));
  size_t n = ZSTD_compress2(codec.compressor(), frame.data(), frame.size(),
                            content.data(), content.size());
  if (ZSTD_isError(n)) {
    *why =
        std::string("a page could not be compressed: ") + ZSTD_getErrorName(n);
    frame.clear();
    return false;
  }
  frame.resize(n);
  return true;
}

bool RecordPage::Decode(PageCodec& codec, const void* frame, size_t size,
                        uint64_t first, uint32_t count, uint32_t longest,
                        std::string* why) {
  Reset(first);
  const uint8_t* f = (const uint8_t*)frame;
  if (count == 0 || size < 5 || memcmp(f, kFrameMagic, 4) != 0 ||
      (f[4] & kChecksumFlag) == 0) {
    *why = "not a checksummed page";
    return false;
  }
  // The content cannot be longer than count records of the longest length
  // with their lengths and kinds: a frame that says more is damaged, and is
  // not given the memory it asks for.
  unsigned long long declared = ZSTD_getFrameContentSize(frame, size);
  uint64_t bound = 1 + (uint64_t)count * (7 + (uint64_t)longest);
  if (declared == ZSTD_CONTENTSIZE_UNKNOWN ||
      declared == ZSTD_CONTENTSIZE_ERROR || declared > bound) {
    *why = "the page's size does not agree with its records";
    return false;
  }
  // The content is decompressed into the codec's buffer, which then
  // becomes the page's: the records are served where they lie.
  std::string& content = codec.content();
  content.resize((size_t)declared);
  size_t n = ZSTD_decompressDCtx(codec.decompressor(), content.data(),
                                 content.size(), frame, size);
  if (ZSTD_isError(n) || n != declared) {
    *why = ZSTD_isError(n) ? std::string(ZSTD_getErrorName(n))
                           : std::string("the page is short");
    return false;
  }
  bytes_.swap(content);
  if (!Parse(count) || longest_ != longest) {
    Reset(first);
    *why = "the page's records do not agree with what its row says";
    return false;
  }
  return true;
}

bool RecordPage::Parse(uint32_t count) {
  const uint8_t* c = (const uint8_t*)bytes_.data();
  size_t n = bytes_.size();
  if (n < 1) return false;
  uint8_t layout = c[0];
  size_t at = 1;
  size_t kinds = layout & kOneKindLayout ? 1 : count;
  if (n - at < 2 * kinds) return false;
  kinds_.resize(count);
  for (uint32_t i = 0; i < count; ++i) {
    size_t k = at + 2 * (kinds == 1 ? 0 : i);
    kinds_[i] = (uint16_t)(c[k] | (c[k + 1] << 8));
  }
  at += 2 * kinds;
  ends_.reserve(count);
  start_ = (uint32_t)at;
  if (layout & kLinesLayout) {
    // Each record ends with a newline, which none of them holds.
    gap_ = 1;
    for (uint32_t i = 0; i < count; ++i) {
      const uint8_t* line = c + at;
      const uint8_t* end = (const uint8_t*)memchr(line, '\n', n - at);
      if (end == nullptr) return false;
      uint32_t length = (uint32_t)(end - line);
      ends_.push_back((uint32_t)(end - c));
      longest_ = std::max(longest_, length);
      at += length + 1;
    }
    return at == n;
  }
  uint64_t total = 0;
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t length;
    if (!GetVarint(c, n, &at, &length)) return false;
    total += length;
    ends_.push_back((uint32_t)total);
    longest_ = std::max(longest_, length);
  }
  if ((uint64_t)at + total != n) return false;
  // The records follow their lengths, back to back.
  start_ = (uint32_t)at;
  for (uint32_t& end : ends_) end += start_;
  return true;
}

}  // namespace refhost
