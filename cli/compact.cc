// vuvorozo compact LIBREF [--json]: gives the library's unused space back
// to the file system.

#include <cstdio>

#include "cli/commands.h"
#include "cli/option_text.h"
#include "cli/report.h"

namespace cli {

int RunCompact(Session& session, const Words& words, bool json) {
  std::string libref;
  if (int code = LibraryArgument(words, &libref); code != kExitOk) return code;
  refhost::LibraryCompaction compaction;
  refhost::StoreStatus st =
      session.host().store()->CompactLibrary(libref, &compaction);
  if (!st.ok()) return StoreFailure(session, libref, st);
  if (json) {
    std::printf(
        "{\"library\": %s, \"file\": %s, \"bytes_before\": %lld, "
        "\"bytes_after\": %lld}\n",
        JsonString(libref).c_str(), JsonString(compaction.file).c_str(),
        (long long)compaction.bytes_before, (long long)compaction.bytes_after);
  } else {
    PrintResult(
        libref +
        (compaction.file.empty() ? ""
                                 : " (" + Printable(compaction.file) + ")") +
        ": " + std::to_string(compaction.bytes_before) + " bytes before, " +
        std::to_string(compaction.bytes_after) + " after");
  }
  return kExitOk;
}

}  // namespace cli
