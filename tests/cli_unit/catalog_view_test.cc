// A catalog's view kept aside must show what the full rule of file names
// gives (NameFiles, as export writes the files): every folder's names,
// each file's entry, the folders' keepers, over hostile names and paths
// and past the bound where the records go to temporary files. Changes
// taken by the overlay must show what a fresh walk would; a listing begun
// before a change goes on as it began.

#include "cli/mount/catalog_view.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "cli/files/file_names.h"
#include "refhost/host/file_attributes.h"

namespace cli {
namespace {

constexpr uint32_t kMode = 0644;

struct TestEntry {
  std::string name;
  std::string type;
  std::string kept;  // the path kept; "" none
  bool folder = false;
  std::string description;
};

using Catalog = std::map<std::pair<std::string, std::string>, TestEntry>;

refhost::EntryInfo InfoOf(const TestEntry& e) {
  refhost::FileAttributes a;
  a.file_name = e.kept;
  a.is_folder = e.folder;
  a.mode = e.folder ? 0755 : 0640;
  if (!e.folder) a.size = static_cast<int64_t>(e.name.size());
  refhost::EntryInfo info;
  info.name = e.name;
  info.type = e.type;
  info.description = e.description;
  info.modified_micros = 1700000000000000;
  info.record_count = 1;
  info.host_attributes = refhost::EncodeFileAttributes(a);
  return info;
}

std::unique_ptr<CatalogView> BuildOf(const Catalog& catalog) {
  auto it = catalog.begin();
  return CatalogView::Build(
      [&](std::string* name, std::string* type, refhost::EntryInfo* info) {
        if (it == catalog.end()) return false;
        *name = it->second.name;
        *type = it->second.type;
        *info = InfoOf(it->second);
        ++it;
        return true;
      },
      kMode);
}

// What a tree shows at a path: a folder or a file, and the entry (NAME.TYPE)
// that keeps it ("" for a folder no entry keeps).
using Tree = std::map<std::string, std::pair<bool, std::string>>;

std::string KeyOf(const Shown& shown) { return shown.name + "." + shown.type; }

// The tree the full rule gives, and its catalog's own folder's entry.
Tree Expected(const Catalog& catalog, std::string* top, int* described,
              int* displaced) {
  std::vector<NamedEntry> named;
  for (const auto& [key, e] : catalog) {
    named.push_back({e.name, e.type, e.kept, e.folder});
  }
  std::vector<FileNaming> naming = NameFiles(named);
  Tree tree;
  for (const std::string& folder : FoldersOf(naming)) {
    tree[folder] = {true, ""};
  }
  top->clear();
  *described = *displaced = 0;
  size_t i = 0;
  for (const auto& [key, e] : catalog) {
    const FileNaming& n = naming[i++];
    if (n.displaced) ++*displaced;
    if (n.file.empty()) continue;
    if (n.file == kTopPath) {
      *top = e.name + "." + e.type;
      continue;
    }
    tree[n.file] = {e.folder, e.name + "." + e.type};
    if (!e.folder && !e.description.empty()) ++*described;
  }
  return tree;
}

// The tree the view shows, folder by folder from the catalog's own.
Tree Shows(const CatalogView& view) {
  Tree tree;
  std::vector<std::string> folders = {""};
  while (!folders.empty()) {
    std::string folder = folders.back();
    folders.pop_back();
    CatalogView::Listing listing = view.List(folder);
    TreeName name;
    std::set<std::string> seen;
    while (listing.Next(&name)) {
      EXPECT_TRUE(seen.insert(name.name).second)
          << "listed twice: " << folder << "/" << name.name;
      std::string path = folder.empty() ? name.name : folder + "/" + name.name;
      tree[path] = {name.folder, name.entry ? KeyOf(*name.entry) : ""};
      if (name.folder) folders.push_back(path);
    }
  }
  return tree;
}

// Everything the view answers agrees with the full rule over catalog.
void ExpectShowsTheRule(const CatalogView& view, const Catalog& catalog) {
  std::string top;
  int described, displaced;
  Tree expected = Expected(catalog, &top, &described, &displaced);
  ASSERT_EQ(Shows(view), expected);
  EXPECT_EQ(view.top() ? KeyOf(*view.top()) : "", top);
  EXPECT_EQ(view.described(), described);
  EXPECT_EQ(view.displaced(), displaced);
  for (const auto& [path, shown] : expected) {
    std::optional<Shown> keeper;
    std::optional<Shown> file = view.FileAt(path);
    EXPECT_EQ(view.FolderAt(path, &keeper), shown.first) << path;
    if (shown.first) {
      EXPECT_FALSE(file) << path;
      EXPECT_EQ(keeper ? KeyOf(*keeper) : "", shown.second) << path;
      EXPECT_EQ(
          view.Holds(path),
          expected.lower_bound(path + "/") != expected.end() &&
              expected.lower_bound(path + "/")->first.rfind(path + "/", 0) == 0)
          << path;
    } else {
      ASSERT_TRUE(file) << path;
      EXPECT_EQ(KeyOf(*file), shown.second);
      EXPECT_EQ(file->file, path);
    }
    EXPECT_FALSE(view.FileAt(path + "/none"));
  }
  EXPECT_EQ(view.Holds(""), !expected.empty());
  // Every entry by its name, with the file it shows as, in the catalog's
  // order.
  std::vector<std::string> order;
  view.ForEachEntry([&](const Shown& s) { order.push_back(KeyOf(s)); });
  std::vector<std::string> wanted;
  for (const auto& [key, e] : catalog) {
    wanted.push_back(e.name + "." + e.type);
    std::optional<Shown> shown = view.Entry(e.name, e.type);
    ASSERT_TRUE(shown) << e.name;
    EXPECT_EQ(shown->as_file.attributes.is_folder, e.folder);
    EXPECT_EQ(shown->info.description, e.description);
  }
  EXPECT_EQ(order, wanted);
  EXPECT_FALSE(view.Entry("NOT THERE", "TXT"));
}

// Hostile parts of names and paths: blanks, UTF-8, newlines, names a
// default name also makes, names too long, paths that are no paths.
const std::vector<std::string> kParts = {
    "a",       "b",       "a b",   "\xc3\xbc",     "x.txt",
    "n\nl",    ".hidden", "c",     "notes",        "#x#",
    "x~2.txt", "y.csv",   "d e f", "\xe2\x82\xac", "t\tab",
    "x",       "..",      "",      "z.txt",        std::string(255, 'L')};

std::string RandomPath(std::mt19937& random) {
  std::string path;
  int depth = 1 + random() % 3;
  for (int i = 0; i < depth; ++i) {
    if (i > 0) path += '/';
    path += kParts[random() % kParts.size()];
  }
  if (random() % 20 == 0) path = "/" + path;
  return path;
}

TestEntry RandomEntry(std::mt19937& random, int i) {
  TestEntry e;
  static const std::vector<std::string> kNames = {"X",   "Y",        "NOTES",
                                                  "A B", "\xc3\x9c", "Z"};
  static const std::vector<std::string> kTypes = {"TXT", "CSV", "HTML", "DATA"};
  e.name = random() % 3 == 0
               ? kNames[random() % kNames.size()] + "~" + std::to_string(i % 7)
               : "E" + std::to_string(i);
  e.folder = random() % 6 == 0;
  e.type = e.folder ? std::string(kFolderType) : kTypes[random() % 4];
  int kind = random() % 10;
  if (kind < 6) {
    e.kept = RandomPath(random);
  } else if (kind < 7 && e.folder) {
    e.kept = std::string(kTopPath);
  }
  if (random() % 4 == 0) e.description = "about " + std::to_string(i);
  return e;
}

TEST(CatalogViewTest, ShowsWhatTheFullRuleGivesOverHostileNames) {
  for (unsigned seed : {1u, 2u, 3u}) {
    std::mt19937 random(seed);
    Catalog catalog;
    // Enough entries that the records go to temporary files.
    for (int i = 0; i < 3000; ++i) {
      TestEntry e = RandomEntry(random, i);
      catalog[{e.name, e.type}] = e;
    }
    // Names no file may carry are the caller's to leave out; the view
    // keeps them unshown should one come.
    TestEntry unsafe{"BAD.NAME", "TXT", "bad.txt", false, ""};
    catalog[{unsafe.name, unsafe.type}] = unsafe;
    std::unique_ptr<CatalogView> view = BuildOf(catalog);
    ExpectShowsTheRule(*view, catalog);
    EXPECT_GT(view->displaced(), 0);
  }
  // An empty catalog shows an empty folder.
  std::unique_ptr<CatalogView> empty = BuildOf({});
  EXPECT_TRUE(Shows(*empty).empty());
  EXPECT_FALSE(empty->Holds(""));
  EXPECT_FALSE(empty->top());
}

// The Shown the mount gives Change for an entry as the catalog has it.
std::optional<Shown> Now(const Catalog& catalog, const std::string& name,
                         const std::string& type) {
  auto it = catalog.find({name, type});
  if (it == catalog.end()) return std::nullopt;
  Shown shown;
  shown.name = name;
  shown.type = type;
  shown.info = InfoOf(it->second);
  shown.as_file = EntryFileOf(shown.info, type, kMode);
  return shown;
}

TEST(CatalogViewTest, ChangesTheOverlayTakesShowAsAFreshWalk) {
  std::mt19937 random(11);
  Catalog catalog;
  // A tidy tree to start with: every entry has the path it keeps.
  for (int i = 0; i < 400; ++i) {
    TestEntry e;
    e.name = "F" + std::to_string(i);
    e.type = "TXT";
    e.kept = "d" + std::to_string(i % 5) + "/f" + std::to_string(i) + ".txt";
    catalog[{e.name, e.type}] = e;
  }
  for (int d = 0; d < 5; ++d) {
    TestEntry f{"D" + std::to_string(d), std::string(kFolderType),
                "d" + std::to_string(d), true, ""};
    catalog[{f.name, f.type}] = f;
  }
  TestEntry top{std::string(kCatalogFolderEntry), std::string(kFolderType),
                std::string(kTopPath), true, ""};
  catalog[{top.name, top.type}] = top;
  std::unique_ptr<CatalogView> view = BuildOf(catalog);
  int taken = 0, walked = 0;
  // First changes that keep every path free, then ones that take another's.
  for (int step = 0; step < 1500; ++step) {
    if (step == 1000) {
      EXPECT_GT(taken, 3 * walked);
      taken = walked = 0;
    }
    auto pick = catalog.begin();
    std::advance(pick, random() % catalog.size());
    TestEntry e = pick->second;
    bool gone = false;
    switch (random() % (step < 1000 ? 8 : 10)) {
      case 0:  // a new file, in a folder there or not, or at the top
        e = TestEntry{"N" + std::to_string(step), "TXT",
                      random() % 2 ? "d" + std::to_string(random() % 7) + "/n" +
                                         std::to_string(step) + ".txt"
                                   : "",
                      false, random() % 2 ? "new" : ""};
        break;
      case 1:  // a file written again, with or without a description
        if (e.folder) continue;
        e.description = random() % 2 ? "" : "step " + std::to_string(step);
        break;
      case 2:  // a file renamed, within its folder or to another
        if (e.folder) continue;
        e.kept = "d" + std::to_string(random() % 5) + "/r" +
                 std::to_string(step) + ".txt";
        break;
      case 3:  // a file removed
        if (e.folder) continue;
        gone = true;
        break;
      case 4:  // a folder's mode or time set: the same path
        if (!e.folder) continue;
        break;
      case 5:  // a new folder, in a folder there or not
        e = TestEntry{"M" + std::to_string(step), std::string(kFolderType),
                      (random() % 2 ? "d" + std::to_string(random() % 5) + "/"
                                    : std::string()) +
                          "m" + std::to_string(step),
                      true, ""};
        break;
      case 6:  // a folder removed, empty or not
        if (!e.folder) continue;
        gone = true;
        break;
      case 7:  // a file written again, in place
        if (e.folder) continue;
        break;
      case 8:  // onto a path another file has
        if (e.folder) continue;
        e.kept =
            std::next(catalog.begin(), random() % catalog.size())->second.kept;
        break;
      case 9: {  // a new file under a path that is a file
        auto file = catalog.begin();
        while (file->second.folder) ++file;
        e = TestEntry{"U" + std::to_string(step), "TXT",
                      file->second.kept + "/under.txt", false, ""};
        break;
      }
    }
    if (gone) {
      catalog.erase({e.name, e.type});
    } else {
      catalog[{e.name, e.type}] = e;
    }
    if (view->Change(e.name, e.type, Now(catalog, e.name, e.type))) {
      ++taken;
    } else {
      view = BuildOf(catalog);
      ++walked;
    }
    if (step % 25 == 0) ExpectShowsTheRule(*view, catalog);
    if (HasFatalFailure()) return;
  }
  ExpectShowsTheRule(*view, catalog);
  EXPECT_GT(walked, 0);
}

TEST(CatalogViewTest, AListingGoesOnAsItBeganAndTheOverlayIsBounded) {
  Catalog catalog;
  for (int i = 0; i < 50; ++i) {
    TestEntry e{"F" + std::to_string(i), "TXT", "", false, ""};
    catalog[{e.name, e.type}] = e;
  }
  std::unique_ptr<CatalogView> view = BuildOf(catalog);
  CatalogView::Listing listing = view->List("");
  TreeName name;
  ASSERT_TRUE(listing.Next(&name));
  std::set<std::string> listed = {name.name};
  // Changes while it is read: a file goes, one comes, one is written again.
  catalog.erase({"F1", "TXT"});
  ASSERT_TRUE(view->Change("F1", "TXT", std::nullopt));
  catalog[{"NEW", "TXT"}] = {"NEW", "TXT", "", false, ""};
  ASSERT_TRUE(view->Change("NEW", "TXT", Now(catalog, "NEW", "TXT")));
  catalog[{"F2", "TXT"}].description = "now described";
  ASSERT_TRUE(view->Change("F2", "TXT", Now(catalog, "F2", "TXT")));
  while (listing.Next(&name)) {
    EXPECT_TRUE(listed.insert(name.name).second) << name.name;
    if (name.name == "f2.txt") {
      EXPECT_EQ(name.entry->info.description, "");
    }
  }
  EXPECT_EQ(listed.size(), 50u);
  EXPECT_EQ(listed.count("f1.txt"), 1u);
  EXPECT_EQ(listed.count("new.txt"), 0u);
  ExpectShowsTheRule(*view, catalog);
  // Past its bound the overlay takes no more: the caller walks anew.
  size_t taken = 0;
  for (size_t i = 0; i < CatalogView::kOverlayEntries + 10; ++i) {
    TestEntry e{"G" + std::to_string(i), "TXT", "", false, ""};
    catalog[{e.name, e.type}] = e;
    if (!view->Change(e.name, e.type, Now(catalog, e.name, e.type))) break;
    ++taken;
  }
  EXPECT_LE(taken, CatalogView::kOverlayEntries);
  EXPECT_GE(taken + 10, CatalogView::kOverlayEntries);
}

}  // namespace
}  // namespace cli
