// Encoding and decoding of the file attributes, and the content hash.

#include "refhost/host/file_attributes.h"

#include <xxh_x86dispatch.h>
#include <xxhash.h>

#include <charconv>
#include <cstdio>
#include <new>

namespace refhost {
namespace {

constexpr std::string_view kHeader = "vuvorozo-file 1";

void AppendEscaped(std::string_view text, std::string* out) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (char c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < '!' || u > '~' || c == '%') {
      *out += '%';
      *out += kHex[u >> 4];
      *out += kHex[u & 15];
    } else {
      *out += c;
    }
  }
}

bool Unescape(std::string_view text, std::string* out) {
  out->clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      *out += text[i];
      continue;
    }
    unsigned value = 0;
    const char* digits = text.data() + i + 1;
    if (text.size() - i < 3 ||
        std::from_chars(digits, digits + 2, value, 16).ptr != digits + 2) {
      return false;
    }
    *out += static_cast<char>(value);
    i += 2;
  }
  return true;
}

template <typename T>
bool Number(std::string_view text, T* value, int base = 10) {
  const char* end = text.data() + text.size();
  auto [at, error] = std::from_chars(text.data(), end, *value, base);
  return error == std::errc() && at == end && !text.empty();
}

template <typename T>
void Line(std::string_view key, const T& value, std::string* out) {
  *out += '\n';
  *out += key;
  *out += '=';
  *out += std::to_string(value);
}

}  // namespace

std::string EncodeFileAttributes(const FileAttributes& a) {
  std::string out(kHeader);
  if (!a.file_name.empty()) {
    out += "\nname=";
    AppendEscaped(a.file_name, &out);
  }
  if (!a.folder.empty()) {
    out += "\nfolder=";
    AppendEscaped(a.folder, &out);
  }
  if (a.is_folder) out += "\nkind=folder";
  if (a.modified_ns) Line("mtime", *a.modified_ns, &out);
  if (a.mode) {
    char octal[16];
    std::snprintf(octal, sizeof octal, "%o", *a.mode);
    out += "\nmode=";
    out += octal;
  }
  if (a.size) Line("size", *a.size, &out);
  if (a.records) {
    out += *a.records == RecordMapping::kLines ? "\nrecords=lines"
                                               : "\nrecords=chunks";
  }
  out += a.final_newline ? "\nnewline=yes" : "\nnewline=no";
  if (a.record_format != 0) Line("recfm", a.record_format, &out);
  if (a.content_hash) {
    char hex[24];
    std::snprintf(hex, sizeof hex, "%016llx",
                  static_cast<unsigned long long>(*a.content_hash));
    out += "\nxxh3=";
    out += hex;
  }
  if (a.changed_ns) Line("ctime", *a.changed_ns, &out);
  if (a.inode) Line("inode", *a.inode, &out);
  return out;
}

bool ForEachAttributeLine(
    std::string_view text,
    const std::function<bool(std::string_view key, std::string_view value)>&
        line) {
  size_t end = text.find('\n');
  if (text.substr(0, end) != kHeader) return false;
  while (end != std::string_view::npos) {
    size_t start = end + 1;
    end = text.find('\n', start);
    std::string_view one = text.substr(
        start, end == std::string_view::npos ? text.npos : end - start);
    size_t equals = one.find('=');
    if (equals == std::string_view::npos) return false;
    if (!line(one.substr(0, equals), one.substr(equals + 1))) return false;
  }
  return true;
}

bool DecodeFileAttributes(std::string_view text, FileAttributes* attributes) {
  FileAttributes a;
  *attributes = a;
  bool read = ForEachAttributeLine(text, [&](std::string_view key,
                                             std::string_view value) {
    bool ok = true;
    if (key == "name") {
      ok = Unescape(value, &a.file_name);
    } else if (key == "folder") {
      ok = Unescape(value, &a.folder);
    } else if (key == "kind") {
      ok = value == "folder" || value == "file";
      a.is_folder = value == "folder";
    } else if (key == "mtime") {
      ok = Number(value, &a.modified_ns.emplace());
    } else if (key == "mode") {
      ok = Number(value, &a.mode.emplace(), 8);
    } else if (key == "size") {
      ok = Number(value, &a.size.emplace()) && *a.size >= 0;
    } else if (key == "records") {
      ok = value == "lines" || value == "chunks";
      a.records =
          value == "lines" ? RecordMapping::kLines : RecordMapping::kChunks;
    } else if (key == "newline") {
      ok = value == "yes" || value == "no";
      a.final_newline = value == "yes";
    } else if (key == "recfm") {
      ok = Number(value, &a.record_format) && a.record_format > 0;
    } else if (key == "xxh3") {
      ok = value.size() == 16 && Number(value, &a.content_hash.emplace(), 16);
    } else if (key == "ctime") {
      ok = Number(value, &a.changed_ns.emplace());
    } else if (key == "inode") {
      ok = Number(value, &a.inode.emplace());
    }
    return ok;
  });
  if (!read) return false;
  *attributes = std::move(a);
  return true;
}

ContentHash::ContentHash() : state_(XXH3_createState()) {
  if (state_ == nullptr) throw std::bad_alloc();
  XXH3_64bits_reset(static_cast<XXH3_state_t*>(state_));
}

ContentHash::~ContentHash() {
  XXH3_freeState(static_cast<XXH3_state_t*>(state_));
}

void ContentHash::AddLong(const void* data, size_t length) {
  auto* state = static_cast<XXH3_state_t*>(state_);
  XXH3_64bits_update(state, gather_, gathered_);
  gathered_ = 0;
  if (length < kGathered) {
    std::memcpy(gather_, data, length);
    gathered_ = length;
  } else {
    XXH3_64bits_update(state, data, length);
  }
}

uint64_t ContentHash::Value() {
  auto* state = static_cast<XXH3_state_t*>(state_);
  XXH3_64bits_update(state, gather_, gathered_);
  gathered_ = 0;
  return XXH3_64bits_digest(state);
}

}  // namespace refhost
