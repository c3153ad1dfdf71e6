// Names between folders and catalogs. A file becomes an entry named by the
// file name up to its last '.', in upper case, of the type its extension
// selects; a folder of `import -r` becomes a catalog of its name in upper
// case. A catalog holds names of 1 to 32 bytes of UTF-8 text without
// control characters, '.' or a trailing blank: a file or folder name that
// does not fit is refused with the reason, unless the user asks for names
// to be fitted (a lossy mapping: the file's own name stays in the entry's
// attributes, so export gives it back). Going out, a name becomes a file
// name only when it is one plain name of the folder: never a path, a
// link's target or a control sequence; and the entries of a catalog get
// their files by one rule (NameFiles), which export and the mount share.

#ifndef VUVOROZO_CLI_FILES_FILE_NAMES_H_
#define VUVOROZO_CLI_FILES_FILE_NAMES_H_

#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "cli/files/entry_types.h"
#include "cli/reasons.h"

namespace cli {

// The manifest file export writes in each folder (see manifest.h).
inline constexpr std::string_view kManifestName = ".vuvorozo-manifest";

// The entry a file becomes.
struct FileEntry {
  std::string name;  // entry name, upper case
  ImportType type;   // from the extension
  // NAME.TYPE: two files with one key would be one entry.
  std::string Key() const { return name + "." + type.type; }
};

// The entry for file, when a catalog holds its name as it stands:
// Reason::kNone with *entry set, else why it cannot (kNameTooLong,
// kNameHoldsDot ...).
Reason EntryForFile(std::string_view file, FileEntry* entry);

// The entry for any file name: bytes no name holds become '_', the name is
// cut to 32 bytes at a character boundary, and a key already in taken gets
// a suffix ~2, ~3... so that no two files share an entry.
FileEntry FittedEntryForFile(std::string_view file,
                             const std::set<std::string>& taken);

// The catalog name (upper case) for a folder of `import -r`, when a catalog
// holds it as it stands: Reason::kNone with *catalog set, else why not.
Reason CatalogForFolder(std::string_view folder, std::string* catalog);

// Why name cannot be a libref, the name of a library's folder
// (kLibrefTooLong, kNotLibref); Reason::kNone when it can.
Reason LibrefProblem(std::string_view name);
// The catalog name for any folder name, fitted as FittedEntryForFile fits.
std::string FittedCatalogForFolder(std::string_view folder,
                                   const std::set<std::string>& taken);

// True when name may be given to a file or folder made inside a folder:
// one plain name (not empty, not "." or "..", no '/'), no control
// characters, not one of the program's own (the manifest, temporary
// files). *reason says why not (Reason::kNone when it may).
bool IsPlainFileName(std::string_view name, Reason* reason);

// The file an entry exports to when it has no recorded name:
// <name in lower case>.<extension of its type>.
std::string DefaultFileName(std::string_view name, std::string_view type);

// Why an entry name or type from a catalog cannot be part of a file name
// (a catalog written by others may hold anything); Reason::kNone when it
// can.
Reason UnsafeNamePart(std::string_view part);

// The file an entry wants: the file name kept with it when that is a plain
// one, else DefaultFileName. *refused receives why a kept name was not
// used; Reason::kNone when there was none or it was used.
std::string PreferredFileName(std::string_view name, std::string_view type,
                              const std::string& kept, Reason* refused);

// An entry of a catalog, as the rule below names its file.
struct NamedEntry {
  std::string name;  // entry name
  std::string type;  // entry type
  std::string kept;  // the file name kept with it; empty when none
};

// The file name the rule gives one entry.
struct FileNaming {
  std::string file;  // empty when the entry has none (unsafe says why)
  // Why its name or type cannot be part of a file name.
  Reason unsafe = Reason::kNone;
  // Why its kept name is not a file name (it has its default name instead).
  Reason refused = Reason::kNone;
  bool displaced = false;  // its file name is not the one it wants: another
                           // entry took that one
};

// The files of a catalog's entries, as export writes them and the mount
// shows them, so that both give one tree. The entries go in the catalog's
// order, by name then type (bytes compared), whatever order they are given
// in: first each entry claims the file name it wants when that is its kept
// name, and the first to claim a name has it; then every entry without a
// file takes its default name, or, when that is taken too, its default
// name with ~2, ~3... before the extension. No entry whose name can be
// part of a file name is left without one. Returns one naming an entry,
// in the order of entries.
std::vector<FileNaming> NameFiles(const std::vector<NamedEntry>& entries);

}  // namespace cli

#endif  // VUVOROZO_CLI_FILES_FILE_NAMES_H_
