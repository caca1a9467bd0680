// A hundred connections to the simulator, 1,000 tags each, opened and then read from one host
// thread and from four: the open time, reads per second, session threads and memory per
// connection, and whether connections serialise each other inside the library (four threads
// must read faster than one). Also the cost of one hand-over to a session thread and back.
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "bench/opcda/raw_session.h"
#include "config/connection_settings.h"
#include "host/library.h"
#include "opcda/session_thread.h"
#include "opcda/slim_sync.h"
#include "simulator/address_space.h"

namespace {

using Clock = std::chrono::steady_clock;
using krelta::host::Library;

constexpr DWORD kConnections = 100, kTagsPerConnection = 1000;
constexpr int kReadsPerConnection = 20;

std::size_t ThreadCount() {
  HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  std::size_t n = 0;
  for (BOOL more = ::Thread32First(snapshot, &entry); more; more = ::Thread32Next(snapshot, &entry)) {
    n += entry.th32OwnerProcessID == ::GetCurrentProcessId();
  }
  ::CloseHandle(snapshot);
  return n;
}

SIZE_T CommittedBytes() {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  ::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters);
  return counters.PagefileUsage;  // Wine leaves PrivateUsage at 0
}

SIZE_T WorkingSetBytes() {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  ::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters);
  return counters.WorkingSetSize;
}

struct Connection {
  krelta2_connection handle = nullptr;
  std::vector<krelta2_tag> tags;
};

// Reads every tag of the connections from..to, kReadsPerConnection times each.
bool ReadRange(const Library& dll, std::vector<Connection>& connections, std::size_t from, std::size_t to) {
  bool ok = true;
  for (int r = 0; r < kReadsPerConnection; ++r) {
    for (std::size_t c = from; c < to; ++c) {
      krelta2_vector values = nullptr;
      ok = ok && dll.krelta2_connectionReadCurrentData(connections[c].handle, connections[c].tags.data(),
                                                       static_cast<uint32_t>(connections[c].tags.size()),
                                                       &values) == KRELTA2_OK;
      dll.krelta2_vectorFree(values);
    }
  }
  return ok;
}

double ReadsPerSecond(const Library& dll, std::vector<Connection>& connections, std::size_t threads,
                      bool& ok) {
  const auto start = Clock::now();
  std::vector<std::future<bool>> parts;
  const std::size_t share = connections.size() / threads;
  for (std::size_t t = 0; t < threads; ++t) {
    parts.push_back(std::async(std::launch::async, [&, t] {
      return ReadRange(dll, connections, t * share, t + 1 == threads ? connections.size() : (t + 1) * share);
    }));
  }
  for (auto& part : parts) ok = part.get() && ok;
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return connections.size() * kReadsPerConnection / seconds;
}

// One empty operation handed to a session thread and its answer awaited, as every library call
// does before it reaches the server.
double HopMicros() {
  auto thread = krelta::SessionThread::Start();
  std::vector<double> times;
  for (int i = 0; i < 2001; ++i) {
    const auto start = Clock::now();
    auto slot = std::make_shared<krelta::AnswerSlot<int>>();
    thread->Post([slot](krelta::OpcDaSession&) { slot->Set(1); });
    slot->Wait(std::chrono::seconds(15));
    slot->Take();
    times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  thread->Stop({});
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

// Committed memory of one bare session (server, group, the 1,000 items added and read once),
// averaged over ten: what any client pays per connection. The sessions stay open for the raw
// reads below.
double RawSessionBytes(std::vector<krelta::bench::RawSession>& sessions) {
  constexpr int kSessions = 12;
  sessions = std::vector<krelta::bench::RawSession>(kSessions);
  const SIZE_T before = CommittedBytes();
  for (int s = 0; s < kSessions; ++s) {
    auto ids = krelta::bench::GeneratedItemIds(1, kTagsPerConnection);
    for (auto& id : ids) id[4] = static_cast<wchar_t>(L'0' + s % 10);  // B000s, some twice
    if (FAILED(sessions[s].Open(CLSID_KreltaSimulatorDA3)) || FAILED(sessions[s].AddItems(ids)) ||
        FAILED(sessions[s].Read(kTagsPerConnection, OPC_DS_CACHE))) {
      return -1;
    }
  }
  return double(CommittedBytes() - before) / kSessions;
}

// The same reads made raw from one and from four threads (each thread its own sessions): what
// the platform and the simulator allow, for comparison with the library's figure.
double RawReadsPerSecond(std::vector<krelta::bench::RawSession>& sessions, std::size_t threads) {
  const auto start = Clock::now();
  std::vector<std::future<void>> parts;
  const std::size_t share = sessions.size() / threads;
  for (std::size_t t = 0; t < threads; ++t) {
    parts.push_back(std::async(std::launch::async, [&, t] {
      krelta::com::ApartmentGuard mta(COINIT_MULTITHREADED);
      for (int r = 0; r < 10 * kReadsPerConnection; ++r) {
        for (std::size_t s = t * share; s < (t + 1) * share; ++s) sessions[s].Read(kTagsPerConnection, OPC_DS_CACHE);
      }
    }));
  }
  for (auto& part : parts) part.get();
  return double(share * threads) * 10 * kReadsPerConnection /
         std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main() {
  krelta::com::ApartmentGuard apartment(COINIT_MULTITHREADED);
  std::printf("hand-over to a session thread and back (median of 2,001): %.1f us\n", HopMicros());
  {
    const SIZE_T before = CommittedBytes(), touchedBefore = WorkingSetBytes();
    std::vector<std::shared_ptr<krelta::SessionThread>> idle;
    for (int i = 0; i < 100; ++i) idle.push_back(krelta::SessionThread::Start());
    ::Sleep(200);
    std::printf("an idle session thread: %.0f KB committed, %.0f KB in the working set\n",
                double(CommittedBytes() - before) / 100 / 1024,
                double(WorkingSetBytes() - touchedBefore) / 100 / 1024);
    for (auto& t : idle) t->Stop({});
  }

  krelta::com::ComPtr<ISimulatorControl> control;
  HRESULT hr = krelta::bench::StartGeneratedSimulator(kConnections, kTagsPerConnection, control);
  Library dll;
  if (FAILED(hr) || !dll.Loaded()) {
    std::printf("cannot start the simulator or load the library: 0x%08lX\n", static_cast<unsigned long>(hr));
    return 1;
  }
  std::vector<krelta::bench::RawSession> raw;
  const double rawBytes = RawSessionBytes(raw);
  std::vector<std::string> names;
  char branch[16];
  for (DWORD c = 0; c < kConnections; ++c) {
    std::snprintf(branch, sizeof branch, "B%04lu", static_cast<unsigned long>(c));
    krelta::ConnectionSettings settings(std::string("Scale") + branch);
    settings.SetUrl("opcda://localhost/OpcDAKrelta.Simulator.1/{DE186CF8-2426-4039-ACAB-729B0908B909}");
    settings.SetNodes({{branch, branch}});
    settings.SetLogLevel(krelta::kLogInformation);
    settings.WriteConfiguration();
    names.push_back(std::string("Scale") + branch);
  }
  // The first connection starts the library's own machinery; the figures count the other 99.
  std::vector<Connection> connections(kConnections);
  bool ok = dll.krelta2_connectionOpen(names[0].c_str(), &connections[0].handle) == KRELTA2_OK;
  const std::size_t threadsBefore = ThreadCount();
  const SIZE_T committedBefore = CommittedBytes();
  const auto openStart = Clock::now();
  for (DWORD c = 1; c < kConnections && ok; ++c) {
    ok = dll.krelta2_connectionOpen(names[c].c_str(), &connections[c].handle) == KRELTA2_OK;
  }
  const double openSeconds = std::chrono::duration<double>(Clock::now() - openStart).count();
  for (Connection& c : connections) {
    if (!ok) break;
    for (const auto& t : krelta::host::CollectTags(dll, c.handle)) c.tags.push_back(t.tag);
    ok = c.tags.size() == kTagsPerConnection;
  }
  ok = ok && ReadRange(dll, connections, 0, connections.size());  // registers every item
  const double perConnectionBytes = double(CommittedBytes() - committedBefore) / (kConnections - 1);
  const double threadsPerConnection = double(ThreadCount() - threadsBefore) / (kConnections - 1);
  double one = 0, four = 0, rawOne = 0, rawFour = 0;
  for (int round = 0; round < 2 && ok; ++round) {  // alternated, so load falls on all alike
    one = std::max(one, ReadsPerSecond(dll, connections, 1, ok));
    four = std::max(four, ReadsPerSecond(dll, connections, 4, ok));
    rawOne = std::max(rawOne, RawReadsPerSecond(raw, 1));
    rawFour = std::max(rawFour, RawReadsPerSecond(raw, 4));
  }
  for (auto& session : raw) session.Close();
  for (Connection& c : connections) {
    if (c.handle != nullptr) dll.krelta2_connectionClose(c.handle);
  }
  krelta::com::Bstr error;
  control->LoadAddressSpace(krelta::sim::kDefaultAddressSpace, error.put());
  if (!ok) {
    std::printf("a call failed\n");
    return 1;
  }
  std::printf("open of 99 connections of 1,000 tags:     %8.2f s (%.1f ms each)\n", openSeconds,
              openSeconds * 1000 / (kConnections - 1));
  std::printf("threads per connection:                    %8.2f\n", threadsPerConnection);
  std::printf("committed memory per open, read connection: %8.0f KB (%.0f B per tag; target <= 300 B "
              "per tag + 512 KB)%s\n",
              perConnectionBytes / 1024, perConnectionBytes / kTagsPerConnection,
              perConnectionBytes <= 300.0 * kTagsPerConnection + 512 * 1024 ? "" : "  ABOVE TARGET");
  std::printf("committed memory of a bare session of 1,000 items (raw calls): %8.0f KB; the library's own "
              "share: %.0f KB per connection (%.0f B per tag)\n",
              rawBytes / 1024, (perConnectionBytes - rawBytes) / 1024,
              (perConnectionBytes - rawBytes) / kTagsPerConnection);
  std::printf("reads of 1,000 tags per second, 1 host thread:  %8.1f\n", one);
  std::printf("reads of 1,000 tags per second, 4 host threads: %8.1f\n", four);
  std::printf("4 threads / 1 thread: %.2f (target > 1)%s; the same reads made raw: %.2f (%.1f / %.1f per "
              "second)\n",
              four / one, four > one ? "" : "  BELOW TARGET", rawFour / rawOne, rawOne, rawFour);
  return 0;
}
