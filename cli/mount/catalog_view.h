// A catalog's folder as a mount shows it, in little memory whatever the
// catalog's size. The view is built from one walk of the catalog: each
// entry gets its file by the rule export follows (FileNamer), and what the
// view keeps of the entries is set aside (spill.h): the entries' records in
// the catalog's order, and the names of the tree in the order of their
// folders, so that the names directly in a folder follow one another. In
// memory stay tags of 8 bytes: an entry by name and type, a file or folder
// by path, and each folder's first name.
//
// The mount's own changes go to a small overlay over what was walked
// (Change); a change the overlay cannot show as the rule would, or one past
// its bound, is refused, and the caller walks the catalog anew.

#ifndef VUVOROZO_CLI_MOUNT_CATALOG_VIEW_H_
#define VUVOROZO_CLI_MOUNT_CATALOG_VIEW_H_

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cli/files/attributes.h"
#include "cli/files/file_names.h"
#include "refhost/store/catalog_store.h"

namespace cli {

// An entry as its catalog's folder shows it.
struct Shown {
  std::string name;  // the entry
  std::string type;
  refhost::EntryInfo info;
  EntryFile as_file;  // the file it makes, by its host attributes
  // The file it is shown as ("." for the catalog's own folder); empty when
  // it is not shown.
  std::string file;
};

// A name directly in a folder of a catalog's tree.
struct TreeName {
  std::string name;
  bool folder = false;
  // A file's entry, or the entry that keeps a folder (none for a folder
  // only the paths below it make).
  std::optional<Shown> entry;
};

class CatalogView {
 public:
  // An entry of the walk: false after the last.
  using NextEntry = std::function<bool(std::string* name, std::string* type,
                                       refhost::EntryInfo* info)>;
  // The view of the entries next gives, in any order; entries whose name or
  // type cannot be part of a file name are the caller's to leave out. A
  // file without a mode kept shows default_mode.
  static std::unique_ptr<CatalogView> Build(const NextEntry& next,
                                            uint32_t default_mode);
  ~CatalogView();
  CatalogView(const CatalogView&) = delete;
  CatalogView& operator=(const CatalogView&) = delete;

  // The entry shown as the file at path.
  std::optional<Shown> FileAt(std::string_view path) const;
  // Whether path is a folder of the tree; *keeper (may be null) receives the
  // entry that keeps it, if one does.
  bool FolderAt(std::string_view path,
                std::optional<Shown>* keeper = nullptr) const;
  // The entry of the catalog's own folder (path "."), if one keeps it.
  const std::optional<Shown>& top() const { return top_; }
  // The entry, shown or not (its file then empty).
  std::optional<Shown> Entry(std::string_view name,
                             std::string_view type) const;
  // Whether anything is in the folder ("" the catalog's own).
  bool Holds(std::string_view folder) const;
  // Files shown whose entries have descriptions; entries shown under a path
  // they do not keep.
  int described() const { return described_; }
  int displaced() const { return displaced_; }
  // Every entry, in the catalog's order (by name, then type).
  void ForEachEntry(const std::function<void(const Shown&)>& each) const;

  // The names directly in a folder, as the view stood when the listing
  // began (later changes do not reach it), in no set order.
  class Listing {
   public:
    Listing(Listing&&) noexcept;
    ~Listing();
    // The next name; false after the last.
    bool Next(TreeName* out);

   private:
    friend class CatalogView;
    struct State;
    explicit Listing(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
  };
  Listing List(std::string_view folder) const;

  // The entry (name, type) is now as now says (nullopt: gone; its file is
  // the view's to give). False when the overlay cannot show it as the rule
  // would over every entry (a path another entry may want, a folder not
  // yet there...) or is full: the view is then stale, and the caller walks
  // the catalog anew.
  bool Change(const std::string& name, const std::string& type,
              std::optional<Shown> now);

  // The overlay's bound, in entries changed.
  static constexpr size_t kOverlayEntries = 512;

 private:
  struct Base;
  // A name of the tree the overlay changed: what it shows now.
  struct Item {
    bool present = false;  // false: nothing (the walked name is gone)
    bool folder = false;
    std::string entry;  // the CatalogOrderKey of its entry; "" none
  };

  CatalogView();
  // The item the overlay has for a path's tree key; null when none.
  const Item* ItemAt(const std::string& tree_key) const;
  // The overlay's entry of an item; none when it keeps none.
  std::optional<Shown> EntryOfItem(const Item& item) const;
  // Whether the overlay changed the walked entry shown.
  bool Superseded(const Shown& shown) const {
    return !entries_.empty() &&
           entries_.count(CatalogOrderKey(shown.name, shown.type)) != 0;
  }

  std::shared_ptr<const Base> base_;
  std::optional<Shown> top_;
  int described_ = 0;
  int displaced_ = 0;
  // The overlay: names of the tree by tree key, entries by CatalogOrderKey
  // (nullopt: gone).
  std::map<std::string, Item> items_;
  std::map<std::string, std::optional<Shown>> entries_;
};

// An entry set aside (the name, type, what the host knows of it and its
// file), and read back; a file without a mode kept shows default_mode.
std::string EncodeShown(const Shown& shown);
Shown DecodeShown(std::string_view bytes, uint32_t default_mode);

// The key of a path in a view's tree: its folder, NUL, its last name; the
// names of one folder then follow one another in byte order.
std::string TreeKey(std::string_view path);

}  // namespace cli

#endif  // VUVOROZO_CLI_MOUNT_CATALOG_VIEW_H_
