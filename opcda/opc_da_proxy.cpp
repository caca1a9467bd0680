#include "opcda/opc_da_proxy.h"

#include <algorithm>
#include <atomic>
#include <cstdio>

#include "log/log_file.h"
#include "opcda/format_result.h"
#include "opcda/log_relay.h"
#include "opcda/on_session.h"
#include "opcda/session_thread.h"
#include "platform/com/wide_text.h"
#include "util/exception.h"
#include "util/format.h"

namespace krelta {
namespace {

// The bound set by SetCallTimeoutForTesting, or -1.
std::atomic<std::int64_t> g_callTimeoutForTestingMs{-1};

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

void OpcDaProxy::SetCallTimeoutForTesting(std::chrono::milliseconds bound) {
  g_callTimeoutForTestingMs = bound.count();
}

OpcDaProxy::OpcDaProxy(std::string delimiter, LogFile& connectionLog)
    : delimiter_(std::move(delimiter)),
      connectionLog_(connectionLog),
      logRelay_(std::make_shared<LogRelay>(connectionLog)),
      schedule_(g_firstReconnectInterval, g_longestReconnectInterval) {
  connectionLog_.Write(kLogInformation, "Initiating proxy.");
}

OpcDaProxy::~OpcDaProxy() {
  try {
    Close();
  } catch (...) {
    // Out of memory while logging; the session thread still ends by itself.
  }
  if (session_) session_->Abandon();
  // From here on a thread that comes back from a call late writes nowhere.
  logRelay_->Detach();
}

void OpcDaProxy::Configure(const std::string& user, const std::string& password,
                           const std::string& domain, const std::string& serverAddress) {
  credentials_.user = com::AnsiToWide(user);
  credentials_.password = com::AnsiToWide(password);
  credentials_.domain = com::AnsiToWide(domain);
  serverAddress_ = OPCURL(serverAddress);
  configured_ = true;
}

std::chrono::milliseconds OpcDaProxy::CallBound() const {
  const std::int64_t forTesting = g_callTimeoutForTestingMs.load();
  return forTesting >= 0 ? std::chrono::milliseconds(forTesting) : callTimeout_;
}

std::string OpcDaProxy::CallTimeoutText() const {
  const std::int64_t ms = CallBound().count();
  char text[32];
  if (ms % 1000 == 0) {
    std::snprintf(text, sizeof text, "%lld", static_cast<long long>(ms / 1000));
  } else {
    std::snprintf(text, sizeof text, "%.3g", static_cast<double>(ms) / 1000.0);
  }
  return text;
}

void OpcDaProxy::Abandon(const char* call) {
  connectionLog_.Write(kLogError, Format("The server did not answer %1% within %2% s: the session is "
                                         "abandoned and opened again later.",
                                         call, CallTimeoutText()));
  session_->Abandon();
  abandoned_.push_back(std::move(session_));  // leaves session_ empty
  schedule_.Lost(ReconnectSchedule::Clock::now());
}

void OpcDaProxy::RetireSession() {
  if (!session_) return;
  session_->Stop();
  session_.reset();
}

void OpcDaProxy::NoteLoss() {
  // A shutdown request counts from when it arrived: the session thread closes the session
  // after the request's call has returned to the server, possibly a moment later.
  if (!session_ || !(session_->Lost() || session_->ShutdownRequested())) return;
  schedule_.Lost(session_->Lost() ? session_->LostAt() : ReconnectSchedule::Clock::now());
  RetireSession();
}

bool OpcDaProxy::IsConnected() {
  NoteLoss();
  return session_ != nullptr;
}

std::size_t OpcDaProxy::AbandonedSessions() {
  abandoned_.erase(std::remove_if(abandoned_.begin(), abandoned_.end(),
                                  [](const std::shared_ptr<SessionThread>& t) { return t->Ended(); }),
                   abandoned_.end());
  return abandoned_.size();
}

bool OpcDaProxy::Open() {
  if (!configured_) return false;
  NoteLoss();
  if (session_) return true;
  connectionLog_.Write(kLogInformation, "Open OPC Server.");
  openFailure_.clear();
  openSteps_ = OpenSteps{};

  const std::string host = serverAddress_.GetHost();
  if (!host.empty()) {
    const HRESULT probe = PingHost(host, pingTimeoutMs_);
    if (FAILED(probe)) {
      openFailure_ = "the host did not answer: " + FormatResult(probe);
      return false;
    }
  }
  session_ = SessionThread::Start();
  SessionSettings settings{serverAddress_, credentials_, kUpdateRateSeconds};
  struct Opened {
    bool connected = false;
    std::string failure;
    OpenSteps steps;
  };
  const std::optional<Opened> opened = OnSession<Opened>(
      "CoCreateInstanceEx",
      [settings = std::move(settings), relay = logRelay_](OpcDaSession& session) {
        Opened answer;
        answer.connected = session.Open(settings, relay, answer.failure);
        answer.steps = session.Steps();
        return answer;
      });
  if (!opened) {
    if (openFailure_.empty()) openFailure_ = "the server did not answer in time";
    return false;
  }
  openSteps_ = opened->steps;
  if (!opened->connected) {
    openFailure_ = opened->failure;
    RetireSession();
    return false;
  }
  ++sessionNumber_;
  return true;
}

void OpcDaProxy::ReopenIfDue() {
  using Clock = ReconnectSchedule::Clock;
  NoteLoss();
  if (session_ || !schedule_.Due(Clock::now())) return;
  // Threads still stuck in calls to this server: no third one until one of them has ended.
  if (AbandonedSessions() >= kMaxAbandonedSessions) return;
  std::string name = serverAddress_.GetProgId();
  if (name.empty()) name = serverAddress_.GetPath().substr(0, serverAddress_.GetPath().find('/'));
  const std::string server = Format("%1% (%2%)", serverAddress_.GetHost(), name);
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

bool OpcDaProxy::Close() {
  AbandonedSessions();
  if (!session_) return true;
  OnSession<bool>("IOPCServer::RemoveGroup", [](OpcDaSession& session) {
    session.Close();
    return true;
  });
  RetireSession();
  return true;
}

std::vector<ItemRecord> OpcDaProxy::ListItems(const std::string& branchItemId,
                                              const std::string& displayPath, std::string* failure) {
  // A lost session is opened again only on the retry schedule, as for reads and writes; one
  // that was never opened is opened now.
  ReopenIfDue();
  if (!session_ && !schedule_.IsLost()) Open();
  struct Listing {
    std::vector<ItemRecord> items;
    std::string failure;
  };
  std::optional<Listing> listing = OnSession<Listing>(
      "IOPCBrowse::Browse",
      [branchItemId, displayPath, delimiter = delimiter_](OpcDaSession& session) {
        Listing answer;
        answer.items = session.ListItems(branchItemId, displayPath, delimiter, &answer.failure);
        return answer;
      });
  NoteLoss();
  if (failure) {
    *failure = !listing ? (timedOut_ ? "the server did not answer in time" : "there is no session")
                        : listing->failure;
  }
  return listing ? std::move(listing->items) : std::vector<ItemRecord>();
}

std::optional<ServerStatus> OpcDaProxy::GetStatus() {
  struct Status {
    bool closed = false;
    ServerStatus status;
  };
  std::optional<Status> answer = OnSession<Status>("IOPCServer::GetStatus", [](OpcDaSession& session) {
    Status s;
    s.status = session.GetStatus(s.closed);
    return s;
  });
  NoteLoss();
  if (!answer || answer->closed) return std::nullopt;
  return std::move(answer->status);
}

}  // namespace krelta
