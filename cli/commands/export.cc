// vuvorozo export [-r] NAME DIR|FILE|- [MEMBER...] [OPTIONS]: the tree of a
// catalog becomes a folder tree, an archive file or an archive stream:
// every entry a file under the path it keeps, else <entry name in lower
// case>.<extension>, by the one rule of file names the mount shares
// (NameFiles); every folder entry a folder; each with the modification time
// and mode it keeps (else the entry's own time). With -r, NAME is a libref
// and each catalog becomes a folder, named by the one rule of catalog
// folders. The entries are walked first, then each is opened as a member of
// the catalog's directory and read. A file not there yet is created under
// its own name; one that is there is written under a temporary name and
// renamed over it (ExportFile), in folders opened one name at a time
// relative to the target and never through a link; folders get their modes
// and times once their files are in. A manifest of what was exported, with
// the descriptions, goes with them.

#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <set>

#include "cli/command_support.h"
#include "cli/commands/commands.h"
#include "cli/files/archive.h"
#include "cli/files/attributes.h"
#include "cli/files/content.h"
#include "cli/files/entry_types.h"
#include "cli/files/file_names.h"
#include "cli/files/file_writer.h"
#include "cli/files/manifest.h"
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
  refhost::EntryInfo info;  // with its host attributes, decoded in kept
  FileAttributes kept;      // its host attributes (reset when none)
  bool known = false;       // it has host attributes
  FileNaming naming;        // its path, by the rule the mount shares
};

// Which members of a catalog an export takes: all, or those a selector
// names: by entry (ENTRY or ENTRY.TYPE, patterns allowed; no type: every
// type), or by the file it keeps or is exported as: its path in the tree
// ("sub/notes.txt"), its file name ("notes.txt"), or a folder's path, which
// takes what is under it.
class Selection {
 public:
  explicit Selection(Words selectors) : selectors_(std::move(selectors)) {
    matched_.assign(selectors_.size(), false);
  }
  bool Takes(const std::string& name, const std::string& type,
             const std::string& kept_path, const std::string& file) {
    if (selectors_.empty()) return true;
    bool taken = false;
    auto names_file = [](std::string_view selector, std::string_view path) {
      if (path.empty()) return false;
      return selector == path || selector == BaseName(path) ||
             (path.size() > selector.size() && path.starts_with(selector) &&
              path[selector.size()] == '/');
    };
    for (size_t i = 0; i < selectors_.size(); ++i) {
      size_t dot = selectors_[i].find('.');
      std::string_view selector(selectors_[i]);
      std::string_view want_name = selector.substr(0, dot);
      std::string_view want_type = dot == std::string::npos
                                       ? std::string_view("*")
                                       : selector.substr(dot + 1);
      if ((Matches(want_name, name) && Matches(want_type, type)) ||
          names_file(selector, kept_path) || names_file(selector, file)) {
        matched_[i] = true;
        taken = true;
      }
    }
    return taken;
  }
  bool all() const { return selectors_.empty(); }
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

// A file of a folder export up to this size is read into memory and made
// by the file writer while the next entry is read; at most kWriterFiles
// such files, of kWriterBytes, wait to be made and counted.
constexpr int64_t kHandedFileBytes = 1 << 20;
constexpr size_t kWriterFiles = 256;
constexpr size_t kWriterBytes = 8 << 20;

void SetTimes(int fd, uint32_t mode, int64_t modified_ns) {
  struct timespec times[2];
  int64_t seconds = modified_ns / 1000000000;
  int64_t nanos = modified_ns % 1000000000;
  if (nanos < 0) {
    nanos += 1000000000;
    --seconds;
  }
  times[0].tv_sec = static_cast<time_t>(seconds);
  times[0].tv_nsec = static_cast<long>(nanos);
  times[1] = times[0];
  fchmod(fd, mode & 0777);
  futimens(fd, times);
}

class Exporter {
 public:
  // target: the folder to fill, an archive file, or "-" for an archive on
  // standard output; format: the archive's, kNone for a folder.
  Exporter(Session& session, const Words& option_words, std::string target,
           ArchiveFormat format, bool binary_names, Selection& selection)
      : session_(session),
        option_words_(option_words),
        target_(std::move(target)),
        format_(format),
        binary_names_(binary_names),
        selection_(selection) {
    default_mode_ = DefaultFileMode();
  }
  ~Exporter() {
    writer_.reset();  // its files are made in the root's folders
    if (root_ >= 0) close(root_);
  }

  Tally& tally() { return tally_; }

  // Exports the catalog name (LIBREF.CATALOG) into the target, or, with
  // folder_each, into a folder of it made for the catalog.
  void ExportCatalog(const std::string& name, bool folder_each);
  // Ends the archive, when there is one. false when it failed (reported).
  bool Finish();

 private:
  // manifest (may be null) takes the member's line of the manifest. The
  // outcome is counted in the tally, now or, for a file handed to the file
  // writer, once it is made (Collect).
  void ExportMember(Directory& directory, FolderChain* chain,
                    const std::string& label, const Member& member,
                    RecordSpill* manifest);
  Outcome MemberOutcome(Directory& directory, FolderChain* chain,
                        const std::string& label, const Member& member,
                        RecordSpill* manifest);
  // What is said and counted of a member whose file was made.
  Outcome Exported(const std::string& what, const std::string& shown,
                   const Transfer& transfer, int32_t record_length,
                   RecordSpill* manifest, const std::string& manifest_line);
  // Counts the files the writer made, in the order handed: those made so
  // far, or every one with all (what comes next is said after them).
  void Collect(bool all);
  // Counts the oldest file handed, waiting for it to be made.
  void CountOldest();
  // Copies the records of the open entry into the file the member becomes,
  // in the folder or the archive. false with *error.
  bool Deliver(EntryStream& entry, const EntryFile& as_file,
               std::string_view type, int folder, const std::string& path,
               const std::string& file, Transfer* transfer, std::string* error);
  // The archive, started at the first catalog; null when it cannot be
  // (reported).
  ArchiveWriter* Archive();
  // The folder the exporter was made for, made and opened when the first
  // catalog has been walked (a catalog that is not there leaves no folder
  // behind); -1 with the failure reported when it cannot be.
  int Root();

  Session& session_;
  const Words& option_words_;
  std::string target_;
  ArchiveFormat format_;
  bool binary_names_;  // some path is not UTF-8 text
  Selection& selection_;
  std::unique_ptr<ArchiveWriter> archive_;
  std::unique_ptr<ExportFile> archive_file_;  // an archive to a file
  bool archive_failed_ = false;
  int root_ = -1;
  bool root_made_ = false;  // the export made the target folder
  bool root_failed_ = false;
  EntryKey catalog_;  // libref and catalog being exported
  mode_t default_mode_;
  std::set<std::string> folders_;  // made for catalogs under -r
  int64_t written_bytes_ = 0;      // bytes of the member exported last
  Tally tally_;
  // Files of a folder export made beside the reading, and what is said of
  // each once made, in the order handed.
  std::unique_ptr<FileWriter> writer_;
  struct Handed {
    std::string what;
    std::string shown;
    Transfer transfer;
    int32_t record_length;
    RecordSpill* manifest;
    std::string manifest_line;
  };
  std::deque<Handed> handed_;
  bool handed_last_ = false;  // the member exported last was handed
};

ArchiveWriter* Exporter::Archive() {
  if (archive_ || archive_failed_) return archive_.get();
  int fd = STDOUT_FILENO;
  std::string shown = "standard output";
  if (target_ != "-") {
    shown = target_;
    size_t slash = target_.rfind('/');
    std::string folder =
        slash == std::string::npos ? "." : target_.substr(0, slash + 1);
    std::string file =
        slash == std::string::npos ? target_ : target_.substr(slash + 1);
    root_ = OpenFolder(folder);
    archive_file_ = std::make_unique<ExportFile>(root_, file);
    if (root_ < 0 || !archive_file_->Create()) {
      archive_failed_ = true;
      tally_.failed = true;
      PrintError(Printable(shown) + ": cannot create the archive: " +
                 (root_ < 0 ? SystemError() : archive_file_->error()));
      return nullptr;
    }
    fd = archive_file_->fd();
  }
  auto writer = std::make_unique<ArchiveWriter>();
  if (!writer->Open(fd, format_, binary_names_)) {
    archive_failed_ = true;
    tally_.failed = true;
    PrintError(Printable(shown) + ": " + writer->error());
    return nullptr;
  }
  archive_ = std::move(writer);
  return archive_.get();
}

int Exporter::Root() {
  if (root_ >= 0 || root_failed_) return root_;
  struct stat st;
  root_made_ = stat(target_.c_str(), &st) != 0;
  if (MakeFolder(target_)) root_ = OpenFolder(target_);
  if (root_ < 0) {
    root_failed_ = true;
    tally_.failed = true;
    PrintError(Printable(target_) +
               ": cannot create the folder: " + SystemError());
  }
  return root_;
}

bool Exporter::Finish() {
  if (!archive_) return !archive_failed_;
  bool ok = archive_->Finish();
  if (!ok && target_ == "-") {
    PrintError("standard output: " + archive_->error());
  } else if (!ok) {
    PrintError(Printable(target_) +
               ": cannot be written: " + archive_->error());
  } else if (archive_file_ && !archive_file_->Commit(default_mode_, NowNs())) {
    ok = false;
    PrintError(Printable(target_) +
               ": cannot be written: " + archive_file_->error());
  }
  return ok;
}

namespace {

// A member as the export sets it aside: its entry, with the host
// attributes as stored, and its naming.
std::string MemberRecord(const std::string& name, const std::string& type,
                         const refhost::EntryInfo& info,
                         const FileNaming& naming) {
  RecordText record;
  record.PutEntry(name, type, info).Put(int64_t{naming.folder});
  record.Put(FileNamer::Record(naming));
  return record.bytes();
}

Member MemberOf(std::string_view bytes) {
  RecordText record(bytes);
  Member m;
  record.Entry(&m.name, &m.type, &m.info);
  m.known = refhost::DecodeFileAttributes(m.info.host_attributes, &m.kept);
  bool folder = record.Number() != 0;
  m.naming = FileNamer::Read(record.Text(), folder);
  return m;
}

}  // namespace

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
  // member's file is the one a whole export gives it. What the export
  // keeps of the entries is set aside (spill.h), so that a catalog of any
  // size exports in the memory of a small one: the entries in the
  // catalog's order, then the members in the order of their files.
  auto walked = std::make_unique<SortedSpill>();
  {
    std::string entry_name, type;
    refhost::EntryInfo info;
    int32_t st;
    while ((st = directory.Next(&entry_name, &type, &info)) == 0) {
      // What the naming rule asks of the attributes, read once here.
      FileAttributes kept;
      refhost::DecodeFileAttributes(info.host_attributes, &kept);
      walked->Add(
          CatalogOrderKey(entry_name, type),
          WalkedRecord(entry_name, type, info, kept.file_name, kept.is_folder));
    }
    if (st != kStatusEndOfList) {
      session_.Fail(Printable(name), st);
      tally_.failed = true;
      return;
    }
  }
  walked->Finish();
  std::optional<Member> top;  // the record of the catalog's own folder
  // The members' files and folders in the order of their paths; the tree:
  // every folder the files pass through and the folder entries' own, each
  // with the record of the entry that keeps it ("" for none); and the
  // folder entries again, the deepest first.
  SortedSpill files, tree, kept_folders(true);
  bool described = false;
  NameWalked(
      *walked, WalkedOf,
      [](const WalkedEntry& w) {
        return NamedEntry{w.name, w.type, w.file, w.folder};
      },
      [&](const WalkedEntry& w, const FileNaming& n) {
        if (n.folder && n.file == kTopPath) {
          top = MemberOf(MemberRecord(w.name, w.type, w.info, n));
          return;
        }
        if (!selection_.Takes(w.name, w.type, w.file, n.file)) {
          return;
        }
        if (n.folder && n.file.empty()) return;
        std::string record = MemberRecord(w.name, w.type, w.info, n);
        if (n.folder) {
          tree.Add(n.file, record);
          kept_folders.Add(n.file, record);
        } else {
          described = described || !w.info.description.empty();
          files.Add(n.file, record);
        }
        if (!n.file.empty()) {
          ForEachFolderOf(
              n.file, [&](std::string_view folder) { tree.Add(folder, ""); });
        }
      });
  walked.reset();
  files.Finish();
  tree.Finish();
  kept_folders.Finish();
  // Each folder of the tree once, with the entry that keeps it (or none).
  auto each_folder = [&](auto each) {
    SortedSpill::Walk walk(tree);
    std::string_view key, value;
    std::string path;
    std::optional<Member> keeper;
    bool any = false;
    while (walk.Next(&key, &value)) {
      if (any && key != path) {
        if (!each(path, keeper ? &*keeper : nullptr)) return;
        keeper.reset();
      }
      if (!any || key != path) path = key;
      any = true;
      if (!value.empty()) keeper = MemberOf(value);
    }
    if (any) each(path, keeper ? &*keeper : nullptr);
  };
  auto each_file = [&](auto each) {
    SortedSpill::Walk walk(files);
    std::string_view key, value;
    while (walk.Next(&key, &value)) each(MemberOf(value));
  };
  catalog_ = KeyOfPath(Upper(name));
  std::string label;
  std::string folder;
  if (folder_each) {
    folder = FolderOfCatalog(catalog_.catalog, top ? top->kept.folder : "");
    if (folders_.count(folder) != 0) folder = Lower(catalog_.catalog);
    Reason reason;
    if (!IsPlainFileName(folder, &reason) || !folders_.insert(folder).second) {
      tally_.failed = true;
      PrintError(Printable(catalog_.catalog) +
                 ": skipped: no folder can be made for it: " +
                 (reason == Reason::kNone
                      ? "another catalog took " + Printable(folder)
                      : std::string(TextOf(reason))));
      return;
    }
    label = folder + "/";
  }
  const Member* top_member = top ? &*top : nullptr;
  auto mode_of = [&](const Member* entry) {
    return entry != nullptr && entry->kept.mode ? *entry->kept.mode
                                                : (default_mode_ | 0111);
  };
  auto time_of = [&](const Member* entry) {
    return entry != nullptr && entry->kept.modified_ns
               ? *entry->kept.modified_ns
               : NowNs();
  };
  Progress::AddTotal(static_cast<int64_t>(files.count()));
  if (format_ != ArchiveFormat::kNone) {
    ArchiveWriter* archive = Archive();
    if (archive == nullptr) return;
    // Folders ahead of what they hold, the manifest ahead of the files it
    // describes, so that an import reads it before them.
    bool ok = !folder_each || archive->AddFolder(folder, mode_of(top_member),
                                                 time_of(top_member));
    if (ok && described) {
      // The manifest waits in a temporary file until it is whole.
      Descriptor spool(TemporaryFile());
      if (spool.get() < 0) {
        tally_.failed = true;
        PrintError(Printable(label) + std::string(kManifestName) +
                   ": cannot make a temporary file: " + SystemError());
        return;
      }
      Output text(spool.get());
      std::string line = ManifestHeading();
      each_file([&](const Member& f) {
        AppendManifestLine(
            {f.naming.file,
             EntryKey{catalog_.libref, catalog_.catalog, f.name, f.type}.Path(),
             f.info.description},
            &line);
        if (line.size() >= (64 << 10)) {
          text.Put(line.data(), line.size());
          line.clear();
        }
      });
      text.Put(line.data(), line.size());
      if (!text.Flush()) {
        tally_.failed = true;
        PrintError(Printable(label) + std::string(kManifestName) +
                   ": cannot write a temporary file: " + text.error());
        return;
      }
      ok = archive->AddFile(label + std::string(kManifestName), default_mode_,
                            NowNs(), spool.get(), text.written());
    }
    if (ok) {
      each_folder([&](const std::string& path, const Member* entry) {
        ok = archive->AddFolder(label + path, mode_of(entry), time_of(entry));
        return ok;
      });
    }
    if (!ok) {
      tally_.failed = true;
      PrintError(Printable(label) + ": cannot be written: " + archive->error());
      return;
    }
    each_file([&](const Member& member) {
      ExportMember(directory, nullptr, label, member, nullptr);
    });
  } else {
    int root = Root();
    if (root < 0) return;
    int target = root;
    bool target_made = root_made_;
    if (folder_each) {
      target_made = !NameIn(root, folder);
      if (!MakeFolderIn(root, folder) ||
          (target = OpenFolderIn(root, folder)) < 0) {
        tally_.failed = true;
        PrintError(Printable(folder) +
                   ": cannot make the folder (a link is not followed): " +
                   SystemError());
        return;
      }
    }
    Descriptor own(folder_each ? target : -1);
    {
      FolderChain chain(target);
      each_folder([&](const std::string& path, const Member*) {
        if (chain.Enter(path, true) < 0) {
          tally_.failed = true;
          PrintError(Printable(label + path) +
                     ": cannot make the folder (a link is not followed): " +
                     SystemError());
        }
        return true;
      });
      // The manifest's lines, of the files written, wait aside.
      RecordSpill written;
      each_file([&](const Member& member) {
        ExportMember(directory, &chain, label, member,
                     described ? &written : nullptr);
      });
      // Every file is made before the manifest and the folders' times.
      Collect(true);
      // Entries without descriptions need no manifest: the folder then
      // holds just the files, and an earlier export's manifest goes, lest
      // an import take its stale descriptions.
      std::string error;
      if (!described) {
        if (!RemoveManifest(target, &error)) {
          tally_.failed = true;
          PrintError(Printable(target_ + "/" + label) +
                     std::string(kManifestName) +
                     ": cannot be removed: " + error);
        }
      } else {
        RecordSpill::Reader lines(written);
        if (!WriteManifest(
                target, [&](std::string* text) { return lines.Next(text); },
                &error)) {
          tally_.failed = true;
          PrintError(Printable(label) + std::string(kManifestName) +
                     ": cannot be written: " + error);
        }
      }
      // Modes and times last, the deepest folders first: adding a file
      // changes a folder's time, and a folder without write permission
      // takes no more files.
      SortedSpill::Walk walk(kept_folders);
      std::string_view key, value;
      while (walk.Next(&key, &value)) {
        Member entry = MemberOf(value);
        int fd = chain.Enter(key, false);
        if (fd >= 0) SetTimes(fd, mode_of(&entry), time_of(&entry));
      }
    }
    if (top_member != nullptr && target_made) {
      SetTimes(target, mode_of(top_member), time_of(top_member));
    }
  }
  int32_t st = directory.Close();
  if (st != 0) {
    session_.Fail(Printable(name), st);
    tally_.failed = true;
  }
}

bool Exporter::Deliver(EntryStream& entry, const EntryFile& as_file,
                       std::string_view type, int folder,
                       const std::string& path, const std::string& file,
                       Transfer* transfer, std::string* error) {
  uint32_t mode = as_file.mode;
  int64_t modified = as_file.modified_ns;
  refhost::RecordMapping mapping = as_file.mapping;
  bool final_newline = as_file.attributes.final_newline;
  if (archive_) {
    // A member says its size ahead of its bytes: the bytes go to a
    // temporary file first.
    Descriptor spool(TemporaryFile());
    if (spool.get() < 0) {
      *error = "cannot make a temporary file: " + SystemError();
      return false;
    }
    Output bytes(spool.get());
    *transfer = ReadRecords(entry, mapping, final_newline, bytes,
                            &as_file.attributes, type);
    if (!bytes.Flush()) {
      *error = "cannot write a temporary file: " + bytes.error();
      return false;
    }
    if (!transfer->whole()) return true;
    if (!archive_->AddFile(path, mode & 0777, modified, spool.get(),
                           bytes.written())) {
      *error = "the archive cannot be written: " + archive_->error();
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
  *transfer = ReadRecords(entry, mapping, final_newline, bytes,
                          &as_file.attributes, type);
  if (!bytes.Flush()) {
    *error = "cannot write " + Printable(path) + ": " + bytes.error();
    return false;
  }
  if (!transfer->whole()) return true;
  if (!out.Commit(mode, modified)) {
    *error = "cannot write " + Printable(path) + ": " + out.error();
    return false;
  }
  return true;
}

void Exporter::ExportMember(Directory& directory, FolderChain* chain,
                            const std::string& label, const Member& member,
                            RecordSpill* manifest) {
  handed_last_ = false;
  Outcome outcome = MemberOutcome(directory, chain, label, member, manifest);
  if (!handed_last_) tally_.Add(outcome, written_bytes_);
  Collect(false);
}

void Exporter::Collect(bool all) {
  while (!handed_.empty() && (all || writer_->OldestDone())) CountOldest();
}

void Exporter::CountOldest() {
  Handed file = std::move(handed_.front());
  handed_.pop_front();
  std::string error;
  Outcome outcome =
      writer_->Take(&error)
          ? Exported(file.what, file.shown, file.transfer, file.record_length,
                     file.manifest, file.manifest_line)
          : Skipped(file.what, error);
  tally_.Add(outcome, outcome == Outcome::kSkipped ? 0 : file.transfer.bytes);
}

Outcome Exporter::Exported(const std::string& what, const std::string& shown,
                           const Transfer& transfer, int32_t record_length,
                           RecordSpill* manifest,
                           const std::string& manifest_line) {
  if (manifest != nullptr) manifest->Append(manifest_line);
  PrintDetail(what + " -> " + shown + " (" + std::to_string(transfer.records) +
              (transfer.records == 1 ? " record)" : " records)"));
  WarnTruncated(what, transfer, record_length, false);
  return transfer.truncated != 0 ? Outcome::kTruncated : Outcome::kDone;
}

Outcome Exporter::MemberOutcome(Directory& directory, FolderChain* chain,
                                const std::string& label, const Member& member,
                                RecordSpill* manifest) {
  written_bytes_ = 0;
  std::string what = Printable(member.name + "." + member.type);
  const FileNaming& naming = member.naming;
  EntryFile as_file =
      EntryFileOf(member.info, member.known ? &member.kept : nullptr,
                  member.type, default_mode_);
  // A file read into memory is made by the file writer; anything said of a
  // member comes after what is said of the files handed before it.
  bool hand = chain != nullptr && !archive_ && as_file.size &&
              *as_file.size <= kHandedFileBytes &&
              naming.unsafe == Reason::kNone &&
              naming.refused == Reason::kNone && !naming.displaced;
  if (!hand) Collect(true);
  if (naming.unsafe != Reason::kNone) {
    return Skipped(what, std::string("the name cannot be part of a file "
                                     "name: ") +
                             TextOf(naming.unsafe));
  }
  const std::string& path = naming.file;
  if (naming.refused != Reason::kNone) {
    PrintWarning(what + ": the recorded path " +
                 Printable(as_file.attributes.file_name) + " is not used (" +
                 TextOf(naming.refused) + "); exported as " + Printable(path));
  }
  std::string full = label + path;
  std::string shown =
      archive_ ? Printable(full) : Printable(target_ + "/" + full);
  if (naming.displaced) {
    PrintDetail(what + ": its path is another entry's; exported as " + shown);
  }
  int folder = -1;
  if (chain != nullptr) {
    folder = chain->Enter(ParentOf(path), true);
    if (folder < 0) {
      Collect(true);
      return Skipped(what, "cannot make the folder of " + shown +
                               " (a link is not followed): " + SystemError());
    }
  }
  EntryKey key = catalog_;
  key.name = member.name;
  key.type = member.type;
  EntryStream entry(session_);
  int32_t st = OpenAsWritten(entry, directory, key, as_file);
  if (st != 0) {
    Collect(true);
    session_.Fail(what + ": skipped", st);
    return Outcome::kSkipped;
  }
  Transfer transfer;
  std::string error;
  std::string bytes;
  bool delivered;
  if (hand) {
    if (*as_file.size > 0) bytes.reserve(static_cast<size_t>(*as_file.size));
    Output into(&bytes);
    transfer =
        ReadRecords(entry, as_file.mapping, as_file.attributes.final_newline,
                    into, &as_file.attributes, member.type);
    delivered = true;
  } else {
    delivered = Deliver(entry, as_file, member.type, folder, full,
                        std::string(BaseName(path)), &transfer, &error);
  }
  int32_t close = entry.Close();
  bool whole = delivered && transfer.damage.empty() && transfer.status == 0 &&
               close == 0;
  if (hand && !whole) Collect(true);
  if (!delivered) return Skipped(what, error);
  if (!transfer.damage.empty()) return Skipped(what, transfer.damage);
  if (transfer.status != 0 || close != 0) {
    session_.Fail(what + ": skipped",
                  transfer.status != 0 ? transfer.status : close);
    return Outcome::kSkipped;
  }
  std::string manifest_line;
  if (manifest != nullptr) {
    AppendManifestLine({path, key.Path(), member.info.description},
                       &manifest_line);
  }
  if (hand) {
    if (writer_ == nullptr) {
      writer_ = std::make_unique<FileWriter>(kWriterFiles, kWriterBytes);
    }
    // Files already made are counted first; then, while there is still no
    // room, the reader waits for the writer's oldest.
    Collect(false);
    while (!writer_->Room(bytes.size())) CountOldest();
    writer_->Hand(folder, chain->Held(), std::string(BaseName(path)),
                  Printable(full), std::move(bytes), as_file.mode,
                  as_file.modified_ns);
    handed_.push_back({what, shown, transfer, entry.record_length(), manifest,
                       std::move(manifest_line)});
    handed_last_ = true;
    return Outcome::kDone;
  }
  written_bytes_ = transfer.bytes;
  return Exported(what, shown, transfer, entry.record_length(), manifest,
                  manifest_line);
}

// Whether every path the catalog's entries keep, and every entry name, is
// UTF-8 text (an archive's headers then hold names as text).
bool NamesAreText(Session& session, const std::string& catalog) {
  Fileref fileref(session);
  Directory directory(session);
  if (!OpenExistingCatalog(session, fileref, directory, catalog, nullptr)) {
    return true;  // reported again when the catalog is exported
  }
  std::string name, type;
  refhost::EntryInfo info;
  bool text = true;
  while (directory.Next(&name, &type, &info) == 0) {
    FileAttributes kept;
    refhost::DecodeFileAttributes(info.host_attributes, &kept);
    text = text && IsUtf8(kept.file_name) && IsUtf8(name) && IsUtf8(type);
  }
  directory.Close();
  return text;
}

int RunExport(Session& session, const Words& words, const Settings& flags) {
  if (words.size() < 2) {
    return UsageError(flags.recursive ? "a libref and a folder are needed"
                                      : "a name libref.catalog and a folder "
                                        "are needed");
  }
  const std::string& name = words[0];
  const std::string& target = words[1];
  if (flags.recursive && !refhost::CheckLibref(name).ok()) {
    return UsageError(std::string("export -r takes a libref (") + kLibrefRule +
                      "), not " + Printable(name));
  }
  ArchiveFormat format = ArchiveFormat::kNone;
  if (!flags.format.empty()) {
    format = FormatNamed(flags.format);
    if (format == ArchiveFormat::kNone) {
      return UsageError("--format takes " + std::string(kFormatNames) +
                        ", not " + Printable(flags.format));
    }
  } else if (target == "-") {
    format = ArchiveFormat::kTar;
  } else {
    struct stat st;
    bool folder = stat(target.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    if (!folder) format = FormatOfFile(target);
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
  if (target == "-" && isatty(STDOUT_FILENO) == 1) {
    PrintError(
        "-: an archive is not written to a terminal; send it to a file or "
        "a pipe (| tar -x -C DIR)");
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
  if (target == "-") ResultsToStandardError();
  Progress::Begin("export", 0);
  std::vector<std::string> names;
  if (flags.recursive) {
    for (const refhost::CatalogInfo& catalog : catalogs) {
      names.push_back(Upper(name) + "." + catalog.name);
    }
  } else {
    names.push_back(name);
  }
  bool binary_names = false;
  if (format != ArchiveFormat::kNone && format != ArchiveFormat::kZip) {
    for (const std::string& catalog : names) {
      binary_names = binary_names || !NamesAreText(session, catalog);
    }
  }
  Exporter exporter(session, option_words, target, format, binary_names,
                    selection);
  // The entries are read as the library was at the first: one snapshot,
  // not one a file.
  refhost::CatalogStore* store = session.host().store();
  store->BeginBatch();
  if (flags.recursive) {
    for (const refhost::CatalogInfo& catalog : catalogs) {
      exporter.ExportCatalog(Upper(name) + "." + catalog.name, true);
    }
  } else {
    exporter.ExportCatalog(name, false);
  }
  store->EndBatch();
  Tally& tally = exporter.tally();
  if (!exporter.Finish() || !selection.ReportUnmatched()) tally.failed = true;
  Progress::End();
  PrintSummary(tally, {"entry", "entries"}, {"file", "files"});
  return FinishBatch(tally, "entries were not exported");
}

constexpr Flag kExportFlags[] = {
    RecursiveFlag("a library's catalogs as folders"),
    {"--format", 0, "FORMAT",
     "the archive to write: tar, tar.gz, tar.zst, tar.xz or zip",
     [](Settings& s, const std::string& value) { s.format = value; }},
};

}  // namespace

const Command kExportCommand = {
    .name = "export",
    .usage =
        "export [-r] [--format FORMAT] NAME DIR|FILE|- [MEMBER...] "
        "[OPTIONS]",
    .summary = "the catalog's tree becomes a folder, an archive or a stream",
    .flags = kExportFlags,
    .options = kReadOptions,
    .arguments = {.words = {Word::kCatalog, Word::kFolder},
                  .recursive = {Word::kLibref, Word::kFolder}},
    .use = StoreUse::kRead,
    .help = R"(
Writes the tree of the catalog NAME (LIBREF.CATALOG) to DIR (created when
absent), or only the members named (ENTRY or ENTRY.TYPE, patterns allowed;
or a file's path or name, sub/notes.txt or notes.txt; or a folder's path,
with what is under it; each with the folders its path passes through):
each entry under the path it
was imported with, with that file's modification time and permissions, and
each folder entry as a folder with its own; an entry that keeps no path
becomes <entry name in lower case>.<extension> at the top, with an
extension that imports back to the same type (CATAMS .txt, SOURCE .kor,
OUTPUT .lst, LOG .log, other types their name in lower case), and takes the
entry's time. Where two entries keep one path (a copy keeps its source's),
the first by name and type has it and the other its default name, with ~2,
~3... before the extension where that is taken too (-v says so); the mount
shows the same files. When an entry has a description, a manifest
.vuvorozo-manifest at the top lists each file with its entry and
description. Ends with one line: entries, files written, bytes, seconds; -v
names every file.

An archive instead of a folder: FILE ending in .tar, .tar.gz (.tgz),
.tar.zst, .tar.xz or .zip, or any FILE with --format; '-' writes a pax tar
stream to standard output ('vuvorozo export work.reports - | tar -x -C
DIR'). The archive holds the same tree, manifest included, and import reads
it back.

  -r, --recursive  NAME is a libref: each catalog becomes a folder of DIR,
                   named as the folder it was imported from where it keeps
                   one, else the catalog name in lower case
  --format FORMAT  write an archive of FORMAT: tar, tar.gz, tar.zst,
                   tar.xz, zip

A file not there yet is created under its own name; one that is there is
written under a temporary name and renamed over it, so a file is replaced
whole or not at all; folders are opened one name at
a time, a link in DIR is replaced, never followed. An entry whose name or
type cannot be part of a file name ('/', '.') is reported and skipped (exit
code 1).
)",
    .run = RunExport,
};

}  // namespace cli
