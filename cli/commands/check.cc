// vuvorozo check LIBREF [--json]: reads the whole library, every record of
// every entry, and says whether it is sound.

#include <cstdio>

#include "cli/command_support.h"
#include "cli/commands/commands.h"
#include "cli/files/attributes.h"
#include "cli/option_text.h"
#include "cli/records.h"
#include "cli/report.h"
#include "refhost/host/library_services.h"

namespace cli {
namespace {

std::string Count(int64_t n, Noun noun) {
  return std::to_string(n) + " " + (n == 1 ? noun.one : noun.other);
}

// Reads every entry of the library that keeps its size or hash through the
// module, as export does, and notes in *problems each whose bytes disagree
// (edited attributes, a record count that is off). An entry whose records
// cannot be read at all the store's check has named already.
void CheckContent(Session& session, const std::string& libref,
                  std::vector<std::string>* problems) {
  std::vector<refhost::CatalogInfo> catalogs;
  if (!session.host()
           .library_services()
           ->ListCatalogs(libref, &catalogs)
           .ok()) {
    return;
  }
  for (const refhost::CatalogInfo& catalog : catalogs) {
    EntryKey key{Upper(libref), catalog.name, "", ""};
    Fileref fileref(session);
    Directory directory(session);
    if (fileref.Assign(key.libref + "." + key.catalog, nullptr) != 0 ||
        directory.Open(fileref) != 0) {
      continue;
    }
    refhost::EntryInfo info;
    while (directory.Next(&key.name, &key.type, &info) == 0) {
      EntryFile file = EntryFileOf(info, key.type, 0);
      if (!file.known) continue;
      EntryStream entry(session);
      if (OpenAsWritten(entry, directory, key, file) != 0) continue;
      EntryBytes bytes(entry, file.mapping, file.attributes.final_newline);
      bytes.Expect(file.attributes, key.type);
      const char* data;
      size_t length;
      while (bytes.Next(&data, &length)) {
      }
      entry.Close();
      if (!bytes.transfer().damage.empty()) {
        problems->push_back("entry " + key.Path() + ": " +
                            bytes.transfer().damage);
      }
    }
    directory.Close();
  }
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
  CheckContent(session, libref, &check.problems);
  if (json) {
    auto strings = [](const std::vector<std::string>& texts) {
      std::string list;
      for (const std::string& text : texts) {
        list += (list.empty() ? "" : ", ") + JsonString(text);
      }
      return list;
    };
    std::string problems = strings(check.problems);
    std::string notes = strings(check.notes);
    std::printf(
        "{\"library\": %s, \"file\": %s, \"catalogs\": %lld, \"entries\": "
        "%lld, \"records\": %lld, \"pages\": %lld, \"file_bytes\": %lld, "
        "\"free_bytes\": %lld, \"problems\": [%s], \"notes\": [%s]}\n",
        JsonString(libref).c_str(), JsonString(check.file).c_str(),
        (long long)check.catalogs, (long long)check.entries,
        (long long)check.records, (long long)check.pages,
        (long long)check.file_bytes, (long long)check.free_bytes,
        problems.c_str(), notes.c_str());
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
    for (const std::string& note : check.notes) {
      PrintResult(libref + ": " + Printable(note));
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
record of every entry, each stored page checked against its checksum,
each entry's record count and longest record against its pages, each
entry's content its own and marked live, and no page of records outside
any content; then each entry that keeps its size and hash is read as
export reads it, and its bytes held to them. Prints the counts of catalogs, entries, records and pages
read, the size of the library file and how much of it is free, then what
is no damage but worth knowing (content a writer that stopped left
behind, which compact removes; entries being written by other
processes), then "The library is sound." or "The library is damaged.",
each problem as an error before it. Exit code 0 when the library is
sound, 1 when it is damaged or cannot be read.

--json prints one object: {"library": "WORK", "file": "...", "catalogs":
2, "entries": 14, "records": 2000, "pages": 14, "file_bytes": 61440,
"free_bytes": 0, "problems": [], "notes": []} (each problem and note a
string).
)",
    .run = RunCheck,
};

}  // namespace cli
