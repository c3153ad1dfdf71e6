// Files made on a thread of their own, beside the reading of their bytes:
// the program reads an entry into memory and hands the bytes over with
// the file's folder, name, mode and time, then goes on with the next entry
// while the file is created, written and closed (ExportFile: never
// through a link, an existing file replaced by rename). Making a file
// costs the system about what reading an entry costs the program, so the
// two run side by side on a machine of more than one processor. Results
// come back in the order the files were handed.

#ifndef VUVOROZO_CLI_FILES_FILE_WRITER_H_
#define VUVOROZO_CLI_FILES_FILE_WRITER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "cli/files/content.h"

namespace cli {

class FileWriter {
 public:
  // Room() allows at most most_files files handed over whose results are
  // not taken, and most_bytes of them not yet written.
  FileWriter(size_t most_files, size_t most_bytes);
  // Writes what was handed over (its results are not asked).
  ~FileWriter();
  FileWriter(const FileWriter&) = delete;
  FileWriter& operator=(const FileWriter&) = delete;

  // Hands over a file to make: name in the open folder (which folder_owner,
  // when given, keeps open until the file is made; else the caller keeps
  // it open until the result is taken), with bytes, mode (permission bits)
  // and time (ns since the epoch). shown names the file in messages.
  void Hand(int folder, std::shared_ptr<const Descriptor> folder_owner,
            std::string name, std::string shown, std::string bytes,
            uint32_t mode, int64_t modified_ns);
  // Files handed over whose results are not taken yet.
  size_t pending() const;
  // Whether the oldest file is made (its result is there to take).
  bool OldestDone() const;
  // Whether bytes more may be handed over now.
  bool Room(size_t bytes) const;
  // The oldest file's result, waiting for it: true when made, else false
  // with *error (what could not be done, the system's reason).
  bool Take(std::string* error);

 private:
  struct Shared;
  std::unique_ptr<Shared> shared_;
};

}  // namespace cli

#endif  // VUVOROZO_CLI_FILES_FILE_WRITER_H_
