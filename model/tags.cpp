#include "model/tags.h"

#include <algorithm>

#include "model/nodes.h"

namespace krelta {

Tag::Tag(Node& node, std::string name, std::string itemId, bool isBatchIdTag)
    : KreltaTag(std::move(name)), node_(node), itemId_(std::move(itemId)),
      isBatchIdTag_(isBatchIdTag) {}

std::int64_t Tag::SetUpdateTime(std::int64_t t) {
  const std::int64_t previous = updateTime_;
  updateTime_ = std::max(updateTime_, t);
  return previous;
}

ArrayTag::ArrayTag(ArrayNode& node, std::string name, std::uint32_t index, bool isBatchIdTag)
    : Tag(node, std::move(name), std::string(), isBatchIdTag), arrayNode_(node), index_(index) {}

std::string ArrayTag::GetItemId() const { return arrayNode_.Path(); }
std::int64_t ArrayTag::GetUpdateTime() const { return arrayNode_.GetUpdateTime(); }
std::int64_t ArrayTag::SetUpdateTime(std::int64_t t) { return arrayNode_.SetUpdateTime(t); }
std::uint32_t ArrayTag::GetServerHandle() const { return arrayNode_.GetServerHandle(); }
void ArrayTag::SetServerHandle(std::uint32_t handle) { arrayNode_.SetServerHandle(handle); }
bool ArrayTag::HasServerHandle() const { return arrayNode_.HasServerHandle(); }
void ArrayTag::SetNodeUpdateTime(std::int64_t t) { arrayNode_.SetUpdateTime(t); }

}  // namespace krelta
