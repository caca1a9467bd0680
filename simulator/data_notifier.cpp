#include "simulator/data_notifier.h"

#include <chrono>
#include <thread>

#include "simulator/group_object.h"
#include "simulator/runtime.h"
#include "simulator_control.h"

namespace krelta::sim {
namespace {

using Clock = std::chrono::steady_clock;

bool SameValue(const VARIANT& a, const VARIANT& b) {
  if (a.vt != b.vt) return false;
  if ((a.vt & VT_ARRAY) != 0) return false;  // arrays count as changed whenever their time did
  return ::VarCmp(const_cast<VARIANT*>(&a), const_cast<VARIANT*>(&b), LOCALE_USER_DEFAULT, 0) ==
         static_cast<HRESULT>(VARCMP_EQ);
}

// Results that say the client process is gone or refuses callbacks for good.
bool ClientGone(HRESULT hr) {
  return HRESULT_FACILITY(hr) == FACILITY_RPC ||
         (HRESULT_FACILITY(hr) == FACILITY_WIN32 && HRESULT_CODE(hr) >= 1700 && HRESULT_CODE(hr) < 1800);
}

}  // namespace

DataNotifier::~DataNotifier() {
  if (sink_) Runtime::Get().Count(SIM_COUNTER_DATA_SINKS, -1);
}

HRESULT STDMETHODCALLTYPE DataNotifier::QueryInterface(REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IConnectionPoint)) return E_NOINTERFACE;
  *out = static_cast<IConnectionPoint*>(this);
  AddRef();
  return S_OK;
}
ULONG STDMETHODCALLTYPE DataNotifier::AddRef() { return owner_->AddRef(); }
ULONG STDMETHODCALLTYPE DataNotifier::Release() { return owner_->Release(); }

HRESULT STDMETHODCALLTYPE DataNotifier::GetConnectionInterface(IID* iid) {
  if (iid == nullptr) return E_POINTER;
  *iid = IID_IOPCDataCallback;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE DataNotifier::GetConnectionPointContainer(IConnectionPointContainer** out) {
  if (out == nullptr) return E_POINTER;
  return owner_->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(out));
}

HRESULT STDMETHODCALLTYPE DataNotifier::Advise(IUnknown* sink, DWORD* cookie) {
  CallScope call("IConnectionPoint::Advise(IOPCDataCallback)");
  return Guarded(call, [&]() -> HRESULT {
    if (cookie == nullptr) return E_POINTER;
    *cookie = 0;
    if (sink == nullptr) return E_POINTER;
    HRESULT hr;
    if (FaultStops(SIM_FAULT_DATA_ADVISE_RESULT, &hr)) return hr;
    com::ComPtr<IOPCDataCallback> callback;
    if (FAILED(sink->QueryInterface(IID_IOPCDataCallback, reinterpret_cast<void**>(callback.GetAddressOf())))) {
      return CONNECT_E_CANNOTCONNECT;
    }
    unsigned generation;
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (stopped_) return E_FAIL;  // removed from its server
      if (sink_) return CONNECT_E_ADVISELIMIT;
      sink_ = std::move(callback);
      cookie_ = nextCookie_++;
      *cookie = cookie_;
      generation = ++generation_;
    }
    Runtime::Get().Count(SIM_COUNTER_DATA_SINKS);
    owner_->AddRef();  // held by the thread
    std::thread([this, generation] { Run(generation); }).detach();
    return FaultSuccess(SIM_FAULT_DATA_ADVISE_RESULT, S_OK);
  });
}

HRESULT STDMETHODCALLTYPE DataNotifier::Unadvise(DWORD cookie) {
  CallScope call("IConnectionPoint::Unadvise(IOPCDataCallback)");
  call.Args("cookie=%lu", cookie);
  return Guarded(call, [&]() -> HRESULT {
    com::ComPtr<IOPCDataCallback> released;  // released outside the lock: a remote call
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (!sink_ || cookie != cookie_) return CONNECT_E_NOCONNECTION;
      released.Swap(sink_);  // mingw-w64's move assignment of ComPtr copies: the source stays set
      ++generation_;
      refreshes_.clear();
    }
    wake_.notify_all();
    Runtime::Get().Count(SIM_COUNTER_DATA_SINKS, -1);
    return S_OK;
  });
}

HRESULT STDMETHODCALLTYPE DataNotifier::EnumConnections(IEnumConnections** out) {
  if (out != nullptr) *out = nullptr;
  return E_NOTIMPL;
}

HRESULT DataNotifier::QueueRefresh(DWORD transaction, DWORD* cancelId) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (!sink_) return CONNECT_E_NOCONNECTION;
    refreshes_.push_back(transaction);
    *cancelId = nextCancelId_++;
  }
  wake_.notify_all();
  return S_OK;
}

void DataNotifier::Wake() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    woken_ = true;
  }
  wake_.notify_all();
}

void DataNotifier::Stop() {
  com::ComPtr<IOPCDataCallback> released;
  {
    std::lock_guard<std::mutex> guard(lock_);
    stopped_ = true;
    ++generation_;
    if (sink_) Runtime::Get().Count(SIM_COUNTER_DATA_SINKS, -1);
    released.Swap(sink_);
  }
  wake_.notify_all();
}

void DataNotifier::SetEnable(bool enable) {
  std::lock_guard<std::mutex> guard(lock_);
  enabled_ = enable;
}

bool DataNotifier::Enabled() {
  std::lock_guard<std::mutex> guard(lock_);
  return enabled_;
}

DWORD DataNotifier::SetKeepAlive(DWORD milliseconds) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    keepAliveMs_ = milliseconds;
  }
  wake_.notify_all();
  return milliseconds;
}

DWORD DataNotifier::KeepAlive() {
  std::lock_guard<std::mutex> guard(lock_);
  return keepAliveMs_;
}

std::vector<const ItemSample*> DataNotifier::Changed(const GroupSnapshot& snapshot, SentItems& sent) {
  std::vector<const ItemSample*> changed;
  SentItems kept;
  kept.reserve(snapshot.items.size());
  for (const ItemSample& item : snapshot.items) {
    auto found = sent.find(item.server);
    Sent* last = found != sent.end() ? &found->second : nullptr;
    if (last == nullptr || last->quality != item.quality || last->error != item.error ||
        CompareFileTime(&last->time, &item.time) != 0 || !SameValue(*last->value.get(), *item.value.get())) {
      changed.push_back(&item);
      Sent now;
      now.value = item.value;
      now.quality = item.quality;
      now.time = item.time;
      now.error = item.error;
      kept.emplace(item.server, std::move(now));
    } else {
      kept.emplace(item.server, std::move(*last));
    }
  }
  sent = std::move(kept);  // removed items are forgotten
  return changed;
}

bool DataNotifier::Send(IOPCDataCallback* sink, bool refresh, DWORD transaction,
                        const GroupSnapshot& snapshot, const std::vector<const ItemSample*>& items) {
  if (Runtime::Get().Fault(SIM_FAULT_NOTIFICATIONS_STOPPED) != 0) return true;
  const size_t n = items.size();
  // [in, size_is(0)] arrays still need valid pointers for the marshaler.
  std::vector<OPCHANDLE> clients(n + 1);
  std::vector<VARIANT> values(n + 1);
  std::vector<WORD> qualities(n + 1);
  std::vector<FILETIME> times(n + 1);
  std::vector<HRESULT> errors(n + 1);
  HRESULT masterQuality = S_OK, masterError = S_OK;
  for (size_t i = 0; i < n; ++i) {
    clients[i] = items[i]->client;
    values[i] = *items[i]->value.get();  // borrowed: the snapshot owns it
    qualities[i] = items[i]->quality;
    times[i] = items[i]->time;
    errors[i] = items[i]->error;
    if ((qualities[i] & 0xC0) != 0xC0) masterQuality = S_FALSE;
    if (FAILED(errors[i])) masterError = S_FALSE;
  }
  const DWORD count = static_cast<DWORD>(n);
  Runtime::Get().Count(SIM_COUNTER_DATA_CALLBACKS);
  const HRESULT hr =
      refresh ? sink->OnReadComplete(transaction, snapshot.clientGroup, masterQuality, masterError, count,
                                     clients.data(), values.data(), qualities.data(), times.data(), errors.data())
              : sink->OnDataChange(0, snapshot.clientGroup, masterQuality, masterError, count, clients.data(),
                                   values.data(), qualities.data(), times.data(), errors.data());
  if (Runtime::Get().LogEnabled()) {
    char line[160];
    std::snprintf(line, sizeof line, "callback %s(count=%lu) -> 0x%08lX", refresh ? "OnReadComplete" : "OnDataChange",
                  static_cast<unsigned long>(count), static_cast<unsigned long>(hr));
    Runtime::Get().LogLine(line);
  }
  return !ClientGone(hr);
}

void DataNotifier::Run(unsigned generation) {
  {
    com::ApartmentGuard apartment(COINIT_MULTITHREADED);
    Clock::time_point nextPass = Clock::now();
    Clock::time_point lastCallback = Clock::now();
    SentItems sent;  // what this Advise's sink has seen
    for (;;) {
      com::ComPtr<IOPCDataCallback> sink;
      std::deque<DWORD> refreshes;
      bool enabled, woken;
      DWORD keepAlive;
      {
        std::unique_lock<std::mutex> guard(lock_);
        while (generation_ == generation && !woken_ && refreshes_.empty()) {
          auto due = nextPass;
          if (keepAliveMs_ > 0) due = std::min(due, lastCallback + std::chrono::milliseconds(keepAliveMs_));
          if (Clock::now() >= due) break;
          wake_.wait_until(guard, due);
        }
        if (generation_ != generation) break;
        sink = sink_;
        refreshes.swap(refreshes_);
        enabled = enabled_;
        keepAlive = keepAliveMs_;
        woken = woken_;
        woken_ = false;
      }
      GroupSnapshot snapshot;
      group_->Snapshot(snapshot);
      bool alive = true;
      for (DWORD transaction : refreshes) {
        std::vector<const ItemSample*> all;
        for (const ItemSample& item : snapshot.items) all.push_back(&item);
        alive = alive && Send(sink.Get(), true, transaction, snapshot, all);
      }
      const auto now = Clock::now();
      const bool keepAliveDue = keepAlive > 0 && now - lastCallback >= std::chrono::milliseconds(keepAlive);
      if (alive && now >= nextPass) {
        const std::vector<const ItemSample*> changed = snapshot.active ? Changed(snapshot, sent) : std::vector<const ItemSample*>{};
        if (enabled && snapshot.active && (!changed.empty() || keepAliveDue)) {
          alive = Send(sink.Get(), false, 0, snapshot, changed);
          lastCallback = now;
        }
        const LONG period = Runtime::Get().Fault(SIM_FAULT_NOTIFY_PERIOD_MS);
        const DWORD rate = period > 0 ? static_cast<DWORD>(period) : snapshot.updateRate;
        nextPass = now + std::chrono::milliseconds(rate < 10 ? 10 : rate);
      } else if (alive && woken) {
        // New items or a new group state: look for changes now; the period starts from there.
        nextPass = now;
      } else if (alive && keepAliveDue && enabled && snapshot.active) {
        alive = Send(sink.Get(), false, 0, snapshot, {});  // nothing changed within the keep-alive time
        lastCallback = now;
      }
      if (!alive) {
        std::lock_guard<std::mutex> guard(lock_);
        if (generation_ == generation) {
          sink_.Reset();
          ++generation_;
          Runtime::Get().Count(SIM_COUNTER_DATA_SINKS, -1);
        }
        break;
      }
    }
  }
  owner_->Release();  // the last thing this thread touches: it may end the group
}

}  // namespace krelta::sim
