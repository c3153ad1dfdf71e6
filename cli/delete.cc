// vuvorozo delete NAME: deletes the entry a name libref.catalog.entry[.type]
// names.

#include "cli/commands.h"
#include "cli/option_text.h"

namespace cli {

int RunDelete(Session& session, const Words& words) {
  if (words.size() != 1) {
    return UsageError(
        "delete", words.empty() ? "a name libref.catalog.entry[.type] is needed"
                                : "delete takes one name and no options");
  }
  const std::string& name = words[0];
  Fileref fileref(session);
  if (!AssignName(session, fileref, name, nullptr)) return kExitFailed;
  int32_t st = fileref.Delete();
  if (st != 0) {
    session.Fail(Printable(name), st);
    return kExitFailed;
  }
  return kExitOk;
}

}  // namespace cli
