// The subscription of one session's group: the data callback advised on the group, the mirror
// it fills, the periodic refresh that proves notifications still arrive, and the reads and writes
// that go through the mirror. Owned and used by the session's thread only; the sink is the one
// part other (RPC) threads reach, and it touches nothing but the mirror. Windows only.
#pragma once

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "opc_da.h"
#include "opcda/mirror_read.h"
#include "opcda/subscription_sink.h"
#include "platform/com/com_owners.h"

namespace krelta {

class GroupSubscription {
 public:
  using Clock = std::chrono::steady_clock;
  // Makes one server call (named for the call bound and its messages); answers its result, or
  // E_ABORT without calling when no more calls may be made.
  using ServerCall = std::function<HRESULT(const char* name, const std::function<HRESULT()>& call)>;
  using LogLine = std::function<void(std::int32_t level, const std::string& message)>;

  // How often the session asks for a refresh (60 s), and how soon its answer must arrive (twice
  // the update rate), unless tests set them (zero or less: the default).
  static Clock::duration RefreshPeriod();
  static void SetRefreshTimingForTesting(Clock::duration period, Clock::duration answerWithin);

  GroupSubscription(ServerCall call, LogLine log, std::string serverName)
      : call_(std::move(call)), log_(std::move(log)), serverName_(std::move(serverName)) {}
  ~GroupSubscription();
  GroupSubscription(const GroupSubscription&) = delete;
  GroupSubscription& operator=(const GroupSubscription&) = delete;

  // Advises the sink on group (its IConnectionPointContainer) and, where the group offers
  // IOPCGroupStateMgt2, asks for a keep-alive of twice the update rate. A refused Advise is one
  // Warning, and reads go to the server for this session. True when advised.
  bool Start(IUnknown* group, std::chrono::milliseconds updateRate);
  // Advised and not stopped.
  bool Active() const { return sink_ && !stopped_; }

  // Items the session added: (client handle, server handle) pairs.
  void Track(const std::vector<std::pair<OPCHANDLE, OPCHANDLE>>& added);
  // A read of handles: due refresh and health first, then the mirror and one server read of the
  // rest (serverRead), as one answer in request order.
  ItemStates Read(const std::vector<OPCHANDLE>& handles, const ServerRead& serverRead);
  // After a write of handles returned.
  void NoteWritten(const std::vector<OPCHANDLE>& handles);
  // A loss or a close: the mirror is cleared and the sink ignores whatever still arrives;
  // unadvised when mayCall (a gone or abandoned server is not called). The interfaces are
  // released, and the sink disconnected from COM, when the subscription is destroyed.
  void Stop(bool mayCall);

  // For the diagnosis: whether notifications arrive (a notification within twice the update
  // rate of now) and how many arrived.
  struct Status {
    bool advised = false;
    bool healthy = false;
    std::optional<Clock::duration> sinceLastNotification;
    std::uint64_t notifications = 0;
  };
  Status GetStatus();

 private:
  // Reports a health change (once), then asks for a refresh when one is due.
  void Maintain(Clock::time_point now);
  void ReportHealth(Clock::time_point now);

  ServerCall call_;
  LogLine log_;
  std::string serverName_;
  std::chrono::milliseconds updateRate_{5000};
  std::shared_ptr<VariantMirror> mirror_ = std::make_shared<VariantMirror>();
  com::ComPtr<SubscriptionSink> sink_;
  com::ComPtr<IConnectionPoint> point_;
  DWORD cookie_ = 0;
  com::ComPtr<IOPCAsyncIO2> async_;
  Clock::time_point nextRefresh_{};
  DWORD nextTransaction_ = 1;
  bool stopped_ = false;
};

}  // namespace krelta
