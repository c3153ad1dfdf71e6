// vuvorozo copy FROM TO (and the copy of rename): entries copied record
// by record through the routine vector (records.h's CopyEntry), keeping
// type, description and host attributes, within a catalog or across
// catalogs and libraries. A rename is a copy whose source is deleted once
// the copy is committed whole.

#include <algorithm>

#include "cli/command_support.h"
#include "cli/commands/commands.h"
#include "cli/option_text.h"
#include "cli/patterns.h"
#include "cli/records.h"
#include "refhost/host/library_services.h"

namespace cli {
namespace {

// An entry to copy: its path name and what the host knows of it.
struct Source {
  std::string path;  // LIBREF.CATALOG.NAME.TYPE
  refhost::EntryInfo info;
};

// The entries FROM names: those a pattern matches, or the one entry.
bool Sources(Session& session, const std::string& from,
             std::vector<Source>* sources) {
  NameLevels levels = SplitLevels(from);
  if (IsPattern(levels.entry) || IsPattern(levels.type)) {
    std::vector<FoundEntry> found;
    if (!FindEntries(session, levels, &found)) return false;
    if (found.empty()) {
      PrintError(Printable(from) + ": no entry matches");
      return false;
    }
    for (FoundEntry& e : found) sources->push_back({e.path, e.info});
    return true;
  }
  Fileref fileref(session);
  if (!AssignName(session, fileref, from, nullptr)) return false;
  int32_t st;
  std::string path = fileref.PathName(&st);
  if (st == 0) st = fileref.Exists();
  if (st != 0) {
    session.Fail(Printable(path.empty() ? from : path), st, from);
    return false;
  }
  EntryKey key = KeyOfPath(path);
  Source source{path, {}};
  session.host().library_services()->FindEntry(
      key.libref, key.catalog, key.name, key.type, &source.info);
  sources->push_back(source);
  return true;
}

bool DeleteSource(Session& session, const Source& source) {
  Fileref fileref(session);
  if (!AssignName(session, fileref, source.path, nullptr)) return false;
  int32_t st = fileref.Delete();
  if (st != 0) {
    session.Fail(Printable(source.path) + ": copied, but not deleted", st);
    return false;
  }
  return true;
}

}  // namespace

int CopyEntries(Session& session, const Words& words, bool move) {
  if (words.size() != 2) {
    return UsageError(CurrentCommand() + " takes FROM and TO");
  }
  const std::string& from = words[0];
  const std::string& to = words[1];
  NameLevels source_levels = SplitLevels(from);
  NameLevels target = SplitLevels(to);
  if (source_levels.count < 3) {
    return UsageError(Printable(from) +
                      ": FROM names an entry, libref.catalog.entry[.type], "
                      "or a pattern of entries");
  }
  if (target.count < 2 || IsPattern(to)) {
    return UsageError(Printable(to) +
                      ": TO names a catalog, libref.catalog, or an entry, "
                      "libref.catalog.entry");
  }
  std::vector<Source> sources;
  if (!Sources(session, from, &sources)) return kExitFailed;
  if (target.count > 2 && sources.size() > 1) {
    return UsageError(Printable(from) + " matches " +
                      std::to_string(sources.size()) +
                      " entries: TO names a catalog for them");
  }
  Progress::Begin(CurrentCommand(), static_cast<int64_t>(sources.size()));
  bool failed = false;
  for (const Source& source : sources) {
    EntryKey key = KeyOfPath(source.path);
    std::string name = target.count == 2 ? key.name : target.entry;
    if (target.count == 4 && Upper(target.type) != key.type) {
      PrintError(Printable(to) + ": the copy keeps the type " +
                 Printable(key.type) + " of " + Printable(source.path));
      failed = true;
      continue;
    }
    std::string path = Upper(target.Catalog() + "." + name) + "." + key.type;
    if (path == source.path) {
      PrintError(Printable(source.path) + ": is the entry itself");
      failed = true;
      continue;
    }
    int32_t status = 0;
    MadeCatalog made(session, path);
    bool copied =
        CopyEntry(session, source.path, source.info, path, nullptr, &status);
    if (!copied) made.RemoveIfMade();
    if (copied && move) copied = DeleteSource(session, source);
    failed |= !copied;
    Progress::ItemDone();
  }
  return failed ? kExitFailed : kExitOk;
}

namespace {

int RunCopy(Session& session, const Words& words, const Settings&) {
  return CopyEntries(session, words, false);
}

}  // namespace

constexpr Flag kCopyFlags[] = {LevelFlag()};

const Command kCopyCommand = {
    .name = "copy",
    .usage = "copy [--level N] FROM TO",
    .summary = "copies entries, across catalogs and libraries",
    .flags = kCopyFlags,
    .arguments = {.words = {Word::kEntry, Word::kEntry}},
    .use = StoreUse::kChange,
    .help = R"(
Copies the entry FROM (LIBREF.CATALOG.ENTRY[.TYPE], or a pattern) to TO: a
catalog (LIBREF.CATALOG), where each entry keeps its name, or with one
entry an entry name (LIBREF.CATALOG.ENTRY), which keeps FROM's type. The
copy has the same records, type, description and host attributes (the
file name, time and mode export gives back). An entry TO names is
replaced; the catalog and library are made when absent. FROM and TO may be
in different libraries.
)",
    .run = RunCopy,
};

}  // namespace cli
