// The library's reads and writes through its exports against the same calls made raw on the
// same simulator, in one process: 10,000 tags in 10 nodes, one tag, and 10,000 values written
// in one row; then reads while the server is away (after its shutdown request). Registration is
// done before timing; the connection logs at level 3. Prints the median times and the ratios
// with their targets.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "bench/opcda/library_reads.h"
#include "bench/opcda/raw_session.h"
#include "bench/support/median_time.h"
#include "config/connection_settings.h"
#include "host/library.h"
#include "log/log_file.h"
#include "simulator/address_space.h"

namespace {

using krelta::bench::Configure;
using krelta::bench::Interleaved;
using krelta::bench::MedianMicros;
using krelta::bench::Open;
using krelta::bench::Opened;
using krelta::bench::ReadAll;
using krelta::host::Library;

using krelta::bench::kBranches;
using krelta::bench::kPerBranch;

void Ratio(const char* label, double measured, double baseline, double target) {
  const double ratio = measured / baseline;
  if (target > 0) {
    std::printf("%s: %.2f (target <= %.2f)%s\n", label, ratio, target, ratio <= target ? "" : "  ABOVE TARGET");
  } else {
    std::printf("%s: %.2f\n", label, ratio);
  }
}

}  // namespace

int main() {
  krelta::com::ApartmentGuard apartment(COINIT_MULTITHREADED);
  krelta::com::ComPtr<ISimulatorControl> control;
  HRESULT hr = krelta::bench::StartGeneratedSimulator(kBranches, kPerBranch, control);
  const auto ids = krelta::bench::GeneratedItemIds(kBranches, kPerBranch);
  krelta::bench::RawSession raw;
  if (SUCCEEDED(hr)) hr = raw.Open(CLSID_KreltaSimulatorDA3);
  if (SUCCEEDED(hr)) hr = raw.AddItems(ids);
  Library dll;
  if (FAILED(hr) || !dll.Loaded()) {
    std::printf("cannot open the simulator or load the library: 0x%08lX\n", static_cast<unsigned long>(hr));
    return 1;
  }
  Configure("BenchLevel3", krelta::kLogInformation);
  Configure("BenchLevel4", krelta::kLogDebug);
  Opened level3 = Open(dll, "BenchLevel3");
  Opened level4 = Open(dll, "BenchLevel4");
  if (level3.tags.size() != ids.size() || level4.tags.size() != ids.size()) {
    std::printf("the connections list %zu and %zu tags, expected %zu\n", level3.tags.size(),
                level4.tags.size(), ids.size());
    return 1;
  }
  bool failed = !ReadAll(dll, level3, ids.size()) || !ReadAll(dll, level4, ids.size());  // registers
  const std::size_t n = ids.size();

  const auto rawTenReads = [&] {
    for (DWORD b = 0; b < kBranches; ++b) {
      if (FAILED(raw.Read(kPerBranch, OPC_DS_CACHE, b * kPerBranch))) return false;
    }
    return true;
  };
  const auto [lib10k, raw10x1k] =
      Interleaved(21, [&] { return ReadAll(dll, level3, n); }, rawTenReads, &failed);
  const auto [lib10kAgain, raw10k] = Interleaved(
      21, [&] { return ReadAll(dll, level3, n); }, [&] { return SUCCEEDED(raw.Read(n, OPC_DS_CACHE)); }, &failed);
  const auto [lib1, raw1] = Interleaved(
      301, [&] { return ReadAll(dll, level3, 1); }, [&] { return SUCCEEDED(raw.Read(1, OPC_DS_CACHE)); }, &failed);
  const double debug10k = MedianMicros(3, [&] { return ReadAll(dll, level4, n); }, &failed);

  // 10,000 values in one row: the library writes each node's items with one WriteVQT.
  krelta2_vector row = nullptr;
  dll.krelta2_vectorCreate(static_cast<uint32_t>(n), &row);
  for (uint32_t i = 0; i < n; ++i) dll.krelta2_vectorSetFloat(row, i, 1.5f);
  const FILETIME stamp{0xD53E8000, 0x01D0D8C1};
  const auto [libWrite, rawWrite] = Interleaved(
      11,
      [&] {
        return dll.krelta2_connectionWriteHistoricalData(level3.connection, level3.tags.data(),
                                                         static_cast<uint32_t>(n), 1700000000, row) == KRELTA2_OK;
      },
      [&] {
        for (DWORD b = 0; b < kBranches; ++b) {
          if (FAILED(raw.WriteVqt(kPerBranch, 1.5f, stamp, b * kPerBranch))) return false;
        }
        return true;
      },
      &failed);
  dll.krelta2_vectorFree(row);

  // The server asks its clients to go: until the retry interval (10 s) has passed, reads fail
  // at once without calling it, each with the frame's one error-log line.
  const bool away = SUCCEEDED(control->RequestShutdown(L"benchmark"));
  bool answered = false;  // a read that succeeded although the server is away
  const double away1 = MedianMicros(501, [&] { return !ReadAll(dll, level3, 1); }, &answered);
  const double away10k = MedianMicros(21, [&] { return !ReadAll(dll, level3, n); }, &answered);
  failed = failed || !away || answered;

  dll.krelta2_connectionClose(level3.connection);
  dll.krelta2_connectionClose(level4.connection);
  raw.Close();
  krelta::com::Bstr error;
  control->LoadAddressSpace(krelta::sim::kDefaultAddressSpace, error.put());
  if (failed) {
    std::printf("a call failed\n");
    return 1;
  }
  std::printf("library read, 10,000 tags in 10 nodes:   %10.1f us\n", lib10k);
  std::printf("raw Read x 10 of 1,000 handles:          %10.1f us\n", raw10x1k);
  std::printf("raw Read of 10,000 handles:              %10.1f us\n", raw10k);
  std::printf("library read, 1 tag:                     %10.1f us\n", lib1);
  std::printf("raw Read of 1 handle:                    %10.1f us\n", raw1);
  std::printf("library read, 10,000 tags, log level 4:  %10.1f us\n", debug10k);
  std::printf("library write, 10,000 values in one row: %10.1f us\n", libWrite);
  std::printf("raw WriteVQT x 10 of 1,000 values:       %10.1f us\n", rawWrite);
  Ratio("read 10,000 tags / raw 10 x 1,000", lib10k, raw10x1k, 1.25);
  Ratio("read 10,000 tags / raw 1 x 10,000 (cost of one call per node)", lib10kAgain, raw10k, 0);
  std::printf("library read while the server is away, 1 tag:       %8.1f us (target < 1000)%s\n", away1,
              away1 < 1000 ? "" : "  ABOVE TARGET");
  std::printf("library read while the server is away, 10,000 tags: %8.1f us\n", away10k);
  Ratio("read 1 tag / raw 1 handle", lib1, raw1, 1.25);
  Ratio("write 10,000 values / raw WriteVQT 10 x 1,000", libWrite, rawWrite, 1.25);
  Ratio("read 10,000 tags at log level 4 / level 3 (what the Debug trace costs when kept)", debug10k, lib10k, 0);
  return 0;
}
