// vuvorozo import [-r] [-u] [--rename] DIR NAME [OPTIONS]: every file of a
// folder becomes an entry of a catalog, opened as a member of the catalog's
// directory (one directory open a catalog). The entry name is the file name
// without its extension; the extension gives the member open its type hint.
// Options go to the catalog's fileref, so that they hold for every member.
// With -r, NAME is a libref and each subfolder of DIR becomes a catalog of
// it. Each entry keeps the file's name, folder, time and mode as host
// attributes, committed with its records; the folder's manifest, when an
// export left one, gives the descriptions back. Whatever cannot be imported
// is reported by name with the reason, and the rest are still imported.

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>

#include "cli/command_support.h"
#include "cli/commands/commands.h"
#include "cli/files/entry_types.h"
#include "cli/files/file_names.h"
#include "cli/files/manifest.h"
#include "cli/option_text.h"
#include "cli/records.h"
#include "refhost/host/library_services.h"

namespace cli {
namespace {

using refhost::FileAttributes;

int64_t Nanoseconds(const struct timespec& t) {
  return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// The names of the open folder: files with a known extension first, so
// that where two files name the same entry (a.txt and a.dat are both
// A.CATAMS) the one whose extension says the type is the one imported;
// else by name. false with *error when the folder cannot be read.
bool ListSorted(int folder, std::vector<Found>* found, std::string* error) {
  bool ok = ListFolder(folder, found, error);
  auto extension_known = [](const Found& f) {
    size_t dot = f.name.rfind('.');
    return dot != std::string::npos &&
           ImportTypeOf(std::string_view(f.name).substr(dot + 1)).known;
  };
  std::sort(found->begin(), found->end(),
            [](const Found& a, const Found& b) { return a.name < b.name; });
  std::stable_partition(found->begin(), found->end(), extension_known);
  return ok;
}

// The name recorded as the folder of a plain import: the last part of the
// path the user gave (of the real path for "." and "..").
std::string FolderName(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  std::string last = trimmed.substr(trimmed.rfind('/') + 1);
  if (last == "." || last == ".." || last.empty()) {
    char* real = realpath(path.c_str(), nullptr);
    if (real == nullptr) return "";
    std::string resolved = real;
    std::free(real);
    last = resolved.substr(resolved.rfind('/') + 1);
  }
  return last;
}

// A file of a folder on its way to an entry.
struct Planned {
  std::string file;
  FileEntry entry;
};

class Importer {
 public:
  Importer(Session& session, const Words& option_words, const Settings& flags,
           const RecordLayout& layout, bool own_description)
      : session_(session),
        option_words_(option_words),
        flags_(flags),
        layout_(layout),
        own_description_(own_description) {}

  Tally& tally() { return tally_; }

  // Imports the files of the open folder into the catalog name
  // (LIBREF.CATALOG). label goes before file names in messages ("" or
  // "sub/"); folder_name is recorded with each entry.
  void ImportCatalog(int folder, const std::vector<Found>& found,
                     const std::string& name, const std::string& label,
                     const std::string& folder_name);

 private:
  // *bytes: the bytes of the file, when it was imported; *detail the line
  // -v prints once it is stored.
  Outcome ImportFile(Directory& directory, int folder, const Planned& planned,
                     const std::string& label, const std::string& folder_name,
                     const refhost::EntryInfo* existing, int64_t* bytes,
                     std::string* detail);
  // Whether the file is the one the entry was imported from, unchanged;
  // reads and hashes it when only its status change time or inode differ
  // (the content is then loaded).
  bool Unchanged(const refhost::EntryInfo& existing, const Planned& planned,
                 int fd, const struct stat& st, bool* loaded);
  std::vector<Planned> Plan(const std::vector<Found>& found,
                            const std::string& label);

  Session& session_;
  const Words& option_words_;
  const Settings& flags_;
  RecordLayout layout_;
  bool own_description_;  // desc= given: the manifest's do not apply
  std::map<std::string, ManifestLine> manifest_;
  EntryKey catalog_;  // libref and catalog of the catalog being filled
  Content content_;   // its buffer serves every file
  Tally tally_;
};

std::vector<Planned> Importer::Plan(const std::vector<Found>& found,
                                    const std::string& label) {
  std::vector<Planned> planned;
  std::map<std::string, std::string> owners;  // entry key -> file
  std::set<std::string> taken;
  for (const Found& f : found) {
    if (f.name == kManifestName) continue;  // read, not imported
    std::string what = Printable(label + f.name);
    if (f.kind == Found::kFolder) {
      tally_.Add(Skipped(
          what, flags_.recursive
                    ? "a folder inside a catalog's folder: no catalog can "
                      "hold it"
                    : "a folder: import -r makes a catalog of each folder"));
      continue;
    }
    if (f.kind == Found::kLinkToFolder) {
      tally_.Add(Skipped(what, "a link to a folder: links are not followed"));
      continue;
    }
    if (f.kind != Found::kFile) {
      tally_.Add(Skipped(what, f.reason));
      continue;
    }
    if (f.name.rfind(ExportFile::kTemporaryPrefix, 0) == 0) {
      tally_.Add(Skipped(what,
                         "a file an export left behind when it was stopped; "
                         "delete it"));
      continue;
    }
    Planned p{f.name, {}};
    Reason reason = Reason::kNone;
    if (flags_.fit_names) {
      p.entry = FittedEntryForFile(f.name, taken);
    } else if ((reason = EntryForFile(f.name, &p.entry)) != Reason::kNone) {
      tally_.Add(Skipped(
          what, std::string(TextOf(reason)) + " (--rename fits such names)"));
      continue;
    }
    auto owner = owners.find(p.entry.Key());
    if (owner != owners.end()) {
      tally_.Add(Skipped(what, "another file of this folder, " +
                                   Printable(owner->second) +
                                   ", is imported as entry " + p.entry.name +
                                   " of type " + p.entry.type.type));
      continue;
    }
    owners[p.entry.Key()] = f.name;
    taken.insert(p.entry.Key());
    planned.push_back(std::move(p));
  }
  return planned;
}

void Importer::ImportCatalog(int folder, const std::vector<Found>& found,
                             const std::string& name, const std::string& label,
                             const std::string& folder_name) {
  int bad = 0;
  std::string error;
  if (!ReadManifest(folder, &manifest_, &bad, &error)) {
    PrintError(Printable(label) + std::string(kManifestName) +
               ": cannot be read, descriptions are not given back: " + error);
  } else if (bad != 0) {
    PrintWarning(Printable(label) + std::string(kManifestName) + ": " +
                 std::to_string(bad) + " lines were not understood");
  }
  std::vector<Planned> planned = Plan(found, label);

  // Options were checked before any folder was read.
  OptionBlock options(session_);
  std::string offending;
  bool cut;
  options.Parse(option_words_, &offending, &cut);
  Fileref fileref(session_);
  Directory directory(session_);
  if (!AssignName(session_, fileref, name, &options)) {
    tally_.failed = true;
    return;
  }
  int32_t st = directory.Open(fileref);
  if (st != 0) {
    session_.Fail(Printable(name), st);
    tally_.failed = true;
    return;
  }
  EntryKey key = KeyOfPath(Upper(name));
  catalog_.libref = key.libref;
  catalog_.catalog = key.catalog;

  std::map<std::string, refhost::EntryInfo> existing;
  if (flags_.update) {
    std::string entry_name, type;
    refhost::EntryInfo info;
    while ((st = directory.Next(&entry_name, &type, &info)) == 0) {
      existing[entry_name + "." + type] = info;
    }
    if (st != kStatusEndOfList) {
      session_.Fail(Printable(name), st);
      tally_.failed = true;
      return;
    }
  }
  Progress::AddTotal(static_cast<int64_t>(planned.size()));
  // The entries' commits are gathered, and counted once they are stored.
  GatheredCommits gathered(session_, tally_);
  for (const Planned& p : planned) {
    auto found_entry = existing.find(p.entry.Key());
    int64_t bytes = 0;
    std::string detail;
    gathered.Before();
    Outcome outcome = ImportFile(
        directory, folder, p, label, folder_name,
        found_entry == existing.end() ? nullptr : &found_entry->second, &bytes,
        &detail);
    gathered.Add(Printable(label + p.file), outcome, bytes, detail);
  }
  gathered.End();
  st = directory.Close();
  if (st != 0) {
    session_.Fail(Printable(name), st);
    tally_.failed = true;
  }
}

bool Importer::Unchanged(const refhost::EntryInfo& existing,
                         const Planned& planned, int fd, const struct stat& st,
                         bool* loaded) {
  FileAttributes old;
  if (!refhost::DecodeFileAttributes(existing.host_attributes, &old)) {
    return false;
  }
  // The folder is not compared: the same files imported from a copy of
  // the folder are the same files.
  if (old.file_name != planned.file ||
      old.size != static_cast<int64_t>(st.st_size) ||
      old.modified_ns != Nanoseconds(st.st_mtim) ||
      old.mode != (st.st_mode & 07777)) {
    return false;
  }
  if (old.changed_ns == Nanoseconds(st.st_ctim) &&
      old.inode == static_cast<uint64_t>(st.st_ino)) {
    return true;
  }
  // The same size and time, yet touched since (or another copy of it): the
  // content decides.
  if (!old.content_hash) return false;
  std::string error;
  if (!content_.Load(fd, &error)) return false;
  *loaded = true;
  refhost::ContentHash hash;
  int64_t total = 0;
  if (!content_.Pass(
          [&](const char* data, size_t length) {
            hash.Add(data, length);
            return true;
          },
          &total, &error)) {
    return false;
  }
  return hash.Value() == *old.content_hash;
}

Outcome Importer::ImportFile(Directory& directory, int folder,
                             const Planned& planned, const std::string& label,
                             const std::string& folder_name,
                             const refhost::EntryInfo* existing, int64_t* bytes,
                             std::string* detail) {
  std::string what = Printable(label + planned.file);
  Descriptor fd(OpenFileIn(folder, planned.file));
  struct stat st;
  if (fd.get() < 0 || fstat(fd.get(), &st) != 0) {
    return Skipped(what, "cannot read the file: " + SystemError());
  }
  if (!S_ISREG(st.st_mode)) return Skipped(what, "not a regular file");
  bool loaded = false;
  if (existing != nullptr &&
      Unchanged(*existing, planned, fd.get(), st, &loaded)) {
    return Outcome::kUnchanged;
  }
  std::string error;
  if (!loaded && !content_.Load(fd.get(), &error)) {
    return Skipped(what, "cannot read the file: " + error);
  }
  const FileEntry& entry = planned.entry;
  // A description the folder's manifest gives goes with this member's
  // open, unless the user gave one for all.
  OptionBlock description(session_);
  auto line = manifest_.find(planned.file);
  if (!own_description_ && line != manifest_.end() &&
      !line->second.description.empty()) {
    bool cut = false;
    if (description.ParseDescription(line->second.description, &cut) != 0) {
      PrintWarning(what + ": the manifest's description was not taken");
    } else if (cut) {
      PrintWarning(what +
                   ": the manifest's description is longer than 256 bytes "
                   "and was cut");
    }
  }
  EntryKey key = catalog_;
  key.name = entry.name;
  key.type = entry.type.type;
  FileAttributes attributes;
  attributes.file_name = planned.file;
  attributes.folder = folder_name;
  attributes.modified_ns = Nanoseconds(st.st_mtim);
  attributes.mode = st.st_mode & 07777;
  attributes.changed_ns = Nanoseconds(st.st_ctim);
  attributes.inode = st.st_ino;
  MemberWrite written = WriteMember(
      session_, directory, key, entry.name, entry.type.hint.c_str(), content_,
      layout_, description.get() ? &description : nullptr, &attributes);
  const Transfer& transfer = written.transfer;
  if (!written.read_error.empty()) {
    return Skipped(what, "cannot read the file: " + written.read_error);
  }
  if (!written.opened) {
    session_.Fail(what + ": skipped", written.status);
    return Outcome::kSkipped;
  }
  if (transfer.status == 0 && !transfer.whole()) {
    return Skipped(what, transfer.InputProblem());
  }
  if (!written.done()) {
    session_.Fail(what + " -> " + key.Path() + ": skipped",
                  transfer.status != 0 ? transfer.status : written.status);
    return Outcome::kSkipped;
  }
  *bytes = transfer.bytes;
  *detail = what + " -> " + Printable(key.Path()) + " (" +
            std::to_string(transfer.records) +
            (transfer.records == 1 ? " record)" : " records)");
  WarnTruncated(key.Path(), transfer, written.record_length, true);
  return transfer.truncated != 0 ? Outcome::kTruncated : Outcome::kDone;
}

// import -r: each folder of the open folder becomes a catalog of the
// library; files beside them have no catalog.
void ImportTree(Importer& importer, int root, const std::vector<Found>& found,
                const std::string& libref, bool fit_names) {
  std::set<std::string> taken;
  std::map<std::string, std::string> owners;  // catalog -> folder
  for (const Found& f : found) {
    std::string what = Printable(f.name);
    if (f.kind == Found::kFile || f.kind == Found::kOther) {
      if (f.name == kManifestName) continue;
      importer.tally().Add(Skipped(
          what, f.kind == Found::kFile
                    ? "not in a folder: import -r makes a catalog of each "
                      "folder, and files beside them have none"
                    : f.reason));
      continue;
    }
    if (f.kind == Found::kLinkToFolder) {
      importer.tally().Add(
          Skipped(what, "a link to a folder: links are not followed"));
      continue;
    }
    std::string catalog;
    Reason reason = Reason::kNone;
    if (fit_names) {
      catalog = FittedCatalogForFolder(f.name, taken);
    } else if ((reason = CatalogForFolder(f.name, &catalog)) != Reason::kNone) {
      importer.tally().Add(Skipped(
          what, std::string(TextOf(reason)) + " (--rename fits such names)"));
      continue;
    }
    if (owners.count(catalog) != 0) {
      importer.tally().Add(
          Skipped(what, "another folder, " + Printable(owners[catalog]) +
                            ", is imported as catalog " + Printable(catalog)));
      continue;
    }
    owners[catalog] = f.name;
    taken.insert(catalog);
    Descriptor sub(OpenFolderIn(root, f.name));
    std::vector<Found> inside;
    std::string error;
    if (sub.get() < 0 || !ListSorted(sub.get(), &inside, &error)) {
      importer.tally().Add(
          Skipped(what, "cannot read the folder: " +
                            (sub.get() < 0 ? SystemError() : error)));
      continue;
    }
    importer.ImportCatalog(sub.get(), inside, libref + "." + catalog,
                           f.name + "/", f.name);
  }
}

int RunImport(Session& session, const Words& words, const Settings& flags) {
  if (words.size() < 2) {
    return UsageError(flags.recursive ? "a folder and a libref are needed"
                                      : "a folder and a name libref.catalog "
                                        "are needed");
  }
  const std::string& folder = words[0];
  const std::string& name = words[1];
  if (flags.recursive && !refhost::CheckLibref(name).ok()) {
    return UsageError(std::string("import -r takes a libref (") + kLibrefRule +
                      "), not " + Printable(name));
  }
  Words option_words(words.begin() + 2, words.end());
  RecordLayout layout;
  bool own_description = false;
  {
    OptionBlock options(session);
    if (!ParseOptionWords(session, option_words, &options)) {
      return kExitUsage;
    }
    layout = RecordLayout::Of(options.get());
    own_description =
        options.get() != nullptr && options.get()->description.length != 0;
  }
  if (folder == "-") {
    // A stream has no names, times or modes of its own to give the
    // entries, and unpacking one is what tar is for.
    PrintError(
        "-: import reads a folder, not a stream; unpack a stream into a "
        "folder first (tar -x -C DIR) and import the folder");
    return kExitUsage;
  }
  Descriptor root(OpenFolder(folder));
  std::vector<Found> found;
  std::string error;
  if (root.get() < 0 || !ListSorted(root.get(), &found, &error)) {
    PrintError(Printable(folder) + ": cannot read the folder: " +
               (root.get() < 0 ? SystemError() : error));
    return kExitFailed;
  }
  Progress::Begin("import", 0);
  Importer importer(session, option_words, flags, layout, own_description);
  if (flags.recursive) {
    ImportTree(importer, root.get(), found, Upper(name), flags.fit_names);
  } else {
    importer.ImportCatalog(root.get(), found, name, "", FolderName(folder));
  }
  Progress::End();
  PrintSummary(importer.tally(), {"file", "files"}, {"entry", "entries"});
  return FinishBatch(importer.tally(), "files were not imported");
}

constexpr Flag kImportFlags[] = {
    RecursiveFlag("a library's catalogs as folders"),
    {"--update", 'u', nullptr, "only files changed since they were imported",
     [](Settings& s, const std::string&) { s.update = true; }},
    {"--rename", 0, nullptr, "fit names a catalog cannot hold (lossy)",
     [](Settings& s, const std::string&) { s.fit_names = true; }},
};

}  // namespace

const Command kImportCommand = {
    .name = "import",
    .usage = "import [-r] [-u] [--rename] DIR NAME [OPTIONS]",
    .summary = "each file of DIR becomes an entry of the catalog NAME",
    .flags = kImportFlags,
    .options = kImportOptions,
    .arguments = {.words = {Word::kFolder, Word::kCatalog},
                  .recursive = {Word::kFolder, Word::kLibref}},
    .writes = true,
    .help = R"(
Stores each file of DIR as an entry of the catalog NAME (LIBREF.CATALOG,
created when absent), replacing an entry of the same name and type. The
entry name is the file name without its extension, in upper case; the
extension gives the type:
  .txt CATAMS  .kor SOURCE  .log LOG  .lst OUTPUT  .html/.htm HTML
  .gif GIF  .jpeg/.jpg JPEG  .css .wml .xml .xsl .rtf .pdf .ps .csv .js
  .vbs .jar  the type of that name; any other extension, or none: CATAMS
The entry keeps the file's name, modification time and mode, which export
gives back, and the bytes exactly. A manifest .vuvorozo-manifest that an
export left in DIR gives the entries their descriptions back (desc= given
here wins). Options apply to every file. Ends with one line: files,
entries written, bytes, seconds; -v names every file. DIR cannot be '-':
a stream is unpacked into a folder first (tar -x -C DIR).

  -r, --recursive  NAME is a libref: each folder of DIR becomes a catalog
                   of that name in upper case; files beside the folders,
                   and folders inside them, have no catalog and are
                   reported
  -u, --update     write only files whose size, time, mode or content
                   changed since they were imported
  --rename         fit names a catalog cannot hold instead of refusing
                   them: characters no name holds become _, names are cut
                   to 32 bytes and made unique with ~2, ~3... (the file
                   name is kept, and export gives it back)

A file the catalog cannot take is reported with the reason and skipped:
its name (two files naming one entry, as A.txt and a.txt; a name longer
than 32 bytes, with a second '.', a control character or bytes that are
not UTF-8), a folder (without -r), a link to a folder, anything but a
regular file. The others are still imported, and the command exits with 1.
)",
    .run = RunImport,
};

}  // namespace cli
