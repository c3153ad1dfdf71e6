// Content, Output and ExportFile over POSIX descriptors. Every call that
// can be interrupted is retried on EINTR.

#include "cli/files/content.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "refhost/host/file_attributes.h"

namespace cli {
namespace {

constexpr size_t kPieceBytes = 256 << 10;  // one read of a pass
constexpr size_t kFirstRoom = 64 << 10;    // Content's buffer at first
constexpr size_t kOutputBytes = 64 << 10;  // Output's buffer

std::string ErrorText() { return std::strerror(errno); }

ssize_t ReadSome(int fd, char* data, size_t length) {
  ssize_t n;
  do {
    n = read(fd, data, length);
  } while (n < 0 && errno == EINTR);
  return n;
}

ssize_t ReadAt(int fd, char* data, size_t length, off_t at) {
  ssize_t n;
  do {
    n = pread(fd, data, length, at);
  } while (n < 0 && errno == EINTR);
  return n;
}

}  // namespace

bool WriteAll(int fd, const char* data, size_t length) {
  return WriteAllAt(fd, data, length, -1);
}

bool WriteAllAt(int fd, const char* data, size_t length, off_t at) {
  while (length > 0) {
    ssize_t n = at < 0 ? write(fd, data, length) : pwrite(fd, data, length, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    data += n;
    length -= static_cast<size_t>(n);
    if (at >= 0) at += n;
  }
  return true;
}

std::string TemporaryFolder() {
  const char* folder = std::getenv("TMPDIR");
  return folder != nullptr && *folder != '\0' ? folder : "/tmp";
}

int TemporaryFile() {
  std::string path = TemporaryFolder();
  int fd = open(path.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != ENOENT))
    return fd;
  // A file system without O_TMPFILE: a named file, unlinked at once.
  std::string pattern = path + "/vuvorozo-XXXXXX";
  fd = mkostemp(pattern.data(), O_CLOEXEC);
  if (fd >= 0) unlink(pattern.c_str());
  return fd;
}

int OpenFolder(const std::string& path) {
  return open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

int OpenFolderIn(int folder, const std::string& name) {
  return openat(folder, name.c_str(),
                O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

int OpenFileIn(int folder, const std::string& name) {
  // Not blocking: a name that became a pipe since it was listed must not
  // hang the program.
  return openat(folder, name.c_str(),
                O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
}

int OpenFileNoLinkIn(int folder, const std::string& name) {
  return openat(folder, name.c_str(),
                O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
}

bool NameIn(int folder, const std::string& name) {
  struct stat st;
  return fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

bool MakeFolderIn(int folder, const std::string& name) {
  return mkdirat(folder, name.c_str(), 0777) == 0 || errno == EEXIST;
}

FolderChain::~FolderChain() = default;

std::shared_ptr<const Descriptor> FolderChain::Held() const {
  if (chain_.empty()) return nullptr;
  return chain_.back().second;
}

int FolderChain::Enter(std::string_view path, bool make) {
  std::vector<std::string> names;
  for (size_t start = 0; start < path.size();) {
    size_t slash = path.find('/', start);
    if (slash == std::string_view::npos) slash = path.size();
    names.emplace_back(path.substr(start, slash - start));
    start = slash + 1;
  }
  size_t same = 0;
  while (same < chain_.size() && same < names.size() &&
         chain_[same].first == names[same]) {
    ++same;
  }
  chain_.resize(same);
  for (size_t i = same; i < names.size(); ++i) {
    int parent = chain_.empty() ? root_ : chain_.back().second->get();
    if (make && mkdirat(parent, names[i].c_str(), 0777) != 0 &&
        errno != EEXIST) {
      return -1;
    }
    int fd = OpenFolderIn(parent, names[i]);
    if (fd < 0) return -1;
    chain_.emplace_back(names[i], std::make_shared<Descriptor>(fd));
  }
  return chain_.empty() ? root_ : chain_.back().second->get();
}

namespace {

Found Classify(int folder, const struct dirent* e, bool follow_links) {
  Found found;
  found.name = e->d_name;
  if (e->d_type == DT_REG) {
    found.kind = Found::kFile;
    return found;
  }
  if (e->d_type == DT_DIR) {
    found.kind = Found::kFolder;
    return found;
  }
  struct stat st;
  if (fstatat(folder, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    found.reason = ErrorText();
    return found;
  }
  bool link = S_ISLNK(st.st_mode);
  if (link && !follow_links) {
    found.kind = Found::kLink;
    return found;
  }
  if (link && fstatat(folder, e->d_name, &st, 0) != 0) {
    found.reason = "a link to nothing that can be read (" + ErrorText() + ")";
    return found;
  }
  if (S_ISREG(st.st_mode)) {
    found.kind = Found::kFile;
  } else if (S_ISDIR(st.st_mode)) {
    found.kind = link ? Found::kLinkToFolder : Found::kFolder;
  } else {
    found.reason = "not a regular file";
  }
  return found;
}

}  // namespace

bool ListFolder(int folder, std::vector<Found>* found, std::string* error,
                bool follow_links) {
  return ListFolder(
      folder, [&](Found&& f) { found->push_back(std::move(f)); }, error,
      follow_links);
}

bool ListFolder(int folder, const std::function<void(Found&& found)>& each,
                std::string* error, bool follow_links) {
  int fd = dup(folder);
  DIR* dir = fd < 0 ? nullptr : fdopendir(fd);
  if (dir == nullptr) {
    *error = ErrorText();
    if (fd >= 0) close(fd);
    return false;
  }
  errno = 0;
  while (const struct dirent* e = readdir(dir)) {
    std::string_view name = e->d_name;
    if (name != "." && name != "..") each(Classify(folder, e, follow_links));
    errno = 0;
  }
  bool ok = errno == 0;
  if (!ok) *error = ErrorText();
  closedir(dir);
  return ok;
}

Descriptor::~Descriptor() {
  if (fd_ >= 0) close(fd_);
}

namespace {

FileStamp StampOf(const struct stat& st) {
  auto ns = [](const struct timespec& t) {
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
  };
  return FileStamp{.size = static_cast<int64_t>(st.st_size),
                   .modified_ns = ns(st.st_mtim),
                   .changed_ns = ns(st.st_ctim)};
}

}  // namespace

bool StampOf(int fd, FileStamp* stamp) {
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  *stamp = StampOf(st);
  return true;
}

Content::~Content() { DropSpool(); }

bool Content::Same(int fd, int64_t total) const {
  if (!expected_) return true;
  FileStamp now;
  if (StampOf(fd, &now) && now == *expected_ &&
      total == expected_->size - start_) {
    return true;
  }
  changed_ = true;
  return false;
}

void Content::DropSpool() {
  if (spool_ >= 0) close(spool_);
  spool_ = -1;
}

bool Content::Room(size_t want) const {
  want = std::min(want, kWholeContentBytes);
  if (capacity_ >= want) return capacity_ > size_;
  size_t capacity = std::max(capacity_, kFirstRoom);
  while (capacity < want) capacity = std::min(capacity * 2, kWholeContentBytes);
  std::unique_ptr<char[]> bigger(new char[capacity]);
  if (size_ > 0) std::memcpy(bigger.get(), buffer_.get(), size_);
  buffer_ = std::move(bigger);
  capacity_ = capacity;
  return true;
}

bool Content::Load(int fd, std::string* error, const FileStamp* first) {
  DropSpool();
  fd_ = -1;
  size_ = 0;
  start_ = 0;
  expected_.reset();
  changed_ = false;
  struct stat st;
  if (fstat(fd, &st) != 0) {
    *error = ErrorText();
    return false;
  }
  FileStamp stamp = StampOf(st);
  bool regular = S_ISREG(st.st_mode);
  off_t start = regular ? lseek(fd, 0, SEEK_CUR) : 0;
  if (start < 0) start = 0;
  start_ = start;
  if (regular && first != nullptr) {
    expected_ = *first;
    if (!(stamp == *first)) {
      changed_ = true;
      *error = kChangedWhileRead;
      return false;
    }
  }
  // A regular file larger than the buffer is not read now at all; each
  // pass holds it to the stamp it has now.
  if (regular && st.st_size - start > static_cast<off_t>(kWholeContentBytes)) {
    if (!expected_) expected_ = stamp;
    fd_ = fd;
    return true;
  }
  // A regular file's buffer fits its size (and the read that finds its
  // end); a stream's grows as it gives more.
  Room(regular && st.st_size > start
           ? static_cast<size_t>(st.st_size - start) + 1
           : kFirstRoom);
  while (size_ < capacity_ || Room(size_ + 1)) {
    ssize_t n = ReadSome(fd, buffer_.get() + size_, capacity_ - size_);
    if (n < 0) {
      *error = ErrorText();
      return false;
    }
    if (n == 0) {
      if (regular && !Same(fd, static_cast<int64_t>(size_))) {
        *error = kChangedWhileRead;
        return false;
      }
      return true;
    }
    size_ += static_cast<size_t>(n);
  }
  // More than the buffer holds: a file that grew since its size was taken
  // is read in passes after all (and fails them when it is held to its
  // stamp); a stream goes to a temporary file, what was read first.
  if (regular) {
    if (!expected_) expected_ = stamp;
    fd_ = fd;
    return true;
  }
  spool_ = TemporaryFile();
  bool ok = spool_ >= 0 && WriteAll(spool_, buffer_.get(), size_);
  while (ok) {
    ssize_t n = ReadSome(fd, buffer_.get(), capacity_);
    if (n < 0) {
      *error = ErrorText();
      return false;
    }
    if (n == 0) break;
    ok = WriteAll(spool_, buffer_.get(), static_cast<size_t>(n));
  }
  if (!ok) {
    *error = "cannot keep the input in a temporary file: " + ErrorText();
    return false;
  }
  fd_ = spool_;
  start_ = 0;
  return true;
}

bool Content::LoadFrom(const Source& source, std::string* error) {
  DropSpool();
  fd_ = -1;
  size_ = 0;
  expected_.reset();
  changed_ = false;
  Room(kFirstRoom);
  while (size_ < capacity_ || Room(size_ + 1)) {
    size_t got = 0;
    if (!source(buffer_.get() + size_, capacity_ - size_, &got, error)) {
      return false;
    }
    if (got == 0) return true;
    size_ += got;
  }
  // More than the buffer holds: what was read first, then the rest, go to
  // a temporary file.
  spool_ = TemporaryFile();
  bool ok = spool_ >= 0 && WriteAll(spool_, buffer_.get(), size_);
  while (ok) {
    size_t got = 0;
    if (!source(buffer_.get(), capacity_, &got, error)) return false;
    if (got == 0) break;
    ok = WriteAll(spool_, buffer_.get(), got);
  }
  if (!ok) {
    *error = "cannot keep the input in a temporary file: " + ErrorText();
    return false;
  }
  fd_ = spool_;
  start_ = 0;
  return true;
}

bool Content::Pass(const Piece& piece, int64_t* total,
                   std::string* error) const {
  *total = 0;
  if (fd_ < 0) {
    *total = static_cast<int64_t>(size_);
    if (size_ > 0) piece(buffer_.get(), size_);
    return true;
  }
  // Passes over a file use the buffer a piece at a time.
  Room(kPieceBytes);
  off_t at = start_;
  char* data = buffer_.get();
  while (true) {
    ssize_t n = ReadAt(fd_, data, kPieceBytes, at);
    if (n < 0) {
      *error = ErrorText();
      return false;
    }
    if (n == 0) {
      if (fd_ != spool_ && !Same(fd_, *total)) {
        *error = kChangedWhileRead;
        return false;
      }
      return true;
    }
    at += n;
    *total += n;
    if (!piece(data, static_cast<size_t>(n))) return true;
  }
}

// ---------------------------------------------------------------------------

Output::Output(int fd) : fd_(fd), buffer_(new char[kOutputBytes]) {}

Output::Output(std::string* into) : into_(into) {}

Output::~Output() = default;

bool Output::WriteOut(const char* data, size_t length) {
  if (!error_.empty()) return false;
  if (!WriteAll(fd_, data, length)) {
    error_ = ErrorText();
    return false;
  }
  return true;
}

bool Output::Put(const char* data, size_t length) {
  written_ += static_cast<int64_t>(length);
  if (into_ != nullptr) {
    into_->append(data, length);
    return true;
  }
  if (used_ + length <= kOutputBytes) {
    std::memcpy(buffer_.get() + used_, data, length);
    used_ += length;
    return error_.empty();
  }
  if (!Flush()) return false;
  if (length >= kOutputBytes) {
    if (hash_ != nullptr) hash_->Add(data, length);
    return WriteOut(data, length);
  }
  std::memcpy(buffer_.get(), data, length);
  used_ = length;
  return true;
}

bool Output::PutLine(const char* data, size_t length) {
  if (into_ == nullptr && used_ + 1 + length <= kOutputBytes) {
    written_ += static_cast<int64_t>(1 + length);
    buffer_[used_] = '\n';
    std::memcpy(buffer_.get() + used_ + 1, data, length);
    used_ += 1 + length;
    return error_.empty();
  }
  if (into_ != nullptr) {
    written_ += static_cast<int64_t>(1 + length);
    into_->push_back('\n');
    into_->append(data, length);
    return true;
  }
  return Put("\n", 1) && Put(data, length);
}

void Output::HashInto(refhost::ContentHash* hash) {
  // What was put before is not the hash's.
  hash_ = hash;
  hashed_ = into_ != nullptr ? into_->size() : used_;
}

bool Output::Flush() {
  if (into_ != nullptr) {
    if (hash_ != nullptr) {
      hash_->Add(into_->data() + hashed_, into_->size() - hashed_);
    }
    hashed_ = into_->size();
    return true;
  }
  size_t n = used_;
  used_ = 0;
  if (hash_ != nullptr) hash_->Add(buffer_.get() + hashed_, n - hashed_);
  hashed_ = 0;
  return n == 0 ? error_.empty() : WriteOut(buffer_.get(), n);
}

// ---------------------------------------------------------------------------

ExportFile::ExportFile(int folder, std::string name)
    : folder_(folder), name_(std::move(name)) {}

ExportFile::~ExportFile() {
  if (fd_ >= 0) close(fd_);
  if (!temporary_.empty()) unlinkat(folder_, temporary_.c_str(), 0);
  if (direct_) unlinkat(folder_, name_.c_str(), 0);
}

bool ExportFile::Create() {
  constexpr int kFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  fd_ = openat(folder_, name_.c_str(), kFlags, 0600);
  if (fd_ >= 0) {
    direct_ = true;
    return true;
  }
  if (errno != EEXIST) {
    error_ = ErrorText();
    return false;
  }
  static unsigned serial = 0;
  for (int tries = 0; tries < 100; ++tries) {
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, "%ld-%u", static_cast<long>(getpid()),
                  ++serial);
    std::string temporary = std::string(kTemporaryPrefix) + suffix;
    fd_ = openat(folder_, temporary.c_str(), kFlags, 0600);
    if (fd_ >= 0) {
      temporary_ = temporary;
      return true;
    }
    if (errno != EEXIST) break;
  }
  error_ = ErrorText();
  return false;
}

bool ExportFile::Commit(uint32_t mode, int64_t modified_ns) {
  struct timespec times[2];
  int64_t seconds = modified_ns / 1000000000;
  int64_t nanos = modified_ns % 1000000000;
  if (nanos < 0) {
    nanos += 1000000000;
    --seconds;
  }
  times[0].tv_sec = static_cast<time_t>(seconds);
  times[0].tv_nsec = static_cast<long>(nanos);
  times[1] = times[0];
  // The permission bits only: set-user-ID and the like are not given to a
  // file whose content came from a catalog that others may have written.
  bool ok = fchmod(fd_, mode & 0777) == 0 && futimens(fd_, times) == 0;
  if (!ok) error_ = ErrorText();
  if (close(fd_) != 0 && ok) {
    ok = false;
    error_ = ErrorText();
  }
  fd_ = -1;
  if (!ok) return false;
  if (direct_) {
    direct_ = false;
    return true;
  }
  // rename replaces whatever has the target name, a link included, and
  // never follows it.
  if (renameat(folder_, temporary_.c_str(), folder_, name_.c_str()) != 0) {
    error_ = ErrorText();
    return false;
  }
  temporary_.clear();
  return true;
}

}  // namespace cli
