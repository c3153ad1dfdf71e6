// Formatting, parsing, reading and writing the manifest.

#include "cli/files/manifest.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "cli/files/content.h"
#include "cli/files/file_names.h"

namespace cli {
namespace {

constexpr char kHeading[] =
    "# vuvorozo manifest 1: file, entry, description; tab-separated\n";
// A manifest larger than this is not one the program wrote.
constexpr size_t kLargestManifest = 16 << 20;

void AppendField(std::string_view text, std::string* out) {
  for (char c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    switch (c) {
      case '\t':
        *out += "\\t";
        break;
      case '\n':
        *out += "\\n";
        break;
      case '\r':
        *out += "\\r";
        break;
      case '\\':
        *out += "\\\\";
        break;
      default:
        if (u < 0x20 || u == 0x7F) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\x%02X", u);
          *out += escape;
        } else {
          *out += c;
        }
    }
  }
}

bool ParseField(std::string_view text, std::string* out) {
  out->clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      *out += text[i];
      continue;
    }
    if (++i >= text.size()) return false;
    switch (text[i]) {
      case 't':
        *out += '\t';
        break;
      case 'n':
        *out += '\n';
        break;
      case 'r':
        *out += '\r';
        break;
      case '\\':
        *out += '\\';
        break;
      case 'x': {
        unsigned value = 0;
        const char* digits = text.data() + i + 1;
        if (text.size() - i < 3 ||
            std::from_chars(digits, digits + 2, value, 16).ptr != digits + 2) {
          return false;
        }
        *out += static_cast<char>(value);
        i += 2;
        break;
      }
      default:
        return false;
    }
  }
  return true;
}

}  // namespace

std::string ManifestHeading() { return std::string(kHeading); }

void AppendManifestLine(const ManifestLine& line, std::string* out) {
  // A file name starting with '#' would read back as a comment.
  std::string_view file = line.file;
  if (!file.empty() && file[0] == '#') {
    *out += "\\x23";
    file.remove_prefix(1);
  }
  AppendField(file, out);
  *out += '\t';
  AppendField(line.entry, out);
  *out += '\t';
  AppendField(line.description, out);
  *out += '\n';
}

std::string FormatManifest(const std::vector<ManifestLine>& lines) {
  std::string out = kHeading;
  for (const ManifestLine& line : lines) AppendManifestLine(line, &out);
  return out;
}

std::map<std::string, ManifestLine> ParseManifest(std::string_view text,
                                                  int* bad) {
  std::map<std::string, ManifestLine> lines;
  *bad = 0;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view()
                                         : text.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line[0] == '#') continue;
    size_t first = line.find('\t');
    size_t second =
        first == std::string_view::npos ? first : line.find('\t', first + 1);
    ManifestLine parsed;
    if (second == std::string_view::npos ||
        !ParseField(line.substr(0, first), &parsed.file) ||
        !ParseField(line.substr(first + 1, second - first - 1),
                    &parsed.entry) ||
        !ParseField(line.substr(second + 1), &parsed.description)) {
      ++*bad;
      continue;
    }
    std::string file = parsed.file;
    lines[file] = std::move(parsed);
  }
  return lines;
}

bool ReadManifest(int folder, std::map<std::string, ManifestLine>* lines,
                  int* bad, std::string* error) {
  lines->clear();
  *bad = 0;
  int fd = openat(folder, std::string(kManifestName).c_str(),
                  O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ENOENT) return true;
    *error =
        errno == ELOOP ? "a link, which is not followed" : std::strerror(errno);
    return false;
  }
  // A FIFO or a device would read as nothing, or as anything.
  struct stat st;
  if (fstat(fd, &st) != 0) {
    *error = std::strerror(errno);
    close(fd);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    *error =
        S_ISDIR(st.st_mode) ? "a folder, not a file" : "not a regular file";
    close(fd);
    return false;
  }
  std::string text;
  char buffer[65536];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0 &&
         text.size() <= kLargestManifest) {
    text.append(buffer, static_cast<size_t>(n));
  }
  int read_errno = errno;
  close(fd);
  if (n < 0) {
    *error = std::strerror(read_errno);
    return false;
  }
  if (text.size() > kLargestManifest) {
    *error = "it is over 16 MB";
    return false;
  }
  *lines = ParseManifest(text, bad);
  return true;
}

bool WriteManifest(int folder, const std::vector<ManifestLine>& lines,
                   std::string* error) {
  size_t next = 0;
  return WriteManifest(
      folder,
      [&](std::string* text) {
        if (next >= lines.size()) return false;
        AppendManifestLine(lines[next++], text);
        return true;
      },
      error);
}

bool WriteManifest(int folder,
                   const std::function<bool(std::string* text)>& next,
                   std::string* error) {
  ExportFile file(folder, std::string(kManifestName));
  if (!file.Create()) {
    *error = file.error();
    return false;
  }
  Output out(file.fd());
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  std::string text = kHeading;
  bool ok = true;
  do {
    ok = out.Put(text.data(), text.size());
    text.clear();
  } while (ok && next(&text));
  if (!ok || !out.Flush()) {
    *error = out.error();
    return false;
  }
  int64_t now_ns = static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
  if (!file.Commit(0644, now_ns)) {
    *error = file.error();
    return false;
  }
  return true;
}

bool RemoveManifest(int folder, std::string* error) {
  if (unlinkat(folder, std::string(kManifestName).c_str(), 0) == 0 ||
      errno == ENOENT) {
    return true;
  }
  *error = std::strerror(errno);
  return false;
}

}  // namespace cli
