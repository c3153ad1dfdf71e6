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
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>

#include "cli/command_support.h"
#include "cli/commands/commands.h"
#include "cli/files/attributes.h"
#include "cli/files/content.h"
#include "cli/files/entry_types.h"
#include "cli/files/file_names.h"
#include "cli/files/manifest.h"
#include "cli/files/tar_stream.h"
#include "cli/option_text.h"
#include "cli/patterns.h"
#include "cli/records.h"
#include "cli/report.h"
#include "refhost/host/library_services.h"

namespace cli {
namespace {

using refhost::FileAttributes;

struct Member {
  std::string name;
  std::string type;
  refhost::EntryInfo info;
  FileNaming naming;  // its file, by the rule the mount shares
};

// Which members of a catalog an export takes: all, or those a selector
// (ENTRY or ENTRY.TYPE, patterns allowed; no type: every type) matches.
class Selection {
 public:
  explicit Selection(Words selectors) : selectors_(std::move(selectors)) {
    matched_.assign(selectors_.size(), false);
  }
  bool Takes(const Member& member) {
    if (selectors_.empty()) return true;
    bool taken = false;
    for (size_t i = 0; i < selectors_.size(); ++i) {
      size_t dot = selectors_[i].find('.');
      std::string_view name = std::string_view(selectors_[i]).substr(0, dot);
      std::string_view type =
          dot == std::string::npos
              ? std::string_view("*")
              : std::string_view(selectors_[i]).substr(dot + 1);
      if (Matches(name, member.name) && Matches(type, member.type)) {
        matched_[i] = true;
        taken = true;
      }
    }
    return taken;
  }
  // Reports each selector that matched nothing; true when every one did.
  bool ReportUnmatched() const {
    bool all = true;
    for (size_t i = 0; i < selectors_.size(); ++i) {
      if (matched_[i]) continue;
      PrintError(Printable(selectors_[i]) + ": no entry matches");
      all = false;
    }
    return all;
  }

 private:
  Words selectors_;
  std::vector<bool> matched_;
};

class Exporter {
 public:
  // root: the folder to fill, or "-" for a tar stream on standard output.
  Exporter(Session& session, const Words& option_words, std::string root,
           Selection& selection)
      : session_(session),
        option_words_(option_words),
        root_path_(std::move(root)),
        selection_(selection) {
    default_mode_ = DefaultFileMode();
    if (root_path_ == "-") tar_ = std::make_unique<TarStream>(STDOUT_FILENO);
  }
  ~Exporter() {
    if (root_ >= 0) close(root_);
  }

  Tally& tally() { return tally_; }

  // Exports the catalog name (LIBREF.CATALOG) into the folder the exporter
  // was made for, or, with folder_each, into a folder of it made for the
  // catalog.
  void ExportCatalog(const std::string& name, bool folder_each);
  // Ends the tar stream, when there is one. false when it failed
  // (reported).
  bool Finish();

 private:
  Outcome ExportMember(Directory& directory, int folder,
                       const std::string& label, const Member& member,
                       std::vector<ManifestLine>* manifest);
  // Copies the records of the open entry into the file the member becomes,
  // in the folder or the stream. false with *error.
  bool Deliver(EntryStream& entry, const EntryFile& as_file, int folder,
               const std::string& path, const std::string& file,
               Transfer* transfer, std::string* error);
  // The folder name a catalog exports to under -r; empty when there is
  // none (reported).
  std::string FolderNameFor(const std::string& catalog,
                            const std::vector<Member>& members);
  // That folder made in root; -1 when it cannot be (reported).
  int MakeFolderFor(int root, const std::string& folder);

  // The folder the exporter was made for, made and opened when the first
  // catalog has been walked (a catalog that is not there leaves no folder
  // behind); -1 with the failure reported when it cannot be.
  int Root();

  Session& session_;
  const Words& option_words_;
  std::string root_path_;
  Selection& selection_;
  std::unique_ptr<TarStream> tar_;  // for root "-"
  int root_ = -1;
  bool root_failed_ = false;
  EntryKey catalog_;  // libref and catalog being exported
  mode_t default_mode_;
  std::set<std::string> folders_;  // made for catalogs under -r
  int64_t written_bytes_ = 0;      // bytes of the member exported last
  Tally tally_;
};

std::string Exporter::FolderNameFor(const std::string& catalog,
                                    const std::vector<Member>& members) {
  // The folder the entries were imported from, when they say.
  std::string folder;
  Reason reason = Reason::kNone;
  for (const Member& m : members) {
    FileAttributes a;
    if (refhost::DecodeFileAttributes(m.info.host_attributes, &a) &&
        !a.folder.empty() && IsPlainFileName(a.folder, &reason)) {
      folder = a.folder;
      break;
    }
  }
  if (folder.empty() || folders_.count(folder) != 0) folder = Lower(catalog);
  if (!IsPlainFileName(folder, &reason) || folders_.count(folder) != 0) {
    tally_.failed = true;
    PrintError(Printable(catalog) +
               ": skipped: no folder can be made for it: " +
               (folders_.count(folder) != 0
                    ? "another catalog took " + Printable(folder)
                    : std::string(TextOf(reason))));
    return "";
  }
  folders_.insert(folder);
  return folder;
}

int Exporter::MakeFolderFor(int root, const std::string& folder) {
  if (!MakeFolderIn(root, folder)) {
    tally_.failed = true;
    PrintError(Printable(folder) +
               ": cannot make the folder: " + SystemError());
    return -1;
  }
  int fd = OpenFolderIn(root, folder);
  if (fd < 0) {
    tally_.failed = true;
    PrintError(
        Printable(folder) +
        ": cannot open the folder (a link is not followed): " + SystemError());
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
    PrintError(Printable(root_path_) +
               ": cannot create the folder: " + SystemError());
  }
  return root_;
}

bool Exporter::Finish() {
  if (tar_ == nullptr) return true;
  if (tar_->Finish()) return true;
  PrintError("standard output: cannot be written: " + tar_->error());
  return false;
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
  // Every entry of the catalog takes part in naming the files, so that a
  // member's file is the one a whole export gives it.
  std::vector<Member> all;
  std::vector<NamedEntry> named;
  std::vector<bool> taken;
  Member m;
  int32_t st;
  while ((st = directory.Next(&m.name, &m.type, &m.info)) == 0) {
    FileAttributes kept;
    refhost::DecodeFileAttributes(m.info.host_attributes, &kept);
    named.push_back({m.name, m.type, kept.file_name});
    taken.push_back(selection_.Takes(m));
    all.push_back(m);
  }
  if (st != kStatusEndOfList) {
    session_.Fail(Printable(name), st);
    tally_.failed = true;
    return;
  }
  std::vector<FileNaming> naming = NameFiles(named);
  std::vector<Member> members;
  for (size_t i = 0; i < all.size(); ++i) {
    if (!taken[i]) continue;
    all[i].naming = std::move(naming[i]);
    members.push_back(std::move(all[i]));
  }
  catalog_ = KeyOfPath(Upper(name));
  std::string label;
  int target = -1;
  std::string folder;
  if (folder_each) {
    folder = FolderNameFor(catalog_.catalog, members);
    if (folder.empty()) return;
    label = folder + "/";
  }
  if (tar_ != nullptr) {
    if (folder_each &&
        !tar_->AddFolder(folder, default_mode_ | 0111, NowNs())) {
      tally_.failed = true;
      return;
    }
  } else {
    target = Root();
    if (target >= 0 && folder_each) target = MakeFolderFor(target, folder);
    if (target < 0) return;
  }
  Descriptor own(folder_each ? target : -1);
  Progress::AddTotal(static_cast<int64_t>(members.size()));
  std::vector<ManifestLine> manifest;
  for (const Member& member : members) {
    Outcome outcome = ExportMember(directory, target, label, member, &manifest);
    tally_.Add(outcome, written_bytes_);
  }
  // Entries without descriptions need no manifest: the folder then holds
  // just the files, and an earlier export's manifest goes, lest an import
  // take its stale descriptions.
  bool described = std::any_of(
      manifest.begin(), manifest.end(),
      [](const ManifestLine& line) { return !line.description.empty(); });
  std::string error;
  if (!described) {
    if (tar_ == nullptr && !manifest.empty() &&
        !RemoveManifest(target, &error)) {
      tally_.failed = true;
      PrintError(Printable(root_path_ + "/" + label) +
                 std::string(kManifestName) + ": cannot be removed: " + error);
    }
  } else {
    bool written =
        tar_ != nullptr
            ? tar_->AddText(label + std::string(kManifestName),
                            FormatManifest(manifest), default_mode_, NowNs())
            : WriteManifest(target, manifest, &error);
    if (!written) {
      tally_.failed = true;
      PrintError(
          Printable(label) + std::string(kManifestName) +
          ": cannot be written: " + (tar_ != nullptr ? tar_->error() : error));
    }
  }
  st = directory.Close();
  if (st != 0) {
    session_.Fail(Printable(name), st);
    tally_.failed = true;
  }
}

bool Exporter::Deliver(EntryStream& entry, const EntryFile& as_file, int folder,
                       const std::string& path, const std::string& file,
                       Transfer* transfer, std::string* error) {
  uint32_t mode = as_file.mode;
  int64_t modified = as_file.modified_ns;
  refhost::RecordMapping mapping = as_file.mapping;
  bool final_newline = as_file.attributes.final_newline;
  if (tar_ != nullptr) {
    // A tar member says its size ahead of its bytes: the bytes go to a
    // temporary file first.
    Descriptor spool(TemporaryFile());
    if (spool.get() < 0) {
      *error = "cannot make a temporary file: " + SystemError();
      return false;
    }
    Output bytes(spool.get());
    *transfer = ReadRecords(entry, mapping, final_newline, bytes);
    if (!bytes.Flush()) {
      *error = "cannot write a temporary file: " + bytes.error();
      return false;
    }
    if (transfer->status != 0) return true;
    if (!tar_->AddFile(path, mode & 0777, modified, spool.get(),
                       bytes.written())) {
      *error = "standard output: " + tar_->error();
      return false;
    }
    return true;
  }
  ExportFile out(folder, file);
  if (!out.Create()) {
    *error = "cannot create a file in the folder: " + out.error();
    return false;
  }
  Output bytes(out.fd());
  *transfer = ReadRecords(entry, mapping, final_newline, bytes);
  if (!bytes.Flush()) {
    *error = "cannot write " + Printable(path) + ": " + bytes.error();
    return false;
  }
  if (transfer->status != 0) return true;
  if (!out.Commit(mode, modified)) {
    *error = "cannot write " + Printable(path) + ": " + out.error();
    return false;
  }
  return true;
}

Outcome Exporter::ExportMember(Directory& directory, int folder,
                               const std::string& label, const Member& member,
                               std::vector<ManifestLine>* manifest) {
  written_bytes_ = 0;
  std::string what = Printable(member.name + "." + member.type);
  const FileNaming& naming = member.naming;
  if (naming.unsafe != Reason::kNone) {
    return Skipped(what, std::string("the name cannot be part of a file "
                                     "name: ") +
                             TextOf(naming.unsafe));
  }
  EntryFile as_file = EntryFileOf(member.info, member.type, default_mode_);
  const std::string& file = naming.file;
  if (naming.refused != Reason::kNone) {
    PrintWarning(what + ": the recorded file name " +
                 Printable(as_file.attributes.file_name) + " is not used (" +
                 TextOf(naming.refused) + "); exported as " + Printable(file));
  }
  std::string path = label + file;
  std::string shown =
      tar_ != nullptr ? Printable(path) : Printable(root_path_ + "/" + path);
  if (naming.displaced) {
    Reason refused;
    std::string wanted = PreferredFileName(
        member.name, member.type, as_file.attributes.file_name, &refused);
    PrintDetail(what + ": " + Printable(wanted) +
                " is another entry's file; exported as " + shown);
  }
  EntryKey key = catalog_;
  key.name = member.name;
  key.type = member.type;
  EntryStream entry(session_);
  int32_t st = entry.OpenMember(directory, key, member.name + "." + member.type,
                                kDefaultTypeHint, kOpenInput,
                                kInputRecordLength, nullptr);
  if (st != 0) {
    session_.Fail(what + ": skipped", st);
    return Outcome::kSkipped;
  }
  Transfer transfer;
  std::string error;
  bool delivered =
      Deliver(entry, as_file, folder, path, file, &transfer, &error);
  int32_t close = entry.Close();
  if (!delivered) return Skipped(what, error);
  if (transfer.status != 0 || close != 0) {
    session_.Fail(what + ": skipped",
                  transfer.status != 0 ? transfer.status : close);
    return Outcome::kSkipped;
  }
  manifest->push_back({file, key.Path(), member.info.description});
  PrintDetail(what + " -> " + shown + " (" + std::to_string(transfer.records) +
              (transfer.records == 1 ? " record)" : " records)"));
  WarnTruncated(what, transfer, entry.record_length(), false);
  written_bytes_ = transfer.bytes;
  return transfer.truncated != 0 ? Outcome::kTruncated : Outcome::kDone;
}

int RunExport(Session& session, const Words& words, const Settings& flags) {
  if (words.size() < 2) {
    return UsageError(flags.recursive ? "a libref and a folder are needed"
                                      : "a name libref.catalog and a folder "
                                        "are needed");
  }
  const std::string& name = words[0];
  const std::string& folder = words[1];
  if (flags.recursive && !refhost::CheckLibref(name).ok()) {
    return UsageError(std::string("export -r takes a libref (") + kLibrefRule +
                      "), not " + Printable(name));
  }
  size_t options_at = OptionStart(words, 2);
  Selection selection(Words(words.begin() + 2, words.begin() + options_at));
  Words option_words(words.begin() + options_at, words.end());
  {
    OptionBlock options(session);
    if (!ParseOptionWords(session, option_words, &options)) {
      return kExitUsage;
    }
  }
  if (folder == "-" && isatty(STDOUT_FILENO) == 1) {
    PrintError(
        "-: a tar stream is not written to a terminal; send it to a "
        "file or a pipe (| tar -x -C DIR)");
    return kExitUsage;
  }
  std::vector<refhost::CatalogInfo> catalogs;
  if (flags.recursive) {
    refhost::StoreStatus status =
        session.host().library_services()->ListCatalogs(name, &catalogs);
    if (!status.ok()) {
      PrintError(Printable(name) + ": " + session.Explain(status));
      return kExitFailed;
    }
  }
  // The stream has standard output; what is said of it goes beside it.
  if (folder == "-") ResultsToStandardError();
  Progress::Begin("export", 0);
  Exporter exporter(session, option_words, folder, selection);
  if (flags.recursive) {
    for (const refhost::CatalogInfo& catalog : catalogs) {
      exporter.ExportCatalog(Upper(name) + "." + catalog.name, true);
    }
  } else {
    exporter.ExportCatalog(name, false);
  }
  Tally& tally = exporter.tally();
  if (!exporter.Finish() || !selection.ReportUnmatched()) tally.failed = true;
  Progress::End();
  PrintSummary(tally, {"entry", "entries"}, {"file", "files"});
  return FinishBatch(tally, "entries were not exported");
}

constexpr Flag kExportFlags[] = {
    RecursiveFlag("a library's catalogs as folders"),
};

}  // namespace

const Command kExportCommand = {
    .name = "export",
    .usage = "export [-r] NAME DIR [MEMBER...] [OPTIONS]",
    .summary = "each entry becomes a file in DIR ('-': a tar stream)",
    .flags = kExportFlags,
    .options = kReadOptions,
    .arguments = {.words = {Word::kCatalog, Word::kFolder},
                  .recursive = {Word::kLibref, Word::kFolder}},
    .use = StoreUse::kRead,
    .help = R"(
Writes each entry of the catalog NAME (LIBREF.CATALOG) to DIR (created
when absent), or only the members named (ENTRY or ENTRY.TYPE, patterns
allowed): under the file name it was imported from, with that file's
modification time and permissions; an entry that has none becomes <entry
name in lower case>.<extension>, with an extension that imports back to
the same type (CATAMS .txt, SOURCE .kor, OUTPUT .lst, LOG .log, other
types their name in lower case), and takes the entry's time. Where two
entries keep one file name (a copy keeps its source's), the first by name
and type has it and the other its default name, with ~2, ~3... before the
extension where that is taken too (-v says so); the mount shows the same
files. When an entry has a description, a manifest .vuvorozo-manifest
lists each file with its entry and description. Ends with one line:
entries, files written, bytes, seconds; -v names every file.

DIR '-' writes the files, manifest included, as one tar stream (POSIX
ustar) to standard output instead: 'vuvorozo export work.reports - | tar
-x -C DIR' unpacks it.

  -r, --recursive  NAME is a libref: each catalog becomes a folder of DIR,
                   named as the folder it was imported from, else the
                   catalog name in lower case

Each file is written under a temporary name and renamed over the old one,
so a file is replaced whole or not at all; a link in DIR is replaced, never
followed. An entry whose name or type cannot be part of a file name ('/',
'.', control characters) is reported and skipped (exit code 1).
)",
    .run = RunExport,
};

}  // namespace cli
