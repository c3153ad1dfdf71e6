// vuvorozo mkdir LIBREF.CATALOG...: empty catalogs made in the host's
// store, each library made when absent. A catalog is the host's own: the
// module opens catalogs, it does not make them empty.

#include "cli/command_support.h"
#include "cli/commands/commands.h"
#include "cli/option_text.h"
#include "cli/patterns.h"

namespace cli {
namespace {

int RunMkdir(Session& session, const Words& words, const Settings&) {
  if (words.empty())
    return UsageError("a catalog name libref.catalog is needed");
  refhost::CatalogStore* store = session.host().store();
  bool failed = false;
  for (const std::string& name : words) {
    NameLevels levels = SplitLevels(name);
    refhost::StoreStatus status =
        levels.count != 2 ? refhost::StoreStatus::InvalidArgument(
                                "not a catalog name: libref.catalog")
                          : refhost::CheckLibref(levels.libref);
    std::string catalog = Upper(levels.catalog);
    if (status.ok()) status = refhost::CheckCatalogName(catalog);
    std::string libref = refhost::LibrefKey(levels.libref);
    if (status.ok() && store->FindCatalog(libref, catalog).ok()) {
      status = refhost::StoreStatus::InvalidArgument("the catalog exists");
    }
    if (status.ok()) status = store->CreateCatalog(libref, catalog);
    if (!status.ok()) {
      PrintError(Printable(name) + ": " + Printable(status.message()));
      failed = true;
      continue;
    }
    PrintDetail("made " + Printable(libref + "." + catalog));
  }
  return failed ? kExitFailed : kExitOk;
}

}  // namespace

const Command kMkdirCommand = {
    .name = "mkdir",
    .usage = "mkdir LIBREF.CATALOG...",
    .summary = "creates empty catalogs",
    .arguments = {.words = {Word::kCatalog}, .repeats = true},
    .use = StoreUse::kCreate,
    .help = R"(
Creates each catalog named, empty, and its library when absent. A catalog
that exists already is reported (exit code 1).
)",
    .run = RunMkdir,
};

}  // namespace cli
