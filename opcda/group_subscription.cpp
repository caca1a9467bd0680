#include "opcda/group_subscription.h"

#include <atomic>
#include <olectl.h>

#include "log/log_file.h"
#include "opcda/format_result.h"
#include "util/format.h"

namespace krelta {
namespace {

constexpr std::chrono::seconds kDefaultRefreshPeriod{60};
std::atomic<std::int64_t> g_refreshPeriodForTesting{0};  // Clock ticks; 0: none set
std::atomic<std::int64_t> g_answerWithinForTesting{0};

}  // namespace

GroupSubscription::Clock::duration GroupSubscription::RefreshPeriod() {
  const std::int64_t ticks = g_refreshPeriodForTesting.load();
  return ticks > 0 ? Clock::duration(ticks) : Clock::duration(kDefaultRefreshPeriod);
}

void GroupSubscription::SetRefreshTimingForTesting(Clock::duration period, Clock::duration answerWithin) {
  g_refreshPeriodForTesting.store(period.count() > 0 ? period.count() : 0);
  g_answerWithinForTesting.store(answerWithin.count() > 0 ? answerWithin.count() : 0);
}

GroupSubscription::~GroupSubscription() {
  if (!sink_) return;
  sink_->Close();
  // A stub that still holds the sink (Unadvise failed or was not made) lets go of it now, so no
  // late call or Release from the server reaches the library after the host freed it.
  sink_->Disconnect(kSinkDisconnectWaitMs);
}

bool GroupSubscription::Start(IUnknown* group, std::chrono::milliseconds updateRate) {
  updateRate_ = updateRate;
  com::ComPtr<IConnectionPointContainer> container;
  com::ComPtr<IConnectionPoint> point;
  auto sink = com::ComPtr<SubscriptionSink>();
  sink.Attach(new SubscriptionSink(mirror_));
  const char* failedCall = "IUnknown::QueryInterface(IConnectionPointContainer)";
  HRESULT hr = call_(failedCall, [&] {
    return group->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(container.GetAddressOf()));
  });
  if (SUCCEEDED(hr)) {
    failedCall = "IUnknown::QueryInterface(IOPCAsyncIO2)";
    hr = call_(failedCall, [&] {
      return group->QueryInterface(IID_IOPCAsyncIO2, reinterpret_cast<void**>(async_.ReleaseAndGetAddressOf()));
    });
  }
  if (SUCCEEDED(hr)) {
    failedCall = "IConnectionPointContainer::FindConnectionPoint";
    hr = call_(failedCall, [&] { return container->FindConnectionPoint(IID_IOPCDataCallback, point.GetAddressOf()); });
  }
  DWORD cookie = 0;
  if (SUCCEEDED(hr)) {
    failedCall = "IConnectionPoint::Advise";
    hr = call_(failedCall, [&] { return point->Advise(static_cast<IOPCDataCallback*>(sink.Get()), &cookie); });
  }
  if (FAILED(hr)) {
    sink->Close();
    sink->Disconnect(kSinkDisconnectWaitMs);
    async_.Reset();
    if (hr != E_ABORT) {
      log_(kLogWarning, Format("The server %1% refused the data change subscription (%2% failed: %3%); values "
                               "are read from the server.",
                               serverName_, failedCall, FormatResult(hr)));
    }
    return false;
  }
  sink_ = std::move(sink);
  point_ = std::move(point);
  cookie_ = cookie;
  // A keep-alive where the group offers one: silence then means the notifications stopped.
  com::ComPtr<IOPCGroupStateMgt2> state;
  const DWORD keepAlive = static_cast<DWORD>(2 * updateRate.count());
  DWORD revised = 0;
  const HRESULT asked = call_("IOPCGroupStateMgt2::SetKeepAlive", [&] {
    HRESULT r = group->QueryInterface(IID_IOPCGroupStateMgt2, reinterpret_cast<void**>(state.GetAddressOf()));
    return SUCCEEDED(r) ? state->SetKeepAlive(keepAlive, &revised) : r;
  });
  if (SUCCEEDED(asked) && revised > 0) mirror_->SetSilenceLimit(std::chrono::milliseconds(2 * revised));
  nextRefresh_ = Clock::now() + RefreshPeriod();
  return true;
}

void GroupSubscription::Track(const std::vector<std::pair<OPCHANDLE, OPCHANDLE>>& added) {
  if (!Active()) return;
  mirror_->Track(std::vector<std::pair<VariantMirror::Handle, VariantMirror::Handle>>(added.begin(), added.end()));
}

void GroupSubscription::Maintain(Clock::time_point now) {
  ReportHealth(now);
  if (now >= nextRefresh_) {
    nextRefresh_ = now + RefreshPeriod();
    DWORD cancel = 0;
    const DWORD transaction = nextTransaction_++;
    const std::int64_t within = g_answerWithinForTesting.load();
    const bool asked =
        mirror_->RefreshAsked(now, within > 0 ? Clock::duration(within) : Clock::duration(2 * updateRate_));
    const HRESULT hr = call_("IOPCAsyncIO2::Refresh2",
                             [&] { return async_->Refresh2(OPC_DS_CACHE, transaction, &cancel); });
    // A refresh refused (no active item yet, say) proves nothing either way.
    if (asked && FAILED(hr)) mirror_->RefreshRefused();
  }
}

void GroupSubscription::ReportHealth(Clock::time_point now) {
  switch (mirror_->CheckHealth(now)) {
    case MirrorHealthChange::kStopped:
      log_(kLogWarning, Format("Data change notifications stopped arriving from %1%; values are read from the "
                               "server until they do.",
                               serverName_));
      break;
    case MirrorHealthChange::kResumed:
      log_(kLogInformation, Format("Data change notifications arrive again from %1%; values are read from them "
                                   "where they are current.",
                                   serverName_));
      break;
    case MirrorHealthChange::kNone:
      break;
  }
}

ItemStates GroupSubscription::Read(const std::vector<OPCHANDLE>& handles, const ServerRead& serverRead) {
  if (!Active()) return serverRead(handles);
  Maintain(Clock::now());
  return ReadThroughMirror(*mirror_, handles, serverRead);
}

void GroupSubscription::NoteWritten(const std::vector<OPCHANDLE>& handles) {
  if (Active()) mirror_->NoteWritten(std::vector<VariantMirror::Handle>(handles.begin(), handles.end()));
}

void GroupSubscription::Stop(bool mayCall) {
  if (!Active()) return;
  stopped_ = true;
  sink_->Close();
  mirror_->Clear();
  if (mayCall) call_("IConnectionPoint::Unadvise", [&] { return point_->Unadvise(cookie_); });
  // The interfaces go with the subscription: letting go of a proxy is a server call too.
}

GroupSubscription::Status GroupSubscription::GetStatus() {
  Status status;
  status.advised = Active();
  if (!status.advised) return status;
  status.healthy = mirror_->Healthy();
  if (auto last = mirror_->LastNotification()) status.sinceLastNotification = Clock::now() - *last;
  status.notifications = mirror_->GetCounters().notifications;
  return status;
}

}  // namespace krelta
