// vuvorozo export LIBREF.CATALOG DIR [OPTIONS]: every entry of the catalog
// becomes a file <entry name in lower case>.<extension> in the folder, with
// an extension that imports back to the same type. The entries are walked
// first, then each is opened as a member of the catalog's directory and
// read.

#include <algorithm>
#include <cstdio>
#include <set>

#include "cli/commands.h"
#include "cli/entry_types.h"
#include "cli/option_text.h"
#include "cli/records.h"

namespace cli {
namespace {

struct Member {
  std::string name;
  std::string type;
};

// The hint of a member open whose text names its type.
constexpr char kNoHint[] = "CATAMS  ";

Outcome ExportMember(Session& session, Directory& directory,
                     const std::string& folder, const Member& member,
                     std::set<std::string>* written) {
  std::string label = member.name + "." + member.type;
  std::string file = Lower(member.name) + "." + ExtensionOf(member.type);
  // Names come from the catalog, and a catalog written by others may hold
  // a name that is no file name here.
  if (member.name.empty() || member.type.empty() ||
      member.name.find_first_of("/.") != std::string::npos ||
      member.name.find('\0') != std::string::npos) {
    PrintError(label + ": skipped: the name cannot be a file name");
    return Outcome::kSkipped;
  }
  if (!written->insert(file).second) {
    PrintError(label + ": skipped: another entry was exported as " + file);
    return Outcome::kSkipped;
  }
  OpenEntry entry(session);
  int32_t st = entry.OpenMember(directory, label, kNoHint, kOpenInput,
                                kInputRecordLength, nullptr);
  if (st != 0) {
    session.Fail(label + ": skipped", st);
    return Outcome::kSkipped;
  }
  std::string path = folder + "/" + file;
  std::FILE* out = std::fopen(path.c_str(), "wb");
  if (out == nullptr) {
    PrintError(label + ": skipped: cannot create " + path);
    return Outcome::kSkipped;
  }
  bool out_failed = false;
  Transfer transfer =
      ReadRecords(entry, IsBinaryType(member.type), out, &out_failed);
  if (std::fclose(out) != 0) out_failed = true;
  int32_t close = entry.Close();
  if (out_failed || transfer.status != 0 || close != 0) {
    // A file cut short is worse than none.
    std::remove(path.c_str());
    if (out_failed) {
      PrintError(label + ": skipped: cannot write " + path);
    } else {
      session.Fail(label + ": skipped",
                   transfer.status != 0 ? transfer.status : close);
    }
    return Outcome::kSkipped;
  }
  std::printf("%s -> %s (%lld record%s)\n", label.c_str(), path.c_str(),
              static_cast<long long>(transfer.records),
              transfer.records == 1 ? "" : "s");
  WarnTruncated(label, transfer, entry.record_length(), false);
  return transfer.truncated != 0 ? Outcome::kTruncated : Outcome::kDone;
}

}  // namespace

int RunExport(Session& session, const Words& words) {
  if (words.size() < 2) {
    return UsageError("export",
                      "a name libref.catalog and a folder are needed");
  }
  const std::string& name = words[0];
  const std::string& folder = words[1];
  OptionBlock options(session);
  if (!ParseOptionWords(session, "export",
                        Words(words.begin() + 2, words.end()), &options)) {
    return kExitUsage;
  }
  Fileref fileref(session);
  Directory directory(session);
  if (!OpenExistingCatalog(session, fileref, directory, name, &options)) {
    return kExitFailed;
  }
  // The whole walk first: each member is then opened while no stream runs.
  std::vector<Member> members;
  Member m;
  std::string description;
  int32_t st;
  while ((st = directory.Next(&m.name, &m.type, &description)) == 0) {
    members.push_back(m);
  }
  if (st != kStatusEndOfList) {
    session.Fail(name, st);
    return kExitFailed;
  }
  if (!MakeFolder(folder)) {
    PrintError("export: cannot create the folder " + folder);
    return kExitFailed;
  }
  std::set<std::string> written;
  Tally tally;
  for (const Member& member : members) {
    tally.Add(ExportMember(session, directory, folder, member, &written));
  }
  return FinishBatch(session, directory, name, "export", tally, members.size(),
                     "entries were not exported");
}

}  // namespace cli
