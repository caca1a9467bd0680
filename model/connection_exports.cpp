// The connection's lifecycle and the accessors of its node and tag tree. Arguments are tested
// first (status 2, nothing logged, outputs untouched).
#include <ctime>

#include "api/frame.h"
#include "api/krelta2.h"
#include "api/update_configuration.h"
#include "model/model_handles.h"

using krelta::Connection;
using krelta::KreltaTag;
using krelta::Node;
using krelta::Tag;
using krelta::api::Unwrap;
using krelta::api::Wrap;

namespace {

template <typename Item>
krelta2_status Pick(const std::vector<std::unique_ptr<Item>>& items, uint32_t index, Item** out) {
  if (index >= items.size()) return KRELTA2_INVALID_ARGUMENT;
  *out = items[index].get();
  return KRELTA2_OK;
}

uint32_t Count(std::size_t size) { return static_cast<uint32_t>(size); }

}  // namespace

extern "C" {

krelta2_status krelta2_connectionOpen(const char* connectionString, krelta2_connection* connection) {
  if (connectionString == nullptr || connection == nullptr) return KRELTA2_INVALID_ARGUMENT;
  return krelta::api::GuardLogged("krelta2_connectionOpen", [&] {
    auto opened = std::make_unique<Connection>(connectionString);
    *connection = Wrap(opened.release());
  });
}

krelta2_status krelta2_connectionClose(krelta2_connection connection) {
  delete Unwrap(connection);
  return KRELTA2_OK;
}

krelta2_status krelta2_connectionGetCurrentTime(krelta2_connection connection, uint32_t* time) {
  if (connection == nullptr || time == nullptr) return KRELTA2_INVALID_ARGUMENT;
  return krelta::api::GuardSilent([&] { *time = static_cast<uint32_t>(std::time(nullptr)); });
}

krelta2_status krelta2_connectionGetNumNodes(krelta2_connection connection, uint32_t* count) {
  if (connection == nullptr || count == nullptr) return KRELTA2_INVALID_ARGUMENT;
  *count = Count(Unwrap(connection)->TopNodes().size());
  return KRELTA2_OK;
}

krelta2_status krelta2_connectionGetNode(krelta2_connection connection, uint32_t index,
                                         krelta2_node* node) {
  if (connection == nullptr || node == nullptr) return KRELTA2_INVALID_ARGUMENT;
  Node* picked = nullptr;
  const krelta2_status status = Pick(Unwrap(connection)->TopNodes(), index, &picked);
  if (status == KRELTA2_OK) *node = Wrap(picked);
  return status;
}

krelta2_status krelta2_nodeGetName(krelta2_node node, krelta2_string* name) {
  if (node == nullptr || name == nullptr) return KRELTA2_INVALID_ARGUMENT;
  return krelta::api::GuardFrameless(
      [&] { return krelta::api::CreateString(Unwrap(node)->Name().c_str(), name); });
}

krelta2_status krelta2_nodeGetNumNodes(krelta2_node node, uint32_t* count) {
  if (node == nullptr || count == nullptr) return KRELTA2_INVALID_ARGUMENT;
  *count = Count(Unwrap(node)->Nodes().size());
  return KRELTA2_OK;
}

krelta2_status krelta2_nodeGetNode(krelta2_node node, uint32_t index, krelta2_node* child) {
  if (node == nullptr || child == nullptr) return KRELTA2_INVALID_ARGUMENT;
  Node* picked = nullptr;
  const krelta2_status status = Pick(Unwrap(node)->Nodes(), index, &picked);
  if (status == KRELTA2_OK) *child = Wrap(picked);
  return status;
}

krelta2_status krelta2_nodeGetNumTags(krelta2_node node, uint32_t* count) {
  if (node == nullptr || count == nullptr) return KRELTA2_INVALID_ARGUMENT;
  *count = Count(Unwrap(node)->Tags().size());
  return KRELTA2_OK;
}

krelta2_status krelta2_nodeGetTag(krelta2_node node, uint32_t index, krelta2_tag* tag) {
  if (node == nullptr || tag == nullptr) return KRELTA2_INVALID_ARGUMENT;
  Tag* picked = nullptr;
  const krelta2_status status = Pick(Unwrap(node)->Tags(), index, &picked);
  if (status == KRELTA2_OK) *tag = Wrap(static_cast<KreltaTag*>(picked));
  return status;
}

krelta2_status krelta2_tagGetName(krelta2_tag tag, krelta2_string* name) {
  if (tag == nullptr || name == nullptr) return KRELTA2_INVALID_ARGUMENT;
  return krelta::api::GuardFrameless(
      [&] { return krelta::api::CreateString(Unwrap(tag)->Name().c_str(), name); });
}

krelta2_status krelta2_tagGetUpdateTime(krelta2_tag tag, uint32_t* time) {
  if (tag == nullptr || time == nullptr) return KRELTA2_INVALID_ARGUMENT;
  return krelta::api::GuardSilent([&] {
    const Tag* bound = dynamic_cast<const Tag*>(Unwrap(tag));
    *time = bound ? static_cast<uint32_t>(bound->GetUpdateTime()) : 0;
  });
}

}  // extern "C"
