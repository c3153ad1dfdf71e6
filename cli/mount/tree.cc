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
    std::shared_ptr<const ManifestText> text;
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

  // What the path of the place makes: the manifest (at the top of a
  // catalog's folder), a scratch file (a temporary file's name), else an
  // entry; a path a tree cannot hold, or in a folder that is not there, is
  // refused (a negative errno).
  int Classify(const Place& place, Kind* kind) {
    if (Reason reason = PathProblem(place.file);
        reason != Reason::kNone && place.file != kManifestName &&
        !IsScratchName(BaseName(place.file))) {
      return Refuse(place.path, reason);
    }
    if (int error = ParentIsFolder(place); error != 0) return error;
    if (place.depth == 3 && place.file == kManifestName) {
      *kind = Kind::kManifest;
    } else if (IsScratchName(BaseName(place.file))) {
      *kind = Kind::kScratch;
    } else {
      *kind = Kind::kEntry;
    }
    return 0;
  }

  // 0 when the folder the place is in is a folder of its tree; -ENOENT
  // when it is not there, -ENOTDIR when it is a file.
  int ParentIsFolder(const Place& place) {
    if (place.depth <= 3) return 0;
    Place parent = place;
    parent.file = std::string(ParentOf(place.file));
    parent.depth = place.depth - 1;
    if (views.FolderAt(parent)) return 0;
    return views.ShownAt(parent) || pending.At(parent) ? -ENOTDIR : -ENOENT;
  }

  // Whether anything of the tree is inside the folder at the place.
  bool HoldsAnything(const Place& place) {
    CatalogView* view = views.Catalog(place.libref, place.catalog);
    if (view != nullptr && view->Holds(place.depth == 2 ? "" : place.file)) {
      return true;
    }
    std::string prefix = place.depth == 2 ? "" : place.file + "/";
    auto inside = [&](const std::string& path) {
      return path.size() > prefix.size() &&
             path.compare(0, prefix.size(), prefix) == 0;
    };
    for (const auto& [where, file] : pending.all()) {
      if (file->libref == place.libref && file->catalog == place.catalog &&
          inside(file->file) && !file->gone) {
        return true;
      }
    }
    return false;
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
      if (place.depth < 2) return place.exists ? 0 : -ENOENT;
      if (place.depth == 2 && !place.exists) return -ENOENT;
      if (views.FolderAt(place)) {
        // A folder keeps its mode and time in an entry of its own, made
        // where it has none.
        return pending.WriteFolder(place, on_entry);
      }
      file = pending.At(place);
    }
    if (file) {
      on_pending(file.get());
      file->touched = true;
      return file->opens > 0 ? 0 : pending.Finish(*file);
    }
    if (std::optional<Shown> shown = views.ShownAt(place)) {
      return pending.UpdateEntry(place, *shown, on_entry, "");
    }
    return views.ShowsManifest(place) ? 0 : -ENOENT;
  }

  // A folder renamed within its catalog: the paths its entries keep change,
  // and nothing else.
  int RenameFolder(const Place& source, const Place& target, bool no_replace) {
    if (target.file.compare(0, source.file.size() + 1, source.file + "/") ==
        0) {
      return -EINVAL;
    }
    if (views.ShownAt(target) || pending.At(target)) return -ENOTDIR;
    if (Reason reason = PathProblem(target.file); reason != Reason::kNone) {
      return Refuse(target.path, reason);
    }
    if (int error = ParentIsFolder(target); error != 0) return error;
    std::optional<Shown> there;
    if (views.FolderAt(target, &there)) {
      if (no_replace) return -EEXIST;
      if (HoldsAnything(target)) return -ENOTEMPTY;
      if (there) {
        int e = pending.DeleteEntry(target, there->name, there->type);
        if (e != 0) return e;
      }
    }
    std::string prefix = source.file + "/";
    for (const auto& [where, file] : pending.all()) {
      if (file->libref == source.libref && file->catalog == source.catalog &&
          file->file.compare(0, prefix.size(), prefix) == 0) {
        return -EBUSY;  // a file in it is being written
      }
    }
    CatalogView* view = views.Catalog(source.libref, source.catalog);
    if (view == nullptr) return -EIO;
    // The entries that move, set aside: a folder may hold any number.
    RecordSpill moving;
    view->ForEachEntry([&](const Shown& shown) {
      if (shown.file == source.file ||
          shown.file.compare(0, prefix.size(), prefix) == 0) {
        moving.Append(EncodeShown(shown));
      }
    });
    RecordSpill::Reader reader(moving);
    std::string record;
    while (reader.Next(&record)) {
      Shown shown = DecodeShown(record, views.default_mode());
      Place at = source;
      at.file = shown.file;
      std::string path = target.file + shown.file.substr(source.file.size());
      int error = pending.UpdateEntry(
          at, shown, [&](FileAttributes* a) { a->file_name = path; }, "");
      if (error != 0) return error;
    }
    return 0;
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

  class TreeReader;

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
  // Each call sees the libraries as they are when it begins: their change
  // stamps are read once a call.
  impl_->views.Begin();
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
    std::optional<Shown> top;
    if (place.depth == 2) m.views.FolderAt(place, &top);
    m.views.TreeFolderAttributes(top ? &*top : nullptr, st);
    return 0;
  }
  if (auto pending = m.pending.At(place)) {
    return m.pending.Attributes(*pending, st);
  }
  if (std::optional<Shown> folder; m.views.FolderAt(place, &folder)) {
    m.views.TreeFolderAttributes(folder ? &*folder : nullptr, st);
    return 0;
  }
  if (std::optional<Shown> shown = m.views.ShownAt(place)) {
    return m.views.ShownAttributes(place.libref, place.catalog, *shown, st);
  }
  if (m.views.ShowsManifest(place)) {
    auto text = m.views.ManifestOf(place.libref, place.catalog);
    if (!text) return -EIO;
    m.views.FileAttributesOf(text->size, 0644, text->modified_ns, st);
    return 0;
  }
  return -ENOENT;
}

namespace {

// The names of the data folder, or of a library: a few, taken at once.
class NamesReader : public FolderReader {
 public:
  explicit NamesReader(std::vector<TreeItem> items)
      : items_(std::move(items)) {}
  int Next(TreeItem* item) override {
    if (at_ >= items_.size()) return 0;
    *item = std::move(items_[at_++]);
    return 1;
  }

 private:
  std::vector<TreeItem> items_;
  size_t at_ = 0;
};

}  // namespace

// The names of a folder of a catalog's tree, read from its view as they
// come; files being written show what was written so far, and those not
// yet in the catalog come after, then the manifest.
class MountTree::Impl::TreeReader : public FolderReader {
 public:
  TreeReader(MountTree& tree, Impl& m, const Place& place,
             CatalogView::Listing listing)
      : tree_(tree), m_(m), place_(place), listing_(std::move(listing)) {
    prefix_ = place.depth == 2 ? "" : place.file + "/";
    for (const auto& [where, pending] : m.pending.all()) {
      if (pending->libref == place.libref &&
          pending->catalog == place.catalog &&
          pending->file.size() > prefix_.size() &&
          pending->file.compare(0, prefix_.size(), prefix_) == 0 &&
          pending->file.find('/', prefix_.size()) == std::string::npos) {
        pending_[pending->file.substr(prefix_.size())] = pending;
      }
    }
  }

  int Next(TreeItem* item) override {
    TreeName name;
    while (!tree_done_) {
      if (!listing_.Next(&name)) {
        tree_done_ = true;
        next_pending_ = pending_.begin();
        break;
      }
      item->name = name.name;
      if (name.folder) {
        m_.views.TreeFolderAttributes(name.entry ? &*name.entry : nullptr,
                                      &item->attributes);
        return 1;
      }
      auto pending = pending_.find(name.name);
      int error;
      if (pending != pending_.end() && pending->second) {
        error = m_.pending.Attributes(*pending->second, &item->attributes);
        pending->second.reset();  // listed
      } else if (name.entry) {
        error = m_.views.ShownAttributes(place_.libref, place_.catalog,
                                         *name.entry, &item->attributes);
      } else {
        continue;
      }
      if (error == 0) return 1;  // else reported: the name is left out
    }
    for (; next_pending_ != pending_.end(); ++next_pending_) {
      const std::shared_ptr<Pending>& pending = next_pending_->second;
      if (!pending || pending->manifest) continue;
      item->name = next_pending_->first;
      if (m_.pending.Attributes(*pending, &item->attributes) == 0) {
        ++next_pending_;
        return 1;
      }
    }
    if (!manifest_done_) {
      manifest_done_ = true;
      m_.views.Begin();  // a later call of the listing's
      if (m_.views.ShowsManifest(ManifestPlace())) {
        item->name = std::string(kManifestName);
        if (tree_.GetAttributes(place_.path + "/" + item->name, 0,
                                &item->attributes) == 0) {
          return 1;
        }
      }
    }
    return 0;
  }

 private:
  Place ManifestPlace() const {
    Place manifest = place_;
    manifest.depth = 3;
    manifest.file = std::string(kManifestName);
    return manifest;
  }

  MountTree& tree_;
  Impl& m_;
  Place place_;
  CatalogView::Listing listing_;
  std::string prefix_;
  bool tree_done_ = false;
  // The folder's files being written when the listing began, by name
  // (null once listed).
  std::map<std::string, std::shared_ptr<Pending>> pending_;
  std::map<std::string, std::shared_ptr<Pending>>::iterator next_pending_;
  bool manifest_done_ = false;
};

int MountTree::OpenFolder(const std::string& path,
                          std::unique_ptr<FolderReader>* reader) {
  impl_->views.Begin();
  Impl& m = *impl_;
  Place place;
  int error = m.views.Locate(path, &place);
  if (error != 0) return error;
  if (place.depth >= 3 && !m.views.FolderAt(place)) {
    return m.views.ShownAt(place) || m.pending.At(place) ? -ENOTDIR : -ENOENT;
  }
  if (place.depth < 3 && !place.exists) return -ENOENT;
  TreeItem item;
  m.views.FolderAttributes(&item.attributes);
  std::vector<TreeItem> items;
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
      items.push_back(item);
    }
    *reader = std::make_unique<NamesReader>(std::move(items));
    return 0;
  }
  if (place.depth == 1) {
    LibraryView* library = m.views.Library(place.libref);
    if (library == nullptr) return -ENOENT;
    for (const auto& [shown, catalog] : library->catalogs) {
      item.name = shown;
      items.push_back(item);
    }
    *reader = std::make_unique<NamesReader>(std::move(items));
    return 0;
  }
  CatalogView* view = m.views.Catalog(place.libref, place.catalog);
  if (view == nullptr) return -EIO;
  *reader = std::make_unique<Impl::TreeReader>(
      *this, m, place, view->List(place.depth == 2 ? "" : place.file));
  return 0;
}

int MountTree::List(const std::string& path, std::vector<TreeItem>* items) {
  std::unique_ptr<FolderReader> reader;
  int error = OpenFolder(path, &reader);
  if (error != 0) return error;
  TreeItem item;
  while ((error = reader->Next(&item)) > 0) items->push_back(item);
  return error;
}

int MountTree::MakeFolder(const std::string& path, mode_t mode) {
  impl_->views.Begin();
  Impl& m = *impl_;
  Place place;
  int error = m.LocateChange(path, &place);
  if (error != 0) return error;
  uint32_t bits = mode & 07777;
  if (place.depth >= 3) {
    // A folder of the catalog's tree: an entry of its own, at once.
    if (m.views.FolderAt(place) || m.views.ShownAt(place) ||
        m.pending.At(place)) {
      return -EEXIST;
    }
    if (Reason reason = PathProblem(place.file); reason != Reason::kNone) {
      return Refuse(path, reason);
    }
    if (int e = m.ParentIsFolder(place); e != 0) return e;
    return m.pending.WriteFolder(place,
                                 [&](FileAttributes* a) { a->mode = bits; });
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
  // The catalog the folder's name makes, by the rule import -r follows.
  std::set<std::string> taken;
  if (LibraryView* library = m.views.Library(place.libref)) {
    for (const auto& [catalog, shown] : library->shown) taken.insert(catalog);
  }
  std::string catalog, keep;
  if (Reason reason = CatalogForFolder(name, false, taken, &catalog, &keep);
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
  if (keep.empty()) return 0;
  // A folder name the catalog's own does not give back is kept with it.
  place.catalog = catalog;
  return m.pending.WriteFolder(
      place, [&](FileAttributes* a) { a->mode = bits; }, keep);
}

int MountTree::RemoveFolder(const std::string& path) {
  impl_->views.Begin();
  Impl& m = *impl_;
  Place place;
  int error = m.LocateChange(path, &place);
  if (error != 0) return error;
  if (place.depth >= 3) {
    std::optional<Shown> keeper;
    if (!m.views.FolderAt(place, &keeper)) {
      return m.views.ShownAt(place) || m.pending.At(place) ? -ENOTDIR : -ENOENT;
    }
    if (m.HoldsAnything(place)) return -ENOTEMPTY;
    if (!keeper) return 0;
    return m.pending.DeleteEntry(place, keeper->name, keeper->type);
  }
  if (place.depth == 0) return -EBUSY;
  if (!place.exists) return -ENOENT;
  if (place.depth == 1) {
    LibraryView* library = m.views.Library(place.libref);
    if (library != nullptr && !library->catalogs.empty()) return -ENOTEMPTY;
    return Refuse(path, Reason::kLibraryRemoval);
  }
  CatalogView* view = m.views.Catalog(place.libref, place.catalog);
  if (view != nullptr && view->Holds("")) return -ENOTEMPTY;
  if (m.pending.InCatalog(place.libref, place.catalog)) return -ENOTEMPTY;
  if (view != nullptr && view->top()) {
    // The record of the folder itself goes with it.
    Shown top = *view->top();
    if (int e = m.pending.DeleteEntry(place, top.name, top.type); e != 0) {
      return e;
    }
  }
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
  impl_->views.Begin();
  Impl& m = *impl_;
  Place place;
  int error = m.LocateChange(path, &place);
  if (error != 0) return error;
  if (place.depth < 3) return place.exists ? -EISDIR : -ENOENT;
  if (m.views.FolderAt(place)) return -EISDIR;
  bool found = false;
  if (auto pending = m.pending.At(place)) {
    pending->gone = true;
    m.pending.Drop(place.Where());
    found = true;
  }
  if (std::optional<Shown> shown = m.views.ShownAt(place)) {
    return m.pending.DeleteEntry(place, shown->name, shown->type);
  }
  // The manifest is made from the catalog: removing it keeps nothing from
  // coming back, and lets a folder be emptied.
  if (found || m.views.ShowsManifest(place)) return 0;
  return -ENOENT;
}

int MountTree::Rename(const std::string& from, const std::string& to,
                      unsigned flags) {
  impl_->views.Begin();
  Impl& m = *impl_;
  if (m.read_only) return -EROFS;
  constexpr unsigned kNoReplace = 1;  // RENAME_NOREPLACE
  if ((flags & ~kNoReplace) != 0) return -EINVAL;
  Place source, target;
  int error = m.views.Locate(from, &source);
  if (error == 0) error = m.views.Locate(to, &target);
  if (error != 0) return error;
  bool same_catalog =
      source.libref == target.libref && source.catalog == target.catalog;
  if (source.depth < 3 || target.depth < 3) {
    if (source.depth >= 3 && !m.views.FolderAt(source) && target.depth < 3) {
      return -EISDIR;
    }
    if (source.depth < 3 && !source.exists) return -ENOENT;
    // A library or catalog is not renamed in place, nor a folder of a tree
    // made one: mv then copies and removes it.
    return from == to ? 0 : -EXDEV;
  }
  if (source.Where() == target.Where() && source.file == target.file) {
    return 0;
  }
  if (m.views.FolderAt(source)) {
    if (!same_catalog) return -EXDEV;
    return m.RenameFolder(source, target, (flags & kNoReplace) != 0);
  }
  auto pending = m.pending.At(source);
  std::optional<Shown> shown_there;
  if (!pending) shown_there = m.views.ShownAt(source);
  const Shown* shown = shown_there ? &*shown_there : nullptr;
  if (!pending && shown == nullptr) {
    return m.views.ShowsManifest(source) ? Refuse(from, Reason::kManifestIsMade)
                                         : -ENOENT;
  }
  if (m.views.FolderAt(target)) return -EISDIR;
  Impl::Kind kind;
  error = m.Classify(target, &kind);
  if (error != 0) return error;
  auto target_pending = m.pending.At(target);
  std::optional<Shown> target_shown = m.views.ShownAt(target);
  if ((flags & kNoReplace) != 0 && (target_pending || target_shown)) {
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
  if (shown != nullptr && kind == Impl::Kind::kEntry && same_catalog) {
    // Within a catalog only the path the entry keeps changes, not a record;
    // an entry the target showed goes.
    std::string file = target.file;
    error = m.pending.UpdateEntry(
        source, *shown, [&](FileAttributes* a) { a->file_name = file; }, "");
    if (error != 0) return error;
    if (target_pending) {
      target_pending->gone = true;
      m.pending.Drop(target.Where());
    }
    if (target_shown && (target_shown->name != shown->name ||
                         target_shown->type != shown->type)) {
      return m.pending.DeleteEntry(target, target_shown->name,
                                   target_shown->type);
    }
    return 0;
  }
  FileEntry entry = m.pending.EntryFor(target, false);
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
  // Within a catalog the entry it was opened on goes on; into another
  // catalog, the target's own.
  if (!same_catalog) pending->entry.reset();
  pending->scratch = kind == Impl::Kind::kScratch;
  // What the source leaves behind: an entry committed under its name.
  std::optional<std::pair<std::string, std::string>> old_entry;
  if (!before.scratch) {
    if (std::optional<Shown> s = m.views.ShownAt(source)) {
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
  // What the commit wrote: the entry the file now is.
  std::optional<std::pair<std::string, std::string>> now = pending->entry;
  if (!now) now.emplace(entry.name, entry.type.type);
  if (target_shown && kind == Impl::Kind::kEntry &&
      *now != std::make_pair(target_shown->name, target_shown->type)) {
    error =
        m.pending.DeleteEntry(target, target_shown->name, target_shown->type);
    if (error != 0) return error;
  }
  if (old_entry && !(same_catalog && *old_entry == *now)) {
    return m.pending.DeleteEntry(source, old_entry->first, old_entry->second);
  }
  return 0;
}

int MountTree::ChangeMode(const std::string& path, uint64_t handle,
                          mode_t mode) {
  impl_->views.Begin();
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
  impl_->views.Begin();
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
  impl_->views.Begin();
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
    if (m.views.FolderAt(place)) return -EISDIR;
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
  std::optional<Shown> shown = m.views.ShownAt(place);
  if (!shown) return m.views.ShowsManifest(place) ? -EPERM : -ENOENT;
  // Truncated without being open: one new version at once.
  int error = m.pending.New(place, size > 0, &*shown, &pending);
  if (error == 0) error = m.pending.Fill(*pending);
  if (error != 0) return error;
  if (ftruncate(pending->spool, size) != 0) return -errno;
  pending->written_ns = NowNs();
  return m.pending.Commit(*pending);
}

int MountTree::SetTimes(const std::string& path, uint64_t handle,
                        const struct timespec times[2]) {
  impl_->views.Begin();
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
  impl_->views.Begin();
  Impl& m = *impl_;
  Place place;
  int error = m.LocateChange(path, &place);
  if (error != 0) return error;
  if (place.depth < 3) {
    return Refuse(path, Reason::kFileOutsideCatalog);
  }
  if (m.pending.At(place) || m.views.ShownAt(place)) {
    return Open(path, open_flags, handle);
  }
  if (m.views.FolderAt(place)) return -EISDIR;
  Impl::Kind kind;
  error = m.Classify(place, &kind);
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
  impl_->views.Begin();
  Impl& m = *impl_;
  bool truncate = (open_flags & O_TRUNC) != 0;
  bool writes = (open_flags & O_ACCMODE) != O_RDONLY || truncate;
  if (writes && m.read_only) return -EROFS;
  Place place;
  int error = m.views.Locate(path, &place);
  if (error != 0) return error;
  if (place.depth < 3) return place.exists ? -EISDIR : -ENOENT;
  std::shared_ptr<Pending> pending = m.pending.At(place);
  if (!pending && m.views.FolderAt(place)) return -EISDIR;
  if (!pending) {
    std::optional<Shown> shown = m.views.ShownAt(place);
    if (!shown && m.views.ShowsManifest(place)) {
      auto text = m.views.ManifestOf(place.libref, place.catalog);
      if (!text) return -EIO;
      if (!writes) {
        auto h = std::make_unique<Impl::Handle>();
        h->text = text;
        m.views.FileAttributesOf(text->size, 0644, text->modified_ns,
                                 &h->attributes);
        *handle = m.AddHandle(std::move(h));
        return 0;
      }
      error = m.pending.New(place, false, nullptr, &pending);
      if (error != 0) return error;
      pending->manifest = true;
      if (!truncate) {
        std::vector<char> buffer(64 << 10);
        for (int64_t at = 0; at < text->size;) {
          int n = text->Read(buffer.data(), buffer.size(), at);
          if (n < 0) return n;
          if (n == 0) return -EIO;
          if (!WriteAllAt(pending->spool, buffer.data(), static_cast<size_t>(n),
                          static_cast<off_t>(at))) {
            return -errno;
          }
          at += n;
        }
      }
    } else if (!shown) {
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
      error = m.pending.New(place, !truncate, &*shown, &pending);
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
  if (!h->text) return -EBADF;
  return h->text->Read(data, size, offset);
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
  impl_->views.Begin();
  Impl& m = *impl_;
  Impl::Handle* h = m.HandleOf(handle);
  if (h == nullptr || !h->pending || !h->writes) return 0;
  return m.pending.Finish(*h->pending);
}

int MountTree::Release(uint64_t handle) {
  impl_->views.Begin();
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
  if (error != 0) {
    // The last close could not keep what was written (said in the log,
    // and to the writer): from now on the folder shows what the catalog
    // holds, not what it failed to take.
    pending->dirty = false;
    pending->touched = false;
    pending->gone = true;
    std::string where =
        pending->libref + "." + pending->catalog + "/" + pending->file;
    if (m.pending.all().count(where) != 0 &&
        m.pending.all().at(where) == pending) {
      m.pending.Drop(where);
    }
  }
  m.pending.Settle(pending);
  return error;
}

void MountTree::Shutdown() {
  impl_->views.Begin();
  Impl& m = *impl_;
  std::vector<std::shared_ptr<Pending>> left;
  for (const auto& [where, pending] : m.pending.all()) left.push_back(pending);
  for (const std::shared_ptr<Pending>& pending : left) {
    std::string path = pending->Path();
    if (pending->gone) continue;
    if (pending->writers > 0) {
      if (pending->dirty || pending->scratch) {
        PrintError(Printable(path) +
                   ": not kept: it was still open for writing at unmount; "
                   "the entry keeps what it had");
      }
      continue;
    }
    if (pending->scratch) {
      // A temporary file's name that was never renamed nor removed: what
      // was written is kept, under that name.
      pending->scratch = false;
      pending->dirty = true;
      if (m.pending.Commit(*pending) == 0) {
        PrintError(Printable(path) +
                   ": kept as an entry at unmount: a temporary file's name "
                   "that was never renamed or removed");
      }
    }
  }
  m.handles.clear();
  m.pending.Clear();
}

}  // namespace cli
