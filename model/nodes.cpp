#include "model/nodes.h"

#include <algorithm>
#include <ctime>

#include "config/array_nodes.h"
#include "config/connection_settings.h"
#include "config/tag_list_file.h"
#include "log/log_file.h"
#include "util/exception.h"
#include "util/format.h"

namespace krelta {
namespace {

bool IsBatchIdName(const std::string& batchId, const std::string& name) {
  return !batchId.empty() && name.find(batchId) != std::string::npos;
}

void LogNotImplemented(TreeContext& context, const char* operation) {
  LogFile& log = context.Log();
  if (log.Enabled(kLogDebug)) {
    log.Write(kLogDebug, Format("%1% was called, but is not implemented", operation));
  }
}

}  // namespace

std::string RootNodeName(const OPCURL& address) {
  if (!address.GetName().empty()) return address.GetName();
  const std::string& path = address.GetPath();
  return path.substr(0, path.find('/'));
}

Node::Node(TreeContext& context, std::string name, std::string path)
    : context_(context), name_(std::move(name)), path_(std::move(path)) {}

std::unique_ptr<Node> Node::MakeConfigured(TreeContext& context, std::string name,
                                           std::string path) {
  auto node = std::make_unique<Node>(context, std::move(name), std::move(path));
  try {
    node->LoadTags();
  } catch (const UnansweredListing&) {
    throw;  // the tree would silently lack the node's tags: the open fails
  } catch (const Exception& e) {
    context.Log().Write(kLogError, Format("krelta2_connectionOpen:Node: Operation Load Tags failed (%1%).",
                                          e.message()));
  }
  return node;
}

std::unique_ptr<Node> Node::MakeRoot(TreeContext& context, const OPCURL& address,
                                     const std::string& url) {
  auto root = std::make_unique<Node>(context, RootNodeName(address), url);
  for (const NodeEntry& entry : context.Settings().Nodes()) {
    root->AddNode(MakeConfigured(context, entry.name, entry.path));
  }
  return root;
}

void Node::LoadTags() {
  if (context_.Settings().BrowseSupported()) {
    LoadBrowsedTags();
  } else {
    LoadTagListTags();
  }
}

void Node::LoadBrowsedTags() {
  const ConnectionSettings& settings = context_.Settings();
  const std::string& batchId = settings.BatchId();
  for (BrowsedItem& item : context_.GetItems(name_, path_)) {
    if (!batchId.empty()) {
      const bool isBatchId = IsBatchIdName(batchId, item.name);
      AddTag(std::make_unique<Tag>(*this, std::move(item.name), std::move(item.itemId), isBatchId));
      continue;
    }
    const std::vector<std::string> elements = FindArrayNames(settings.ArrayNodes(), item.itemId);
    if (!elements.empty()) {
      AddNode(std::make_unique<ArrayNode>(context_, std::move(item.name), std::move(item.itemId),
                                          elements));
    } else {
      AddTag(std::make_unique<Tag>(*this, std::move(item.name), std::move(item.itemId), false));
    }
  }
}

void Node::LoadTagListTags() {
  for (TagListEntry& entry : LoadTagListFile(context_.Settings().Delimiter(), context_.Log())) {
    AddTag(std::make_unique<Tag>(*this, std::move(entry.name), std::move(entry.itemId), false));
  }
}

void Node::ReadCurrentData(ValueMatrix& matrix, const std::vector<NodeGroupEntry>& entries) {
  context_.ReadCurrentData(matrix, entries);
}

void Node::ReadHistoricalDataEx(ValueMatrix&, const std::vector<NodeGroupEntry>&, std::int64_t,
                                std::int64_t, std::uint32_t) {
  LogNotImplemented(context_, "ReadHistoricalDataEx");
}

void Node::ReadBatchData(ValueVector&, const std::vector<NodeGroupEntry>&, const std::string&,
                         std::int64_t) {}

ValueVector* Node::GetActiveBatches(std::int64_t, std::int64_t) {
  LogNotImplemented(context_, "GetActiveBatches");
  return nullptr;
}

void Node::GetBatchTimes(const std::string&, std::int64_t, std::int64_t*, std::int64_t*) {
  LogNotImplemented(context_, "GetBatchTimes");
}

void Node::WriteHistoricalData(const std::vector<NodeGroupEntry>& entries, std::int64_t start,
                               std::int64_t step, const std::vector<ValueVector*>& rows) {
  // Whole milliseconds of the step, truncated.
  const auto stepMilliseconds = static_cast<std::int64_t>(static_cast<double>(step) * 1000.0);
  context_.WriteData(entries, start, stepMilliseconds, rows);
}

void Node::WriteBatchData(const std::vector<NodeGroupEntry>&, const std::string&, std::int64_t,
                          const ValueVector&) {
  LogNotImplemented(context_, "WriteBatchData");
}

std::int64_t Node::GetUpdateTime() const { return static_cast<std::int64_t>(std::time(nullptr)); }

std::int64_t Node::SetUpdateTime(std::int64_t) { return 0; }

ArrayNode::ArrayNode(TreeContext& context, std::string name, std::string itemId,
                     const std::vector<std::string>& elementNames)
    : Node(context, std::move(name), std::move(itemId)) {
  const std::string& batchId = context.Settings().BatchId();
  for (std::size_t i = 0; i < elementNames.size(); ++i) {
    AddTag(std::make_unique<ArrayTag>(*this, elementNames[i], static_cast<std::uint32_t>(i),
                                      IsBatchIdName(batchId, elementNames[i])));
  }
  context.Log().Write(kLogInformation,
                      Format("Added array node %1% with %2% tags.", Path(), elementNames.size()));
}

std::int64_t ArrayNode::SetUpdateTime(std::int64_t t) {
  const std::int64_t previous = updateTime_;
  updateTime_ = std::max(updateTime_, t);
  return previous;
}

void Node::ForgetServerHandles() {
  SetServerHandle(kNoServerHandle);
  for (const std::unique_ptr<Tag>& tag : tags_) tag->SetServerHandle(kNoServerHandle);
  for (const std::unique_ptr<Node>& node : nodes_) node->ForgetServerHandles();
}

}  // namespace krelta
