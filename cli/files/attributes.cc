// The host attributes of an entry, set after a write and read for a file.

#include "cli/files/attributes.h"

#include <sys/stat.h>
#include <time.h>

#include "cli/files/entry_types.h"

namespace cli {

using refhost::FileAttributes;
using refhost::RecordMapping;

void NoteWritten(const WritePlan& plan, const Transfer& transfer, bool exact,
                 uint64_t hash, FileAttributes* attributes) {
  attributes->records = plan.mapping;
  attributes->final_newline = plan.final_newline;
  attributes->record_format = plan.record_format;
  if (plan.padded_record > 0) {
    // Every record reads back padded; lines have a newline between them,
    // and after the last when the text had one.
    int64_t records = transfer.records;
    int64_t newlines = 0;
    if (plan.mapping == RecordMapping::kLines && records > 0) {
      newlines = records - 1 + (plan.final_newline ? 1 : 0);
    }
    attributes->size = records * plan.padded_record + newlines;
  } else if (exact) {
    attributes->size = transfer.bytes;
  }
  // The hash is of the bytes written: it says what reads give back only
  // when they are those bytes, with no record cut.
  if (exact && transfer.truncated == 0) {
    attributes->content_hash = hash;
  } else {
    attributes->content_hash.reset();
  }
}

FileAttributes AfterAppend(const FileAttributes* old, const WritePlan& plan,
                           const Transfer& transfer, bool exact) {
  FileAttributes after = old != nullptr ? *old : FileAttributes();
  after.modified_ns.reset();  // the store's time of the append stands
  after.content_hash.reset();
  after.changed_ns.reset();
  after.inode.reset();
  bool lines = plan.mapping == RecordMapping::kLines;
  after.records = plan.mapping;
  if (old == nullptr || !old->size || !exact) {
    after.size.reset();
  } else if (transfer.records > 0) {
    // A last line without its newline gets one when lines follow it.
    int64_t joint = lines && *old->size > 0 && !old->final_newline ? 1 : 0;
    after.size = *old->size + joint + transfer.bytes;
  }
  if (lines && transfer.records > 0) after.final_newline = plan.final_newline;
  return after;
}

EntryFile EntryFileOf(const refhost::EntryInfo& info, std::string_view type,
                      uint32_t default_mode) {
  FileAttributes kept;
  bool known = refhost::DecodeFileAttributes(info.host_attributes, &kept);
  return EntryFileOf(info, known ? &kept : nullptr, type, default_mode);
}

EntryFile EntryFileOf(const refhost::EntryInfo& info,
                      const FileAttributes* kept, std::string_view type,
                      uint32_t default_mode) {
  EntryFile file;
  file.known = kept != nullptr;
  if (kept != nullptr) file.attributes = *kept;
  const FileAttributes& a = file.attributes;
  file.mode = file.known && a.mode ? *a.mode : default_mode;
  file.modified_ns = file.known && a.modified_ns ? *a.modified_ns
                                                 : info.modified_micros * 1000;
  file.mapping = MappingOf(file.known ? &a : nullptr, type);
  if (file.known) file.size = a.size;
  return file;
}

int32_t OpenAsWritten(EntryStream& entry, const Directory& directory,
                      const EntryKey& key, const EntryFile& file) {
  entry.UseRecordFormat(file.attributes.record_format);
  return entry.OpenMember(directory, key, key.name + "." + key.type,
                          kDefaultTypeHint, kOpenInput, kInputRecordLength,
                          nullptr);
}

uint32_t DefaultFileMode() {
  mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

int64_t NowNs() {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

}  // namespace cli
