// The bytes of files as the program moves them, never held whole unless
// they are small. Content is the input of an entry (a file being imported,
// or standard input being written): read whole when it fits in a bounded
// buffer, else read from its file in passes (standard input that is not a
// file is first copied to a temporary file, so that it can be read twice:
// once to find its longest line, once to write it). Output is a buffered
// writer to a file descriptor, and ExportFile a file made in a folder
// safely: written under a temporary name and renamed over the target, never
// through a link.

#ifndef VUVOROZO_CLI_FILES_CONTENT_H_
#define VUVOROZO_CLI_FILES_CONTENT_H_

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace refhost {
class ContentHash;
}  // namespace refhost

namespace cli {

// A file descriptor, closed when it goes.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor();
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Folders, opened relative to one another. The module's headers declare a
// record named like one of <fcntl.h>, so the files that see those headers
// reach the open flags only through these.

// The folder at path, for reading names and making files in it; -1 with
// errno when it cannot be opened.
int OpenFolder(const std::string& path);
// The folder name inside folder; a link is not followed (-1, ELOOP or
// ENOTDIR).
int OpenFolderIn(int folder, const std::string& name);
// The file name inside folder, for reading; a link is followed to its file.
int OpenFileIn(int folder, const std::string& name);
// The same, never through a link (-1, ELOOP).
int OpenFileNoLinkIn(int folder, const std::string& name);
// Whether folder holds name (of any kind; a link is not followed).
bool NameIn(int folder, const std::string& name);
// Makes the folder name inside folder; true when it is there afterwards
// (made now or before).
bool MakeFolderIn(int folder, const std::string& name);

// The folders of a tree being written under a root folder, opened one
// name at a time relative to it and never through a link (a link where a
// folder should be fails with ELOOP or ENOTDIR): the chain to the folder
// entered last stays open, so that the files of one folder cost one open.
class FolderChain {
 public:
  explicit FolderChain(int root) : root_(root) {}
  ~FolderChain();
  FolderChain(const FolderChain&) = delete;
  FolderChain& operator=(const FolderChain&) = delete;
  // The folder at path ("" the root), made where absent when make is set.
  // -1 with errno when it cannot be.
  int Enter(std::string_view path, bool make);
  // The folder Enter gave last, kept open for as long as the holder keeps
  // it; null for the root, which the caller keeps.
  std::shared_ptr<const Descriptor> Held() const;

 private:
  int root_;
  // Names and folders.
  std::vector<std::pair<std::string, std::shared_ptr<Descriptor>>> chain_;
};

// A name found in a folder, and what it is.
struct Found {
  enum Kind { kFile, kFolder, kLinkToFolder, kLink, kOther };
  std::string name;
  Kind kind = kOther;
  std::string reason;  // kOther: why it is no file
};
// The names of the open folder and what each is: links are followed to
// files but not into folders, or, with follow_links false, not followed
// at all (kLink). false with *error when the folder cannot be read.
bool ListFolder(int folder, std::vector<Found>* found, std::string* error,
                bool follow_links = true);
// The same, each name given to each as it is read.
bool ListFolder(int folder, const std::function<void(Found&& found)>& each,
                std::string* error, bool follow_links = true);

// Writes all of data to fd, retrying interrupted and partial writes. false
// with errno on failure.
bool WriteAll(int fd, const char* data, size_t length);
// The same at offset at of fd, which is not moved (at -1: where fd
// stands).
bool WriteAllAt(int fd, const char* data, size_t length, off_t at);

// A temporary file no one else can reach, removed when closed; -1 with
// errno when none can be made. It is made in TemporaryFolder().
int TemporaryFile();
// $TMPDIR, else /tmp.
std::string TemporaryFolder();

// What tells that a file changed: its size and its modification and status
// change times.
struct FileStamp {
  int64_t size = 0;
  int64_t modified_ns = 0;
  int64_t changed_ns = 0;
  bool operator==(const FileStamp&) const = default;
};
// The stamp of an open file; false with errno when fstat fails.
bool StampOf(int fd, FileStamp* stamp);

// Why content taken from a file is refused when the file did not stay as
// it was from its first stat to the end of its last read.
inline constexpr std::string_view kChangedWhileRead =
    "the file changed while it was read";

// Content up to this many bytes is read whole into memory.
inline constexpr size_t kWholeContentBytes = 4 << 20;

class Content {
 public:
  Content() = default;
  ~Content();
  Content(const Content&) = delete;
  Content& operator=(const Content&) = delete;

  // Takes the bytes of fd from its current offset to its end. A regular
  // file is read whole when it fits, else later in passes through fd, which
  // must stay open until the content is done with; anything else (a pipe, a
  // terminal) is read whole or copied to a temporary file. false with
  // *error (errno's text) on a read error.
  //
  // A regular file read in passes must stay as it was at the load (size,
  // times) and give that many bytes in each pass. first, when given, is
  // the stamp the caller took of fd before (the facts it keeps of the
  // file): every read of the file is then held to it, a file read whole
  // included. A file that changed fails the load or the pass with
  // changed() set and *error kChangedWhileRead.
  bool Load(int fd, std::string* error, const FileStamp* first = nullptr);
  // Takes the bytes source gives until it gives none (*got 0): read whole
  // when they fit the buffer, else copied to a temporary file on the way,
  // so that they are never held whole in memory. source returns false with
  // *error when it cannot give more.
  typedef std::function<bool(char* data, size_t capacity, size_t* got,
                             std::string* error)>
      Source;
  bool LoadFrom(const Source& source, std::string* error);

  // Calls piece(data, length) for each piece of the bytes in order, and
  // returns the bytes it gave in *total. A piece returning false stops the
  // pass (the result is then true). false with *error on a read error.
  typedef std::function<bool(const char* data, size_t length)> Piece;
  bool Pass(const Piece& piece, int64_t* total, std::string* error) const;

  bool whole() const { return fd_ < 0; }
  // The file the content came from changed while it was read.
  bool changed() const { return changed_; }
  // The bytes, when whole.
  std::string_view bytes() const { return {buffer_.get(), size_}; }

 private:
  void DropSpool();
  // Grows the buffer to hold want bytes (at most kWholeContentBytes),
  // keeping the size_ it holds; whether it has room beyond them.
  bool Room(size_t want) const;
  // Whether the file fd still has the stamp expected_ and gave its size
  // (less where reading started) in total bytes; sets changed_ when not.
  bool Same(int fd, int64_t total) const;

  // As large as the largest content loaded yet (at most
  // kWholeContentBytes), kept across loads. Pass fills it, so it is
  // mutable.
  mutable std::unique_ptr<char[]> buffer_;
  mutable size_t capacity_ = 0;
  size_t size_ = 0;  // bytes in buffer_ when whole
  int fd_ = -1;      // the file read in passes; -1 when whole
  off_t start_ = 0;  // where the content starts in fd_
  int spool_ = -1;   // our temporary copy of a stream, when made
  // The stamp a regular file is held to, when it is.
  std::optional<FileStamp> expected_;
  mutable bool changed_ = false;
};

// Buffered writes to a file descriptor the caller owns, or to memory.
class Output {
 public:
  explicit Output(int fd);
  // Appends to *into.
  explicit Output(std::string* into);
  ~Output();
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  // false once a write failed; errno's text in error().
  bool Put(const char* data, size_t length);
  // A newline, then length bytes: a line that follows another.
  bool PutLine(const char* data, size_t length);
  // From now on every byte put is added to *hash too (null: no longer), a
  // buffer at a time as it goes out: Flush hands it what is left.
  void HashInto(refhost::ContentHash* hash);
  bool Flush();
  int64_t written() const { return written_; }
  const std::string& error() const { return error_; }

 private:
  bool WriteOut(const char* data, size_t length);

  int fd_ = -1;
  std::string* into_ = nullptr;
  std::unique_ptr<char[]> buffer_;
  size_t used_ = 0;
  int64_t written_ = 0;
  std::string error_;
  refhost::ContentHash* hash_ = nullptr;
  // The bytes of *into_, or of the buffer, that hash_ was given or is not
  // to be given.
  size_t hashed_ = 0;
};

// A file made in an open folder. A target name that nothing has yet is
// created as it is, with O_CREAT, O_EXCL and O_NOFOLLOW relative to the
// folder, and given its mode and times at Commit; one that exists (a
// file, a link) is left untouched until Commit: the file is made under a
// temporary name ".vuvorozo-tmp-..." the same way, then renamed over it.
// An ExportFile that goes without Commit removes the file it made.
class ExportFile {
 public:
  // The prefix of the temporary names; the program never imports such a
  // file.
  static constexpr std::string_view kTemporaryPrefix = ".vuvorozo-tmp-";

  ExportFile(int folder, std::string name);
  ~ExportFile();
  ExportFile(const ExportFile&) = delete;
  ExportFile& operator=(const ExportFile&) = delete;

  // Creates the file (the target, or a temporary beside it). false with
  // error().
  bool Create();
  int fd() const { return fd_; }
  // Sets mode (its permission bits, 0777) and the modification time
  // (nanoseconds since the epoch; the access time becomes the same), closes the
  // file and, made under a temporary name, renames it over the target. false
  // with error(); the target is then as it was (absent, when it was).
  bool Commit(uint32_t mode, int64_t modified_ns);
  const std::string& error() const { return error_; }

 private:
  int folder_;
  std::string name_;
  std::string temporary_;
  bool direct_ = false;  // the target itself was created, not yet committed
  int fd_ = -1;
  std::string error_;
};

}  // namespace cli

#endif  // VUVOROZO_CLI_FILES_CONTENT_H_
