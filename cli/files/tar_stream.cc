// The ustar header: 512 bytes, numbers in octal text, a checksum over the
// header with its own field taken as blanks.

#include "cli/files/tar_stream.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "cli/files/content.h"
#include "cli/report.h"

namespace cli {
namespace {

constexpr size_t kBlock = 512;
// Offsets and sizes of the ustar fields the stream fills.
constexpr size_t kNameAt = 0, kNameSize = 100;
constexpr size_t kModeAt = 100;
constexpr size_t kUidAt = 108, kGidAt = 116;
constexpr size_t kSizeAt = 124, kSizeSize = 12;
constexpr size_t kTimeAt = 136, kTimeSize = 12;
constexpr size_t kChecksumAt = 148, kChecksumSize = 8;
constexpr size_t kTypeAt = 156;
constexpr size_t kMagicAt = 257;  // "ustar\0" then version "00"
constexpr size_t kPrefixAt = 345, kPrefixSize = 155;
// The largest size the 11 octal digits of the size field hold.
constexpr int64_t kMaxUstarSize = (int64_t{1} << 33) - 1;

// value as size - 1 octal digits and a NUL.
void Octal(char* field, size_t size, int64_t value) {
  uint64_t rest = static_cast<uint64_t>(value);
  field[size - 1] = '\0';
  for (size_t i = size - 1; i > 0; --i) {
    field[i - 1] = static_cast<char>('0' + (rest & 7));
    rest >>= 3;
  }
}

// A pax record: "<length> key=value\n", the length counting itself.
std::string PaxRecord(std::string_view key, std::string_view value) {
  size_t body = key.size() + value.size() + 3;  // blank, '=', newline
  size_t length = body + 1;
  while (std::to_string(length).size() + body != length) ++length;
  return std::to_string(length) + " " + std::string(key) + "=" +
         std::string(value) + "\n";
}

// Splits path into the ustar prefix and name fields; false when it does not
// fit them.
bool SplitPath(std::string_view path, std::string_view* prefix,
               std::string_view* name) {
  if (path.size() <= kNameSize) {
    *prefix = {};
    *name = path;
    return true;
  }
  for (size_t slash = path.find('/'); slash != std::string_view::npos;
       slash = path.find('/', slash + 1)) {
    if (slash <= kPrefixSize && path.size() - slash - 1 <= kNameSize &&
        slash + 1 < path.size()) {
      *prefix = path.substr(0, slash);
      *name = path.substr(slash + 1);
      return true;
    }
  }
  return false;
}

}  // namespace

bool TarStream::Write(const char* data, size_t length) {
  if (!error_.empty()) return false;
  if (!WriteAll(fd_, data, length)) {
    error_ = SystemError();
    return false;
  }
  return true;
}

bool TarStream::Pad(int64_t size) {
  static const char kZeros[kBlock] = {};
  size_t rest = static_cast<size_t>(size % kBlock);
  return rest == 0 || Write(kZeros, kBlock - rest);
}

bool TarStream::Header(std::string_view path, char type, uint32_t mode,
                       int64_t modified_ns, int64_t size) {
  int64_t seconds = modified_ns / 1000000000;
  int64_t nanos = modified_ns % 1000000000;
  if (nanos < 0) {
    nanos += 1000000000;
    --seconds;
  }
  std::string_view prefix, name;
  bool fits = SplitPath(path, &prefix, &name);
  std::string pax;
  if (!fits) pax += PaxRecord("path", path);
  if (size > kMaxUstarSize) pax += PaxRecord("size", std::to_string(size));
  if (nanos != 0 || seconds < 0) {
    char time[48];
    std::snprintf(time, sizeof time, "%lld.%09lld",
                  static_cast<long long>(seconds),
                  static_cast<long long>(nanos));
    pax += PaxRecord("mtime", time);
  }
  if (!pax.empty()) {
    if (!Header("PaxHeaders/member", 'x', 0644, 0,
                static_cast<int64_t>(pax.size())) ||
        !Write(pax.data(), pax.size()) ||
        !Pad(static_cast<int64_t>(pax.size()))) {
      return false;
    }
  }
  char block[kBlock] = {};
  if (!fits) {
    // The pax path stands; the ustar name keeps its last part for readers
    // without pax.
    std::string_view tail = path.substr(path.size() - kNameSize);
    prefix = {};
    name = tail;
  }
  // An empty view may hold no address at all: nothing to copy then.
  if (!name.empty()) std::memcpy(block + kNameAt, name.data(), name.size());
  if (!prefix.empty()) {
    std::memcpy(block + kPrefixAt, prefix.data(), prefix.size());
  }
  Octal(block + kModeAt, 8, mode & 07777);
  Octal(block + kUidAt, 8, 0);
  Octal(block + kGidAt, 8, 0);
  Octal(block + kSizeAt, kSizeSize, size > kMaxUstarSize ? 0 : size);
  Octal(block + kTimeAt, kTimeSize, seconds < 0 ? 0 : seconds);
  block[kTypeAt] = type;
  std::memcpy(block + kMagicAt,
              "ustar\0"
              "00",
              8);
  std::memset(block + kChecksumAt, ' ', kChecksumSize);
  unsigned sum = 0;
  for (unsigned char c : block) sum += c;
  Octal(block + kChecksumAt, 7, sum);  // six digits, NUL, then a blank
  block[kChecksumAt + 7] = ' ';
  return Write(block, kBlock);
}

bool TarStream::AddFolder(std::string_view path, uint32_t mode,
                          int64_t modified_ns) {
  std::string folder(path);
  if (folder.empty() || folder.back() != '/') folder += '/';
  return Header(folder, '5', mode, modified_ns, 0);
}

bool TarStream::AddFile(std::string_view path, uint32_t mode,
                        int64_t modified_ns, int source, int64_t size) {
  if (!Header(path, '0', mode, modified_ns, size)) return false;
  constexpr size_t kPiece = 256 << 10;
  std::unique_ptr<char[]> buffer(new char[kPiece]);
  int64_t at = 0;
  while (at < size) {
    size_t want = static_cast<size_t>(std::min<int64_t>(kPiece, size - at));
    ssize_t n = pread(source, buffer.get(), want, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error_ = n == 0 ? "the file shrank while it was written" : SystemError();
      return false;
    }
    if (!Write(buffer.get(), static_cast<size_t>(n))) return false;
    at += n;
  }
  return Pad(size);
}

bool TarStream::AddText(std::string_view path, std::string_view text,
                        uint32_t mode, int64_t modified_ns) {
  int64_t size = static_cast<int64_t>(text.size());
  return Header(path, '0', mode, modified_ns, size) &&
         Write(text.data(), text.size()) && Pad(size);
}

bool TarStream::Finish() {
  static const char kZeros[2 * kBlock] = {};
  return Write(kZeros, sizeof kZeros);
}

}  // namespace cli
