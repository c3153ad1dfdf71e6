// An entry read for the mount, in order or, once the reader goes back,
// from a copy of it in a temporary file.

#include "cli/mount/entry_reader.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>

#include "cli/files/content.h"
#include "cli/reasons.h"
#include "cli/report.h"

namespace cli {

EntryReader::EntryReader(Session& session, EntryKey key,
                         const EntryFile& as_file)
    : session_(session), key_(std::move(key)), as_file_(as_file) {}

EntryReader::~EntryReader() {
  if (spool_ >= 0) close(spool_);
}

int EntryReader::Detach() {
  if (!open()) return 0;
  spool_ = TemporaryFile();
  if (spool_ < 0) return -errno;
  spool_start_ = position_;
  if (lseek(spool_, position_, SEEK_SET) != position_) return -errno;
  Output out(spool_);
  bool ok = piece_length_ == 0 || out.Put(piece_, piece_length_);
  const char* data;
  size_t length;
  while (ok && bytes_->Next(&data, &length)) {
    ok = length == 0 || out.Put(data, length);
  }
  int error = !ok || !out.Flush() ? -EIO : Failed();
  Close();
  return error;
}

int32_t EntryReader::Open() {
  Close();
  position_ = 0;
  piece_length_ = 0;
  fileref_ = std::make_unique<Fileref>(session_);
  directory_ = std::make_unique<Directory>(session_);
  entry_ = std::make_unique<EntryStream>(session_);
  int32_t st = fileref_->Assign(key_.libref + "." + key_.catalog, nullptr);
  if (st == 0) st = directory_->Open(*fileref_);
  if (st == 0) st = OpenAsWritten(*entry_, *directory_, key_, as_file_);
  if (st != 0) return st;
  bytes_ = std::make_unique<EntryBytes>(*entry_, as_file_.mapping,
                                        as_file_.attributes.final_newline);
  if (as_file_.known) bytes_->Expect(as_file_.attributes, key_.type);
  return 0;
}

int EntryReader::Read(char* data, size_t size, off_t offset) {
  if (spool_ >= 0 && offset < spool_start_) {
    // Behind where a detached reader stood: the start, read again.
    int error = Spool();
    if (error != 0) return error;
  }
  if (spool_ >= 0) return ReadSpool(data, size, offset);
  if (offset < position_) {
    int error = Spool();
    return error != 0 ? error : ReadSpool(data, size, offset);
  }
  while (position_ < offset) {
    char skip[4096];
    size_t want =
        static_cast<size_t>(std::min<int64_t>(sizeof skip, offset - position_));
    int n = Pull(skip, want);
    if (n <= 0) return n;
  }
  return Pull(data, size);
}

int EntryReader::CopyTo(int fd, int64_t* total) {
  Output out(fd);
  const char* data;
  size_t length;
  while (bytes_->Next(&data, &length)) {
    if (length > 0 && !out.Put(data, length)) break;
  }
  if (!out.Flush()) return -EIO;
  if (int error = Failed(); error != 0) return error;
  *total = out.written();
  return 0;
}

int EntryReader::Count(int64_t* total) {
  const char* data;
  size_t length;
  *total = 0;
  while (bytes_->Next(&data, &length)) *total += length;
  return Failed();
}

int EntryReader::Failed() {
  const Transfer& transfer = bytes_->transfer();
  if (!transfer.damage.empty()) {
    PrintError(key_.Path() + ": " + transfer.damage);
    return -EIO;
  }
  if (transfer.status == 0) return 0;
  session_.Fail(key_.Path(), transfer.status);
  return -ErrnoOf(session_.ReasonOf(transfer.status));
}

int EntryReader::Pull(char* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    if (piece_length_ == 0) {
      if (!bytes_->Next(&piece_, &piece_length_)) {
        if (int error = Failed(); error != 0) return error;
        break;
      }
      continue;
    }
    size_t n = std::min(piece_length_, size - done);
    std::memcpy(data + done, piece_, n);
    piece_ += n;
    piece_length_ -= n;
    done += n;
    position_ += static_cast<off_t>(n);
  }
  // The kernel reads no further than the size the file is shown with:
  // the read that reaches it looks for the end, or bytes past it.
  const std::optional<int64_t>& shown = as_file_.size;
  if (shown && position_ >= *shown && piece_length_ == 0) {
    while (bytes_->Next(&piece_, &piece_length_) && piece_length_ == 0) {
    }
    if (piece_length_ > 0) {
      PrintError(key_.Path() + ": the entry says it holds " +
                 std::to_string(*shown) +
                 " bytes, its records give more: the library is damaged");
      return -EIO;
    }
    if (int error = Failed(); error != 0) return error;
  }
  return static_cast<int>(done);
}

int EntryReader::Spool() {
  if (spool_ >= 0) close(spool_);
  spool_start_ = 0;
  spool_ = TemporaryFile();
  if (spool_ < 0) return -errno;
  int32_t st = Open();
  if (st != 0) return -ErrnoOf(session_.ReasonOf(st));
  int64_t total = 0;
  int error = CopyTo(spool_, &total);
  Close();  // the member is not needed any more
  return error;
}

void EntryReader::Close() {
  bytes_.reset();
  entry_.reset();
  directory_.reset();
  fileref_.reset();
}

int EntryReader::ReadSpool(char* data, size_t size, off_t offset) const {
  ssize_t n;
  do {
    n = pread(spool_, data, size, offset);
  } while (n < 0 && errno == EINTR);
  return n < 0 ? -errno : static_cast<int>(n);
}

}  // namespace cli
