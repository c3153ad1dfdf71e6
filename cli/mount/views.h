// What the folders of a mount show: the libraries of the store, a
// library's catalogs, and a catalog's entries as files. A catalog's view is
// built from one walk of the catalog through the module: each entry with
// what the host knows of it (description, times, host attributes), under
// the file the rule of file names gives it (NameFiles, as export writes
// it). A view holds until the library changes (its store's change stamp);
// the mount's own changes update it in place (Refresh). What a stat shows
// of a folder or a file is made here too.

#ifndef VUVOROZO_CLI_MOUNT_VIEWS_H_
#define VUVOROZO_CLI_MOUNT_VIEWS_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "cli/files/attributes.h"
#include "cli/mount/entry_reader.h"
#include "cli/session.h"

namespace cli {

// An entry as its catalog's folder shows it.
struct Shown {
  std::string name;  // the entry
  std::string type;
  refhost::EntryInfo info;
  EntryFile as_file;  // the file it makes, by its host attributes
  std::string file;   // the file it is shown as
};

// A catalog's folder and the tree in it.
struct CatalogView {
  std::string stamp;  // the library's change stamp it was made at
  // The entries shown, by (name, type): the catalog's order.
  std::map<std::pair<std::string, std::string>, Shown> entries;
  std::map<std::string, Shown*> files;  // the files, by path
  // The folders of the tree by path, each with the entry that keeps its
  // mode and time (null for a folder only the paths below it make).
  std::map<std::string, Shown*> folders;
  Shown* top = nullptr;  // the record of the catalog's own folder
  int displaced = 0;     // entries shown under a name they do not want
  int described = 0;     // entries with a description
  std::string manifest;  // the manifest's text, when not stale
  bool manifest_stale = true;
};

// A library's folder: its catalogs by the names shown.
struct LibraryView {
  std::string stamp;
  std::map<std::string, std::string> catalogs;  // shown -> catalog
  std::map<std::string, std::string> shown;     // catalog -> shown
};

// What a path names: the depth (0 the root, 1 a library, 2 a catalog, 3
// and more a file or folder of its tree) and the keys of the library and
// catalog it passes through.
struct Place {
  std::string path;
  size_t depth = 0;
  std::string libref;
  std::string catalog;  // empty when absent
  std::string folder;   // the catalog as the path names it
  std::string file;     // the path in the catalog's tree ("a/b.txt")
  bool exists = false;  // the library or catalog at depth 1 or 2
  // LIBREF.CATALOG/file: a file's key among the pending ones.
  std::string Where() const { return libref + "." + catalog + "/" + file; }
};

class Views {
 public:
  // Over the session's store; readers are set aside before every walk, so
  // that the store's connection sees what other processes committed.
  Views(Session& session, Readers readers);
  Views(const Views&) = delete;
  Views& operator=(const Views&) = delete;

  // The library's view, built again when the library changed; null when the
  // library is absent, or when the store could not say (library_error()).
  LibraryView* Library(const std::string& libref);
  // Why the last Library that gave null did: 0 when the library is absent,
  // else the errno of the store's failure (EIO for a server that cannot be
  // reached), so that a failure is never shown as a missing file.
  int library_error() const { return library_error_; }
  // The catalog's view, walked again when the library changed; null when it
  // cannot be walked (reported).
  CatalogView* Catalog(const std::string& libref, const std::string& catalog);
  // After a change of the mount's own to an entry: the view shows the entry
  // as the store now has it (or no more), and the library's stamp as it now
  // is stands for the views.
  void Refresh(const std::string& libref, const std::string& catalog,
               const std::string& name, const std::string& type);
  // Drops the views of the library, or of one catalog, after a change to
  // the store's libraries or catalogs.
  void Forget(const std::string& libref);
  void ForgetCatalog(const std::string& libref, const std::string& catalog);
  // The text of the manifest the catalog's folder shows.
  const std::string& ManifestOf(const std::string& libref,
                                const std::string& catalog, CatalogView* view);

  // Splits the path and finds the library and catalog it passes through.
  // -ENOENT when one it passes through is absent or the path is deeper
  // than a file; the last level's own presence is place->exists.
  int Locate(const std::string& path, Place* place);
  // The entry a file of the place's catalog shows; null when none.
  // *view_out (may be null) receives the catalog's view.
  Shown* ShownAt(const Place& place, CatalogView** view_out = nullptr);
  // Whether the place is the manifest a catalog's folder shows: where its
  // entries have descriptions.
  bool ShowsManifest(const Place& place);
  // Whether the place is a folder of its catalog's tree; *shown (may be
  // null) receives the entry that keeps it (null when none does).
  bool FolderAt(const Place& place, Shown** shown = nullptr);
  // What a stat gives of a folder of a tree, or of a catalog's folder, by
  // the entry that keeps it (null: the defaults).
  void TreeFolderAttributes(const Shown* shown, struct stat* st) const;

  // What a stat gives of a folder, of a file of size bytes, and of the file
  // an entry shows (negative errno when its size cannot be found).
  void FolderAttributes(struct stat* st) const;
  void FileAttributesOf(int64_t size, uint32_t mode, int64_t modified_ns,
                        struct stat* st) const;
  int ShownAttributes(const std::string& libref, const std::string& catalog,
                      const Shown& shown, struct stat* st);
  // The bytes the entry gives: kept with it, else read once a version.
  // A negative errno when it cannot be read (reported).
  int SizeOf(const std::string& libref, const std::string& catalog,
             const Shown& shown, int64_t* size);
  // A reader of the entry, not yet open.
  std::unique_ptr<EntryReader> ReaderOf(const std::string& libref,
                                        const std::string& catalog,
                                        const Shown& shown);

  // The mode of a file made now without one, and the owner of every file.
  uint32_t default_mode() const { return default_mode_; }
  uid_t uid() const { return uid_; }
  gid_t gid() const { return gid_; }
  // When the mount started: the time of the folders.
  int64_t started_ns() const { return started_ns_; }

 private:
  std::string StampOf(const std::string& libref);
  std::optional<Shown> ShownOf(const std::string& libref,
                               const std::string& catalog,
                               const std::string& name, const std::string& type,
                               const refhost::EntryInfo& info) const;
  // Gives every entry of the view its file, by the rule export follows.
  void Arrange(CatalogView* view);

  Session& session_;
  Readers readers_;
  uint32_t default_mode_;
  uid_t uid_;
  gid_t gid_;
  int64_t started_ns_;
  std::map<std::string, LibraryView> libraries_;  // by libref
  int library_error_ = 0;
  std::map<std::string, CatalogView> catalogs_;  // by LIBREF.CATALOG
  // Sizes found by reading entries that do not keep theirs, by entry and
  // version.
  std::map<std::string, int64_t> sizes_;
};

}  // namespace cli

#endif  // VUVOROZO_CLI_MOUNT_VIEWS_H_
