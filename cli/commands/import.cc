// vuvorozo import [-r] [-u] [--exact-names] SOURCE NAME [OPTIONS]: a folder
// tree, an archive file or an archive on standard input becomes the tree
// of a catalog: every file an entry, every folder an entry of type FOLDER,
// each keeping its path, time and mode as host attributes committed with
// its records (see cli/files/catalog_import.h). With -r, NAME is a libref
// and each folder at the top of SOURCE becomes a catalog of it. Options go
// to the catalog's fileref, so that they hold for every member. Folders are
// walked relative to one another and never through a link; archive members
// are checked path by path before anything is written, and their data
// streams into records through a bounded buffer. Whatever cannot be
// imported is reported by name with the reason, and the rest are still
// imported.

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <set>

#include "cli/command_support.h"
#include "cli/commands/commands.h"
#include "cli/files/archive.h"
#include "cli/files/attributes.h"
#include "cli/files/catalog_import.h"
#include "cli/files/entry_types.h"
#include "cli/files/file_names.h"
#include "cli/files/manifest.h"
#include "cli/option_text.h"
#include "cli/records.h"
#include "refhost/host/library_services.h"

namespace cli {
namespace {

// The largest manifest an archive member may hold.
constexpr size_t kManifestBytes = 16 << 20;

int64_t Nanoseconds(const struct timespec& t) {
  return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

FileFacts FactsOf(const struct stat& st) {
  FileFacts facts;
  facts.mode = st.st_mode & 07777;
  facts.modified_ns = Nanoseconds(st.st_mtim);
  facts.size = static_cast<int64_t>(st.st_size);
  facts.changed_ns = Nanoseconds(st.st_ctim);
  facts.inode = static_cast<uint64_t>(st.st_ino);
  return facts;
}

// A folder's facts where an archive gives none: the mode a folder made now
// gets.
FileFacts DefaultFolderFacts() {
  FileFacts facts;
  facts.mode = (DefaultFileMode() | 0111) & 0777;
  return facts;
}

// Why a name of a folder that is neither a file nor a folder is not kept.
Reason NotKept(int folder, const std::string& name) {
  struct stat st;
  if (fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return Reason::kOtherNotKept;
  }
  if (S_ISLNK(st.st_mode)) return Reason::kSymlinkNotKept;
  if (S_ISFIFO(st.st_mode)) return Reason::kFifoNotKept;
  if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) return Reason::kDeviceNotKept;
  return Reason::kOtherNotKept;
}

// The names of the open folder, links not followed: files with a known
// extension first, so that where two files name the same entry (a.txt and
// a.dat are both A.CATAMS) the one whose extension says the type gets it;
// else by name. They are sorted aside (a folder may hold any number).
// false with *error when the folder cannot be read.
bool ListSorted(int folder, SortedSpill* found, std::string* error) {
  bool ok = ListFolder(
      folder,
      [&](Found&& f) {
        size_t dot = f.name.rfind('.');
        bool known =
            dot != std::string::npos &&
            ImportTypeOf(std::string_view(f.name).substr(dot + 1)).known;
        found->Add((known ? "0" : "1") + f.name,
                   std::string(1, static_cast<char>('0' + f.kind)));
      },
      error, false);
  found->Finish();
  return ok;
}

// Each name ListSorted found, in its order.
template <typename Each>
void ForEachFound(const SortedSpill& sorted, Each each) {
  SortedSpill::Walk walk(sorted);
  std::string_view key, value;
  Found f;
  while (walk.Next(&key, &value)) {
    f.name.assign(key.substr(1));
    f.kind = static_cast<Found::Kind>(value[0] - '0');
    each(f);
  }
}

// Reads the manifest of the open folder into the catalog's descriptions.
// One that is there but cannot be read fails the import: the descriptions
// it holds are not given back.
void TakeManifest(CatalogImport& catalog, Tally& tally, int folder,
                  const std::string& shown, const std::string& prefix) {
  std::map<std::string, ManifestLine> lines;
  int bad = 0;
  std::string error;
  std::string what = Printable(shown) + std::string(kManifestName);
  if (!ReadManifest(folder, &lines, &bad, &error)) {
    PrintError(what +
               ": cannot be read, descriptions are not given back: " + error);
    tally.failed = true;
  } else if (bad != 0) {
    PrintWarning(what + ": " + std::to_string(bad) +
                 " lines were not understood");
  }
  catalog.AddManifest(lines, prefix);
}

// Imports the tree of the open folder into the catalog: its files, then
// each folder (an entry of its own) and what it holds. prefix is the
// folder's path in the tree ("" or "a/b/"), label goes before it in
// messages.
void WalkFolder(CatalogImport& catalog, Tally& tally, int folder,
                const std::string& prefix, const std::string& label) {
  SortedSpill found;
  std::string error;
  std::string here = prefix.empty() ? "" : prefix.substr(0, prefix.size() - 1);
  if (!ListSorted(folder, &found, &error)) {
    catalog.Unread(here);
    tally.Add(
        Skipped(Printable(label + prefix), "cannot read the folder: " + error));
    return;
  }
  int64_t files = 0;
  ForEachFound(found, [&](const Found& f) {
    catalog.Saw(prefix + f.name);
    if (f.kind != Found::kFolder && f.name != kManifestName) ++files;
  });
  TakeManifest(catalog, tally, folder, label + prefix, prefix);
  Progress::AddTotal(files);
  ForEachFound(found, [&](const Found& f) {
    if (f.name == kManifestName) return;  // read, not imported
    std::string path = prefix + f.name;
    std::string what = Printable(label + path);
    if (f.kind == Found::kFolder) return;
    if (f.kind == Found::kLink || f.kind == Found::kLinkToFolder) {
      tally.Add(Skipped(what, TextOf(Reason::kSymlinkNotKept)));
      return;
    }
    if (f.kind != Found::kFile) {
      tally.Add(Skipped(what, TextOf(NotKept(folder, f.name))));
      return;
    }
    if (f.name.rfind(ExportFile::kTemporaryPrefix, 0) == 0) {
      tally.Add(Skipped(what,
                        "a file an export left behind when it was stopped; "
                        "delete it"));
      return;
    }
    if (Reason reason = PathProblem(path); reason != Reason::kNone) {
      tally.Add(Skipped(what, TextOf(reason)));
      return;
    }
    Descriptor fd(OpenFileNoLinkIn(folder, f.name));
    struct stat st;
    if (fd.get() < 0 || fstat(fd.get(), &st) != 0) {
      tally.Add(Skipped(what, errno == ELOOP
                                  ? std::string(TextOf(Reason::kSymlinkNotKept))
                                  : "cannot read the file: " + SystemError()));
      return;
    }
    if (!S_ISREG(st.st_mode)) {
      tally.Add(Skipped(what, TextOf(NotKept(folder, f.name))));
      return;
    }
    // Every read of the file is held to this first look at it.
    FileStamp first;
    first.size = static_cast<int64_t>(st.st_size);
    first.modified_ns = Nanoseconds(st.st_mtim);
    first.changed_ns = Nanoseconds(st.st_ctim);
    Outcome outcome = catalog.File(path, FactsOf(st), fd.get(),
                                   [&](Content& content, std::string* e) {
                                     return content.Load(fd.get(), e, &first);
                                   });
    catalog.Count(path, outcome);
  });
  ForEachFound(found, [&](const Found& f) {
    if (f.name == kManifestName || f.kind != Found::kFolder) return;
    std::string path = prefix + f.name;
    std::string what = Printable(label + path);
    if (Reason reason = PathProblem(path); reason != Reason::kNone) {
      catalog.Unread(path);
      tally.Add(Skipped(what, TextOf(reason)));
      return;
    }
    Descriptor sub(OpenFolderIn(folder, f.name));
    struct stat st;
    if (sub.get() < 0 || fstat(sub.get(), &st) != 0) {
      catalog.Unread(path);
      tally.Add(
          Skipped(what, errno == ELOOP || errno == ENOTDIR
                            ? std::string(TextOf(Reason::kSymlinkNotKept))
                            : "cannot read the folder: " + SystemError()));
      return;
    }
    catalog.Folder(path, FactsOf(st));
    WalkFolder(catalog, tally, sub.get(), path + "/", label);
  });
}

// The catalogs an import -r fills, one a folder at the top of the source,
// named by the one rule of catalog names.
class Catalogs {
 public:
  Catalogs(Session& session, const ImportSettings& settings, Tally& tally,
           std::string libref)
      : session_(session),
        settings_(settings),
        tally_(tally),
        libref_(std::move(libref)) {}

  // The catalog the folder becomes, begun; null when it cannot be
  // (reported). facts: the folder's, when known.
  CatalogImport* For(const std::string& folder, const FileFacts* facts) {
    auto it = by_folder_.find(folder);
    if (it != by_folder_.end()) return it->second.get();
    std::string catalog, keep;
    Reason reason = CatalogForFolder(folder, settings_.exact_names, taken_,
                                     &catalog, &keep);
    if (reason != Reason::kNone) {
      tally_.Add(Skipped(Printable(folder),
                         std::string(TextOf(reason)) +
                             " (--exact-names refuses what is not a "
                             "catalog name)"));
      by_folder_[folder] = nullptr;
      return nullptr;
    }
    taken_.insert(catalog);
    auto import = std::make_unique<CatalogImport>(session_, settings_, tally_);
    if (!import->Begin(libref_ + "." + catalog, folder + "/")) {
      by_folder_[folder] = nullptr;
      return nullptr;
    }
    // The catalog's own folder: its mode, time and, where the catalog's
    // name does not give it back, its name.
    if (facts != nullptr || !keep.empty()) {
      import->Folder(std::string(kTopPath),
                     facts != nullptr ? *facts : DefaultFolderFacts(), keep);
    }
    keep_[folder] = keep;
    return (by_folder_[folder] = std::move(import)).get();
  }
  const std::string& KeepOf(const std::string& folder) { return keep_[folder]; }
  void EndAll() {
    for (auto& [folder, import] : by_folder_) {
      if (import) import->End();
    }
  }

 private:
  Session& session_;
  const ImportSettings& settings_;
  Tally& tally_;
  std::string libref_;
  std::set<std::string> taken_;
  std::map<std::string, std::unique_ptr<CatalogImport>> by_folder_;
  std::map<std::string, std::string> keep_;
};

// import -r of a folder: each folder in it becomes a catalog; files beside
// them have none.
void ImportFolders(Catalogs& catalogs, Tally& tally, int root) {
  SortedSpill found;
  std::string error;
  ListSorted(root, &found, &error);
  ForEachFound(found, [&](const Found& f) {
    std::string what = Printable(f.name);
    if (f.name == kManifestName) return;
    if (f.kind == Found::kFile) {
      tally.Add(Skipped(what,
                        "not in a folder: import -r makes a catalog of each "
                        "folder, and files beside them have none"));
      return;
    }
    if (f.kind != Found::kFolder) {
      tally.Add(Skipped(what, f.kind == Found::kOther
                                  ? TextOf(NotKept(root, f.name))
                                  : TextOf(Reason::kSymlinkNotKept)));
      return;
    }
    Descriptor sub(OpenFolderIn(root, f.name));
    struct stat st;
    if (sub.get() < 0 || fstat(sub.get(), &st) != 0) {
      tally.Add(Skipped(what, "cannot read the folder: " + SystemError()));
      return;
    }
    FileFacts facts = FactsOf(st);
    CatalogImport* catalog = catalogs.For(f.name, &facts);
    if (catalog == nullptr) return;
    WalkFolder(*catalog, tally, sub.get(), "", f.name + "/");
    catalog->End();
  });
}

// The members of an archive, checked path by path and written to their
// catalogs as they come.
class ArchiveImport {
 public:
  ArchiveImport(Session& session, const ImportSettings& settings, Tally& tally,
                bool recursive, const std::string& name)
      : session_(session),
        settings_(settings),
        tally_(tally),
        recursive_(recursive),
        name_(name),
        catalogs_(session, settings, tally, Upper(name)) {}

  void Run(ArchiveReader& reader, const std::string& source);

 private:
  // What a path of the archive was.
  enum class Seen : char {
    kFile = 'f',
    kFolder = 'd',
    kImplied = 'i',
    kLink = 'l'
  };
  void Member(ArchiveReader& reader, const ArchiveMember& member);
  // The catalog and path in it of a path of the archive; null when it has
  // none (reported).
  CatalogImport* Place(const std::string& path, bool folder,
                       const ArchiveMember* member, std::string* in_catalog,
                       std::string* prefix);

  Session& session_;
  const ImportSettings& settings_;
  Tally& tally_;
  bool recursive_;
  std::string name_;
  Catalogs catalogs_;
  std::unique_ptr<CatalogImport> single_;  // without -r
  bool single_failed_ = false;             // it could not be opened
  // What each path of the archive was (set aside: an archive may hold
  // any number).
  SpillMap seen_;
  bool SeenAs(std::string_view path, Seen* seen) const {
    std::string kind;
    if (!seen_.Find(path, &kind)) return false;
    *seen = static_cast<Seen>(kind[0]);
    return true;
  }
  void See(std::string_view path, Seen seen) {
    seen_.Put(path, std::string(1, static_cast<char>(seen)));
  }
};

CatalogImport* ArchiveImport::Place(const std::string& path, bool folder,
                                    const ArchiveMember* member,
                                    std::string* in_catalog,
                                    std::string* prefix) {
  if (!recursive_) {
    if (single_failed_) {
      // The catalog cannot be opened (reported once): the member is not
      // imported either.
      tally_.Add(Outcome::kSkipped);
      return nullptr;
    }
    if (!single_) {
      single_ = std::make_unique<CatalogImport>(session_, settings_, tally_);
      if (!single_->Begin(name_, "")) {
        single_.reset();
        single_failed_ = true;
        tally_.Add(Outcome::kSkipped);
        return nullptr;
      }
    }
    *in_catalog = path;
    prefix->clear();
    return single_.get();
  }
  size_t slash = path.find('/');
  std::string top = path.substr(0, slash);
  *prefix = top + "/";
  *in_catalog = slash == std::string::npos ? std::string(kTopPath)
                                           : path.substr(slash + 1);
  if (slash == std::string::npos && !folder) {
    tally_.Add(Skipped(Printable(path),
                       "not in a folder: import -r makes a catalog of each "
                       "folder, and files beside them have none"));
    return nullptr;
  }
  FileFacts facts;
  if (member != nullptr && slash == std::string::npos) {
    facts.mode = member->mode;
    facts.modified_ns = member->modified_ns;
  }
  return catalogs_.For(
      top, member != nullptr && slash == std::string::npos ? &facts : nullptr);
}

void ArchiveImport::Member(ArchiveReader& reader, const ArchiveMember& member) {
  std::string path;
  Reason reason = NormalPath(member.path, &path);
  std::string what = Printable(member.path);
  // The manifest is read where an export put it; it is no file.
  bool manifest =
      reason == Reason::kFileNameReserved && BaseName(path) == kManifestName &&
      member.kind == ArchiveMember::kFile &&
      (ParentOf(path).empty() || PathProblem(ParentOf(path)) == Reason::kNone);
  if (manifest) reason = Reason::kNone;
  if (reason != Reason::kNone) {
    tally_.Add(Skipped(what, TextOf(reason)));
    return;
  }
  if (path == kTopPath) {
    // The archive's own folder ("./"): the catalog's, without -r.
    if (member.kind == ArchiveMember::kFolder && !recursive_) {
      std::string in_catalog, prefix;
      CatalogImport* catalog = Place(path, true, nullptr, &in_catalog, &prefix);
      FileFacts facts;
      facts.mode = member.mode;
      facts.modified_ns = member.modified_ns;
      if (catalog != nullptr) catalog->Folder(path, facts);
    }
    return;
  }
  // Every folder the path passes through must be a folder of the archive
  // so far, or one it implies.
  for (size_t slash = path.find('/'); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    Seen was;
    if (!SeenAs(std::string_view(path).substr(0, slash), &was)) continue;
    if (was == Seen::kLink || was == Seen::kFile) {
      tally_.Add(
          Skipped(what, TextOf(was == Seen::kLink ? Reason::kUnderLink
                                                  : Reason::kUnderFile)));
      return;
    }
  }
  bool folder = member.kind == ArchiveMember::kFolder;
  Seen seen_as;
  bool seen = SeenAs(path, &seen_as);
  if (seen) {
    bool implied = seen_as == Seen::kImplied;
    if (!implied || !folder) {
      tally_.Add(Skipped(what, TextOf(implied ? Reason::kFolderOverFile
                                              : Reason::kPathTwice)));
      return;
    }
  }
  switch (member.kind) {
    case ArchiveMember::kFile:
    case ArchiveMember::kFolder:
      break;
    case ArchiveMember::kSymlink:
    case ArchiveMember::kHardLink:
      See(path, Seen::kLink);
      tally_.Add(Skipped(what, TextOf(member.kind == ArchiveMember::kSymlink
                                          ? Reason::kSymlinkNotKept
                                          : Reason::kHardLinkNotKept)));
      return;
    case ArchiveMember::kDevice:
    case ArchiveMember::kFifo:
    case ArchiveMember::kOther:
      See(path, Seen::kLink);
      tally_.Add(Skipped(what, TextOf(member.kind == ArchiveMember::kDevice
                                          ? Reason::kDeviceNotKept
                                      : member.kind == ArchiveMember::kFifo
                                          ? Reason::kFifoNotKept
                                          : Reason::kOtherNotKept)));
      return;
  }
  See(path, folder ? Seen::kFolder : Seen::kFile);
  std::string in_catalog, prefix;
  CatalogImport* catalog = Place(path, folder, &member, &in_catalog, &prefix);
  if (catalog == nullptr) return;
  // The folders the path implies, made where the archive has not given
  // them yet.
  for (size_t slash = path.find('/'); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    std::string above = path.substr(0, slash);
    if (seen_.Contains(above)) continue;
    See(above, Seen::kImplied);
    if (above.size() > prefix.size() || !recursive_) {
      catalog->Folder(above.substr(prefix.size()), DefaultFolderFacts());
    }
  }
  FileFacts facts;
  facts.mode = member.mode;
  facts.modified_ns = member.modified_ns;
  if (folder) {
    if (in_catalog != kTopPath) {
      catalog->Folder(in_catalog, facts);
    } else if (seen) {
      // A catalog's folder that members before it implied.
      catalog->Folder(in_catalog, facts,
                      catalogs_.KeepOf(prefix.substr(0, prefix.size() - 1)));
    }
    return;
  }
  auto source = [&](char* data, size_t capacity, size_t* got,
                    std::string* error) {
    if (reader.Read(data, capacity, got)) return true;
    *error = reader.error();
    return false;
  };
  if (manifest) {
    std::string text;
    char buffer[65536];
    size_t got = 0;
    std::string error;
    while (source(buffer, sizeof buffer, &got, &error) && got > 0 &&
           text.size() <= kManifestBytes) {
      text.append(buffer, got);
    }
    if (!error.empty() || text.size() > kManifestBytes) {
      PrintError(what + ": cannot be read, descriptions are not given back: " +
                 (error.empty() ? "it is over 16 MB" : error));
      tally_.failed = true;
      return;
    }
    int bad = 0;
    std::map<std::string, ManifestLine> lines = ParseManifest(text, &bad);
    if (bad != 0) {
      PrintWarning(what + ": " + std::to_string(bad) +
                   " lines were not understood");
    }
    std::string folder_path(ParentOf(in_catalog));
    catalog->AddManifest(lines, folder_path.empty() ? "" : folder_path + "/");
    seen_.Erase(path);
    return;
  }
  Outcome outcome = catalog->File(
      in_catalog, facts, -1, [&](Content& content, std::string* error) {
        int64_t total = 0;
        auto counted = [&](char* data, size_t capacity, size_t* got,
                           std::string* e) {
          bool ok = source(data, capacity, got, e);
          total += static_cast<int64_t>(*got);
          return ok;
        };
        if (!content.LoadFrom(counted, error)) return false;
        if (member.size && *member.size != total) {
          *error = TextOf(Reason::kSizeMismatch);
          return false;
        }
        return true;
      });
  catalog->Count(in_catalog, outcome);
}

void ArchiveImport::Run(ArchiveReader& reader, const std::string& source) {
  ArchiveMember member;
  while (true) {
    ArchiveReader::Step step = reader.Next(&member);
    if (step == ArchiveReader::Step::kEnd) break;
    if (step == ArchiveReader::Step::kFailed) {
      tally_.failed = true;
      PrintError(Printable(source) + ": " + TextOf(Reason::kArchiveDamaged) +
                 ": " + reader.error());
      break;
    }
    Member(reader, member);
  }
  if (single_) single_->End();
  catalogs_.EndAll();
}

}  // namespace

void ImportArchive(Session& session, const ImportSettings& settings,
                   Tally& tally, bool recursive, const std::string& name,
                   ArchiveReader& reader, const std::string& source) {
  ArchiveImport archive(session, settings, tally, recursive, name);
  archive.Run(reader, source);
}

namespace {

int RunImport(Session& session, const Words& words, const Settings& flags) {
  if (words.size() < 2) {
    return UsageError(flags.recursive ? "a folder or archive and a libref "
                                        "are needed"
                                      : "a folder or archive and a name "
                                        "libref.catalog are needed");
  }
  const std::string& source = words[0];
  const std::string& name = words[1];
  if (flags.recursive && !refhost::CheckLibref(name).ok()) {
    return UsageError(std::string("import -r takes a libref (") + kLibrefRule +
                      "), not " + Printable(name));
  }
  if (!flags.recursive && std::count(name.begin(), name.end(), '.') != 1) {
    // The module would only say that the name is no catalog.
    return UsageError(
        Printable(name) +
        (name.find('.') == std::string::npos
             ? " is a libref: import puts the files in a catalog, "
               "libref.catalog (" +
                   Printable(name) +
                   ".notes, say); -r makes each folder a catalog of a libref"
             : ": import takes a catalog, libref.catalog, not an entry"));
  }
  Words option_words(words.begin() + 2, words.end());
  ImportSettings settings;
  settings.option_words = &option_words;
  settings.exact_names = flags.exact_names;
  settings.update = flags.update;
  settings.delete_gone = flags.delete_gone;
  {
    OptionBlock options(session);
    if (!ParseOptionWords(session, option_words, &options)) {
      return kExitUsage;
    }
    settings.layout = RecordLayout::Of(options.get());
    settings.own_description =
        options.get() != nullptr && options.get()->description.length != 0;
  }
  Tally tally;
  // The entries' commits are gathered in the store's batches, and counted
  // once they are stored.
  GatheredCommits gathered(session, tally);
  settings.gathered = &gathered;
  struct stat st;
  if (source != "-" && stat(source.c_str(), &st) != 0) {
    PrintError(Printable(source) + ": cannot be read: " + SystemError());
    return kExitFailed;
  }
  bool folder = source != "-" && S_ISDIR(st.st_mode);
  if (flags.delete_gone && !folder) {
    return UsageError(
        "--delete takes a folder: what is gone is told by "
        "walking it, not an archive");
  }
  if (folder) {
    Descriptor root(OpenFolder(source));
    if (root.get() < 0) {
      PrintError(Printable(source) +
                 ": cannot read the folder: " + SystemError());
      return kExitFailed;
    }
    Progress::Begin("import", 0);
    if (flags.recursive) {
      Catalogs catalogs(session, settings, tally, Upper(name));
      ImportFolders(catalogs, tally, root.get());
    } else {
      CatalogImport catalog(session, settings, tally);
      if (catalog.Begin(name, "")) {
        WalkFolder(catalog, tally, root.get(), "", "");
        catalog.End();
      }
    }
  } else {
    ArchiveReader reader;
    if (!reader.Open(source)) {
      PrintError(Printable(source) +
                 ": cannot be read as an archive: " + reader.error());
      return kExitFailed;
    }
    Progress::Begin("import", 0);
    ImportArchive(session, settings, tally, flags.recursive, name, reader,
                  source);
  }
  gathered.End();
  Progress::End();
  PrintSummary(tally, {"file", "files"}, {"entry", "entries"});
  return FinishBatch(tally, "files were not imported");
}

constexpr Flag kImportFlags[] = {
    LevelFlag(),
    RecursiveFlag("a library's catalogs as folders"),
    {"--update", 'u', nullptr, "only files changed since they were imported",
     [](Settings& s, const std::string&) { s.update = true; }},
    {"--delete", 0, nullptr,
     "delete the entries whose files are gone from the folder",
     [](Settings& s, const std::string&) { s.delete_gone = true; }},
    {"--exact-names", 0, nullptr,
     "refuse file names that are not entry names, instead of fitting them",
     [](Settings& s, const std::string&) { s.exact_names = true; }},
    {"--rename", 0, nullptr,
     "fit names a catalog cannot hold (the default now; kept for scripts)",
     [](Settings&, const std::string&) {}},
};

}  // namespace

const Command kImportCommand = {
    .name = "import",
    .usage =
        "import [-r] [-u] [--delete] [--exact-names] [--rename] [--level N] "
        "SOURCE NAME "
        "[OPTIONS]",
    .summary = "a folder tree or an archive becomes the catalog NAME",
    .flags = kImportFlags,
    .options = kImportOptions,
    .arguments = {.words = {Word::kFolder, Word::kCatalog},
                  .recursive = {Word::kFolder, Word::kLibref}},
    .use = StoreUse::kCreate,
    .help = R"(
Stores each file of SOURCE, a folder of any depth, as an entry of the
catalog NAME (LIBREF.CATALOG, created when absent), and each folder in it as
an entry of type FOLDER; SOURCE may also be an archive file (tar with any
compression, zip, cpio, 7z, ISO 9660) or '-', an archive on standard input.
The entry name is the file name without its extension, in upper case; the
extension gives the type:
  .txt CATAMS  .kor SOURCE  .log LOG  .lst OUTPUT  .html/.htm HTML
  .gif GIF  .jpeg/.jpg JPEG  .css .wml .xml .xsl .rtf .pdf .ps .csv .js
  .vbs .jar  the type of that name; any other extension, or none: CATAMS
Where the file name gives no entry name (over 32 bytes, a second '.', a
blank at the end, control characters, bytes that are not UTF-8, a leading
'.') or another file of the catalog has that entry (notes.txt and
Notes.txt; a/x.txt and b/x.txt), the entry name is fitted: characters no
name holds become _, names are cut to 32 bytes and made unique with ~2,
~3.... Every entry keeps its file's path in the tree exactly (any bytes but
NUL, names up to 255 bytes, paths up to 4096), with its modification time
and mode, which export and the mount give back, and the bytes exactly. A
file goes to the entry that keeps its path, else to the entry its name
gives; that entry is replaced. A manifest .vuvorozo-manifest that an export
left gives the entries their descriptions back (desc= given here wins).
Options apply to every file. Ends with one line: files, entries written,
bytes, seconds; -v names every file.

  -r, --recursive  NAME is a libref: each folder at the top of SOURCE
                   becomes a catalog of that name in upper case (fitted as
                   entry names are, and then keeping the folder's name);
                   what is deeper goes into that catalog's tree; files
                   beside the folders have no catalog and are reported
  -u, --update     write only files whose size, time, mode or content
                   changed since they were imported
  --delete         delete each entry that keeps a path of the folder where
                   the folder now has nothing, as rsync --delete does (-v
                   names each); entries that keep no path are left alone
  --exact-names    refuse a file whose name is not an entry name as it
                   stands, or whose entry another file has (and with -r a
                   folder whose name is not a catalog name), instead of
                   fitting its name; folders inside a catalog's tree are
                   entries whatever their names
  --rename         names are fitted by default now; accepted for scripts

A catalog keeps regular files and folders. Links, hard links, devices and
FIFOs are reported as not kept; so are archive members with an absolute
path, a '..' step, a path given before, a path through a link or a file,
and data that is not the size the archive gives. Nothing is written outside
the catalog, an entry that is not replaced keeps what it had, the others
are still imported, and the command exits with 1.
)",
    .run = RunImport,
};

}  // namespace cli
