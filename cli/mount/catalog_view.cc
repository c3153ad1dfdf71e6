// The view of catalog_view.h: what was walked, set aside and tagged, under
// a small overlay of the mount's own changes.

#include "cli/mount/catalog_view.h"

#include <cerrno>

#include "cli/files/file_names.h"
#include "cli/files/spill.h"

namespace cli {
namespace {

// A reference to a record of a RecordSpill (offsets are multiples of 4).
uint32_t ReferenceOf(uint64_t offset) {
  if (offset / 4 > UINT32_MAX) {
    errno = EFBIG;
    throw SpillError("a catalog's view is over 16 GB");
  }
  return static_cast<uint32_t>(offset / 4);
}

uint64_t OffsetOf(uint32_t reference) {
  return static_cast<uint64_t>(reference) * 4;
}

// A name of the tree: its folder and last name, whether it is a folder,
// and its entry (a reference + 1; 0 for none).
struct TreeRecord {
  std::string parent;
  std::string name;
  bool folder = false;
  uint32_t entry = 0;
  std::string Path() const {
    return parent.empty() ? name : parent + "/" + name;
  }
};

std::string TreeValue(bool folder, uint32_t entry) {
  RecordText record;
  record.Put(int64_t{folder}).Put(int64_t{entry});
  return record.bytes();
}

// The folders a bounded memory keeps of those added last, so that the
// folders of a tree are not added once a file.
class RecentFolders {
 public:
  bool Add(std::string_view folder) {
    if (seen_.size() >= 1024) seen_.clear();
    return seen_.emplace(folder).second;
  }

 private:
  std::set<std::string, std::less<>> seen_;
};

Shown ShownOf(std::string_view record, uint32_t default_mode) {
  WalkedEntry e = WalkedOf(record);
  Shown shown;
  shown.as_file = EntryFileOf(e.info, e.type, default_mode);
  shown.name = std::move(e.name);
  shown.type = std::move(e.type);
  shown.info = std::move(e.info);
  shown.file = std::move(e.file);
  return shown;
}

}  // namespace

std::string EncodeShown(const Shown& shown) {
  return WalkedRecord(shown.name, shown.type, shown.info, shown.file,
                      shown.as_file.attributes.is_folder);
}

Shown DecodeShown(std::string_view bytes, uint32_t default_mode) {
  return ShownOf(bytes, default_mode);
}

std::string TreeKey(std::string_view path) {
  std::string key(ParentOf(path));
  key += '\0';
  key.append(BaseName(path));
  return key;
}

struct CatalogView::Base {
  uint32_t default_mode = 0;
  RecordSpill entries;  // WalkedRecords with their files, catalog's order
  RecordSpill tree;     // TreeRecords, by TreeKey
  TagTable by_entry;    // CatalogOrderKey -> entries
  TagTable by_path;     // path -> tree
  TagTable first_name;  // folder's path -> tree: its first name
  mutable std::string scratch;

  Shown EntryAt(uint32_t reference) const {
    entries.Read(OffsetOf(reference), &scratch);
    return ShownOf(scratch);
  }

  Shown ShownOf(std::string_view record) const {
    return cli::ShownOf(record, default_mode);
  }

  static TreeRecord TreeOf(std::string_view bytes) {
    RecordText record(bytes);
    TreeRecord r;
    r.parent = record.Text();
    r.name = record.Text();
    r.folder = record.Number() != 0;
    r.entry = static_cast<uint32_t>(record.Number());
    return r;
  }

  TreeRecord TreeAt(uint32_t reference) const {
    tree.Read(OffsetOf(reference), &scratch);
    return TreeOf(scratch);
  }

  // A stat looks for a path as a folder, then as a file: the last found
  // is kept.
  bool FindPath(std::string_view path, TreeRecord* out) const {
    if (found && path == found_path) {
      *out = found_record;
      return true;
    }
    if (by_path.Find(SpillHash(path), [&](uint32_t reference) {
          *out = TreeAt(reference);
          return out->Path() == path;
        }) == TagTable::kNone) {
      return false;
    }
    found = true;
    found_path = path;
    found_record = *out;
    return true;
  }
  mutable bool found = false;
  mutable std::string found_path;
  mutable TreeRecord found_record;

  // The reference of the folder's first name; false when it has none.
  bool FirstName(std::string_view folder, uint32_t* reference) const {
    size_t slot = first_name.Find(SpillHash(folder), [&](uint32_t r) {
      return TreeAt(r).parent == folder;
    });
    if (slot == TagTable::kNone) return false;
    *reference = first_name.reference(slot);
    return true;
  }

  bool FindEntry(std::string_view key, uint32_t* reference) const {
    size_t slot = by_entry.Find(SpillHash(key), [&](uint32_t r) {
      entries.Read(OffsetOf(r), &scratch);
      RecordText record(scratch);
      std::string_view name = record.Text();
      std::string_view type = record.Text();
      return CatalogOrderKey(name, type) == key;
    });
    if (slot == TagTable::kNone) return false;
    *reference = by_entry.reference(slot);
    return true;
  }
};

CatalogView::CatalogView() = default;
CatalogView::~CatalogView() = default;

std::unique_ptr<CatalogView> CatalogView::Build(const NextEntry& next,
                                                uint32_t default_mode) {
  auto base = std::make_shared<Base>();
  base->default_mode = default_mode;
  std::unique_ptr<CatalogView> view(new CatalogView());
  // The entries in the catalog's order, each with the path it keeps.
  auto walked = std::make_unique<SortedSpill>();
  {
    std::string name, type;
    refhost::EntryInfo info;
    while (next(&name, &type, &info)) {
      refhost::FileAttributes kept;
      refhost::DecodeFileAttributes(info.host_attributes, &kept);
      walked->Add(
          CatalogOrderKey(name, type),
          WalkedRecord(name, type, info, kept.file_name, kept.is_folder));
    }
  }
  walked->Finish();
  // The rule, in its two passes; then each entry with its file, and every
  // name of the tree.
  SortedSpill tree(false, kSpillHeldBytes);
  RecentFolders recent;
  NameWalked(
      *walked, WalkedOf,
      [](const WalkedEntry& e) {
        return NamedEntry{e.name, e.type, e.file, e.folder};
      },
      [&](const WalkedEntry& e, const FileNaming& n) {
        if (n.displaced) ++view->displaced_;
        uint32_t reference = ReferenceOf(base->entries.Append(
            WalkedRecord(e.name, e.type, e.info, n.file, e.folder)));
        if (n.file.empty()) return;
        if (e.folder && n.file == kTopPath) {
          view->top_ = base->EntryAt(reference);
          return;
        }
        tree.Add(TreeKey(n.file), TreeValue(e.folder, reference + 1));
        if (!e.folder && !e.info.description.empty()) ++view->described_;
        ForEachFolderOf(n.file, [&](std::string_view folder) {
          if (recent.Add(folder)) tree.Add(TreeKey(folder), TreeValue(true, 0));
        });
      });
  // The tags once the rule's are gone: the entries', then the paths'.
  size_t count = walked->count();
  walked.reset();
  base->by_entry.Reserve(count);
  {
    RecordSpill::Reader reader(base->entries);
    std::string record;
    while (true) {
      uint64_t offset = reader.offset();
      if (!reader.Next(&record)) break;
      RecordText text(record);
      std::string_view name = text.Text();
      std::string_view type = text.Text();
      base->by_entry.Insert(SpillHash(CatalogOrderKey(name, type)),
                            ReferenceOf(offset));
    }
  }
  base->by_path.Reserve(count);
  tree.Finish();
  // Each name once (a folder the paths pass through comes once a path),
  // with the entry that keeps it when one does.
  {
    SortedSpill::Walk walk(tree);
    std::string_view key, value;
    std::string held_key, last_parent;
    TreeRecord held;
    bool holding = false, any_parent = false;
    auto emit = [&] {
      RecordText record;
      record.Put(held.parent).Put(held.name);
      record.Put(int64_t{held.folder}).Put(int64_t{held.entry});
      uint32_t reference = ReferenceOf(base->tree.Append(record.bytes()));
      base->by_path.Insert(SpillHash(held.Path()), reference);
      if (!any_parent || held.parent != last_parent) {
        base->first_name.Insert(SpillHash(held.parent), reference);
        last_parent = held.parent;
        any_parent = true;
      }
    };
    while (walk.Next(&key, &value)) {
      RecordText v(value);
      bool folder = v.Number() != 0;
      auto entry = static_cast<uint32_t>(v.Number());
      if (holding && key == held_key) {
        if (held.entry == 0) held.entry = entry;
        continue;
      }
      if (holding) emit();
      size_t nul = key.find('\0');
      held_key = key;
      held.parent = key.substr(0, nul);
      held.name = key.substr(nul + 1);
      held.folder = folder;
      held.entry = entry;
      holding = true;
    }
    if (holding) emit();
  }
  view->base_ = std::move(base);
  return view;
}

const CatalogView::Item* CatalogView::ItemAt(
    const std::string& tree_key) const {
  auto it = items_.find(tree_key);
  return it == items_.end() ? nullptr : &it->second;
}

std::optional<Shown> CatalogView::EntryOfItem(const Item& item) const {
  if (item.entry.empty()) return std::nullopt;
  auto it = entries_.find(item.entry);
  return it == entries_.end() ? std::nullopt : it->second;
}

std::optional<Shown> CatalogView::FileAt(std::string_view path) const {
  if (const Item* item = ItemAt(TreeKey(path))) {
    if (!item->present || item->folder) return std::nullopt;
    return EntryOfItem(*item);
  }
  TreeRecord r;
  if (!base_->FindPath(path, &r) || r.folder || r.entry == 0) {
    return std::nullopt;
  }
  Shown shown = base_->EntryAt(r.entry - 1);
  if (Superseded(shown)) return std::nullopt;
  return shown;
}

bool CatalogView::FolderAt(std::string_view path,
                           std::optional<Shown>* keeper) const {
  if (keeper != nullptr) keeper->reset();
  if (const Item* item = ItemAt(TreeKey(path))) {
    if (!item->present || !item->folder) return false;
    if (keeper != nullptr) *keeper = EntryOfItem(*item);
    return true;
  }
  TreeRecord r;
  if (!base_->FindPath(path, &r) || !r.folder) return false;
  if (keeper != nullptr && r.entry != 0) {
    Shown shown = base_->EntryAt(r.entry - 1);
    if (!Superseded(shown)) {
      *keeper = std::move(shown);
    }
  }
  return true;
}

std::optional<Shown> CatalogView::Entry(std::string_view name,
                                        std::string_view type) const {
  std::string key = CatalogOrderKey(name, type);
  auto it = entries_.find(key);
  if (it != entries_.end()) return it->second;
  uint32_t reference;
  if (!base_->FindEntry(key, &reference)) return std::nullopt;
  return base_->EntryAt(reference);
}

bool CatalogView::Holds(std::string_view folder) const {
  std::string prefix(folder);
  prefix += '\0';
  for (auto it = items_.lower_bound(prefix);
       it != items_.end() && it->first.compare(0, prefix.size(), prefix) == 0;
       ++it) {
    if (it->second.present) return true;
  }
  uint32_t first;
  if (!base_->FirstName(folder, &first)) return false;
  RecordSpill::Reader reader(base_->tree, OffsetOf(first));
  std::string record;
  while (reader.Next(&record)) {
    TreeRecord r = Base::TreeOf(record);
    if (r.parent != folder) break;
    // The overlay's names were seen above; a file whose entry changed is
    // shown, if at all, where the overlay says.
    if (ItemAt(TreeKey(r.Path())) != nullptr) continue;
    if (!r.folder && r.entry != 0) {
      Shown shown = base_->EntryAt(r.entry - 1);
      if (Superseded(shown)) continue;
    }
    return true;
  }
  return false;
}

void CatalogView::ForEachEntry(
    const std::function<void(const Shown&)>& each) const {
  auto changed = entries_.begin();
  auto each_changed_before = [&](const std::string* key) {
    while (changed != entries_.end() &&
           (key == nullptr || changed->first < *key)) {
      if (changed->second) each(*changed->second);
      ++changed;
    }
  };
  RecordSpill::Reader reader(base_->entries);
  std::string record;
  while (reader.Next(&record)) {
    Shown shown = base_->ShownOf(record);
    std::string key = CatalogOrderKey(shown.name, shown.type);
    each_changed_before(&key);
    if (changed != entries_.end() && changed->first == key) {
      if (changed->second) each(*changed->second);
      ++changed;
      continue;
    }
    each(shown);
  }
  each_changed_before(nullptr);
}

// ---------------------------------------------------------------------------

struct CatalogView::Listing::State {
  std::shared_ptr<const Base> base;
  std::string folder;
  std::unique_ptr<RecordSpill::Reader> reader;  // the walked names
  bool base_held = false;  // a walked name read and not yet given
  TreeRecord held;
  // The overlay's names in the folder, in order; nullopt: gone.
  std::vector<std::pair<std::string, std::optional<TreeName>>> changed;
  size_t changed_at = 0;
  std::set<std::string> superseded;  // entries the overlay changed
  std::string record;
};

CatalogView::Listing::Listing(std::unique_ptr<State> state)
    : state_(std::move(state)) {}
CatalogView::Listing::Listing(Listing&&) noexcept = default;
CatalogView::Listing::~Listing() = default;

CatalogView::Listing CatalogView::List(std::string_view folder) const {
  auto state = std::make_unique<Listing::State>();
  state->base = base_;
  state->folder = std::string(folder);
  uint32_t first;
  if (base_->FirstName(folder, &first)) {
    state->reader =
        std::make_unique<RecordSpill::Reader>(base_->tree, OffsetOf(first));
  }
  std::string prefix(folder);
  prefix += '\0';
  for (auto it = items_.lower_bound(prefix);
       it != items_.end() && it->first.compare(0, prefix.size(), prefix) == 0;
       ++it) {
    std::string name = it->first.substr(prefix.size());
    std::optional<TreeName> shown;
    if (it->second.present) {
      shown.emplace();
      shown->name = name;
      shown->folder = it->second.folder;
      shown->entry = EntryOfItem(it->second);
    }
    state->changed.emplace_back(std::move(name), std::move(shown));
  }
  for (const auto& [key, entry] : entries_) state->superseded.insert(key);
  return Listing(std::move(state));
}

bool CatalogView::Listing::Next(TreeName* out) {
  State& s = *state_;
  while (true) {
    if (!s.base_held && s.reader && s.reader->Next(&s.record)) {
      s.held = Base::TreeOf(s.record);
      if (s.held.parent == s.folder) {
        s.base_held = true;
      } else {
        s.reader.reset();
      }
    } else if (!s.base_held) {
      s.reader.reset();
    }
    bool more_changed = s.changed_at < s.changed.size();
    if (!s.base_held && !more_changed) return false;
    if (more_changed &&
        (!s.base_held || s.changed[s.changed_at].first <= s.held.name)) {
      auto& [name, shown] = s.changed[s.changed_at++];
      // The overlay's name stands for the walked one of that name.
      if (s.base_held && name == s.held.name) s.base_held = false;
      if (!shown) continue;
      *out = *shown;
      return true;
    }
    s.base_held = false;
    out->name = s.held.name;
    out->folder = s.held.folder;
    out->entry.reset();
    if (s.held.entry != 0) {
      Shown shown = s.base->EntryAt(s.held.entry - 1);
      if (!s.superseded.empty() &&
          s.superseded.count(CatalogOrderKey(shown.name, shown.type)) != 0) {
        if (!s.held.folder) continue;  // shown where the overlay says
      } else {
        out->entry = std::move(shown);
      }
    }
    return true;
  }
}

// ---------------------------------------------------------------------------

bool CatalogView::Change(const std::string& name, const std::string& type,
                         std::optional<Shown> now) {
  if (entries_.size() >= kOverlayEntries) return false;
  std::string key = CatalogOrderKey(name, type);
  std::optional<Shown> old = Entry(name, type);
  auto put = [&](const std::string& path, bool folder) {
    now->file = path;
    items_[TreeKey(path)] = Item{true, folder, key};
    entries_[key] = std::move(now);
  };
  if (old) {
    // An entry not shown, or one whose going may give its path or name
    // to another: the whole rule.
    if (old->file.empty()) return false;
    bool was_folder = old->as_file.attributes.is_folder;
    if (was_folder && old->file == kTopPath) {
      if (!now || !now->as_file.attributes.is_folder ||
          now->as_file.attributes.file_name != kTopPath) {
        return false;
      }
      now->file = std::string(kTopPath);
      top_ = now;
      entries_[key] = std::move(now);
      return true;
    }
    if (was_folder) {
      // A folder that stays where it is keeps every other name where it
      // is; an empty one that goes frees a path nobody wants when no entry
      // was displaced.
      if (now && now->as_file.attributes.is_folder &&
          now->as_file.attributes.file_name == old->file) {
        put(old->file, true);
        return true;
      }
      if (now || displaced_ != 0 || Holds(old->file)) return false;
      items_[TreeKey(old->file)] = Item{};
      entries_[key] = std::nullopt;
      return true;
    }
    items_[TreeKey(old->file)] = Item{};
    entries_[key] = std::nullopt;
    if (!old->info.description.empty()) --described_;
    // Where no entry was displaced, one that goes frees a path no other
    // entry wants; the folders its path passed through stay while the
    // view does.
    if (!now) return displaced_ == 0;
  } else if (!now) {
    return true;
  }
  if (displaced_ != 0) return false;
  const refhost::FileAttributes& a = now->as_file.attributes;
  std::string wanted = a.file_name;
  if (a.is_folder) {
    if (wanted == kTopPath) {
      if (top_) return false;
      now->file = wanted;
      top_ = now;
      entries_[key] = std::move(now);
      return true;
    }
    if (PathProblem(wanted) != Reason::kNone || FileAt(wanted)) return false;
    std::optional<Shown> keeper;
    // A folder only paths below made takes the entry as its keeper.
    if (FolderAt(wanted, &keeper) && keeper) return false;
  } else {
    if (wanted.empty()) wanted = DefaultFileName(name, type);
    if (PathProblem(wanted) != Reason::kNone || FileAt(wanted) ||
        FolderAt(wanted)) {
      return false;
    }
  }
  std::string parent(ParentOf(wanted));
  if (!parent.empty() && !FolderAt(parent)) return false;
  if (!a.is_folder && !now->info.description.empty()) ++described_;
  put(wanted, a.is_folder);
  return true;
}

}  // namespace cli
