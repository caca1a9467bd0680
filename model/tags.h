// Tags handed to the host: one per OPC DA item, or one per element of an array-valued item.
#pragma once

#include <cstdint>
#include <string>

namespace krelta {

class ArrayNode;
class Node;

constexpr std::uint32_t kNoServerHandle = 0xFFFFFFFF;

class KreltaTag {
 public:
  explicit KreltaTag(std::string name) : name_(std::move(name)) {}
  virtual ~KreltaTag() = default;
  KreltaTag(const KreltaTag&) = delete;
  KreltaTag& operator=(const KreltaTag&) = delete;

  const std::string& Name() const { return name_; }

 private:
  std::string name_;
};

class Tag : public KreltaTag {
 public:
  Tag(Node& node, std::string name, std::string itemId, bool isBatchIdTag);

  virtual std::string GetItemId() const { return itemId_; }
  virtual std::int64_t GetUpdateTime() const { return updateTime_; }
  // Keeps the newer of the stored time and t; returns the time held before.
  virtual std::int64_t SetUpdateTime(std::int64_t t);
  virtual std::uint32_t GetServerHandle() const { return serverHandle_; }
  virtual void SetServerHandle(std::uint32_t handle) { serverHandle_ = handle; }
  virtual bool HasServerHandle() const { return serverHandle_ != kNoServerHandle; }
  virtual bool IsArray() const { return false; }

  Node& GetNode() const { return node_; }
  bool IsBatchIdTag() const { return isBatchIdTag_; }
  const std::string& BatchIdValue() const { return batchIdValue_; }
  void SetBatchIdValue(std::string value) { batchIdValue_ = std::move(value); }

 private:
  Node& node_;
  std::string itemId_;
  std::uint32_t serverHandle_ = kNoServerHandle;
  std::int64_t updateTime_ = 0;
  bool isBatchIdTag_;
  std::string batchIdValue_;
};

// One element of an array item: item, time and server handle are those of its ArrayNode.
class ArrayTag : public Tag {
 public:
  ArrayTag(ArrayNode& node, std::string name, std::uint32_t index, bool isBatchIdTag);

  std::string GetItemId() const override;
  std::int64_t GetUpdateTime() const override;
  std::int64_t SetUpdateTime(std::int64_t t) override;
  std::uint32_t GetServerHandle() const override;
  void SetServerHandle(std::uint32_t handle) override;
  bool HasServerHandle() const override;
  bool IsArray() const override { return true; }
  virtual void SetNodeUpdateTime(std::int64_t t);

  std::uint32_t Index() const { return index_; }
  ArrayNode& GetArrayNode() const { return arrayNode_; }

 private:
  ArrayNode& arrayNode_;
  std::uint32_t index_;
};

}  // namespace krelta
