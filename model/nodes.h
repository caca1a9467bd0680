// Branches of the tree the host walks: the root (named after the server), one node per
// configured branch, and one ArrayNode per array-valued item. Built once when the connection
// opens; only update times, server handles and batch values change afterwards.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "api/value_vector.h"
#include "discovery/opc_url.h"
#include "model/tags.h"
#include "model/tree_context.h"

namespace krelta {

// One requested tag and its position in the host's request.
struct NodeGroupEntry {
  Tag* tag;
  std::uint32_t position;
};

class Node {
 public:
  // A node that holds nothing yet (the root, array nodes).
  Node(TreeContext& context, std::string name, std::string path);
  virtual ~Node() = default;
  Node(const Node&) = delete;
  Node& operator=(const Node&) = delete;

  // A configured branch: fills its tags by browsing or from the tag list file. Failures
  // raised while filling are logged; the node keeps what it gained until then.
  static std::unique_ptr<Node> MakeConfigured(TreeContext& context, std::string name,
                                              std::string path);
  // The root: named after the server of the address, with one configured node per entry.
  static std::unique_ptr<Node> MakeRoot(TreeContext& context, const OPCURL& address,
                                        const std::string& url);

  virtual void ReadCurrentData(ValueMatrix& matrix, const std::vector<NodeGroupEntry>& entries);
  virtual void ReadHistoricalDataEx(ValueMatrix& matrix, const std::vector<NodeGroupEntry>& entries,
                                    std::int64_t start, std::int64_t step, std::uint32_t steps);
  virtual void ReadBatchData(ValueVector& vector, const std::vector<NodeGroupEntry>& entries,
                             const std::string& batch, std::int64_t time);
  // Null: this data source keeps no batches.
  virtual ValueVector* GetActiveBatches(std::int64_t start, std::int64_t end);
  virtual void GetBatchTimes(const std::string& batch, std::int64_t time, std::int64_t* start,
                             std::int64_t* end);
  virtual void WriteHistoricalData(const std::vector<NodeGroupEntry>& entries, std::int64_t start,
                                   std::int64_t step, const std::vector<ValueVector*>& rows);
  virtual void WriteBatchData(const std::vector<NodeGroupEntry>& entries, const std::string& batch,
                              std::int64_t time, const ValueVector& values);
  virtual std::int64_t GetUpdateTime() const;
  virtual std::int64_t SetUpdateTime(std::int64_t t);
  virtual std::uint32_t GetServerHandle() const { return kNoServerHandle; }
  virtual void SetServerHandle(std::uint32_t) {}
  virtual bool HasServerHandle() const { return false; }
  // The server handles of every tag and array item below, this node's own included, become
  // none: they belonged to a session that has ended.
  void ForgetServerHandles();

  const std::string& Name() const { return name_; }
  const std::string& Path() const { return path_; }
  const std::vector<std::unique_ptr<Tag>>& Tags() const { return tags_; }
  const std::vector<std::unique_ptr<Node>>& Nodes() const { return nodes_; }
  TreeContext& Context() const { return context_; }

 protected:
  void AddTag(std::unique_ptr<Tag> tag) { tags_.push_back(std::move(tag)); }
  void AddNode(std::unique_ptr<Node> node) { nodes_.push_back(std::move(node)); }

 private:
  void LoadTags();
  void LoadBrowsedTags();
  void LoadTagListTags();

  TreeContext& context_;
  std::string name_;
  std::string path_;
  std::vector<std::unique_ptr<Tag>> tags_;
  std::vector<std::unique_ptr<Node>> nodes_;
};

// An array-valued item: one ArrayTag per element name; its item ID is the node's path.
class ArrayNode : public Node {
 public:
  ArrayNode(TreeContext& context, std::string name, std::string itemId,
            const std::vector<std::string>& elementNames);

  std::int64_t GetUpdateTime() const override { return updateTime_; }
  std::int64_t SetUpdateTime(std::int64_t t) override;
  std::uint32_t GetServerHandle() const override { return serverHandle_; }
  void SetServerHandle(std::uint32_t handle) override { serverHandle_ = handle; }
  bool HasServerHandle() const override { return serverHandle_ != kNoServerHandle; }

 private:
  std::uint32_t serverHandle_ = kNoServerHandle;
  std::int64_t updateTime_ = 0;
};

// The root's name: the address's name field, else its path up to the first '/'.
std::string RootNodeName(const OPCURL& address);

}  // namespace krelta
