// vuvorozo write NAME [OPTIONS]: standard input becomes the entry's
// records. The entry is opened for output with the user's options in the
// open request; MOD among them makes the open an append.

#include <cstdio>

#include "cli/commands.h"
#include "cli/entry_types.h"
#include "cli/records.h"

namespace cli {

int RunWrite(Session& session, const Words& words) {
  OptionBlock options(session);
  Fileref fileref(session);
  std::string path;
  int32_t st;
  int exit = StartEntryCommand(session, "write", words, &options, &fileref,
                               &path, &st);
  if (exit != kExitOk) return exit;
  // A name the module cannot resolve fails the open below with the fitting
  // refusal, so only a resolved name's type is looked at here.
  bool binary = st == 0 && IsBinaryType(TypeOfPath(path));

  // All of the input comes first: an open for output replaces the entry at
  // close, so input that fails half way must not reach it.
  std::string data;
  if (!ReadAll(stdin, &data)) {
    PrintError("write: cannot read standard input");
    return kExitFailed;
  }

  OpenEntry entry(session);
  st = entry.Open(fileref, kOpenOutput, binary ? kDefaultBinaryRecordLength : 0,
                  &options);
  if (st != 0) {
    session.Fail(path, st);
    return kExitFailed;
  }
  Transfer transfer = WriteRecords(entry, data, binary);
  int32_t close = entry.Close();
  if (transfer.status != 0) {
    session.Fail(path + ": record " + std::to_string(transfer.records),
                 transfer.status);
    return kExitFailed;
  }
  if (close != 0) {
    session.Fail(path, close);
    return kExitFailed;
  }
  WarnTruncated(path, transfer, entry.record_length(), true);
  return transfer.truncated != 0 ? kExitTruncated : kExitOk;
}

}  // namespace cli
