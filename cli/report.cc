// Messages, results, tables, JSON text and the progress line.

#include "cli/report.h"

#include <fcntl.h>
#include <locale.h>
#include <time.h>
#include <unistd.h>
#include <wchar.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "refhost/util/utf8.h"

namespace cli {
namespace {

std::string g_command;
Verbosity g_verbosity = Verbosity::kNormal;
FILE* g_results = nullptr;  // null: standard output

// The first failure of a write to standard output (an errno).
int g_output_error = 0;
bool g_output_closed = false;  // the program started with it closed

ssize_t WriteStandardOutput(void*, const char* data, size_t size) {
  if (g_output_closed && size > 0) g_output_error = EBADF;
  if (g_output_error != 0) {
    errno = g_output_error;
    return -1;
  }
  for (size_t done = 0; done < size;) {
    ssize_t n = write(STDOUT_FILENO, data + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      g_output_error = n == 0 ? EIO : errno;
      errno = g_output_error;
      return -1;
    }
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(size);
}

int CloseStandardOutputFile(void*) {
  if (close(STDOUT_FILENO) != 0 && g_output_error == 0) g_output_error = errno;
  return g_output_error == 0 ? 0 : -1;
}

void WriteLine(FILE* stream, std::string_view line) {
  std::fwrite(line.data(), 1, line.size(), stream);
  std::fputc('\n', stream);
}

// wcwidth answers by the character tables of the locale; the program's own
// locale is left as it is (C), and the widths are asked of C.UTF-8.
int CharacterWidth(uint32_t point) {
  static locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
  if (utf8 == nullptr) return 1;
  locale_t previous = uselocale(utf8);
  int width = wcwidth(static_cast<wchar_t>(point));
  uselocale(previous);
  return width < 0 ? 1 : width;
}

}  // namespace

void SetCommand(std::string_view command) { g_command = command; }
const std::string& CurrentCommand() { return g_command; }
void SetVerbosity(Verbosity verbosity) { g_verbosity = verbosity; }
Verbosity CurrentVerbosity() { return g_verbosity; }

void PrintError(std::string_view text) {
  Progress::Clear();
  std::string line = "vuvorozo: ";
  if (!g_command.empty()) line += g_command + ": ";
  line += text;
  WriteLine(stderr, line);
}

void PrintWarning(std::string_view text) {
  if (g_verbosity == Verbosity::kQuiet) return;
  PrintError("warning: " + std::string(text));
}

void PrintResult(std::string_view line) {
  if (g_verbosity == Verbosity::kQuiet) return;
  Progress::Clear();
  WriteLine(g_results != nullptr ? g_results : stdout, line);
}

void PrintDetail(std::string_view line) {
  if (g_verbosity != Verbosity::kVerbose) return;
  Progress::Clear();
  WriteLine(g_results != nullptr ? g_results : stdout, line);
}

void ResultsToStandardError() { g_results = stderr; }

void CaptureStandardOutput() {
  // A standard stream the program was started without is held by
  // /dev/null, so that no file the program opens (a store, an export)
  // takes its number and receives what is printed; printing to standard
  // output then fails as it would have.
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    int null = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (null >= 0 && null != fd) {
      dup2(null, fd);
      close(null);
    }
    if (fd == STDOUT_FILENO) g_output_closed = true;
  }
  cookie_io_functions_t functions = {};
  functions.write = WriteStandardOutput;
  functions.close = CloseStandardOutputFile;
  FILE* stream = fopencookie(nullptr, "w", functions);
  if (stream == nullptr) return;  // the plain stream then, unchecked
  // Every line reaches its reader as it is finished, even on a file or a
  // pipe: a run that is stopped leaves the lines it printed.
  std::setvbuf(stream, nullptr, _IOLBF, 0);
  stdout = stream;
}

bool CloseStandardOutput(std::string* reason) {
  bool failed = std::ferror(stdout) != 0;
  if (std::fclose(stdout) != 0) failed = true;
  stdout = nullptr;
  if (!failed) return true;
  *reason = g_output_error != 0 ? SystemError(g_output_error)
                                : std::string("cannot be written");
  return false;
}

void DebugLog(std::string_view line) {
  const char* path = std::getenv("VUVOROZO_DEBUG_LOG");
  if (path == nullptr || *path == '\0') return;
  FILE* log = std::fopen(path, "a");
  if (log == nullptr) return;
  std::fprintf(log, "%ld %s: %.*s\n", static_cast<long>(getpid()),
               g_command.c_str(), static_cast<int>(line.size()), line.data());
  std::fclose(log);
}

std::string SystemError() { return SystemError(errno); }
std::string SystemError(int error) { return std::strerror(error); }

size_t DisplayWidth(std::string_view text) {
  size_t width = 0;
  for (size_t at = 0; at < text.size();) {
    // ASCII takes one column, a control character too (wcwidth's -1), in
    // every locale: most names are ASCII and ask no table.
    if (static_cast<unsigned char>(text[at]) < 0x80) {
      ++width;
      ++at;
      continue;
    }
    std::string_view rest = text.substr(at);
    size_t length = refhost::Utf8CharacterLength(rest);
    if (length == 0) {
      ++width;
      ++at;
      continue;
    }
    width += CharacterWidth(refhost::Utf8CodePoint(rest, length));
    at += length;
  }
  return width;
}

// ---------------------------------------------------------------------------

Table::Table(std::vector<std::string> headings) {
  Measure(headings);
  rows_.push_back(std::move(headings));
}

void Table::Add(std::vector<std::string> row) {
  Measure(row);
  rows_.push_back(std::move(row));
}

void Table::Measure(const std::vector<std::string>& row) {
  if (widths_.size() < row.size()) widths_.resize(row.size(), 0);
  for (size_t i = 0; i < row.size(); ++i) {
    widths_[i] = std::max(widths_[i], DisplayWidth(row[i]));
  }
}

void Table::Print() const {
  for (const auto& row : rows_) PrintRow(row);
}

void Table::PrintRow(const std::vector<std::string>& row) const {
  std::string line;
  for (size_t i = 0; i < row.size(); ++i) {
    size_t width = i < widths_.size() ? widths_[i] : 0;
    size_t shown = DisplayWidth(row[i]);
    size_t pad = width > shown ? width - shown : 0;
    bool right = std::find(right_.begin(), right_.end(), i) != right_.end();
    if (right) line.append(pad, ' ');
    line += row[i];
    if (!right && i + 1 < row.size()) line.append(pad, ' ');
    if (i + 1 < row.size()) line += "  ";
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  WriteLine(stdout, line);
}

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (size_t at = 0; at < text.size();) {
    std::string_view rest = text.substr(at);
    size_t length = refhost::Utf8CharacterLength(rest);
    if (length == 0) {
      out += "\\ufffd";
      ++at;
      continue;
    }
    uint32_t point = refhost::Utf8CodePoint(rest, length);
    if (point == '"' || point == '\\') {
      out += '\\';
      out += rest[0];
    } else if (point < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", point);
      out += escape;
    } else {
      out.append(rest.substr(0, length));
    }
    at += length;
  }
  return out + "\"";
}

std::string TableTime(int64_t micros) {
  time_t seconds = static_cast<time_t>(micros / 1000000);
  struct tm local;
  if (localtime_r(&seconds, &local) == nullptr) return "-";
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &local);
  return text;
}

std::string JsonTime(int64_t micros) {
  time_t seconds = static_cast<time_t>(micros / 1000000);
  struct tm utc;
  if (gmtime_r(&seconds, &utc) == nullptr) return "null";
  char text[48];
  size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(text + n, sizeof text - n, ".%06dZ",
                static_cast<int>(micros % 1000000));
  return std::string("\"") + text + "\"";
}

// ---------------------------------------------------------------------------

namespace {

using Clock = std::chrono::steady_clock;

struct ProgressState {
  bool active = false;
  bool drawn = false;  // a line stands on the terminal now
  std::string what;
  int64_t total = 0;
  int64_t done = 0;
  int64_t bytes = 0;
  Clock::time_point start;
  Clock::time_point last_draw;
};
ProgressState g_progress;

std::string Size(double bytes) {
  static constexpr const char* kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  int unit = 0;
  while (bytes >= 1024 && unit < 4) {
    bytes /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes,
                kUnits[unit]);
  return text;
}

void Draw(bool force) {
  ProgressState& p = g_progress;
  Clock::time_point now = Clock::now();
  if (!force && p.drawn && now - p.last_draw < std::chrono::milliseconds(100)) {
    return;
  }
  p.last_draw = now;
  double seconds = std::chrono::duration<double>(now - p.start).count();
  std::string line = p.what + ": ";
  if (p.total > 0) {
    line += std::to_string(p.done) + " of " + std::to_string(p.total) + ", ";
  }
  line += Size(static_cast<double>(p.bytes));
  if (seconds > 0.05) {
    line += ", " + Size(p.bytes / seconds) + "/s";
  }
  std::fprintf(stderr, "\r\033[K%s", line.c_str());
  std::fflush(stderr);
  p.drawn = true;
}

}  // namespace

bool Progress::Shown() {
  return g_verbosity != Verbosity::kQuiet && isatty(STDERR_FILENO) == 1;
}

void Progress::Begin(std::string_view what, int64_t total_items) {
  if (!Shown()) return;
  g_progress = ProgressState();
  g_progress.active = true;
  g_progress.what = what;
  g_progress.total = total_items;
  g_progress.start = Clock::now();
  Draw(true);
}

void Progress::ItemDone() {
  if (!g_progress.active) return;
  ++g_progress.done;
  Draw(false);
}

void Progress::AddTotal(int64_t items) {
  if (!g_progress.active) return;
  g_progress.total += items;
  Draw(false);
}

void Progress::AddBytes(int64_t bytes) {
  if (!g_progress.active) return;
  g_progress.bytes += bytes;
  Draw(false);
}

void Progress::Clear() {
  if (!g_progress.drawn) return;
  std::fputs("\r\033[K", stderr);
  g_progress.drawn = false;
}

void Progress::End() {
  if (!g_progress.active) return;
  Draw(true);
  Clear();
  g_progress.active = false;
}

// ---------------------------------------------------------------------------

namespace {

// Edits from a to b: insertions, deletions, substitutions, and a swap of
// two neighbours, each counting one.
size_t Distance(const std::string& a, const std::string& b) {
  std::vector<std::vector<size_t>> d(a.size() + 1,
                                     std::vector<size_t>(b.size() + 1));
  for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    for (size_t j = 1; j <= b.size(); ++j) {
      size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
      d[i][j] =
          std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[a.size()][b.size()];
}

std::string Folded(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

}  // namespace

std::string Closest(std::string_view word,
                    const std::vector<std::string>& candidates) {
  std::string folded = Folded(word);
  // One slip in a short word, two in a longer one; never a word that is
  // mostly different.
  size_t allowed = folded.size() <= 4 ? 1 : 2;
  std::string best;
  size_t best_distance = allowed + 1;
  for (const std::string& candidate : candidates) {
    size_t d = Distance(folded, Folded(candidate));
    if (d < best_distance && d < candidate.size()) {
      best = candidate;
      best_distance = d;
    }
  }
  return best;
}

std::string DidYouMean(std::string_view word,
                       const std::vector<std::string>& candidates) {
  std::string best = Closest(word, candidates);
  return best.empty() ? "" : " (did you mean '" + best + "'?)";
}

}  // namespace cli
