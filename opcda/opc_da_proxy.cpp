#include "opcda/opc_da_proxy.h"

#include <cstdio>

#include "log/log_file.h"
#include "opcda/format_result.h"
#include "opcda/opc_shutdown.h"
#include "platform/com/wide_text.h"
#include "util/exception.h"
#include "util/format.h"

namespace krelta {
namespace {

void LogOpcda(std::int32_t level, const std::string& message) {
  WriteStandaloneLog(level, message);
}

std::chrono::milliseconds g_firstReconnectInterval = ReconnectSchedule::kFirstInterval;
std::chrono::milliseconds g_longestReconnectInterval = ReconnectSchedule::kLongestInterval;

// "12.3": seconds with one decimal.
std::string SecondsText(ReconnectSchedule::Clock::duration d) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f",
                std::chrono::duration_cast<std::chrono::duration<double>>(d).count());
  return text;
}

}  // namespace

bool IsServerGone(HRESULT hr) {
  switch (static_cast<std::uint32_t>(hr)) {
    case 0x800706BA:  // RPC_S_SERVER_UNAVAILABLE
    case 0x800706BE:  // RPC_S_CALL_FAILED
    case 0x80010108:  // RPC_E_DISCONNECTED
    case 0x800401FD:  // CO_E_OBJNOTCONNECTED
    case 0x80010007:  // RPC_E_SERVER_DIED
    case 0x80010012:  // RPC_E_SERVER_DIED_DNE
      return true;
    default:
      return false;
  }
}

void OpcDaProxy::SetReconnectIntervalsForTesting(std::chrono::milliseconds first,
                                                 std::chrono::milliseconds longest) {
  g_firstReconnectInterval = first;
  g_longestReconnectInterval = longest;
}

OpcDaProxy::OpcDaProxy(std::string delimiter, LogFile& connectionLog)
    : delimiter_(std::move(delimiter)),
      connectionLog_(connectionLog),
      schedule_(g_firstReconnectInterval, g_longestReconnectInterval) {
  connectionLog_.Write(kLogInformation, "Initiating proxy.");
  comInitialised_ = SUCCEEDED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  // Fails harmlessly when the process already chose its security.
  ::CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_NONE,
                         RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
  const HRESULT hr = ::CoGetMalloc(1, taskAllocator_.ReleaseAndGetAddressOf());
  if (FAILED(hr)) {
    if (comInitialised_) ::CoUninitialize();
    throw Exception(Format("CoGetMalloc failed: %1%", FormatResult(hr)));
  }
  shutdownLink_ = std::make_shared<ShutdownLink>(this);
}

OpcDaProxy::~OpcDaProxy() {
  // First make sure no shutdown request can still reach this object, then close.
  shutdownLink_->Detach();
  Close();
  taskAllocator_.Reset();
  if (comInitialised_) ::CoUninitialize();
}

void OpcDaProxy::Configure(const std::string& user, const std::string& password,
                           const std::string& domain, const std::string& serverAddress) {
  SessionGuard guard(*this);
  credentials_.user = com::AnsiToWide(user);
  credentials_.password = com::AnsiToWide(password);
  credentials_.domain = com::AnsiToWide(domain);
  serverAddress_ = OPCURL(serverAddress);
  configured_ = true;
}

bool OpcDaProxy::Open() {
  SessionGuard guard(*this);
  if (!configured_) return false;
  if (connected_) return true;
  connectionLog_.Write(kLogInformation, "Open OPC Server.");

  const std::string host = serverAddress_.GetHost();
  if (!host.empty()) {
    const HRESULT probe = PingHost(host, pingTimeoutMs_);
    if (FAILED(probe)) {
      openFailure_ = "the host did not answer: " + FormatResult(probe);
      return false;
    }
  }

  server_.Reset();
  const HRESULT hr = NvCreateInstanceEx(ToClsid(serverAddress_.GetClsid()), host, IID_IOPCServer,
                                        reinterpret_cast<void**>(server_.ReleaseAndGetAddressOf()),
                                        &credentials_);
  if (FAILED(hr)) {
    openFailure_ = Format("CoCreateInstanceEx failed: %1%", FormatResult(hr));
    LogOpcda(kLogError, openFailure_);
    return false;
  }
  LogOpcda(kLogInformation,
           Format("Server %1% (%2%) connected.", host, serverAddress_.GetProgId()));
  connected_ = true;

  try {
    AddGroup();
    const HRESULT shutdown = GetShutdownConnectionPoint();
    if (FAILED(shutdown)) {
      LogOpcda(kLogError, Format("OpcDaProxy::Open: GetShutdownConnectionPoint() failed: %1%",
                                 FormatResult(shutdown)));
    }
    if (shutdownSink_) {
      shutdownSink_->SetProxy(shutdownLink_);
    } else {
      connectionLog_.Write(kLogCritical, "Failed to get shutdown object");
    }
  } catch (...) {
    // The session stays as far as it got; reads report what is missing.
  }
  if (connected_) ++sessionNumber_;
  return connected_;
}

void OpcDaProxy::ReopenIfDue() {
  SessionGuard guard(*this);
  using Clock = ReconnectSchedule::Clock;
  if (connected_ || !schedule_.Due(Clock::now())) return;
  std::string name = serverAddress_.GetProgId();
  if (name.empty()) name = serverAddress_.GetPath().substr(0, serverAddress_.GetPath().find('/'));
  const std::string server = Format("%1% (%2%)", serverAddress_.GetHost(), name);
  openFailure_.clear();
  if (Open()) {
    const Clock::duration away = Clock::now() - schedule_.LostAt();
    schedule_.Reconnected();
    connectionLog_.Write(kLogWarning,
                         Format("Reconnected to server %1% after %2% s.", server, SecondsText(away)));
    return;
  }
  schedule_.AttemptFailed(Clock::now());
  connectionLog_.Write(kLogError, Format("Could not reconnect to server %1%: %2%. Next attempt in "
                                         "%3% s.",
                                         server, openFailure_.empty() ? "no session" : openFailure_,
                                         SecondsText(schedule_.Interval())));
}

bool OpcDaProxy::NoteServerGone(const char* call, HRESULT hr) {
  if (!IsServerGone(hr)) return false;
  SessionGuard guard(*this);
  if (!connected_ || serverGone_) return true;  // already closed, or closing
  connectionLog_.Write(kLogError, Format("%1% failed: %2%. The server is gone: the session is "
                                         "closed and opened again by a later read or write.",
                                         call, FormatResult(hr)));
  serverGone_ = true;
  CloseLost();
  return true;
}

void OpcDaProxy::CloseLost() {
  SessionGuard guard(*this);
  const bool wasConnected = connected_;
  Close();
  if (wasConnected) schedule_.Lost(ReconnectSchedule::Clock::now());
}

void OpcDaProxy::AddGroup() {
  const std::wstring name = com::Utf8ToWide(kGroupName);
  LONG timeBias = 0;
  DWORD revisedUpdateRate = 0;
  OPCHANDLE groupHandle = 0;
  com::ComPtr<IUnknown> group;
  const HRESULT hr = server_->AddGroup(name.c_str(), TRUE, updateRateSeconds_ * 1000, 0, &timeBias,
                                       nullptr, 0, &groupHandle, &revisedUpdateRate,
                                       IID_IOPCItemMgt, group.ReleaseAndGetAddressOf());
  serverGroupHandle_ = groupHandle;
  if (FAILED(hr)) {
    openFailure_ = Format("IOPCServer::AddGroup failed: %1%", FormatResult(hr));
    LogOpcda(kLogError, openFailure_);
    Close();
    return;
  }
  if (!group) {
    openFailure_ = "IOPCServer::AddGroup succeeded but returned null interface pointer";
    LogOpcda(kLogError, openFailure_);
    Close();
    return;
  }
  LogOpcda(kLogDebug, "IOPCServer::AddGroup succeeded");
  // The group was asked for IOPCItemMgt, so the pointer is one.
  com::Adopt(itemMgt_, reinterpret_cast<IOPCItemMgt*>(group.Detach()));
}

HRESULT OpcDaProxy::GetServerConnectionPointContainer() {
  if (connectionPointContainer_) return S_OK;
  if (!server_) return E_FAIL;
  return server_.As(&connectionPointContainer_);
}

HRESULT OpcDaProxy::GetShutdownConnectionPoint() {
  if (connectionPoint_) return S_OK;
  HRESULT hr = GetServerConnectionPointContainer();
  if (FAILED(hr)) {
    LogOpcda(kLogError, Format("OpcDaProxy::GetShutdownConnectionPoint: "
                               "GetServerConnectionPointContainer() failed: %1%",
                               FormatResult(hr)));
    return hr;
  }
  hr = connectionPointContainer_->FindConnectionPoint(IID_IOPCShutdown,
                                                      connectionPoint_.ReleaseAndGetAddressOf());
  if (FAILED(hr)) {
    connectionPoint_.Reset();
    LogOpcda(kLogError,
             Format("OpcDaProxy::GetShutdownConnectionPoint: FindConnectionPoint() failed: %1%",
                    FormatResult(hr)));
    return hr;
  }
  com::Adopt(shutdownSink_, new OpcShutdown());
  hr = advise_.Advise(connectionPoint_.Get(), shutdownSink_.Get());
  if (FAILED(hr)) {
    LogOpcda(kLogError, Format("OpcDaProxy::GetShutdownConnectionPoint: Advise() failed: %1%",
                               FormatResult(hr)));
    return hr;
  }
  return S_OK;
}

void OpcDaProxy::RemoveItems() {
  com::CoTaskArray<HRESULT> errors;
  const DWORD count = static_cast<DWORD>(serverHandles_.size());
  const HRESULT hr = itemMgt_->RemoveItems(count, serverHandles_.data(), errors.put());
  errors.set_size(SUCCEEDED(hr) ? count : 0);
  if (FAILED(hr)) {
    serverGone_ = serverGone_ || IsServerGone(hr);
    connectionLog_.Write(kLogError,
                         Format("IOPCItemMgt::RemoveItems failed: %1%", FormatResult(hr)));
  }
  bool anyItemFailed = false;
  for (HRESULT itemResult : errors) anyItemFailed = anyItemFailed || FAILED(itemResult);
  if (hr == S_FALSE || anyItemFailed) {
    std::string message = "IOPCItemMgt::RemoveItems partially failed, result: " + FormatResult(hr);
    for (std::size_t i = 0; i < errors.size(); ++i) {
      if (FAILED(errors[i])) message += Format("\nItem %1% failed: %2%", i, FormatResult(errors[i]));
    }
    connectionLog_.Write(kLogWarning, message);
  }
  serverHandles_.clear();
}

bool OpcDaProxy::Close() {
  SessionGuard guard(*this);
  if (!connected_) return true;
  if (!itemMgt_) {
    server_.Reset();
    connected_ = false;
    serverGone_ = false;
    return true;
  }
  // Once the server is known to be gone, nothing more is asked of it: every call would only
  // wait for the RPC layer to fail again.
  if (!serverHandles_.empty() && !serverGone_) RemoveItems();
  serverHandles_.clear();
  if (serverGroupHandle_ != 0 && !serverGone_) {
    const HRESULT hr = server_->RemoveGroup(serverGroupHandle_, TRUE);
    serverGone_ = IsServerGone(hr);
    if (FAILED(hr)) {
      connectionLog_.Write(kLogError,
                           Format("IOPCServer::RemoveGroup failed: %1%", FormatResult(hr)));
    }
  }
  serverGroupHandle_ = 0;
  connectionPointContainer_.Reset();
  if (serverGone_) {
    advise_.abandon();
  } else {
    advise_.reset();
  }
  connectionPoint_.Reset();
  if (shutdownSink_) {
    shutdownSink_->SetProxy(nullptr);
    // A stub that still holds the sink (Unadvise failed, the server died) lets go of it now, so
    // no late call or Release from the server reaches this library after the host freed it.
    ::CoDisconnectObject(static_cast<IOPCShutdown*>(shutdownSink_.Get()), 0);
  }
  shutdownSink_.Reset();
  syncIO_.Reset();
  syncIO2_.Reset();
  syncIO2Asked_ = false;
  itemMgt_.Reset();
  server_.Reset();
  connected_ = false;
  serverGone_ = false;
  return true;
}

void OpcDaProxy::RequestShutdown() {
  shutdownRequested_ = true;
  CloseIfShutdownRequested();
}

// A request sets the flag before it tries the session, and a holder lets go of the session
// before it reads the flag: one of the two always sees the other and closes.
void OpcDaProxy::CloseIfShutdownRequested() {
  while (shutdownRequested_) {
    std::unique_lock<std::recursive_mutex> session(sessionLock_, std::try_to_lock);
    // Held elsewhere, or further up this thread's own stack (a request re-entering during a
    // call): the holder closes when it lets go.
    if (!session.owns_lock() || sessionDepth_ > 0) return;
    if (!shutdownRequested_.exchange(false)) return;
    CloseLost();
  }
}

OpcDaProxy::SessionGuard::SessionGuard(OpcDaProxy& proxy) : proxy_(proxy) {
  proxy_.sessionLock_.lock();
  ++proxy_.sessionDepth_;
}

OpcDaProxy::SessionGuard::~SessionGuard() {
  const bool outermost = --proxy_.sessionDepth_ == 0;
  proxy_.sessionLock_.unlock();
  if (!outermost) return;
  try {
    proxy_.CloseIfShutdownRequested();
  } catch (...) {
    // Out of memory while logging the close; the next guard tries again.
  }
}

}  // namespace krelta
