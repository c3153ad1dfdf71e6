// Names between folders and catalogs, one rule for import, export, the
// mount and archives.
//
// A catalog holds a tree: each entry keeps the path of its file inside the
// catalog's folder ('/' between folders), and a folder of the tree is an
// entry without records whose host attributes say it is one and keep its
// path, mode and time (the catalog's folder itself is the entry _CATALOG,
// path "."). A path is any
// bytes but NUL, of names of 1 to 255 bytes that are not "." or "..", at
// most 4,096 bytes in all, and kept exactly.
//
// A file becomes an entry named by its file name up to its last '.', in
// upper case, of the type its extension selects. A catalog holds names of
// 1 to 32 bytes of UTF-8 text without control characters, '.' or a
// trailing blank: where a file name does not give one, or another file of
// the catalog has that entry, the entry name is fitted (characters no name
// holds become '_', cut to 32 bytes, ~2, ~3... to make it unique), unless
// the user asks for exact names, and then the file is refused. The path
// stays with the entry, so export and the mount give the file back under
// it.
//
// Going out, the entries of a catalog get their files by one rule
// (NameFiles): kept paths first, in the catalog's order, then default
// names <entry>.<extension> at the top of the tree, then ~2, ~3.... A
// catalog's folder is the folder name its _CATALOG record keeps, else its
// name in lower case; a folder becomes a catalog of its name in upper case,
// fitted where it must be, and then keeps its folder name.

#ifndef VUVOROZO_CLI_FILES_FILE_NAMES_H_
#define VUVOROZO_CLI_FILES_FILE_NAMES_H_

#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cli/files/entry_types.h"
#include "cli/files/spill.h"
#include "cli/reasons.h"

namespace cli {

// The manifest file export writes at the top of a catalog's folder (see
// manifest.h).
inline constexpr std::string_view kManifestName = ".vuvorozo-manifest";

// The longest name of a path, and the longest path.
inline constexpr size_t kFileNameBytes = 255;
inline constexpr size_t kPathBytes = 4096;

// The type of the entries that stand for folders (the module writes the
// types it knows only: the plain one), the entry that stands for the
// catalog's folder itself, and the path that entry keeps.
inline constexpr std::string_view kFolderType = "CATAMS";
inline constexpr std::string_view kCatalogFolderEntry = "_CATALOG";
inline constexpr std::string_view kTopPath = ".";

// The entry a file or folder becomes.
struct FileEntry {
  std::string name;  // entry name, upper case
  ImportType type;   // from the extension (folders: kFolderType)
  // The member open names the type itself (NAME.TYPE with the default
  // hint) rather than by the hint of an extension: an entry found by the
  // path it keeps, or a folder.
  bool typed = false;
  // NAME.TYPE: two files with one key would be one entry.
  std::string Key() const { return name + "." + type.type; }
  // The text and hint of the member open that writes it.
  std::string Member() const { return typed ? Key() : name; }
  const char* Hint() const;
};

// The last name of a path, and the folder before it ("" at the top).
std::string_view BaseName(std::string_view path);
std::string_view ParentOf(std::string_view path);

// Calls each for every proper folder a path passes through: "a", "a/b" of
// "a/b/c".
template <typename Each>
void ForEachFolderOf(std::string_view path, Each each) {
  for (size_t slash = path.find('/'); slash != std::string_view::npos;
       slash = path.find('/', slash + 1)) {
    each(path.substr(0, slash));
  }
}

// Why path cannot be kept as a file's path inside a catalog's folder:
// kNone when it can (relative, names of 1 to 255 bytes but "." and "..",
// no NUL, at most 4,096 bytes, no name the program keeps for its own).
Reason PathProblem(std::string_view path);

// A member path of an archive as a path of the tree: a leading "./",
// empty names and a trailing '/' go; "." alone is the top. Refused with
// the reason (an absolute path, a ".." step, PathProblem).
Reason NormalPath(std::string_view member, std::string* path);

// True when name may be given to a file or folder made inside a folder:
// one name (not empty, not "." or "..", no '/' or NUL, at most 255 bytes),
// not one of the program's own (the manifest, temporary files). *reason
// says why not (kNone when it may).
bool IsPlainFileName(std::string_view name, Reason* reason);

// The mount's scratch names: the temporary files of rsync (.NAME.XXXXXX),
// editors (NAME~, .NAME.swp, #NAME#, .#NAME, .~lock.NAME#), GIO
// (.goutputstream-XXXXXX) and export (.vuvorozo-tmp-...). A file of such a
// name is kept aside until it is renamed or removed.
bool IsScratchName(std::string_view name);

// The entry for a file (its last name) when a catalog holds its name as it
// stands: kNone with *entry set, else why it cannot (kNameTooLong ...).
Reason EntryForFile(std::string_view file, FileEntry* entry);

// The entry for any file name: bytes no name holds become '_', the name is
// cut to 32 bytes at a character boundary, and a key already in taken gets
// a suffix ~2, ~3... so that no two files share an entry.
FileEntry FittedEntryForFile(std::string_view file,
                             const std::set<std::string>& taken);
// The same with taken(key) telling whether a key is taken.
FileEntry FittedEntryForFile(
    std::string_view file,
    const std::function<bool(const std::string& key)>& taken);

// Chooses the entries the files and folders of a tree become, one after
// another, against the entries a catalog holds:
//   1. the entry that keeps the path, when there is one;
//   2. the entry the name gives (EntryForFile), unless another path has it;
//   3. with exact names, nothing: the reason is kNameTaken or the name's;
//      else a fitted entry (FittedEntryForFile) no other has.
// Each entry is chosen once: a second path never gets an entry chosen
// before. What it keeps of the entries is set aside (spill.h): a catalog
// of any size is chosen for in little memory.
class EntryChooser {
 public:
  EntryChooser();
  // Notes an entry of the catalog and the path it keeps ("" when none).
  void Hold(const std::string& name, const std::string& type,
            const std::string& kept, bool folder);
  // The entry for path (folder: a folder of the tree). *holder receives the
  // path that has the entry the name gives, when that refused it.
  Reason Choose(std::string_view path, bool folder, bool exact,
                FileEntry* entry, std::string* holder);
  // Forgets the entry: it is gone (deleted, or its file renamed over).
  void Release(const std::string& key);

 private:
  // What keys_ holds of key: false when nothing (the key is free).
  bool Kept(const std::string& key, int64_t* flags, std::string* path) const;
  // Every key held or chosen (and the catalog's own folder's): whether it
  // keeps a path, whether it was chosen, the path it keeps.
  SpillMap keys_;
  // The key that keeps a path, by PathKey, for the entries held.
  SpillMap paths_;
};

// Why name cannot be a libref, the name of a library's folder
// (kLibrefTooLong, kNotLibref); Reason::kNone when it can.
Reason LibrefProblem(std::string_view name);

// The folder a catalog shows as (export -r, the mount): the folder name its
// _CATALOG record keeps when that is a plain one, else its name in lower
// case.
std::string FolderOfCatalog(std::string_view catalog,
                            std::string_view kept_folder);

// The catalog a folder becomes (import -r, the mount's mkdir): its name in
// upper case when a catalog holds it as it stands, else, unless exact, a
// fitted name no catalog in taken has. *keep receives the folder name the
// catalog must keep to give it back ("" when FolderOfCatalog gives it
// anyway). kNone, else why the name cannot be a catalog's.
Reason CatalogForFolder(std::string_view folder, bool exact,
                        const std::set<std::string>& taken,
                        std::string* catalog, std::string* keep);

// The file an entry exports to when it has no path of its own:
// <name in lower case>.<extension of its type>.
std::string DefaultFileName(std::string_view name, std::string_view type);

// Why an entry name or type from a catalog cannot be part of a file name
// (a catalog written by others may hold anything); Reason::kNone when it
// can.
Reason UnsafeNamePart(std::string_view part);

// An entry of a catalog, as the rule below names its file.
struct NamedEntry {
  std::string name;     // entry name
  std::string type;     // entry type
  std::string kept;     // the path kept with it; empty when none
  bool folder = false;  // it stands for a folder
};

// The path the rule gives one entry.
struct FileNaming {
  // Its path in the catalog's folder ("." for the catalog's own folder);
  // empty when it has none: unsafe says why, or a folder lost its path to
  // a file.
  std::string file;
  bool folder = false;
  // Why its name or type cannot be part of a file name.
  Reason unsafe = Reason::kNone;
  // Why its kept path is not a path (it has its default name instead).
  Reason refused = Reason::kNone;
  bool displaced = false;  // its path is not the one it keeps: another
                           // entry took that one, or a file stands where a
                           // folder of it would be
};

// The files of a catalog's entries, as export and archives write them and
// the mount shows them, so that all give one tree. The entries go in the
// catalog's order, by name then type (bytes compared), whatever order they
// are given in: first each entry claims the path it keeps, and the first
// to claim a path has it (a path whose folder another entry's file holds,
// or a file's path that is another's folder, is not free); then every file
// without a path takes its default name, or, when that is taken too, its
// default name with ~2, ~3... before the extension. No file whose entry
// name can be part of a file name is left without one. Returns one naming
// an entry, in the order of entries.
std::vector<FileNaming> NameFiles(const std::vector<NamedEntry>& entries);

// A key whose byte order is the catalog's order of entries: by name, then
// type, bytes compared.
std::string CatalogOrderKey(std::string_view name, std::string_view type);

// The rule of NameFiles for entries given one at a time, in the catalog's
// order (CatalogOrderKey), and twice: Claim in the first pass gives each
// entry the path it keeps where that is free, and Name in the second gives
// the others their default names. It keeps the paths taken as tags in
// memory and the paths themselves aside (spill.h), so that a catalog of any
// size is named in little memory, each entry as NameFiles names it.
class FileNamer {
 public:
  // The first pass: what the entry's naming is once the kept paths are
  // claimed. An entry out of the catalog's order is a fault of the caller
  // (std::logic_error).
  FileNaming Claim(const NamedEntry& entry);
  // The second pass, over the same entries in the same order, each with
  // the naming Claim gave it: the naming the rule gives.
  void Name(const NamedEntry& entry, FileNaming* naming);

  // What Claim gave an entry, as it is set aside between the passes, and
  // read back (folder: the entry's own).
  static std::string Record(const FileNaming& naming);
  static FileNaming Read(std::string_view bytes, bool folder);

 private:
  SpillSet files_;           // the files' paths
  SpillSet folders_;         // the folders' paths
  SpillSet folder_entries_;  // paths folder entries claimed
  bool top_taken_ = false;
  std::string last_;  // the CatalogOrderKey of the entry claimed last
  bool claimed_ = false;
};

// An entry as a walk of a catalog sets it aside: what the listing gave,
// with a file (as walked: the path it keeps; once named: its path) and
// whether it stands for a folder. WalkedRecord makes the record, WalkedOf
// reads it.
struct WalkedEntry {
  std::string name;
  std::string type;
  refhost::EntryInfo info;
  std::string file;
  bool folder = false;
};
std::string WalkedRecord(const std::string& name, const std::string& type,
                         const refhost::EntryInfo& info, std::string_view file,
                         bool folder);
WalkedEntry WalkedOf(std::string_view bytes);

// The rule of FileNamer over the entries set aside in walked (a finished
// spill keyed by CatalogOrderKey), in its two passes: decode makes a
// record of what walked keeps of an entry, entry_of the entry the rule
// names of a record, and named takes each record, in walked's order, with
// the naming the rule gave it.
template <typename Decode, typename EntryOf, typename Named>
void NameWalked(SortedSpill& walked, Decode decode, EntryOf entry_of,
                Named named) {
  FileNamer namer;
  RecordSpill claims;
  {
    SortedSpill::Walk walk(walked);
    std::string_view key, value;
    while (walk.Next(&key, &value)) {
      auto record = decode(value);
      claims.Append(FileNamer::Record(namer.Claim(entry_of(record))));
    }
  }
  SortedSpill::Walk walk(walked);
  RecordSpill::Reader claimed(claims);
  std::string_view key, value;
  std::string claim;
  while (walk.Next(&key, &value) && claimed.Next(&claim)) {
    auto record = decode(value);
    NamedEntry entry = entry_of(record);
    FileNaming naming = FileNamer::Read(claim, entry.folder);
    namer.Name(entry, &naming);
    named(record, naming);
  }
}

// Every folder of the tree the naming makes: the folders of entries that
// have a path, and each folder a file's or folder's path passes through;
// the catalog's own folder is not one.
std::set<std::string> FoldersOf(const std::vector<FileNaming>& naming);

}  // namespace cli

#endif  // VUVOROZO_CLI_FILES_FILE_NAMES_H_
