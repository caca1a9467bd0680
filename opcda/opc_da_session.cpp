#include "opcda/opc_da_session.h"

#include "log/log_file.h"
#include "opc_da_constants.h"
#include "opcda/format_result.h"
#include "opcda/log_relay.h"
#include "opcda/opc_da_proxy.h"
#include "opcda/opc_shutdown.h"
#include "opcda/ping_host.h"
#include "opcda/session_thread.h"
#include "platform/com/wide_text.h"
#include "util/exception.h"
#include "util/format.h"

namespace krelta {
namespace {

void LogOpcda(std::int32_t level, const std::string& message) { WriteStandaloneLog(level, message); }

// Counts accepted items of a call over picks (indices into the row) and appends
// "\nItem <name> failed: <result>" for the others, except those `skip` claims.
template <typename Skip>
std::size_t Accepted(const com::CoTaskArray<HRESULT>& errors, const WriteRow& row,
                     const std::vector<std::size_t>& picks, std::string& failures, Skip&& skip) {
  std::size_t accepted = 0;
  for (std::size_t k = 0; k < picks.size(); ++k) {
    const HRESULT e = errors ? errors[k] : S_OK;
    if (SUCCEEDED(e)) {
      ++accepted;
    } else if (!skip(picks[k], e)) {
      failures += Format("\nItem %1% failed: %2%", row.names[picks[k]], FormatResult(e));
    }
  }
  return accepted;
}

}  // namespace

OpcDaSession::OpcDaSession(SessionThread& thread) : thread_(thread) {}

OpcDaSession::~OpcDaSession() {
  try {
    if (thread_.Abandoned()) serverGone_ = true;
    Close();
  } catch (...) {
    Release();
  }
}

void OpcDaSession::Log(std::int32_t level, const std::string& message) {
  if (log_) log_->Write(level, message);
}

bool OpcDaSession::MayCall() const { return !thread_.Abandoned() && !serverGone_; }

bool OpcDaSession::Open(const SessionSettings& settings, std::shared_ptr<LogRelay> log,
                        std::string& failure) {
  log_ = std::move(log);
  if (IsOpen()) return true;
  updateRateSeconds_ = settings.updateRateSeconds;
  const std::string host = settings.address.GetHost();
  steps_ = OpenSteps{};
  steps_.answered = true;
  HRESULT hr;
  if (!host.empty()) {
    CallScope call(thread_, "the host probe", true);
    hr = PingHost(host, settings.probeTimeoutMs);
  } else {
    hr = S_OK;
  }
  if (FAILED(hr)) {
    failure = "the host did not answer: " + FormatResult(hr);
    return false;
  }
  if (!MayCall()) return false;
  {
    CallScope call(thread_, "CoCreateInstanceEx");
    hr = NvCreateInstanceEx(ToClsid(settings.address.GetClsid()), host, IID_IOPCServer,
                            reinterpret_cast<void**>(server_.ReleaseAndGetAddressOf()),
                            &settings.credentials);
  }
  steps_.creation = hr;
  if (FAILED(hr)) {
    failure = Format("CoCreateInstanceEx failed: %1%", FormatResult(hr));
    LogOpcda(kLogError, failure);
    server_.Reset();
    return false;
  }
  if (!MayCall()) return false;
  LogOpcda(kLogInformation, Format("Server %1% (%2%) connected.", host, settings.address.GetProgId()));

  AddGroup(failure);
  if (!IsOpen()) {
    // Without a group there is no session: the shutdown connection point is not asked for.
    LogOpcda(kLogError, Format("OpcDaProxy::GetShutdownConnectionPoint: "
                               "GetServerConnectionPointContainer() failed: %1%",
                               FormatResult(E_FAIL)));
    LogOpcda(kLogError, Format("OpcDaProxy::Open: GetShutdownConnectionPoint() failed: %1%",
                               FormatResult(E_FAIL)));
    Log(kLogCritical, "Failed to get shutdown object");
    Release();
    return false;
  }
  const HRESULT shutdown = AdviseShutdownSink();
  steps_.shutdownReached = true;
  steps_.shutdown = shutdown;
  if (FAILED(shutdown)) {
    LogOpcda(kLogError, Format("OpcDaProxy::Open: GetShutdownConnectionPoint() failed: %1%",
                               FormatResult(shutdown)));
  }
  if (!shutdownSink_) Log(kLogCritical, "Failed to get shutdown object");
  if (settings.readFromSubscription && IsOpen() && MayCall()) {
    StartSubscription(settings.serverName);
  }
  // A request made while the session was being opened (during Advise, say) closes it now.
  if (ClosedByShutdown()) {
    failure = "the server asked its clients to shut down";
    return false;
  }
  if (!IsOpen()) failure = "the server is gone";
  return IsOpen();
}

void OpcDaSession::AddGroup(std::string& failure) {
  if (!MayCall()) return;
  const std::wstring name = com::Utf8ToWide(kGroupName);
  LONG timeBias = 0;
  DWORD revisedUpdateRate = 0;
  OPCHANDLE groupHandle = 0;
  com::ComPtr<IUnknown> group;
  HRESULT hr;
  {
    CallScope call(thread_, "IOPCServer::AddGroup");
    hr = server_->AddGroup(name.c_str(), TRUE, updateRateSeconds_ * 1000, 0, &timeBias, nullptr, 0,
                           &groupHandle, &revisedUpdateRate, IID_IOPCItemMgt,
                           group.ReleaseAndGetAddressOf());
  }
  groupHandle_ = groupHandle;
  steps_.groupReached = true;
  steps_.group = SUCCEEDED(hr) && !group ? E_POINTER : hr;
  if (FAILED(hr)) {
    failure = Format("IOPCServer::AddGroup failed: %1%", FormatResult(hr));
    LogOpcda(kLogError, failure);
    serverGone_ = IsServerGone(hr);
    return;
  }
  if (!group) {
    failure = "IOPCServer::AddGroup succeeded but returned null interface pointer";
    LogOpcda(kLogError, failure);
    return;
  }
  LogOpcda(kLogDebug, "IOPCServer::AddGroup succeeded");
  // The group was asked for IOPCItemMgt, so the pointer is one.
  com::Adopt(itemMgt_, reinterpret_cast<IOPCItemMgt*>(group.Detach()));
}

HRESULT OpcDaSession::AdviseShutdownSink() {
  com::ComPtr<IConnectionPointContainer> container;
  HRESULT hr;
  {
    CallScope call(thread_, "QueryInterface(IConnectionPointContainer)");
    hr = server_.As(&container);
  }
  if (FAILED(hr)) {
    LogOpcda(kLogError, Format("OpcDaProxy::GetShutdownConnectionPoint: "
                               "GetServerConnectionPointContainer() failed: %1%",
                               FormatResult(hr)));
    NoteServerGone("QueryInterface(IConnectionPointContainer)", hr);
    return hr;
  }
  if (!MayCall()) return E_ABORT;
  {
    CallScope call(thread_, "IConnectionPointContainer::FindConnectionPoint");
    hr = container->FindConnectionPoint(IID_IOPCShutdown, connectionPoint_.ReleaseAndGetAddressOf());
  }
  if (FAILED(hr)) {
    connectionPoint_.Reset();
    LogOpcda(kLogError,
             Format("OpcDaProxy::GetShutdownConnectionPoint: FindConnectionPoint() failed: %1%",
                    FormatResult(hr)));
    NoteServerGone("IConnectionPointContainer::FindConnectionPoint", hr);
    return hr;
  }
  // Linked before Advise: a request the server makes during Advise already reaches us.
  com::Adopt(shutdownSink_, new OpcShutdown());
  shutdownSink_->SetSession(thread_.shared_from_this());
  if (!MayCall()) return E_ABORT;
  {
    CallScope call(thread_, "IConnectionPoint::Advise");
    hr = advise_.Advise(connectionPoint_.Get(), shutdownSink_.Get());
  }
  if (FAILED(hr)) {
    LogOpcda(kLogError, Format("OpcDaProxy::GetShutdownConnectionPoint: Advise() failed: %1%",
                               FormatResult(hr)));
    NoteServerGone("IConnectionPoint::Advise", hr);
    return hr;
  }
  return S_OK;
}

bool OpcDaSession::ClosedByShutdown() {
  if (!thread_.ShutdownRequested()) return false;
  CloseLost();
  return true;
}

void OpcDaSession::CloseIfShutdownRequested() { ClosedByShutdown(); }

void OpcDaSession::StartSubscription(const std::string& serverName) {
  subscription_ = std::make_unique<GroupSubscription>(
      [this](const char* name, const std::function<HRESULT()>& work) -> HRESULT {
        if (!MayCall() || goneCall_ != nullptr) return E_ABORT;
        HRESULT hr;
        {
          CallScope call(thread_, name);
          hr = work();
        }
        if (IsServerGone(hr)) {
          goneCall_ = name;
          goneResult_ = hr;
        }
        return hr;
      },
      [this](std::int32_t level, const std::string& message) { Log(level, message); }, serverName);
  if (!subscription_->Start(itemMgt_.Get(), std::chrono::seconds(updateRateSeconds_))) subscription_.reset();
  NoteGoneInSubscription();
}

bool OpcDaSession::NoteGoneInSubscription() {
  if (goneCall_ == nullptr) return false;
  const char* call = goneCall_;
  goneCall_ = nullptr;
  NoteServerGone(call, goneResult_);
  return true;
}

bool OpcDaSession::CanOperate() { return !ClosedByShutdown() && IsOpen() && MayCall(); }

bool OpcDaSession::NoteServerGone(const char* call, HRESULT hr) {
  if (!IsServerGone(hr)) return false;
  if (serverGone_ || !server_) return true;  // already closed, or closing
  Log(kLogError, Format("%1% failed: %2%. The server is gone: the session is closed and opened "
                        "again by a later read or write.",
                        call, FormatResult(hr)));
  serverGone_ = true;
  CloseLost();
  return true;
}

void OpcDaSession::NoteCallFailed(const char* call, HRESULT hr) {
  if (!NoteServerGone(call, hr)) Log(kLogError, Format("%1% failed: %2%", call, FormatResult(hr)));
}

void OpcDaSession::CloseLost() {
  const bool wasOpen = static_cast<bool>(server_);
  Close();
  if (wasOpen) thread_.MarkLost();
}

void OpcDaSession::RemoveItems() {
  com::CoTaskArray<HRESULT> errors;
  const DWORD count = static_cast<DWORD>(serverHandles_.size());
  HRESULT hr;
  {
    CallScope call(thread_, "IOPCItemMgt::RemoveItems");
    hr = itemMgt_->RemoveItems(count, serverHandles_.data(), errors.put());
  }
  errors.set_size(SUCCEEDED(hr) ? count : 0);
  if (FAILED(hr)) {
    serverGone_ = serverGone_ || IsServerGone(hr);
    Log(kLogError, Format("IOPCItemMgt::RemoveItems failed: %1%", FormatResult(hr)));
  }
  bool anyItemFailed = false;
  for (HRESULT itemResult : errors) anyItemFailed = anyItemFailed || FAILED(itemResult);
  if (hr == S_FALSE || anyItemFailed) {
    std::string message = "IOPCItemMgt::RemoveItems partially failed, result: " + FormatResult(hr);
    for (std::size_t i = 0; i < errors.size(); ++i) {
      if (FAILED(errors[i])) message += Format("\nItem %1% failed: %2%", i, FormatResult(errors[i]));
    }
    Log(kLogWarning, message);
  }
  serverHandles_.clear();
}

void OpcDaSession::Close() {
  if (!server_) return;
  // Once the server is known to be gone, or the owner gave up on it, nothing more is asked of
  // it: every call would only wait for the RPC layer to fail again. Nor while other calls to it
  // are stuck: this thread would most likely be the next. Letting go of the proxies ends the
  // server's objects of this session.
  if (MayCall() && thread_.ServerHasStuckCalls()) {
    Log(kLogWarning, "The session is closed without removing its group: the server has not "
                     "answered other calls.");
    serverGone_ = true;
  }
  // First: the mirror is cleared and the sink answers nothing more, whatever follows.
  if (subscription_) subscription_->Stop(MayCall());
  if (itemMgt_ && !serverHandles_.empty() && MayCall()) RemoveItems();
  serverHandles_.clear();
  if (itemMgt_ && groupHandle_ != 0 && MayCall()) {
    HRESULT hr;
    {
      CallScope call(thread_, "IOPCServer::RemoveGroup");
      hr = server_->RemoveGroup(groupHandle_, TRUE);
    }
    serverGone_ = serverGone_ || IsServerGone(hr);
    if (FAILED(hr)) Log(kLogError, Format("IOPCServer::RemoveGroup failed: %1%", FormatResult(hr)));
  }
  groupHandle_ = 0;
  if (MayCall()) {
    CallScope call(thread_, "IConnectionPoint::Unadvise");
    advise_.reset();
  }
  Release();
}

void OpcDaSession::Release() {
  // Letting go of a proxy is a call into the server too (a hung one may hold it).
  CallScope call(thread_, "IUnknown::Release");
  subscription_.reset();
  goneCall_ = nullptr;
  advise_.abandon();
  connectionPoint_.Reset();
  if (shutdownSink_) {
    shutdownSink_->SetSession(nullptr);
    // A stub that still holds the sink (Unadvise failed, the server died) lets go of it now, so
    // no late call or Release from the server reaches this library after the host freed it.
    shutdownSink_->Disconnect(kSinkDisconnectWaitMs);
  }
  shutdownSink_.Reset();
  syncIO_.Reset();
  syncIO2_.Reset();
  syncIO2Asked_ = false;
  itemMgt_.Reset();
  server_.Reset();
  serverHandles_.clear();
}

com::ComPtr<IOPCSyncIO> OpcDaSession::SyncIO() {
  if (!syncIO_ && itemMgt_ && MayCall()) {
    HRESULT hr;
    {
      CallScope call(thread_, "QueryInterface(IOPCSyncIO)");
      hr = itemMgt_.As(&syncIO_);
    }
    NoteServerGone("QueryInterface(IOPCSyncIO)", hr);
  }
  return syncIO_;
}

com::ComPtr<IOPCSyncIO2> OpcDaSession::SyncIO2() {
  if (!syncIO2Asked_ && itemMgt_) {
    syncIO2Asked_ = true;
    HRESULT hr;
    {
      CallScope call(thread_, "QueryInterface(IOPCSyncIO2)");
      hr = itemMgt_.As(&syncIO2_);
    }
    NoteServerGone("QueryInterface(IOPCSyncIO2)", hr);
  }
  return syncIO2_;
}

AddedItems OpcDaSession::AddItems(const std::vector<std::wstring>& itemIds) {
  AddedItems answer;
  if (!CanOperate()) {
    answer.closed = true;
    return answer;
  }
  std::vector<OPCITEMDEF> definitions(itemIds.size());
  for (std::size_t i = 0; i < definitions.size(); ++i) {
    OPCITEMDEF& d = definitions[i];
    d.szAccessPath = nullptr;
    d.szItemID = const_cast<LPWSTR>(itemIds[i].c_str());
    d.bActive = TRUE;
    d.hClient = nextClientHandle_++;
    d.vtRequestedDataType = VT_EMPTY;
  }
  com::CoTaskArray<OPCITEMRESULT, com::ItemResultCleanup> results;
  com::CoTaskArray<HRESULT> errors;
  const DWORD count = static_cast<DWORD>(definitions.size());
  {
    CallScope call(thread_, "IOPCItemMgt::AddItems");
    answer.call = itemMgt_->AddItems(count, definitions.data(), results.put(), errors.put());
  }
  results.set_size(SUCCEEDED(answer.call) ? count : 0);
  errors.set_size(SUCCEEDED(answer.call) ? count : 0);
  if (ClosedByShutdown()) {
    answer.closed = true;
    return answer;
  }
  if (FAILED(answer.call)) {
    if (!NoteServerGone("IOPCItemMgt::AddItems", answer.call)) {
      Log(kLogError, "Could not retrieve item handles. GetItemHandles for UpdateServerHandles in "
                     "OpcDAProxy failed.");
    }
    return answer;
  }
  if (!results) {
    answer.call = E_POINTER;
    return answer;
  }
  std::string failures;
  std::vector<std::pair<OPCHANDLE, OPCHANDLE>> tracked;  // (client, server) of the added items
  answer.errors.resize(count, S_OK);
  answer.handles.resize(count, 0);
  for (std::size_t i = 0; i < count; ++i) {
    if (errors && FAILED(errors[i])) {
      answer.errors[i] = errors[i];
      failures += Format("\nItem %1% (%2%) failed: %3%", i, com::WideToUtf8(itemIds[i]),
                         FormatResult(errors[i]));
      continue;
    }
    answer.handles[i] = results[i].hServer;
    serverHandles_.push_back(results[i].hServer);
    tracked.emplace_back(definitions[i].hClient, results[i].hServer);
  }
  if (subscription_) subscription_->Track(tracked);
  if (!failures.empty()) {
    Log(kLogWarning, "IOPCItemMgt::AddItems partially failed, result: " + FormatResult(answer.call) +
                         failures);
  }
  return answer;
}

ReadAnswer OpcDaSession::Read(const std::vector<OPCHANDLE>& handles) {
  ReadAnswer answer;
  if (!CanOperate()) {
    answer.closed = true;
    return answer;
  }
  const com::ComPtr<IOPCSyncIO> io = SyncIO();
  if (!io) {
    answer.noInterface = true;
    return answer;
  }
  const ServerRead serverRead = [&](const std::vector<OPCHANDLE>& asked) {
    ItemStates read;
    const DWORD count = static_cast<DWORD>(asked.size());
    {
      CallScope call(thread_, "IOPCSyncIO::Read");
      read.call = io->Read(OPC_DS_CACHE, count, const_cast<OPCHANDLE*>(asked.data()), read.states.put(),
                           read.errors.put());
    }
    read.states.set_size(SUCCEEDED(read.call) ? count : 0);
    read.errors.set_size(SUCCEEDED(read.call) ? count : 0);
    return read;
  };
  ItemStates read = subscription_ ? subscription_->Read(handles, serverRead) : serverRead(handles);
  answer.call = read.call;
  answer.states = std::move(read.states);
  answer.errors = std::move(read.errors);
  if (NoteGoneInSubscription()) {  // a refresh found the server gone: no value of the mirror counts
    answer.closed = true;
    return answer;
  }
  if (ClosedByShutdown()) {
    answer.closed = true;
    return answer;
  }
  if (FAILED(answer.call)) NoteCallFailed("IOPCSyncIO::Read", answer.call);
  return answer;
}

std::size_t OpcDaSession::WritePlain(IOPCSyncIO* io, WriteRow& row,
                                     const std::vector<std::size_t>& picks, HRESULT& callResult) {
  std::vector<OPCHANDLE> handles;
  std::vector<VARIANT> values;  // borrowed from the row
  for (std::size_t k : picks) {
    handles.push_back(row.handles[k]);
    values.push_back(row.values[k]);
  }
  const DWORD count = static_cast<DWORD>(handles.size());
  com::CoTaskArray<HRESULT> errors;
  {
    CallScope call(thread_, "IOPCSyncIO::Write");
    callResult = io->Write(count, handles.data(), values.data(), errors.put());
  }
  errors.set_size(SUCCEEDED(callResult) ? count : 0);
  if (ClosedByShutdown()) return 0;
  if (FAILED(callResult)) {
    NoteCallFailed("IOPCSyncIO::Write", callResult);
    return 0;
  }
  std::string failures;
  const std::size_t accepted =
      Accepted(errors, row, picks, failures, [](std::size_t, HRESULT) { return false; });
  if (!failures.empty()) {
    Log(kLogWarning, "IOPCSyncIO::Write partially failed, result: " + FormatResult(callResult) + failures);
  }
  return accepted;
}

WriteAnswer OpcDaSession::Write(WriteRow& row, bool withQualityAndTime, bool logFallback) {
  WriteAnswer answer;
  if (!CanOperate()) {
    answer.closed = true;
    return answer;
  }
  // Whatever the outcome, the row's items are read from the server until a notification that
  // arrived after the write (a failed write may still have changed some). The subscription is
  // looked up when the write ends: a server found gone during the write closed the session and
  // with it the subscription.
  struct NoteWritten {
    const std::unique_ptr<GroupSubscription>& subscription;
    const std::vector<OPCHANDLE>& handles;
    ~NoteWritten() {
      if (subscription) subscription->NoteWritten(handles);
    }
  } noteWritten{subscription_, row.handles};
  const com::ComPtr<IOPCSyncIO2> io2 = withQualityAndTime ? SyncIO2() : nullptr;
  const com::ComPtr<IOPCSyncIO> io = IsOpen() ? SyncIO() : nullptr;  // also the fallback
  if (!IsOpen()) {
    answer.closed = true;
    return answer;
  }
  if (!io2 && !io) {
    answer.noInterface = true;
    return answer;
  }
  HRESULT callResult = S_OK;
  const auto settle = [&] {
    answer.closed = !IsOpen();
    answer.serverGone = IsServerGone(callResult);
    return answer;
  };
  if (!io2) {
    // A plain write of VT_EMPTY would make many servers store 0: a null cell is only ever sent
    // as "no value" beside a quality and time stamp.
    std::vector<std::size_t> picks;
    for (std::size_t k = 0; k < row.values.size(); ++k) {
      if (row.values[k].vt != VT_EMPTY) picks.push_back(k);
    }
    if (!picks.empty()) answer.accepted = WritePlain(io.Get(), row, picks, callResult);
    return settle();
  }
  const DWORD count = static_cast<DWORD>(row.handles.size());
  std::vector<OPCITEMVQT> vqts(count);
  for (DWORD k = 0; k < count; ++k) {
    vqts[k].vDataValue = row.values[k];  // borrowed; the row clears it
    vqts[k].bQualitySpecified = TRUE;
    vqts[k].wQuality = OPC_QUALITY_GOOD;
    vqts[k].bTimeStampSpecified = TRUE;
    vqts[k].ftTimeStamp = row.stamp;
  }
  com::CoTaskArray<HRESULT> errors;
  {
    CallScope call(thread_, "IOPCSyncIO2::WriteVQT");
    callResult = io2->WriteVQT(count, row.handles.data(), vqts.data(), errors.put());
  }
  errors.set_size(SUCCEEDED(callResult) ? count : 0);
  if (ClosedByShutdown()) return settle();
  if (FAILED(callResult)) {
    NoteCallFailed("IOPCSyncIO2::WriteVQT", callResult);
    return settle();
  }
  // Items that refuse quality or time stamp get their value alone, in this row.
  std::vector<std::size_t> all(count), retry;
  for (std::size_t k = 0; k < count; ++k) all[k] = k;
  std::string failures;
  answer.accepted = Accepted(errors, row, all, failures, [&](std::size_t k, HRESULT e) {
    if (e != OPC_E_NOTSUPPORTED || !io || row.values[k].vt == VT_EMPTY) return false;
    retry.push_back(k);
    return true;
  });
  if (!failures.empty()) {
    Log(kLogWarning, "IOPCSyncIO2::WriteVQT partially failed, result: " + FormatResult(callResult) +
                         failures);
  }
  if (!retry.empty() && MayCall()) {
    answer.fellBack = true;
    if (logFallback) {
      Log(kLogWarning, "IOPCSyncIO2::WriteVQT: the server does not support writing quality or "
                       "time stamp for some items; their values are written without them with "
                       "IOPCSyncIO::Write.");
    }
    answer.accepted += WritePlain(io.Get(), row, retry, callResult);
  }
  return settle();
}

ListingAnswer OpcDaSession::ListItems(const std::string& branchItemId,
                                      const std::string& displayPath, const std::string& delimiter) {
  ListingAnswer answer;
  if (!CanOperate()) {
    answer.closed = true;
    return answer;
  }
  std::shared_ptr<LogRelay> relay = log_;
  std::string* failure = &answer.failure;
  const LogSink sink = [relay, failure](std::int32_t level, const std::string& message) {
    if (failure->empty() && level <= kLogError) *failure = message;
    if (relay) relay->Write(level, message);
  };
  // Each call of the walk is bounded on its own, and none is made once the owner gave up.
  const CallGate gate = [this](const char* call) {
    if (!MayCall()) return false;
    thread_.EnterCall(call);
    return true;
  };
  answer.items = ListBranchItems(server_.Get(), branchItemId, displayPath, delimiter, sink, gate);
  thread_.LeaveCall();
  if (ClosedByShutdown()) {
    answer.items.clear();
    answer.closed = true;
  }
  return answer;
}

SubscriptionAnswer OpcDaSession::SubscriptionStatus() {
  SubscriptionAnswer answer;
  answer.closed = !CanOperate();
  if (!answer.closed && subscription_) answer.status = subscription_->GetStatus();
  return answer;
}

StatusAnswer OpcDaSession::GetStatus() {
  StatusAnswer result;
  result.closed = !CanOperate();
  if (result.closed) return result;
  ServerStatus& answer = result.status;
  com::CoTaskMem<OPCSERVERSTATUS> status;
  {
    CallScope call(thread_, "IOPCServer::GetStatus");
    answer.call = server_->GetStatus(status.put());
  }
  const com::CoTaskMem<wchar_t> vendor(status ? status.get()->szVendorInfo : nullptr);
  if (ClosedByShutdown()) {
    result.closed = true;
    return result;
  }
  if (FAILED(answer.call)) {
    NoteServerGone("IOPCServer::GetStatus", answer.call);
    return result;
  }
  if (status) {
    answer.vendor = com::WideToUtf8(vendor.get());
    answer.state = status.get()->dwServerState;
    answer.majorVersion = status.get()->wMajorVersion;
    answer.minorVersion = status.get()->wMinorVersion;
    answer.buildNumber = status.get()->wBuildNumber;
    answer.currentTime = status.get()->ftCurrentTime;
  }
  return result;
}

}  // namespace krelta
