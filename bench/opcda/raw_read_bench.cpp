// Raw IOPCSyncIO::Read through the proxy/stub to the simulator, 1 and 10,000 items, against the
// same read in-process on the simulator's own objects. Prints times and the ratios between them.
#include <chrono>
#include <cstdio>
#include <vector>

#include "bench/opcda/raw_session.h"
#include "bench/support/median_time.h"
#include "simulator/runtime.h"
#include "simulator/server_objects.h"

namespace {

using krelta::bench::MedianMicros;

HRESULT CreateInProcess(REFIID iid, void** out) { return krelta::sim::CreateServerObject(true, iid, out); }

}  // namespace

int main() {
  krelta::com::ApartmentGuard apartment(COINIT_MULTITHREADED);
  constexpr DWORD kBranches = 10, kPerBranch = 1000;  // 10,000 items
  const auto ids = krelta::bench::GeneratedItemIds(kBranches, kPerBranch);

  krelta::com::ComPtr<ISimulatorControl> control;
  HRESULT hr = krelta::bench::StartGeneratedSimulator(kBranches, kPerBranch, control);
  krelta::bench::RawSession remote;
  if (SUCCEEDED(hr)) hr = remote.Open(CLSID_KreltaSimulatorDA3);
  if (SUCCEEDED(hr)) hr = remote.AddItems(ids);
  if (FAILED(hr)) {
    std::printf("cannot open the simulator: 0x%08lX\n", static_cast<unsigned long>(hr));
    return 1;
  }
  // The in-process copy of the simulator has its own (default) space: generate the same one.
  krelta::sim::Runtime::Get().ReplaceSpace(krelta::sim::AddressSpace::Generate(kBranches, kPerBranch));
  krelta::bench::RawSession local;
  hr = local.Open(CLSID_KreltaSimulatorDA3, &CreateInProcess);
  if (SUCCEEDED(hr)) hr = local.AddItems(ids);
  if (FAILED(hr)) {
    std::printf("cannot open the in-process server: 0x%08lX\n", static_cast<unsigned long>(hr));
    return 1;
  }
  krelta::sim::Runtime::Get().OpenLog(L"", false);  // per-call lines are not what we measure

  bool failed = false;
  remote.Read(1);  // warm-up: first marshaling of the interface
  const double remote1 = MedianMicros(200, [&] { return SUCCEEDED(remote.Read(1)); }, &failed);
  const double remoteN = MedianMicros(15, [&] { return SUCCEEDED(remote.Read(ids.size())); }, &failed);
  const double local1 = MedianMicros(2000, [&] { return SUCCEEDED(local.Read(1)); }, &failed);
  const double localN = MedianMicros(30, [&] { return SUCCEEDED(local.Read(ids.size())); }, &failed);
  remote.Close();
  local.Close();
  krelta::com::Bstr error;
  control->LoadAddressSpace(krelta::sim::kDefaultAddressSpace, error.put());  // as we found it
  if (failed) {
    std::printf("a read failed\n");
    return 1;
  }
  std::printf("raw Read, 1 item, through the proxy/stub:       %10.1f us\n", remote1);
  std::printf("raw Read, %zu items, through the proxy/stub:  %10.1f us (%.2f us/item)\n", ids.size(), remoteN,
              remoteN / ids.size());
  std::printf("simulator in-process Read, 1 item:              %10.1f us\n", local1);
  std::printf("simulator in-process Read, %zu items:         %10.1f us (%.3f us/item)\n", ids.size(), localN,
              localN / ids.size());
  std::printf("marshaled / in-process, %zu items: %.2f\n", ids.size(), remoteN / localN);
  std::printf("%zu items / 1 item, marshaled: %.2f\n", ids.size(), remoteN / remote1);
  return 0;
}
