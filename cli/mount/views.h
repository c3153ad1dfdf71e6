// What the folders of a mount show: the libraries of the store, a
// library's catalogs, and a catalog's entries as files. A catalog's view
// (catalog_view.h) is built from one walk of the catalog through the
// module: each entry with what the host knows of it (description, times,
// host attributes), under the file the rule of file names gives it, as
// export writes it. A view holds until the library changes (its store's
// change stamp); the mount's own changes go to the view's overlay
// (Refresh), or, where it cannot take them, have the catalog walked anew.
// What a stat shows of a folder or a file is made here too.

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
#include "cli/files/spill.h"
#include "cli/mount/catalog_view.h"
#include "cli/mount/entry_reader.h"
#include "cli/session.h"

namespace cli {

// The text of a catalog's manifest, made once a version of the catalog, in
// a temporary file of its own: a catalog of any size shows it in little
// memory.
struct ManifestText {
  int fd = -1;
  int64_t size = 0;
  int64_t modified_ns = 0;  // the newest file's time, or the mount's start
  ManifestText() = default;
  ManifestText(const ManifestText&) = delete;
  ManifestText& operator=(const ManifestText&) = delete;
  ~ManifestText();
  // Bytes read into data from offset, or a negative errno.
  int Read(char* data, size_t length, int64_t offset) const;
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

  // A new call of the mount's begins: the change stamps of the libraries
  // are read again, once each, at their first use in it.
  void Begin() { stamps_.clear(); }
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
  // is stands for the views. A view whose overlay cannot take the change
  // is walked anew when next asked for.
  void Refresh(const std::string& libref, const std::string& catalog,
               const std::string& name, const std::string& type);
  // Drops the views of the library, or of one catalog, after a change to
  // the store's libraries or catalogs.
  void Forget(const std::string& libref);
  void ForgetCatalog(const std::string& libref, const std::string& catalog);
  // The manifest the catalog's folder shows: export's, a line a file in the
  // order of their paths. Null when the catalog cannot be walked, or the
  // text cannot be set aside (reported).
  std::shared_ptr<const ManifestText> ManifestOf(const std::string& libref,
                                                 const std::string& catalog);

  // Splits the path and finds the library and catalog it passes through.
  // -ENOENT when one it passes through is absent or the path is deeper
  // than a file; the last level's own presence is place->exists.
  int Locate(const std::string& path, Place* place);
  // The entry a file of the place's catalog shows; none when none does.
  std::optional<Shown> ShownAt(const Place& place);
  // Whether the place is the manifest a catalog's folder shows: where its
  // entries have descriptions.
  bool ShowsManifest(const Place& place);
  // Whether the place is a folder of its catalog's tree (depth 2: the
  // catalog's own); *keeper (may be null) receives the entry that keeps it,
  // if one does.
  bool FolderAt(const Place& place, std::optional<Shown>* keeper = nullptr);
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
  // The library's change stamp, read once a call (again: read now).
  std::string StampOf(const std::string& libref, bool again = false);
  // Whether an entry of that name and type can be shown; when not, says
  // why in the log.
  bool Shows(const std::string& libref, const std::string& catalog,
             const std::string& name, const std::string& type) const;

  Session& session_;
  Readers readers_;
  uint32_t default_mode_;
  uid_t uid_;
  gid_t gid_;
  int64_t started_ns_;
  std::map<std::string, LibraryView> libraries_;  // by libref
  std::map<std::string, std::string> stamps_;     // read in this call
  int library_error_ = 0;
  // A catalog's view, the library's change stamp it was made at, and its
  // manifest once made (null when stale).
  struct Kept {
    std::string stamp;
    std::unique_ptr<CatalogView> view;
    std::shared_ptr<const ManifestText> manifest;
  };
  std::map<std::string, Kept> catalogs_;  // by LIBREF.CATALOG
  // Sizes found by reading entries that do not keep theirs, by entry and
  // version, set aside.
  SpillMap sizes_;
};

}  // namespace cli

#endif  // VUVOROZO_CLI_MOUNT_VIEWS_H_
