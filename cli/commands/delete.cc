// vuvorozo delete [-r] NAME...: deletes entries through the module (slot
// 32), each named or matched by a pattern, and catalogs (LIBREF.CATALOG)
// through the host's store: an empty one, or with -r one with its entries.

#include "cli/command_support.h"
#include "cli/commands/commands.h"
#include "cli/option_text.h"
#include "cli/patterns.h"
#include "refhost/host/library_services.h"

namespace cli {
namespace {

bool DeleteEntry(Session& session, const std::string& name) {
  Fileref fileref(session);
  if (!AssignName(session, fileref, name, nullptr)) return false;
  int32_t st = fileref.Delete();
  if (st != 0) {
    session.Fail(Printable(name), st, name);
    return false;
  }
  PrintDetail("deleted " + Printable(name));
  return true;
}

bool DeleteCatalog(Session& session, const NameLevels& levels,
                   const std::string& name, bool recursive) {
  if (!refhost::CheckLibref(levels.libref).ok()) {
    PrintError(Printable(name) + ": not a catalog name: the libref has " +
               kLibrefRule);
    return false;
  }
  refhost::StoreStatus status = session.host().store()->DeleteCatalog(
      refhost::LibrefKey(levels.libref), Upper(levels.catalog), recursive);
  if (status.ok()) {
    PrintDetail("deleted " + Printable(name));
    return true;
  }
  std::string reason;
  if (status.IsNotEmpty()) {
    reason = "the catalog holds entries; delete -r deletes it with them";
  } else if (status.IsNotFound()) {
    refhost::StoreStatus library =
        session.host().store()->FindLibrary(refhost::LibrefKey(levels.libref));
    reason =
        library.ok() ? "The catalog does not exist." : session.Explain(library);
    reason += session.NearMiss(name);
  } else {
    reason = session.Explain(status);
  }
  PrintError(Printable(name) + ": " + reason);
  return false;
}

int RunDelete(Session& session, const Words& words, const Settings& settings) {
  bool recursive = settings.recursive;
  if (words.empty()) return UsageError("a name is needed");
  size_t options_at = OptionStart(words, 0);
  if (options_at != words.size()) {
    return UsageError("'" + Printable(words[options_at]) +
                      "': delete takes names, not options");
  }
  bool failed = false;
  for (const std::string& name : words) {
    NameLevels levels = SplitLevels(name);
    if (levels.count == 2) {
      failed |= !DeleteCatalog(session, levels, name, recursive);
    } else if (levels.count >= 3 &&
               (IsPattern(levels.entry) || IsPattern(levels.type))) {
      std::vector<FoundEntry> found;
      if (!FindEntries(session, levels, &found)) {
        failed = true;
        continue;
      }
      if (found.empty()) {
        PrintError(Printable(name) + ": no entry matches");
        failed = true;
      }
      for (const FoundEntry& e : found) {
        failed |= !DeleteEntry(session, e.path);
      }
    } else {
      failed |= !DeleteEntry(session, name);
    }
  }
  return failed ? kExitFailed : kExitOk;
}

constexpr Flag kDeleteFlags[] = {
    RecursiveFlag("a catalog with its entries"),
};

}  // namespace

const Command kDeleteCommand = {
    .name = "delete",
    .usage = "delete [-r] NAME...",
    .summary = "deletes entries, or empty catalogs",
    .flags = kDeleteFlags,
    .arguments = {.words = {Word::kEntry}, .repeats = true},
    .use = StoreUse::kChange,
    .help = R"(
Deletes each entry named (LIBREF.CATALOG.ENTRY[.TYPE], or a pattern that
matches entries) and each catalog named (LIBREF.CATALOG). A catalog that
still holds entries is refused unless -r (--recursive) is given, which
deletes it with its entries. Exit code 1 when a name does not exist or a
pattern matches nothing; the other names are still deleted.
)",
    .run = RunDelete,
};

}  // namespace cli
