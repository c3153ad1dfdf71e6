// vuvorozo read NAME [OPTIONS]: the entry's records on standard output,
// each text record followed by a newline, binary records back to back.

#include <cstdio>

#include "cli/commands.h"
#include "cli/entry_types.h"
#include "cli/records.h"

namespace cli {

int RunRead(Session& session, const Words& words) {
  OptionBlock options(session);
  Fileref fileref(session);
  std::string path;
  int32_t st;
  int exit =
      StartEntryCommand(session, "read", words, &options, &fileref, &path, &st);
  if (exit != kExitOk) return exit;
  bool binary = st == 0 && IsBinaryType(TypeOfPath(path));

  OpenEntry entry(session);
  st = entry.Open(fileref, kOpenInput, kInputRecordLength, &options);
  if (st != 0) {
    session.Fail(path, st);
    return kExitFailed;
  }
  bool out_failed = false;
  Transfer transfer = ReadRecords(entry, binary, stdout, &out_failed);
  int32_t close = entry.Close();
  if (std::fflush(stdout) != 0) out_failed = true;
  if (out_failed) {
    PrintError("read: cannot write standard output");
    return kExitFailed;
  }
  if (transfer.status != 0) {
    session.Fail(path + ": record " + std::to_string(transfer.records + 1),
                 transfer.status);
    return kExitFailed;
  }
  if (close != 0) {
    session.Fail(path, close);
    return kExitFailed;
  }
  WarnTruncated(path, transfer, entry.record_length(), false);
  return transfer.truncated != 0 ? kExitTruncated : kExitOk;
}

}  // namespace cli
