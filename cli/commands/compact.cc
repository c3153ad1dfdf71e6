// vuvorozo compact LIBREF [--json]: gives the library's unused space back
// to the file system.

#include <cstdio>

#include "cli/command_support.h"
#include "cli/commands/commands.h"
#include "cli/option_text.h"
#include "cli/report.h"

namespace cli {
namespace {

int RunCompact(Session& session, const Words& words, const Settings& settings) {
  bool json = settings.json;
  std::string libref;
  if (int code = LibraryArgument(words, &libref); code != kExitOk) return code;
  refhost::LibraryCompaction compaction;
  refhost::StoreStatus st =
      session.host().store()->CompactLibrary(libref, &compaction);
  if (!st.ok()) return StoreFailure(session, libref, st);
  if (json) {
    std::printf(
        "{\"library\": %s, \"file\": %s, \"bytes_before\": %lld, "
        "\"bytes_after\": %lld, \"rewritten\": %s}\n",
        JsonString(libref).c_str(), JsonString(compaction.file).c_str(),
        (long long)compaction.bytes_before, (long long)compaction.bytes_after,
        compaction.rewritten ? "true" : "false");
  } else {
    PrintResult(
        libref +
        (compaction.file.empty() ? ""
                                 : " (" + Printable(compaction.file) + ")") +
        ": " + std::to_string(compaction.bytes_before) + " bytes before, " +
        std::to_string(compaction.bytes_after) + " after" +
        (compaction.rewritten
             ? ""
             : " (no room to rewrite it: its free room was given back)"));
  }
  return kExitOk;
}

constexpr Flag kCompactFlags[] = {
    JsonFlag(),
};

}  // namespace

const Command kCompactCommand = {
    .name = "compact",
    .usage = "compact LIBREF [--json]",
    .summary = "gives the library's unused room back to the file system",
    .flags = kCompactFlags,
    .arguments = {.words = {Word::kLibref}},
    .use = StoreUse::kChange,
    .help = R"(
Gives the library's unused room back to the file system: the room of
content that was replaced or deleted and what writers that died left
behind. The library is rewritten, which needs room for a copy of it while
it runs; on a disk without that room, only its free room is given back
(which needs none), and compact says so. Prints the size of the library
file before and after.

--json prints one object: {"library": "WORK", "file": "...",
"bytes_before": 81920, "bytes_after": 61440, "rewritten": true}.
)",
    .run = RunCompact,
};

}  // namespace cli
