// vuvorozo export [-r] NAME DIR [OPTIONS]: every entry of a catalog becomes
// a file in a folder: under the file name it was imported from, else
// <entry name in lower case>.<extension>, with the modification time and
// mode it was imported with (else the entry's own time). With -r, NAME is a
// libref and each catalog becomes a folder of DIR. The entries are walked
// first, then each is opened as a member of the catalog's directory and
// read. Files are written under a temporary name and renamed over the
// target, relative to the folder and never through a link; a manifest of
// what was exported, with the descriptions, goes with them.

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>

#include "cli/commands.h"
#include "cli/content.h"
#include "cli/entry_types.h"
#include "cli/file_names.h"
#include "cli/manifest.h"
#include "cli/option_text.h"
#include "cli/records.h"
#include "refhost/library_services.h"

namespace cli {
namespace {

using refhost::FileAttributes;

struct Member {
  std::string name;
  std::string type;
  refhost::EntryInfo info;
};

// The hint of a member open whose text names its type.
constexpr char kNoHint[] = "CATAMS  ";

std::string ErrorText() { return std::strerror(errno); }

// Why a name or type from a catalog cannot be part of a file name (a
// catalog written by others may hold anything); empty when it can.
std::string UnsafePart(std::string_view part) {
  if (part.empty()) return "it is empty";
  if (part.find_first_of("/.") != std::string_view::npos) {
    return "it holds '/' or '.'";
  }
  std::string reason;
  if (!IsPlainFileName(part, &reason)) return reason;
  return "";
}

class Exporter {
 public:
  Exporter(Session& session, const Words& option_words, std::string root)
      : session_(session),
        option_words_(option_words),
        root_path_(std::move(root)) {
    mode_t mask = umask(0);
    umask(mask);
    default_mode_ = 0666 & ~mask;
  }
  ~Exporter() {
    if (root_ >= 0) close(root_);
  }

  Tally& tally() { return tally_; }

  // Exports the catalog name (LIBREF.CATALOG) into the folder the exporter
  // was made for, or, with folder_each, into a folder of it made for the
  // catalog.
  void ExportCatalog(const std::string& name, bool folder_each);

 private:
  Outcome ExportMember(Directory& directory, int folder,
                       const std::string& label, const Member& member,
                       std::vector<ManifestLine>* manifest);
  // The folder of root a catalog exports to under -r; -1 when there is none
  // (reported).
  int FolderFor(int root, const std::string& catalog,
                const std::vector<Member>& members, std::string* label);

  // The folder the exporter was made for, made and opened when the first
  // catalog has been walked (a catalog that is not there leaves no folder
  // behind); -1 with the failure reported when it cannot be.
  int Root();

  Session& session_;
  const Words& option_words_;
  std::string root_path_;
  int root_ = -1;
  bool root_failed_ = false;
  EntryKey catalog_;  // libref and catalog being exported
  mode_t default_mode_;
  std::set<std::string> folders_;  // made for catalogs under -r
  std::set<std::string> written_;  // files of the folder being filled
  Tally tally_;
};

int Exporter::FolderFor(int root, const std::string& catalog,
                        const std::vector<Member>& members,
                        std::string* label) {
  // The folder the entries were imported from, when they say.
  std::string folder, reason;
  for (const Member& m : members) {
    FileAttributes a;
    if (refhost::DecodeFileAttributes(m.info.host_attributes, &a) &&
        !a.folder.empty() && IsPlainFileName(a.folder, &reason)) {
      folder = a.folder;
      break;
    }
  }
  if (folder.empty() || folders_.count(folder) != 0) folder = Lower(catalog);
  *label = folder + "/";
  if (!IsPlainFileName(folder, &reason) || folders_.count(folder) != 0) {
    tally_.failed = true;
    PrintError(Printable(catalog) +
               ": skipped: no folder can be made for it: " +
               (folders_.count(folder) != 0
                    ? "another catalog took " + Printable(folder)
                    : reason));
    return -1;
  }
  folders_.insert(folder);
  if (!MakeFolderIn(root, folder)) {
    tally_.failed = true;
    PrintError(Printable(folder) + ": cannot make the folder: " + ErrorText());
    return -1;
  }
  int fd = OpenFolderIn(root, folder);
  if (fd < 0) {
    tally_.failed = true;
    PrintError(
        Printable(folder) +
        ": cannot open the folder (a link is not followed): " + ErrorText());
  }
  return fd;
}

int Exporter::Root() {
  if (root_ >= 0 || root_failed_) return root_;
  if (MakeFolder(root_path_)) {
    root_ = OpenFolder(root_path_);
  }
  if (root_ < 0) {
    root_failed_ = true;
    tally_.failed = true;
    PrintError("export: cannot create the folder " + Printable(root_path_) +
               ": " + ErrorText());
  }
  return root_;
}

void Exporter::ExportCatalog(const std::string& name, bool folder_each) {
  OptionBlock options(session_);
  std::string offending;
  bool cut;
  options.Parse(option_words_, &offending, &cut);  // checked before
  Fileref fileref(session_);
  Directory directory(session_);
  if (!OpenExistingCatalog(session_, fileref, directory, name, &options)) {
    tally_.failed = true;
    return;
  }
  // The whole walk first: each member is then opened while no stream runs.
  std::vector<Member> members;
  Member m;
  int32_t st;
  while ((st = directory.Next(&m.name, &m.type, &m.info)) == 0) {
    members.push_back(m);
  }
  if (st != kStatusEndOfList) {
    session_.Fail(Printable(name), st);
    tally_.failed = true;
    return;
  }
  catalog_ = KeyOfPath(Upper(name));
  std::string label;
  int target = Root();
  if (target >= 0 && folder_each) {
    target = FolderFor(target, catalog_.catalog, members, &label);
  }
  if (target < 0) return;
  Descriptor own(folder_each ? target : -1);
  written_.clear();
  std::vector<ManifestLine> manifest;
  for (const Member& member : members) {
    tally_.Add(ExportMember(directory, target, label, member, &manifest));
  }
  std::string error;
  if (!manifest.empty() && !WriteManifest(target, manifest, &error)) {
    tally_.failed = true;
    PrintError(Printable(label) + std::string(kManifestName) +
               ": cannot be written: " + error);
  }
  st = directory.Close();
  if (st != 0) {
    session_.Fail(Printable(name), st);
    tally_.failed = true;
  }
}

Outcome Exporter::ExportMember(Directory& directory, int folder,
                               const std::string& label, const Member& member,
                               std::vector<ManifestLine>* manifest) {
  std::string what = Printable(member.name + "." + member.type);
  std::string unsafe = UnsafePart(member.name);
  if (unsafe.empty()) unsafe = UnsafePart(member.type);
  if (!unsafe.empty()) {
    return Skipped(what, "the name cannot be part of a file name: " + unsafe);
  }
  FileAttributes attributes;
  bool known =
      refhost::DecodeFileAttributes(member.info.host_attributes, &attributes);
  std::string file = DefaultFileName(member.name, member.type);
  std::string reason;
  if (!attributes.file_name.empty()) {
    if (IsPlainFileName(attributes.file_name, &reason)) {
      file = attributes.file_name;
    } else {
      PrintError("warning: " + what + ": the recorded file name " +
                 Printable(attributes.file_name) + " is not used (" + reason +
                 "); exported as " + Printable(file));
    }
  }
  std::string shown = Printable(root_path_ + "/" + label + file);
  if (!written_.insert(file).second) {
    return Skipped(what, "another entry was exported as " + shown);
  }
  EntryKey key = catalog_;
  key.name = member.name;
  key.type = member.type;
  OpenEntry entry(session_);
  int32_t st =
      entry.OpenMember(directory, key, member.name + "." + member.type, kNoHint,
                       kOpenInput, kInputRecordLength, nullptr);
  if (st != 0) {
    session_.Fail(what + ": skipped", st);
    return Outcome::kSkipped;
  }
  ExportFile out(folder, file);
  if (!out.Create()) {
    return Skipped(what, "cannot create a file in the folder: " + out.error());
  }
  Output bytes(out.fd());
  Transfer transfer =
      ReadRecords(entry, MappingOf(known ? &attributes : nullptr, member.type),
                  attributes.final_newline, bytes);
  bool written = bytes.Flush();
  int32_t close = entry.Close();
  if (!written) {
    return Skipped(what, "cannot write " + shown + ": " + bytes.error());
  }
  if (transfer.status != 0 || close != 0) {
    session_.Fail(what + ": skipped",
                  transfer.status != 0 ? transfer.status : close);
    return Outcome::kSkipped;
  }
  uint32_t mode = attributes.mode ? *attributes.mode : default_mode_;
  int64_t modified = attributes.modified_ns
                         ? *attributes.modified_ns
                         : member.info.modified_micros * 1000;
  if (!out.Commit(mode, modified)) {
    return Skipped(what, "cannot write " + shown + ": " + out.error());
  }
  manifest->push_back({file, key.Path(), member.info.description});
  std::printf("%s -> %s (%lld record%s)\n", what.c_str(), shown.c_str(),
              static_cast<long long>(transfer.records),
              transfer.records == 1 ? "" : "s");
  WarnTruncated(what, transfer, entry.record_length(), false);
  return transfer.truncated != 0 ? Outcome::kTruncated : Outcome::kDone;
}

}  // namespace

int RunExport(Session& session, const Words& words, const BatchFlags& flags) {
  if (words.size() < 2) {
    return UsageError("export", flags.recursive
                                    ? "a libref and a folder are needed"
                                    : "a name libref.catalog and a folder "
                                      "are needed");
  }
  const std::string& name = words[0];
  const std::string& folder = words[1];
  if (flags.recursive && !refhost::CheckLibref(name).ok()) {
    return UsageError("export",
                      "export -r takes a libref (1 to 8 letters, digits "
                      "or _ $ # @), not " +
                          Printable(name));
  }
  Words option_words(words.begin() + 2, words.end());
  {
    OptionBlock options(session);
    if (!ParseOptionWords(session, "export", option_words, &options)) {
      return kExitUsage;
    }
  }
  std::vector<refhost::CatalogInfo> catalogs;
  if (flags.recursive) {
    refhost::StoreStatus status =
        session.host().library()->ListCatalogs(name, &catalogs);
    if (!status.ok()) {
      PrintError(Printable(name) + ": " +
                 (status.IsNotFound() ? "The library does not exist."
                                      : status.ToString()));
      return kExitFailed;
    }
  }
  Exporter exporter(session, option_words, folder);
  if (flags.recursive) {
    for (const refhost::CatalogInfo& catalog : catalogs) {
      exporter.ExportCatalog(Upper(name) + "." + catalog.name, true);
    }
  } else {
    exporter.ExportCatalog(name, false);
  }
  return FinishBatch("export", exporter.tally(), "entries were not exported");
}

}  // namespace cli
