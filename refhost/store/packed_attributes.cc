// Host attributes in the packed form (packed_attributes.h): the text read
// line by line into its fields, the fields written as the packed form, and
// the text written again from them.

#include "refhost/store/packed_attributes.h"

#include <charconv>
#include <cstring>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include "refhost/host/file_attributes.h"

namespace refhost {
namespace {

constexpr std::string_view kHeader = "vuvorozo-file 1";

// The flags: which lines the text has, and the form of its name.
constexpr uint16_t kNameMask = 0x0003;
constexpr uint16_t kNameLiteral = 0x0001;
constexpr uint16_t kNameAfterEntry = 0x0002;
constexpr uint16_t kNameAfterLowerEntry = 0x0003;
constexpr uint16_t kFolder = 0x0004;
constexpr uint16_t kKindFolder = 0x0008;
constexpr uint16_t kMtime = 0x0010;
constexpr uint16_t kMode = 0x0020;
constexpr uint16_t kSize = 0x0040;
constexpr uint16_t kRecordsMask = 0x0180;  // 0 none, lines, chunks
constexpr uint16_t kRecordsLines = 0x0080;
constexpr uint16_t kRecordsChunks = 0x0100;
constexpr uint16_t kNewline = 0x0200;     // the line is there...
constexpr uint16_t kNewlineYes = 0x0400;  // ...and says yes
constexpr uint16_t kRecfm = 0x0800;
constexpr uint16_t kHash = 0x1000;
constexpr uint16_t kCtime = 0x2000;
constexpr uint16_t kInode = 0x4000;
constexpr uint16_t kKnownFlags = 0x7FFF;
constexpr size_t kCheckBytes = 4;

// What a text of the form says.
struct Fields {
  uint16_t flags = 0;
  std::string name;  // the name's value, or what follows the entry's name
  std::string folder;
  int64_t mtime = 0;
  uint32_t mode = 0;
  int64_t size = 0;
  int32_t recfm = 0;
  uint64_t hash = 0;
  int64_t ctime = 0;
  uint64_t inode = 0;
};

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
  }
  return lower;
}

void PutNumber(uint64_t value, std::string* out) {
  while (value >= 0x80) {
    out->push_back((char)(value | 0x80));
    value >>= 7;
  }
  out->push_back((char)value);
}

void PutSigned(int64_t value, std::string* out) {
  PutNumber(((uint64_t)value << 1) ^ (uint64_t)(value >> 63), out);
}

void PutFixed(uint64_t value, int bytes, std::string* out) {
  for (int i = 0; i < bytes; ++i) out->push_back((char)(value >> (8 * i)));
}

uint32_t Check(const uint8_t* data, size_t size, std::string_view entry) {
  return (uint32_t)XXH3_64bits_withSeed(entry.data(), entry.size(),
                                        XXH3_64bits(data, size));
}

// Reads the packed bytes in order; every read fails once the bytes end.
class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool Number(uint64_t* value) {
    uint64_t result = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      if (at_ >= size_) return false;
      uint8_t byte = data_[at_++];
      if (shift == 63 && byte > 1) return false;
      result |= (uint64_t)(byte & 0x7F) << shift;
      if ((byte & 0x80) == 0) {
        *value = result;
        return true;
      }
    }
    return false;
  }
  bool Signed(int64_t* value) {
    uint64_t raw;
    if (!Number(&raw)) return false;
    *value = (int64_t)((raw >> 1) ^ (0 - (raw & 1)));
    return true;
  }
  bool Fixed(int bytes, uint64_t* value) {
    if (size_ - at_ < (size_t)bytes) return false;
    *value = 0;
    for (int i = 0; i < bytes; ++i) *value |= (uint64_t)data_[at_++] << (8 * i);
    return true;
  }
  bool Bytes(std::string* out) {
    uint64_t length;
    if (!Number(&length) || length > size_ - at_) return false;
    out->assign((const char*)data_ + at_, (size_t)length);
    at_ += (size_t)length;
    return true;
  }
  bool done() const { return at_ == size_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

template <typename T>
bool Parse(std::string_view text, T* value, int base = 10) {
  const char* end = text.data() + text.size();
  auto [at, error] = std::from_chars(text.data(), end, *value, base);
  return error == std::errc() && at == end && !text.empty();
}

// The decimal digits of v at at (20 at most): nine digits at a time, as a
// 32-bit build has no 64-bit division in hardware and to_chars would call
// one a pair of digits.
char* Decimal(char* at, uint64_t v) {
  if (v <= UINT32_MAX) return std::to_chars(at, at + 10, (uint32_t)v).ptr;
  at = Decimal(at, v / 1000000000);
  uint32_t low = (uint32_t)(v % 1000000000);
  for (int i = 8; i >= 0; --i, low /= 10) at[i] = (char)('0' + low % 10);
  return at + 9;
}

char* Decimal(char* at, int64_t v) {
  if (v >= 0) return Decimal(at, (uint64_t)v);
  *at = '-';
  return Decimal(at + 1, 0 - (uint64_t)v);
}

char* Decimal(char* at, int32_t v) { return Decimal(at, (int64_t)v); }

// The text of the fields, for the entry named entry.
std::string Render(const Fields& f, std::string_view entry) {
  // Every listing and look-up renders the text of each entry: one
  // allocation, and numbers written in place.
  std::string out;
  out.reserve(kHeader.size() + entry.size() + f.name.size() + f.folder.size() +
              220);
  out += kHeader;
  char digits[24];
  auto number = [&](std::string_view key, auto value) {
    out += '\n';
    out += key;
    out += '=';
    out.append(digits, Decimal(digits, value));
  };
  switch (f.flags & kNameMask) {
    case kNameLiteral:
      out += "\nname=";
      out += f.name;
      break;
    case kNameAfterEntry:
      out += "\nname=";
      out += entry;
      out += f.name;
      break;
    case kNameAfterLowerEntry:
      out += "\nname=";
      out += Lower(entry);
      out += f.name;
      break;
  }
  if (f.flags & kFolder) {
    out += "\nfolder=";
    out += f.folder;
  }
  if (f.flags & kKindFolder) out += "\nkind=folder";
  if (f.flags & kMtime) number("mtime", f.mtime);
  if (f.flags & kMode) {
    out += "\nmode=";
    out.append(digits,
               std::to_chars(digits, digits + sizeof digits, f.mode, 8).ptr);
  }
  if (f.flags & kSize) number("size", f.size);
  if ((f.flags & kRecordsMask) == kRecordsLines) out += "\nrecords=lines";
  if ((f.flags & kRecordsMask) == kRecordsChunks) out += "\nrecords=chunks";
  if (f.flags & kNewline) {
    out += f.flags & kNewlineYes ? "\nnewline=yes" : "\nnewline=no";
  }
  if (f.flags & kRecfm) number("recfm", f.recfm);
  if (f.flags & kHash) {
    // 16 hex digits, zeros first.
    char* end = std::to_chars(digits, digits + sizeof digits, f.hash, 16).ptr;
    out += "\nxxh3=";
    out.append(16 - (size_t)(end - digits), '0');
    out.append(digits, end);
  }
  if (f.flags & kCtime) number("ctime", f.ctime);
  if (f.flags & kInode) number("inode", f.inode);
  return out;
}

// The lines of a text of the form, in their order, and what each sets.
struct Line {
  std::string_view key;
  bool (*read)(std::string_view value, Fields* f);
};

constexpr Line kLines[] = {
    {"name",
     [](std::string_view v, Fields* f) {
       f->name = v;
       f->flags |= kNameLiteral;
       return true;
     }},
    {"folder",
     [](std::string_view v, Fields* f) {
       f->folder = v;
       f->flags |= kFolder;
       return true;
     }},
    {"kind",
     [](std::string_view v, Fields* f) {
       f->flags |= kKindFolder;
       return v == "folder";
     }},
    {"mtime",
     [](std::string_view v, Fields* f) {
       f->flags |= kMtime;
       return Parse(v, &f->mtime);
     }},
    {"mode",
     [](std::string_view v, Fields* f) {
       f->flags |= kMode;
       return Parse(v, &f->mode, 8);
     }},
    {"size",
     [](std::string_view v, Fields* f) {
       f->flags |= kSize;
       return Parse(v, &f->size);
     }},
    {"records",
     [](std::string_view v, Fields* f) {
       f->flags |= v == "lines" ? kRecordsLines : kRecordsChunks;
       return v == "lines" || v == "chunks";
     }},
    {"newline",
     [](std::string_view v, Fields* f) {
       f->flags |= kNewline | (v == "yes" ? kNewlineYes : 0);
       return v == "yes" || v == "no";
     }},
    {"recfm",
     [](std::string_view v, Fields* f) {
       f->flags |= kRecfm;
       return Parse(v, &f->recfm);
     }},
    {"xxh3",
     [](std::string_view v, Fields* f) {
       f->flags |= kHash;
       return v.size() == 16 && Parse(v, &f->hash, 16);
     }},
    {"ctime",
     [](std::string_view v, Fields* f) {
       f->flags |= kCtime;
       return Parse(v, &f->ctime);
     }},
    {"inode",
     [](std::string_view v, Fields* f) {
       f->flags |= kInode;
       return Parse(v, &f->inode);
     }},
};

// Reads a text of the form into *f; false for any other text. (Numbers
// written otherwise than the form writes them are found when the fields
// are written again.)
bool ReadText(std::string_view text, Fields* f) {
  size_t next = 0;  // the first of kLines the next line may be
  return ForEachAttributeLine(
      text, [&](std::string_view key, std::string_view value) {
        while (next < std::size(kLines) && kLines[next].key != key) ++next;
        return next < std::size(kLines) && kLines[next++].read(value, f);
      });
}

}  // namespace

bool PackHostAttributes(std::string_view text, std::string_view entry_name,
                        std::string* packed) {
  Fields f;
  if (!ReadText(text, &f)) return false;
  // The name after the entry's own, where it starts with it.
  if ((f.flags & kNameMask) == kNameLiteral && !entry_name.empty()) {
    std::string_view name = f.name;
    if (name.substr(0, entry_name.size()) == entry_name) {
      f.flags = (uint16_t)((f.flags & ~kNameMask) | kNameAfterEntry);
      f.name.erase(0, entry_name.size());
    } else if (name.substr(0, entry_name.size()) == Lower(entry_name)) {
      f.flags = (uint16_t)((f.flags & ~kNameMask) | kNameAfterLowerEntry);
      f.name.erase(0, entry_name.size());
    }
  }
  std::string out;
  out.push_back((char)kPackedAttributesTag);
  PutFixed(f.flags, 2, &out);
  if (f.flags & kNameMask) {
    PutNumber(f.name.size(), &out);
    out += f.name;
  }
  if (f.flags & kFolder) {
    PutNumber(f.folder.size(), &out);
    out += f.folder;
  }
  if (f.flags & kMtime) PutSigned(f.mtime, &out);
  if (f.flags & kMode) PutNumber(f.mode, &out);
  if (f.flags & kSize) PutSigned(f.size, &out);
  if (f.flags & kRecfm) PutSigned(f.recfm, &out);
  if (f.flags & kHash) PutFixed(f.hash, 8, &out);
  if (f.flags & kCtime) {
    // The difference wraps as the sum that undoes it does.
    uint64_t base = f.flags & kMtime ? (uint64_t)f.mtime : 0;
    PutSigned((int64_t)((uint64_t)f.ctime - base), &out);
  }
  if (f.flags & kInode) PutNumber(f.inode, &out);
  PutFixed(Check((const uint8_t*)out.data(), out.size(), entry_name),
           kCheckBytes, &out);
  // Only a form that gives back the very bytes of the text is kept.
  std::string again, why;
  if (!UnpackHostAttributes(out.data(), out.size(), entry_name, &again, &why) ||
      again != text) {
    return false;
  }
  *packed = std::move(out);
  return true;
}

bool IsPackedHostAttributes(const void* data, size_t size) {
  return size > 0 && *(const uint8_t*)data == kPackedAttributesTag;
}

bool UnpackHostAttributes(const void* data, size_t size,
                          std::string_view entry_name, std::string* text,
                          std::string* why) {
  const uint8_t* bytes = (const uint8_t*)data;
  if (size < 3 + kCheckBytes || bytes[0] != kPackedAttributesTag) {
    *why = "they are not packed attributes";
    return false;
  }
  size_t body = size - kCheckBytes;
  uint32_t check = 0;
  for (size_t i = 0; i < kCheckBytes; ++i) {
    check |= (uint32_t)bytes[body + i] << (8 * i);
  }
  if (check != Check(bytes, body, entry_name)) {
    *why = "their check does not match (damaged, or packed for another entry)";
    return false;
  }
  Reader in(bytes + 1, body - 1);
  Fields f;
  uint64_t value = 0;
  bool ok = in.Fixed(2, &value);
  f.flags = (uint16_t)value;
  ok = ok && (f.flags & ~kKnownFlags) == 0 &&
       (f.flags & kRecordsMask) != kRecordsMask;
  if (ok && (f.flags & kNameMask)) ok = in.Bytes(&f.name);
  if (ok && (f.flags & kFolder)) ok = in.Bytes(&f.folder);
  if (ok && (f.flags & kMtime)) ok = in.Signed(&f.mtime);
  if (ok && (f.flags & kMode)) {
    ok = in.Number(&value) && value <= UINT32_MAX;
    f.mode = (uint32_t)value;
  }
  if (ok && (f.flags & kSize)) ok = in.Signed(&f.size);
  if (ok && (f.flags & kRecfm)) {
    int64_t recfm = 0;
    ok = in.Signed(&recfm) && recfm >= INT32_MIN && recfm <= INT32_MAX;
    f.recfm = (int32_t)recfm;
  }
  if (ok && (f.flags & kHash)) ok = in.Fixed(8, &f.hash);
  if (ok && (f.flags & kCtime)) {
    int64_t delta = 0;
    ok = in.Signed(&delta);
    uint64_t base = f.flags & kMtime ? (uint64_t)f.mtime : 0;
    f.ctime = (int64_t)(base + (uint64_t)delta);
  }
  if (ok && (f.flags & kInode)) ok = in.Number(&f.inode);
  if (!ok || !in.done()) {
    *why = "their packed fields do not read";
    return false;
  }
  // A value ends with its line: one that holds a newline is damage the
  // check let by, or an entry name no name of the text could start with.
  bool after_entry = (f.flags & kNameMask) == kNameAfterEntry ||
                     (f.flags & kNameMask) == kNameAfterLowerEntry;
  if (f.name.find('\n') != std::string::npos ||
      f.folder.find('\n') != std::string::npos ||
      (after_entry && entry_name.find('\n') != std::string_view::npos)) {
    *why = "their packed fields do not read";
    return false;
  }
  *text = Render(f, entry_name);
  return true;
}

std::string SealPackedHostAttributes(std::string_view body,
                                     std::string_view entry_name) {
  std::string out(body);
  PutFixed(Check((const uint8_t*)out.data(), out.size(), entry_name),
           kCheckBytes, &out);
  return out;
}

}  // namespace refhost
