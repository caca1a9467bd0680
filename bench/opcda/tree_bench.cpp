// Opening a connection whose tree is browsed: 100,000 items in 1,000 branches of the simulator,
// all 1,000 branches configured. Times krelta2_connectionOpen through the exports against the
// same IOPCBrowse::Browse calls made raw in this process (no tree), interleaved, and measures
// the heap growth per tag of an open connection. Prints medians, the ratio and the figures with
// their targets.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/opcda/raw_session.h"
#include "bench/support/heap_bytes.h"
#include "config/connection_settings.h"
#include "host/library.h"
#include "opc_da.h"
#include "opc_da_constants.h"
#include "platform/com/com_owners.h"
#include "simulator/address_space.h"
#include "simulator_control.h"

namespace {

using Clock = std::chrono::steady_clock;
using krelta::host::Library;

constexpr DWORD kBranches = 1000, kPerBranch = 100;
constexpr int kRuns = 5;
constexpr const char* kConnection = "BenchTree";

std::string BranchId(DWORD b) {
  char id[16];
  std::snprintf(id, sizeof id, "B%04lu", static_cast<unsigned long>(b));
  return id;
}

bool Configure() {
  krelta::ConnectionSettings settings(kConnection);
  settings.SetUrl("opcda://localhost/OpcDAKrelta.Simulator.1/{DE186CF8-2426-4039-ACAB-729B0908B909}");
  std::vector<krelta::NodeEntry> nodes;
  for (DWORD b = 0; b < kBranches; ++b) nodes.push_back({BranchId(b), BranchId(b)});
  settings.SetNodes(nodes);
  settings.SetLogLevel(krelta::kLogInformation);
  return settings.WriteConfiguration();
}

struct ElementCleanup {
  void operator()(OPCBROWSEELEMENT& e) const noexcept {
    ::CoTaskMemFree(e.szName);
    ::CoTaskMemFree(e.szItemID);
  }
};

// The library's browse calls without it: every branch's items, continuation points followed.
// Returns the number of items, 0 on a failure.
std::size_t RawBrowse(IOPCBrowse* browse) {
  std::size_t items = 0;
  wchar_t empty[1] = {L'\0'};
  DWORD noProperties = 0;
  for (DWORD b = 0; b < kBranches; ++b) {
    wchar_t branch[16];
    std::swprintf(branch, 16, L"B%04lu", static_cast<unsigned long>(b));
    krelta::com::CoTaskString continuation;
    do {
      BOOL more = FALSE;
      krelta::com::CoTaskArray<OPCBROWSEELEMENT, ElementCleanup> elements;
      LPWSTR point = continuation.get();
      const HRESULT hr = browse->Browse(branch, &point, 0, OPC_BROWSE_FILTER_ITEMS, empty, empty,
                                        FALSE, FALSE, 0, &noProperties, &more, elements.size_address(),
                                        elements.put());
      if (point != continuation.get()) continuation.reset(point);
      if (FAILED(hr)) return 0;
      items += elements.size();
    } while (continuation && continuation.get()[0] != L'\0');
  }
  return items;
}

double Millis(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main() {
  krelta::com::ApartmentGuard apartment(COINIT_MULTITHREADED);
  krelta::com::ComPtr<ISimulatorControl> control;
  HRESULT hr = krelta::bench::StartGeneratedSimulator(kBranches, kPerBranch, control);
  krelta::com::ComPtr<IOPCBrowse> browse;
  if (SUCCEEDED(hr)) {
    hr = ::CoCreateInstance(CLSID_KreltaSimulatorDA3, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCBrowse,
                            reinterpret_cast<void**>(browse.GetAddressOf()));
  }
  Library dll;
  if (FAILED(hr) || !dll.Loaded() || !Configure()) {
    std::printf("cannot open the simulator, load the library or write the configuration: 0x%08lX\n",
                static_cast<unsigned long>(hr));
    return 1;
  }
  const std::size_t expected = static_cast<std::size_t>(kBranches) * kPerBranch;
  // Warm-up: marshaled interfaces, the simulator's pages, the library's first connection.
  bool failed = RawBrowse(browse.Get()) != expected;
  krelta2_connection connection = nullptr;
  failed = failed || dll.krelta2_connectionOpen(kConnection, &connection) != KRELTA2_OK;
  dll.krelta2_connectionClose(connection);

  std::vector<double> raw, open;
  std::size_t heapGrowth = 0;
  for (int run = 0; run < kRuns && !failed; ++run) {
    auto start = Clock::now();
    failed = RawBrowse(browse.Get()) != expected;
    raw.push_back(Millis(start));
    const std::size_t heapBefore = krelta::bench::HeapBytesInUse();
    start = Clock::now();
    failed = failed || dll.krelta2_connectionOpen(kConnection, &connection) != KRELTA2_OK;
    open.push_back(Millis(start));
    if (run == 0) {
      heapGrowth = krelta::bench::HeapBytesInUse() - heapBefore;
      failed = failed || krelta::host::CollectTags(dll, connection).size() != expected;
    }
    dll.krelta2_connectionClose(connection);
  }
  krelta::com::Bstr error;
  control->LoadAddressSpace(krelta::sim::kDefaultAddressSpace, error.put());  // as we found it
  if (failed) {
    std::printf("a browse or an open failed\n");
    return 1;
  }
  // Name and item ID of each generated tag ("I00042", "B0001.I00042") as bytes.
  const double textPerTag = 6 + 12;
  const double perTag = static_cast<double>(heapGrowth) / expected;
  const double ratio = Median(open) / Median(raw);
  std::printf("raw IOPCBrowse::Browse of %lu branches (%zu items):  %8.1f ms\n",
              static_cast<unsigned long>(kBranches), expected, Median(raw));
  std::printf("krelta2_connectionOpen with %lu branches configured:    %8.1f ms\n",
              static_cast<unsigned long>(kBranches), Median(open));
  std::printf("open / raw browse: %.2f (target <= 1.50)%s\n", ratio, ratio <= 1.5 ? "" : "  ABOVE TARGET");
  std::printf("heap growth per tag of the open connection: %.0f bytes, %.0f of them name texts; "
              "beyond them %.0f (target <= 300)%s\n",
              perTag, textPerTag, perTag - textPerTag, perTag - textPerTag <= 300 ? "" : "  ABOVE TARGET");
  return 0;
}
