// Steps every command shares: usage errors, assigning a name, parsing the
// user's options.

#include <cstdio>

#include "cli/commands.h"
#include "cli/option_text.h"
#include "refhost/host.h"

namespace cli {

int UsageError(const std::string& command, const std::string& text) {
  std::fprintf(stderr, "vuvorozo %s: %s\nTry 'vuvorozo %s --help'.\n",
               command.c_str(), text.c_str(), command.c_str());
  return kExitUsage;
}

bool AssignName(Session& session, Fileref& fileref, const std::string& name,
                OptionBlock* options) {
  // The host splits the name (znamdiv) when the module assigns it, and a
  // name it cannot split arrives as no levels at all, which the module can
  // only call "not an entry". Saying what is wrong with it is the host's
  // part.
  name_part parts[4];
  name_part* part_addresses[4] = {&parts[0], &parts[1], &parts[2], &parts[3]};
  int32_t levels = 0;
  refhost::SplitName(name, &levels, part_addresses);
  if (levels == 0) {
    PrintError(name +
               ": not a name the host can split: one to four levels "
               "separated by '.', each of 1 to 32 characters");
    return false;
  }
  // The module upper-cases the levels of an entry's name but hands the
  // libref and catalog of a two-level name to the host as they stand, and
  // the store keeps case: work.reports would be another catalog than the
  // one work.reports.jan is in. Names go to the module in upper case.
  int32_t st = fileref.Assign(Upper(name), options);
  if (st != 0) {
    session.Fail(name, st);
    return false;
  }
  return true;
}

bool ParseOptionWords(Session& session, const std::string& command,
                      const Words& words, OptionBlock* options) {
  std::string offending;
  int32_t st = options->Parse(words, &offending);
  if (st == 0) return true;
  std::string what =
      offending.empty() ? std::string("options") : "option '" + offending + "'";
  std::fprintf(stderr, "vuvorozo %s: %s: %s\n", command.c_str(), what.c_str(),
               session.Explain(st).c_str());
  session.FlushIssued();
  return false;
}

int StartEntryCommand(Session& session, const std::string& command,
                      const Words& words, OptionBlock* options,
                      Fileref* fileref, std::string* path,
                      int32_t* path_status) {
  if (words.empty()) {
    return UsageError(command, "a name libref.catalog.entry[.type] is needed");
  }
  const std::string& name = words[0];
  if (!ParseOptionWords(session, command, Words(words.begin() + 1, words.end()),
                        options)) {
    return kExitUsage;
  }
  if (!AssignName(session, *fileref, name, nullptr)) return kExitFailed;
  *path = fileref->PathName(path_status);
  if (*path_status != 0) *path = name;
  return kExitOk;
}

int FinishBatch(Session& session, Directory& directory, const std::string& name,
                const std::string& command, const Tally& tally, size_t total,
                const std::string& what) {
  int32_t st = directory.Close();
  if (st != 0) {
    session.Fail(name, st);
    return kExitFailed;
  }
  if (tally.skipped != 0) {
    PrintError(command + ": " + std::to_string(tally.skipped) + " of " +
               std::to_string(total) + " " + what);
    return kExitFailed;
  }
  return tally.truncated != 0 ? kExitTruncated : kExitOk;
}

// The directory open asks the host for update first, and a host creates an
// absent catalog for update: a catalog that is only looked at is tested
// for existence first, so that looking creates nothing.
bool OpenExistingCatalog(Session& session, Fileref& fileref,
                         Directory& directory, const std::string& name,
                         OptionBlock* options) {
  if (!AssignName(session, fileref, name, options)) return false;
  name_part parts[4];
  name_part* addresses[4] = {&parts[0], &parts[1], &parts[2], &parts[3]};
  int32_t levels = 0;
  refhost::SplitName(name, &levels, addresses);
  if (levels == 2) {
    int32_t st = fileref.Exists();
    if (st != 0) {
      session.Fail(name, st);
      return false;
    }
  }
  // Any other name is the module's to refuse.
  int32_t st = directory.Open(fileref);
  if (st != 0) {
    session.Fail(name, st);
    return false;
  }
  return true;
}

}  // namespace cli
