// The mount's table of the names the kernel holds: paths follow renames
// of folders, a removed name leaves its node pathless until forgotten,
// and under a long run of lookups, forgets, renames and removals every
// node is found under its name and no other, as a plain map would say.

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <utility>

#include "cli/mount/nodes.h"

namespace cli {
namespace {

TEST(NodeTableTest, PathsFollowRenamesAndRemovedNamesLeaveNoPath) {
  NodeTable nodes;
  EXPECT_EQ(nodes.PathOf(NodeTable::kRoot), "/");
  uint64_t work = nodes.Remember(NodeTable::kRoot, "work");
  uint64_t cat = nodes.Remember(work, "reports");
  uint64_t file = nodes.Remember(cat, "q1.csv");
  EXPECT_EQ(nodes.PathOf(file), "/work/reports/q1.csv");
  EXPECT_EQ(nodes.PathIn(cat, "q2.csv"), "/work/reports/q2.csv");
  EXPECT_EQ(nodes.Remember(cat, "q1.csv"), file) << "one node a name";

  // A folder renamed takes what is under it along.
  nodes.Rename(work, "reports", NodeTable::kRoot, "old");
  EXPECT_EQ(nodes.PathOf(file), "/old/q1.csv");
  EXPECT_EQ(nodes.Find(work, "reports"), 0u);

  // A rename over a name the kernel holds: that node loses its name but
  // lives until forgotten; the moved node answers to the name.
  uint64_t other = nodes.Remember(cat, "q2.csv");
  nodes.Rename(cat, "q1.csv", cat, "q2.csv");
  EXPECT_EQ(nodes.Find(cat, "q2.csv"), file);
  EXPECT_EQ(nodes.PathOf(other), "");
  EXPECT_EQ(nodes.size(), 5u);
  nodes.Forget(other, 1);
  EXPECT_EQ(nodes.size(), 4u);

  // Removed: no path, until the kernel forgets its two lookups.
  nodes.Unname(cat, "q2.csv");
  EXPECT_EQ(nodes.PathOf(file), "");
  EXPECT_EQ(nodes.Find(cat, "q2.csv"), 0u);
  nodes.Forget(file, 1);
  EXPECT_EQ(nodes.size(), 4u) << "one lookup of two forgotten";
  nodes.Forget(file, 5);
  EXPECT_EQ(nodes.size(), 3u);
  EXPECT_EQ(nodes.PathOf(file), "") << "an id forgotten names nothing";

  // The root is never forgotten; a name no node may keep is refused.
  nodes.Forget(NodeTable::kRoot, 1);
  EXPECT_EQ(nodes.PathOf(NodeTable::kRoot), "/");
  EXPECT_EQ(nodes.Remember(cat, std::string(256, 'x')), 0u);
  EXPECT_EQ(nodes.Remember(12345, "x"), 0u);
}

// A model of the table in plain maps: every named node by its folder and
// name, and each live node's lookups.
TEST(NodeTableTest, AgreesWithAPlainMapThroughManyChanges) {
  NodeTable nodes;
  std::map<std::pair<uint64_t, std::string>, uint64_t> named;
  std::map<uint64_t, uint64_t> lookups;
  std::map<uint64_t, std::pair<uint64_t, std::string>> name_of;
  std::mt19937 random(7);
  // Folders: the root and ten more under it, never forgotten here.
  std::vector<uint64_t> folders = {NodeTable::kRoot};
  for (int i = 0; i < 10; ++i) {
    std::string name = "folder" + std::to_string(i);
    uint64_t f = nodes.Remember(NodeTable::kRoot, name);
    named[{NodeTable::kRoot, name}] = f;
    name_of[f] = {NodeTable::kRoot, name};
    folders.push_back(f);
  }
  auto some_name = [&] {
    // Short names and names past the inline size of a string alike.
    std::string name = "n" + std::to_string(random() % 3000);
    if (random() % 4 == 0) name += std::string(20 + random() % 200, 'y');
    return name;
  };
  auto unname = [&](uint64_t node) {
    auto it = name_of.find(node);
    if (it == name_of.end()) return;
    named.erase(it->second);
    name_of.erase(it);
  };
  for (int step = 0; step < 300000; ++step) {
    uint64_t folder = folders[1 + random() % 10];
    std::string name = some_name();
    switch (random() % 5) {
      case 0:
      case 1: {
        uint64_t node = nodes.Remember(folder, name);
        ASSERT_NE(node, 0u);
        auto it = named.find({folder, name});
        if (it != named.end()) {
          ASSERT_EQ(node, it->second) << name;
        } else {
          ASSERT_EQ(lookups.count(node), 0u) << "a live id given twice";
          named[{folder, name}] = node;
          name_of[node] = {folder, name};
        }
        ++lookups[node];
        break;
      }
      case 2: {
        if (lookups.empty()) break;
        auto it = lookups.lower_bound(random() % (lookups.rbegin()->first + 1));
        if (it == lookups.end()) break;
        uint64_t node = it->first, count = 1 + random() % 2;
        nodes.Forget(node, count);
        if (count >= it->second) {
          unname(node);
          lookups.erase(it);
        } else {
          it->second -= count;
        }
        break;
      }
      case 3: {
        nodes.Unname(folder, name);
        auto it = named.find({folder, name});
        if (it != named.end()) unname(it->second);
        break;
      }
      case 4: {
        uint64_t to_folder = folders[1 + random() % 10];
        std::string to = some_name();
        nodes.Rename(folder, name, to_folder, to);
        auto moving = named.find({folder, name});
        auto replaced = named.find({to_folder, to});
        uint64_t m = moving == named.end() ? 0 : moving->second;
        if (replaced != named.end() && replaced->second != m) {
          unname(replaced->second);
        }
        if (m != 0) {
          unname(m);
          named[{to_folder, to}] = m;
          name_of[m] = {to_folder, to};
        }
        break;
      }
    }
    if (step % 25000 == 0 || step == 299999) {
      ASSERT_EQ(nodes.size(), lookups.size() + 11) << step;
      for (const auto& [key, node] : named) {
        ASSERT_EQ(nodes.Find(key.first, key.second), node) << key.second;
        ASSERT_EQ(nodes.PathOf(node), nodes.PathIn(key.first, key.second));
      }
      for (const auto& [node, count] : lookups) {
        if (name_of.count(node) == 0) {
          ASSERT_EQ(nodes.PathOf(node), "");
        }
      }
    }
  }
}

}  // namespace
}  // namespace cli
