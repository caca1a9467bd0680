// Reads from the subscription mirror, alone and through the library's exports with
// ReadFromSubscription 1, against the raw IOPCSyncIO::Read, 10,000 items in 10 nodes
// of 1,000 (one read per node, as the connection groups them), with the simulator's per-call
// delay at 0 and 20 ms (a server on the plant network). Also shows what the mirror rests on: the
// first notification brings every item, a steady-state poll makes no server call, a refresh is
// answered, the stop fault silences the notifications; and the mirror's memory per item.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

#include "bench/opcda/library_reads.h"
#include "bench/opcda/raw_session.h"
#include "bench/support/median_time.h"
#include "bench/support/heap_bytes.h"
#include "opcda/subscription_sink.h"
#include "simulator/address_space.h"

namespace {

using krelta::bench::MedianMicros;
using Clock = std::chrono::steady_clock;
using krelta::VariantMirror;
constexpr DWORD kNodes = krelta::bench::kBranches, kPerNode = krelta::bench::kPerBranch;

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    ::Sleep(5);
  }
  return true;
}

LONG Counter(ISimulatorControl* control, DWORD counter) {
  LONG value = -1;
  control->GetCounter(counter, &value);
  return value;
}

// Heap of a mirror holding count R8 items, each notified once, per item.
double MirrorBytesPerItem(std::size_t count) {
  const std::size_t before = krelta::bench::HeapBytesInUse();
  auto mirror = std::make_unique<VariantMirror>();
  std::vector<std::pair<VariantMirror::Handle, VariantMirror::Handle>> pairs;
  for (std::size_t i = 0; i < count; ++i) pairs.emplace_back(i + 1, i + 1000001);
  mirror->Track(pairs);
  pairs = {};
  std::vector<OPCHANDLE> clients(1000);
  std::vector<VARIANT> values(1000);
  std::vector<WORD> qualities(1000, 0xC0);
  std::vector<std::uint64_t> times(1000, 1);
  for (VARIANT& v : values) {
    v.vt = VT_R8;
    v.dblVal = 1.5;
  }
  for (std::size_t first = 0; first < count; first += 1000) {
    for (std::size_t i = 0; i < 1000; ++i) clients[i] = static_cast<OPCHANDLE>(first + i + 1);
    VariantMirror::Notification n{reinterpret_cast<const VariantMirror::Handle*>(clients.data()), 1000,
                                  values.data(), 1000, qualities.data(), 1000, times.data(), 1000, nullptr, 0};
    mirror->Apply(n, Clock::now());
  }
  const std::size_t after = krelta::bench::HeapBytesInUse();
  mirror.reset();
  return static_cast<double>(after - before) / static_cast<double>(count);
}

}  // namespace

int main() {
  krelta::com::ApartmentGuard apartment(COINIT_MULTITHREADED);
  const auto ids = krelta::bench::GeneratedItemIds(kNodes, kPerNode);
  krelta::com::ComPtr<ISimulatorControl> control;
  HRESULT hr = krelta::bench::StartGeneratedSimulator(kNodes, kPerNode, control);
  krelta::bench::RawSession session;
  if (SUCCEEDED(hr)) hr = session.Open(CLSID_KreltaSimulatorDA3);
  if (SUCCEEDED(hr)) hr = session.AddItems(ids);
  auto mirror = std::make_shared<VariantMirror>();
  std::vector<std::pair<VariantMirror::Handle, VariantMirror::Handle>> pairs;
  for (std::size_t i = 0; i < session.Handles().size(); ++i) pairs.emplace_back(i, session.Handles()[i]);
  mirror->Track(pairs);
  krelta::com::ComPtr<krelta::SubscriptionSink> sink;
  sink.Attach(new krelta::SubscriptionSink(mirror));
  if (SUCCEEDED(hr)) hr = session.Advise(sink.Get());
  if (FAILED(hr)) {
    std::printf("cannot open the simulator or advise the sink: 0x%08lX\n", static_cast<unsigned long>(hr));
    return 1;
  }
  const bool allFirst = WaitFor([&] { return mirror->GetCounters().items >= ids.size(); }, std::chrono::seconds(20));
  std::printf("first notification brought every item: %s (%llu items in %llu notifications)\n",
              allFirst ? "yes" : "NO", static_cast<unsigned long long>(mirror->GetCounters().items),
              static_cast<unsigned long long>(mirror->GetCounters().notifications));

  std::vector<std::vector<VariantMirror::Handle>> nodes(kNodes);
  for (std::size_t i = 0; i < ids.size(); ++i) nodes[i / kPerNode].push_back(session.Handles()[i]);
  std::vector<std::optional<VariantMirror::Sample>> samples;
  bool failed = false;
  auto mirrorPoll = [&] {
    for (const auto& node : nodes) {
      if (mirror->Take(node, samples) != node.size()) return false;
    }
    return true;
  };
  auto rawPoll = [&] {
    for (DWORD n = 0; n < kNodes; ++n) {
      if (FAILED(session.Read(kPerNode, OPC_DS_CACHE, n * kPerNode))) return false;
    }
    return true;
  };
  for (LONG delay : {0L, 20L}) {
    control->SetFault(SIM_FAULT_CALL_DELAY_MS, delay);
    const LONG callsBefore = Counter(control.Get(), SIM_COUNTER_OPC_CALLS);
    const double viaMirror = MedianMicros(delay == 0 ? 200 : 50, mirrorPoll, &failed);
    const LONG mirrorCalls = Counter(control.Get(), SIM_COUNTER_OPC_CALLS) - callsBefore;
    const double raw = MedianMicros(delay == 0 ? 20 : 5, rawPoll, &failed);
    std::printf("delay %2ld ms: raw SyncIO poll %10.1f us, mirror poll %8.1f us, server calls by the mirror "
                "polls %ld; mirror / raw: %.4f (target <= %.2f)\n",
                delay, raw, viaMirror, mirrorCalls, viaMirror / raw, delay == 0 ? 0.1 : 0.02);
  }
  control->SetFault(SIM_FAULT_CALL_DELAY_MS, 0);

  // The same through the library's exports: a connection with ReadFromSubscription 1 reading all
  // 10,000 tags (ten nodes), against the ten raw reads, interleaved.
  krelta::host::Library dll;
  krelta::bench::Configure("BenchMirror", krelta::kLogInformation, true);
  const krelta::bench::Opened library = dll.Loaded() ? krelta::bench::Open(dll, "BenchMirror") : krelta::bench::Opened{};
  const std::size_t n = library.tags.size();
  const bool libraryReady = n == ids.size() && krelta::bench::ReadAll(dll, library, n) &&
                            WaitFor([&] {
                              const LONG calls = Counter(control.Get(), SIM_COUNTER_OPC_CALLS);
                              return krelta::bench::ReadAll(dll, library, n) &&
                                     Counter(control.Get(), SIM_COUNTER_OPC_CALLS) == calls;
                            }, std::chrono::seconds(20));
  for (LONG delay : {0L, 20L}) {
    if (!libraryReady) {
      std::printf("the library's connection did not come to read from its subscription (%zu tags)\n", n);
      failed = true;
      break;
    }
    control->SetFault(SIM_FAULT_CALL_DELAY_MS, delay);
    const auto [viaLibrary, raw] = krelta::bench::Interleaved(
        delay == 0 ? 21 : 7, [&] { return krelta::bench::ReadAll(dll, library, n); }, rawPoll, &failed);
    std::printf("delay %2ld ms: krelta2_connectionReadCurrentData of %zu tags %10.1f us, raw SyncIO poll %10.1f us; "
                "library / raw: %.4f (target <= %.2f)\n",
                delay, n, viaLibrary, raw, viaLibrary / raw, delay == 0 ? 0.1 : 0.02);
  }
  control->SetFault(SIM_FAULT_CALL_DELAY_MS, 0);
  if (library.connection != nullptr) dll.krelta2_connectionClose(library.connection);

  auto notifications = [&] { return mirror->GetCounters().notifications; };
  std::uint64_t before = notifications();
  hr = session.Refresh(7);
  const bool refreshed = SUCCEEDED(hr) && WaitFor([&] { return notifications() > before; }, std::chrono::seconds(5));
  std::printf("Refresh2 answered by OnReadComplete: %s\n", refreshed ? "yes" : "NO");
  control->SetFault(SIM_FAULT_NOTIFICATIONS_STOPPED, 1);
  ::Sleep(200);  // a pass already under way may still arrive
  before = notifications();
  hr = session.Refresh(8);
  const bool silent = SUCCEEDED(hr) && !WaitFor([&] { return notifications() > before; }, std::chrono::seconds(3));
  std::printf("stop fault: Refresh2 succeeds and no notification follows: %s\n", silent ? "yes" : "NO");
  control->SetFault(SIM_FAULT_NOTIFICATIONS_STOPPED, 0);
  // Nothing changes in the generated space: only keep-alive notifications arrive.
  hr = session.SetKeepAlive(200);
  before = notifications();
  ::Sleep(1500);
  const bool keptAlive = SUCCEEDED(hr) && notifications() >= before + 3;
  std::printf("keep-alive of 200 ms on an unchanging group: %s (%llu notifications in 1.5 s)\n",
              keptAlive ? "yes" : "NO", static_cast<unsigned long long>(notifications() - before));

  session.Close();
  sink->Close();
  krelta::com::Bstr error;
  control->ClearFaults();
  control->LoadAddressSpace(krelta::sim::kDefaultAddressSpace, error.put());  // as we found it
  std::printf("mirror memory per item (100,000 R8 items): %.1f B (target <= 100 B beyond the 148 B of a tag)\n",
              MirrorBytesPerItem(100000));
  if (failed) {
    std::printf("a read failed\n");
    return 1;
  }
  return allFirst && refreshed && silent && keptAlive ? 0 : 1;
}
