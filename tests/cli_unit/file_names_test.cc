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
