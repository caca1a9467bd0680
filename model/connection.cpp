#include "model/connection.h"

#include <chrono>

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
  proxy_->SetCallTimeout(std::chrono::seconds(settings_.CallTimeoutSeconds()));
  proxy_->SetReadFromSubscription(settings_.ReadFromSubscription());
  if (!proxy_->Open()) throw Exception("Could not load server.");
  handlesSession_ = proxy_->SessionNumber();
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

void Connection::PrepareSession() {
  proxy_->ReopenIfDue();
  const std::uint64_t session = proxy_->SessionNumber();
  if (session == handlesSession_) return;
  for (const std::unique_ptr<Node>& node : nodes_) node->ForgetServerHandles();
  handlesSession_ = session;
}

void Connection::ReadCurrentData(ValueMatrix& matrix, const std::vector<NodeGroupEntry>& entries) {
  PrepareSession();
  proxy_->Read(entries, matrix);
}

void Connection::WriteData(const std::vector<NodeGroupEntry>& entries, std::int64_t start,
                           std::int64_t stepMilliseconds, const std::vector<ValueVector*>& rows) {
  PrepareSession();
  proxy_->WriteData(entries, start, stepMilliseconds, rows, settings_.IsWriteVQTSupported());
}

}  // namespace krelta
