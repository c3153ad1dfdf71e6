// The names the kernel holds in a mount, each under a node id of its own,
// as libfuse's low-level calls name them: a node is its folder's node and
// its name, so that its path is found by walking up to the root, and a
// rename moves a folder with everything under it. A node lives from the
// first lookup that gives it to the kernel until the kernel forgets every
// lookup of it; a node whose name is gone (removed, or replaced by a
// rename) stays until then, without a path.
//
// The kernel holds a node for every name it has seen (an ls -l of a
// folder of 50,000 files: 50,000 nodes), so a node costs little: three
// numbers, its name in one block of names, and its place in an index.

#ifndef VUVOROZO_CLI_MOUNT_NODES_H_
#define VUVOROZO_CLI_MOUNT_NODES_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace cli {

class NodeTable {
 public:
  // The root folder's node, which is never forgotten.
  static constexpr uint64_t kRoot = 1;
  // The longest name a node keeps (NAME_MAX).
  static constexpr size_t kLongestName = 255;

  NodeTable();

  // "/" for the root, "/a/b" for b in a; empty for a node the table does
  // not know, or whose name (or a folder's above it) is gone.
  std::string PathOf(uint64_t node) const;
  // The path of name in folder; empty when the folder has none.
  std::string PathIn(uint64_t folder, std::string_view name) const;
  // The node of name in folder, or 0.
  uint64_t Find(uint64_t folder, std::string_view name) const;
  // The node of name in folder, made if the kernel knew none, with one
  // lookup more; 0 for a folder the table does not know or a name longer
  // than kLongestName.
  uint64_t Remember(uint64_t folder, std::string_view name);
  // The kernel forgets count lookups of node; at none left it goes.
  void Forget(uint64_t node, uint64_t count);
  // The name is gone; its node stays, without a path, until forgotten.
  void Unname(uint64_t folder, std::string_view name);
  // The node of from in from_folder (if the kernel knows it) takes the
  // name to in to_folder; a node that had that name loses it.
  void Rename(uint64_t from_folder, std::string_view from, uint64_t to_folder,
              std::string_view to);
  // The nodes known, the root's included.
  size_t size() const { return count_; }

 private:
  static constexpr uint32_t kNone = 0xFFFFFFFF;
  struct Node {
    uint32_t folder;   // its folder's index; kNone: no name (or free)
    uint32_t lookups;  // 0: free, its folder the next free node's index
    uint32_t name;     // where its name is in names_: a length byte, bytes
  };

  // The node's index, or kNone for an id that names no live node.
  uint32_t IndexOf(uint64_t node) const;
  std::string_view NameOf(const Node& node) const;
  size_t Hash(uint32_t folder, std::string_view name) const;
  // The slot of the index that holds name in folder, or the empty slot
  // where it would go.
  size_t SlotOf(uint32_t folder, std::string_view name) const;
  void Insert(uint32_t index);
  void Erase(uint32_t index);  // from the index; its name becomes waste
  void GrowIndex();
  // Gives names_ back the room of names no node keeps any more.
  void PackNames();
  void Free(uint32_t index);

  std::vector<Node> nodes_;
  uint32_t free_ = kNone;  // the first free node
  size_t count_ = 0;
  std::string names_;
  size_t waste_ = 0;             // bytes of names_ no node keeps
  std::vector<uint32_t> index_;  // node index + 1 by hash; 0 is empty
  size_t named_ = 0;             // nodes in the index
};

}  // namespace cli

#endif  // VUVOROZO_CLI_MOUNT_NODES_H_
