#include "model/connection.h"

#include "log/log_file.h"
#include "opcda/browse.h"
#include "opcda/opc_da_proxy.h"
#include "util/exception.h"

namespace krelta {

Connection::Connection(const std::string& connectionString)
    : connectionString_(connectionString), settings_(connectionString) {
  proxy_ = std::make_unique<OpcDaProxy>(settings_.Delimiter(), settings_.Log());
  const Credentials& credentials = settings_.GetCredentials();
  proxy_->Configure(credentials.user, credentials.password, credentials.domain, settings_.Url());
  if (!proxy_->Open()) throw Exception("Could not load server.");
  // A failure from here on unwinds the members in reverse: tree, session, settings.
  nodes_.push_back(Node::MakeRoot(*this, proxy_->ServerAddress(), settings_.Url()));
}

Connection::~Connection() {
  nodes_.clear();
  proxy_.reset();
}

std::vector<BrowsedItem> Connection::GetItems(const std::string& branchItemId,
                                              const std::string& displayPath) {
  std::vector<BrowsedItem> items;
  for (ItemRecord& record : krelta::GetItems(*proxy_, branchItemId, displayPath)) {
    items.push_back({std::move(record.name), std::move(record.itemId)});
  }
  return items;
}

// Reads and writes reach the server with the item registration and read/write paths; until
// then a node's read leaves its slots null and a write changes nothing.
void Connection::ReadCurrentData(ValueMatrix&, const std::vector<NodeGroupEntry>&) {}

void Connection::WriteData(const std::vector<NodeGroupEntry>&, std::int64_t, std::int64_t,
                           const std::vector<ValueVector*>&) {}

}  // namespace krelta
