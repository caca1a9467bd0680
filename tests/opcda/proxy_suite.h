// The proxy against the simulator: a private data folder per test, proxies configured for a
// simulator address, and the library's and the connection's logs read back.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "log/log_file.h"
#include "opcda/opc_da_proxy.h"
#include "support/log_entries.h"
#include "support/simulator_session.h"

namespace krelta::testing {

class ProxySuite : public SimulatorSuite {
 protected:
  void SetUp() override {
    SimulatorSuite::SetUp();
    CreateDirectoryPath(folder_.DataFolder());
  }
  std::unique_ptr<OpcDaProxy> Configured(const std::string& url = kSimulatorDA3Url) {
    auto proxy = std::make_unique<OpcDaProxy>(".", log_);
    proxy->Configure("", "", "", url);
    return proxy;
  }
  std::vector<LogEntry> Opcda() { return ReadLogEntries(folder_.File("OPCDAKreltaLog.log")); }
  std::vector<LogEntry> Connection() { return ReadLogEntries(log_.Path()); }
  static LONG Count(DWORD counter) { return Counter(Control(), counter); }

  TestAppDataFolder folder_;
  LogFile log_{"OPCDA_proxy"};
};

}  // namespace krelta::testing
