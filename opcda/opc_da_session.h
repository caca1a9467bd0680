// One OPC DA session as its own thread holds it: the server, the private group, the shutdown
// sink and the items added to the group. Every member is touched by the session thread only
// (SessionThread runs the operations); other threads reach it through OpcDaProxy, which posts
// the operations and waits for their answers with a bound. So no lock guards this state.
//
// A shutdown request or a server that turns out to be gone closes the session on its thread.
// An answer that arrived while a shutdown request was made is not used: the session closes and
// the operation answers `closed`, as if the session had been closed before it.
#pragma once

#include <windows.h>
#include <ocidl.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "discovery/opc_url.h"
#include "opc_da.h"
#include "opcda/browse.h"
#include "opcda/create_instance.h"
#include "opcda/group_subscription.h"
#include "opcda/opc_da_proxy.h"
#include "platform/com/com_owners.h"

namespace krelta {

class LogRelay;
class OpcShutdown;
class SessionThread;

struct SessionSettings {
  OPCURL address;
  WideCredentials credentials;
  std::uint32_t updateRateSeconds = 5;
  DWORD probeTimeoutMs = 10000;  // the host probe's bound
  bool readFromSubscription = false;  // advise a data callback and read through its mirror
  std::string serverName;             // "host (ProgID)" for messages
};

// An answer the owner does not use when the session was closed before or during the operation
// (no session, a shutdown request): OnSession turns it into SessionOutcome::kClosed.
struct SessionAnswer {
  bool closed = false;
};

struct AddedItems : SessionAnswer {
  HRESULT call = S_OK;
  std::vector<HRESULT> errors;     // per item when the call succeeded
  std::vector<OPCHANDLE> handles;  // per item; meaningful where errors[i] succeeded
};

struct ReadAnswer : SessionAnswer {
  bool noInterface = false;  // the group offers no IOPCSyncIO
  HRESULT call = S_OK;
  com::CoTaskArray<OPCITEMSTATE, com::ItemStateCleanup> states;
  com::CoTaskArray<HRESULT> errors;
};

// The values of one write row with their items' handles and names (for messages). Owns the
// values; only whole rows move between threads.
struct WriteRow {
  WriteRow() = default;
  ~WriteRow() {
    for (VARIANT& v : values) ::VariantClear(&v);
  }
  WriteRow(const WriteRow&) = delete;
  WriteRow& operator=(const WriteRow&) = delete;

  std::vector<VARIANT> values;
  std::vector<OPCHANDLE> handles;
  std::vector<std::string> names;
  FILETIME stamp{};
};

struct WriteAnswer {
  bool closed = false;          // the session closed during the row: later rows are not sent
  bool noInterface = false;     // neither IOPCSyncIO nor (when asked for) IOPCSyncIO2
  bool serverGone = false;      // later rows are not sent
  bool fellBack = false;        // items that refused quality and time got their value alone
  std::size_t accepted = 0;
};

struct StatusAnswer : SessionAnswer {
  ServerStatus status;
};

struct SubscriptionAnswer : SessionAnswer {
  GroupSubscription::Status status;  // advised false when the session reads from the server only
};

struct ListingAnswer : SessionAnswer {
  std::vector<ItemRecord> items;
  std::string failure;
};

class OpcDaSession {
 public:
  explicit OpcDaSession(SessionThread& thread);
  // Lets go of the server: orderly when the session is still open and not abandoned, without
  // any further call when the owner abandoned it or the server is gone.
  ~OpcDaSession();
  OpcDaSession(const OpcDaSession&) = delete;
  OpcDaSession& operator=(const OpcDaSession&) = delete;

  // Probes the host, creates the server, adds the group and advises the shutdown sink. False,
  // with the reason in failure, when there is no usable session afterwards.
  bool Open(const SessionSettings& settings, std::shared_ptr<LogRelay> log, std::string& failure);
  // Removes items and group, unadvises and releases every interface.
  void Close();
  // The close a shutdown request asked for, unless an operation already did it.
  void CloseIfShutdownRequested();

  // Adds the items in one AddItems call, each with a client handle new to this session.
  AddedItems AddItems(const std::vector<std::wstring>& itemIds);
  // One cache read of the handles.
  ReadAnswer Read(const std::vector<OPCHANDLE>& handles);
  // One row: WriteVQT with quality good and the row's stamp when asked for and offered (items
  // refusing quality and time get their value alone with Write), else Write of the values that
  // are not empty. logFallback: log the first fallback of the connection.
  WriteAnswer Write(WriteRow& row, bool withQualityAndTime, bool logFallback);
  // The items below one branch (see GetItems in browse.h), each server call of the walk marked
  // on its own. Throws Exception when the server offers neither browse interface; closed
  // without a session. failure receives the first error the listing logged.
  ListingAnswer ListItems(const std::string& branchItemId, const std::string& displayPath,
                          const std::string& delimiter);
  // The steps of the last Open.
  const OpenSteps& Steps() const { return steps_; }
  // IOPCServer::GetStatus; closed (no call made) without a session.
  StatusAnswer GetStatus();
  // Where reads come from; no server call.
  SubscriptionAnswer SubscriptionStatus();

 private:
  bool IsOpen() const { return static_cast<bool>(itemMgt_); }
  // Whether another server call may be made: the owner has not given up on the session.
  bool MayCall() const;
  // After a server call: a shutdown request that arrived meanwhile closes the session now and
  // the call's answer is not used. True then.
  bool ClosedByShutdown();
  // Whether an operation may start: a pending shutdown request is carried out first, and an
  // operation needs an open session the owner has not given up on.
  bool CanOperate();
  // When hr says the server is gone: logs it once (naming the call) and closes the session
  // without further calls. True then.
  bool NoteServerGone(const char* call, HRESULT hr);
  // A call that failed as a whole: "<call> failed: <result>" at Error, unless the server is gone.
  void NoteCallFailed(const char* call, HRESULT hr);
  // Closes a session that ended without its owner asking and tells the owner.
  void CloseLost();
  void AddGroup(std::string& failure);
  HRESULT AdviseShutdownSink();
  void RemoveItems();
  void Release();
  com::ComPtr<IOPCSyncIO> SyncIO();
  com::ComPtr<IOPCSyncIO2> SyncIO2();
  std::size_t WritePlain(IOPCSyncIO* io, WriteRow& row, const std::vector<std::size_t>& picks,
                         HRESULT& callResult);
  void Log(std::int32_t level, const std::string& message);
  // Advises the group's data callback for reads through its mirror; a refusal leaves none.
  void StartSubscription(const std::string& serverName);
  // A server found gone by a call of the subscription: noted (the session closes) once the
  // subscription's own operation has returned. True then.
  bool NoteGoneInSubscription();

  SessionThread& thread_;
  std::shared_ptr<LogRelay> log_;
  std::uint32_t updateRateSeconds_ = 5;
  com::ComPtr<IOPCServer> server_;
  com::ComPtr<IOPCItemMgt> itemMgt_;
  OPCHANDLE groupHandle_ = 0;
  com::ComPtr<IOPCSyncIO> syncIO_;
  com::ComPtr<IOPCSyncIO2> syncIO2_;
  bool syncIO2Asked_ = false;
  com::ComPtr<OpcShutdown> shutdownSink_;
  com::ComPtr<IConnectionPoint> connectionPoint_;
  com::AdviseToken advise_;
  std::vector<OPCHANDLE> serverHandles_;  // every item added in this session
  OPCHANDLE nextClientHandle_ = 1;
  bool serverGone_ = false;  // nothing more is asked of the server
  std::unique_ptr<GroupSubscription> subscription_;  // with ReadFromSubscription, once advised
  const char* goneCall_ = nullptr;                   // see NoteGoneInSubscription
  HRESULT goneResult_ = S_OK;
  OpenSteps steps_;
};

}  // namespace krelta
