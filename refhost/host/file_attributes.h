// The host attributes the reference host keeps with an entry that holds a
// person's file: what a file has that its records cannot say. Records hold
// lines without their newlines, or chunks of bytes; the attributes say
// which, whether the last line had a newline, the size of the file the
// records make, and the file's own name, folder, modification time and
// mode, so that the file comes back as it went in. What `import -u`
// compares to tell a changed file is kept too.
//
// The store keeps the encoded attributes as an opaque string with the
// entry's content and commits them in the same step (EntryCursor::
// SetHostAttributes, LibraryServices::SetAttributesAtClose). The encoding
// is ASCII text, one "key=value" a line after the first line
// "vuvorozo-file 1"; names are escaped with %XX for every byte outside '!'
// to '~' and for '%' itself. A reader ignores keys it does not know, so
// keys can be added without a new version; an absent key means "not
// known". The program and a mount of the catalogs as folders both read
// them.

#ifndef VUVOROZO_REFHOST_HOST_FILE_ATTRIBUTES_H_
#define VUVOROZO_REFHOST_HOST_FILE_ATTRIBUTES_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace refhost {

// How an entry's records make the bytes of a file.
enum class RecordMapping {
  kLines,   // each record a line; a newline follows each record but the
            // last, and the last when the file ended in one
  kChunks,  // the records back to back
};

struct FileAttributes {
  // "name": the file's path inside its catalog's folder, '/' between
  // folders ("notes.txt", "site/css/main.css"); "." for the catalog's
  // folder itself; empty when none.
  std::string file_name;
  // "folder": the name of the catalog's folder, kept where a catalog's name
  // does not give it back; empty: none.
  std::string folder;
  // "kind": "folder" for an entry that stands for a folder of the tree (no
  // records: its name, mode and time); absent for a file.
  bool is_folder = false;
  std::optional<int64_t> modified_ns;  // "mtime": ns since the epoch
  std::optional<uint32_t> mode;        // "mode": permission bits, octal
  // "size": the bytes the records make (what an export writes), so that a
  // file's size is known without reading the entry.
  std::optional<int64_t> size;
  std::optional<RecordMapping> records;  // "records": lines or chunks
  bool final_newline = true;             // "newline": lines only; yes or no
  // "recfm": the record format the records were written with, in the bits
  // of the RECFM option (0x10 a carriage-control byte leads each record,
  // 0x08 fixed length); 0, absent, for plain records. Reading them with
  // another gives other bytes than the file's.
  int32_t record_format = 0;
  // What `import -u` compares. A file whose size, mtime, mode, status change
  // time and inode all match is unchanged without being read; one whose
  // status change time or inode alone differ is read and its content hash
  // compared.
  std::optional<uint64_t> content_hash;  // "xxh3": 16 hex digits
  std::optional<int64_t> changed_ns;     // "ctime": ns since the epoch
  std::optional<uint64_t> inode;         // "inode"
};

// The attributes as the store keeps them.
std::string EncodeFileAttributes(const FileAttributes& attributes);

// Calls line(key, value) for each "key=value" line of an attributes text,
// in order, while it returns true. False for a text without the first line
// "vuvorozo-file 1", a line without '=', or when line returned false.
bool ForEachAttributeLine(
    std::string_view text,
    const std::function<bool(std::string_view key, std::string_view value)>&
        line);

// Reads attributes EncodeFileAttributes wrote. Returns false, with
// *attributes reset, for text that holds none (empty, another host's, or
// damaged); the entry is then read by its type alone.
bool DecodeFileAttributes(std::string_view text, FileAttributes* attributes);

// The content hash the attributes keep (XXH3, 64 bits), over bytes given
// in any number of pieces.
class ContentHash {
 public:
  ContentHash();
  ~ContentHash();
  ContentHash(const ContentHash&) = delete;
  ContentHash& operator=(const ContentHash&) = delete;

  // Pieces of a few bytes (a line and its newline, as records give them)
  // are gathered and hashed a kGathered at a time: a call of the hash
  // costs more than the hashing of such a piece.
  void Add(const void* data, size_t length) {
    if (length <= kGathered - gathered_) {
      std::memcpy(gather_ + gathered_, data, length);
      gathered_ += length;
    } else {
      AddLong(data, length);
    }
  }
  uint64_t Value();

 private:
  static constexpr size_t kGathered = 1024;
  void AddLong(const void* data, size_t length);
  void* state_;  // the hash state, kept out of this header
  size_t gathered_ = 0;
  char gather_[kGathered];
};

}  // namespace refhost

#endif  // VUVOROZO_REFHOST_HOST_FILE_ATTRIBUTES_H_
