// The client of one OPC Data Access server: COM set-up for the calling thread, server creation
// on the configured host (optionally as another Windows user), one private group, the shutdown
// sink, and the teardown of all of it. Reads, writes and item listings run through it.
//
// Calls from the owner's thread and the server's shutdown request (which closes the proxy from
// a COM thread) are serialised by the session: a request arriving while the session is held
// (during a read, or inside a call of Close that the server answers only after its request
// returned) does not wait; the holder closes the session when it lets go. So a request never
// releases interfaces that a read still uses, and never deadlocks with a call into the server.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <ocidl.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "discovery/opc_url.h"
#include "opc_da.h"
#include "opcda/create_instance.h"
#include "opcda/ping_host.h"
#include "opcda/reconnect_schedule.h"
#include "platform/com/com_owners.h"

namespace krelta {

class LogFile;
class OpcShutdown;
class ShutdownLink;
class ValueMatrix;
class ValueVector;
struct NodeGroupEntry;

// Where each entry of a request finds its value: the distinct server handles of the request's
// registered items, in order of first use, and per entry the index of its handle (kNoSlot for a
// tag that has none).
struct ServerHandleSlots {
  static constexpr std::uint32_t kNoSlot = 0xFFFFFFFF;
  std::vector<OPCHANDLE> handles;
  std::vector<std::uint32_t> slotOfEntry;
};
ServerHandleSlots CollectServerHandles(const std::vector<NodeGroupEntry>& entries);

// The RPC-level results of a call whose server process is gone (ended, killed, unreachable).
bool IsServerGone(HRESULT hr);

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
  // The server's shutdown request, from a COM thread: closes the session now when nobody holds
  // it, else leaves the close to the holder. Never waits for the session.
  void RequestShutdown();

  // A session that ended without the owner asking (shutdown request, dead server) is opened
  // again by the next read or write once its retry interval has passed: the owner calls this
  // before each, and forgets its tags' server handles when SessionNumber changed. Logs a
  // success at Warning and a failed attempt at Error, once per attempt.
  void ReopenIfDue();
  // Counts successful opens: the items of an earlier session are unknown to the current one.
  std::uint64_t SessionNumber() const { return sessionNumber_.load(); }
  // Intervals of proxies created afterwards (tests; the defaults are 10 s and 5 min).
  static void SetReconnectIntervalsForTesting(std::chrono::milliseconds first,
                                              std::chrono::milliseconds longest);

  // Holds the session while a sequence of calls uses the server's interfaces; nests. The
  // outermost guard carries out a shutdown request that arrived meanwhile when it lets go.
  class SessionGuard {
   public:
    explicit SessionGuard(OpcDaProxy& proxy);
    ~SessionGuard();
    SessionGuard(const SessionGuard&) = delete;
    SessionGuard& operator=(const SessionGuard&) = delete;

   private:
    OpcDaProxy& proxy_;
  };

  // Item registration, reads and writes. Each takes the session lock itself and calls the server
  // through references of its own, so a shutdown request that arrives during the call (on a COM
  // thread, or re-entrantly on this thread) never releases an interface under it.
  //
  // Adds, in one AddItems call, the items of the entries' tags that have no server handle yet.
  // Throws Exception when there is no item manager or AddItems fails as a whole.
  void UpdateServerHandles(const std::vector<NodeGroupEntry>& entries);
  // One cache read of the entries' items into row 0 of matrix, at each entry's position.
  // Throws Exception("Could not read data.") without item manager or IOPCSyncIO; other failures
  // are logged and leave cells unset.
  void Read(const std::vector<NodeGroupEntry>& entries, ValueMatrix& matrix);
  // One server write per row, stamped start + step x row. Throws Exception when nothing at all
  // reached the server (closed session, no write interface, registration failed, every row
  // refused); per-item failures are logged.
  void WriteData(const std::vector<NodeGroupEntry>& entries, std::int64_t startSeconds,
                 std::int64_t stepMilliseconds, const std::vector<ValueVector*>& rows,
                 bool writeVqt);

  HRESULT GetShutdownConnectionPoint();
  HRESULT GetServerConnectionPointContainer();

  // Bound of the host probe in Open; kDefaultPingTimeoutMs unless changed.
  void SetPingTimeout(DWORD milliseconds) { pingTimeoutMs_ = milliseconds; }

  // For the item listing built on the session and for tests. Hold a SessionGuard while using
  // the interfaces.
  bool IsConnected() const { return connected_; }
  const std::string& Delimiter() const { return delimiter_; }
  LogFile& ConnectionLog() { return connectionLog_; }
  const OPCURL& ServerAddress() const { return serverAddress_; }
  const WideCredentials& GetCredentials() const { return credentials_; }
  IOPCServer* Server() const { return server_.Get(); }
  IOPCItemMgt* ItemMgt() const { return itemMgt_.Get(); }
  std::vector<OPCHANDLE>& ServerHandles() { return serverHandles_; }

 private:
  void AddGroup();
  void RemoveItems();
  // The group's read and write interfaces, asked for once per session; null when missing.
  // Session lock held.
  com::ComPtr<IOPCSyncIO> SyncIO();
  com::ComPtr<IOPCSyncIO2> SyncIO2();
  // Closes the session for a pending shutdown request, unless someone else holds it.
  void CloseIfShutdownRequested();
  // When hr says the server is gone: logs it once (naming the call) and closes the session
  // without further calls to the server. True then.
  bool NoteServerGone(const char* call, HRESULT hr);
  // Closes a session that ended without the owner asking and starts the retry schedule.
  void CloseLost();

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
  int sessionDepth_ = 0;  // nested SessionGuards, under sessionLock_
  std::atomic<bool> shutdownRequested_{false};
  std::shared_ptr<ShutdownLink> shutdownLink_;
  com::ComPtr<IOPCSyncIO> syncIO_;
  com::ComPtr<IOPCSyncIO2> syncIO2_;
  bool syncIO2Asked_ = false;
  bool vqtRefusalLogged_ = false;
  bool serverGone_ = false;      // Close makes no call to the server
  std::string openFailure_;      // why the last Open returned false
  ReconnectSchedule schedule_;   // under the session lock
  std::atomic<std::uint64_t> sessionNumber_{0};
};

}  // namespace krelta
