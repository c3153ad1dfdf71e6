// The views of a mount: libraries from the host's own store, catalogs from
// a walk through the module, files by the rule export shares.

#include "cli/mount/views.h"

#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "cli/command_support.h"
#include "cli/files/content.h"
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

std::string Views::StampOf(const std::string& libref, bool again) {
  auto it = stamps_.find(libref);
  if (it != stamps_.end() && !again) return it->second;
  std::string stamp;
  session_.host().store()->ChangeStamp(libref, &stamp);
  stamps_[libref] = stamp;
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
    return it->second.view.get();
  }
  // The view walked before goes first: a catalog is held once.
  if (it != catalogs_.end()) catalogs_.erase(it);
  readers_.detach();
  Fileref fileref(session_);
  Directory directory(session_);
  if (!OpenExistingCatalog(session_, fileref, directory, key, nullptr)) {
    return nullptr;
  }
  int32_t st = 0;
  auto next = [&](std::string* name, std::string* type,
                  refhost::EntryInfo* info) {
    while ((st = directory.Next(name, type, info)) == 0) {
      if (Shows(libref, catalog, *name, *type)) return true;
    }
    return false;
  };
  std::unique_ptr<CatalogView> view = CatalogView::Build(next, default_mode_);
  if (st != kStatusEndOfList) {
    session_.Fail(key, st);
    return nullptr;
  }
  Kept& kept = catalogs_[key];
  kept.stamp = stamp;
  kept.view = std::move(view);
  // A catalog's walk took memory while it ran (the store's pages, the
  // runs it sorted) that the mount may not need again for a long time:
  // it goes back to the system, not only to the heap.
  malloc_trim(0);
  return kept.view.get();
}

bool Views::Shows(const std::string& libref, const std::string& catalog,
                  const std::string& name, const std::string& type) const {
  Reason unsafe = UnsafeNamePart(name);
  if (unsafe == Reason::kNone) unsafe = UnsafeNamePart(type);
  if (unsafe == Reason::kNone) return true;
  PrintError(Printable(Lower(libref) + "/" + Lower(catalog) + "/" + name + "." +
                       type) +
             ": the entry is not shown: its name cannot be part of a file "
             "name: " +
             TextOf(unsafe));
  return false;
}

void Views::Refresh(const std::string& libref, const std::string& catalog,
                    const std::string& name, const std::string& type) {
  std::string stamp = StampOf(libref, true);
  auto library = libraries_.find(libref);
  if (library != libraries_.end()) library->second.stamp = stamp;
  auto it = catalogs_.find(libref + "." + catalog);
  if (it == catalogs_.end()) return;
  Kept& kept = it->second;
  kept.stamp = stamp;
  kept.manifest.reset();
  std::optional<Shown> now;
  refhost::EntryInfo info;
  if (session_.host()
          .library_services()
          ->FindEntry(libref, catalog, name, type, &info)
          .ok() &&
      Shows(libref, catalog, name, type)) {
    now.emplace();
    now->name = name;
    now->type = type;
    now->as_file = EntryFileOf(info, type, default_mode_);
    now->info = std::move(info);
  }
  // What the overlay cannot show is walked anew when next asked for; so is
  // a view that could not be read back in the middle of a change.
  bool taken = false;
  try {
    taken = kept.view->Change(name, type, std::move(now));
  } catch (const SpillError&) {
    catalogs_.erase(it);
    throw;
  }
  if (!taken) catalogs_.erase(it);
}

void Views::Forget(const std::string& libref) {
  libraries_.erase(libref);
  stamps_.erase(libref);
}

void Views::ForgetCatalog(const std::string& libref,
                          const std::string& catalog) {
  libraries_.erase(libref);
  stamps_.erase(libref);
  catalogs_.erase(libref + "." + catalog);
}

ManifestText::~ManifestText() {
  if (fd >= 0) close(fd);
}

int ManifestText::Read(char* data, size_t length, int64_t offset) const {
  if (offset >= size) return 0;
  length = static_cast<size_t>(
      std::min<int64_t>(static_cast<int64_t>(length), size - offset));
  ssize_t n;
  do {
    n = pread(fd, data, length, static_cast<off_t>(offset));
  } while (n < 0 && errno == EINTR);
  return n < 0 ? -errno : static_cast<int>(n);
}

std::shared_ptr<const ManifestText> Views::ManifestOf(
    const std::string& libref, const std::string& catalog) {
  CatalogView* view = Catalog(libref, catalog);
  if (view == nullptr) return nullptr;
  Kept& kept = catalogs_[libref + "." + catalog];
  if (kept.manifest) return kept.manifest;
  // Export's lines: the files, in the order of their paths.
  SortedSpill files;
  auto text = std::make_shared<ManifestText>();
  text->modified_ns = started_ns_;
  view->ForEachEntry([&](const Shown& shown) {
    if (shown.file.empty() || shown.as_file.attributes.is_folder) return;
    text->modified_ns =
        std::max(text->modified_ns, shown.info.modified_micros * 1000);
    std::string line;
    EntryKey entry{libref, catalog, shown.name, shown.type};
    AppendManifestLine({shown.file, entry.Path(), shown.info.description},
                       &line);
    files.Add(shown.file, line);
  });
  files.Finish();
  text->fd = TemporaryFile();
  bool ok = text->fd >= 0;
  std::string out = ManifestHeading();
  auto put = [&] {
    ok = ok && WriteAllAt(text->fd, out.data(), out.size(), text->size);
    text->size += static_cast<int64_t>(out.size());
    out.clear();
  };
  SortedSpill::Walk walk(files);
  std::string_view path, line;
  while (walk.Next(&path, &line)) {
    out.append(line);
    if (out.size() >= (64 << 10)) put();
  }
  put();
  if (!ok) {
    PrintError(
        Printable(Lower(libref) + "/" + Lower(catalog) + "/" +
                  std::string(kManifestName)) +
        ": cannot be set aside in a temporary file: " + std::strerror(errno));
    return nullptr;
  }
  kept.manifest = std::move(text);
  return kept.manifest;
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

std::optional<Shown> Views::ShownAt(const Place& place) {
  CatalogView* view = Catalog(place.libref, place.catalog);
  if (view == nullptr) return std::nullopt;
  return view->FileAt(place.file);
}

// The manifest shows where it carries something: in a catalog whose
// entries have descriptions. A copy out then takes them along, and a copy
// into a new folder, which creates each file anew, meets no manifest
// before it writes its own.
bool Views::ShowsManifest(const Place& place) {
  if (place.depth != 3 || place.file != kManifestName) return false;
  CatalogView* view = Catalog(place.libref, place.catalog);
  return view != nullptr && view->described() > 0;
}

bool Views::FolderAt(const Place& place, std::optional<Shown>* keeper) {
  if (keeper != nullptr) keeper->reset();
  CatalogView* view = Catalog(place.libref, place.catalog);
  if (view == nullptr) return false;
  if (place.depth == 2) {
    if (keeper != nullptr) *keeper = view->top();
    return true;
  }
  return view->FolderAt(place.file, keeper);
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
  std::string known;
  if (sizes_.Find(version, &known)) {
    *size = std::stoll(known);
    return 0;
  }
  std::unique_ptr<EntryReader> reader = ReaderOf(libref, catalog, shown);
  int32_t st = reader->Open();
  if (st != 0) {
    session_.Fail(key.Path(), st);
    return -ErrnoOf(session_.ReasonOf(st));
  }
  int error = reader->Count(size);
  if (error == 0) sizes_.Put(version, std::to_string(*size));
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
