// One data source opened by the host: its settings and log, its OPC DA session and its node and
// tag tree. Windows only (the session is COM).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "config/connection_settings.h"
#include "model/nodes.h"
#include "model/tree_context.h"

namespace krelta {

class OpcDaProxy;

class Connection : public TreeContext {
 public:
  // Reads the configuration, opens the server and builds the tree. Throws Exception ("Could not
  // load server." when the server cannot be used); whatever was built is undone then.
  explicit Connection(const std::string& connectionString);
  // Tree, then session, then settings and log.
  ~Connection() override;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  const std::vector<std::unique_ptr<Node>>& TopNodes() const { return nodes_; }
  OpcDaProxy& Proxy() { return *proxy_; }

  // TreeContext
  const ConnectionSettings& Settings() const override { return settings_; }
  LogFile& Log() override { return settings_.Log(); }
  std::vector<BrowsedItem> GetItems(const std::string& branchItemId,
                                    const std::string& displayPath) override;
  void ReadCurrentData(ValueMatrix& matrix, const std::vector<NodeGroupEntry>& entries) override;
  void WriteData(const std::vector<NodeGroupEntry>& entries, std::int64_t start,
                 std::int64_t stepMilliseconds, const std::vector<ValueVector*>& rows) override;

 private:
  // Reopens a lost session when its retry interval has passed; tags registered in an earlier
  // session are registered again.
  void PrepareSession();

  std::string connectionString_;
  ConnectionSettings settings_;
  std::unique_ptr<OpcDaProxy> proxy_;
  std::vector<std::unique_ptr<Node>> nodes_;
  std::uint64_t handlesSession_ = 0;  // the session the tags' server handles belong to
};

}  // namespace krelta
