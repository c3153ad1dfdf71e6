// vuvorozo exists NAME [-v] [--json]: whether the entry
// (libref.catalog.entry[.type]) or the catalog (libref.catalog) exists.
// Exit 0 when it does, 1 when it does not, and silent unless asked; a test
// that cannot be made (a name the module refuses) exits with the usage
// code, so that a script never takes it for an absent entry.

#include <cstdio>

#include "cli/commands.h"
#include "cli/option_text.h"
#include "cli/report.h"
#include "refhost/host/library_services.h"

namespace cli {
namespace {

// The statuses that mean the thing named is not there: the entry, or the
// library or catalog that would hold it.
bool IsAbsence(int32_t status) {
  constexpr int32_t kAbsent[] = {kStatusNoSuchEntry, refhost::kLibNoSuchLibrary,
                                 refhost::kLibNoSuchCatalog};
  for (int32_t absent : kAbsent) {
    if (status == absent) return true;
  }
  return host_no_such_entry(status);
}

int Answer(const std::string& name, bool exists, bool json) {
  if (json) {
    std::printf("{\"name\": %s, \"exists\": %s}\n", JsonString(name).c_str(),
                exists ? "true" : "false");
  } else {
    PrintDetail(Printable(name) + (exists ? " exists" : " does not exist"));
  }
  return exists ? kExitOk : kExitFailed;
}

}  // namespace

int RunExists(Session& session, const Words& words, bool json) {
  if (words.size() != 1) {
    return UsageError(words.empty() ? "a name is needed"
                                    : "exists takes one name and no options");
  }
  const std::string& name = words[0];
  Fileref fileref(session);
  if (!AssignName(session, fileref, name, nullptr)) return kExitUsage;
  int32_t st = fileref.Exists();
  if (st == 0) return Answer(name, true, json);
  if (IsAbsence(st)) return Answer(name, false, json);
  session.Fail(Printable(name), st);
  return kExitUsage;
}

}  // namespace cli
