// The tree of mount_tree.h. A catalog's folder is a view built from one
// walk of the catalog through the module: each entry under the file name
// export gives it, with what the host knows of it (description, times,
// host attributes). A view holds until the library changes (its store's change
// stamp); the mount's own changes update it in place. Files being written, and
// scratch files, are pending: their bytes in a temporary file, shown over the
// view until a commit makes them the entry's.

#include "cli/mount_tree.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <set>

#include "cli/commands.h"
#include "cli/content.h"
#include "cli/file_names.h"
#include "cli/manifest.h"
#include "cli/option_text.h"
#include "cli/records.h"
#include "cli/report.h"
#include "refhost/host/library_services.h"
#include "refhost/store/catalog_store.h"

namespace cli {
namespace {

using refhost::EntryInfo;
using refhost::FileAttributes;
using refhost::RecordMapping;

// The hint of a member open whose text names its type.
constexpr char kNoHint[] = "CATAMS  ";
constexpr mode_t kFolderMode = 0755;

int64_t NowNs() {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

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

// Says why a change was refused, in the mount's log, and returns -error.
int Refuse(const std::string& path, int error, const std::string& reason) {
  PrintError(Printable(path) + ": " + reason);
  return -error;
}

// The errno for a status the module or the host answered.
int ErrnoOf(int32_t status) {
  if (status == kStatusNoSuchEntry || host_no_such_entry(status) ||
      status == refhost::kLibNoSuchCatalog ||
      status == refhost::kLibNoSuchLibrary) {
    return ENOENT;
  }
  if (status == refhost::kLibBadRequest || status == kStatusRefused) {
    return EINVAL;
  }
  if (status == kStatusNoMemory) return ENOMEM;
  if (status == refhost::kLibMembersOpen || status == kStatusMembersOpen) {
    return EBUSY;
  }
  return EIO;
}

// Whether a library changed: the store's change stamp (empty for an absent
// library).
using Stamp = std::string;

bool WriteAllAt(int fd, const char* data, size_t length, off_t at) {
  while (length > 0) {
    ssize_t n = pwrite(fd, data, length, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    length -= static_cast<size_t>(n);
    at += n;
  }
  return true;
}

// An entry open for reading through a member open, its bytes given in
// order. A read behind what was given (the reader went back) copies the
// entry whole into a temporary file once, and serves every read from it.
class EntryReader {
 public:
  EntryReader(Session& session, EntryKey key, RecordMapping mapping,
              bool final_newline)
      : session_(session),
        key_(std::move(key)),
        mapping_(mapping),
        final_newline_(final_newline) {}
  ~EntryReader() {
    if (spool_ >= 0) close(spool_);
  }

  // Whether the entry is open in the store (not yet copied aside).
  bool open() const { return bytes_ != nullptr; }

  // Copies what is left of the entry, from where the reader stands, into a
  // temporary file at the same offsets, and closes the entry: the store's
  // connection then keeps no snapshot for it, and the reader goes on with
  // the content it began with. A negative errno on failure.
  int Detach() {
    if (!open()) return 0;
    spool_ = TemporaryFile();
    if (spool_ < 0) return -errno;
    spool_start_ = position_;
    if (lseek(spool_, position_, SEEK_SET) != position_) return -errno;
    Output out(spool_);
    bool ok = piece_length_ == 0 || out.Put(piece_, piece_length_);
    const char* data;
    size_t length;
    while (ok && bytes_->Next(&data, &length)) {
      ok = length == 0 || out.Put(data, length);
    }
    int error = !ok || !out.Flush()              ? -EIO
                : bytes_->transfer().status != 0 ? Failed()
                                                 : 0;
    Close();
    return error;
  }

  int32_t Open() {
    bytes_.reset();
    entry_.reset();
    directory_.reset();
    fileref_.reset();
    position_ = 0;
    piece_length_ = 0;
    fileref_ = std::make_unique<Fileref>(session_);
    directory_ = std::make_unique<Directory>(session_);
    entry_ = std::make_unique<OpenEntry>(session_);
    int32_t st = fileref_->Assign(key_.libref + "." + key_.catalog, nullptr);
    if (st == 0) st = directory_->Open(*fileref_);
    if (st == 0) {
      st = entry_->OpenMember(*directory_, key_, key_.name + "." + key_.type,
                              kNoHint, kOpenInput, kInputRecordLength, nullptr);
    }
    if (st != 0) return st;
    bytes_ = std::make_unique<EntryBytes>(*entry_, mapping_, final_newline_);
    return 0;
  }

  // Bytes read into data, or a negative errno.
  int Read(char* data, size_t size, off_t offset) {
    if (spool_ >= 0 && offset < spool_start_) {
      // Behind where a detached reader stood: the start, read again.
      int error = Spool();
      if (error != 0) return error;
    }
    if (spool_ >= 0) return ReadSpool(data, size, offset);
    if (offset < position_) {
      int error = Spool();
      return error != 0 ? error : ReadSpool(data, size, offset);
    }
    while (position_ < offset) {
      char skip[4096];
      size_t want = static_cast<size_t>(
          std::min<int64_t>(sizeof skip, offset - position_));
      int n = Pull(skip, want);
      if (n <= 0) return n;
    }
    return Pull(data, size);
  }

  // Every byte of the entry, from the start, to fd. A negative errno on
  // failure, else 0 with *total the bytes.
  int CopyTo(int fd, int64_t* total) {
    Output out(fd);
    const char* data;
    size_t length;
    while (bytes_->Next(&data, &length)) {
      if (length > 0 && !out.Put(data, length)) break;
    }
    if (!out.Flush()) return -EIO;
    if (bytes_->transfer().status != 0) return Failed();
    *total = out.written();
    return 0;
  }

  // The bytes of the entry, counted.
  int Count(int64_t* total) {
    const char* data;
    size_t length;
    *total = 0;
    while (bytes_->Next(&data, &length)) *total += length;
    return bytes_->transfer().status != 0 ? Failed() : 0;
  }

 private:
  int Failed() {
    session_.Fail(key_.Path(), bytes_->transfer().status);
    return -ErrnoOf(bytes_->transfer().status);
  }

  int Pull(char* data, size_t size) {
    size_t done = 0;
    while (done < size) {
      if (piece_length_ == 0) {
        if (!bytes_->Next(&piece_, &piece_length_)) {
          if (bytes_->transfer().status != 0) return Failed();
          break;
        }
        continue;
      }
      size_t n = std::min(piece_length_, size - done);
      std::memcpy(data + done, piece_, n);
      piece_ += n;
      piece_length_ -= n;
      done += n;
      position_ += static_cast<off_t>(n);
    }
    return static_cast<int>(done);
  }

  int Spool() {
    if (spool_ >= 0) close(spool_);
    spool_start_ = 0;
    spool_ = TemporaryFile();
    if (spool_ < 0) return -errno;
    int32_t st = Open();
    if (st != 0) return -ErrnoOf(st);
    int64_t total = 0;
    int error = CopyTo(spool_, &total);
    Close();  // the member is not needed any more
    return error;
  }

  void Close() {
    bytes_.reset();
    entry_.reset();
    directory_.reset();
    fileref_.reset();
  }

  int ReadSpool(char* data, size_t size, off_t offset) {
    ssize_t n;
    do {
      n = pread(spool_, data, size, offset);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? -errno : static_cast<int>(n);
  }

  Session& session_;
  EntryKey key_;
  RecordMapping mapping_;
  bool final_newline_;
  std::unique_ptr<Fileref> fileref_;
  std::unique_ptr<Directory> directory_;
  std::unique_ptr<OpenEntry> entry_;
  std::unique_ptr<EntryBytes> bytes_;
  off_t position_ = 0;
  const char* piece_ = nullptr;
  size_t piece_length_ = 0;
  int spool_ = -1;
  off_t spool_start_ = 0;  // the spool holds the bytes from here on
};

}  // namespace

class MountTree::Impl {
 public:
  Impl(Session& session, bool read_only)
      : session_(session), read_only_(read_only) {
    mode_t mask = umask(0);
    umask(mask);
    default_mode_ = 0666 & ~mask;
    uid_ = getuid();
    gid_ = getgid();
    started_ns_ = NowNs();
  }

  // An entry as its catalog's folder shows it.
  struct Shown {
    std::string name;  // the entry
    std::string type;
    EntryInfo info;
    FileAttributes attributes;
    bool known = false;  // it has host attributes
  };

  // A catalog's folder.
  struct CatalogView {
    Stamp stamp;
    std::map<std::string, Shown> files;  // by file name
    // (name, type) -> file name, in the order of the catalog's walk
    std::map<std::pair<std::string, std::string>, std::string> keys;
    std::string manifest;  // the manifest's text, when not stale
    int described = 0;     // entries with a description
    bool manifest_stale = true;
  };

  // A library's folder: its catalogs by the names shown.
  struct LibraryView {
    Stamp stamp;
    std::map<std::string, std::string> catalogs;  // shown -> catalog
  };

  // What a path names: the depth (0 the root, 1 a library, 2 a catalog, 3 a
  // file) and the keys of the library and catalog it passes through.
  struct Place {
    std::string path;
    size_t depth = 0;
    std::string libref;
    std::string catalog;  // empty when absent
    std::string folder;   // the catalog as the path names it
    std::string file;
    bool exists = false;  // the library or catalog at depth 1 or 2
    std::string Where() const { return libref + "." + catalog + "/" + file; }
  };

  // A file being written, or a scratch file, with its bytes in a temporary
  // file of its own.
  struct Pending {
    std::string libref;
    std::string catalog;
    std::string folder;  // the catalog's folder as the path named it
    std::string file;
    int spool = -1;
    int opens = 0;          // handles open on it
    int writers = 0;        // of them, open for writing
    bool dirty = false;     // written since it was committed
    bool touched = false;   // its mode or time set since
    bool scratch = false;   // a name beginning with '.'
    bool manifest = false;  // the catalog's manifest, being written
    bool gone = false;      // removed, or replaced by a rename: never committed
    uint32_t mode = 0644;
    std::optional<int64_t> modified_ns;  // set by the writer
    int64_t written_ns = 0;              // the last write
    std::string description;             // for the entry's commit
    // The entry it was opened on, while its bytes are not yet in the
    // temporary file (a file opened for writing and only touched or
    // closed is never copied), and where that entry is shown.
    std::optional<Shown> base;
    Place base_place;
    // The entry it was opened on (name, type): the name a commit writes,
    // whatever the file name would make (an import may have fitted it).
    std::optional<std::pair<std::string, std::string>> entry;
    ~Pending() {
      if (spool >= 0) close(spool);
    }
  };

  struct Handle {
    std::shared_ptr<Pending> pending;  // a pending file
    bool writes = false;
    std::unique_ptr<EntryReader> reader;  // an entry being read
    std::string text;                     // the manifest being read
    struct stat attributes;  // of the entry or manifest read, at open
  };

  // What kind of file a name makes.
  enum class Kind { kEntry, kScratch, kManifest };

  Session& session_;
  bool read_only_;
  mode_t default_mode_;
  uid_t uid_;
  gid_t gid_;
  int64_t started_ns_;
  std::map<std::string, LibraryView> libraries_;  // by libref
  std::map<std::string, CatalogView> catalogs_;   // by LIBREF.CATALOG
  std::map<std::string, std::shared_ptr<Pending>> pending_;  // by Where()
  // Descriptions a manifest gave for files not yet there, by catalog and
  // file name.
  std::map<std::string, std::map<std::string, std::string>> described_;
  std::map<uint64_t, std::unique_ptr<Handle>> handles_;
  uint64_t next_handle_ = 1;
  // Sizes found by reading entries that do not keep theirs, by entry and
  // version.
  std::map<std::string, int64_t> sizes_;
  Content content_;

  // --- Views -------------------------------------------------------------

  Stamp StampOf(const std::string& libref) {
    Stamp stamp;
    session_.host().store()->ChangeStamp(libref, &stamp);
    return stamp;
  }

  // Whether an entry is being read through the store. The store's
  // connection then keeps the snapshot it reads from: it would list
  // catalogs as they were, and a write of its own would be refused.
  bool Streaming() const {
    for (const auto& [id, handle] : handles_) {
      if (handle->reader && handle->reader->open()) return true;
    }
    return false;
  }

  // Sets every entry being read aside (Detach), so that the connection
  // sees what other processes committed since.
  void DetachReaders() {
    for (const auto& [id, handle] : handles_) {
      if (handle->reader) handle->reader->Detach();
    }
  }

  // The library's view, built again when the library changed; null when the
  // library is absent.
  LibraryView* Library(const std::string& libref) {
    Stamp stamp = StampOf(libref);
    auto it = libraries_.find(libref);
    if (it != libraries_.end() && it->second.stamp == stamp) {
      return &it->second;
    }
    DetachReaders();
    std::vector<refhost::CatalogInfo> catalogs;
    if (!refhost::CheckLibref(libref).ok() ||
        !session_.host().store()->FindLibrary(libref).ok() ||
        !session_.host().library()->ListCatalogs(libref, &catalogs).ok()) {
      libraries_.erase(libref);
      return nullptr;
    }
    LibraryView& view = libraries_[libref];
    view = LibraryView();
    view.stamp = stamp;
    for (const refhost::CatalogInfo& c : catalogs) {
      std::string shown = Lower(c.name);
      if (!UnsafeNamePart(c.name).empty() || view.catalogs.count(shown)) {
        PrintError(Printable(Lower(libref) + "/" + c.name) +
                   ": the catalog is not shown: its name cannot be a folder's");
        continue;
      }
      view.catalogs[shown] = c.name;
    }
    return &view;
  }

  // The catalog's view, walked again when the library changed;
  // null when it cannot be walked (reported).
  CatalogView* Catalog(const std::string& libref, const std::string& catalog) {
    Stamp stamp = StampOf(libref);
    std::string key = libref + "." + catalog;
    auto it = catalogs_.find(key);
    if (it != catalogs_.end() && it->second.stamp == stamp) {
      return &it->second;
    }
    DetachReaders();
    CatalogView view;
    view.stamp = stamp;
    Fileref fileref(session_);
    Directory directory(session_);
    if (!OpenExistingCatalog(session_, fileref, directory, key, nullptr)) {
      catalogs_.erase(key);
      return nullptr;
    }
    std::string name, type;
    EntryInfo info;
    int32_t st;
    while ((st = directory.Next(&name, &type, &info)) == 0) {
      Add(&view, Lower(libref) + "/" + Lower(catalog), name, type, info);
    }
    if (st != kStatusEndOfList) {
      session_.Fail(key, st);
      catalogs_.erase(key);
      return nullptr;
    }
    return &(catalogs_[key] = std::move(view));
  }

  // Shows the entry in the view under the file name export gives it.
  void Add(CatalogView* view, const std::string& label, const std::string& name,
           const std::string& type, const EntryInfo& info) {
    std::string unsafe = UnsafeNamePart(name);
    if (unsafe.empty()) unsafe = UnsafeNamePart(type);
    if (!unsafe.empty()) {
      PrintError(Printable(label + "/" + name + "." + type) +
                 ": the entry is not shown: its name cannot be part of a "
                 "file name: " +
                 unsafe);
      return;
    }
    Shown shown;
    shown.name = name;
    shown.type = type;
    shown.info = info;
    shown.known =
        refhost::DecodeFileAttributes(info.host_attributes, &shown.attributes);
    std::string refused;
    std::string file =
        ExportFileName(name, type, shown.attributes.file_name, &refused);
    if (view->files.count(file) != 0) {
      // Export skips the second entry of one file name; the mount shows it
      // under its own default name where that is free.
      std::string fallback = DefaultFileName(name, type);
      if (view->files.count(fallback) != 0) {
        PrintError(Printable(label + "/" + name + "." + type) +
                   ": the entry is not shown: another entry is shown as " +
                   Printable(file));
        return;
      }
      file = fallback;
    }
    view->keys[{name, type}] = file;
    if (!shown.info.description.empty()) ++view->described;
    view->files[file] = std::move(shown);
    view->manifest_stale = true;
  }

  void Drop(CatalogView* view, const std::string& name,
            const std::string& type) {
    auto key = view->keys.find({name, type});
    if (key == view->keys.end()) return;
    auto file = view->files.find(key->second);
    if (file != view->files.end() && !file->second.info.description.empty()) {
      --view->described;
    }
    view->files.erase(key->second);
    view->keys.erase(key);
    view->manifest_stale = true;
  }

  // After a change of the mount's own to an entry: the view shows the
  // entry as the store now has it, and the library's stamp as it now is
  // stands for the view.
  void Noted(const std::string& libref, const std::string& catalog,
             const std::string& name, const std::string& type) {
    Stamp stamp = StampOf(libref);
    auto library = libraries_.find(libref);
    if (library != libraries_.end()) library->second.stamp = stamp;
    auto it = catalogs_.find(libref + "." + catalog);
    if (it == catalogs_.end()) return;
    CatalogView& view = it->second;
    view.stamp = stamp;
    Drop(&view, name, type);
    EntryInfo info;
    if (session_.host()
            .library()
            ->FindEntry(libref, catalog, name, type, &info)
            .ok()) {
      Add(&view, Lower(libref) + "/" + Lower(catalog), name, type, info);
    }
  }

  const std::string& ManifestOf(const std::string& libref,
                                const std::string& catalog, CatalogView* view) {
    if (!view->manifest_stale) return view->manifest;
    std::vector<ManifestLine> lines;
    for (const auto& [key, file] : view->keys) {
      const Shown& shown = view->files[file];
      EntryKey entry{libref, catalog, shown.name, shown.type};
      lines.push_back({file, entry.Path(), shown.info.description});
    }
    view->manifest = lines.empty() ? "" : FormatManifest(lines);
    view->manifest_stale = false;
    return view->manifest;
  }

  // --- Paths -------------------------------------------------------------

  // Splits the path and finds the library and catalog it passes through.
  // -ENOENT when one it passes through is absent or the path is deeper
  // than a file; the last level's own presence is place->exists.
  int Locate(const std::string& path, Place* place) {
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
    if (place->depth > 3) return -ENOENT;
    if (place->depth == 0) {
      place->exists = true;
      return 0;
    }
    place->libref = Upper(parts[0]);
    LibraryView* library = refhost::CheckLibref(place->libref).ok()
                               ? Library(place->libref)
                               : nullptr;
    if (place->depth == 1) {
      place->exists = library != nullptr;
      return 0;
    }
    if (library == nullptr) return -ENOENT;
    place->folder = parts[1];
    auto catalog = library->catalogs.find(Lower(parts[1]));
    if (catalog != library->catalogs.end()) place->catalog = catalog->second;
    if (place->depth == 2) {
      place->exists = !place->catalog.empty();
      return 0;
    }
    if (place->catalog.empty()) return -ENOENT;
    place->file = parts[2];
    return 0;
  }

  // Locate for a change: -EROFS on a read-only mount.
  int LocateChange(const std::string& path, Place* place) {
    return read_only_ ? -EROFS : Locate(path, place);
  }

  std::shared_ptr<Pending> PendingAt(const Place& place) {
    auto it = pending_.find(place.Where());
    return it == pending_.end() ? nullptr : it->second;
  }

  // The entry a file of the place's catalog shows; null when none.
  Shown* ShownAt(const Place& place, CatalogView** view_out = nullptr) {
    CatalogView* view = Catalog(place.libref, place.catalog);
    if (view_out != nullptr) *view_out = view;
    if (view == nullptr) return nullptr;
    auto it = view->files.find(place.file);
    return it == view->files.end() ? nullptr : &it->second;
  }

  // The manifest shows where it carries something: in a catalog whose
  // entries have descriptions. A copy out then takes them along, and a copy
  // into a new folder, which creates each file anew, meets no manifest
  // before it writes its own.
  bool ShowsManifest(const Place& place) {
    if (place.file != kManifestName) return false;
    CatalogView* view = Catalog(place.libref, place.catalog);
    return view != nullptr && view->described > 0;
  }

  // What the file name of the place makes; a name no catalog can hold is
  // refused with the reason (a negative errno). renamed (may be null) is a
  // file of the catalog that is going: it may be the same entry.
  int Classify(const Place& place, Kind* kind, FileEntry* entry,
               const std::string* renamed = nullptr) {
    if (place.file == kManifestName) {
      *kind = Kind::kManifest;
      return 0;
    }
    if (place.file[0] == '.') {
      *kind = Kind::kScratch;
      return 0;
    }
    *kind = Kind::kEntry;
    std::string reason;
    if (!EntryForFile(place.file, entry, &reason)) {
      bool long_name = reason.find("longer") != std::string::npos;
      return Refuse(place.path, long_name ? ENAMETOOLONG : EINVAL,
                    "a catalog cannot hold this name: " + reason);
    }
    // Another file of the catalog that is the same entry (A.txt and
    // a.txt, a.txt and a.dat) would be replaced by this one.
    CatalogView* view = Catalog(place.libref, place.catalog);
    if (view != nullptr) {
      auto it = view->keys.find({entry->name, entry->type.type});
      if (it != view->keys.end() && it->second != place.file &&
          (renamed == nullptr || it->second != *renamed)) {
        return Refuse(place.path, EEXIST,
                      "the catalog keeps " + Printable(it->second) +
                          " as entry " + entry->name + "." + entry->type.type +
                          ", which this name would replace");
      }
    }
    for (const auto& [where, pending] : pending_) {
      FileEntry other;
      std::string ignored;
      if (pending->libref == place.libref &&
          pending->catalog == place.catalog && pending->file != place.file &&
          !pending->scratch && !pending->manifest &&
          EntryForFile(pending->file, &other, &ignored) &&
          other.Key() == entry->Key()) {
        return Refuse(place.path, EEXIST,
                      Printable(pending->file) +
                          ", being written, is the same entry " + other.Key());
      }
    }
    return 0;
  }

  // --- Attributes ----------------------------------------------------------

  void FolderAttributes(struct stat* st) {
    std::memset(st, 0, sizeof *st);
    st->st_mode = S_IFDIR | kFolderMode;
    st->st_nlink = 2;
    st->st_uid = uid_;
    st->st_gid = gid_;
    st->st_mtim = st->st_ctim = st->st_atim = TimeOf(started_ns_);
  }

  void FileAttributesOf(int64_t size, uint32_t mode, int64_t modified_ns,
                        struct stat* st) {
    std::memset(st, 0, sizeof *st);
    st->st_mode = S_IFREG | (mode & 0777);
    st->st_nlink = 1;
    st->st_uid = uid_;
    st->st_gid = gid_;
    st->st_size = size;
    // Tools that copy size their buffers by it: large reads and writes
    // mean fewer round trips through the kernel.
    st->st_blksize = 1 << 20;
    st->st_blocks = (size + 511) / 512;
    st->st_mtim = st->st_ctim = st->st_atim = TimeOf(modified_ns);
  }

  int PendingAttributes(const Pending& pending, struct stat* st) {
    struct stat spool;
    if (fstat(pending.spool, &spool) != 0) return -errno;
    int64_t size = spool.st_size;
    if (pending.base) {
      int error = SizeOf(pending.base_place.libref, pending.base_place.catalog,
                         *pending.base, &size);
      if (error != 0) return error;
    }
    FileAttributesOf(size, pending.mode,
                     pending.modified_ns.value_or(pending.written_ns), st);
    return 0;
  }

  // The bytes the entry gives: kept with it, else read once a version.
  int SizeOf(const std::string& libref, const std::string& catalog,
             const Shown& shown, int64_t* size) {
    if (shown.known && shown.attributes.size) {
      *size = *shown.attributes.size;
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
      return -ErrnoOf(st);
    }
    int error = reader->Count(size);
    if (error == 0) sizes_[version] = *size;
    return error;
  }

  int ShownAttributes(const Place& place, const Shown& shown, struct stat* st) {
    int64_t size = 0;
    int error = SizeOf(place.libref, place.catalog, shown, &size);
    if (error != 0) return error;
    FileAttributesOf(size, ModeOf(shown),
                     shown.known && shown.attributes.modified_ns
                         ? *shown.attributes.modified_ns
                         : shown.info.modified_micros * 1000,
                     st);
    return 0;
  }

  uint32_t ModeOf(const Shown& shown) {
    return shown.known && shown.attributes.mode ? *shown.attributes.mode
                                                : default_mode_;
  }

  std::unique_ptr<EntryReader> ReaderOf(const std::string& libref,
                                        const std::string& catalog,
                                        const Shown& shown) {
    return std::make_unique<EntryReader>(
        session_, EntryKey{libref, catalog, shown.name, shown.type},
        MappingOf(shown.known ? &shown.attributes : nullptr, shown.type),
        shown.attributes.final_newline);
  }

  // --- Changes through the module ----------------------------------------

  // Writes the pending file as the new content of its entry, with its
  // name, folder, mode and time. A negative errno on failure (reported);
  // the entry then keeps what it had.
  int Commit(Pending& pending) {
    if (pending.scratch || pending.gone) return 0;
    if (pending.manifest) {
      int error = ApplyManifest(pending);
      if (error == 0) pending.dirty = false;
      return error;
    }
    std::string path =
        Lower(pending.libref) + "/" + pending.folder + "/" + pending.file;
    FileEntry entry;
    std::string reason;
    std::string member;
    const char* hint = kNoHint;
    if (pending.entry) {
      entry.name = pending.entry->first;
      entry.type.type = pending.entry->second;
      member = entry.name + "." + entry.type.type;
    } else if (EntryForFile(pending.file, &entry, &reason)) {
      member = entry.name;
      hint = entry.type.hint.c_str();
    } else {
      return Refuse(path, EINVAL, "a catalog cannot hold this name: " + reason);
    }
    if (int error = Fill(pending); error != 0) return error;
    std::string error;
    if (lseek(pending.spool, 0, SEEK_SET) != 0 ||
        !content_.Load(pending.spool, &error)) {
      return Refuse(path, EIO, "cannot read what was written: " + error);
    }
    std::string description = pending.description;
    auto described = described_.find(pending.libref + "." + pending.catalog);
    if (described != described_.end()) {
      auto line = described->second.find(pending.file);
      if (line != described->second.end()) {
        if (description.empty()) description = line->second;
        described->second.erase(line);
      }
    }
    OptionBlock options(session_);
    if (!description.empty()) {
      std::string offending;
      bool cut = false;
      options.Parse({"desc=" + Quote(description)}, &offending, &cut);
    }
    Fileref fileref(session_);
    Directory directory(session_);
    std::string catalog = pending.libref + "." + pending.catalog;
    if (!OpenExistingCatalog(session_, fileref, directory, catalog, nullptr)) {
      return -ENOENT;
    }
    EntryKey key{pending.libref, pending.catalog, entry.name, entry.type.type};
    FileAttributes attributes;
    attributes.file_name = pending.file;
    attributes.folder = pending.folder;
    attributes.modified_ns = pending.modified_ns.value_or(pending.written_ns);
    attributes.mode = pending.mode;
    MemberWrite written = WriteMember(
        session_, directory, key, member, hint, content_, RecordLayout(),
        options.get() ? &options : nullptr, &attributes);
    if (!written.done() && written.read_error.empty() && Streaming()) {
      // Refused for the snapshot a reader holds: once more without it.
      DetachReaders();
      written = WriteMember(session_, directory, key, member, hint, content_,
                            RecordLayout(), options.get() ? &options : nullptr,
                            &attributes);
    }
    directory.Close();
    Noted(pending.libref, pending.catalog, key.name, key.type);
    if (!written.read_error.empty()) {
      return Refuse(path, EIO,
                    "cannot read what was written: " + written.read_error);
    }
    if (!written.transfer.whole() && written.transfer.status == 0) {
      return Refuse(path, EIO,
                    "not written: " + written.transfer.InputProblem());
    }
    if (!written.done()) {
      int32_t st = written.transfer.status != 0 ? written.transfer.status
                                                : written.status;
      session_.Fail(path + " -> " + key.Path() + ": not written", st);
      return -ErrnoOf(st);
    }
    pending.dirty = false;
    pending.touched = false;
    return 0;
  }

  // Opens the entry for update, writes no record, and commits changed host
  // attributes (and a description, when given): the content stays.
  int UpdateEntry(const Place& place, const Shown& shown,
                  const std::function<void(FileAttributes*)>& change,
                  const std::string& description) {
    FileAttributes attributes =
        shown.known ? shown.attributes : FileAttributes();
    change(&attributes);
    OptionBlock options(session_);
    if (!description.empty()) {
      std::string offending;
      bool cut = false;
      options.Parse({"desc=" + Quote(description)}, &offending, &cut);
    }
    EntryKey key{place.libref, place.catalog, shown.name, shown.type};
    Fileref fileref(session_);
    Directory directory(session_);
    if (!OpenExistingCatalog(session_, fileref, directory,
                             place.libref + "." + place.catalog, nullptr)) {
      return -ENOENT;
    }
    auto update = [&] {
      OpenEntry entry(session_);
      int32_t st = entry.OpenMember(directory, key, key.name + "." + key.type,
                                    kNoHint, kOpenUpdate, kInputRecordLength,
                                    options.get() ? &options : nullptr);
      if (st == 0) {
        entry.SetAttributes(refhost::EncodeFileAttributes(attributes));
        st = entry.Close();
      }
      return st;
    };
    int32_t st = update();
    if (st != 0 && Streaming()) {
      // Refused for the snapshot a reader holds: once more without it.
      DetachReaders();
      st = update();
    }
    directory.Close();
    Noted(place.libref, place.catalog, key.name, key.type);
    if (st != 0) {
      session_.Fail(place.path, st);
      return -ErrnoOf(st);
    }
    return 0;
  }

  // Deletes the entry through the module.
  int DeleteEntry(const Place& place, const std::string& name,
                  const std::string& type) {
    EntryKey key{place.libref, place.catalog, name, type};
    Fileref fileref(session_);
    int32_t st = fileref.Assign(key.Path(), nullptr);
    if (st == 0) st = fileref.Delete();
    if (st != 0 && !host_no_such_entry(st) && Streaming()) {
      DetachReaders();
      st = fileref.Delete();
    }
    Noted(place.libref, place.catalog, name, type);
    if (st != 0) {
      session_.Fail(place.path, st);
      return -ErrnoOf(st);
    }
    return 0;
  }

  // A pending file for the place. shown (may be null) is the entry it
  // starts from, shown at from: its mode and description, and with copy
  // its bytes.
  int NewPending(const Place& place, bool copy, const Shown* shown,
                 std::shared_ptr<Pending>* out, const Place* from = nullptr) {
    if (from == nullptr) from = &place;
    auto pending = std::make_shared<Pending>();
    pending->libref = place.libref;
    pending->catalog = place.catalog;
    pending->folder = place.folder;
    pending->file = place.file;
    pending->mode = default_mode_;
    pending->written_ns = NowNs();
    pending->spool = TemporaryFile();
    if (pending->spool < 0) {
      return Refuse(
          place.path, errno,
          "cannot make a temporary file: " + std::string(std::strerror(errno)));
    }
    if (shown != nullptr) {
      pending->mode = ModeOf(*shown);
      pending->description = shown->info.description;
      if (shown->known && shown->attributes.modified_ns) {
        pending->written_ns = *shown->attributes.modified_ns;
      }
      if (copy) {
        pending->base = *shown;
        pending->base_place = *from;
      }
      if (from == &place) pending->entry.emplace(shown->name, shown->type);
    }
    *out = std::move(pending);
    return 0;
  }

  // Copies the bytes of the entry the pending file was opened on into its
  // temporary file, once, before they are read, written or committed.
  int Fill(Pending& pending) {
    if (!pending.base) return 0;
    const Place& from = pending.base_place;
    std::unique_ptr<EntryReader> reader =
        ReaderOf(from.libref, from.catalog, *pending.base);
    int32_t st = reader->Open();
    if (st != 0) {
      session_.Fail(from.path, st);
      return -ErrnoOf(st);
    }
    int64_t total = 0;
    int error = reader->CopyTo(pending.spool, &total);
    if (error == 0) pending.base.reset();
    return error;
  }

  // Ends what a pending file holds: written bytes become the entry's new
  // version; a mode or time set alone goes to the entry without a copy.
  int Finish(Pending& pending) {
    if (pending.scratch || pending.gone) return 0;
    if (pending.dirty) return Commit(pending);
    if (!pending.touched || pending.manifest) return 0;
    Place place;
    place.libref = pending.libref;
    place.catalog = pending.catalog;
    place.file = pending.file;
    place.path =
        Lower(pending.libref) + "/" + pending.folder + "/" + pending.file;
    Shown* shown = ShownAt(place);
    if (shown == nullptr) return Commit(pending);
    Shown copy = *shown;
    uint32_t mode = pending.mode;
    int64_t modified = pending.modified_ns.value_or(pending.written_ns);
    int error = UpdateEntry(
        place, copy,
        [&](FileAttributes* a) {
          a->mode = mode;
          a->modified_ns = modified;
        },
        "");
    if (error == 0) pending.touched = false;
    return error;
  }

  // A manifest written into a catalog's folder: each listed file's
  // description goes to its entry, now or when the file comes.
  int ApplyManifest(const Pending& pending) {
    std::string text;
    char buffer[65536];
    for (off_t at = 0;;) {
      ssize_t n = pread(pending.spool, buffer, sizeof buffer, at);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return -errno;
      if (n == 0) break;
      text.append(buffer, static_cast<size_t>(n));
      at += n;
    }
    int bad = 0;
    std::map<std::string, ManifestLine> lines = ParseManifest(text, &bad);
    Place place;
    place.libref = pending.libref;
    place.catalog = pending.catalog;
    place.path =
        Lower(pending.libref) + "/" + pending.folder + "/" + pending.file;
    if (bad != 0) {
      PrintError("warning: " + Printable(place.path) + ": " +
                 std::to_string(bad) + " lines were not understood");
    }
    int error = 0;
    for (const auto& [file, line] : lines) {
      if (line.description.empty()) continue;
      place.file = file;
      Shown* shown = ShownAt(place);
      if (shown == nullptr) {
        described_[pending.libref + "." + pending.catalog][file] =
            line.description;
        continue;
      }
      if (shown->info.description == line.description) continue;
      Shown copy = *shown;
      int e = UpdateEntry(
          place, copy, [](FileAttributes*) {}, line.description);
      if (e != 0) error = e;
    }
    return error;
  }

  // Sets a file's mode or time: a file being written takes it with its
  // commit, an entry as host attributes committed at once. A folder keeps
  // none of its own: the change is taken and what it shows stays.
  int SetOnFile(const std::string& path, uint64_t handle,
                const std::function<void(Pending*)>& on_pending,
                const std::function<void(FileAttributes*)>& on_entry) {
    if (read_only_) return -EROFS;
    std::shared_ptr<Pending> pending;
    Place place;
    if (Handle* h = HandleOf(handle); h != nullptr && h->pending) {
      pending = h->pending;
    } else {
      int error = Locate(path, &place);
      if (error != 0) return error;
      if (place.depth < 3) return place.exists ? 0 : -ENOENT;
      pending = PendingAt(place);
    }
    if (pending) {
      on_pending(pending.get());
      pending->touched = true;
      return pending->opens > 0 ? 0 : Finish(*pending);
    }
    if (Shown* shown = ShownAt(place)) {
      Shown copy = *shown;
      return UpdateEntry(place, copy, on_entry, "");
    }
    return ShowsManifest(place) ? 0 : -ENOENT;
  }

  // --- Handles -----------------------------------------------------------

  uint64_t AddHandle(std::unique_ptr<Handle> handle) {
    uint64_t id = next_handle_++;
    handles_[id] = std::move(handle);
    return id;
  }

  Handle* HandleOf(uint64_t id) {
    auto it = handles_.find(id);
    return it == handles_.end() ? nullptr : it->second.get();
  }

  uint64_t OpenPending(const std::shared_ptr<Pending>& pending, bool writes) {
    auto handle = std::make_unique<Handle>();
    handle->pending = pending;
    handle->writes = writes;
    ++pending->opens;
    if (writes) ++pending->writers;
    return AddHandle(std::move(handle));
  }

  // Forgets a pending file that no handle holds, once committed.
  void Settle(const std::shared_ptr<Pending>& pending) {
    if (pending->opens > 0 || pending->scratch) return;
    if ((pending->dirty || pending->touched) && !pending->gone) return;
    auto it = pending_.find(pending->libref + "." + pending->catalog + "/" +
                            pending->file);
    if (it != pending_.end() && it->second == pending) pending_.erase(it);
  }
};

// ---------------------------------------------------------------------------

MountTree::MountTree(Session& session, bool read_only)
    : impl_(std::make_unique<Impl>(session, read_only)) {}

MountTree::~MountTree() = default;

int MountTree::GetAttributes(const std::string& path, uint64_t handle,
                             struct stat* st) {
  Impl& m = *impl_;
  if (Impl::Handle* h = m.HandleOf(handle); h != nullptr) {
    if (h->pending) return m.PendingAttributes(*h->pending, st);
    // What this open reads, even when the entry has a newer version.
    *st = h->attributes;
    return 0;
  }
  if (path.empty()) return -ENOENT;
  Impl::Place place;
  int error = m.Locate(path, &place);
  if (error != 0) return error;
  if (place.depth < 3) {
    if (!place.exists) return -ENOENT;
    m.FolderAttributes(st);
    return 0;
  }
  if (auto pending = m.PendingAt(place)) {
    return m.PendingAttributes(*pending, st);
  }
  Impl::CatalogView* view = nullptr;
  Impl::Shown* shown = m.ShownAt(place, &view);
  if (shown != nullptr) return m.ShownAttributes(place, *shown, st);
  if (m.ShowsManifest(place)) {
    const std::string& text = m.ManifestOf(place.libref, place.catalog, view);
    int64_t newest = m.started_ns_;
    for (const auto& [file, s] : view->files) {
      newest = std::max(newest, s.info.modified_micros * 1000);
    }
    m.FileAttributesOf(static_cast<int64_t>(text.size()), 0644, newest, st);
    return 0;
  }
  return -ENOENT;
}

int MountTree::List(const std::string& path, std::vector<TreeItem>* items) {
  Impl& m = *impl_;
  Impl::Place place;
  int error = m.Locate(path, &place);
  if (error != 0) return error;
  if (place.depth == 3) return -ENOTDIR;
  if (!place.exists) return -ENOENT;
  TreeItem item;
  m.FolderAttributes(&item.attributes);
  if (place.depth == 0) {
    std::vector<std::string> librefs;
    refhost::StoreStatus status =
        m.session_.host().store()->ListLibraries(&librefs);
    if (!status.ok()) {
      PrintError("the data folder cannot be listed: " + status.ToString());
      return -EIO;
    }
    for (const std::string& libref : librefs) {
      item.name = Lower(libref);
      items->push_back(item);
    }
    return 0;
  }
  if (place.depth == 1) {
    Impl::LibraryView* library = m.Library(place.libref);
    if (library == nullptr) return -ENOENT;
    for (const auto& [shown, catalog] : library->catalogs) {
      item.name = shown;
      items->push_back(item);
    }
    return 0;
  }
  Impl::CatalogView* view = m.Catalog(place.libref, place.catalog);
  if (view == nullptr) return -EIO;
  std::set<std::string> listed;
  for (const auto& [file, shown] : view->files) {
    item.name = file;
    Impl::Place at = place;
    at.file = file;
    // A file being written shows what was written so far.
    auto pending = m.PendingAt(at);
    int e = pending ? m.PendingAttributes(*pending, &item.attributes)
                    : m.ShownAttributes(at, shown, &item.attributes);
    if (e != 0) continue;  // reported
    items->push_back(item);
    listed.insert(file);
  }
  for (const auto& [where, pending] : m.pending_) {
    if (pending->libref != place.libref || pending->catalog != place.catalog ||
        listed.count(pending->file) != 0 || pending->manifest) {
      continue;
    }
    item.name = pending->file;
    if (m.PendingAttributes(*pending, &item.attributes) == 0) {
      items->push_back(item);
    }
  }
  if (view->described > 0) {
    item.name = std::string(kManifestName);
    if (GetAttributes(path + "/" + item.name, 0, &item.attributes) == 0) {
      items->push_back(item);
    }
  }
  return 0;
}

int MountTree::MakeFolder(const std::string& path) {
  Impl& m = *impl_;
  Impl::Place place;
  int error = m.LocateChange(path, &place);
  if (error != 0) return error;
  if (place.depth == 3) {
    return Refuse(path, EPERM,
                  "a catalog holds entries, not folders: a folder is a "
                  "catalog only inside a library's folder");
  }
  if (place.depth == 0 || place.exists) return -EEXIST;
  std::string name =
      place.depth == 1 ? path.substr(path.rfind('/') + 1) : place.folder;
  if (place.depth == 1) {
    refhost::StoreStatus status = refhost::CheckLibref(place.libref);
    if (!status.ok()) {
      return Refuse(path, name.size() > 8 ? ENAMETOOLONG : EINVAL,
                    "a library's folder is its libref: 1 to 8 letters, "
                    "digits or _ $ # @");
    }
    status = m.session_.host().store()->CreateLibrary(place.libref);
    m.libraries_.erase(place.libref);
    if (!status.ok()) {
      return Refuse(path, EIO,
                    "the library cannot be made: " + status.ToString());
    }
    return 0;
  }
  std::string catalog, reason;
  if (!CatalogForFolder(name, &catalog, &reason)) {
    bool long_name = reason.find("longer") != std::string::npos;
    return Refuse(path, long_name ? ENAMETOOLONG : EINVAL,
                  "a catalog cannot have this name: " + reason);
  }
  // A directory open for update makes the catalog it names.
  Fileref fileref(m.session_);
  Directory directory(m.session_);
  int32_t st = fileref.Assign(place.libref + "." + catalog, nullptr);
  if (st == 0) st = directory.Open(fileref);
  if (st == 0) st = directory.Close();
  m.libraries_.erase(place.libref);
  if (st != 0) {
    m.session_.Fail(path, st);
    return -ErrnoOf(st);
  }
  return 0;
}

int MountTree::RemoveFolder(const std::string& path) {
  Impl& m = *impl_;
  Impl::Place place;
  int error = m.LocateChange(path, &place);
  if (error != 0) return error;
  if (place.depth == 3) return -ENOTDIR;
  if (place.depth == 0) return -EBUSY;
  if (!place.exists) return -ENOENT;
  if (place.depth == 1) {
    Impl::LibraryView* library = m.Library(place.libref);
    if (library != nullptr && !library->catalogs.empty()) return -ENOTEMPTY;
    return Refuse(path, EPERM,
                  "a library is removed by deleting its file in the data "
                  "folder, not through the mount");
  }
  Impl::CatalogView* view = m.Catalog(place.libref, place.catalog);
  if (view != nullptr && !view->files.empty()) return -ENOTEMPTY;
  for (const auto& [where, pending] : m.pending_) {
    if (pending->libref == place.libref && pending->catalog == place.catalog) {
      return -ENOTEMPTY;
    }
  }
  refhost::StoreStatus status = m.session_.host().store()->DeleteCatalog(
      place.libref, place.catalog, false);
  m.libraries_.erase(place.libref);
  m.catalogs_.erase(place.libref + "." + place.catalog);
  if (status.IsNotEmpty()) return -ENOTEMPTY;
  if (status.IsNotFound()) return -ENOENT;
  if (!status.ok()) {
    return Refuse(path, EIO,
                  "the catalog cannot be removed: " + status.ToString());
  }
  return 0;
}

int MountTree::Remove(const std::string& path) {
  Impl& m = *impl_;
  Impl::Place place;
  int error = m.LocateChange(path, &place);
  if (error != 0) return error;
  if (place.depth < 3) return place.exists ? -EISDIR : -ENOENT;
  bool found = false;
  if (auto pending = m.PendingAt(place)) {
    pending->gone = true;
    m.pending_.erase(place.Where());
    found = true;
  }
  if (Impl::Shown* shown = m.ShownAt(place)) {
    std::string name = shown->name, type = shown->type;
    return m.DeleteEntry(place, name, type);
  }
  // The manifest is made from the catalog: removing it keeps nothing from
  // coming back, and lets a folder be emptied.
  if (found || m.ShowsManifest(place)) return 0;
  return -ENOENT;
}

int MountTree::Rename(const std::string& from, const std::string& to,
                      unsigned flags) {
  Impl& m = *impl_;
  if (m.read_only_) return -EROFS;
  constexpr unsigned kNoReplace = 1;  // RENAME_NOREPLACE
  if ((flags & ~kNoReplace) != 0) return -EINVAL;
  Impl::Place source, target;
  int error = m.Locate(from, &source);
  if (error == 0) error = m.Locate(to, &target);
  if (error != 0) return error;
  if (source.depth != 3 || target.depth != 3) {
    if (source.depth == 3 || target.depth == 3) {
      return source.depth < 3 ? -ENOTDIR : -EISDIR;
    }
    if (!source.exists) return -ENOENT;
    // A library or catalog is not renamed in place: mv then copies and
    // removes it.
    return from == to ? 0 : -EXDEV;
  }
  if (source.Where() == target.Where() && source.file == target.file) {
    return 0;
  }
  auto pending = m.PendingAt(source);
  // A copy: the views may be walked again below.
  std::optional<Impl::Shown> shown_copy;
  if (!pending) {
    if (Impl::Shown* s = m.ShownAt(source)) shown_copy = *s;
  }
  Impl::Shown* shown = shown_copy ? &*shown_copy : nullptr;
  if (!pending && shown == nullptr) {
    return m.ShowsManifest(source)
               ? Refuse(from, EPERM, "the manifest is made from the catalog")
               : -ENOENT;
  }
  Impl::Kind kind;
  FileEntry entry;
  bool same_catalog =
      source.libref == target.libref && source.catalog == target.catalog;
  error =
      m.Classify(target, &kind, &entry, same_catalog ? &source.file : nullptr);
  if (error != 0) return error;
  auto target_pending = m.PendingAt(target);
  Impl::Shown* target_shown = m.ShownAt(target);
  if ((flags & kNoReplace) != 0 &&
      (target_pending || target_shown != nullptr)) {
    return -EEXIST;
  }
  if (kind == Impl::Kind::kManifest) {
    if (!pending)
      return Refuse(to, EPERM,
                    "only a written file can become "
                    "the manifest");
    pending->libref = target.libref;
    pending->catalog = target.catalog;
    pending->folder = target.folder;
    pending->file = target.file;
    pending->scratch = false;
    pending->manifest = true;
    error = m.ApplyManifest(*pending);
    pending->gone = true;
    m.pending_.erase(source.Where());
    return error;
  }
  if (kind == Impl::Kind::kScratch) {
    if (!pending || !pending->scratch) {
      return Refuse(to, EINVAL,
                    "a catalog holds no name beginning with '.': the entry "
                    "would be kept only while mounted");
    }
  }
  // What the source leaves behind: an entry committed under its name.
  std::optional<std::pair<std::string, std::string>> old_entry;
  if (shown != nullptr) {
    old_entry.emplace(shown->name, shown->type);
  } else if (!pending->scratch) {
    if (Impl::Shown* s = m.ShownAt(source)) {
      old_entry.emplace(s->name, s->type);
    }
  }
  if (shown != nullptr && kind == Impl::Kind::kEntry && same_catalog &&
      entry.name == shown->name && entry.type.type == shown->type) {
    // The same entry under another file name (a.txt as A.txt): only the
    // recorded name changes.
    std::string file = target.file;
    return m.UpdateEntry(
        source, *shown, [&](FileAttributes* a) { a->file_name = file; }, "");
  }
  // Where a pending file was, should the commit under the new name fail.
  std::optional<Impl::Pending> before;
  if (!pending) {
    // A committed entry: its bytes go to the new entry, then it goes.
    error = m.NewPending(target, true, shown, &pending, &source);
    if (error != 0) return error;
    pending->modified_ns = shown->known && shown->attributes.modified_ns
                               ? *shown->attributes.modified_ns
                               : shown->info.modified_micros * 1000;
  } else {
    m.pending_.erase(source.Where());
    before.emplace();
    before->libref = pending->libref;
    before->catalog = pending->catalog;
    before->folder = pending->folder;
    before->file = pending->file;
    before->entry = pending->entry;
    before->scratch = pending->scratch;
    pending->libref = target.libref;
    pending->catalog = target.catalog;
    pending->folder = target.folder;
    pending->file = target.file;
    pending->entry.reset();
    pending->scratch = kind == Impl::Kind::kScratch;
  }
  if (kind == Impl::Kind::kEntry) {
    pending->dirty = true;
    error = m.Commit(*pending);
    if (error != 0) {
      // The source stays as it was; the target too.
      if (before) {
        pending->libref = before->libref;
        pending->catalog = before->catalog;
        pending->folder = before->folder;
        pending->file = before->file;
        pending->entry = before->entry;
        pending->scratch = before->scratch;
        m.pending_[source.Where()] = pending;
      }
      return error;
    }
  }
  if (target_pending && target_pending != pending) {
    target_pending->gone = true;
    m.pending_.erase(target.Where());
  }
  m.pending_[target.Where()] = pending;
  m.Settle(pending);
  if (old_entry && !(same_catalog && old_entry->first == entry.name &&
                     old_entry->second == entry.type.type)) {
    return m.DeleteEntry(source, old_entry->first, old_entry->second);
  }
  return 0;
}

int MountTree::ChangeMode(const std::string& path, uint64_t handle,
                          mode_t mode) {
  uint32_t bits = mode & 07777;
  return impl_->SetOnFile(
      path, handle, [&](Impl::Pending* p) { p->mode = bits; },
      [&](FileAttributes* a) { a->mode = bits; });
}

int MountTree::ChangeOwner(const std::string& path, uid_t uid, gid_t gid) {
  Impl& m = *impl_;
  if (m.read_only_) return -EROFS;
  struct stat st;
  int error = GetAttributes(path, 0, &st);
  if (error != 0) return error;
  if ((uid == static_cast<uid_t>(-1) || uid == m.uid_) &&
      (gid == static_cast<gid_t>(-1) || gid == m.gid_)) {
    return 0;
  }
  return Refuse(path, EPERM,
                "a catalog keeps no owner: its files belong to the user who "
                "mounted it");
}

int MountTree::Truncate(const std::string& path, uint64_t handle, off_t size) {
  Impl& m = *impl_;
  if (m.read_only_) return -EROFS;
  std::shared_ptr<Impl::Pending> pending;
  if (Impl::Handle* h = m.HandleOf(handle); h != nullptr && h->pending) {
    pending = h->pending;
  }
  Impl::Place place;
  if (!pending) {
    int error = m.Locate(path, &place);
    if (error != 0) return error;
    if (place.depth < 3) return place.exists ? -EISDIR : -ENOENT;
    pending = m.PendingAt(place);
  }
  if (pending) {
    if (size == 0) pending->base.reset();
    if (int error = m.Fill(*pending); error != 0) return error;
    if (ftruncate(pending->spool, size) != 0) return -errno;
    pending->dirty = true;
    pending->modified_ns.reset();
    pending->written_ns = NowNs();
    return pending->writers > 0 ? 0 : m.Commit(*pending);
  }
  Impl::Shown* shown = m.ShownAt(place);
  if (shown == nullptr) return m.ShowsManifest(place) ? -EPERM : -ENOENT;
  // Truncated without being open: one new version at once.
  Impl::Shown copy = *shown;
  int error = m.NewPending(place, size > 0, &copy, &pending);
  if (error == 0) error = m.Fill(*pending);
  if (error != 0) return error;
  if (ftruncate(pending->spool, size) != 0) return -errno;
  pending->written_ns = NowNs();
  return m.Commit(*pending);
}

int MountTree::SetTimes(const std::string& path, uint64_t handle,
                        const struct timespec times[2]) {
  if (times != nullptr && times[1].tv_nsec == UTIME_OMIT) {
    return impl_->read_only_ ? -EROFS : 0;
  }
  int64_t modified = times == nullptr || times[1].tv_nsec == UTIME_NOW
                         ? NowNs()
                         : static_cast<int64_t>(times[1].tv_sec) * 1000000000 +
                               times[1].tv_nsec;
  return impl_->SetOnFile(
      path, handle, [&](Impl::Pending* p) { p->modified_ns = modified; },
      [&](FileAttributes* a) { a->modified_ns = modified; });
}

int MountTree::Create(const std::string& path, mode_t mode, int open_flags,
                      uint64_t* handle) {
  Impl& m = *impl_;
  Impl::Place place;
  int error = m.LocateChange(path, &place);
  if (error != 0) return error;
  if (place.depth < 3) {
    return Refuse(path, EPERM,
                  "files are kept in catalogs: "
                  "<libref>/<catalog>/<file>");
  }
  if (m.PendingAt(place) || m.ShownAt(place) != nullptr) {
    return Open(path, open_flags, handle);
  }
  Impl::Kind kind;
  FileEntry entry;
  error = m.Classify(place, &kind, &entry);
  if (error != 0) return error;
  std::shared_ptr<Impl::Pending> pending;
  error = m.NewPending(place, false, nullptr, &pending);
  if (error != 0) return error;
  pending->mode = mode & 07777;
  pending->scratch = kind == Impl::Kind::kScratch;
  pending->manifest = kind == Impl::Kind::kManifest;
  pending->dirty = true;
  m.pending_[place.Where()] = pending;
  *handle = m.OpenPending(pending, true);
  return 0;
}

int MountTree::Open(const std::string& path, int open_flags, uint64_t* handle) {
  Impl& m = *impl_;
  bool truncate = (open_flags & O_TRUNC) != 0;
  bool writes = (open_flags & O_ACCMODE) != O_RDONLY || truncate;
  if (writes && m.read_only_) return -EROFS;
  Impl::Place place;
  int error = m.Locate(path, &place);
  if (error != 0) return error;
  if (place.depth < 3) return place.exists ? -EISDIR : -ENOENT;
  std::shared_ptr<Impl::Pending> pending = m.PendingAt(place);
  if (!pending) {
    Impl::CatalogView* view = nullptr;
    Impl::Shown* shown = m.ShownAt(place, &view);
    if (shown == nullptr && m.ShowsManifest(place)) {
      if (!writes) {
        auto h = std::make_unique<Impl::Handle>();
        h->text = m.ManifestOf(place.libref, place.catalog, view);
        GetAttributes(path, 0, &h->attributes);
        *handle = m.AddHandle(std::move(h));
        return 0;
      }
      error = m.NewPending(place, false, nullptr, &pending);
      if (error != 0) return error;
      pending->manifest = true;
      if (!truncate) {
        const std::string& text =
            m.ManifestOf(place.libref, place.catalog, view);
        if (!WriteAllAt(pending->spool, text.data(), text.size(), 0)) {
          return -errno;
        }
      }
    } else if (shown == nullptr) {
      return -ENOENT;
    } else if (!writes) {
      auto h = std::make_unique<Impl::Handle>();
      error = m.ShownAttributes(place, *shown, &h->attributes);
      if (error != 0) return error;
      h->reader = m.ReaderOf(place.libref, place.catalog, *shown);
      int32_t st = h->reader->Open();
      if (st != 0) {
        m.session_.Fail(path, st);
        return -ErrnoOf(st);
      }
      *handle = m.AddHandle(std::move(h));
      return 0;
    } else {
      Impl::Shown copy = *shown;
      error = m.NewPending(place, !truncate, &copy, &pending);
      if (error != 0) return error;
    }
    m.pending_[place.Where()] = pending;
  }
  if (truncate) {
    pending->base.reset();
    if (ftruncate(pending->spool, 0) != 0) return -errno;
    pending->dirty = true;
    pending->modified_ns.reset();
    pending->written_ns = NowNs();
  }
  *handle = m.OpenPending(pending, writes);
  return 0;
}

int MountTree::Read(uint64_t handle, char* data, size_t size, off_t offset) {
  Impl& m = *impl_;
  Impl::Handle* h = m.HandleOf(handle);
  if (h == nullptr) return -EBADF;
  if (h->reader) return h->reader->Read(data, size, offset);
  if (h->pending) {
    if (int error = m.Fill(*h->pending); error != 0) return error;
    ssize_t n;
    do {
      n = pread(h->pending->spool, data, size, offset);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? -errno : static_cast<int>(n);
  }
  if (offset >= static_cast<off_t>(h->text.size())) return 0;
  size_t n = std::min(size, h->text.size() - static_cast<size_t>(offset));
  std::memcpy(data, h->text.data() + offset, n);
  return static_cast<int>(n);
}

int MountTree::Write(uint64_t handle, const char* data, size_t size,
                     off_t offset) {
  Impl& m = *impl_;
  Impl::Handle* h = m.HandleOf(handle);
  if (h == nullptr || !h->pending || !h->writes) return -EBADF;
  Impl::Pending& pending = *h->pending;
  if (int error = m.Fill(pending); error != 0) return error;
  if (!WriteAllAt(pending.spool, data, size, offset)) return -errno;
  pending.dirty = true;
  pending.modified_ns.reset();
  pending.written_ns = NowNs();
  return static_cast<int>(size);
}

int MountTree::Flush(uint64_t handle) {
  Impl& m = *impl_;
  Impl::Handle* h = m.HandleOf(handle);
  if (h == nullptr || !h->pending || !h->writes) return 0;
  return m.Finish(*h->pending);
}

int MountTree::Release(uint64_t handle) {
  Impl& m = *impl_;
  auto it = m.handles_.find(handle);
  if (it == m.handles_.end()) return -EBADF;
  std::unique_ptr<Impl::Handle> h = std::move(it->second);
  m.handles_.erase(it);
  if (!h->pending) return 0;
  std::shared_ptr<Impl::Pending> pending = h->pending;
  --pending->opens;
  if (h->writes) --pending->writers;
  int error = 0;
  if (pending->writers == 0) error = m.Finish(*pending);
  m.Settle(pending);
  return error;
}

void MountTree::Shutdown() {
  Impl& m = *impl_;
  for (const auto& [where, pending] : m.pending_) {
    std::string path =
        Lower(pending->libref) + "/" + pending->folder + "/" + pending->file;
    if (pending->scratch) {
      PrintError(Printable(path) +
                 ": not kept: a catalog holds no name beginning with '.', "
                 "and it was not renamed to one");
    } else if (pending->dirty && !pending->gone) {
      PrintError(Printable(path) +
                 ": not kept: it was still open for writing at unmount; the "
                 "entry keeps what it had");
    }
  }
  m.handles_.clear();
  m.pending_.clear();
}

}  // namespace cli
