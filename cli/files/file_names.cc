// The rules of file_names.h.

#include "cli/files/file_names.h"

#include <algorithm>
#include <functional>
#include <stdexcept>
#include <tuple>

#include "cli/files/content.h"
#include "cli/option_text.h"
#include "refhost/store/catalog_store.h"
#include "refhost/util/utf8.h"

namespace cli {
namespace {

constexpr size_t kNameBytes = 32;

// Splits a file name at its last '.' into stem and extension.
void SplitFileName(std::string_view file, std::string_view* stem,
                   std::string_view* extension) {
  size_t dot = file.rfind('.');
  *stem = dot == std::string_view::npos ? file : file.substr(0, dot);
  *extension =
      dot == std::string_view::npos ? std::string_view() : file.substr(dot + 1);
}

// Why a catalog cannot hold name as a catalog or entry name; kNone when it
// can.
Reason NameProblem(std::string_view name) {
  if (name.empty()) return Reason::kNameEmpty;
  if (name.size() > kNameBytes) return Reason::kNameTooLong;
  if (name.find('.') != std::string_view::npos) return Reason::kNameHoldsDot;
  if (name.back() == ' ') return Reason::kNameEndsInBlank;
  for (size_t at = 0; at < name.size();) {
    size_t length = refhost::Utf8CharacterLength(name.substr(at));
    if (length == 0) return Reason::kNameNotText;
    if (refhost::IsControlCharacter(
            refhost::Utf8CodePoint(name.substr(at), length))) {
      return Reason::kNameHoldsControl;
    }
    at += length;
  }
  return Reason::kNone;
}

// name with every byte no name holds made '_', cut to limit bytes.
std::string FitName(std::string_view name, size_t limit) {
  std::string out;
  for (size_t at = 0; at < name.size();) {
    size_t length = refhost::Utf8CharacterLength(name.substr(at));
    bool fits = length != 0 && name[at] != '.' &&
                !refhost::IsControlCharacter(
                    refhost::Utf8CodePoint(name.substr(at), length));
    if (!fits) {
      out += '_';
      at += length == 0 ? 1 : length;
    } else {
      out.append(name.substr(at, length));
      at += length;
    }
  }
  out.resize(CutAtCharacter(out, limit));
  while (!out.empty() && out.back() == ' ') out.back() = '_';
  if (out.empty()) out = "_";
  return Upper(out);
}

// Fits name, then makes it unique against taken by a suffix ~2, ~3...
// key_of turns a candidate name into the key that must be new.
// taken tells whether a key is taken.
template <typename Taken, typename KeyOf>
std::string FitUnique(std::string_view name, Taken taken, KeyOf key_of) {
  std::string fitted = FitName(name, kNameBytes);
  for (int n = 2; taken(key_of(fitted)); ++n) {
    std::string suffix = "~" + std::to_string(n);
    fitted = FitName(name, kNameBytes - suffix.size()) + suffix;
  }
  return fitted;
}

// The entry a folder (its last name) becomes when a catalog holds the name.
Reason EntryForFolder(std::string_view folder, FileEntry* entry) {
  Reason reason = NameProblem(folder);
  if (reason != Reason::kNone) return reason;
  entry->name = Upper(folder);
  entry->type = {std::string(kDefaultTypeHint), std::string(kFolderType), true};
  entry->typed = true;
  return Reason::kNone;
}

std::string KeyOf(std::string_view name, std::string_view type) {
  return std::string(name) + "." + std::string(type);
}

}  // namespace

const char* FileEntry::Hint() const {
  return typed ? kDefaultTypeHint : type.hint.c_str();
}

std::string_view BaseName(std::string_view path) {
  size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string_view ParentOf(std::string_view path) {
  size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? std::string_view()
                                         : path.substr(0, slash);
}

bool IsPlainFileName(std::string_view name, Reason* reason) {
  *reason = Reason::kNone;
  if (name.empty() || name == "." || name == ".." ||
      name.find('/') != std::string_view::npos ||
      name.find('\0') != std::string_view::npos) {
    *reason = Reason::kFileNameNotPlain;
  } else if (name.size() > kFileNameBytes) {
    *reason = Reason::kFileNameTooLong;
  } else if (name == kManifestName ||
             name.substr(0, ExportFile::kTemporaryPrefix.size()) ==
                 ExportFile::kTemporaryPrefix) {
    *reason = Reason::kFileNameReserved;
  }
  return *reason == Reason::kNone;
}

Reason PathProblem(std::string_view path) {
  if (path.empty()) return Reason::kFileNameNotPlain;
  if (path.front() == '/') return Reason::kPathAbsolute;
  if (path.size() > kPathBytes) return Reason::kPathTooLong;
  size_t start = 0;
  while (true) {
    size_t slash = path.find('/', start);
    std::string_view name = path.substr(
        start, slash == std::string_view::npos ? path.npos : slash - start);
    if (name == "..") return Reason::kPathUpward;
    Reason reason;
    if (!IsPlainFileName(name, &reason)) return reason;
    if (slash == std::string_view::npos) return Reason::kNone;
    start = slash + 1;
  }
}

Reason NormalPath(std::string_view member, std::string* path) {
  path->clear();
  if (!member.empty() && member.front() == '/') return Reason::kPathAbsolute;
  size_t start = 0;
  while (start <= member.size()) {
    size_t slash = member.find('/', start);
    if (slash == std::string_view::npos) slash = member.size();
    std::string_view name = member.substr(start, slash - start);
    start = slash + 1;
    if (name.empty() || name == ".") continue;
    if (name == "..") return Reason::kPathUpward;
    if (!path->empty()) *path += '/';
    path->append(name);
  }
  if (path->empty()) {
    *path = std::string(kTopPath);
    return Reason::kNone;
  }
  return PathProblem(*path);
}

bool IsScratchName(std::string_view name) {
  auto starts = [&](std::string_view prefix) {
    return name.substr(0, prefix.size()) == prefix;
  };
  if (name.size() < 2) return false;
  if (starts(ExportFile::kTemporaryPrefix) || starts(".goutputstream-") ||
      starts(".#") || (starts(".~lock.") && name.back() == '#')) {
    return true;
  }
  if (name.back() == '~') return true;
  if (name.front() == '#' && name.back() == '#') return true;
  if (name.front() != '.') return false;
  // rsync: '.', the name, '.', six letters or digits.
  if (name.size() >= 9 && name[name.size() - 7] == '.') {
    bool random = true;
    for (char c : name.substr(name.size() - 6)) {
      bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                   (c >= '0' && c <= '9');
      random = random && alnum;
    }
    if (random) return true;
  }
  // Editors' swap files: .NAME.swp, .swo, .swx, ... .swa
  if (name.size() >= 6 && name.substr(name.size() - 4, 3) == ".sw" &&
      name.back() >= 'a' && name.back() <= 'z') {
    return true;
  }
  return false;
}

Reason EntryForFile(std::string_view file, FileEntry* entry) {
  std::string_view stem, extension;
  SplitFileName(BaseName(file), &stem, &extension);
  Reason reason = NameProblem(stem);
  if (reason != Reason::kNone) return reason;
  entry->name = Upper(stem);
  entry->type = ImportTypeOf(extension);
  entry->typed = false;
  return Reason::kNone;
}

FileEntry FittedEntryForFile(std::string_view file,
                             const std::set<std::string>& taken) {
  return FittedEntryForFile(
      file, [&](const std::string& key) { return taken.count(key) != 0; });
}

FileEntry FittedEntryForFile(
    std::string_view file,
    const std::function<bool(const std::string& key)>& taken) {
  std::string_view stem, extension;
  file = BaseName(file);
  SplitFileName(file, &stem, &extension);
  FileEntry entry;
  entry.type = ImportTypeOf(extension);
  // A name that is all extension (".profile") keeps its whole text.
  std::string_view base = stem.empty() ? file : stem;
  entry.name = FitUnique(base, taken, [&](const std::string& name) {
    return KeyOf(name, entry.type.type);
  });
  return entry;
}

namespace {

// What the chooser keeps of a key: whether a path is kept with it (an
// entry of the catalog, or one chosen), whether it was chosen, the path.
constexpr int64_t kKeeps = 1;
constexpr int64_t kChosen = 2;

std::string KeyRecord(int64_t flags, std::string_view path) {
  RecordText record;
  record.Put(flags).Put(path);
  return record.bytes();
}

// The key of a path and whether it names a folder.
std::string PathKey(std::string_view path, bool folder) {
  std::string key(path);
  key += folder ? '\1' : '\0';
  return key;
}

}  // namespace

EntryChooser::EntryChooser() {
  // The record of the catalog's own folder is never another's entry.
  keys_.Put(KeyOf(kCatalogFolderEntry, kFolderType), KeyRecord(0, ""));
}

bool EntryChooser::Kept(const std::string& key, int64_t* flags,
                        std::string* path) const {
  std::string record;
  if (!keys_.Find(key, &record)) return false;
  RecordText text(record);
  *flags = text.Number();
  *path = text.Text();
  return true;
}

void EntryChooser::Hold(const std::string& name, const std::string& type,
                        const std::string& kept, bool folder) {
  std::string key = KeyOf(name, type);
  int64_t flags = 0;
  std::string path;
  Kept(key, &flags, &path);
  keys_.Put(key, KeyRecord(flags | kKeeps, kept));
  // The first entry that keeps a path has it.
  if (!kept.empty()) paths_.PutNew(PathKey(kept, folder), key);
}

void EntryChooser::Release(const std::string& key) {
  int64_t flags = 0;
  std::string kept;
  if (!Kept(key, &flags, &kept) || (flags & kKeeps) == 0) return;
  for (bool folder : {false, true}) {
    std::string holder;
    if (paths_.Find(PathKey(kept, folder), &holder) && holder == key) {
      paths_.Erase(PathKey(kept, folder));
    }
  }
  keys_.Erase(key);
}

Reason EntryChooser::Choose(std::string_view path, bool folder, bool exact,
                            FileEntry* entry, std::string* holder) {
  holder->clear();
  std::string key;
  int64_t flags = 0;
  std::string kept_path;
  // A path chosen before keeps no entry for a second one: its key is
  // chosen, and the path goes by the name's rule.
  bool by_path = paths_.Find(PathKey(path, folder), &key) &&
                 !(Kept(key, &flags, &kept_path) && (flags & kChosen) != 0);
  if (by_path) {
    size_t dot = key.rfind('.');
    entry->name = key.substr(0, dot);
    entry->type = {std::string(kDefaultTypeHint), key.substr(dot + 1), true};
    entry->typed = true;
  } else {
    bool top = folder && path == kTopPath;
    Reason reason = top      ? Reason::kNone
                    : folder ? EntryForFolder(BaseName(path), entry)
                             : EntryForFile(path, entry);
    if (top) {
      entry->name = std::string(kCatalogFolderEntry);
      entry->type = {std::string(kDefaultTypeHint), std::string(kFolderType),
                     true};
      entry->typed = true;
    }
    bool free = false;
    if (reason == Reason::kNone) {
      key = entry->Key();
      flags = 0;
      kept_path.clear();
      bool known = Kept(key, &flags, &kept_path);
      bool keeps = known && (flags & kKeeps) != 0;
      bool reserved = !top && entry->name == kCatalogFolderEntry;
      // An entry that keeps no path (written, not imported) is the file's.
      free = !reserved && (flags & kChosen) == 0 &&
             (!keeps || kept_path.empty() || kept_path == path);
      if (!free) {
        *holder = keeps ? kept_path : "";
        reason = Reason::kNameTaken;
      }
    }
    if (!free && (exact || top)) return reason;
    if (!free) {
      auto taken = [&](const std::string& candidate) {
        return keys_.Contains(candidate);
      };
      if (folder) {
        entry->name = FitUnique(
            BaseName(path), taken,
            [](const std::string& name) { return KeyOf(name, kFolderType); });
        entry->type = {std::string(kDefaultTypeHint), std::string(kFolderType),
                       true};
        entry->typed = true;
      } else {
        std::string reserved = KeyOf(kCatalogFolderEntry, entry->type.type);
        *entry = FittedEntryForFile(path, [&](const std::string& candidate) {
          return candidate == reserved || taken(candidate);
        });
      }
      key = entry->Key();
    }
  }
  keys_.Put(key, KeyRecord(kKeeps | kChosen, path));
  return Reason::kNone;
}

Reason LibrefProblem(std::string_view name) {
  if (refhost::CheckLibref(name).ok()) return Reason::kNone;
  return name.size() > 8 ? Reason::kLibrefTooLong : Reason::kNotLibref;
}

std::string FolderOfCatalog(std::string_view catalog,
                            std::string_view kept_folder) {
  Reason reason;
  if (!kept_folder.empty() && IsPlainFileName(kept_folder, &reason)) {
    return std::string(kept_folder);
  }
  return Lower(catalog);
}

Reason CatalogForFolder(std::string_view folder, bool exact,
                        const std::set<std::string>& taken,
                        std::string* catalog, std::string* keep) {
  keep->clear();
  Reason reason = NameProblem(folder);
  if (reason == Reason::kNone) {
    *catalog = Upper(folder);
    if (taken.count(*catalog) != 0) reason = Reason::kNameTaken;
  }
  if (reason != Reason::kNone) {
    if (exact) return reason;
    *catalog = FitUnique(
        folder, [&](const std::string& name) { return taken.count(name) != 0; },
        [](const std::string& name) { return name; });
  }
  if (Lower(*catalog) != folder) *keep = std::string(folder);
  return Reason::kNone;
}

std::string DefaultFileName(std::string_view name, std::string_view type) {
  return Lower(name) + "." + ExtensionOf(type);
}

Reason UnsafeNamePart(std::string_view part) {
  if (part.empty()) return Reason::kNamePartEmpty;
  if (part.find_first_of("/.") != std::string_view::npos ||
      part.find('\0') != std::string_view::npos) {
    return Reason::kNamePartSeparator;
  }
  Reason reason;
  IsPlainFileName(part, &reason);
  return reason;
}

std::vector<FileNaming> NameFiles(const std::vector<NamedEntry>& entries) {
  std::vector<FileNaming> naming(entries.size());
  std::vector<size_t> order;
  for (size_t i = 0; i < entries.size(); ++i) {
    const NamedEntry& e = entries[i];
    naming[i].folder = e.folder;
    naming[i].unsafe = UnsafeNamePart(e.name);
    if (naming[i].unsafe == Reason::kNone) {
      naming[i].unsafe = UnsafeNamePart(e.type);
    }
    if (naming[i].unsafe == Reason::kNone) order.push_back(i);
  }
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    return std::tie(entries[a].name, entries[a].type) <
           std::tie(entries[b].name, entries[b].type);
  });
  std::set<std::string> files, folders, folder_entries;
  bool top_taken = false;
  // Whether a path passes through a file's path.
  auto under_file = [&](std::string_view path) {
    bool under = false;
    ForEachFolderOf(path, [&](std::string_view folder) {
      under = under || files.count(std::string(folder)) != 0;
    });
    return under;
  };
  auto claim_folders = [&](std::string_view path) {
    ForEachFolderOf(path, [&](std::string_view folder) {
      folders.insert(std::string(folder));
    });
  };
  // Kept paths first: a file imported under a path gets it back before any
  // entry's default name may take it.
  for (size_t i : order) {
    const NamedEntry& e = entries[i];
    if (e.kept.empty()) continue;
    if (e.folder && e.kept == kTopPath) {
      if (!top_taken) naming[i].file = std::string(kTopPath);
      naming[i].displaced = top_taken;
      top_taken = true;
      continue;
    }
    naming[i].refused = PathProblem(e.kept);
    if (naming[i].refused != Reason::kNone) continue;
    bool free = files.count(e.kept) == 0 && !under_file(e.kept) &&
                (e.folder ? folder_entries.insert(e.kept).second
                          : folders.count(e.kept) == 0);
    if (!free) {
      naming[i].displaced = true;
      continue;
    }
    naming[i].file = e.kept;
    if (e.folder) {
      folders.insert(e.kept);
    } else {
      files.insert(e.kept);
    }
    claim_folders(e.kept);
  }
  for (size_t i : order) {
    const NamedEntry& e = entries[i];
    if (!naming[i].file.empty() || e.folder) continue;
    std::string file = DefaultFileName(e.name, e.type);
    std::string stem = Lower(e.name), extension = ExtensionOf(e.type);
    for (int n = 2; files.count(file) != 0 || folders.count(file) != 0; ++n) {
      file = stem + "~" + std::to_string(n) + "." + extension;
      naming[i].displaced = true;
    }
    files.insert(file);
    naming[i].file = file;
  }
  return naming;
}

std::string CatalogOrderKey(std::string_view name, std::string_view type) {
  // A NUL byte becomes NUL 1, and NUL NUL ends the name: a name that is
  // the start of another comes before it, whatever bytes follow.
  std::string key;
  key.reserve(name.size() + type.size() + 2);
  for (char c : name) {
    key += c;
    if (c == '\0') key += '\1';
  }
  key.append(2, '\0');
  for (char c : type) {
    key += c;
    if (c == '\0') key += '\1';
  }
  return key;
}

FileNaming FileNamer::Claim(const NamedEntry& e) {
  std::string key = CatalogOrderKey(e.name, e.type);
  if (claimed_ && !(last_ < key)) {
    throw std::logic_error("entries named out of the catalog's order");
  }
  last_ = std::move(key);
  claimed_ = true;
  FileNaming naming;
  naming.folder = e.folder;
  naming.unsafe = UnsafeNamePart(e.name);
  if (naming.unsafe == Reason::kNone) naming.unsafe = UnsafeNamePart(e.type);
  if (naming.unsafe != Reason::kNone || e.kept.empty()) return naming;
  if (e.folder && e.kept == kTopPath) {
    if (!top_taken_) naming.file = std::string(kTopPath);
    naming.displaced = top_taken_;
    top_taken_ = true;
    return naming;
  }
  naming.refused = PathProblem(e.kept);
  if (naming.refused != Reason::kNone) return naming;
  bool under_file = false;
  ForEachFolderOf(e.kept, [&](std::string_view folder) {
    under_file = under_file || files_.Contains(folder);
  });
  bool free =
      !files_.Contains(e.kept) && !under_file &&
      (e.folder ? folder_entries_.Insert(e.kept) : !folders_.Contains(e.kept));
  if (!free) {
    naming.displaced = true;
    return naming;
  }
  naming.file = e.kept;
  if (e.folder) {
    folders_.Insert(e.kept);
  } else {
    files_.Insert(e.kept);
  }
  ForEachFolderOf(e.kept,
                  [&](std::string_view folder) { folders_.Insert(folder); });
  return naming;
}

void FileNamer::Name(const NamedEntry& e, FileNaming* naming) {
  if (naming->unsafe != Reason::kNone || !naming->file.empty() || e.folder) {
    return;
  }
  std::string file = DefaultFileName(e.name, e.type);
  std::string stem = Lower(e.name), extension = ExtensionOf(e.type);
  for (int n = 2; files_.Contains(file) || folders_.Contains(file); ++n) {
    file = stem + "~" + std::to_string(n) + "." + extension;
    naming->displaced = true;
  }
  files_.Insert(file);
  naming->file = std::move(file);
}

std::set<std::string> FoldersOf(const std::vector<FileNaming>& naming) {
  std::set<std::string> folders;
  for (const FileNaming& n : naming) {
    if (n.file.empty() || n.file == kTopPath) continue;
    if (n.folder) folders.insert(n.file);
    ForEachFolderOf(n.file, [&](std::string_view folder) {
      folders.insert(std::string(folder));
    });
  }
  return folders;
}

std::string FileNamer::Record(const FileNaming& naming) {
  RecordText record;
  record.Put(naming.file).Put(static_cast<int64_t>(naming.unsafe));
  record.Put(static_cast<int64_t>(naming.refused));
  record.Put(int64_t{naming.displaced});
  return record.bytes();
}

FileNaming FileNamer::Read(std::string_view bytes, bool folder) {
  RecordText record(bytes);
  FileNaming naming;
  naming.file = record.Text();
  naming.folder = folder;
  naming.unsafe = static_cast<Reason>(record.Number());
  naming.refused = static_cast<Reason>(record.Number());
  naming.displaced = record.Number() != 0;
  return naming;
}

std::string WalkedRecord(const std::string& name, const std::string& type,
                         const refhost::EntryInfo& info, std::string_view file,
                         bool folder) {
  RecordText record;
  record.PutEntry(name, type, info).Put(file).Put(int64_t{folder});
  return record.bytes();
}

WalkedEntry WalkedOf(std::string_view bytes) {
  RecordText record(bytes);
  WalkedEntry e;
  record.Entry(&e.name, &e.type, &e.info);
  e.file = record.Text();
  e.folder = record.Number() != 0;
  return e;
}

}  // namespace cli
