// CatalogImport: the entries of one catalog written from a tree.

#include "cli/files/catalog_import.h"

#include "cli/files/attributes.h"
#include "cli/option_text.h"
#include "cli/report.h"
#include "refhost/host/library_services.h"

namespace cli {

using refhost::FileAttributes;

CatalogImport::CatalogImport(Session& session, const ImportSettings& settings,
                             Tally& tally)
    : session_(session), settings_(settings), tally_(tally) {}

CatalogImport::~CatalogImport() {
  if (open_) End();
}

std::string CatalogImport::What(const std::string& path) const {
  return Printable(label_ + (path == kTopPath ? std::string() : path));
}

bool CatalogImport::Begin(const std::string& name, const std::string& label) {
  name_ = name;
  label_ = label;
  // Options were checked before any file was read.
  options_ = std::make_unique<OptionBlock>(session_);
  std::string offending;
  bool cut;
  options_->Parse(*settings_.option_words, &offending, &cut);
  fileref_ = std::make_unique<Fileref>(session_);
  directory_ = std::make_unique<Directory>(session_);
  made_ = std::make_unique<MadeCatalog>(session_, name);
  skipped_at_begin_ = tally_.skipped;
  failed_at_begin_ = tally_.failed;
  written_ = 0;
  if (!AssignName(session_, *fileref_, name, options_.get())) {
    tally_.failed = true;
    return false;
  }
  int32_t st = directory_->Open(*fileref_);
  if (st != 0) {
    session_.Fail(Printable(name), st);
    tally_.failed = true;
    return false;
  }
  open_ = true;
  EntryKey key = KeyOfPath(Upper(name));
  catalog_.libref = key.libref;
  catalog_.catalog = key.catalog;
  std::string entry_name, type;
  refhost::EntryInfo info;
  while ((st = directory_->Next(&entry_name, &type, &info)) == 0) {
    FileAttributes a;
    refhost::DecodeFileAttributes(info.host_attributes, &a);
    chooser_.Hold(entry_name, type, a.file_name, a.is_folder);
    existing_.Put(entry_name + "." + type, info.host_attributes);
  }
  if (st != kStatusEndOfList) {
    session_.Fail(Printable(name), st);
    tally_.failed = true;
    End();
    return false;
  }
  return true;
}

void CatalogImport::AddManifest(
    const std::map<std::string, ManifestLine>& lines,
    const std::string& prefix) {
  for (const auto& [file, line] : lines) {
    if (!line.description.empty()) {
      descriptions_.Put(prefix + file, line.description);
    }
  }
}

bool CatalogImport::Choose(const std::string& path, bool folder,
                           FileEntry* entry) {
  std::string holder;
  Reason reason =
      chooser_.Choose(path, folder, settings_.exact_names, entry, &holder);
  if (reason == Reason::kNone) return true;
  std::string why = TextOf(reason);
  if (reason == Reason::kNameTaken) {
    why = "its entry " + Printable(entry->Key()) + " is another file's" +
          (holder.empty() ? std::string() : ", " + Printable(holder));
  }
  Skipped(What(path), why +
                          " (--exact-names refuses what is not an entry "
                          "name)");
  return false;
}

void CatalogImport::Folder(const std::string& path, const FileFacts& facts,
                           const std::string& keep_folder) {
  FileEntry entry;
  std::string holder;
  if (chooser_.Choose(path, true, false, &entry, &holder) != Reason::kNone) {
    tally_.failed = true;
    PrintError(What(path) +
               ": the folder is not kept: no entry is free "
               "for it");
    return;
  }
  FileAttributes attributes;
  attributes.file_name = path;
  attributes.is_folder = true;
  attributes.folder = keep_folder;
  attributes.mode = facts.mode;
  attributes.modified_ns = facts.modified_ns ? *facts.modified_ns : NowNs();
  std::string old;
  if (settings_.update && existing_.Find(entry.Key(), &old)) {
    FileAttributes was;
    if (refhost::DecodeFileAttributes(old, &was) && was.is_folder &&
        was.file_name == path && was.mode == attributes.mode &&
        was.modified_ns == attributes.modified_ns &&
        was.folder == attributes.folder) {
      return;
    }
  }
  std::string error;
  content_.LoadFrom(
      [](char*, size_t, size_t* got, std::string*) {
        *got = 0;
        return true;
      },
      &error);
  EntryKey key = catalog_;
  key.name = entry.name;
  key.type = entry.type.type;
  if (settings_.gathered != nullptr) settings_.gathered->Before();
  MemberWrite written =
      WriteMember(session_, *directory_, key, entry.Member(), entry.Hint(),
                  content_, settings_.layout, nullptr, &attributes);
  if (!written.done()) {
    tally_.failed = true;
    session_.Fail(What(path) + ": the folder is not kept",
                  written.transfer.status != 0 ? written.transfer.status
                                               : written.status);
    return;
  }
  ++written_;
  if (settings_.delete_gone) touched_.Insert(entry.Key());
  std::string detail = What(path) + "/ -> " + Printable(key.Path());
  if (settings_.gathered != nullptr) {
    settings_.gathered->AddFolder(What(path), detail);
  } else {
    PrintDetail(detail);
  }
}

bool CatalogImport::Unchanged(const std::string& existing,
                              const std::string& path, const FileFacts& facts,
                              int fd, bool* loaded) {
  FileAttributes old;
  if (!refhost::DecodeFileAttributes(existing, &old)) {
    return false;
  }
  // The folder is not compared: the same files imported from a copy of
  // the tree are the same files.
  if (old.file_name != path || old.size != facts.size ||
      old.modified_ns != facts.modified_ns || old.mode != facts.mode) {
    return false;
  }
  if (old.changed_ns == facts.changed_ns && old.inode == facts.inode) {
    return true;
  }
  // The same size and time, yet touched since (or another copy of it): the
  // content decides.
  if (!old.content_hash) return false;
  std::string error;
  FileStamp first;
  first.size = facts.size.value_or(0);
  first.modified_ns = facts.modified_ns.value_or(0);
  first.changed_ns = facts.changed_ns.value_or(0);
  bool stamped = facts.size && facts.modified_ns && facts.changed_ns;
  if (!content_.Load(fd, &error, stamped ? &first : nullptr)) {
    return false;
  }
  *loaded = true;
  refhost::ContentHash hash;
  int64_t total = 0;
  if (!content_.Pass(
          [&](const char* data, size_t length) {
            hash.Add(data, length);
            return true;
          },
          &total, &error)) {
    return false;
  }
  return hash.Value() == *old.content_hash;
}

Outcome CatalogImport::File(
    const std::string& path, const FileFacts& facts, int fd,
    const std::function<bool(Content& content, std::string* error)>& load) {
  std::string what = What(path);
  last_bytes_ = 0;
  last_detail_.clear();
  FileEntry entry;
  if (!Choose(path, false, &entry)) return Outcome::kSkipped;
  std::string old;
  bool loaded = false;
  if (settings_.update && fd >= 0 && existing_.Find(entry.Key(), &old) &&
      Unchanged(old, path, facts, fd, &loaded)) {
    return Outcome::kUnchanged;
  }
  std::string error;
  if (!loaded && !load(content_, &error)) {
    return Skipped(what, content_.changed() ? std::string(kChangedWhileRead)
                                            : "cannot read the file: " + error);
  }
  // A description the tree's manifest gives goes with this member's open,
  // unless the user gave one for all.
  OptionBlock description(session_);
  std::string text;
  if (!settings_.own_description && descriptions_.Find(path, &text)) {
    bool cut = false;
    // The module reads option text up to a NUL byte, so a description
    // ends at its first one: said, never lost unseen.
    if (size_t nul = text.find('\0'); nul != std::string::npos) {
      PrintWarning(what +
                   ": the manifest's description holds a NUL byte, which "
                   "no description can hold; " +
                   (nul == 0 ? "it was not taken" : "it was cut there"));
      text.resize(nul);
    }
    if (description.ParseDescription(text, &cut) != 0) {
      PrintWarning(what + ": the manifest's description was not taken");
    } else if (cut) {
      PrintWarning(what +
                   ": the manifest's description is longer than 256 bytes "
                   "and was cut");
    }
  }
  EntryKey key = catalog_;
  key.name = entry.name;
  key.type = entry.type.type;
  FileAttributes attributes;
  attributes.file_name = path;
  attributes.modified_ns = facts.modified_ns ? *facts.modified_ns : NowNs();
  attributes.mode = facts.mode;
  attributes.changed_ns = facts.changed_ns;
  attributes.inode = facts.inode;
  if (settings_.gathered != nullptr) settings_.gathered->Before();
  MemberWrite written =
      WriteMember(session_, *directory_, key, entry.Member(), entry.Hint(),
                  content_, settings_.layout,
                  description.get() ? &description : nullptr, &attributes);
  const Transfer& transfer = written.transfer;
  if (content_.changed()) return Skipped(what, std::string(kChangedWhileRead));
  if (!written.read_error.empty()) {
    return Skipped(what, "cannot read the file: " + written.read_error);
  }
  if (!written.opened) {
    session_.Fail(what + ": skipped", written.status);
    return Outcome::kSkipped;
  }
  if (transfer.status == 0 && !transfer.whole()) {
    return Skipped(what, transfer.InputProblem());
  }
  if (!written.done()) {
    session_.Fail(what + " -> " + key.Path() + ": skipped",
                  transfer.status != 0 ? transfer.status : written.status);
    return Outcome::kSkipped;
  }
  last_bytes_ = transfer.bytes;
  ++written_;
  if (settings_.delete_gone) touched_.Insert(entry.Key());
  last_detail_ = what + " -> " + Printable(key.Path()) + " (" +
                 std::to_string(transfer.records) +
                 (transfer.records == 1 ? " record)" : " records)");
  WarnTruncated(key.Path(), transfer, written.record_length, true);
  return transfer.truncated != 0 ? Outcome::kTruncated : Outcome::kDone;
}

void CatalogImport::Count(const std::string& path, Outcome outcome) {
  if (settings_.gathered != nullptr) {
    settings_.gathered->Add(What(path), outcome, last_bytes_, last_detail_);
    return;
  }
  if (!last_detail_.empty()) PrintDetail(last_detail_);
  tally_.Add(outcome, last_bytes_);
}

bool CatalogImport::End() {
  if (!open_) return true;
  open_ = false;
  int32_t st = directory_->Close();
  if (st != 0) {
    session_.Fail(Printable(name_), st);
    tally_.failed = true;
  }
  bool failed =
      tally_.skipped != skipped_at_begin_ || tally_.failed != failed_at_begin_;
  if (failed && written_ == 0) made_->RemoveIfMade();
  if (st == 0 && settings_.delete_gone) DeleteGone();
  return st == 0;
}

void CatalogImport::DeleteGone() {
  // The entries gone, by NAME.TYPE.
  SortedSpill gone;
  existing_.ForEach([&](std::string_view key, std::string_view attributes) {
    gone.Add(key, attributes);
  });
  gone.Finish();
  SortedSpill::Walk walk(gone);
  std::string_view key_view, attributes;
  while (walk.Next(&key_view, &attributes)) {
    std::string key(key_view);
    if (touched_.Contains(key)) continue;  // holds a file of the tree now
    FileAttributes kept;
    // Only entries a tree gave (they keep its path) can be gone from it;
    // the catalog's own folder never is.
    if (!refhost::DecodeFileAttributes(std::string(attributes), &kept) ||
        kept.file_name.empty() || kept.file_name == kTopPath ||
        seen_.Contains(kept.file_name)) {
      continue;
    }
    bool unread = false;
    for (const std::string& folder : unread_) {
      unread = unread || folder.empty() ||
               kept.file_name.compare(0, folder.size() + 1, folder + "/") == 0;
    }
    if (unread) continue;
    std::string what = Printable(label_ + kept.file_name);
    EntryKey entry = catalog_;
    entry.name = key.substr(0, key.rfind('.'));
    entry.type = key.substr(key.rfind('.') + 1);
    Fileref fileref(session_);
    if (!AssignName(session_, fileref, entry.Path(), nullptr)) {
      tally_.failed = true;
      continue;
    }
    int32_t st = fileref.Delete();
    if (st != 0) {
      session_.Fail(what + " -> " + Printable(entry.Path()) +
                        ": gone from the tree, but not deleted",
                    st);
      tally_.failed = true;
      continue;
    }
    ++tally_.deleted;
    PrintDetail("deleted " + Printable(entry.Path()) + ": " + what +
                " is gone");
  }
}

}  // namespace cli
