#include "cli/mount/nodes.h"

#include <functional>
#include <new>

namespace cli {
namespace {

// The index grows at three quarters full, and starts at this size.
constexpr size_t kFirstIndexSize = 64;
// Names no node keeps are given back once they are this many bytes and
// half the block.
constexpr size_t kWasteToPack = 64 * 1024;

}  // namespace

NodeTable::NodeTable() : index_(kFirstIndexSize, 0) {
  // The root: its id 1 is its index 0 plus one; its lookups never end.
  nodes_.push_back(Node{kNone, 1, 0});
  count_ = 1;
}

uint32_t NodeTable::IndexOf(uint64_t node) const {
  if (node == 0 || node > nodes_.size()) return kNone;
  uint32_t index = static_cast<uint32_t>(node - 1);
  return nodes_[index].lookups == 0 ? kNone : index;
}

std::string_view NodeTable::NameOf(const Node& node) const {
  auto size = static_cast<unsigned char>(names_[node.name]);
  return std::string_view(names_).substr(node.name + 1, size);
}

size_t NodeTable::Hash(uint32_t folder, std::string_view name) const {
  size_t h = std::hash<std::string_view>{}(name) ^ (folder * 0x9E3779B9u);
  return (h ^ (h >> 15)) & (index_.size() - 1);
}

size_t NodeTable::SlotOf(uint32_t folder, std::string_view name) const {
  size_t mask = index_.size() - 1;
  size_t slot = Hash(folder, name);
  while (index_[slot] != 0) {
    const Node& node = nodes_[index_[slot] - 1];
    if (node.folder == folder && NameOf(node) == name) break;
    slot = (slot + 1) & mask;
  }
  return slot;
}

std::string NodeTable::PathOf(uint64_t node) const {
  uint32_t index = IndexOf(node);
  if (index == kNone) return "";
  if (index == 0) return "/";
  // The names from the node up, then joined from the root down.
  std::vector<std::string_view> names;
  size_t length = 0;
  while (index != 0) {
    const Node& n = nodes_[index];
    if (n.folder == kNone || nodes_[n.folder].lookups == 0) return "";
    names.push_back(NameOf(n));
    length += names.back().size() + 1;
    index = n.folder;
  }
  std::string path;
  path.reserve(length);
  for (auto name = names.rbegin(); name != names.rend(); ++name) {
    path += '/';
    path += *name;
  }
  return path;
}

std::string NodeTable::PathIn(uint64_t folder, std::string_view name) const {
  std::string path = PathOf(folder);
  if (path.empty()) return path;
  if (path.size() > 1) path += '/';
  path += name;
  return path;
}

uint64_t NodeTable::Find(uint64_t folder, std::string_view name) const {
  uint32_t f = IndexOf(folder);
  if (f == kNone || name.size() > kLongestName) return 0;
  uint32_t held = index_[SlotOf(f, name)];
  return held;  // the index + 1 is the id
}

uint64_t NodeTable::Remember(uint64_t folder, std::string_view name) {
  uint32_t f = IndexOf(folder);
  if (f == kNone || name.size() > kLongestName) return 0;
  if (uint32_t held = index_[SlotOf(f, name)]; held != 0) {
    Node& node = nodes_[held - 1];
    if (node.lookups != 0xFFFFFFFF) ++node.lookups;  // kept for good then
    return held;
  }
  if ((named_ + 1) * 4 > index_.size() * 3) GrowIndex();
  uint32_t at = static_cast<uint32_t>(names_.size());
  names_ += static_cast<char>(name.size());
  names_ += name;
  uint32_t index;
  if (free_ != kNone) {
    index = free_;
    free_ = nodes_[index].folder;
    nodes_[index] = Node{f, 1, at};
  } else {
    index = static_cast<uint32_t>(nodes_.size());
    nodes_.push_back(Node{f, 1, at});
  }
  ++count_;
  Insert(index);
  return uint64_t{index} + 1;
}

void NodeTable::Insert(uint32_t index) {
  const Node& node = nodes_[index];
  index_[SlotOf(node.folder, NameOf(node))] = index + 1;
  ++named_;
}

void NodeTable::Erase(uint32_t index) {
  Node& node = nodes_[index];
  if (node.folder == kNone) return;  // the root, or a node without a name
  std::string_view name = NameOf(node);
  size_t mask = index_.size() - 1;
  size_t hole = SlotOf(node.folder, name);
  if (index_[hole] != index + 1) return;  // not in the index
  index_[hole] = 0;
  --named_;
  waste_ += name.size() + 1;
  node.folder = kNone;
  // Linear probing: each node after the hole that may no longer be found
  // across it moves into it.
  for (size_t slot = (hole + 1) & mask; index_[slot] != 0;
       slot = (slot + 1) & mask) {
    const Node& moved = nodes_[index_[slot] - 1];
    size_t home = Hash(moved.folder, NameOf(moved));
    bool stays = hole <= slot ? (hole < home && home <= slot)
                              : (hole < home || home <= slot);
    if (stays) continue;
    index_[hole] = index_[slot];
    index_[slot] = 0;
    hole = slot;
  }
  if (waste_ >= kWasteToPack && waste_ * 2 >= names_.size()) PackNames();
}

void NodeTable::GrowIndex() {
  std::vector<uint32_t> old(index_.size() * 2, 0);
  old.swap(index_);
  named_ = 0;
  for (uint32_t held : old) {
    if (held != 0) Insert(held - 1);
  }
}

void NodeTable::PackNames() {
  std::string packed;
  try {
    packed.reserve(names_.size() - waste_);
  } catch (const std::bad_alloc&) {
    return;  // packed at a later removal, when there is room
  }
  for (size_t i = 1; i < nodes_.size(); ++i) {
    Node& node = nodes_[i];
    if (node.lookups == 0 || node.folder == kNone) continue;
    std::string_view name = NameOf(node);
    node.name = static_cast<uint32_t>(packed.size());
    packed += static_cast<char>(name.size());
    packed += name;
  }
  names_.swap(packed);
  waste_ = 0;
}

void NodeTable::Free(uint32_t index) {
  Erase(index);
  nodes_[index] = Node{free_, 0, 0};
  free_ = index;
  --count_;
}

void NodeTable::Forget(uint64_t node, uint64_t count) {
  uint32_t index = IndexOf(node);
  if (index == kNone || index == 0) return;
  Node& n = nodes_[index];
  if (n.lookups == 0xFFFFFFFF) return;  // counted past its end: kept
  if (count < n.lookups) {
    n.lookups -= static_cast<uint32_t>(count);
  } else {
    Free(index);
  }
}

void NodeTable::Unname(uint64_t folder, std::string_view name) {
  if (uint64_t node = Find(folder, name); node != 0) {
    Erase(static_cast<uint32_t>(node - 1));
  }
}

void NodeTable::Rename(uint64_t from_folder, std::string_view from,
                       uint64_t to_folder, std::string_view to) {
  uint64_t moving = Find(from_folder, from);
  uint64_t replaced = Find(to_folder, to);
  if (replaced != 0 && replaced != moving) {
    Erase(static_cast<uint32_t>(replaced - 1));
  }
  if (moving == 0) return;
  auto index = static_cast<uint32_t>(moving - 1);
  Erase(index);
  uint32_t folder = IndexOf(to_folder);
  if (folder == kNone || to.size() > kLongestName) return;  // no name then
  auto at = static_cast<uint32_t>(names_.size());
  names_ += static_cast<char>(to.size());
  names_ += to;
  nodes_[index].folder = folder;
  nodes_[index].name = at;
  Insert(index);
}

}  // namespace cli
