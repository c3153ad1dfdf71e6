// vuvorozo check LIBREF [--json]: reads the whole library, every record of
// every entry, and says whether it is sound.

#include <cstdio>

#include "cli/command_support.h"
#include "cli/commands/commands.h"
#include "cli/option_text.h"
#include "cli/report.h"

namespace cli {
namespace {

std::string Count(int64_t n, Noun noun) {
  return std::to_string(n) + " " + (n == 1 ? noun.one : noun.other);
}

// The counts are the result; each problem is an error, printed even when
// quiet, and a damaged library ends with exit code 1.
int RunCheck(Session& session, const Words& words, const Settings& settings) {
  bool json = settings.json;
  std::string libref;
  if (int code = LibraryArgument(words, &libref); code != kExitOk) return code;
  refhost::LibraryCheck check;
  refhost::StoreStatus st =
      session.host().store()->CheckLibrary(libref, &check);
  if (!st.ok()) return StoreFailure(session, libref, st);
  if (json) {
    std::string problems;
    for (const std::string& problem : check.problems) {
      problems += (problems.empty() ? "" : ", ") + JsonString(problem);
    }
    std::printf(
        "{\"library\": %s, \"file\": %s, \"catalogs\": %lld, \"entries\": "
        "%lld, \"records\": %lld, \"pages\": %lld, \"file_bytes\": %lld, "
        "\"free_bytes\": %lld, \"problems\": [%s]}\n",
        JsonString(libref).c_str(), JsonString(check.file).c_str(),
        (long long)check.catalogs, (long long)check.entries,
        (long long)check.records, (long long)check.pages,
        (long long)check.file_bytes, (long long)check.free_bytes,
        problems.c_str());
  } else {
    PrintResult(libref +
                (check.file.empty() ? "" : " (" + Printable(check.file) + ")") +
                ": " + Count(check.catalogs, {"catalog", "catalogs"}) + ", " +
                Count(check.entries, {"entry", "entries"}) + ", " +
                Count(check.records, {"record", "records"}) + " read in " +
                Count(check.pages, {"page", "pages"}) + "; " +
                std::to_string(check.file_bytes) + " bytes, " +
                std::to_string(check.free_bytes) + " of them free" +
                (check.free_bytes > 0
                     ? " ('vuvorozo compact " + libref + "' gives them back)"
                     : ""));
    // A store's report may run over several lines (SQLite's integrity
    // check names the database on a line of its own): each is a message.
    for (const std::string& problem : check.problems) {
      std::string_view rest = problem;
      while (!rest.empty()) {
        size_t newline = rest.find('\n');
        std::string_view line = rest.substr(0, newline);
        if (!line.empty()) PrintError(libref + ": " + Printable(line));
        rest = newline == std::string_view::npos ? std::string_view()
                                                 : rest.substr(newline + 1);
      }
    }
    PrintResult(check.problems.empty() ? "The library is sound."
                                       : "The library is damaged.");
  }
  return check.problems.empty() ? kExitOk : kExitFailed;
}

constexpr Flag kCheckFlags[] = {
    JsonFlag(),
};

}  // namespace

const Command kCheckCommand = {
    .name = "check",
    .usage = "check LIBREF [--json]",
    .summary = "reads the whole library and says whether it is sound",
    .flags = kCheckFlags,
    .arguments = {.words = {Word::kLibref}},
    .use = StoreUse::kRead,
    .help = R"(
Reads the whole library: the database's own integrity check, then every
record of every entry, each stored page checked against its checksum.
Prints the counts of catalogs, entries, records and pages read, the size
of the library file and how much of it is free, then "The library is
sound." or "The library is damaged.", each problem as an error before
it. Exit code 0 when the library is sound, 1 when it is damaged or cannot
be read.

--json prints one object: {"library": "WORK", "file": "...", "catalogs":
2, "entries": 14, "records": 2000, "pages": 14, "file_bytes": 61440,
"free_bytes": 0, "problems": []} (each problem a string).
)",
    .run = RunCheck,
};

}  // namespace cli
