// The tree of tree.h: paths located in the views, files being written kept
// pending, handles for what each open took. Each operation checks what a
// file system would (a folder where a file is named, a read-only mount),
// then hands the work to the views and the pending files.

#include "cli/mount/tree.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <set>

#include "cli/files/content.h"
#include "cli/files/file_names.h"
#include "cli/mount/entry_reader.h"
#include "cli/mount/pending.h"
#include "cli/mount/views.h"
#include "cli/option_text.h"
#include "cli/reasons.h"
#include "cli/report.h"
#include "refhost/host/library_services.h"

namespace cli {

using refhost::FileAttributes;

class MountTree::Impl {
 public:
  Impl(Session& session, bool read_only)
      : session(session),
        read_only(read_only),
        views(session, ReadersOfHandles()),
        pending(session, views, ReadersOfHandles()) {}

  // What an open took: a pending file, an entry being read, or the text of
  // the manifest being read.
  struct Handle {
    std::shared_ptr<Pending> pending;
    bool writes = false;
    std::unique_ptr<EntryReader> reader;
    std::string text;
    struct stat attributes;  // of the entry or manifest read, at open
  };

  // What kind of file a name makes.
  enum class Kind { kEntry, kScratch, kManifest };

  Session& session;
  bool read_only;
  Views views;
  PendingFiles pending;
  std::map<uint64_t, std::unique_ptr<Handle>> handles;
  uint64_t next_handle = 1;

  // The readers the handles hold, for the views and the pending files.
  Readers ReadersOfHandles() {
    return {[this] {
              for (const auto& [id, handle] : handles) {
                if (handle->reader && handle->reader->open()) return true;
              }
              return false;
            },
            [this] {
              for (const auto& [id, handle] : handles) {
                if (handle->reader) handle->reader->Detach();
              }
            }};
  }

  // Locate for a change: -EROFS on a read-only mount.
  int LocateChange(const std::string& path, Place* place) {
    return read_only ? -ErrnoOf(Reason::kReadOnlyMount)
                     : views.Locate(path, place);
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
    if (Reason reason = EntryForFile(place.file, entry);
        reason != Reason::kNone) {
      return Refuse(
          place.path, reason,
          std::string("a catalog cannot hold this name: ") + TextOf(reason));
    }
    // Another file of the catalog that is the same entry (A.txt and
    // a.txt, a.txt and a.dat) would be replaced by this one.
    CatalogView* view = views.Catalog(place.libref, place.catalog);
    if (view != nullptr) {
      auto it = view->entries.find({entry->name, entry->type.type});
      if (it != view->entries.end() && it->second.file != place.file &&
          (renamed == nullptr || it->second.file != *renamed)) {
        return Refuse(place.path, Reason::kNameTaken,
                      "the catalog keeps " + Printable(it->second.file) +
                          " as entry " + entry->name + "." + entry->type.type +
                          ", which this name would replace");
      }
    }
    for (const auto& [where, other_file] : pending.all()) {
      FileEntry other;
      if (other_file->libref == place.libref &&
          other_file->catalog == place.catalog &&
          other_file->file != place.file && !other_file->scratch &&
          !other_file->manifest &&
          EntryForFile(other_file->file, &other) == Reason::kNone &&
          other.Key() == entry->Key()) {
        return Refuse(place.path, Reason::kNameTaken,
                      Printable(other_file->file) +
                          ", being written, is the same entry " + other.Key());
      }
    }
    return 0;
  }

  // Sets a file's mode or time: a file being written takes it with its
  // commit, an entry as host attributes committed at once. A folder keeps
  // none of its own: the change is taken and what it shows stays.
  int SetOnFile(const std::string& path, uint64_t handle,
                const std::function<void(Pending*)>& on_pending,
                const std::function<void(FileAttributes*)>& on_entry) {
    if (read_only) return -ErrnoOf(Reason::kReadOnlyMount);
    std::shared_ptr<Pending> file;
    Place place;
    if (Handle* h = HandleOf(handle); h != nullptr && h->pending) {
      file = h->pending;
    } else {
      int error = views.Locate(path, &place);
      if (error != 0) return error;
      if (place.depth < 3) return place.exists ? 0 : -ENOENT;
      file = pending.At(place);
    }
    if (file) {
      on_pending(file.get());
      file->touched = true;
      return file->opens > 0 ? 0 : pending.Finish(*file);
    }
    if (Shown* shown = views.ShownAt(place)) {
      Shown copy = *shown;
      return pending.UpdateEntry(place, copy, on_entry, "");
    }
    return views.ShowsManifest(place) ? 0 : -ENOENT;
  }

  uint64_t AddHandle(std::unique_ptr<Handle> handle) {
    uint64_t id = next_handle++;
    handles[id] = std::move(handle);
    return id;
  }

  Handle* HandleOf(uint64_t id) {
    auto it = handles.find(id);
    return it == handles.end() ? nullptr : it->second.get();
  }

  uint64_t OpenPending(const std::shared_ptr<Pending>& file, bool writes) {
    auto handle = std::make_unique<Handle>();
    handle->pending = file;
    handle->writes = writes;
    ++file->opens;
    if (writes) ++file->writers;
    return AddHandle(std::move(handle));
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
    if (h->pending) return m.pending.Attributes(*h->pending, st);
    // What this open reads, even when the entry has a newer version.
    *st = h->attributes;
    return 0;
  }
  if (path.empty()) return -ENOENT;
  Place place;
  int error = m.views.Locate(path, &place);
  if (error != 0) return error;
  if (place.depth < 3) {
    if (!place.exists) return -ENOENT;
    m.views.FolderAttributes(st);
    return 0;
  }
  if (auto pending = m.pending.At(place)) {
    return m.pending.Attributes(*pending, st);
  }
  CatalogView* view = nullptr;
  Shown* shown = m.views.ShownAt(place, &view);
  if (shown != nullptr)
    return m.views.ShownAttributes(place.libref, place.catalog, *shown, st);
  if (m.views.ShowsManifest(place)) {
    const std::string& text =
        m.views.ManifestOf(place.libref, place.catalog, view);
    int64_t newest = m.views.started_ns();
    for (const auto& [file, s] : view->files) {
      newest = std::max(newest, s->info.modified_micros * 1000);
    }
    m.views.FileAttributesOf(static_cast<int64_t>(text.size()), 0644, newest,
                             st);
    return 0;
  }
  return -ENOENT;
}

int MountTree::List(const std::string& path, std::vector<TreeItem>* items) {
  Impl& m = *impl_;
  Place place;
  int error = m.views.Locate(path, &place);
  if (error != 0) return error;
  if (place.depth == 3) return -ENOTDIR;
  if (!place.exists) return -ENOENT;
  TreeItem item;
  m.views.FolderAttributes(&item.attributes);
  if (place.depth == 0) {
    std::vector<std::string> librefs;
    refhost::StoreStatus status =
        m.session.host().store()->ListLibraries(&librefs);
    if (!status.ok()) {
      PrintError("the data folder cannot be listed: " + status.ToString());
      return -ErrnoOf(ReasonOf(status));
    }
    for (const std::string& libref : librefs) {
      item.name = Lower(libref);
      items->push_back(item);
    }
    return 0;
  }
  if (place.depth == 1) {
    LibraryView* library = m.views.Library(place.libref);
    if (library == nullptr) return -ENOENT;
    for (const auto& [shown, catalog] : library->catalogs) {
      item.name = shown;
      items->push_back(item);
    }
    return 0;
  }
  CatalogView* view = m.views.Catalog(place.libref, place.catalog);
  if (view == nullptr) return -EIO;
  std::set<std::string> listed;
  for (const auto& [file, shown] : view->files) {
    item.name = file;
    Place at = place;
    at.file = file;
    // A file being written shows what was written so far.
    auto pending = m.pending.At(at);
    int e = pending ? m.pending.Attributes(*pending, &item.attributes)
                    : m.views.ShownAttributes(at.libref, at.catalog, *shown,
                                              &item.attributes);
    if (e != 0) continue;  // reported
    items->push_back(item);
    listed.insert(file);
  }
  for (const auto& [where, pending] : m.pending.all()) {
    if (pending->libref != place.libref || pending->catalog != place.catalog ||
        listed.count(pending->file) != 0 || pending->manifest) {
      continue;
    }
    item.name = pending->file;
    if (m.pending.Attributes(*pending, &item.attributes) == 0) {
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
  Place place;
  int error = m.LocateChange(path, &place);
  if (error != 0) return error;
  if (place.depth == 3) {
    return Refuse(path, Reason::kFolderInCatalog);
  }
  if (place.depth == 0 || place.exists) return -EEXIST;
  std::string name =
      place.depth == 1 ? path.substr(path.rfind('/') + 1) : place.folder;
  if (place.depth == 1) {
    if (Reason reason = LibrefProblem(name); reason != Reason::kNone) {
      return Refuse(path, reason);
    }
    refhost::StoreStatus status =
        m.session.host().store()->CreateLibrary(place.libref);
    m.views.Forget(place.libref);
    if (!status.ok()) {
      return Refuse(path, ReasonOf(status),
                    "the library cannot be made: " + status.ToString());
    }
    return 0;
  }
  std::string catalog;
  if (Reason reason = CatalogForFolder(name, &catalog);
      reason != Reason::kNone) {
    return Refuse(
        path, reason,
        std::string("a catalog cannot have this name: ") + TextOf(reason));
  }
  // A directory open for update makes the catalog it names.
  Fileref fileref(m.session);
  Directory directory(m.session);
  int32_t st = fileref.Assign(place.libref + "." + catalog, nullptr);
  if (st == 0) st = directory.Open(fileref);
  if (st == 0) st = directory.Close();
  m.views.Forget(place.libref);
  if (st != 0) {
    m.session.Fail(path, st);
    return -ErrnoOf(m.session.ReasonOf(st));
  }
  return 0;
}

int MountTree::RemoveFolder(const std::string& path) {
  Impl& m = *impl_;
  Place place;
  int error = m.LocateChange(path, &place);
  if (error != 0) return error;
  if (place.depth == 3) return -ENOTDIR;
  if (place.depth == 0) return -EBUSY;
  if (!place.exists) return -ENOENT;
  if (place.depth == 1) {
    LibraryView* library = m.views.Library(place.libref);
    if (library != nullptr && !library->catalogs.empty()) return -ENOTEMPTY;
    return Refuse(path, Reason::kLibraryRemoval);
  }
  CatalogView* view = m.views.Catalog(place.libref, place.catalog);
  if (view != nullptr && !view->files.empty()) return -ENOTEMPTY;
  if (m.pending.InCatalog(place.libref, place.catalog)) return -ENOTEMPTY;
  refhost::StoreStatus status = m.session.host().store()->DeleteCatalog(
      place.libref, place.catalog, false);
  m.views.ForgetCatalog(place.libref, place.catalog);
  Reason reason = ReasonOf(status);
  if (reason == Reason::kNotEmpty || reason == Reason::kNotFound) {
    return -ErrnoOf(reason);
  }
  if (reason != Reason::kNone) {
    return Refuse(path, reason,
                  "the catalog cannot be removed: " + status.ToString());
  }
  return 0;
}

int MountTree::Remove(const std::string& path) {
  Impl& m = *impl_;
  Place place;
  int error = m.LocateChange(path, &place);
  if (error != 0) return error;
  if (place.depth < 3) return place.exists ? -EISDIR : -ENOENT;
  bool found = false;
  if (auto pending = m.pending.At(place)) {
    pending->gone = true;
    m.pending.Drop(place.Where());
    found = true;
  }
  if (Shown* shown = m.views.ShownAt(place)) {
    std::string name = shown->name, type = shown->type;
    return m.pending.DeleteEntry(place, name, type);
  }
  // The manifest is made from the catalog: removing it keeps nothing from
  // coming back, and lets a folder be emptied.
  if (found || m.views.ShowsManifest(place)) return 0;
  return -ENOENT;
}

int MountTree::Rename(const std::string& from, const std::string& to,
                      unsigned flags) {
  Impl& m = *impl_;
  if (m.read_only) return -EROFS;
  constexpr unsigned kNoReplace = 1;  // RENAME_NOREPLACE
  if ((flags & ~kNoReplace) != 0) return -EINVAL;
  Place source, target;
  int error = m.views.Locate(from, &source);
  if (error == 0) error = m.views.Locate(to, &target);
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
  auto pending = m.pending.At(source);
  // A copy: the views may be walked again below.
  std::optional<Shown> shown_copy;
  if (!pending) {
    if (Shown* s = m.views.ShownAt(source)) shown_copy = *s;
  }
  Shown* shown = shown_copy ? &*shown_copy : nullptr;
  if (!pending && shown == nullptr) {
    return m.views.ShowsManifest(source) ? Refuse(from, Reason::kManifestIsMade)
                                         : -ENOENT;
  }
  Impl::Kind kind;
  FileEntry entry;
  bool same_catalog =
      source.libref == target.libref && source.catalog == target.catalog;
  error =
      m.Classify(target, &kind, &entry, same_catalog ? &source.file : nullptr);
  if (error != 0) return error;
  auto target_pending = m.pending.At(target);
  Shown* target_shown = m.views.ShownAt(target);
  if ((flags & kNoReplace) != 0 &&
      (target_pending || target_shown != nullptr)) {
    return -EEXIST;
  }
  if (kind == Impl::Kind::kManifest) {
    if (!pending) return Refuse(to, Reason::kManifestFromFile);
    pending->libref = target.libref;
    pending->catalog = target.catalog;
    pending->folder = target.folder;
    pending->file = target.file;
    pending->scratch = false;
    pending->manifest = true;
    error = m.pending.ApplyManifest(*pending);
    pending->gone = true;
    m.pending.Drop(source.Where());
    return error;
  }
  if (kind == Impl::Kind::kScratch) {
    if (!pending || !pending->scratch) {
      return Refuse(to, Reason::kScratchName);
    }
  }
  if (shown != nullptr && kind == Impl::Kind::kEntry && same_catalog &&
      entry.name == shown->name && entry.type.type == shown->type) {
    // The same entry under another file name (a.txt as A.txt): only the
    // recorded name changes.
    std::string file = target.file;
    return m.pending.UpdateEntry(
        source, *shown, [&](FileAttributes* a) { a->file_name = file; }, "");
  }
  if (!pending) {
    // A committed entry is copied to the new one, then it goes: the copy
    // and rename commands move entries the same way.
    error = m.pending.CopyEntryTo(source, *shown, target, entry);
    if (error != 0) return error;
    if (target_pending) {
      target_pending->gone = true;
      m.pending.Drop(target.Where());
    }
    return m.pending.DeleteEntry(source, shown->name, shown->type);
  }
  // A pending file goes on under the new name. Where it was, should the
  // commit under the new name fail:
  m.pending.Drop(source.Where());
  Pending before;
  before.libref = pending->libref;
  before.catalog = pending->catalog;
  before.folder = pending->folder;
  before.file = pending->file;
  before.entry = pending->entry;
  before.scratch = pending->scratch;
  pending->libref = target.libref;
  pending->catalog = target.catalog;
  pending->folder = target.folder;
  pending->file = target.file;
  pending->entry.reset();
  pending->scratch = kind == Impl::Kind::kScratch;
  // What the source leaves behind: an entry committed under its name.
  std::optional<std::pair<std::string, std::string>> old_entry;
  if (!before.scratch) {
    if (Shown* s = m.views.ShownAt(source)) {
      old_entry.emplace(s->name, s->type);
    }
  }
  if (kind == Impl::Kind::kEntry) {
    pending->dirty = true;
    error = m.pending.Commit(*pending);
    if (error != 0) {
      // The source stays as it was; the target too.
      pending->libref = before.libref;
      pending->catalog = before.catalog;
      pending->folder = before.folder;
      pending->file = before.file;
      pending->entry = before.entry;
      pending->scratch = before.scratch;
      m.pending.Put(source, pending);
      return error;
    }
  }
  if (target_pending && target_pending != pending) {
    target_pending->gone = true;
    m.pending.Drop(target.Where());
  }
  m.pending.Put(target, pending);
  m.pending.Settle(pending);
  if (old_entry && !(same_catalog && old_entry->first == entry.name &&
                     old_entry->second == entry.type.type)) {
    return m.pending.DeleteEntry(source, old_entry->first, old_entry->second);
  }
  return 0;
}

int MountTree::ChangeMode(const std::string& path, uint64_t handle,
                          mode_t mode) {
  // A file would lose these bits (export and the mount give back 0777
  // only): refused, never dropped in silence.
  if ((mode & 07000) != 0 && !impl_->read_only) {
    struct stat st;
    int error = GetAttributes(path, handle, &st);
    if (error != 0) return error;
    if (S_ISREG(st.st_mode)) return Refuse(path, Reason::kModeNotKept);
  }
  uint32_t bits = mode & 07777;
  return impl_->SetOnFile(
      path, handle, [&](Pending* p) { p->mode = bits; },
      [&](FileAttributes* a) { a->mode = bits; });
}

int MountTree::Statistics(struct statvfs* st) {
  // The room of the file system the libraries grow in. A server store's
  // room is the server's to know; what a file written here must fit in
  // first is the temporary folder where it waits until its close.
  // A data folder not made yet grows in the folder that will hold it.
  Session& session = impl_->session;
  std::string folder =
      session.on_server() ? TemporaryFolder() : session.data_path();
  while (statvfs(folder.c_str(), st) != 0) {
    size_t slash = folder.rfind('/');
    if (errno != ENOENT || slash == std::string::npos || folder == "/") {
      return -errno;
    }
    folder = slash == 0 ? "/" : folder.substr(0, slash);
  }
  st->f_namemax = 255;
  return 0;
}

int MountTree::ChangeOwner(const std::string& path, uid_t uid, gid_t gid) {
  Impl& m = *impl_;
  if (m.read_only) return -EROFS;
  struct stat st;
  int error = GetAttributes(path, 0, &st);
  if (error != 0) return error;
  if ((uid == static_cast<uid_t>(-1) || uid == m.views.uid()) &&
      (gid == static_cast<gid_t>(-1) || gid == m.views.gid())) {
    return 0;
  }
  return Refuse(path, Reason::kNoOwner);
}

int MountTree::Truncate(const std::string& path, uint64_t handle, off_t size) {
  Impl& m = *impl_;
  if (m.read_only) return -EROFS;
  std::shared_ptr<Pending> pending;
  if (Impl::Handle* h = m.HandleOf(handle); h != nullptr && h->pending) {
    pending = h->pending;
  }
  Place place;
  if (!pending) {
    int error = m.views.Locate(path, &place);
    if (error != 0) return error;
    if (place.depth < 3) return place.exists ? -EISDIR : -ENOENT;
    pending = m.pending.At(place);
  }
  if (pending) {
    if (size == 0) pending->base.reset();
    if (int error = m.pending.Fill(*pending); error != 0) return error;
    if (ftruncate(pending->spool, size) != 0) return -errno;
    pending->dirty = true;
    pending->modified_ns.reset();
    pending->written_ns = NowNs();
    return pending->writers > 0 ? 0 : m.pending.Commit(*pending);
  }
  Shown* shown = m.views.ShownAt(place);
  if (shown == nullptr) return m.views.ShowsManifest(place) ? -EPERM : -ENOENT;
  // Truncated without being open: one new version at once.
  Shown copy = *shown;
  int error = m.pending.New(place, size > 0, &copy, &pending);
  if (error == 0) error = m.pending.Fill(*pending);
  if (error != 0) return error;
  if (ftruncate(pending->spool, size) != 0) return -errno;
  pending->written_ns = NowNs();
  return m.pending.Commit(*pending);
}

int MountTree::SetTimes(const std::string& path, uint64_t handle,
                        const struct timespec times[2]) {
  if (times != nullptr && times[1].tv_nsec == UTIME_OMIT) {
    return impl_->read_only ? -EROFS : 0;
  }
  int64_t modified = times == nullptr || times[1].tv_nsec == UTIME_NOW
                         ? NowNs()
                         : static_cast<int64_t>(times[1].tv_sec) * 1000000000 +
                               times[1].tv_nsec;
  return impl_->SetOnFile(
      path, handle, [&](Pending* p) { p->modified_ns = modified; },
      [&](FileAttributes* a) { a->modified_ns = modified; });
}

int MountTree::Create(const std::string& path, mode_t mode, int open_flags,
                      uint64_t* handle) {
  Impl& m = *impl_;
  Place place;
  int error = m.LocateChange(path, &place);
  if (error != 0) return error;
  if (place.depth < 3) {
    return Refuse(path, Reason::kFileOutsideCatalog);
  }
  if (m.pending.At(place) || m.views.ShownAt(place) != nullptr) {
    return Open(path, open_flags, handle);
  }
  Impl::Kind kind;
  FileEntry entry;
  error = m.Classify(place, &kind, &entry);
  if (error != 0) return error;
  std::shared_ptr<Pending> pending;
  error = m.pending.New(place, false, nullptr, &pending);
  if (error != 0) return error;
  pending->mode = mode & 07777;
  pending->scratch = kind == Impl::Kind::kScratch;
  pending->manifest = kind == Impl::Kind::kManifest;
  pending->dirty = true;
  m.pending.Put(place, pending);
  *handle = m.OpenPending(pending, true);
  return 0;
}

int MountTree::Open(const std::string& path, int open_flags, uint64_t* handle) {
  Impl& m = *impl_;
  bool truncate = (open_flags & O_TRUNC) != 0;
  bool writes = (open_flags & O_ACCMODE) != O_RDONLY || truncate;
  if (writes && m.read_only) return -EROFS;
  Place place;
  int error = m.views.Locate(path, &place);
  if (error != 0) return error;
  if (place.depth < 3) return place.exists ? -EISDIR : -ENOENT;
  std::shared_ptr<Pending> pending = m.pending.At(place);
  if (!pending) {
    CatalogView* view = nullptr;
    Shown* shown = m.views.ShownAt(place, &view);
    if (shown == nullptr && m.views.ShowsManifest(place)) {
      if (!writes) {
        auto h = std::make_unique<Impl::Handle>();
        h->text = m.views.ManifestOf(place.libref, place.catalog, view);
        GetAttributes(path, 0, &h->attributes);
        *handle = m.AddHandle(std::move(h));
        return 0;
      }
      error = m.pending.New(place, false, nullptr, &pending);
      if (error != 0) return error;
      pending->manifest = true;
      if (!truncate) {
        const std::string& text =
            m.views.ManifestOf(place.libref, place.catalog, view);
        if (!WriteAllAt(pending->spool, text.data(), text.size(), 0)) {
          return -errno;
        }
      }
    } else if (shown == nullptr) {
      return -ENOENT;
    } else if (!writes) {
      auto h = std::make_unique<Impl::Handle>();
      error = m.views.ShownAttributes(place.libref, place.catalog, *shown,
                                      &h->attributes);
      if (error != 0) return error;
      h->reader = m.views.ReaderOf(place.libref, place.catalog, *shown);
      int32_t st = h->reader->Open();
      if (st != 0) {
        m.session.Fail(path, st);
        return -ErrnoOf(m.session.ReasonOf(st));
      }
      *handle = m.AddHandle(std::move(h));
      return 0;
    } else {
      Shown copy = *shown;
      error = m.pending.New(place, !truncate, &copy, &pending);
      if (error != 0) return error;
    }
    m.pending.Put(place, pending);
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
    if (int error = m.pending.Fill(*h->pending); error != 0) return error;
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
  Pending& pending = *h->pending;
  if (int error = m.pending.Fill(pending); error != 0) return error;
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
  return m.pending.Finish(*h->pending);
}

int MountTree::Release(uint64_t handle) {
  Impl& m = *impl_;
  auto it = m.handles.find(handle);
  if (it == m.handles.end()) return -EBADF;
  std::unique_ptr<Impl::Handle> h = std::move(it->second);
  m.handles.erase(it);
  if (!h->pending) return 0;
  std::shared_ptr<Pending> pending = h->pending;
  --pending->opens;
  if (h->writes) --pending->writers;
  int error = 0;
  if (pending->writers == 0) error = m.pending.Finish(*pending);
  m.pending.Settle(pending);
  return error;
}

void MountTree::Shutdown() {
  Impl& m = *impl_;
  for (const auto& [where, pending] : m.pending.all()) {
    std::string path = pending->Path();
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
  m.handles.clear();
  m.pending.Clear();
}

}  // namespace cli
