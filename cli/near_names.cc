// Near misses among the store's names, level by level.

#include "cli/near_names.h"

#include <algorithm>

#include "cli/option_text.h"
#include "cli/patterns.h"
#include "cli/report.h"

namespace cli {
namespace {

// The type a name without one stands for.
constexpr char kDefaultType[] = "CATAMS";
// Entries of one name are offered together up to this many.
constexpr size_t kMostOffered = 3;

// An entry as a user types it: lower case, the default type left out.
std::string Typed(const refhost::EntryInfo& entry) {
  std::string text = Lower(entry.name);
  if (entry.type != kDefaultType) text += "." + Lower(entry.type);
  return text;
}

std::vector<std::string> Lowered(const std::vector<std::string>& names) {
  std::vector<std::string> out;
  for (const std::string& name : names) out.push_back(Lower(name));
  return out;
}

// The typed name with its level at index replaced by near, the levels
// after it kept as typed.
std::string WithLevel(const NameLevels& levels, int index,
                      const std::string& near) {
  const std::string* parts[4] = {&levels.libref, &levels.catalog, &levels.entry,
                                 &levels.type};
  std::string text;
  for (int i = 0; i < levels.count; ++i) {
    if (i > 0) text += ".";
    text += i == index ? near : *parts[i];
  }
  return text;
}

// The entries of the catalog the user may have meant by entry[.type].
std::vector<std::string> NearEntries(
    const NameLevels& levels, const std::vector<refhost::EntryInfo>& entries) {
  std::string prefix = levels.libref + "." + levels.catalog + ".";
  std::string name = Upper(levels.entry);
  std::vector<std::string> near;
  auto offer = [&](const refhost::EntryInfo& e) {
    if (near.size() < kMostOffered) near.push_back(prefix + Typed(e));
  };
  // The name is right and the type is not (or was left out).
  for (const refhost::EntryInfo& e : entries) {
    if (Upper(e.name) == name) offer(e);
  }
  if (!near.empty()) return near;
  // A slip in the name and type as typed ("index.htm"), then in the name
  // alone, whatever the type.
  std::vector<std::string> forms;
  for (const refhost::EntryInfo& e : entries) forms.push_back(Typed(e));
  std::string typed =
      levels.entry + (levels.count == 4 ? "." + levels.type : "");
  std::string closest = Closest(typed, forms);
  if (!closest.empty()) return {prefix + closest};
  std::vector<std::string> names;
  for (const refhost::EntryInfo& e : entries) names.push_back(Lower(e.name));
  closest = Closest(levels.entry, names);
  for (const refhost::EntryInfo& e : entries) {
    if (!closest.empty() && Lower(e.name) == closest) offer(e);
  }
  return near;
}

}  // namespace

std::vector<std::string> NearNames(refhost::CatalogStore& store,
                                   std::string_view typed) {
  if (IsPattern(typed)) return {};
  NameLevels levels = SplitLevels(typed);
  if (!refhost::CheckLibref(levels.libref).ok()) return {};
  std::string libref = refhost::LibrefKey(levels.libref);
  if (!store.FindLibrary(libref).ok()) {
    std::vector<std::string> librefs;
    if (!store.ListLibraries(&librefs).ok()) return {};
    std::string closest = Closest(levels.libref, Lowered(librefs));
    if (closest.empty()) return {};
    return {WithLevel(levels, 0, closest)};
  }
  if (levels.count < 2) return {};
  std::string catalog = Upper(levels.catalog);
  if (!refhost::CheckCatalogName(catalog).ok()) return {};
  if (store.FindCatalog(libref, catalog).IsNotFound()) {
    std::vector<refhost::CatalogInfo> catalogs;
    if (!store.ListCatalogs(libref, &catalogs).ok()) return {};
    std::vector<std::string> names;
    for (const refhost::CatalogInfo& c : catalogs) names.push_back(c.name);
    std::string closest = Closest(levels.catalog, Lowered(names));
    if (closest.empty()) return {};
    return {WithLevel(levels, 1, closest)};
  }
  if (levels.count < 3 || levels.entry.empty()) return {};
  std::vector<refhost::EntryInfo> entries;
  if (!store.List(libref, catalog, &entries).ok()) return {};
  std::string name = Upper(levels.entry);
  std::string type = levels.count == 4 ? Upper(levels.type) : kDefaultType;
  bool found = std::any_of(entries.begin(), entries.end(), [&](const auto& e) {
    return Upper(e.name) == name && e.type == type;
  });
  if (found) return {};
  // The levels the user typed go first, in the case typed.
  NameLevels shown = levels;
  shown.libref = Lower(levels.libref);
  shown.catalog = Lower(levels.catalog);
  return NearEntries(shown, entries);
}

std::string DidYouMeanName(refhost::CatalogStore& store,
                           std::string_view typed) {
  std::vector<std::string> near = NearNames(store, typed);
  if (near.empty()) return "";
  std::string text = " Did you mean ";
  for (size_t i = 0; i < near.size(); ++i) {
    if (i > 0) text += i + 1 == near.size() ? " or " : ", ";
    text += "'" + Printable(near[i]) + "'";
  }
  return text + "?";
}

}  // namespace cli
