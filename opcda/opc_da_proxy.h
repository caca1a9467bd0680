// The client of one OPC Data Access server: COM set-up for the calling thread, server creation
// on the configured host (optionally as another Windows user), one private group, the shutdown
// sink, and the teardown of all of it. Reads, writes and item listings run through it.
//
// Calls from the owner's thread and the server's shutdown request (which closes the proxy from
// a COM thread) are serialised by one session lock, so a request arriving during a read never
// releases interfaces that the read still uses.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <ocidl.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "discovery/opc_url.h"
#include "opc_da.h"
#include "opcda/create_instance.h"
#include "opcda/ping_host.h"
#include "platform/com/com_owners.h"

namespace krelta {

class LogFile;
class OpcShutdown;
class ShutdownLink;

constexpr const char* kGroupName = "KRELTAGroup";
constexpr std::uint32_t kUpdateRateSeconds = 5;

class OpcDaProxy {
 public:
  // Joins the calling thread to the multithreaded apartment. Throws Exception when the task
  // allocator cannot be obtained. connectionLog is the owning connection's log.
  OpcDaProxy(std::string delimiter, LogFile& connectionLog);
  virtual ~OpcDaProxy();
  OpcDaProxy(const OpcDaProxy&) = delete;
  OpcDaProxy& operator=(const OpcDaProxy&) = delete;

  // WideCredentials (empty user: none) and the server address text, narrow in the ANSI code page.
  void Configure(const std::string& user, const std::string& password, const std::string& domain,
                 const std::string& serverAddress);
  // Probes the host, creates the server, adds the group and advises the shutdown sink.
  // Returns whether a server is connected; true at once when already connected.
  virtual bool Open();
  // Removes items and group, unadvises and releases every server interface. Always true.
  virtual bool Close();

  HRESULT GetShutdownConnectionPoint();
  HRESULT GetServerConnectionPointContainer();

  // Bound of the host probe in Open; kDefaultPingTimeoutMs unless changed.
  void SetPingTimeout(DWORD milliseconds) { pingTimeoutMs_ = milliseconds; }

  // For the item registration, read, write and listing operations built on the session. Hold
  // SessionLock() while using the interfaces.
  std::recursive_mutex& SessionLock() { return sessionLock_; }
  bool IsConfigured() const { return configured_; }
  bool IsConnected() const { return connected_; }
  const std::string& Delimiter() const { return delimiter_; }
  LogFile& ConnectionLog() { return connectionLog_; }
  const OPCURL& ServerAddress() const { return serverAddress_; }
  const WideCredentials& GetCredentials() const { return credentials_; }
  IOPCServer* Server() const { return server_.Get(); }
  IOPCItemMgt* ItemMgt() const { return itemMgt_.Get(); }
  IMalloc* TaskAllocator() const { return taskAllocator_.Get(); }
  std::vector<OPCHANDLE>& ServerHandles() { return serverHandles_; }
  OPCHANDLE ServerGroupHandle() const { return serverGroupHandle_; }

 private:
  void AddGroup();
  void RemoveItems();

  std::string delimiter_;
  bool configured_ = false;
  bool connected_ = false;
  bool comInitialised_ = false;
  std::uint32_t updateRateSeconds_ = kUpdateRateSeconds;
  WideCredentials credentials_;
  OPCURL serverAddress_;
  LogFile& connectionLog_;
  com::ComPtr<IOPCServer> server_;
  com::ComPtr<IOPCItemMgt> itemMgt_;
  com::ComPtr<IMalloc> taskAllocator_;
  OPCHANDLE serverGroupHandle_ = 0;
  std::vector<OPCHANDLE> serverHandles_;
  com::ComPtr<OpcShutdown> shutdownSink_;
  com::ComPtr<IConnectionPoint> connectionPoint_;
  com::ComPtr<IConnectionPointContainer> connectionPointContainer_;
  com::AdviseToken advise_;
  DWORD pingTimeoutMs_ = kDefaultPingTimeoutMs;
  std::recursive_mutex sessionLock_;
  std::shared_ptr<ShutdownLink> shutdownLink_;
};

}  // namespace krelta
