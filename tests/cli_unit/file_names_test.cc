// The rule that gives a catalog's entries their files, which export and
// the mount share: kept names first, in the catalog's order, then default
// names, then default names with a suffix; never two entries on one file,
// never an entry left out for a name another has.

#include "cli/files/file_names.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>

namespace cli {
namespace {

// The files NameFiles gives, by NAME.TYPE.
std::map<std::string, std::string> FilesOf(
    const std::vector<NamedEntry>& entries) {
  std::vector<FileNaming> naming = NameFiles(entries);
  std::map<std::string, std::string> files;
  for (size_t i = 0; i < entries.size(); ++i) {
    files[entries[i].name + "." + entries[i].type] = naming[i].file;
  }
  return files;
}

TEST(FileNamesTest, KeptNamesFirstThenDefaultNamesThenSuffixes) {
  // B is a copy of A: both keep a.txt. X came from another catalog and
  // keeps b.txt, B's default name; C has no kept name, D keeps a name that
  // is no file name, and the name of E cannot be part of one.
  std::vector<NamedEntry> entries = {
      {"X", "CATAMS", "b.txt"},    {"B", "CATAMS", "a.txt"},
      {"A", "CATAMS", "a.txt"},    {"C", "CSV", ""},
      {"D", "CATAMS", "../d.txt"}, {"E/F", "CATAMS", "e.txt"},
  };
  std::vector<FileNaming> naming = NameFiles(entries);
  EXPECT_EQ(naming[0].file, "b.txt");
  EXPECT_FALSE(naming[0].displaced);
  // The first by name has the kept name; the other takes its default,
  // which X keeps, and so gets a suffix.
  EXPECT_EQ(naming[2].file, "a.txt");
  EXPECT_EQ(naming[1].file, "b~2.txt");
  EXPECT_TRUE(naming[1].displaced);
  EXPECT_EQ(naming[3].file, "c.csv");
  EXPECT_EQ(naming[4].file, "d.txt");
  EXPECT_EQ(naming[4].refused, Reason::kPathUpward);
  EXPECT_FALSE(naming[4].displaced);
  EXPECT_EQ(naming[5].file, "");
  EXPECT_EQ(naming[5].unsafe, Reason::kNamePartSeparator);

  // Whatever order the walk gives them in, each entry gets the same file.
  std::vector<NamedEntry> reversed(entries.rbegin(), entries.rend());
  EXPECT_EQ(FilesOf(reversed), FilesOf(entries));

  // A is gone: B has the name it keeps, and X still has its own.
  entries.erase(entries.begin() + 2);
  std::map<std::string, std::string> files = FilesOf(entries);
  EXPECT_EQ(files["B.CATAMS"], "a.txt");
  EXPECT_EQ(files["X.CATAMS"], "b.txt");
}

TEST(FileNamesTest, DefaultNamesThatMeetGetSuffixesInTheCatalogsOrder) {
  // A type without an extension of its own exports under its name: TXT
  // meets CATAMS's .txt, and a lower-case entry name meets an upper-case
  // one.
  std::vector<NamedEntry> entries = {
      {"a", "CATAMS", ""}, {"A", "TXT", ""}, {"A", "CATAMS", ""}};
  std::vector<FileNaming> naming = NameFiles(entries);
  EXPECT_EQ(naming[2].file, "a.txt");  // A.CATAMS sorts first
  EXPECT_EQ(naming[1].file, "a~2.txt");
  EXPECT_EQ(naming[0].file, "a~3.txt");
}

// Over many generated catalogs: every entry whose name can be a file's
// gets one, no two the same; an entry that is not displaced has the file
// it wants; and the order of the walk changes nothing.
TEST(FileNamesTest, EveryCatalogGetsDistinctFilesWhateverItsOrder) {
  std::mt19937 random(20240607);
  const std::vector<std::string> names = {"A", "B", "A~2", "a", "NOTE", "N.X"};
  const std::vector<std::string> types = {"CATAMS", "TXT", "CSV", "HTML"};
  const std::vector<std::string> kept = {
      "",      "",        "a.txt",
      "b.txt", "a~2.txt", "note.csv",
      "A.TXT", "x/y",     ".vuvorozo-manifest",
      "x",     "x/y/z"};
  for (int round = 0; round < 500; ++round) {
    std::map<std::pair<std::string, std::string>, NamedEntry> unique;
    int count = 1 + random() % 12;
    for (int i = 0; i < count; ++i) {
      NamedEntry e{names[random() % names.size()],
                   types[random() % types.size()],
                   kept[random() % kept.size()]};
      unique[{e.name, e.type}] = e;
    }
    std::vector<NamedEntry> entries;
    for (const auto& [key, e] : unique) entries.push_back(e);
    std::shuffle(entries.begin(), entries.end(), random);
    std::vector<FileNaming> naming = NameFiles(entries);
    std::set<std::string> files;
    for (size_t i = 0; i < entries.size(); ++i) {
      const NamedEntry& e = entries[i];
      if (e.name.find('.') != std::string::npos) {
        EXPECT_EQ(naming[i].file, "");
        continue;
      }
      ASSERT_NE(naming[i].file, "") << e.name << "." << e.type;
      EXPECT_TRUE(files.insert(naming[i].file).second) << naming[i].file;
    }
    // No file stands where a folder of another's path is.
    for (const std::string& folder : FoldersOf(naming)) {
      EXPECT_EQ(files.count(folder), 0u) << folder;
    }
    for (size_t i = 0; i < entries.size(); ++i) {
      const NamedEntry& e = entries[i];
      if (naming[i].file.empty()) continue;
      if (!naming[i].displaced) {
        bool kept_path =
            !e.kept.empty() && PathProblem(e.kept) == Reason::kNone;
        EXPECT_EQ(naming[i].file,
                  kept_path ? e.kept : DefaultFileName(e.name, e.type));
      }
    }
    std::vector<NamedEntry> again = entries;
    std::shuffle(again.begin(), again.end(), random);
    EXPECT_EQ(FilesOf(again), FilesOf(entries));
  }
}

}  // namespace
}  // namespace cli

namespace cli {
namespace {

// Paths in a tree: a file claims its path and the folders it passes
// through; a path through another's file, or a file where another's folder
// is, is displaced to the default name; folder entries name folders, the
// top record names the catalog's own folder.
TEST(FileNamesTest, PathsClaimTheirFoldersAndNeverMeetAFile) {
  std::vector<NamedEntry> entries = {
      {"A", "CATAMS", "x", false},        // a file named x
      {"B", "CATAMS", "x/b.txt", false},  // through A's file: displaced
      {"C", "CATAMS", "y/c.txt", false},  // claims folder y
      {"D", "CATAMS", "y", false},        // a file where y is: displaced
      {"E", "CATAMS", "y/e", true},       // a folder entry
      {"F", "CATAMS", "y/e", true},       // the same folder again
      {"_CATALOG", "CATAMS", ".", true},  // the catalog's own folder
      {"G", "CATAMS", "z", true},         // an empty folder
      {"H", "CATAMS", "", true},          // a folder without a path
  };
  std::vector<FileNaming> naming = NameFiles(entries);
  EXPECT_EQ(naming[0].file, "x");
  EXPECT_EQ(naming[1].file, "b.txt");
  EXPECT_TRUE(naming[1].displaced);
  EXPECT_EQ(naming[2].file, "y/c.txt");
  EXPECT_EQ(naming[3].file, "d.txt");
  EXPECT_TRUE(naming[3].displaced);
  EXPECT_EQ(naming[4].file, "y/e");
  EXPECT_EQ(naming[5].file, "");
  EXPECT_TRUE(naming[5].displaced);
  EXPECT_EQ(naming[6].file, ".");
  EXPECT_EQ(naming[7].file, "z");
  EXPECT_EQ(naming[8].file, "");
  EXPECT_EQ(FoldersOf(naming), (std::set<std::string>{"y", "y/e", "z"}));
}

// What a path may be: relative, names of 1 to 255 bytes that are not "."
// or "..", 4096 bytes in all, no name of the program's own; any other byte
// goes. Archive members are made paths first.
TEST(FileNamesTest, PathsKeepAnyBytesButStayInsideTheFolder) {
  EXPECT_EQ(PathProblem("a/b c/\x01\n\xff~.txt "), Reason::kNone);
  EXPECT_EQ(PathProblem(std::string(255, 'n')), Reason::kNone);
  EXPECT_EQ(PathProblem(std::string(256, 'n')), Reason::kFileNameTooLong);
  std::string deep;
  while (deep.size() < 4096) deep += "d/";
  EXPECT_EQ(PathProblem(deep + "f"), Reason::kPathTooLong);
  EXPECT_EQ(PathProblem("/etc/passwd"), Reason::kPathAbsolute);
  EXPECT_EQ(PathProblem("a/../b"), Reason::kPathUpward);
  EXPECT_EQ(PathProblem("a//b"), Reason::kFileNameNotPlain);
  EXPECT_EQ(PathProblem("a/./b"), Reason::kFileNameNotPlain);
  EXPECT_EQ(PathProblem("sub/.vuvorozo-manifest"), Reason::kFileNameReserved);
  EXPECT_EQ(PathProblem(".vuvorozo-tmp-1-2"), Reason::kFileNameReserved);
  std::string path;
  EXPECT_EQ(NormalPath("./a//b/", &path), Reason::kNone);
  EXPECT_EQ(path, "a/b");
  EXPECT_EQ(NormalPath("./", &path), Reason::kNone);
  EXPECT_EQ(path, ".");
  EXPECT_EQ(NormalPath("/abs", &path), Reason::kPathAbsolute);
  EXPECT_EQ(NormalPath("a/../../b", &path), Reason::kPathUpward);
  EXPECT_EQ(BaseName("a/b/c.txt"), "c.txt");
  EXPECT_EQ(ParentOf("a/b/c.txt"), "a/b");
  EXPECT_EQ(ParentOf("c.txt"), "");
}

// The entries files become: the one keeping the path, else the name's own
// unless another path has it, else fitted; with exact names a refusal that
// says who has the entry. Each entry goes to one path only.
TEST(FileNamesTest, EntriesGoByPathThenByNameThenFitted) {
  EntryChooser chooser;
  chooser.Hold("NOTES", "CATAMS", "old/notes.txt", false);
  chooser.Hold("MEMO", "CATAMS", "", false);  // written, keeps no path
  FileEntry entry;
  std::string holder;
  EXPECT_EQ(chooser.Choose("old/notes.txt", false, true, &entry, &holder),
            Reason::kNone);
  EXPECT_EQ(entry.Key(), "NOTES.CATAMS");
  EXPECT_TRUE(entry.typed);
  // Another notes.txt: exact names refuse it and say who has the entry.
  EXPECT_EQ(chooser.Choose("new/notes.txt", false, true, &entry, &holder),
            Reason::kNameTaken);
  EXPECT_EQ(holder, "old/notes.txt");
  EXPECT_EQ(chooser.Choose("new/notes.txt", false, false, &entry, &holder),
            Reason::kNone);
  EXPECT_EQ(entry.Key(), "NOTES~2.CATAMS");
  // An entry that keeps no path is the file's of its name.
  EXPECT_EQ(chooser.Choose("memo.txt", false, true, &entry, &holder),
            Reason::kNone);
  EXPECT_EQ(entry.Key(), "MEMO.CATAMS");
  // Folders, and names no entry name holds.
  EXPECT_EQ(chooser.Choose("old", true, false, &entry, &holder), Reason::kNone);
  EXPECT_EQ(entry.Key(), "OLD.CATAMS");
  EXPECT_EQ(chooser.Choose("jquery.min.js", false, false, &entry, &holder),
            Reason::kNone);
  EXPECT_EQ(entry.Key(), "JQUERY_MIN.JS");
  EXPECT_EQ(chooser.Choose("jquery.min.js", false, true, &entry, &holder),
            Reason::kNameHoldsDot);
  // The catalog's own record is never another file's entry.
  EXPECT_EQ(chooser.Choose("_catalog.txt", false, false, &entry, &holder),
            Reason::kNone);
  EXPECT_EQ(entry.Key(), "_CATALOG~2.CATAMS");
  EXPECT_EQ(chooser.Choose(".", true, false, &entry, &holder), Reason::kNone);
  EXPECT_EQ(entry.Key(), "_CATALOG.CATAMS");
}

// Names made unique at the 32-byte limit give up letters for the suffix:
// NAME~2 up to NAME~10 and on always fit, and never take another's entry.
TEST(FileNamesTest, SuffixesAtTheLengthLimitStillFit) {
  EntryChooser chooser;
  std::set<std::string> keys;
  for (int i = 0; i < 12; ++i) {
    FileEntry entry;
    std::string holder;
    // Names of 32 letters and more, one entry name for all of them.
    std::string file = std::string(32 + i, 'n') + ".txt";
    ASSERT_EQ(chooser.Choose("d" + std::to_string(i) + "/" + file, false, false,
                             &entry, &holder),
              Reason::kNone)
        << file;
    EXPECT_LE(entry.name.size(), 32u) << entry.name;
    EXPECT_TRUE(keys.insert(entry.Key()).second) << entry.Key();
    const std::string want =
        i == 0  ? std::string(32, 'N')
        : i < 9 ? std::string(30, 'N') + "~" + std::to_string(i + 1)
                : std::string(29, 'N') + "~" + std::to_string(i + 1);
    EXPECT_EQ(entry.name, want);
  }
  // A catalog name at its limit takes a suffix the same way.
  std::string catalog, keep;
  std::set<std::string> taken = {std::string(32, 'R')};
  ASSERT_EQ(
      CatalogForFolder(std::string(32, 'r'), false, taken, &catalog, &keep),
      Reason::kNone);
  EXPECT_EQ(catalog, std::string(30, 'R') + "~2");
}

// A catalog's folder and back: the folder it keeps, else its name in lower
// case; a folder whose name is no catalog name in lower case is kept.
TEST(FileNamesTest, CatalogFoldersAndCatalogsGoRound) {
  std::string catalog, keep;
  EXPECT_EQ(CatalogForFolder("reports", false, {}, &catalog, &keep),
            Reason::kNone);
  EXPECT_EQ(catalog, "REPORTS");
  EXPECT_EQ(keep, "");
  EXPECT_EQ(FolderOfCatalog(catalog, keep), "reports");
  EXPECT_EQ(CatalogForFolder("My Site.v2", false, {}, &catalog, &keep),
            Reason::kNone);
  EXPECT_EQ(catalog, "MY SITE_V2");
  EXPECT_EQ(FolderOfCatalog(catalog, keep), "My Site.v2");
  EXPECT_EQ(CatalogForFolder("Reports", false, {"REPORTS"}, &catalog, &keep),
            Reason::kNone);
  EXPECT_EQ(catalog, "REPORTS~2");
  EXPECT_EQ(FolderOfCatalog(catalog, keep), "Reports");
  EXPECT_EQ(CatalogForFolder("Reports", true, {"REPORTS"}, &catalog, &keep),
            Reason::kNameTaken);
  // A kept name that is no folder name is not used.
  EXPECT_EQ(FolderOfCatalog("X", "../up"), "x");
}

// The temporary files the mount keeps aside, and dot files it stores.
TEST(FileNamesTest, TemporaryNamesAreKnownAndDotFilesAreFiles) {
  for (const char* name :
       {".notes.txt.Xy12Ab", "notes.txt~", ".notes.txt.swp", ".notes.txt.swo",
        "#notes.txt#", ".#notes.txt", ".~lock.notes.ods#",
        ".goutputstream-ABC123", ".vuvorozo-tmp-12-3"}) {
    EXPECT_TRUE(IsScratchName(name)) << name;
  }
  for (const char* name : {".gitignore", ".htaccess", "notes.txt", ".profile",
                           "a.swp", "~", ".notes.txt.Xy12A!"}) {
    EXPECT_FALSE(IsScratchName(name)) << name;
  }
}

}  // namespace
}  // namespace cli
