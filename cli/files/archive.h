// Archives in and out, through libarchive. ArchiveReader reads the members
// of an archive file, of standard input or of bytes in memory (tar with
// any compression libarchive reads, zip, cpio, 7z, ISO 9660 and others;
// never a format that names files of this machine, such as mtree), member
// by member, the data of each a piece at a time. ArchiveWriter writes one:
// a pax tar stream, compressed or not, or zip.

#ifndef VUVOROZO_CLI_FILES_ARCHIVE_H_
#define VUVOROZO_CLI_FILES_ARCHIVE_H_

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct archive;

namespace cli {

// A member of an archive as its header gives it.
struct ArchiveMember {
  enum Kind { kFile, kFolder, kSymlink, kHardLink, kDevice, kFifo, kOther };
  std::string path;  // as the archive holds it, not yet checked
  Kind kind = kOther;
  uint32_t mode = 0;                   // permission bits (07777)
  std::optional<int64_t> modified_ns;  // when the archive says
  std::optional<int64_t> size;         // the data's size, when it says
};

class ArchiveReader {
 public:
  ArchiveReader();
  ~ArchiveReader();
  ArchiveReader(const ArchiveReader&) = delete;
  ArchiveReader& operator=(const ArchiveReader&) = delete;

  // Opens the archive file at path, or standard input for "-", or bytes
  // that stay valid while it reads. false with error().
  bool Open(const std::string& path);
  bool OpenMemory(const void* data, size_t size);

  enum class Step { kMember, kEnd, kFailed };
  // The next member's header (kFailed: error() says why; the archive is
  // read no further).
  Step Next(ArchiveMember* member);
  // Up to capacity bytes of the member's data into data: *got is 0 at its
  // end. false with error().
  bool Read(char* data, size_t capacity, size_t* got);
  // The format libarchive found ("POSIX pax interchange format").
  std::string format() const;
  const std::string& error() const { return error_; }

 private:
  bool Opened(int status, const char* what);
  struct archive* archive_;
  std::string error_;
};

// Whether text is UTF-8 throughout.
bool IsUtf8(std::string_view text);

// The kinds of archive export writes.
enum class ArchiveFormat { kNone, kTar, kTarGzip, kTarZstd, kTarXz, kZip };

// The format a --format value names ("tar", "tar.gz", "tgz", "tar.zst",
// "tar.xz", "zip"); kNone when none.
ArchiveFormat FormatNamed(std::string_view name);
// The format a file's extension selects; kNone when it selects none.
ArchiveFormat FormatOfFile(std::string_view file);
// The names FormatNamed takes, for help and messages.
inline constexpr char kFormatNames[] = "tar, tar.gz, tar.zst, tar.xz, zip";

class ArchiveWriter {
 public:
  ArchiveWriter();
  ~ArchiveWriter();
  ArchiveWriter(const ArchiveWriter&) = delete;
  ArchiveWriter& operator=(const ArchiveWriter&) = delete;

  // Starts an archive of format on fd, which the caller keeps and closes;
  // binary_names: some name is not UTF-8 text, and a tar's headers then say
  // that names are bytes. false with error().
  bool Open(int fd, ArchiveFormat format, bool binary_names);

  // Each returns false once a write failed, with error() saying why.
  // modified_ns: nanoseconds since the epoch; mode: permission bits.
  bool AddFolder(std::string_view path, uint32_t mode, int64_t modified_ns);
  // The size bytes of source, read from its offset 0.
  bool AddFile(std::string_view path, uint32_t mode, int64_t modified_ns,
               int source, int64_t size);
  bool AddText(std::string_view path, std::string_view text, uint32_t mode,
               int64_t modified_ns);
  // Ends the archive (its last blocks). false with error().
  bool Finish();
  const std::string& error() const { return error_; }

 private:
  bool Header(std::string_view path, bool folder, uint32_t mode,
              int64_t modified_ns, int64_t size);
  bool Failed(const char* what);
  struct archive* archive_;
  bool finished_ = false;
  std::string error_;
};

}  // namespace cli

#endif  // VUVOROZO_CLI_FILES_ARCHIVE_H_
