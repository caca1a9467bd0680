// Leak soak: many reads, then a tenth as many writes, of 1,000 tags of mixed types through the
// exports, with the committed memory of this process (the library) and of the simulator taken
// after a warm-up and after each phase. Fails when one grew by more than 2 MB: a VARIANT, BSTR
// or CoTaskMem block left behind per read or per item would grow it by far more.
//   data_soak.exe [reads]   (default 10,000; CTest runs a short round)
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "config/connection_settings.h"
#include "host/library.h"
#include "log/log_file.h"
#include "opc_da.h"
#include "platform/com/com_owners.h"
#include "opc_da_constants.h"
#include "simulator/address_space.h"
#include "simulator/control_client.h"
#include "simulator_control.h"

namespace {

constexpr int kTags = 1000;
constexpr SIZE_T kAllowedGrowth = 2 * 1024 * 1024;

SIZE_T PrivateBytes(HANDLE process) {
  PROCESS_MEMORY_COUNTERS_EX counters{};
  counters.cb = sizeof counters;
  if (!::GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                              sizeof counters)) {
    return 0;
  }
  return counters.PagefileUsage;  // Wine leaves PrivateUsage at 0; this is the commit charge
}

std::wstring MixedSpace() {
  std::wstring text = L"branch Soak\n";
  wchar_t line[96];
  for (int i = 0; i < kTags; ++i) {
    switch (i % 4) {
      case 0: std::swprintf(line, 96, L"item T%04d R8 %d.5\n", i, i); break;
      case 1: std::swprintf(line, 96, L"item T%04d I4 %d\n", i, i); break;
      case 2: std::swprintf(line, 96, L"item T%04d BSTR \"text %d\"\n", i, i); break;
      default: std::swprintf(line, 96, L"item T%04d UI8 %d ramp(0,1000000,1)\n", i, i); break;
    }
    text += line;
  }
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  const long reads = argc > 1 ? std::atol(argv[1]) : 10000;
  krelta::com::ApartmentGuard apartment(COINIT_MULTITHREADED);
  krelta::com::ComPtr<ISimulatorControl> control;
  HRESULT hr = krelta::sim::CreateSimulatorControl(control);
  krelta::com::Bstr error;
  if (SUCCEEDED(hr)) hr = control->LoadAddressSpace(MixedSpace().c_str(), error.put());
  LONG pid = 0;
  if (SUCCEEDED(hr)) hr = control->GetCounter(SIM_COUNTER_PROCESS_ID, &pid);
  const HANDLE simulator = ::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, static_cast<DWORD>(pid));
  krelta::host::Library dll;
  if (FAILED(hr) || simulator == nullptr || !dll.Loaded()) {
    std::printf("cannot start the simulator or load the library: 0x%08lX\n", static_cast<unsigned long>(hr));
    return 1;
  }
  {
    krelta::ConnectionSettings settings("Soak");
    settings.SetUrl("opcda://localhost/OpcDAKrelta.Simulator.1/{DE186CF8-2426-4039-ACAB-729B0908B909}");
    settings.SetNodes({{"Soak", "Soak"}});
    settings.SetLogLevel(krelta::kLogInformation);
    settings.WriteConfiguration();
  }
  krelta2_connection connection = nullptr;
  if (dll.krelta2_connectionOpen("Soak", &connection) != KRELTA2_OK) {
    std::printf("cannot open the connection: %s\n", krelta::host::NewestStandaloneLogEntry().c_str());
    return 1;
  }
  std::vector<krelta2_tag> tags;
  for (const auto& t : krelta::host::CollectTags(dll, connection)) tags.push_back(t.tag);
  if (tags.size() != kTags) {
    std::printf("%zu tags, expected %d\n", tags.size(), kTags);
    return 1;
  }
  krelta2_vector row = nullptr;
  dll.krelta2_vectorCreate(kTags, &row);
  for (uint32_t i = 0; i < kTags; ++i) {
    if (i % 4 == 2) dll.krelta2_vectorSetString(row, i, "written");
    else dll.krelta2_vectorSetFloat(row, i, static_cast<float>(i));
  }

  long failures = 0;
  auto read = [&] {
    krelta2_vector values = nullptr;
    if (dll.krelta2_connectionReadCurrentData(connection, tags.data(), kTags, &values) != KRELTA2_OK) ++failures;
    dll.krelta2_vectorFree(values);
  };
  auto write = [&] {
    if (dll.krelta2_connectionWriteHistoricalData(connection, tags.data(), kTags, 1700000000, row) != KRELTA2_OK) {
      ++failures;
    }
  };
  for (long i = 0; i < 200; ++i) read();  // warm-up: registration, heaps, caches
  for (long i = 0; i < 20; ++i) write();
  const SIZE_T libraryBefore = PrivateBytes(::GetCurrentProcess());
  const SIZE_T simulatorBefore = PrivateBytes(simulator);
  for (long i = 0; i < reads; ++i) read();
  const SIZE_T libraryAfterReads = PrivateBytes(::GetCurrentProcess());
  const SIZE_T simulatorAfterReads = PrivateBytes(simulator);
  // Writes: only the library side is judged. Under Wine 8 the server process keeps the [in]
  // value array of every IOPCSyncIO::Write and WriteVQT call (24 bytes per VARIANT, 48 per
  // OPCITEMVQT), whatever the client; see the README's notes.
  for (long i = 0; i < reads / 10; ++i) write();
  const SIZE_T libraryAfterWrites = PrivateBytes(::GetCurrentProcess());
  const SIZE_T simulatorAfterWrites = PrivateBytes(simulator);

  dll.krelta2_vectorFree(row);
  dll.krelta2_connectionClose(connection);
  control->LoadAddressSpace(krelta::sim::kDefaultAddressSpace, error.put());  // as we found it
  ::CloseHandle(simulator);
  std::printf("%ld reads and %ld writes of %d tags, %ld failed calls\n", reads, reads / 10, kTags, failures);
  std::printf("library:   %zu KB, after the reads %zu KB, after the writes %zu KB\n", libraryBefore / 1024,
              libraryAfterReads / 1024, libraryAfterWrites / 1024);
  std::printf("simulator: %zu KB, after the reads %zu KB, after the writes %zu KB (not judged)\n",
              simulatorBefore / 1024, simulatorAfterReads / 1024, simulatorAfterWrites / 1024);
  const bool grew = libraryAfterReads > libraryBefore + kAllowedGrowth ||
                    libraryAfterWrites > libraryAfterReads + kAllowedGrowth ||
                    simulatorAfterReads > simulatorBefore + kAllowedGrowth;
  if (grew) std::printf("memory grew by more than %zu KB\n", kAllowedGrowth / 1024);
  return failures == 0 && !grew ? 0 : 1;
}
