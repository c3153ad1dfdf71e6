// The views of a mount: libraries from the host's own store, catalogs from
// a walk through the module, files by the rule export shares.

#include "cli/mount/views.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "cli/command_support.h"
#include "cli/files/file_names.h"
#include "cli/files/manifest.h"
#include "cli/option_text.h"
#include "cli/report.h"
#include "refhost/host/library_services.h"

namespace cli {
namespace {

constexpr mode_t kFolderMode = 0755;

struct timespec TimeOf(int64_t ns) {
  struct timespec t;
  int64_t seconds = ns / 1000000000;
  int64_t nanos = ns % 1000000000;
  if (nanos < 0) {
    nanos += 1000000000;
    --seconds;
  }
  t.tv_sec = static_cast<time_t>(seconds);
  t.tv_nsec = static_cast<long>(nanos);
  return t;
}

}  // namespace

Views::Views(Session& session, Readers readers)
    : session_(session),
      readers_(std::move(readers)),
      default_mode_(DefaultFileMode()),
      uid_(getuid()),
      gid_(getgid()),
      started_ns_(NowNs()) {}

std::string Views::StampOf(const std::string& libref) {
  std::string stamp;
  session_.host().store()->ChangeStamp(libref, &stamp);
  return stamp;
}

LibraryView* Views::Library(const std::string& libref) {
  std::string stamp = StampOf(libref);
  auto it = libraries_.find(libref);
  if (it != libraries_.end() && it->second.stamp == stamp) {
    return &it->second;
  }
  readers_.detach();
  std::vector<refhost::CatalogInfo> catalogs;
  library_error_ = 0;
  refhost::StoreStatus status = refhost::StoreStatus::NotFound(libref);
  if (refhost::CheckLibref(libref).ok()) {
    status = session_.host().store()->FindLibrary(libref);
    if (status.ok()) {
      status =
          session_.host().library_services()->ListCatalogs(libref, &catalogs);
    }
  }
  if (!status.ok()) {
    libraries_.erase(libref);
    if (!status.IsNotFound()) {
      PrintError(Printable(Lower(libref)) + ": " + status.ToString());
      library_error_ = ErrnoOf(ReasonOf(status));
    }
    return nullptr;
  }
  LibraryView& view = libraries_[libref];
  view = LibraryView();
  view.stamp = stamp;
  for (const refhost::CatalogInfo& c : catalogs) {
    // The folder a catalog's record keeps, else its name in lower case.
    refhost::EntryInfo top;
    refhost::FileAttributes kept;
    if (session_.host()
            .library_services()
            ->FindEntry(libref, c.name, std::string(kCatalogFolderEntry),
                        std::string(kFolderType), &top)
            .ok()) {
      refhost::DecodeFileAttributes(top.host_attributes, &kept);
    }
    std::string shown = FolderOfCatalog(c.name, kept.folder);
    if (view.catalogs.count(shown) != 0) shown = Lower(c.name);
    if (UnsafeNamePart(c.name) != Reason::kNone || view.catalogs.count(shown)) {
      PrintError(Printable(Lower(libref) + "/" + c.name) +
                 ": the catalog is not shown: its name cannot be a folder's");
      continue;
    }
    view.catalogs[shown] = c.name;
    view.shown[c.name] = shown;
  }
  return &view;
}

CatalogView* Views::Catalog(const std::string& libref,
                            const std::string& catalog) {
  std::string stamp = StampOf(libref);
  std::string key = libref + "." + catalog;
  auto it = catalogs_.find(key);
  if (it != catalogs_.end() && it->second.stamp == stamp) {
    return &it->second;
  }
  readers_.detach();
  CatalogView view;
  view.stamp = stamp;
  Fileref fileref(session_);
  Directory directory(session_);
  if (!OpenExistingCatalog(session_, fileref, directory, key, nullptr)) {
    catalogs_.erase(key);
    return nullptr;
  }
  std::string name, type;
  refhost::EntryInfo info;
  int32_t st;
  while ((st = directory.Next(&name, &type, &info)) == 0) {
    std::optional<Shown> shown = ShownOf(libref, catalog, name, type, info);
    if (shown) view.entries[{name, type}] = std::move(*shown);
  }
  if (st != kStatusEndOfList) {
    session_.Fail(key, st);
    catalogs_.erase(key);
    return nullptr;
  }
  CatalogView& stored = catalogs_[key] = std::move(view);
  Arrange(&stored);
  return &stored;
}

std::optional<Shown> Views::ShownOf(const std::string& libref,
                                    const std::string& catalog,
                                    const std::string& name,
                                    const std::string& type,
                                    const refhost::EntryInfo& info) const {
  Reason unsafe = UnsafeNamePart(name);
  if (unsafe == Reason::kNone) unsafe = UnsafeNamePart(type);
  if (unsafe != Reason::kNone) {
    PrintError(Printable(Lower(libref) + "/" + Lower(catalog) + "/" + name +
                         "." + type) +
               ": the entry is not shown: its name cannot be part of a file "
               "name: " +
               TextOf(unsafe));
    return std::nullopt;
  }
  Shown shown;
  shown.name = name;
  shown.type = type;
  shown.info = info;
  shown.as_file = EntryFileOf(info, type, default_mode_);
  return shown;
}

void Views::Arrange(CatalogView* view) {
  std::vector<NamedEntry> named;
  for (const auto& [key, shown] : view->entries) {
    named.push_back({shown.name, shown.type, shown.as_file.attributes.file_name,
                     shown.as_file.attributes.is_folder});
  }
  std::vector<FileNaming> naming = NameFiles(named);
  view->files.clear();
  view->folders.clear();
  view->top = nullptr;
  view->described = 0;
  view->displaced = 0;
  for (const std::string& folder : FoldersOf(naming)) {
    view->folders[folder] = nullptr;
  }
  size_t i = 0;
  for (auto& [key, shown] : view->entries) {
    const FileNaming& n = naming[i++];
    shown.file = n.file;
    if (n.displaced) ++view->displaced;
    if (n.file.empty()) continue;
    if (n.folder) {
      if (n.file == kTopPath) {
        view->top = &shown;
      } else {
        view->folders[n.file] = &shown;
      }
      continue;
    }
    if (!shown.info.description.empty()) ++view->described;
    view->files[shown.file] = &shown;
  }
  view->manifest_stale = true;
}

void Views::Refresh(const std::string& libref, const std::string& catalog,
                    const std::string& name, const std::string& type) {
  std::string stamp = StampOf(libref);
  auto library = libraries_.find(libref);
  if (library != libraries_.end()) library->second.stamp = stamp;
  auto it = catalogs_.find(libref + "." + catalog);
  if (it == catalogs_.end()) return;
  CatalogView& view = it->second;
  view.stamp = stamp;
  std::optional<Shown> now;
  refhost::EntryInfo info;
  if (session_.host()
          .library_services()
          ->FindEntry(libref, catalog, name, type, &info)
          .ok()) {
    now = ShownOf(libref, catalog, name, type, info);
  }
  view.manifest_stale = true;
  auto old = view.entries.find({name, type});
  bool was_file = false;
  if (old != view.entries.end()) {
    was_file = !old->second.as_file.attributes.is_folder &&
               view.files.count(old->second.file) != 0 &&
               view.files[old->second.file] == &old->second;
    if (!was_file) {
      // A folder, or an entry not shown: the whole rule again.
      view.entries.erase(old);
      if (now) view.entries[{name, type}] = std::move(*now);
      Arrange(&view);
      return;
    }
    if (!old->second.info.description.empty()) --view.described;
    view.files.erase(old->second.file);
    std::string path = old->second.file;
    view.entries.erase(old);
    // Where no entry was displaced, one that goes frees a path no other
    // entry wants; the folders its path passed through stay while the
    // mount runs.
    if (!now) {
      if (view.displaced != 0) Arrange(&view);
      return;
    }
  } else if (!now) {
    return;
  }
  const refhost::FileAttributes& a = now->as_file.attributes;
  std::string wanted = a.file_name;
  bool plain =
      !a.is_folder && !wanted.empty() && PathProblem(wanted) == Reason::kNone;
  if (!plain && !a.is_folder && wanted.empty()) {
    wanted = DefaultFileName(name, type);
    plain = true;
  }
  std::string parent(ParentOf(wanted));
  Shown& shown = view.entries[{name, type}] = std::move(*now);
  if (!plain || view.displaced != 0 || view.files.count(wanted) != 0 ||
      view.folders.count(wanted) != 0 ||
      (!parent.empty() && view.folders.count(parent) == 0)) {
    // A path another entry holds, or may want back, or in a folder not
    // yet shown: the whole rule.
    Arrange(&view);
    return;
  }
  shown.file = wanted;
  if (!shown.info.description.empty()) ++view.described;
  view.files[wanted] = &shown;
}

void Views::Forget(const std::string& libref) { libraries_.erase(libref); }

void Views::ForgetCatalog(const std::string& libref,
                          const std::string& catalog) {
  libraries_.erase(libref);
  catalogs_.erase(libref + "." + catalog);
}

const std::string& Views::ManifestOf(const std::string& libref,
                                     const std::string& catalog,
                                     CatalogView* view) {
  if (!view->manifest_stale) return view->manifest;
  std::vector<ManifestLine> lines;
  for (const auto& [key, shown] : view->entries) {
    EntryKey entry{libref, catalog, shown.name, shown.type};
    lines.push_back({shown.file, entry.Path(), shown.info.description});
  }
  view->manifest = lines.empty() ? "" : FormatManifest(lines);
  view->manifest_stale = false;
  return view->manifest;
}

int Views::Locate(const std::string& path, Place* place) {
  *place = Place();
  place->path = path;
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    if (slash > start) parts.push_back(path.substr(start, slash - start));
    start = slash + 1;
  }
  place->depth = parts.size();
  if (place->depth == 0) {
    place->exists = true;
    return 0;
  }
  place->libref = Upper(parts[0]);
  LibraryView* library = refhost::CheckLibref(place->libref).ok()
                             ? Library(place->libref)
                             : nullptr;
  if (library == nullptr && library_error_ != 0) return -library_error_;
  if (place->depth == 1) {
    place->exists = library != nullptr;
    return 0;
  }
  if (library == nullptr) return -ENOENT;
  place->folder = parts[1];
  // A catalog by the folder it shows as, or by its name in any case.
  auto catalog = library->catalogs.find(parts[1]);
  if (catalog != library->catalogs.end()) {
    place->catalog = catalog->second;
  } else if (library->shown.count(Upper(parts[1])) != 0) {
    place->catalog = Upper(parts[1]);
  }
  if (place->depth == 2) {
    place->exists = !place->catalog.empty();
    return 0;
  }
  if (place->catalog.empty()) return -ENOENT;
  for (size_t i = 2; i < parts.size(); ++i) {
    if (i > 2) place->file += '/';
    place->file += parts[i];
  }
  if (place->file.size() > kPathBytes) return -ENAMETOOLONG;
  return 0;
}

Shown* Views::ShownAt(const Place& place, CatalogView** view_out) {
  CatalogView* view = Catalog(place.libref, place.catalog);
  if (view_out != nullptr) *view_out = view;
  if (view == nullptr) return nullptr;
  auto it = view->files.find(place.file);
  return it == view->files.end() ? nullptr : it->second;
}

// The manifest shows where it carries something: in a catalog whose
// entries have descriptions. A copy out then takes them along, and a copy
// into a new folder, which creates each file anew, meets no manifest
// before it writes its own.
bool Views::ShowsManifest(const Place& place) {
  if (place.depth != 3 || place.file != kManifestName) return false;
  CatalogView* view = Catalog(place.libref, place.catalog);
  return view != nullptr && view->described > 0;
}

bool Views::FolderAt(const Place& place, Shown** shown) {
  if (shown != nullptr) *shown = nullptr;
  CatalogView* view = Catalog(place.libref, place.catalog);
  if (view == nullptr) return false;
  if (place.depth == 2) {
    if (shown != nullptr) *shown = view->top;
    return true;
  }
  auto it = view->folders.find(place.file);
  if (it == view->folders.end()) return false;
  if (shown != nullptr) *shown = it->second;
  return true;
}

void Views::TreeFolderAttributes(const Shown* shown, struct stat* st) const {
  FolderAttributes(st);
  if (shown == nullptr) return;
  st->st_mode = S_IFDIR | (shown->as_file.mode & 0777);
  st->st_mtim = st->st_ctim = st->st_atim = TimeOf(shown->as_file.modified_ns);
}

void Views::FolderAttributes(struct stat* st) const {
  std::memset(st, 0, sizeof *st);
  st->st_mode = S_IFDIR | kFolderMode;
  st->st_nlink = 2;
  st->st_uid = uid_;
  st->st_gid = gid_;
  st->st_mtim = st->st_ctim = st->st_atim = TimeOf(started_ns_);
}

void Views::FileAttributesOf(int64_t size, uint32_t mode, int64_t modified_ns,
                             struct stat* st) const {
  std::memset(st, 0, sizeof *st);
  st->st_mode = S_IFREG | (mode & 0777);
  st->st_nlink = 1;
  st->st_uid = uid_;
  st->st_gid = gid_;
  st->st_size = size;
  // Tools that copy size their buffers by it: large reads and writes mean
  // fewer round trips through the kernel.
  st->st_blksize = 1 << 20;
  st->st_blocks = (size + 511) / 512;
  st->st_mtim = st->st_ctim = st->st_atim = TimeOf(modified_ns);
}

int Views::SizeOf(const std::string& libref, const std::string& catalog,
                  const Shown& shown, int64_t* size) {
  if (shown.as_file.size) {
    *size = *shown.as_file.size;
    return 0;
  }
  EntryKey key{libref, catalog, shown.name, shown.type};
  std::string version = key.Path() + "@" +
                        std::to_string(shown.info.modified_micros) + "#" +
                        std::to_string(shown.info.record_count);
  auto it = sizes_.find(version);
  if (it != sizes_.end()) {
    *size = it->second;
    return 0;
  }
  std::unique_ptr<EntryReader> reader = ReaderOf(libref, catalog, shown);
  int32_t st = reader->Open();
  if (st != 0) {
    session_.Fail(key.Path(), st);
    return -ErrnoOf(session_.ReasonOf(st));
  }
  int error = reader->Count(size);
  if (error == 0) sizes_[version] = *size;
  return error;
}

int Views::ShownAttributes(const std::string& libref,
                           const std::string& catalog, const Shown& shown,
                           struct stat* st) {
  int64_t size = 0;
  int error = SizeOf(libref, catalog, shown, &size);
  if (error != 0) return error;
  FileAttributesOf(size, shown.as_file.mode, shown.as_file.modified_ns, st);
  return 0;
}

std::unique_ptr<EntryReader> Views::ReaderOf(const std::string& libref,
                                             const std::string& catalog,
                                             const Shown& shown) {
  return std::make_unique<EntryReader>(
      session_, EntryKey{libref, catalog, shown.name, shown.type},
      shown.as_file);
}

}  // namespace cli
