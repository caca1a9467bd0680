#include "opcda/opc_da_proxy.h"

#include <algorithm>
#include <atomic>
#include <cctype>
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

// A short pause during which a single-threaded apartment's messages keep flowing.
void WaitAMoment() {
  AnswerSlot<bool> nothing;
  if (InSingleThreadedApartment()) nothing.PumpWhileWaiting();
  nothing.Wait(std::chrono::milliseconds(10));
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
    case 0x800706BF:  // RPC_S_CALL_FAILED_DNE
    case 0x80004018:  // CO_E_SERVER_STOPPING
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
  pendingOpen_.reset();
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

std::string OpcDaProxy::ServerName() const {
  std::string name = serverAddress_.GetProgId();
  if (name.empty()) name = serverAddress_.GetPath().substr(0, serverAddress_.GetPath().find('/'));
  return Format("%1% (%2%)", serverAddress_.GetHost(), name);
}

std::string OpcDaProxy::ServerKey() const {
  std::string key = serverAddress_.GetHost() + "/" + ToBracedString(serverAddress_.GetClsid());
  for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return key;
}

std::chrono::steady_clock::time_point OpcDaProxy::MeasuredSince(
    const SessionThread& thread, std::chrono::steady_clock::time_point posted) {
  if (thread.InSelfBoundedCall()) return std::chrono::steady_clock::now();
  return std::max(thread.ProgressAt(), posted);
}

bool OpcDaProxy::OutlivedBound(const SessionThread& thread,
                               std::chrono::steady_clock::time_point posted) const {
  const std::chrono::milliseconds bound = CallBound();
  return bound.count() > 0 && std::chrono::steady_clock::now() - MeasuredSince(thread, posted) >= bound;
}

void OpcDaProxy::AbandonOpen() {
  const char* call = session_->CurrentCall();
  Abandon(call != nullptr ? call : "CoCreateInstanceEx");
  openFailure_ = "the server did not answer in time";
}

void OpcDaProxy::Abandon(const char* call) {
  connectionLog_.Write(kLogError, Format("The server did not answer %1% within %2% s: the session is "
                                         "abandoned and opened again later.",
                                         call, CallTimeoutText()));
  session_->Abandon();
  session_.reset();
  pendingOpen_.reset();
  schedule_.Lost(ReconnectSchedule::Clock::now());
}

void OpcDaProxy::RetireSession() {
  pendingOpen_.reset();
  if (!session_) return;
  session_->Stop(CallBound());
  session_.reset();
}

void OpcDaProxy::NoteLoss() {
  // A shutdown request counts from when it arrived: the session thread closes the session
  // after the request's call has returned to the server, possibly a moment later.
  if (!session_ || pendingOpen_ || !(session_->Lost() || session_->ShutdownRequested())) return;
  schedule_.Lost(session_->Lost() ? session_->LostAt() : ReconnectSchedule::Clock::now());
  RetireSession();
}

bool OpcDaProxy::IsConnected() {
  NoteLoss();
  return session_ != nullptr && !pendingOpen_;
}

OpcDaProxy::OpenStart OpcDaProxy::StartOpen() {
  openFailure_.clear();
  openSteps_ = OpenSteps{};
  const std::chrono::milliseconds bound = CallBound();
  std::size_t stuck = 0;
  session_ = SessionThread::StartOpening(ServerKey(), bound, stuck);
  if (!session_) {
    if (stuck < kMaxStuckCalls) return OpenStart::kBusy;
    openFailure_ = Format("%1% calls to %2% have not returned; not opened again until one does",
                          stuck, ServerName());
    return OpenStart::kRefused;
  }
  connectionLog_.Write(kLogInformation, "Open OPC Server.");
  // The probe ends by itself within its own bound, never longer than a call may take.
  DWORD probeMs = pingTimeoutMs_;
  if (bound.count() > 0) probeMs = std::min<DWORD>(probeMs, static_cast<DWORD>(bound.count()));
  SessionSettings settings{serverAddress_, credentials_, kUpdateRateSeconds, probeMs, readFromSubscription_,
                           ServerName()};
  pendingOpen_ = std::make_shared<AnswerSlot<OpenAnswer>>();
  if (InSingleThreadedApartment()) pendingOpen_->PumpWhileWaiting();
  const bool posted = session_->Post(
      [slot = pendingOpen_, settings = std::move(settings), relay = logRelay_](OpcDaSession& session) {
        try {
          OpenAnswer answer;
          answer.connected = session.Open(settings, relay, answer.failure);
          answer.steps = session.Steps();
          slot->Set(std::move(answer));
        } catch (...) {
          slot->SetFailure(std::current_exception());
        }
      });
  if (!posted) {
    RetireSession();
    openFailure_ = "no session";
    return OpenStart::kRefused;
  }
  return OpenStart::kStarted;
}

bool OpcDaProxy::FinishOpen(OpenAnswer answer) {
  pendingOpen_.reset();
  openSteps_ = answer.steps;
  if (!answer.connected) {
    openFailure_ = answer.failure;
    RetireSession();
    return false;
  }
  ++sessionNumber_;
  return true;
}

bool OpcDaProxy::Open() {
  if (!configured_) return false;
  NoteLoss();
  if (pendingOpen_) {
    // A reopen under way is not waited for here either.
    SettlePendingReopen();
    return IsConnected();
  }
  if (session_) return true;
  // Opens of the server under way on other connections end or turn out stuck within the bound.
  OpenStart start;
  while ((start = StartOpen()) == OpenStart::kBusy) WaitAMoment();
  if (start == OpenStart::kRefused) {
    connectionLog_.Write(kLogError, Format("The server is not opened: %1%.", openFailure_));
    return false;
  }
  const auto posted = std::chrono::steady_clock::now();
  if (!WaitForAnswer(*session_, *pendingOpen_, posted)) {
    AbandonOpen();
    return false;
  }
  return FinishOpen(pendingOpen_->Take());
}

void OpcDaProxy::LogReopen(bool reconnected) {
  using Clock = ReconnectSchedule::Clock;
  if (reconnected) {
    const Clock::duration away = Clock::now() - schedule_.LostAt();
    schedule_.Reconnected();
    connectionLog_.Write(kLogWarning, Format("Reconnected to server %1% after %2% s.", ServerName(),
                                             SecondsText(away)));
    return;
  }
  // The next attempt counts from when this one began, as if it had failed at once: how long
  // its calls took does not stretch the schedule.
  schedule_.AttemptFailed(std::min(attemptStartedAt_, Clock::now()));
  connectionLog_.Write(kLogError, Format("Could not reconnect to server %1%: %2%. Next attempt in "
                                         "%3% s.",
                                         ServerName(), openFailure_.empty() ? "no session" : openFailure_,
                                         SecondsText(schedule_.Interval())));
}

void OpcDaProxy::SettlePendingReopen(bool wait) {
  if (!pendingOpen_) return;
  const auto now = std::chrono::steady_clock::now();
  if (wait ? WaitForAnswer(*session_, *pendingOpen_, now) : pendingOpen_->WaitUntil(now)) {
    LogReopen(FinishOpen(pendingOpen_->Take()));
    return;
  }
  // Still opening: given up on once one of its calls has outlived the bound (the thread marked
  // progress when the open's task began).
  if (!wait && !OutlivedBound(*session_, {})) return;
  AbandonOpen();
  LogReopen(false);
}

void OpcDaProxy::ReopenIfDue() {
  NoteLoss();
  SettlePendingReopen();
  if (session_ || !schedule_.Due(ReconnectSchedule::Clock::now())) return;
  // The attempt runs on the new session's thread; this caller goes on as while away.
  attemptStartedAt_ = ReconnectSchedule::Clock::now();
  // While other opens of the server are under way the reopen stays due for the next caller.
  if (StartOpen() == OpenStart::kRefused) LogReopen(false);
}

bool OpcDaProxy::Close() {
  if (pendingOpen_) {
    // An open under way is not waited for: its thread closes what it opened and ends.
    RetireSession();
    return true;
  }
  if (!session_) return true;
  OnSession<bool>("IOPCServer::RemoveGroup", [](OpcDaSession& session) {
    session.Close();
    return true;
  });
  RetireSession();
  return true;
}

ItemListing OpcDaProxy::List(const std::string& branchItemId, const std::string& displayPath) {
  // A lost session is opened again only on the retry schedule, as for reads and writes, and
  // the listing waits for that reopen; one that was never opened is opened now.
  ReopenIfDue();
  SettlePendingReopen(true);
  if (!session_ && !schedule_.IsLost()) Open();
  SessionOutcome<ListingAnswer> listing = OnSession<ListingAnswer>(
      "IOPCBrowse::Browse",
      [branchItemId, displayPath, delimiter = delimiter_](OpcDaSession& session) {
        return session.ListItems(branchItemId, displayPath, delimiter);
      });
  NoteLoss();
  ItemListing result;
  switch (listing.kind) {
    case SessionOutcome<ListingAnswer>::kAnswered:
      result.items = std::move(listing->items);
      result.failure = std::move(listing->failure);
      break;
    case SessionOutcome<ListingAnswer>::kClosed:
      result.failure = "there is no session";
      break;
    case SessionOutcome<ListingAnswer>::kNoAnswer:
      result.failure = "the server did not answer in time";
      result.unanswered = listing.call;
      break;
  }
  return result;
}

std::vector<ItemRecord> OpcDaProxy::ListItems(const std::string& branchItemId,
                                              const std::string& displayPath, std::string* failure) {
  ItemListing listing = List(branchItemId, displayPath);
  if (failure) *failure = std::move(listing.failure);
  return std::move(listing.items);
}

std::optional<GroupSubscription::Status> OpcDaProxy::SubscriptionStatus() {
  SessionOutcome<SubscriptionAnswer> answer = OnSession<SubscriptionAnswer>(
      "the subscription's status", [](OpcDaSession& session) { return session.SubscriptionStatus(); });
  NoteLoss();
  if (!answer.Answered()) return std::nullopt;
  return answer->status;
}

std::optional<ServerStatus> OpcDaProxy::GetStatus() {
  SessionOutcome<StatusAnswer> answer =
      OnSession<StatusAnswer>("IOPCServer::GetStatus", [](OpcDaSession& session) { return session.GetStatus(); });
  NoteLoss();
  if (!answer.Answered()) return std::nullopt;
  return std::move(answer->status);
}

}  // namespace krelta
