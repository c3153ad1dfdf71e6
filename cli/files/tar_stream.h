// A tar stream written to a file descriptor, as export writes it to
// standard output: POSIX ustar members (folders and regular files), with a
// pax extended header ahead of a member whose path is too long for the
// ustar fields, whose size is beyond them, or whose modification time has
// a fraction of a second. tar -x unpacks it.

#ifndef VUVOROZO_CLI_FILES_TAR_STREAM_H_
#define VUVOROZO_CLI_FILES_TAR_STREAM_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace cli {

class TarStream {
 public:
  explicit TarStream(int fd) : fd_(fd) {}
  TarStream(const TarStream&) = delete;
  TarStream& operator=(const TarStream&) = delete;

  // Each returns false once a write failed, with error() saying why.
  // modified_ns: nanoseconds since the epoch; mode: permission bits.
  bool AddFolder(std::string_view path, uint32_t mode, int64_t modified_ns);
  // The size bytes of source, read from its offset 0.
  bool AddFile(std::string_view path, uint32_t mode, int64_t modified_ns,
               int source, int64_t size);
  bool AddText(std::string_view path, std::string_view text, uint32_t mode,
               int64_t modified_ns);
  // The two zero blocks that end the stream.
  bool Finish();
  const std::string& error() const { return error_; }

 private:
  bool Header(std::string_view path, char type, uint32_t mode,
              int64_t modified_ns, int64_t size);
  bool Write(const char* data, size_t length);
  bool Pad(int64_t size);

  int fd_;
  std::string error_;
};

}  // namespace cli

#endif  // VUVOROZO_CLI_FILES_TAR_STREAM_H_
