// What an entry keeps of the file it holds (the host attributes of
// refhost/file_attributes.h) as the program sets and reads them: what a
// write of new content found out (how its records map to bytes, whether the
// last line had its newline, the size, the content hash), what an append
// leaves of them, and what the file an entry becomes is like (the mode and
// time kept with it, else the mode the umask leaves and the entry's own
// time). Import, write, export, the mount and the tar stream all go by
// these.

#ifndef VUVOROZO_CLI_FILES_ATTRIBUTES_H_
#define VUVOROZO_CLI_FILES_ATTRIBUTES_H_

#include <cstdint>
#include <optional>
#include <string_view>

#include "cli/records.h"
#include "refhost/host/file_attributes.h"
#include "refhost/store/catalog_store.h"

namespace cli {

// Notes in *attributes what writing content as an entry's new content
// found: the mapping and final newline of plan, the bytes transfer wrote
// when the records give them back exactly (exact, KeepsBytes), and hash,
// the content hash of every byte, when they do and no record was cut.
void NoteWritten(const WritePlan& plan, const Transfer& transfer, bool exact,
                 uint64_t hash, refhost::FileAttributes* attributes);

// The attributes an entry has after transfer's records were appended to it
// under plan; old are its attributes before (null when it had none). The
// file it came from no longer matches it, so what tells a file unchanged
// goes.
refhost::FileAttributes AfterAppend(const refhost::FileAttributes* old,
                                    const WritePlan& plan,
                                    const Transfer& transfer, bool exact);

// What the file an entry of type becomes is like, from what the host knows
// of the entry.
struct EntryFile {
  bool known = false;                  // the entry has host attributes
  refhost::FileAttributes attributes;  // as kept (reset when not known)
  uint32_t mode = 0;        // permission bits: kept, else default_mode
  int64_t modified_ns = 0;  // kept, else the entry's last change
  refhost::RecordMapping mapping = refhost::RecordMapping::kLines;
  std::optional<int64_t> size;  // the bytes, when kept
};
EntryFile EntryFileOf(const refhost::EntryInfo& info, std::string_view type,
                      uint32_t default_mode);
// The same, with the entry's host attributes decoded already (null when it
// has none).
EntryFile EntryFileOf(const refhost::EntryInfo& info,
                      const refhost::FileAttributes* kept,
                      std::string_view type, uint32_t default_mode);

// Opens the member key of the open directory for input, its records read
// in the record format they were written with (file's attributes) at the
// entry's own record length, as export, the mount and check read it.
// Returns the open's status.
int32_t OpenAsWritten(EntryStream& entry, const Directory& directory,
                      const EntryKey& key, const EntryFile& file);

// The permission bits a file made now gets by default: 0666 less the
// umask.
uint32_t DefaultFileMode();

// The time now, as the attributes keep times: nanoseconds since the epoch.
int64_t NowNs();

}  // namespace cli

#endif  // VUVOROZO_CLI_FILES_ATTRIBUTES_H_
