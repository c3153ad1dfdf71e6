// ArchiveReader and ArchiveWriter over libarchive.

#include "cli/files/archive.h"

#include <archive.h>
#include <archive_entry.h>
#include <locale.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "cli/report.h"
#include "refhost/util/utf8.h"

namespace cli {
namespace {

constexpr size_t kBlockBytes = 64 << 10;

// libarchive turns names between UTF-8 (pax headers, zip) and the
// characters of the locale: while it runs, names are UTF-8 text, whatever
// the program's locale, so that a UTF-8 name is written as one and read
// back as its bytes; a name that is not UTF-8 stays bytes.
class Utf8Names {
 public:
  Utf8Names() {
    static locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
    if (utf8 != nullptr) old_ = uselocale(utf8);
  }
  ~Utf8Names() {
    if (old_ != nullptr) uselocale(old_);
  }
  Utf8Names(const Utf8Names&) = delete;
  Utf8Names& operator=(const Utf8Names&) = delete;

 private:
  locale_t old_ = nullptr;
};

std::string ErrorOf(struct archive* a, const char* fallback) {
  const char* text = archive_error_string(a);
  return text != nullptr && *text != '\0' ? text : fallback;
}

}  // namespace

bool IsUtf8(std::string_view text) {
  for (size_t at = 0; at < text.size();) {
    size_t length = refhost::Utf8CharacterLength(text.substr(at));
    if (length == 0) return false;
    at += length;
  }
  return true;
}

ArchiveReader::ArchiveReader() : archive_(archive_read_new()) {
  Utf8Names names;
  if (archive_ == nullptr) return;
  // Formats whose members carry their own data, never one that names
  // files of this machine to be read (mtree), nor a filter that runs
  // another program.
  archive_read_support_format_tar(archive_);
  archive_read_support_format_cpio(archive_);
  archive_read_support_format_zip(archive_);
  archive_read_support_format_7zip(archive_);
  archive_read_support_format_iso9660(archive_);
  archive_read_support_format_xar(archive_);
  archive_read_support_format_ar(archive_);
  archive_read_support_format_cab(archive_);
  archive_read_support_format_lha(archive_);
  archive_read_support_format_rar(archive_);
  archive_read_support_format_rar5(archive_);
  archive_read_support_format_empty(archive_);
  archive_read_support_filter_gzip(archive_);
  archive_read_support_filter_bzip2(archive_);
  archive_read_support_filter_compress(archive_);
  archive_read_support_filter_xz(archive_);
  archive_read_support_filter_lzma(archive_);
  archive_read_support_filter_lzip(archive_);
  archive_read_support_filter_zstd(archive_);
  archive_read_support_filter_lz4(archive_);
}

ArchiveReader::~ArchiveReader() {
  if (archive_ != nullptr) archive_read_free(archive_);
}

bool ArchiveReader::Opened(int status, const char* what) {
  if (status == ARCHIVE_OK) return true;
  error_ = ErrorOf(archive_, what);
  return false;
}

bool ArchiveReader::Open(const std::string& path) {
  Utf8Names names;
  if (archive_ == nullptr) {
    error_ = "out of memory";
    return false;
  }
  if (path == "-") {
    return Opened(archive_read_open_fd(archive_, STDIN_FILENO, kBlockBytes),
                  "cannot be read as an archive");
  }
  return Opened(archive_read_open_filename(archive_, path.c_str(), kBlockBytes),
                "cannot be read as an archive");
}

bool ArchiveReader::OpenMemory(const void* data, size_t size) {
  Utf8Names names;
  if (archive_ == nullptr) {
    error_ = "out of memory";
    return false;
  }
  return Opened(archive_read_open_memory(archive_, data, size),
                "cannot be read as an archive");
}

ArchiveReader::Step ArchiveReader::Next(ArchiveMember* member) {
  Utf8Names names;
  struct archive_entry* entry = nullptr;
  int status = archive_read_next_header(archive_, &entry);
  if (status == ARCHIVE_EOF) return Step::kEnd;
  if (status < ARCHIVE_WARN || entry == nullptr) {
    error_ = ErrorOf(archive_, "the archive cannot be read on");
    return Step::kFailed;
  }
  *member = ArchiveMember();
  const char* path = archive_entry_pathname(entry);
  if (path == nullptr) path = archive_entry_pathname_utf8(entry);
  member->path = path != nullptr ? path : "";
  member->mode = archive_entry_perm(entry) & 07777;
  if (archive_entry_mtime_is_set(entry)) {
    member->modified_ns =
        static_cast<int64_t>(archive_entry_mtime(entry)) * 1000000000 +
        archive_entry_mtime_nsec(entry);
  }
  if (archive_entry_size_is_set(entry)) {
    member->size = archive_entry_size(entry);
  }
  if (archive_entry_hardlink(entry) != nullptr) {
    member->kind = ArchiveMember::kHardLink;
    return Step::kMember;
  }
  switch (archive_entry_filetype(entry)) {
    case AE_IFREG:
      member->kind = ArchiveMember::kFile;
      break;
    case AE_IFDIR:
      member->kind = ArchiveMember::kFolder;
      break;
    case AE_IFLNK:
      member->kind = ArchiveMember::kSymlink;
      break;
    case AE_IFCHR:
    case AE_IFBLK:
      member->kind = ArchiveMember::kDevice;
      break;
    case AE_IFIFO:
      member->kind = ArchiveMember::kFifo;
      break;
    default:
      member->kind = ArchiveMember::kOther;
      break;
  }
  return Step::kMember;
}

bool ArchiveReader::Read(char* data, size_t capacity, size_t* got) {
  Utf8Names names;
  la_ssize_t n = archive_read_data(archive_, data, capacity);
  if (n < 0) {
    *got = 0;
    error_ = ErrorOf(archive_, "the member's data cannot be read");
    return false;
  }
  *got = static_cast<size_t>(n);
  return true;
}

std::string ArchiveReader::format() const {
  const char* name = archive_format_name(archive_);
  return name != nullptr ? name : "";
}

// ---------------------------------------------------------------------------

ArchiveFormat FormatNamed(std::string_view name) {
  if (name == "tar") return ArchiveFormat::kTar;
  if (name == "tar.gz" || name == "tgz") return ArchiveFormat::kTarGzip;
  if (name == "tar.zst" || name == "tzst") return ArchiveFormat::kTarZstd;
  if (name == "tar.xz" || name == "txz") return ArchiveFormat::kTarXz;
  if (name == "zip") return ArchiveFormat::kZip;
  return ArchiveFormat::kNone;
}

ArchiveFormat FormatOfFile(std::string_view file) {
  std::string lower;
  for (char c : file.substr(file.rfind('/') + 1)) {
    lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  }
  for (const char* suffix :
       {"tar.gz", "tgz", "tar.zst", "tzst", "tar.xz", "txz", "tar", "zip"}) {
    size_t length = std::strlen(suffix);
    if (lower.size() > length + 1 &&
        lower.compare(lower.size() - length, length, suffix) == 0 &&
        lower[lower.size() - length - 1] == '.') {
      return FormatNamed(suffix);
    }
  }
  return ArchiveFormat::kNone;
}

ArchiveWriter::ArchiveWriter() : archive_(archive_write_new()) {}

ArchiveWriter::~ArchiveWriter() {
  if (archive_ == nullptr) return;
  // An archive that was not finished is not closed either: its last
  // blocks would make a cut archive look whole.
  if (!finished_) archive_write_fail(archive_);
  archive_write_free(archive_);
}

bool ArchiveWriter::Failed(const char* what) {
  // A write that the system refused says why (a full disk, a closed pipe)
  // rather than the archive's own "Write error".
  int number = archive_errno(archive_);
  error_ =
      number > 0 && std::string_view(ErrorOf(archive_, "")) == "Write error"
          ? SystemError(number)
          : ErrorOf(archive_, what);
  return false;
}

bool ArchiveWriter::Open(int fd, ArchiveFormat format, bool binary_names) {
  Utf8Names names;
  if (archive_ == nullptr) {
    error_ = "out of memory";
    return false;
  }
  bool zip = format == ArchiveFormat::kZip;
  int status = zip ? archive_write_set_format_zip(archive_)
                   : archive_write_set_format_pax(archive_);
  if (status == ARCHIVE_OK && !zip && binary_names) {
    // A name that is no UTF-8 text cannot be a pax header's UTF-8: the
    // headers say their names are bytes.
    status = archive_write_set_format_option(archive_, "pax", "hdrcharset",
                                             "BINARY");
  }
  if (status == ARCHIVE_OK) {
    switch (format) {
      case ArchiveFormat::kTarGzip:
        status = archive_write_add_filter_gzip(archive_);
        break;
      case ArchiveFormat::kTarZstd:
        status = archive_write_add_filter_zstd(archive_);
        break;
      case ArchiveFormat::kTarXz:
        status = archive_write_add_filter_xz(archive_);
        break;
      default:
        status = archive_write_add_filter_none(archive_);
        break;
    }
  }
  // Whole blocks are written to files; a stream gets what there is.
  if (status == ARCHIVE_OK) {
    status = archive_write_set_bytes_in_last_block(archive_, 1);
  }
  if (status == ARCHIVE_OK) status = archive_write_open_fd(archive_, fd);
  return status == ARCHIVE_OK || Failed("the archive cannot be started");
}

bool ArchiveWriter::Header(std::string_view path, bool folder, uint32_t mode,
                           int64_t modified_ns, int64_t size) {
  Utf8Names names;
  struct archive_entry* entry = archive_entry_new();
  if (entry == nullptr) {
    error_ = "out of memory";
    return false;
  }
  std::string name(path);
  if (folder) name += '/';

  // A UTF-8 name goes in as UTF-8 text; any other as its bytes (a pax
  // header then says so): see Utf8Names.
  archive_entry_copy_pathname(entry, name.c_str());
  archive_entry_set_filetype(entry, folder ? AE_IFDIR : AE_IFREG);
  archive_entry_set_perm(entry, mode & 0777);
  int64_t seconds = modified_ns / 1000000000;
  int64_t nanos = modified_ns % 1000000000;
  if (nanos < 0) {
    nanos += 1000000000;
    --seconds;
  }
  archive_entry_set_mtime(entry, static_cast<time_t>(seconds),
                          static_cast<long>(nanos));
  archive_entry_set_size(entry, folder ? 0 : size);
  int status = archive_write_header(archive_, entry);
  archive_entry_free(entry);
  return status == ARCHIVE_OK || Failed("the archive cannot be written");
}

bool ArchiveWriter::AddFolder(std::string_view path, uint32_t mode,
                              int64_t modified_ns) {
  return Header(path, true, mode, modified_ns, 0);
}

bool ArchiveWriter::AddFile(std::string_view path, uint32_t mode,
                            int64_t modified_ns, int source, int64_t size) {
  if (!Header(path, false, mode, modified_ns, size)) return false;
  std::unique_ptr<char[]> buffer(new char[kBlockBytes]);
  int64_t at = 0;
  while (at < size) {
    size_t want = static_cast<size_t>(
        std::min<int64_t>(size - at, static_cast<int64_t>(kBlockBytes)));
    ssize_t n = pread(source, buffer.get(), want, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error_ = n < 0 ? SystemError() : "the file ended early";
      return false;
    }
    if (archive_write_data(archive_, buffer.get(), static_cast<size_t>(n)) !=
        n) {
      return Failed("the archive cannot be written");
    }
    at += n;
  }
  return archive_write_finish_entry(archive_) == ARCHIVE_OK ||
         Failed("the archive cannot be written");
}

bool ArchiveWriter::AddText(std::string_view path, std::string_view text,
                            uint32_t mode, int64_t modified_ns) {
  if (!Header(path, false, mode, modified_ns,
              static_cast<int64_t>(text.size()))) {
    return false;
  }
  if (!text.empty() && archive_write_data(archive_, text.data(), text.size()) !=
                           static_cast<la_ssize_t>(text.size())) {
    return Failed("the archive cannot be written");
  }
  return archive_write_finish_entry(archive_) == ARCHIVE_OK ||
         Failed("the archive cannot be written");
}

bool ArchiveWriter::Finish() {
  Utf8Names names;
  finished_ = true;
  return archive_write_close(archive_) == ARCHIVE_OK ||
         Failed("the archive cannot be ended");
}

}  // namespace cli
