// vuvorozo list [LIBREF[.CATALOG[.PATTERN]]] [-l] [--json]: the libraries
// of the data folder, the catalogs of a library with their entry counts
// (both the host's own knowledge, from its store), or the entries of a
// catalog, walked through the catalog opened as a directory, as an aligned
// table or as JSON for scripts.

#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cli/command_support.h"
#include "cli/commands/commands.h"
#include "cli/option_text.h"
#include "cli/patterns.h"
#include "cli/report.h"
#include "refhost/host/file_attributes.h"
#include "refhost/host/library_services.h"

namespace cli {
namespace {

// Prints a JSON array, one element a line.
void PrintJsonArray(const std::vector<std::string>& objects) {
  std::string text = "[";
  for (size_t i = 0; i < objects.size(); ++i) {
    text += (i == 0 ? "\n  " : ",\n  ") + objects[i];
  }
  text += objects.empty() ? "]" : "\n]";
  std::puts(text.c_str());
}

// Names with a count each: a table headed by the keys in upper case, or
// JSON objects {"<name_key>": name, "<count_key>": count}.
void PrintCounts(bool json, const std::string& name_key,
                 const std::string& count_key,
                 const std::vector<std::pair<std::string, int64_t>>& rows) {
  Table table({Upper(name_key), Upper(count_key)});
  table.AlignRight(1);
  std::vector<std::string> objects;
  for (const auto& [name, count] : rows) {
    table.Add({Printable(name), std::to_string(count)});
    objects.push_back("{\"" + name_key + "\": " + JsonString(name) + ", \"" +
                      count_key + "\": " + std::to_string(count) + "}");
  }
  if (json) {
    PrintJsonArray(objects);
  } else {
    table.Print();
  }
}

int ListLibraries(Session& session, bool json) {
  std::vector<std::string> librefs;
  refhost::CatalogStore* store = session.host().store();
  refhost::StoreStatus status = store->ListLibraries(&librefs);
  if (!status.ok()) return StoreFailure(session, session.place(), status);
  std::vector<std::pair<std::string, int64_t>> rows;
  for (const std::string& libref : librefs) {
    std::vector<refhost::CatalogInfo> catalogs;
    status = store->ListCatalogs(libref, &catalogs);
    if (!status.ok()) return StoreFailure(session, libref, status);
    rows.emplace_back(libref, static_cast<int64_t>(catalogs.size()));
  }
  PrintCounts(json, "libref", "catalogs", rows);
  return kExitOk;
}

int ListCatalogs(Session& session, const std::string& libref, bool json) {
  if (!refhost::CheckLibref(libref).ok()) {
    return UsageError(Printable(libref) + ": not a libref (" + kLibrefRule +
                      ")");
  }
  std::vector<refhost::CatalogInfo> catalogs;
  refhost::StoreStatus status = session.host().store()->ListCatalogs(
      refhost::LibrefKey(libref), &catalogs);
  if (!status.ok()) return StoreFailure(session, libref, status);
  std::vector<std::pair<std::string, int64_t>> rows;
  for (const refhost::CatalogInfo& c : catalogs) {
    rows.emplace_back(c.name, c.entry_count);
  }
  PrintCounts(json, "catalog", "entries", rows);
  return kExitOk;
}

// What the host knows of the file an entry holds, from its host
// attributes: none for an entry that was written, not imported.
struct KeptFile {
  std::optional<std::string> path;     // its path in the catalog's tree
  std::optional<int64_t> bytes;        // the bytes it gives back
  std::optional<uint32_t> mode;        // its permission bits
  std::optional<int64_t> modified_ns;  // its own modification time
};

KeptFile KeptFileOf(const refhost::EntryInfo& info) {
  refhost::FileAttributes attributes;
  KeptFile file;
  if (!refhost::DecodeFileAttributes(info.host_attributes, &attributes)) {
    return file;
  }
  if (!attributes.file_name.empty()) {
    // A folder's path ends in '/'.
    file.path = attributes.file_name + (attributes.is_folder ? "/" : "");
  }
  file.bytes = attributes.size;
  file.mode = attributes.mode;
  file.modified_ns = attributes.modified_ns;
  return file;
}

// The time a long listing shows: the file's own, else the entry's last
// change, in microseconds since the epoch.
int64_t ShownTime(const KeptFile& file, const refhost::EntryInfo& info) {
  if (!file.modified_ns) return info.modified_micros;
  int64_t ns = *file.modified_ns;
  // Toward the earlier microsecond, before 1970 too.
  return ns / 1000 - (ns % 1000 < 0 ? 1 : 0);
}

std::string JsonEntry(const FoundEntry& e) {
  KeptFile file = KeptFileOf(e.info);
  auto or_null = [](bool known, const std::string& text) {
    return known ? text : std::string("null");
  };
  char mode[16] = "";
  if (file.mode) std::snprintf(mode, sizeof mode, "\"%04o\"", *file.mode);
  return "{\"name\": " + JsonString(e.name) +
         ", \"type\": " + JsonString(e.type) +
         ", \"description\": " + JsonString(e.info.description) +
         ", \"records\": " + std::to_string(e.info.record_count) +
         ", \"bytes\": " +
         or_null(file.bytes.has_value(),
                 std::to_string(file.bytes.value_or(0))) +
         ", \"longest_record\": " + std::to_string(e.info.longest_record) +
         ", \"created\": " + JsonTime(e.info.created_micros) +
         ", \"modified\": " + JsonTime(e.info.modified_micros) +
         ", \"path\": " +
         or_null(file.path.has_value(), JsonString(file.path.value_or(""))) +
         ", \"mode\": " + or_null(file.mode.has_value(), mode) +
         ", \"file_modified\": " +
         or_null(file.modified_ns.has_value(),
                 JsonTime(ShownTime(file, e.info))) +
         "}";
}

// The entries of a catalog stream: a table is walked twice (its widths,
// then its rows), JSON once, so that a catalog of any size lists in the
// memory of one entry.
// The most a table's rows may take in memory before the listing reads the
// catalog twice (widths, then rows) instead.
constexpr size_t kHeldRowBytes = 1u << 20;

int ListEntries(Session& session, const std::string& name, bool json,
                bool long_listing) {
  NameLevels levels = SplitLevels(name);
  if (levels.count == 2) levels.entry = "*";
  if (json) {
    std::string text = "[";
    size_t count = 0;
    bool ok = ForEachEntry(session, levels, [&](const FoundEntry& e) {
      text += (count++ == 0 ? "\n  " : ",\n  ") + JsonEntry(e);
      // The array so far, but for its last object's comma.
      std::fputs(text.c_str(), stdout);
      text.clear();
    });
    if (!ok) return kExitFailed;
    text += count == 0 ? "]" : "\n]";
    std::puts(text.c_str());
    return kExitOk;
  }
  auto row = [&](const FoundEntry& e) -> std::vector<std::string> {
    if (!long_listing) {
      return {Printable(e.name), Printable(e.type),
              Printable(e.info.description)};
    }
    KeptFile file = KeptFileOf(e.info);
    return {Printable(e.name),
            Printable(e.type),
            std::to_string(e.info.record_count),
            file.bytes ? std::to_string(*file.bytes) : "-",
            TableTime(ShownTime(file, e.info)),
            file.path ? Printable(*file.path) : "-",
            Printable(e.info.description)};
  };
  Table table = long_listing ? Table({"NAME", "TYPE", "RECORDS", "BYTES",
                                      "MODIFIED", "PATH", "DESCRIPTION"})
                             : Table({"NAME", "TYPE", "DESCRIPTION"});
  if (long_listing) {
    table.AlignRight(2);
    table.AlignRight(3);
  }
  // The columns' widths come first: the rows are held while they take
  // little memory, and a catalog of more is listed a second time.
  size_t count = 0;
  std::vector<std::vector<std::string>> held;
  size_t held_bytes = 0;
  bool again = false;
  if (!ForEachEntry(session, levels, [&](const FoundEntry& e) {
        std::vector<std::string> cells = row(e);
        table.Measure(cells);
        ++count;
        if (again) return;
        for (const std::string& cell : cells) {
          held_bytes += sizeof(std::string) + cell.size();
        }
        if (held_bytes > kHeldRowBytes) {
          again = true;
          std::vector<std::vector<std::string>>().swap(held);
        } else {
          held.push_back(std::move(cells));
        }
      })) {
    return kExitFailed;
  }
  // A pattern that matches nothing says so; an empty catalog is a table
  // with no rows.
  if (levels.count > 2 && count == 0) {
    PrintError(Printable(name) + ": no entry matches");
    return kExitFailed;
  }
  table.PrintHeadings();
  if (!again) {
    for (const std::vector<std::string>& cells : held) table.PrintRow(cells);
    return kExitOk;
  }
  if (!ForEachEntry(session, levels,
                    [&](const FoundEntry& e) { table.PrintRow(row(e)); })) {
    return kExitFailed;
  }
  return kExitOk;
}

int RunList(Session& session, const Words& words, const Settings& settings) {
  bool json = settings.json;
  bool long_listing = settings.long_listing;
  if (words.size() > 1) return UsageError("list takes one name");
  if (words.empty()) {
    if (long_listing) return UsageError("-l lists the entries of a catalog");
    return ListLibraries(session, json);
  }
  const std::string& name = words[0];
  if (name.find('.') == std::string::npos) {
    if (long_listing) return UsageError("-l lists the entries of a catalog");
    return ListCatalogs(session, name, json);
  }
  return ListEntries(session, name, json, long_listing);
}

constexpr Flag kListFlags[] = {
    JsonFlag(),
    {"--long", 'l', nullptr,
     "records, bytes, the file's time and the path of each entry",
     [](Settings& s, const std::string&) { s.long_listing = true; }},
};

}  // namespace

const Command kListCommand = {
    .name = "list",
    .usage = "list [LIBREF[.CATALOG[.PATTERN]]] [-l] [--json]",
    .summary = "the libraries, a library's catalogs, or a catalog's entries",
    .flags = kListFlags,
    .arguments = {.words = {Word::kName}},
    .use = StoreUse::kRead,
    .help = R"(
Without a name: the libraries of the data folder. With a libref: its
catalogs and how many entries each holds. With LIBREF.CATALOG: its entries
by name, type and description; -l (--long) adds the records, the bytes
(of the file the entry gives back, '-' where the host does not know them),
the time of the file (the one it was imported with, as export gives it
back; for an entry written, not imported, the time of its last change) and
the path the entry keeps in the catalog's tree (a folder's ends in /; '-'
for none). LIBREF.CATALOG.PATTERN lists the entries the pattern matches
(* any characters, ? one; the type level may be a pattern too).

Control characters and bytes that are not UTF-8 are shown as \xHH in the
table (a backslash as \\); columns are aligned by the width characters take
on the terminal.

--json prints one JSON array, one object a line:
  libraries  {"libref": "WORK", "catalogs": 2}
  catalogs   {"catalog": "REPORTS", "entries": 3}
  entries    {"name": "JAN", "type": "CATAMS", "description": "",
              "records": 3, "bytes": 31, "longest_record": 10,
              "created": "2024-01-31T09:00:00.000000Z", "modified": "...",
              "path": "notes/jan.txt", "mode": "0644", "file_modified": "..."}
created and modified are the entry's first and last writes (an import's
time); path, mode and file_modified are the path the file keeps in the
catalog's tree (a folder's ends in /), its permission bits and its time,
and bytes the size of the file the entry gives back: null where the host
does not know them (an entry written, not imported). Strings are exact
(control characters as \u escapes; a byte that is not UTF-8 as \ufffd);
times are UTC.
)",
    .run = RunList,
};

}  // namespace cli
