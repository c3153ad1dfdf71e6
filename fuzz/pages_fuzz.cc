// A page row as a library file from anyone may hold it: its bytes and what
// the row says of them (first record, count, longest record), through the
// page codec that every read of an entry goes through.
//
// An input is a mode byte, then the row's count and longest (2 bytes
// each), then bytes:
//   mode 0: the bytes are the stored frame itself (mostly refused: the
//           frame carries a checksum);
//   mode 1: the bytes are a page's content (the layout byte and columns),
//           stored as a sound frame, so that the reader of the columns is
//           reached;
//   mode 2: the bytes are cut into records, appended to a page, encoded
//           and decoded again.
// Besides what the sanitizers catch: a page that decodes holds exactly the
// records the row says, none longer than its longest, numbered from its
// first; one that is refused is empty and says why; a decoded page encodes
// and decodes back to the same records; and a page built from records
// gives them back unchanged.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "refhost/store/paged/record_page.h"

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "pages_fuzz: %s\n", what);
  std::abort();
}

struct Record {
  std::string bytes;
  uint16_t kind;
};

std::vector<Record> RecordsOf(const refhost::RecordPage& page) {
  std::vector<Record> records;
  for (uint64_t n = page.first(); n < page.end(); ++n) {
    refhost::RecordView view = page.Get(n);
    records.push_back(
        {std::string((const char*)view.data, view.length), view.kind});
  }
  return records;
}

bool Same(const std::vector<Record>& a, const std::vector<Record>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].bytes != b[i].bytes || a[i].kind != b[i].kind) return false;
  }
  return true;
}

constexpr uint64_t kFirst = 41;

// Decodes frame as a row saying count and longest, and checks what comes
// out; a page that decodes goes round once more.
void DecodeAndCheck(refhost::PageCodec& codec, const std::string& frame,
                    uint32_t count, uint32_t longest) {
  refhost::RecordPage page;
  std::string why;
  if (!page.Decode(codec, frame.data(), frame.size(), kFirst, count, longest,
                   &why)) {
    if (!page.empty()) Fail("a refused page holds records");
    if (why.empty()) Fail("a refused page says nothing");
    return;
  }
  if (page.first() != kFirst || page.count() != count) {
    Fail("a page holds other records than its row says");
  }
  std::vector<Record> records = RecordsOf(page);
  for (const Record& r : records) {
    if (r.bytes.size() > longest) Fail("a record longer than the row allows");
  }
  if (!page.Encode(codec, &why)) Fail("a decoded page does not encode");
  std::string again = codec.frame();
  refhost::RecordPage back;
  if (!back.Decode(codec, again.data(), again.size(), kFirst, count, longest,
                   &why)) {
    Fail("an encoded page does not decode");
  }
  if (!Same(RecordsOf(back), records)) Fail("records change on a round trip");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  static refhost::PageCodec codec;
  uint8_t mode = data[0] % 3;
  uint32_t count = data[1] | (uint32_t)data[2] << 8;
  uint32_t longest = data[3] | (uint32_t)data[4] << 8;
  std::string bytes((const char*)data + 5, size - 5);
  std::string why;
  if (mode == 0) {
    DecodeAndCheck(codec, bytes, count, longest);
  } else if (mode == 1) {
    if (!codec.Compress(bytes, &why)) Fail("zstd refuses a page");
    std::string frame = codec.frame();
    DecodeAndCheck(codec, frame, count, longest);
  } else {
    // Records cut at each 0xFF byte; the byte after it, when there is one,
    // picks a kind.
    refhost::RecordPage page;
    page.Reset(kFirst);
    std::vector<Record> records;
    size_t start = 0;
    for (size_t i = 0; i <= bytes.size(); ++i) {
      if (i < bytes.size() && (uint8_t)bytes[i] != 0xFF) continue;
      uint16_t kind = i + 1 < bytes.size() ? (uint8_t)bytes[i + 1] % 4 : 0;
      records.push_back({bytes.substr(start, i - start), kind});
      start = i + 1;
    }
    uint32_t most = 0;
    for (const Record& r : records) {
      page.Append(r.bytes.data(), (uint32_t)r.bytes.size(), r.kind);
      if (r.bytes.size() > most) most = (uint32_t)r.bytes.size();
    }
    if (page.longest() != most) Fail("a page's longest is not its longest");
    if (!Same(RecordsOf(page), records)) Fail("a page changes its records");
    if (!page.Encode(codec, &why)) Fail("a page does not encode");
    std::string frame = codec.frame();
    refhost::RecordPage back;
    if (!back.Decode(codec, frame.data(), frame.size(), kFirst,
                     (uint32_t)records.size(), most, &why)) {
      Fail("a page built from records does not decode");
    }
    if (!Same(RecordsOf(back), records)) Fail("records change on a round trip");
  }
  return 0;
}
