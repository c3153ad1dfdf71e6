// What a command sets aside instead of holding: records read back whole
// from memory and from the temporary file alike, sets and maps whose
// strings are checked exactly on a tag's match, records sorted past the
// memory bound as within it; and the compact naming of a catalog, which
// must give every entry the file the full rule gives it.

#include "cli/files/spill.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <map>
#include <random>
#include <set>

#include "cli/files/file_names.h"

namespace cli {
namespace {

TEST(SpillTest, RecordsReadBackWholeFromMemoryAndFile) {
  // A bound of 64 bytes: most records go to the temporary file, the last
  // stay in memory, one is larger than a read block.
  RecordSpill spill(64);
  std::vector<std::string> records = {"", "a", std::string(1, '\0'),
                                      std::string(40000, 'x')};
  for (int i = 0; i < 500; ++i)
    records.push_back("record " + std::to_string(i));
  std::vector<uint64_t> offsets;
  for (const std::string& r : records) offsets.push_back(spill.Append(r));
  std::string got;
  for (size_t i = records.size(); i-- > 0;) {
    spill.Read(offsets[i], &got);
    EXPECT_EQ(got, records[i]) << i;
  }
  RecordSpill::Reader reader(spill);
  size_t i = 0;
  while (reader.Next(&got)) {
    ASSERT_LT(i, records.size());
    EXPECT_EQ(got, records[i++]);
  }
  EXPECT_EQ(i, records.size());
  // A reader from a record's offset reads on from it, in the file and in
  // memory.
  for (size_t from : {size_t{3}, size_t{200}, records.size() - 1}) {
    RecordSpill::Reader from_there(spill, offsets[from]);
    for (size_t k = from; k < records.size(); ++k) {
      ASSERT_TRUE(from_there.Next(&got));
      EXPECT_EQ(got, records[k]);
    }
    EXPECT_FALSE(from_there.Next(&got));
  }
}

TEST(SpillTest, SetsAndMapsCompareTheStringsNotTheTags) {
  SpillSet set(32);
  SpillMap map(32);
  std::set<std::string> model;
  std::map<std::string, std::string> model_map;
  std::mt19937 random(7);
  for (int i = 0; i < 20000; ++i) {
    std::string key = "k" + std::to_string(random() % 5000);
    if (random() % 5 == 0) {
      EXPECT_EQ(set.Erase(key), model.erase(key) == 1);
      EXPECT_EQ(map.Erase(key), model_map.erase(key) == 1);
    } else {
      EXPECT_EQ(set.Insert(key), model.insert(key).second);
      map.Put(key, key + "=" + std::to_string(i));
      model_map[key] = key + "=" + std::to_string(i);
    }
  }
  EXPECT_EQ(set.size(), model.size());
  EXPECT_EQ(map.size(), model_map.size());
  for (int k = 0; k < 5000; ++k) {
    std::string key = "k" + std::to_string(k);
    EXPECT_EQ(set.Contains(key), model.count(key) == 1) << key;
    std::string value;
    bool found = map.Find(key, &value);
    EXPECT_EQ(found, model_map.count(key) == 1) << key;
    if (found) {
      EXPECT_EQ(value, model_map[key]);
    }
  }
  std::map<std::string, std::string> walked;
  map.ForEach([&](std::string_view key, std::string_view value) {
    EXPECT_TRUE(walked.emplace(key, value).second) << key;
  });
  EXPECT_EQ(walked, model_map);
}

TEST(SpillTest, SortedPastTheBoundAsWithinItAndStableAmongEquals) {
  // Records in any order, and records given in their order already (as a
  // listing gives them), equal keys among them.
  for (size_t bound : {size_t{1} << 20, size_t{100}}) {
    for (bool descending : {false, true}) {
      for (bool in_order : {false, true}) {
        SortedSpill sorted(descending, bound);
        std::vector<std::pair<std::string, std::string>> model;
        std::mt19937 random(11);
        auto before = [&](const auto& a, const auto& b) {
          return descending ? b.first < a.first : a.first < b.first;
        };
        for (int i = 0; i < 3000; ++i) {
          std::string key(random() % 4, 'a');
          for (char& c : key) c = static_cast<char>('a' + random() % 3);
          if (random() % 7 == 0) key += std::string(1, '\0');
          model.emplace_back(key, std::to_string(i));
        }
        if (in_order) std::stable_sort(model.begin(), model.end(), before);
        for (const auto& [key, value] : model) sorted.Add(key, value);
        sorted.Finish();
        std::stable_sort(model.begin(), model.end(), before);
        for (int pass = 0; pass < 2; ++pass) {
          SortedSpill::Walk walk(sorted);
          std::string_view key, value;
          size_t i = 0;
          while (walk.Next(&key, &value)) {
            ASSERT_LT(i, model.size());
            EXPECT_EQ(key, model[i].first);
            EXPECT_EQ(value, model[i].second)
                << bound << " " << descending << " " << in_order;
            ++i;
          }
          EXPECT_EQ(i, model.size());
        }
      }
    }
  }
}

TEST(SpillTest, NumbersReadBackAsPut) {
  const int64_t numbers[] = {0,
                             1,
                             -1,
                             63,
                             -64,
                             64,
                             127,
                             128,
                             -1700000000000000,
                             int64_t{1} << 40,
                             std::numeric_limits<int64_t>::max(),
                             std::numeric_limits<int64_t>::min()};
  RecordText put;
  for (int64_t n : numbers) put.Put(n).Put(std::string_view("x\0y", 3));
  RecordText read(put.bytes());
  for (int64_t n : numbers) {
    EXPECT_EQ(read.Number(), n);
    EXPECT_EQ(read.Text(), std::string_view("x\0y", 3));
  }
}

// The compact rule against the full one: each generated catalog is named
// by NameFiles, then by FileNamer over its entries in the catalog's order,
// and every entry must get the same naming.
void ExpectSameNaming(const std::vector<NamedEntry>& entries) {
  std::vector<FileNaming> full = NameFiles(entries);
  std::vector<size_t> order(entries.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    return CatalogOrderKey(entries[a].name, entries[a].type) <
           CatalogOrderKey(entries[b].name, entries[b].type);
  });
  FileNamer namer;
  std::vector<FileNaming> compact(entries.size());
  for (size_t i : order) compact[i] = namer.Claim(entries[i]);
  for (size_t i : order) namer.Name(entries[i], &compact[i]);
  for (size_t i = 0; i < entries.size(); ++i) {
    std::string what =
        entries[i].name + "." + entries[i].type + " keeping " + entries[i].kept;
    EXPECT_EQ(compact[i].file, full[i].file) << what;
    EXPECT_EQ(compact[i].folder, full[i].folder) << what;
    EXPECT_EQ(compact[i].unsafe, full[i].unsafe) << what;
    EXPECT_EQ(compact[i].refused, full[i].refused) << what;
    EXPECT_EQ(compact[i].displaced, full[i].displaced) << what;
  }
}

TEST(SpillTest, CompactNamingNamesEveryEntryAsTheFullRule) {
  // Hostile names: a name that starts another ("A" and "A B", "A" and
  // "A\0"), NUL and separators in names, kept paths that meet default
  // names, folders, files under files, the top twice, paths that are no
  // paths, and suffixes meeting kept paths.
  const std::vector<std::string> names = {
      "A",    "A B",      "A~2",  "a",
      "B",    "N.X",      "A/B",  std::string("A\0", 2),
      "NOTE", "_CATALOG", "\xff", "x",
      "X~2"};
  const std::vector<std::string> types = {"CATAMS", "TXT", "CSV",
                                          "",       "A.B", "HTML"};
  const std::vector<std::string> kept = {"",
                                         "",
                                         "a.txt",
                                         "a~2.txt",
                                         "a~3.txt",
                                         "b.txt",
                                         "x",
                                         "x/y",
                                         "x/y/z",
                                         "x/a.txt",
                                         ".",
                                         "../up",
                                         "/abs",
                                         "a.txt/b",
                                         "note.csv",
                                         "y/",
                                         ".vuvorozo-manifest",
                                         "x~2.txt",
                                         "a"};
  std::mt19937 random(20250101);
  for (int round = 0; round < 3000; ++round) {
    std::map<std::pair<std::string, std::string>, NamedEntry> unique;
    int count = 1 + random() % 16;
    for (int i = 0; i < count; ++i) {
      NamedEntry e{names[random() % names.size()],
                   types[random() % types.size()], kept[random() % kept.size()],
                   random() % 4 == 0};
      unique[{e.name, e.type}] = e;
    }
    std::vector<NamedEntry> entries;
    for (const auto& [key, e] : unique) entries.push_back(e);
    std::shuffle(entries.begin(), entries.end(), random);
    ExpectSameNaming(entries);
  }
  // A catalog larger than what the sets hold in memory.
  std::vector<NamedEntry> many;
  for (int i = 0; i < 20000; ++i) {
    std::string n = std::to_string(i % 7000);
    many.push_back({"N" + std::to_string(i), i % 3 == 0 ? "TXT" : "CATAMS",
                    i % 2 == 0 ? "d" + n.substr(0, 1) + "/n" + n + ".txt" : "",
                    false});
  }
  ExpectSameNaming(many);
  // Out of the catalog's order is the caller's fault, and said.
  FileNamer namer;
  namer.Claim({"B", "CATAMS", "", false});
  EXPECT_THROW(namer.Claim({"A", "CATAMS", "", false}), std::logic_error);
}

}  // namespace
}  // namespace cli
