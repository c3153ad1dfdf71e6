// Pending files of a mount and the changes it makes through the module.

#include "cli/mount/pending.h"

#include <cerrno>
#include <cstring>

#include "cli/command_support.h"
#include "cli/files/entry_types.h"
#include "cli/files/manifest.h"
#include "cli/option_text.h"
#include "cli/records.h"
#include "cli/report.h"
#include "refhost/host/library_services.h"

namespace cli {

using refhost::FileAttributes;

std::string Pending::Path() const {
  return Lower(libref) + "/" + folder + "/" + file;
}

int Refuse(const std::string& path, Reason reason, const std::string& message) {
  PrintError(Printable(path) + ": " +
             (message.empty() ? std::string(TextOf(reason)) : message));
  return -ErrnoOf(reason);
}

PendingFiles::PendingFiles(Session& session, Views& views, Readers readers)
    : session_(session), views_(views), readers_(std::move(readers)) {}

std::shared_ptr<Pending> PendingFiles::At(const Place& place) const {
  auto it = pending_.find(place.Where());
  return it == pending_.end() ? nullptr : it->second;
}

void PendingFiles::Put(const Place& place, std::shared_ptr<Pending> pending) {
  pending_[place.Where()] = std::move(pending);
}

void PendingFiles::Drop(const std::string& where) { pending_.erase(where); }

bool PendingFiles::InCatalog(const std::string& libref,
                             const std::string& catalog) const {
  for (const auto& [where, pending] : pending_) {
    if (pending->libref == libref && pending->catalog == catalog) return true;
  }
  return false;
}

int PendingFiles::New(const Place& place, bool copy, const Shown* shown,
                      std::shared_ptr<Pending>* out) {
  auto pending = std::make_shared<Pending>();
  pending->libref = place.libref;
  pending->catalog = place.catalog;
  pending->folder = place.folder;
  pending->file = place.file;
  pending->mode = views_.default_mode();
  pending->written_ns = NowNs();
  pending->spool = TemporaryFile();
  if (pending->spool < 0) {
    int error = errno;
    PrintError(Printable(place.path) +
               ": cannot make a temporary file: " + std::strerror(error));
    return -error;
  }
  if (shown != nullptr) {
    pending->mode = shown->as_file.mode;
    pending->description = shown->info.description;
    if (shown->as_file.known && shown->as_file.attributes.modified_ns) {
      pending->written_ns = *shown->as_file.attributes.modified_ns;
    }
    if (copy) {
      pending->base = *shown;
      pending->base_place = place;
    }
    pending->entry.emplace(shown->name, shown->type);
  }
  *out = std::move(pending);
  return 0;
}

int PendingFiles::Fill(Pending& pending) {
  if (!pending.base) return 0;
  const Place& from = pending.base_place;
  std::unique_ptr<EntryReader> reader =
      views_.ReaderOf(from.libref, from.catalog, *pending.base);
  int32_t st = reader->Open();
  if (st != 0) {
    session_.Fail(from.path, st);
    return -ErrnoOf(session_.ReasonOf(st));
  }
  int64_t total = 0;
  int error = reader->CopyTo(pending.spool, &total);
  if (error == 0) pending.base.reset();
  return error;
}

int PendingFiles::Commit(Pending& pending) {
  if (pending.scratch || pending.gone) return 0;
  if (pending.manifest) {
    int error = ApplyManifest(pending);
    if (error == 0) pending.dirty = false;
    return error;
  }
  std::string path = pending.Path();
  FileEntry entry;
  if (pending.entry) {
    entry.name = pending.entry->first;
    entry.type.type = pending.entry->second;
    entry.typed = true;
  } else {
    Place place;
    place.libref = pending.libref;
    place.catalog = pending.catalog;
    place.file = pending.file;
    place.depth = 3;
    entry = EntryFor(place, false);
  }
  std::string member = entry.Member();
  const char* hint = entry.Hint();
  if (int error = Fill(pending); error != 0) return error;
  std::string error;
  if (lseek(pending.spool, 0, SEEK_SET) != 0 ||
      !content_.Load(pending.spool, &error)) {
    return Refuse(path, Reason::kIoError,
                  "cannot read what was written: " + error);
  }
  std::string description = pending.description;
  std::string described_key =
      DescribedKey(pending.libref, pending.catalog, pending.file);
  std::string described;
  if (described_.Find(described_key, &described)) {
    if (description.empty()) description = described;
    described_.Erase(described_key);
  }
  OptionBlock options(session_);
  bool cut = false;
  options.ParseDescription(description, &cut);
  Fileref fileref(session_);
  Directory directory(session_);
  std::string catalog = pending.libref + "." + pending.catalog;
  if (!OpenExistingCatalog(session_, fileref, directory, catalog, nullptr)) {
    return -ENOENT;
  }
  EntryKey key{pending.libref, pending.catalog, entry.name, entry.type.type};
  FileAttributes attributes;
  attributes.file_name = pending.file;
  attributes.modified_ns = pending.modified_ns.value_or(pending.written_ns);
  attributes.mode = pending.mode;
  auto write = [&] {
    return WriteMember(session_, directory, key, member, hint, content_,
                       RecordLayout(), options.get() ? &options : nullptr,
                       &attributes);
  };
  MemberWrite written = write();
  if (!written.done() && written.read_error.empty() && readers_.streaming()) {
    // Refused for the snapshot a reader holds: once more without it.
    readers_.detach();
    written = write();
  }
  directory.Close();
  views_.Refresh(pending.libref, pending.catalog, key.name, key.type);
  if (!written.read_error.empty()) {
    return Refuse(path, Reason::kIoError,
                  "cannot read what was written: " + written.read_error);
  }
  if (!written.transfer.whole() && written.transfer.status == 0) {
    return Refuse(path, Reason::kIoError,
                  "not written: " + written.transfer.InputProblem());
  }
  if (!written.done()) {
    int32_t st =
        written.transfer.status != 0 ? written.transfer.status : written.status;
    session_.Fail(path + " -> " + key.Path() + ": not written", st);
    return -ErrnoOf(session_.ReasonOf(st));
  }
  pending.dirty = false;
  pending.touched = false;
  // Its later commits go to the same entry.
  pending.entry.emplace(key.name, key.type);
  return 0;
}

int PendingFiles::Finish(Pending& pending) {
  if (pending.scratch || pending.gone) return 0;
  if (pending.dirty) return Commit(pending);
  if (!pending.touched || pending.manifest) return 0;
  Place place;
  place.libref = pending.libref;
  place.catalog = pending.catalog;
  place.file = pending.file;
  place.path = pending.Path();
  std::optional<Shown> shown = views_.ShownAt(place);
  if (!shown) return Commit(pending);
  uint32_t mode = pending.mode;
  int64_t modified = pending.modified_ns.value_or(pending.written_ns);
  int error = UpdateEntry(
      place, *shown,
      [&](FileAttributes* a) {
        a->mode = mode;
        a->modified_ns = modified;
      },
      "");
  if (error == 0) pending.touched = false;
  return error;
}

void PendingFiles::Settle(const std::shared_ptr<Pending>& pending) {
  if (pending->opens > 0 || pending->scratch) return;
  if ((pending->dirty || pending->touched) && !pending->gone) return;
  auto it = pending_.find(pending->libref + "." + pending->catalog + "/" +
                          pending->file);
  if (it != pending_.end() && it->second == pending) pending_.erase(it);
}

int PendingFiles::Attributes(const Pending& pending, struct stat* st) {
  struct stat spool;
  if (fstat(pending.spool, &spool) != 0) return -errno;
  int64_t size = spool.st_size;
  if (pending.base) {
    int error = views_.SizeOf(pending.base_place.libref,
                              pending.base_place.catalog, *pending.base, &size);
    if (error != 0) return error;
  }
  views_.FileAttributesOf(size, pending.mode,
                          pending.modified_ns.value_or(pending.written_ns), st);
  return 0;
}

int PendingFiles::ApplyManifest(const Pending& pending) {
  Place place;
  place.libref = pending.libref;
  place.catalog = pending.catalog;
  place.path = pending.Path();
  int bad = 0;
  int error = 0;
  // Read a part at a time, whole lines: a manifest of any length is applied
  // in little memory.
  auto apply = [&](std::string_view lines) {
    int bad_here = 0;
    for (const auto& [file, line] : ParseManifest(lines, &bad_here)) {
      if (line.description.empty()) continue;
      place.file = file;
      std::optional<Shown> shown = views_.ShownAt(place);
      if (!shown) {
        described_.Put(DescribedKey(pending.libref, pending.catalog, file),
                       line.description);
        continue;
      }
      if (shown->info.description == line.description) continue;
      int e = UpdateEntry(
          place, *shown, [](FileAttributes*) {}, line.description);
      if (e != 0) error = e;
    }
    bad += bad_here;
  };
  std::string text;
  char buffer[65536];
  for (off_t at = 0;;) {
    ssize_t n = pread(pending.spool, buffer, sizeof buffer, at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -errno;
    if (n == 0) break;
    text.append(buffer, static_cast<size_t>(n));
    at += n;
    size_t end = text.rfind('\n');
    if (end != std::string::npos) {
      apply(std::string_view(text).substr(0, end + 1));
      text.erase(0, end + 1);
    }
  }
  apply(text);
  if (bad != 0) {
    PrintError("warning: " + Printable(place.path) + ": " +
               std::to_string(bad) + " lines were not understood");
  }
  return error;
}

std::string PendingFiles::DescribedKey(const std::string& libref,
                                       const std::string& catalog,
                                       const std::string& file) {
  std::string key = libref + "." + catalog;
  key += '\0';
  key += file;
  return key;
}

int PendingFiles::UpdateEntry(
    const Place& place, const Shown& shown,
    const std::function<void(FileAttributes*)>& change,
    const std::string& description) {
  FileAttributes attributes =
      shown.as_file.known ? shown.as_file.attributes : FileAttributes();
  change(&attributes);
  OptionBlock options(session_);
  bool cut = false;
  options.ParseDescription(description, &cut);
  EntryKey key{place.libref, place.catalog, shown.name, shown.type};
  Fileref fileref(session_);
  Directory directory(session_);
  if (!OpenExistingCatalog(session_, fileref, directory,
                           place.libref + "." + place.catalog, nullptr)) {
    return -ENOENT;
  }
  auto update = [&] {
    EntryStream entry(session_);
    int32_t st = entry.OpenMember(
        directory, key, key.name + "." + key.type, kDefaultTypeHint,
        kOpenUpdate, kInputRecordLength, options.get() ? &options : nullptr);
    if (st == 0) {
      entry.SetAttributes(refhost::EncodeFileAttributes(attributes));
      st = entry.Close();
    }
    return st;
  };
  int32_t st = update();
  if (st != 0 && readers_.streaming()) {
    // Refused for the snapshot a reader holds: once more without it.
    readers_.detach();
    st = update();
  }
  directory.Close();
  views_.Refresh(place.libref, place.catalog, key.name, key.type);
  if (st != 0) {
    session_.Fail(place.path, st);
    return -ErrnoOf(session_.ReasonOf(st));
  }
  return 0;
}

int PendingFiles::DeleteEntry(const Place& place, const std::string& name,
                              const std::string& type) {
  EntryKey key{place.libref, place.catalog, name, type};
  Fileref fileref(session_);
  int32_t st = fileref.Assign(key.Path(), nullptr);
  if (st == 0) st = fileref.Delete();
  if (st != 0 && !host_no_such_entry(st) && readers_.streaming()) {
    readers_.detach();
    st = fileref.Delete();
  }
  views_.Refresh(place.libref, place.catalog, name, type);
  if (st != 0) {
    session_.Fail(place.path, st);
    return -ErrnoOf(session_.ReasonOf(st));
  }
  return 0;
}

FileEntry PendingFiles::EntryFor(const Place& place, bool folder) {
  FileEntry entry;
  CatalogView* view = views_.Catalog(place.libref, place.catalog);
  if (view != nullptr) {
    // The entry shown there, when it keeps the path.
    std::optional<Shown> shown;
    if (folder) {
      views_.FolderAt(place, &shown);
    } else {
      shown = views_.ShownAt(place);
    }
    if (shown && shown->as_file.attributes.file_name == place.file) {
      entry.name = shown->name;
      entry.type = {kDefaultTypeHint, shown->type, true};
      entry.typed = true;
      return entry;
    }
  }
  EntryChooser chooser;
  view = views_.Catalog(place.libref, place.catalog);
  if (view != nullptr) {
    // The name's own entry, when no entry has it: most files take it, and
    // the whole catalog need not be held for them.
    if (!folder && EntryForFile(place.file, &entry) == Reason::kNone &&
        entry.name != kCatalogFolderEntry &&
        !view->Entry(entry.name, entry.type.type)) {
      return entry;
    }
    view->ForEachEntry([&](const Shown& shown) {
      chooser.Hold(shown.name, shown.type, shown.as_file.attributes.file_name,
                   shown.as_file.attributes.is_folder);
    });
  }
  std::string holder;
  chooser.Choose(place.depth == 2 ? std::string(kTopPath) : place.file, folder,
                 false, &entry, &holder);
  return entry;
}

int PendingFiles::WriteFolder(
    const Place& place, const std::function<void(FileAttributes*)>& change,
    const std::string& keep_folder) {
  std::optional<Shown> keeper;
  if (views_.FolderAt(place, &keeper) && keeper) {
    return UpdateEntry(place, *keeper, change, "");
  }
  FileEntry entry = EntryFor(place, true);
  FileAttributes attributes;
  attributes.is_folder = true;
  attributes.file_name = place.depth == 2 ? std::string(kTopPath) : place.file;
  attributes.folder = keep_folder;
  attributes.mode = 0755;
  attributes.modified_ns = NowNs();
  change(&attributes);
  readers_.detach();
  Fileref fileref(session_);
  Directory directory(session_);
  std::string catalog = place.libref + "." + place.catalog;
  if (!OpenExistingCatalog(session_, fileref, directory, catalog, nullptr)) {
    return -ENOENT;
  }
  std::string error;
  content_.LoadFrom(
      [](char*, size_t, size_t* got, std::string*) {
        *got = 0;
        return true;
      },
      &error);
  EntryKey key{place.libref, place.catalog, entry.name, entry.type.type};
  MemberWrite written =
      WriteMember(session_, directory, key, entry.Member(), entry.Hint(),
                  content_, RecordLayout(), nullptr, &attributes);
  directory.Close();
  views_.Refresh(place.libref, place.catalog, key.name, key.type);
  if (!written.done()) {
    int32_t st =
        written.transfer.status != 0 ? written.transfer.status : written.status;
    session_.Fail(place.path + ": the folder is not kept", st);
    return -ErrnoOf(session_.ReasonOf(st));
  }
  return 0;
}

int PendingFiles::CopyEntryTo(const Place& from, const Shown& shown,
                              const Place& to, const FileEntry& target) {
  // The copy is a writer of the store's own: no snapshot may stand in its
  // way.
  readers_.detach();
  EntryKey source{from.libref, from.catalog, shown.name, shown.type};
  EntryKey copy{to.libref, to.catalog, target.name, target.type.type};
  uint32_t mode = shown.as_file.mode;
  int64_t modified = shown.as_file.modified_ns;
  int32_t status = 0;
  bool copied = CopyEntry(
      session_, source.Path(), shown.info, copy.Path(),
      [&](FileAttributes* a) {
        a->file_name = to.file;
        a->folder.clear();
        a->mode = mode;
        a->modified_ns = modified;
      },
      &status);
  views_.Refresh(to.libref, to.catalog, copy.name, copy.type);
  if (copied) return 0;
  return -ErrnoOf(status != 0 ? session_.ReasonOf(status) : Reason::kInvalid);
}

}  // namespace cli
