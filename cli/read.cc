// vuvorozo read NAME [OPTIONS]: the entry's records on standard output,
// made into the bytes that were written: lines with their newlines (the
// last one only when the written text had it), or chunks back to back.

#include <unistd.h>

#include <cstdio>

#include "cli/commands.h"
#include "cli/entry_types.h"
#include "cli/option_text.h"
#include "cli/records.h"
#include "refhost/library_services.h"

namespace cli {

int RunRead(Session& session, const Words& words) {
  OptionBlock options(session);
  Fileref fileref(session);
  std::string path;
  int32_t st;
  int exit =
      StartEntryCommand(session, "read", words, &options, &fileref, &path, &st);
  if (exit != kExitOk) return exit;
  EntryKey key = st == 0 ? KeyOfPath(path) : EntryKey();
  refhost::FileAttributes attributes;
  bool known = false;
  refhost::EntryInfo info;
  if (st == 0 &&
      session.host()
          .library()
          ->FindEntry(key.libref, key.catalog, key.name, key.type, &info)
          .ok()) {
    known = refhost::DecodeFileAttributes(info.host_attributes, &attributes);
  }

  OpenEntry entry(session);
  st = entry.Open(fileref, key, kOpenInput, kInputRecordLength, &options);
  if (st != 0) {
    session.Fail(Printable(path), st);
    return kExitFailed;
  }
  std::fflush(stdout);
  Output out(STDOUT_FILENO);
  Transfer transfer =
      ReadRecords(entry, MappingOf(known ? &attributes : nullptr, key.type),
                  attributes.final_newline, out);
  int32_t close = entry.Close();
  if (!out.Flush()) {
    PrintError("read: cannot write standard output: " + out.error());
    return kExitFailed;
  }
  if (transfer.status != 0) {
    session.Fail(
        Printable(path) + ": record " + std::to_string(transfer.records + 1),
        transfer.status);
    return kExitFailed;
  }
  if (close != 0) {
    session.Fail(Printable(path), close);
    return kExitFailed;
  }
  WarnTruncated(path, transfer, entry.record_length(), false);
  return transfer.truncated != 0 ? kExitTruncated : kExitOk;
}

}  // namespace cli
