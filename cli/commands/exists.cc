// vuvorozo exists NAME [-v] [--json]: whether the entry
// (libref.catalog.entry[.type]) or the catalog (libref.catalog) exists.
// Exit 0 when it does, 1 when it does not, and silent unless asked; a test
// that cannot be made (a name the module refuses, a library the store cannot
// read) exits with the usage code, so that a script never takes it for an
// absent entry.

#include <cstdio>

#include "cli/command_support.h"
#include "cli/commands/commands.h"
#include "cli/option_text.h"
#include "cli/report.h"
#include "refhost/host/library_services.h"

namespace cli {
namespace {

// near: the names the user may have meant, for -v (" Did you mean ...?").
int Answer(const std::string& name, bool exists, bool json,
           const std::string& near = "") {
  if (json) {
    std::printf("{\"name\": %s, \"exists\": %s}\n", JsonString(name).c_str(),
                exists ? "true" : "false");
  } else if (exists) {
    PrintDetail(Printable(name) + " exists");
  } else {
    PrintDetail(Printable(name) + " does not exist" +
                (near.empty() ? "" : "." + near));
  }
  return exists ? kExitOk : kExitFailed;
}

int RunExists(Session& session, const Words& words, const Settings& settings) {
  bool json = settings.json;
  if (words.size() != 1) {
    return UsageError(words.empty() ? "a name is needed"
                                    : "exists takes one name and no options");
  }
  const std::string& name = words[0];
  Fileref fileref(session);
  if (!AssignName(session, fileref, name, nullptr)) return kExitUsage;
  int32_t st = fileref.Exists();
  if (st == 0) return Answer(name, true, json);
  // Not there: the entry, or the library or catalog that would hold it.
  if (session.ReasonOf(st) == Reason::kNotFound && session.folder_absent()) {
    // Absent, and said so: a mistyped data folder is no empty one.
    PrintError(session.AbsentFolder());
    return Answer(name, false, json);
  }
  if (session.ReasonOf(st) == Reason::kNotFound) {
    bool told = !json && CurrentVerbosity() == Verbosity::kVerbose;
    return Answer(name, false, json, told ? session.NearMiss(name) : "");
  }
  session.Fail(Printable(name), st);
  return kExitUsage;
}

constexpr Flag kExistsFlags[] = {
    JsonFlag(),
};

}  // namespace

const Command kExistsCommand = {
    .name = "exists",
    .usage = "exists NAME [-v] [--json]",
    .summary = "exit 0 when the entry or catalog exists, 1 when not",
    .flags = kExistsFlags,
    .arguments = {.words = {Word::kEntry}},
    .use = StoreUse::kRead,
    .help = R"(
Tests whether the entry (LIBREF.CATALOG.ENTRY[.TYPE]) or the catalog
(LIBREF.CATALOG) exists, and says nothing: exit code 0 when it exists, 1
when it does not (nor its data folder: that is said), 2 when the test
cannot be made (a usage error, a name the module refuses, or a library the
store cannot read: permission, a damaged file; the reason is said). -v
prints "NAME exists" or "NAME does not exist", with the names of the store
near it. --json prints one object: {"name": "work.reports.jan", "exists":
true}.
)",
    .run = RunExists,
};

}  // namespace cli
