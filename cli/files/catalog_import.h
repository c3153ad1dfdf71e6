// One catalog being filled from a tree: a folder being walked or the
// members of an archive. The catalog is opened as a directory once (made
// when absent) and walked, so that each file goes to the entry that keeps
// its path, else to the entry its name gives, by the one rule of entry
// names (EntryChooser). Each file or folder is then written as a member of
// the directory: its records and, as host attributes committed with them,
// its path, mode and time; a folder is an entry without records that
// says it is one. What cannot be written is reported by name with the reason,
// and the entry it would have replaced keeps what it had.

#ifndef VUVOROZO_CLI_FILES_CATALOG_IMPORT_H_
#define VUVOROZO_CLI_FILES_CATALOG_IMPORT_H_

#include <sys/stat.h>

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "cli/command.h"
#include "cli/command_support.h"
#include "cli/files/content.h"
#include "cli/files/file_names.h"
#include "cli/files/manifest.h"
#include "cli/files/spill.h"
#include "cli/records.h"
#include "cli/session.h"

namespace cli {

// How the files of an import are written: the options for every file, the
// user's flags, the layout those options give.
struct ImportSettings {
  const Words* option_words = nullptr;
  bool exact_names = false;  // refuse names that are not entry names
  bool update = false;       // write only what changed
  bool delete_gone = false;  // delete the entries whose files are gone
  RecordLayout layout;
  bool own_description = false;  // desc= given: manifests do not apply
  // Where the entries' commits are counted once stored; null: at once.
  GatheredCommits* gathered = nullptr;
};

// What a file to import is like, from a stat or an archive's header.
struct FileFacts {
  uint32_t mode = 0;                   // 07777
  std::optional<int64_t> modified_ns;  // else now
  // From a stat only: what tells an unchanged file (import -u).
  std::optional<int64_t> size;
  std::optional<int64_t> changed_ns;
  std::optional<uint64_t> inode;
};

class CatalogImport {
 public:
  CatalogImport(Session& session, const ImportSettings& settings, Tally& tally);
  ~CatalogImport();
  CatalogImport(const CatalogImport&) = delete;
  CatalogImport& operator=(const CatalogImport&) = delete;

  // Opens the catalog name (LIBREF.CATALOG) and walks it. label goes
  // before paths in messages ("" or "sub/"). false when it cannot be
  // (reported, the tally failed).
  bool Begin(const std::string& name, const std::string& label);

  // Takes the manifest lines of a folder of the tree (prefix "" or "a/b/"):
  // the descriptions of its files.
  void AddManifest(const std::map<std::string, ManifestLine>& lines,
                   const std::string& prefix);

  // Writes a folder of the tree ("." the catalog's own folder, whose
  // record keeps keep_folder, the folder's name, when not empty).
  void Folder(const std::string& path, const FileFacts& facts,
              const std::string& keep_folder = "");

  // Writes the file at path of the tree: its bytes come from load, which
  // fills content (false with *error when they cannot be read). When fd is
  // not -1 (a file of a folder), import -u compares it with the entry
  // first and may find it unchanged without loading it.
  Outcome File(
      const std::string& path, const FileFacts& facts, int fd,
      const std::function<bool(Content& content, std::string* error)>& load);

  // The tree holds something at path (a file, a folder, anything the walk
  // met, kept or not): an entry that keeps that path is not gone.
  void Saw(const std::string& path) {
    if (settings_.delete_gone) seen_.Insert(path);
  }
  // The folder at path ("" the top) could not be read whole: nothing under
  // it counts as gone.
  void Unread(const std::string& path) { unread_.push_back(path); }

  // The bytes of the file File wrote last.
  int64_t last_bytes() const { return last_bytes_; }
  // Counts the outcome of the file at path File wrote last in the tally
  // (printing its line with -v), once its commit is stored.
  void Count(const std::string& path, Outcome outcome);

  // Closes the directory, then, with delete_gone, deletes every entry that
  // keeps a path of the tree where the tree held nothing. false when the
  // close failed (reported).
  bool End();

 private:
  void DeleteGone();
  bool Unchanged(const std::string& existing, const std::string& path,
                 const FileFacts& facts, int fd, bool* loaded);
  // Chooses the entry for path; reports and returns false when refused.
  bool Choose(const std::string& path, bool folder, FileEntry* entry);
  std::string What(const std::string& path) const;

  Session& session_;
  const ImportSettings& settings_;
  Tally& tally_;
  std::unique_ptr<MadeCatalog> made_;  // the catalog, as it was before
  // What the tally held at Begin, and the entries written since: an import
  // that failed and wrote none removes the catalog it made.
  int skipped_at_begin_ = 0;
  bool failed_at_begin_ = false;
  int64_t written_ = 0;
  std::unique_ptr<OptionBlock> options_;
  std::unique_ptr<Fileref> fileref_;
  std::unique_ptr<Directory> directory_;
  std::string name_;   // LIBREF.CATALOG
  std::string label_;  // before paths in messages
  EntryKey catalog_;
  EntryChooser chooser_;
  // What the import keeps of the catalog's entries and the tree is set
  // aside (spill.h), so that a catalog of any size imports in little
  // memory.
  SpillMap existing_;      // host attributes of the entries, by NAME.TYPE
  SpillMap descriptions_;  // by path
  SpillSet seen_;          // paths the tree held (with delete_gone)
  SpillSet touched_;  // entries written now, by NAME.TYPE (with delete_gone)
  std::vector<std::string> unread_;  // folders not read whole
  Content content_;                  // its buffer serves every file
  bool open_ = false;
  int64_t last_bytes_ = 0;
  std::string last_detail_;  // the -v line of the file File wrote last
};

class ArchiveReader;

// Imports the members of the open archive (source names it in messages)
// into the catalog name, or with recursive into catalogs of the libref
// name, one a folder at the top of the archive: each member checked path by
// path, refused by name with the reason, and written as it comes (defined
// with the import command).
void ImportArchive(Session& session, const ImportSettings& settings,
                   Tally& tally, bool recursive, const std::string& name,
                   ArchiveReader& reader, const std::string& source);

}  // namespace cli

#endif  // VUVOROZO_CLI_FILES_CATALOG_IMPORT_H_
