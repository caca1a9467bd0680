// The branches of a server's address space as the node selection dialog shows them: numbered
// nodes (the top node carries all bits set, the others 1, 2, 3, ... in creation order) with a
// record each. Portable.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace krelta {

struct BrowseRecord {
  bool checked = false;
  std::string name;    // UTF-8
  std::string itemId;  // UTF-8
};

struct BrowseNode {
  std::uint64_t number = 0;
  std::uint32_t level = 0;
  BrowseRecord record;
  BrowseNode* parent = nullptr;
  std::vector<BrowseNode*> children;
};

class BrowseTree {
 public:
  static constexpr std::uint64_t kTopNumber = ~std::uint64_t{0};

  // The top node "root"/"root" at level 1.
  BrowseNode& AddTop();
  BrowseNode& Add(BrowseNode& parent, std::uint64_t number, BrowseRecord record);

  BrowseNode* Top() const { return top_; }
  const std::map<std::uint64_t, std::unique_ptr<BrowseNode>>& Nodes() const { return nodes_; }

 private:
  std::map<std::uint64_t, std::unique_ptr<BrowseNode>> nodes_;
  BrowseNode* top_ = nullptr;
};

inline BrowseNode& BrowseTree::AddTop() {
  auto node = std::make_unique<BrowseNode>();
  node->number = kTopNumber;
  node->level = 1;
  node->record.name = "root";
  node->record.itemId = "root";
  top_ = node.get();
  nodes_[kTopNumber] = std::move(node);
  return *top_;
}

inline BrowseNode& BrowseTree::Add(BrowseNode& parent, std::uint64_t number, BrowseRecord record) {
  auto node = std::make_unique<BrowseNode>();
  node->number = number;
  node->level = parent.level + 1;
  node->record = std::move(record);
  node->parent = &parent;
  BrowseNode& added = *node;
  parent.children.push_back(&added);
  nodes_[number] = std::move(node);
  return added;
}

}  // namespace krelta
