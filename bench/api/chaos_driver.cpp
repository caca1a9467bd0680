// Chaos driver: many connections through the exports, as a host uses them, against the
// simulator in chaos mode, with the invariants a host relies on checked on every call and at
// the end. Prints a summary; exit code 0 when nothing was violated, 1 on any violation, 2 when
// the run could not start (no simulator registered, no library), 3 when the process crashed.
//
//   chaos_driver.exe [--seconds N] [--seed S] [--profile P] [--connections N] [--threads N]
//                    [--call-timeout S] [--library PATH] [--reconnect-ms MS] [--stuck-allowance N]
//
// Connections alternate between the Data Access 3.00 and 2.05 classes, every fourth reads from
// the group's change notifications ("ReadFromSubscription"); each has a branch of its
// own: W0..W3 (R8, written by the driver only, so it knows what they may hold), S (a constant
// text) and A0..A2 (EMPTY: under chaos they answer drawn variants). The seed fixes the driver's
// choices per host thread and the simulator's draws per call; thread scheduling is not fixed,
// so a replay repeats the mix of faults, not every interleaving.
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "config/connection_settings.h"
#include "host/library.h"
#include "log/log_file.h"
#include "opc_da.h"
#include "opc_da_constants.h"
#include "platform/com/com_owners.h"
#include "platform/com/wide_text.h"
#include "simulator/control_client.h"
#include "simulator_control.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  double seconds = 60;
  std::uint32_t seed = 1;
  std::string profile = "default";
  int connections = 20;
  int threads = 4;
  int callTimeoutSeconds = 2;
  std::string library;
  int reconnectMs = 500;
  int stuckAllowance = 2 * 2;  // threads waiting for a server: 2 per server, 2 server classes
  bool handleNames = false;    // list the handles the run left open by type and name
  bool bareCom = false;        // no library: see Driver::RunBareCom
};

constexpr int kWritten = 4, kVariants = 3;
constexpr DWORD kProbeBoundMs = 10000;  // the library's host probe, unless CallTimeout is shorter
constexpr DWORD kSlackMs = 1000;         // beyond an export's bound before a call counts as too long

// The server calls an export may wait for one after another. The library bounds each call by
// CallTimeout, not the export: the host waits as long as the session thread keeps completing
// calls (OpcDaProxy::WaitForAnswer), so an export may take CallTimeout per call counted here,
// plus the host probe's own bound for an open. Counted from opcda/ for the driver's connections
// (one node, a branch of 8 items, one row written); "Subscribed": with ReadFromSubscription.
struct ServerCalls {
  // OpcDaSession::Open: CoCreateInstanceEx, AddGroup, QueryInterface(IConnectionPointContainer),
  // FindConnectionPoint, Advise.
  static constexpr int kOpen = 5;
  // GroupSubscription::Start: QueryInterface(IConnectionPointContainer),
  // QueryInterface(IOPCAsyncIO2), FindConnectionPoint, Advise, SetKeepAlive.
  static constexpr int kOpenSubscribed = 5;
  // The node's listing (ListBranchItems, browse.cpp). DA3: QueryInterface(IOPCBrowse), one
  // Browse (8 items are one page: the simulator pages only under a fault chaos does not draw).
  static constexpr int kListDA3 = 2;
  // DA2: QueryInterface(IOPCBrowse) and (IOPCBrowseServerAddressSpace), ChangeBrowsePosition
  // to the root (3); BrowseOPCItemIDs and IEnumString::Next at the root (2), then a
  // ChangeBrowsePosition down, BrowseOPCItemIDs and Next at "Chaos" and at the branch (3 + 3);
  // GetItemID of each item (8); two ChangeBrowsePosition up (2); one more Next at the branch
  // and at the root when a walk fault answers short batches with S_OK (2).
  static constexpr int kListDA2 = 3 + 2 + 3 + 3 + 8 + 2 + 2;
  // AddItems of the request's unregistered items (OpcDaProxy::UpdateServerHandles),
  // QueryInterface(IOPCSyncIO) once a session, Read (OpcDaSession::Read); with a subscription a
  // Refresh2 before it (GroupSubscription::Maintain).
  static constexpr int kRead = 3, kReadSubscribed = 1;
  // AddItems, QueryInterface(IOPCSyncIO2) and (IOPCSyncIO) once a session, WriteVQT, then Write
  // of the items that refused quality and time (OpcDaSession::Write).
  static constexpr int kWrite = 5;
  // A close (OpcDaSession::Close, Release): RemoveItems (none before the first read), RemoveGroup,
  // the shutdown sink's Unadvise, the release of every proxy (one scope); with a subscription
  // the data callback's Unadvise (GroupSubscription::Stop). Every operation may end in one: a
  // shutdown request noted after a call closes the session there (ClosedByShutdown) or queues
  // the close ahead of the host's next operation.
  static constexpr int kClose = 4, kCloseSubscribed = 1;
};
constexpr SIZE_T kMemoryMargin = 8u << 20;
constexpr long kHandleMargin = 200;  // per handle type
// What Wine 8's COM keeps in a client of every server process that ended while the client
// was connected: the client ends of its RPC connections to it (named pipes, type "File", named
// "\Device\NamedPipe\lrpc\pipe\OLE_..." while the process lives, unnamed afterwards) and
// an event with each, for the life of the client. Bare COM calls without the library
// (--bare-com) keep as many per crash: 32-53 events and 17-23 pipes with 4 connections and 4
// threads, through the library 29-43 and 10-19; 20 connections kept about 110 in all per restart.
// Allowed per simulator restart seen; registry keys apart (KeysLeakedByProbe).
struct HandleAllowance {
  const char* type;
  long perRestart;
};
constexpr HandleAllowance kWineHandlesPerRestart[] = {{"Event", 100}, {"File", 50}};
// Threads of the host process that are neither sessions nor stuck calls: COM's RPC workers
// and the log relay's, which Wine starts on demand.
constexpr int kThreadSlack = 8;

// Call times per export in logarithmic buckets (10 us .. ~1,000 s), so the driver's own memory
// stays flat however long it runs.
class Times {
 public:
  void Add(double ms) {
    const int b = std::clamp(static_cast<int>(std::log10(std::max(ms, 0.01) / 0.01) * 100), 0, kBuckets - 1);
    ++buckets_[b];
    ++count_;
    worst_ = std::max(worst_, ms);
  }
  long long Count() const { return count_; }
  double Worst() const { return worst_; }
  double Percentile(double p) const {
    long long rank = static_cast<long long>(std::ceil(p / 100.0 * static_cast<double>(count_))), seen = 0;
    for (int b = 0; b < kBuckets; ++b) {
      if ((seen += buckets_[b]) >= rank && rank > 0) return 0.01 * std::pow(10.0, (b + 1) / 100.0);
    }
    return worst_;
  }

 private:
  static constexpr int kBuckets = 800;
  long long buckets_[kBuckets] = {};
  long long count_ = 0;
  double worst_ = 0;
};

struct ExportStats {
  Times times;
  long long status[3] = {};
  DWORD boundMin = MAXDWORD, boundMax = 0;  // over the connections it was called for
};

// What one written item may hold: its initial value (the server may have restarted), every
// value whose write was not confirmed (it may still land), and the last confirmed one.
struct WrittenItem {
  float initial = 0;
  float confirmed = 0;
  std::set<float> unconfirmed;
  bool Allows(float v) const { return v == confirmed || v == initial || unconfirmed.count(v) != 0; }
};

struct Connection {
  std::mutex busy;  // the host uses a connection from one thread at a time
  std::string name, branch;
  bool da3 = false, subscribed = false;  // the server class; reads from change notifications
  krelta2_connection handle = nullptr;
  std::vector<krelta2_tag> tags;
  std::vector<std::string> tagNames;
  WrittenItem written[kWritten];
  std::uint32_t nextValue = 0;
};

class Driver {
 public:
  Driver(const Options& o, krelta::host::Library& dll) : o_(o), dll_(dll), connections_(o.connections) {}

  int Run();
  // The same connections and counts with bare COM calls and no library (--bare-com 1), for
  // comparison: what Wine's COM keeps of crashed servers by itself. Nothing bounds a call
  // here, so only profiles without hangs make sense.
  int RunBareCom();

 private:
  // One export call: timed, its status checked, counted under name.
  template <typename Call>
  krelta2_status Timed(const char* name, DWORD boundMs, Call&& call);
  enum class Export { kOpen, kRead, kWrite, kClose, kNoServerCall };
  // What an export of connection c may take: CallTimeout per server call (ServerCalls), the
  // probe's bound for an open; the slack comes on top.
  DWORD BoundMs(const Connection& c, Export e) const;
  void Violation(const char* what, const std::string& detail);
  std::wstring Space() const;
  void Configure();
  bool Open(Connection& c);
  void Close(Connection& c);
  void Read(Connection& c, std::mt19937& rng, bool strict);
  void Write(Connection& c, std::mt19937& rng);
  void Walk(Connection& c);
  void HostThread(int index);
  void Monitor();
  // Chaos on with the run's seed and the monitor running.
  std::thread StartChaos(const std::wstring& profile);
  bool ReachSimulator();
  void Summary(const std::map<std::string, long long>& faults);
  // Threads of this process: all of them, and those the library started (their start address
  // lies in its module: session threads, host probes).
  struct ThreadCount {
    std::size_t all = 0, library = 0;
  };
  ThreadCount CountThreads() const;
  std::size_t Threads() const { return CountThreads().all; }
  static SIZE_T Committed();
  // Handles of this process by type ("Key", "Event", "File", ...); with names, each handle's
  // type and name by its value.
  struct HandleCount {
    std::map<std::string, long> byType;
    std::map<ULONG_PTR, std::string> names;
    long Of(const std::string& type) const {
      const auto at = byType.find(type);
      return at == byType.end() ? 0 : at->second;
    }
    long All() const {
      long all = 0;
      for (const auto& [type, count] : byType) all += count;
      return all;
    }
  };
  static HandleCount Handles(bool withNames = false);
  static double KeysLeakedByProbe();
  // The handles by type after the first round and at the end; with --handle-names also those
  // left open since, by type and name.
  void PrintHandles(const HandleCount& before, const HandleCount& after) const;
  static void PrintNewHandles(const HandleCount& before, const HandleCount& after);
  // The types that grew beyond their allowance since before ("Event +912 (allowed 840), ..."),
  // empty when none did; keys only when judged.
  std::string HandleExcess(const HandleCount& before, const HandleCount& after, bool judgeKeys) const;
  static std::string AllowanceText();

  const Options& o_;
  krelta::host::Library& dll_;
  std::vector<Connection> connections_;
  std::mutex statsLock_;
  std::map<std::string, ExportStats> stats_;
  std::map<std::string, long long> violationKinds_;
  std::vector<std::string> violations_;  // the first few of each kind, with where to replay
  long long violationCount_ = 0;
  std::atomic<bool> running_{false};
  std::atomic<int> openConnections_{0};
  std::atomic<long long> steps_{0};
  std::size_t baseThreads_ = 0;
  std::size_t worstThreads_ = 0, worstLibraryThreads_ = 0;
  std::atomic<ULONGLONG> inFlightSince_[64]{};
  std::atomic<const char*> inFlightName_[64]{};
  std::atomic<DWORD> inFlightBound_[64]{};
  krelta::com::ComPtr<ISimulatorControl> control_;
  LONG simulatorPid_ = 0;
  std::map<LONG, std::map<DWORD, LONG>> chaosCounts_;  // per simulator process
  int simulatorStarts_ = 0;
  HandleCount lastCensus_;  // at the last simulator restart (--handle-names)
};

thread_local int t_thread = 63;
// Session threads not yet ended, when the library is the test build (for the violation's text).
int32_t (*g_sessionThreads)() = nullptr;  // the monitor and main thread share the last slot
thread_local long long t_step = 0;

Driver::ThreadCount Driver::CountThreads() const {
  using QueryThread = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
  static const auto query = reinterpret_cast<QueryThread>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "NtQueryInformationThread")));
  HMODULE library = nullptr;
  MODULEINFO module{};
  if (::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           reinterpret_cast<LPCSTR>(dll_.krelta2_connectionOpen), &library)) {
    ::GetModuleInformation(::GetCurrentProcess(), library, &module, sizeof module);
  }
  const auto* begin = static_cast<const char*>(module.lpBaseOfDll);
  HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  ThreadCount n;
  for (BOOL more = ::Thread32First(snapshot, &entry); more; more = ::Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID != ::GetCurrentProcessId()) continue;
    ++n.all;
    const HANDLE thread = ::OpenThread(THREAD_QUERY_INFORMATION, FALSE, entry.th32ThreadID);
    const char* start = nullptr;
    if (thread != nullptr && query != nullptr &&
        query(thread, 9 /* ThreadQuerySetWin32StartAddress */, &start, sizeof start, nullptr) >= 0 &&
        begin != nullptr && start >= begin && start < begin + module.SizeOfImage) {
      ++n.library;
    }
    if (thread != nullptr) ::CloseHandle(thread);
  }
  ::CloseHandle(snapshot);
  return n;
}

SIZE_T Driver::Committed() {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  ::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters);
  return counters.PagefileUsage;  // Wine leaves PrivateUsage at 0; this is the commit charge
}

Driver::HandleCount Driver::Handles(bool withNames) {
  // GetProcessHandleCount answers 0 under Wine: walk the handle values and ask each one's type
  // (and, when asked, its name: pipes and events of COM's RPC name their endpoint).
  using QueryObject = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
  static const auto query = reinterpret_cast<QueryObject>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "NtQueryObject")));
  HandleCount n;
  for (ULONG_PTR value = 4; value < (1u << 18); value += 4) {
    const HANDLE handle = reinterpret_cast<HANDLE>(value);
    DWORD flags = 0;
    if (!::GetHandleInformation(handle, &flags)) continue;
    alignas(8) unsigned char info[1024];
    const auto* text = reinterpret_cast<const UNICODE_STRING*>(info);
    ULONG got = 0;
    std::string type = "?";
    if (query != nullptr && query(handle, 2 /* ObjectTypeInformation */, info, sizeof info, &got) >= 0) {
      type = krelta::com::WideToUtf8(std::wstring(text->Buffer, text->Length / sizeof(wchar_t)));
    }
    ++n.byType[type];
    if (!withNames) continue;
    std::string name;
    if (query != nullptr && query(handle, 1 /* ObjectNameInformation */, info, sizeof info, &got) >= 0 &&
        text->Buffer != nullptr) {
      name = krelta::com::WideToUtf8(std::wstring(text->Buffer, text->Length / sizeof(wchar_t)));
    }
    n.names[value] = type + " " + (name.empty() ? "(no name)" : name);
  }
  return n;
}

// Registry keys left open by one creation of an unregistered class on "localhost", the call
// the library's host probe makes on every open: Wine 8 leaves two behind each time.
double Driver::KeysLeakedByProbe() {
  constexpr CLSID kNobody = {0xF3839019, 0x166B, 0x4EC4, {0x85, 0x6C, 0xCC, 0x68, 0x37, 0x1A, 0xC7, 0xB2}};
  const long before = Handles().Of("Key");
  wchar_t host[] = L"localhost";
  for (int i = 0; i < 10; ++i) {
    COSERVERINFO info{};
    info.pwszName = host;
    MULTI_QI result{&IID_IUnknown, nullptr, S_OK};
    ::CoCreateInstanceEx(kNobody, nullptr, CLSCTX_LOCAL_SERVER, &info, 1, &result);
    if (result.pItf != nullptr) result.pItf->Release();
  }
  return static_cast<double>(Handles().Of("Key") - before) / 10.0;
}
std::string Driver::HandleExcess(const HandleCount& before, const HandleCount& after, bool judgeKeys) const {
  std::string text;
  for (const auto& [type, count] : after.byType) {
    if (type == "Key" && !judgeKeys) continue;
    long allowed = kHandleMargin;
    for (const HandleAllowance& a : kWineHandlesPerRestart) {
      if (type == a.type) allowed += a.perRestart * simulatorStarts_;
    }
    const long grown = count - before.Of(type);
    if (grown <= allowed) continue;
    text += (text.empty() ? "" : ", ") + type + " +" + std::to_string(grown) + " (allowed " + std::to_string(allowed) + ")";
  }
  return text;
}

std::string Driver::AllowanceText() {
  std::string text;
  for (const HandleAllowance& a : kWineHandlesPerRestart) text += " " + std::string(a.type) + " " + std::to_string(a.perRestart);
  return text;
}

void Driver::PrintHandles(const HandleCount& before, const HandleCount& after) const {
  std::set<std::string> types;
  for (const auto& [type, count] : before.byType) types.insert(type);
  for (const auto& [type, count] : after.byType) types.insert(type);
  std::printf("handles by type, after the first round / at the end:");
  for (const std::string& type : types) std::printf(" %s %ld/%ld,", type.c_str(), before.Of(type), after.Of(type));
  std::printf("\n");
  if (o_.handleNames) PrintNewHandles(before, after);
}

void Driver::PrintNewHandles(const HandleCount& before, const HandleCount& after) {
  std::map<std::string, long> left;  // by type and name: handles not there after the first round
  for (const auto& [value, name] : after.names) {
    const auto was = before.names.find(value);
    if (was == before.names.end() || was->second != name) ++left[name];
  }
  std::vector<std::pair<long, std::string>> most;
  for (const auto& [name, count] : left) most.emplace_back(count, name);
  std::sort(most.rbegin(), most.rend());
  for (std::size_t i = 0; i < most.size() && i < 12; ++i) std::printf("  new: %5ld x %s\n", most[i].first, most[i].second.c_str());
}

DWORD Driver::BoundMs(const Connection& c, Export e) const {
  const DWORD callMs = static_cast<DWORD>(o_.callTimeoutSeconds) * 1000;
  const int close = ServerCalls::kClose + (c.subscribed ? ServerCalls::kCloseSubscribed : 0);
  switch (e) {
    case Export::kOpen: {
      // The session's open task: the probe, the open's calls and, when a shutdown request ends
      // it, a close (nothing is registered yet: no RemoveItems).
      const auto openTaskMs = [&](const Connection& of) {
        const int closeCalls = ServerCalls::kClose - 1 + (of.subscribed ? ServerCalls::kCloseSubscribed : 0);
        return std::min(kProbeBoundMs, callMs) +
               (ServerCalls::kOpen + (of.subscribed ? ServerCalls::kOpenSubscribed : 0) + closeCalls) * callMs;
      };
      // While two opens of the same server are under way a third waits until one of them ends
      // or outlives the bound (OpcDaProxy::Open): at most one open task of the class.
      DWORD othersMs = 0;
      for (const Connection& other : connections_) {
        if (&other != &c && other.da3 == c.da3) othersMs = std::max(othersMs, openTaskMs(other));
      }
      return othersMs + openTaskMs(c) + (c.da3 ? ServerCalls::kListDA3 : ServerCalls::kListDA2) * callMs;
    }
    case Export::kRead:
      return (ServerCalls::kRead + (c.subscribed ? ServerCalls::kReadSubscribed : 0) + close) * callMs;
    case Export::kWrite:
      return (ServerCalls::kWrite + close) * callMs;
    case Export::kClose:
      return close * callMs;
    case Export::kNoServerCall:
      break;
  }
  return 0;
}

void Driver::Violation(const char* what, const std::string& detail) {
  std::lock_guard<std::mutex> guard(statsLock_);
  ++violationCount_;
  if (++violationKinds_[what] <= 5) {
    char where[96];
    std::snprintf(where, sizeof where, "seed %lu, thread %d, step %lld: ", static_cast<unsigned long>(o_.seed),
                  t_thread, t_thread == 63 ? steps_.load() : t_step);
    violations_.push_back(where + std::string(what) + (detail.empty() ? "" : ": " + detail));
    std::printf("VIOLATION %s\n", violations_.back().c_str());
    std::fflush(stdout);
  }
}

template <typename Call>
krelta2_status Driver::Timed(const char* name, DWORD boundMs, Call&& call) {
  inFlightName_[t_thread] = name;
  inFlightBound_[t_thread] = boundMs;
  inFlightSince_[t_thread] = ::GetTickCount64();
  const auto start = Clock::now();
  const krelta2_status status = call();
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  inFlightSince_[t_thread] = 0;
  {
    std::lock_guard<std::mutex> guard(statsLock_);
    ExportStats& s = stats_[name];
    s.times.Add(ms);
    if (status <= 2) ++s.status[status];
    s.boundMin = std::min(s.boundMin, boundMs);
    s.boundMax = std::max(s.boundMax, boundMs);
  }
  if (status > 2) Violation("status outside 0, 1, 2", std::string(name) + " answered " + std::to_string(status));
  if (ms > boundMs + kSlackMs) {
    Violation("call longer than its bound",
              std::string(name) + " took " + std::to_string(static_cast<long>(ms)) + " ms, bound " +
                  std::to_string(boundMs) + " ms + 1 s");
  }
  return status;
}

std::wstring Driver::Space() const {
  std::wstring text;
  wchar_t line[128];
  for (int c = 0; c < o_.connections; ++c) {
    std::swprintf(line, 128, L"branch Chaos.C%02d\n", c);
    text += line;
    for (int k = 0; k < kWritten; ++k) {
      std::swprintf(line, 128, L"item W%d R8 %d\n", k, c * 8 + k);
      text += line;
    }
    std::swprintf(line, 128, L"item S BSTR \"text %02d\" good r\n", c);
    text += line;
    for (int k = 0; k < kVariants; ++k) {
      std::swprintf(line, 128, L"item A%d EMPTY - good r\n", k);
      text += line;
    }
  }
  return text;
}

void Driver::Configure() {
  for (int c = 0; c < o_.connections; ++c) {
    Connection& conn = connections_[c];
    char text[64];
    std::snprintf(text, sizeof text, "Chaos%02d", c);
    conn.name = text;
    std::snprintf(text, sizeof text, "Chaos.C%02d", c);
    conn.branch = text;
    for (int k = 0; k < kWritten; ++k) {
      conn.written[k].initial = conn.written[k].confirmed = static_cast<float>(c * 8 + k);
    }
    krelta::ConnectionSettings settings(conn.name);
    settings.SetUrl(c % 2 == 0
                        ? "opcda://localhost/OpcDAKrelta.Simulator.1/{DE186CF8-2426-4039-ACAB-729B0908B909}"
                        : "opcda://localhost/OpcDAKrelta.SimulatorDA2.1/{52A9AFA7-64CF-48D3-BE83-E59751905C0A}");
    settings.SetNodes({{conn.branch, conn.branch}});
    settings.SetLogLevel(krelta::kLogWarning);
    settings.SetCallTimeoutSeconds(o_.callTimeoutSeconds);
    conn.da3 = c % 2 == 0;
    conn.subscribed = c % 4 == 3;  // every fourth reads from change notifications
    settings.SetReadFromSubscription(conn.subscribed);
    settings.WriteConfiguration();
  }
}

bool Driver::Open(Connection& c) {
  const krelta2_connection sentinel = reinterpret_cast<krelta2_connection>(0x5E17);
  krelta2_connection handle = sentinel;
  const krelta2_status status =
      Timed("krelta2_connectionOpen", BoundMs(c, Export::kOpen), [&] { return dll_.krelta2_connectionOpen(c.name.c_str(), &handle); });
  if (status != KRELTA2_OK) {
    if (handle != sentinel) Violation("a failed open wrote its out pointer", c.name);
    return false;
  }
  c.handle = handle;
  ++openConnections_;
  c.tags.clear();
  c.tagNames.clear();
  for (const auto& t : krelta::host::CollectTags(dll_, handle)) {
    c.tags.push_back(t.tag);
    c.tagNames.push_back(t.path.substr(t.path.rfind('/') + 1));
  }
  return true;
}

void Driver::Close(Connection& c) {
  if (c.handle == nullptr) return;
  Timed("krelta2_connectionClose", BoundMs(c, Export::kClose),
        [&] { return dll_.krelta2_connectionClose(c.handle); });
  c.handle = nullptr;
  c.tags.clear();
  --openConnections_;
}

// Reads a random request (duplicates allowed) and checks what came back. strict: chaos is off,
// so every value must be there and right.
void Driver::Read(Connection& c, std::mt19937& rng, bool strict) {
  if (c.tags.empty()) return;
  std::vector<std::size_t> picks;
  const std::size_t count = strict ? c.tags.size() : 1 + rng() % (2 * c.tags.size());
  for (std::size_t i = 0; i < count; ++i) picks.push_back(strict ? i : rng() % c.tags.size());
  std::vector<krelta2_tag> request;
  for (std::size_t p : picks) request.push_back(c.tags[p]);
  const krelta2_vector sentinel = reinterpret_cast<krelta2_vector>(0x5E17);
  krelta2_vector values = sentinel;
  const krelta2_status status = Timed("krelta2_connectionReadCurrentData", BoundMs(c, Export::kRead), [&] {
    return dll_.krelta2_connectionReadCurrentData(c.handle, request.data(), static_cast<uint32_t>(request.size()),
                                                  &values);
  });
  if (status != KRELTA2_OK) {
    if (values != sentinel) Violation("a failed read wrote its out pointer", c.name);
    if (strict) Violation("a read with chaos off failed", c.name + ": " + krelta::host::NewestStandaloneLogEntry());
    return;
  }
  uint32_t length = 0;
  dll_.krelta2_vectorGetLength(values, &length);
  if (length != request.size()) {
    Violation("a read's vector has another length than the request",
              std::to_string(length) + " for " + std::to_string(request.size()));
  }
  for (uint32_t i = 0; i < length && i < picks.size(); ++i) {
    const std::string& tag = c.tagNames[picks[i]];
    uint32_t kind = 9;
    dll_.krelta2_vectorGetType(values, i, &kind);
    if (tag[0] == 'A') continue;  // drawn variants: any answer will do
    if (kind == KRELTA2_KIND_NULL) {
      if (strict) Violation("a value is missing with chaos off", c.name + "/" + tag);
      continue;
    }
    if (tag == "S") {
      krelta2_string text = nullptr;
      dll_.krelta2_vectorGetString(values, i, &text);
      const std::string got = kind == KRELTA2_KIND_TEXT ? krelta::host::TakeString(dll_, text) : "(number)";
      if (got != "text " + c.name.substr(5)) Violation("wrong text", c.name + "/S: " + got);
      continue;
    }
    float v = NAN;
    if (kind != KRELTA2_KIND_NUMBER || dll_.krelta2_vectorGetFloat(values, i, &v) != KRELTA2_OK) {
      Violation("a number item answered no number", c.name + "/" + tag);
      continue;
    }
    const WrittenItem& item = c.written[tag[1] - '0'];
    if (!item.Allows(v)) {
      Violation("wrong value", c.name + "/" + tag + " = " + std::to_string(v) + ", last confirmed write " +
                                   std::to_string(item.confirmed));
    }
  }
  dll_.krelta2_vectorFree(values);
}

// Writes one item: a status 0 means it reached the server.
void Driver::Write(Connection& c, std::mt19937& rng) {
  std::size_t pick = c.tags.size();
  for (std::size_t i = 0; i < c.tags.size(); ++i) {
    if (c.tagNames[i][0] == 'W' && (pick == c.tags.size() || rng() % 2 == 0)) pick = i;
  }
  if (pick == c.tags.size()) return;
  WrittenItem& item = c.written[c.tagNames[pick][1] - '0'];
  // Values unique per item, exact in a float: 1,000,000 + connection x 100,000 + item x 10,000 + n.
  const float value = static_cast<float>(1000000 + (&c - connections_.data()) * 100000 +
                                         (c.tagNames[pick][1] - '0') * 10000 + (c.nextValue++ % 10000));
  krelta2_vector row = nullptr;
  dll_.krelta2_vectorCreate(1, &row);
  dll_.krelta2_vectorSetFloat(row, 0, value);
  const krelta2_status status = Timed("krelta2_connectionWriteHistoricalData", BoundMs(c, Export::kWrite), [&] {
    return dll_.krelta2_connectionWriteHistoricalData(c.handle, &c.tags[pick], 1, 1700000000, row);
  });
  dll_.krelta2_vectorFree(row);
  if (status == KRELTA2_OK) {
    item.confirmed = value;
  } else {
    item.unconfirmed.insert(value);
  }
}

// The tree and the operations a host calls beside reads and writes.
void Driver::Walk(Connection& c) {
  // The tree, the clock and the historical read make no server call.
  const DWORD bound = BoundMs(c, Export::kNoServerCall);
  uint32_t nodes = 0, time = 0;
  Timed("krelta2_connectionGetNumNodes", bound, [&] { return dll_.krelta2_connectionGetNumNodes(c.handle, &nodes); });
  Timed("krelta2_connectionGetCurrentTime", bound,
        [&] { return dll_.krelta2_connectionGetCurrentTime(c.handle, &time); });
  std::vector<krelta2_node> pending;
  for (uint32_t n = 0; n < nodes; ++n) {
    krelta2_node node = nullptr;
    if (Timed("krelta2_connectionGetNode", bound, [&] { return dll_.krelta2_connectionGetNode(c.handle, n, &node); }) == 0) {
      pending.push_back(node);
    }
  }
  while (!pending.empty()) {
    const krelta2_node node = pending.back();
    pending.pop_back();
    krelta2_string name = nullptr;
    if (Timed("krelta2_nodeGetName", bound, [&] { return dll_.krelta2_nodeGetName(node, &name); }) == 0) {
      dll_.krelta2_stringFree(name);
    }
    uint32_t tags = 0, children = 0;
    Timed("krelta2_nodeGetNumTags", bound, [&] { return dll_.krelta2_nodeGetNumTags(node, &tags); });
    for (uint32_t t = 0; t < tags; ++t) {
      krelta2_tag tag = nullptr;
      if (Timed("krelta2_nodeGetTag", bound, [&] { return dll_.krelta2_nodeGetTag(node, t, &tag); }) != 0) continue;
      Timed("krelta2_tagGetUpdateTime", bound, [&] { return dll_.krelta2_tagGetUpdateTime(tag, &time); });
      if (Timed("krelta2_tagGetName", bound, [&] { return dll_.krelta2_tagGetName(tag, &name); }) == 0) {
        dll_.krelta2_stringFree(name);
      }
    }
    Timed("krelta2_nodeGetNumNodes", bound, [&] { return dll_.krelta2_nodeGetNumNodes(node, &children); });
    for (uint32_t n = 0; n < children; ++n) {
      krelta2_node child = nullptr;
      if (Timed("krelta2_nodeGetNode", bound, [&] { return dll_.krelta2_nodeGetNode(node, n, &child); }) == 0) {
        pending.push_back(child);
      }
    }
    krelta2_vector batches = nullptr;
    Timed("krelta2_nodeGetActiveBatches", bound,
          [&] { return dll_.krelta2_nodeGetActiveBatches(node, 0, 100, &batches); });
    if (batches != nullptr) dll_.krelta2_vectorFree(batches);
  }
  if (c.tags.empty()) return;
  krelta2_vector history = nullptr;
  if (Timed("krelta2_connectionReadHistoricalData", bound, [&] {
        return dll_.krelta2_connectionReadHistoricalData(c.handle, c.tags.data(), 1, 1700000000, &history);
      }) == 0) {
    dll_.krelta2_vectorFree(history);
  }
}

void Driver::HostThread(int index) {
  t_thread = index;
  std::mt19937 rng(o_.seed * 7919u + static_cast<unsigned>(index));
  const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o_.seconds));
  while (Clock::now() < end) {
    t_step = ++steps_;
    Connection& c = connections_[rng() % connections_.size()];
    std::unique_lock<std::mutex> lock(c.busy, std::try_to_lock);
    if (!lock) continue;
    const unsigned op = rng() % 100;
    if (c.handle == nullptr) {
      Open(c);
    } else if (op < 45) {
      Read(c, rng, false);
    } else if (op < 70) {
      Write(c, rng);
    } else if (op < 85) {
      Walk(c);
    } else if (op < 95) {
      Close(c);
      Open(c);
    } else {
      Close(c);
    }
  }
}

// Reaches the simulator's current process: after a chaos exit a new one serves, with the
// default address space and no chaos, so both are set again. Counts chaos per process.
bool Driver::ReachSimulator() {
  LONG pid = 0;
  if (control_ && SUCCEEDED(control_->GetCounter(SIM_COUNTER_PROCESS_ID, &pid)) && pid == simulatorPid_) {
    for (DWORD k = SIM_COUNTER_CHAOS_CALLS; k <= SIM_COUNTER_CHAOS_WALK_FAULTS; ++k) {
      LONG v = 0;
      if (SUCCEEDED(control_->GetCounter(k, &v))) chaosCounts_[pid][k] = v;
    }
    return true;
  }
  if (FAILED(krelta::sim::CreateSimulatorControl(control_)) ||
      FAILED(control_->GetCounter(SIM_COUNTER_PROCESS_ID, &pid))) {
    control_ = nullptr;
    return false;
  }
  krelta::com::Bstr error;
  control_->LoadAddressSpace(Space().c_str(), error.put());
  if (simulatorPid_ != 0) ++simulatorStarts_;
  if (running_) {
    // Each process draws its own stream: the same seed again would end it at the same step.
    const std::wstring profile = krelta::com::Utf8ToWide(o_.profile);
    control_->SetChaos(o_.seed + 1000003u * static_cast<std::uint32_t>(simulatorStarts_), profile.c_str(),
                       error.put());
  }
  simulatorPid_ = pid;
  if (o_.handleNames && running_) {
    // Which handles grow with the restarts, as they happen.
    HandleCount now = Handles(true);
    std::printf("simulator restart %d (step %lld, %d connections open): handles", simulatorStarts_, steps_.load(),
                openConnections_.load());
    for (const auto& [type, count] : now.byType) std::printf(" %s %ld,", type.c_str(), count);
    std::printf("\n");
    if (!lastCensus_.names.empty()) PrintNewHandles(lastCensus_, now);
    lastCensus_ = std::move(now);
    std::fflush(stdout);
  }
  return true;
}

std::thread Driver::StartChaos(const std::wstring& profile) {
  krelta::com::Bstr error;
  control_->SetChaos(o_.seed, profile.c_str(), error.put());
  running_ = true;
  return std::thread([this] {
    krelta::com::ApartmentGuard apartment(COINIT_MULTITHREADED);
    Monitor();
  });
}

void Driver::Monitor() {
  // A session's thread may finish its teardown calls for up to the call bound after its close
  // returned; only an excess that outlasts that counts.
  ULONGLONG overSince = 0;
  bool reported = false;
  while (running_) {
    ::Sleep(250);
    ReachSimulator();
    // The library's own threads: one session per open connection, the stuck ones allowed, and
    // a host probe per host thread that may be opening. Under Wine each call in flight also
    // holds a thread-pool worker and each connection a server made into this process an RPC
    // thread; those are reported, not judged.
    const ThreadCount count = CountThreads();
    const std::size_t threads = count.library;
    const std::size_t allowed = static_cast<std::size_t>(std::max(0, openConnections_.load())) +
                                static_cast<std::size_t>(o_.stuckAllowance + o_.threads);
    worstThreads_ = std::max(worstThreads_, count.all);
    worstLibraryThreads_ = std::max(worstLibraryThreads_, count.library);
    const ULONGLONG tick = ::GetTickCount64();
    if (threads <= allowed) {
      overSince = 0;
      reported = false;
    } else if (overSince == 0) {
      overSince = tick;
    } else if (!reported && tick - overSince > o_.callTimeoutSeconds * 1000ULL + 1000) {
      reported = true;
      Violation("too many library threads", std::to_string(threads) + " > " + std::to_string(allowed) + " (" +
                                        std::to_string(openConnections_.load()) + " connections open" +
                                        (g_sessionThreads ? ", session threads " + std::to_string(g_sessionThreads())
                                                          : std::string()) + ")");
    }
    const ULONGLONG now = ::GetTickCount64();
    for (int t = 0; t < 64; ++t) {
      const ULONGLONG since = inFlightSince_[t];
      const DWORD limit = inFlightBound_[t] + kSlackMs + 30000;
      if (since != 0 && now - since > limit) {
        Violation("an export hangs", std::string(inFlightName_[t].load()) + " on host thread " + std::to_string(t));
        Summary({});
        std::fflush(stdout);
        ::TerminateProcess(::GetCurrentProcess(), 1);
      }
    }
  }
}

void Driver::Summary(const std::map<std::string, long long>& faults) {
  std::lock_guard<std::mutex> guard(statsLock_);
  // The bound judged (without the slack): CallTimeout per server call the export may make, from
  // the lowest to the highest over the connections (classes, subscriptions).
  std::printf("\n%-40s %10s %8s %8s %8s %12s %10s %13s\n", "export", "calls", "status 0", "1", "2", "99.9% (ms)",
              "worst (ms)", "bound (ms)");
  for (const auto& [name, s] : stats_) {
    char bound[32];
    std::snprintf(bound, sizeof bound, s.boundMin == s.boundMax ? "%lu" : "%lu-%lu",
                  static_cast<unsigned long>(s.boundMin), static_cast<unsigned long>(s.boundMax));
    std::printf("%-40s %10lld %8lld %8lld %8lld %12.1f %10.1f %13s\n", name.c_str(), s.times.Count(), s.status[0],
                s.status[1], s.status[2], s.times.Percentile(99.9), s.times.Worst(), bound);
  }
  if (!faults.empty()) {
    std::printf("\nfaults injected:");
    for (const auto& [kind, n] : faults) std::printf(" %s %lld,", kind.c_str(), n);
    std::printf("\n");
  }
  std::printf("violations: %lld\n", violationCount_);
  for (const auto& [kind, n] : violationKinds_) std::printf("  %lld x %s\n", n, kind.c_str());
  for (const std::string& v : violations_) std::printf("  %s\n", v.c_str());
}

int Driver::Run() {
  Configure();
  if (!ReachSimulator()) {
    std::printf("cannot reach the simulator's control object\n");
    return 2;
  }
  krelta::com::Bstr error;
  const std::wstring profile = krelta::com::Utf8ToWide(o_.profile);
  if (FAILED(control_->SetChaos(o_.seed, profile.c_str(), error.put()))) {  // checked before any work
    std::printf("bad profile: %ls\n", error.get() ? error.get() : L"");
    return 2;
  }
  control_->SetChaos(0, L"off", error.put());
  std::mt19937 rng(o_.seed);
  // First round, chaos off: every connection opens and reads right, then closes; the memory,
  // handles and threads after it are the measure for the end.
  for (Connection& c : connections_) {
    if (!Open(c)) Violation("an open with chaos off failed", c.name + ": " + krelta::host::NewestStandaloneLogEntry());
    Read(c, rng, true);
    Write(c, rng);
    Read(c, rng, true);
    Close(c);
  }
  const SIZE_T memoryBefore = Committed();
  // Where the platform itself leaks registry keys on every host probe, keys are counted apart
  // and not judged.
  const double keysPerProbe = KeysLeakedByProbe();
  const bool judgeKeys = keysPerProbe == 0;
  const HandleCount handlesBefore = Handles(o_.handleNames);
  // Host threads, the monitor and the chaos stuck-call allowance come on top of this.
  baseThreads_ = Threads() + static_cast<std::size_t>(o_.threads) + 1 + kThreadSlack;
  std::printf("chaos run: seed %lu, profile %s, %d connections, %d host threads, %.0f s, CallTimeout %d s\n",
              static_cast<unsigned long>(o_.seed), o_.profile.c_str(), o_.connections, o_.threads, o_.seconds,
              o_.callTimeoutSeconds);
  std::printf("after the first round: %zu KB committed, %ld handles and %ld registry keys, %zu threads; a host "
              "probe leaves %.1f registry keys open on this platform%s\n",
              memoryBefore / 1024, handlesBefore.All() - handlesBefore.Of("Key"), handlesBefore.Of("Key"), Threads(), keysPerProbe,
              judgeKeys ? "" : " (keys are not judged)");
  std::fflush(stdout);

  std::thread monitor = StartChaos(profile);
  std::vector<std::thread> hosts;
  for (int t = 0; t < o_.threads; ++t) hosts.emplace_back([this, t] { HostThread(t); });
  for (std::thread& t : hosts) t.join();
  running_ = false;
  monitor.join();

  // The end: chaos off, every hang released, every connection closed.
  ReachSimulator();
  control_->SetChaos(0, L"off", error.put());
  control_->ReleaseHangs();
  control_->ClearFaults();
  std::map<std::string, long long> faults;
  const char* kinds[] = {"calls drawn", "delays", "hangs", "failures", "shutdowns", "per-item errors",
                         "qualities", "variants", "walk faults"};
  for (const auto& [pid, counts] : chaosCounts_) {
    for (const auto& [k, v] : counts) faults[kinds[k - SIM_COUNTER_CHAOS_CALLS]] += v;
  }
  faults["exits"] = simulatorStarts_;
  for (Connection& c : connections_) Close(c);
  // Stuck calls come back once released; their sessions then let go of the server.
  auto settle = Clock::now() + std::chrono::seconds(o_.callTimeoutSeconds * 2 + 60);
  LONG groups = 0, items = 0, sinks = 0;
  for (;;) {
    ReachSimulator();
    control_->GetCounter(SIM_COUNTER_GROUPS_LIVE, &groups);
    control_->GetCounter(SIM_COUNTER_ITEMS_LIVE, &items);
    control_->GetCounter(SIM_COUNTER_SINKS_ADVISED, &sinks);
    if ((groups == 0 && items == 0 && sinks == 0) || Clock::now() > settle) break;
    ::Sleep(500);
  }
  if (groups != 0 || items != 0 || sinks != 0) {
    Violation("the simulator still holds ours", std::to_string(groups) + " groups, " + std::to_string(items) +
                                                     " items, " + std::to_string(sinks) + " sinks");
  }
  // A fresh open of every connection reads every value right.
  for (Connection& c : connections_) {
    if (!Open(c)) {
      Violation("a fresh open after the run failed", c.name + ": " + krelta::host::NewestStandaloneLogEntry());
      continue;
    }
    Read(c, rng, true);
    Close(c);
  }
  // Threads, memory and handles once the simulator has ended: under Wine every connection a
  // server process made into this one (to call our sinks) keeps an RPC thread here until then.
  control_ = nullptr;
  settle = Clock::now() + std::chrono::seconds(60);
  while (Clock::now() < settle && (Threads() > baseThreads_ || CountThreads().library != 0 || Committed() > memoryBefore + kMemoryMargin ||
                                   !HandleExcess(handlesBefore, Handles(), judgeKeys).empty())) {
    ::Sleep(500);
  }
  if (CountThreads().library != 0 || Threads() > baseThreads_) {
    Violation("threads left after every connection closed",
              std::to_string(Threads()) + " > " + std::to_string(baseThreads_) +
                  (g_sessionThreads ? ", session threads " + std::to_string(g_sessionThreads()) : std::string()));
  }
  const SIZE_T memoryAfter = Committed();
  const HandleCount handlesAfter = Handles(o_.handleNames);
  if (memoryAfter > memoryBefore + kMemoryMargin) {
    Violation("memory not given back", std::to_string(memoryAfter / 1024) + " KB after, " +
                                           std::to_string(memoryBefore / 1024) + " KB after the first round");
  }
  const std::string excess = HandleExcess(handlesBefore, handlesAfter, judgeKeys);
  if (!excess.empty()) Violation("handles not given back", excess);
  PrintHandles(handlesBefore, handlesAfter);
  Summary(faults);
  std::printf("library process: %zu KB committed, %ld handles and %ld registry keys after the first round; "
              "%zu KB, %ld and %ld at the end (margins %zu KB, %ld handles a type + per restart:%s); threads at most %zu, of the library %zu\n",
              memoryBefore / 1024, handlesBefore.All() - handlesBefore.Of("Key"), handlesBefore.Of("Key"),
              memoryAfter / 1024, handlesAfter.All() - handlesAfter.Of("Key"), handlesAfter.Of("Key"), kMemoryMargin / 1024,
              kHandleMargin, AllowanceText().c_str(), worstThreads_, worstLibraryThreads_);
  return violationCount_ == 0 ? 0 : 1;
}

// A server connection with bare COM calls: the server, its group with the connection's items,
// and a shutdown sink advised as the library advises one.
class BareShutdownSink final : public IOPCShutdown {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = iid == IID_IUnknown || iid == IID_IOPCShutdown ? static_cast<IOPCShutdown*>(this) : nullptr;
    if (*out == nullptr) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE ShutdownRequest(LPCWSTR) override { return S_OK; }

 private:
  std::atomic<ULONG> refs_{1};
};

struct BareSession {
  std::mutex busy;
  krelta::com::ComPtr<IOPCServer> server;
  krelta::com::ComPtr<IOPCItemMgt> items;
  krelta::com::ComPtr<IOPCSyncIO> io;
  OPCHANDLE group = 0;
  krelta::com::AdviseToken shutdown;
  std::vector<OPCHANDLE> handles;

  HRESULT Open(const CLSID& clsid, const std::string& branch) {
    HRESULT hr = ::CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                    reinterpret_cast<void**>(server.ReleaseAndGetAddressOf()));
    DWORD revised = 0;
    krelta::com::ComPtr<IUnknown> unknown;
    if (SUCCEEDED(hr)) {
      hr = server->AddGroup(L"bare", TRUE, 5000, 0, nullptr, nullptr, 0, &group, &revised, IID_IOPCItemMgt,
                            unknown.ReleaseAndGetAddressOf());
    }
    if (SUCCEEDED(hr)) hr = unknown.As(&items);
    krelta::com::ComPtr<IConnectionPointContainer> container;
    krelta::com::ComPtr<IConnectionPoint> point;
    if (SUCCEEDED(hr)) hr = server.As(&container);
    if (SUCCEEDED(hr)) hr = container->FindConnectionPoint(IID_IOPCShutdown, point.GetAddressOf());
    if (SUCCEEDED(hr)) {
      krelta::com::ComPtr<BareShutdownSink> sink;
      sink.Attach(new BareShutdownSink());
      hr = shutdown.Advise(point.Get(), sink.Get());
    }
    std::vector<std::wstring> ids;
    for (const char* name : {"W0", "W1", "W2", "W3", "S", "A0", "A1", "A2"}) {
      ids.push_back(krelta::com::Utf8ToWide(branch + "." + name));
    }
    std::vector<OPCITEMDEF> definitions(ids.size());
    for (std::size_t i = 0; i < ids.size(); ++i) {
      definitions[i].szItemID = const_cast<LPWSTR>(ids[i].c_str());
      definitions[i].bActive = TRUE;
      definitions[i].hClient = static_cast<OPCHANDLE>(i + 1);
    }
    krelta::com::CoTaskArray<OPCITEMRESULT, krelta::com::ItemResultCleanup> results;
    krelta::com::CoTaskArray<HRESULT> errors;
    if (SUCCEEDED(hr)) {
      hr = items->AddItems(static_cast<DWORD>(ids.size()), definitions.data(), results.put(), errors.put());
      results.set_size(SUCCEEDED(hr) ? ids.size() : 0);
      errors.set_size(SUCCEEDED(hr) ? ids.size() : 0);
      for (std::size_t i = 0; i < results.size(); ++i) {
        if (SUCCEEDED(errors[i])) handles.push_back(results[i].hServer);
      }
    }
    if (SUCCEEDED(hr)) hr = items.As(&io);
    return hr;
  }
  HRESULT Read() {
    krelta::com::CoTaskArray<OPCITEMSTATE, krelta::com::ItemStateCleanup> states;
    krelta::com::CoTaskArray<HRESULT> errors;
    const DWORD count = static_cast<DWORD>(handles.size());
    const HRESULT hr = io->Read(OPC_DS_CACHE, count, handles.data(), states.put(), errors.put());
    states.set_size(SUCCEEDED(hr) ? count : 0);
    errors.set_size(SUCCEEDED(hr) ? count : 0);
    return hr;
  }
  HRESULT Write(double value) {
    if (handles.empty()) return S_OK;
    VARIANT v;
    v.vt = VT_R8;
    v.dblVal = value;
    krelta::com::CoTaskArray<HRESULT> errors;
    // The last item is read-only: the values a library run beside this one checks stay as it wrote them.
    const HRESULT hr = io->Write(1, &handles.back(), &v, errors.put());
    errors.set_size(SUCCEEDED(hr) ? 1 : 0);
    return hr;
  }
  void Close() {
    if (items && !handles.empty()) {
      krelta::com::CoTaskArray<HRESULT> errors;
      if (SUCCEEDED(items->RemoveItems(static_cast<DWORD>(handles.size()), handles.data(), errors.put()))) {
        errors.set_size(handles.size());
      }
    }
    handles.clear();
    if (server && group != 0) server->RemoveGroup(group, TRUE);
    group = 0;
    shutdown.reset();
    io.Reset();
    items.Reset();
    server.Reset();
  }
};

int Driver::RunBareCom() {
  Configure();  // names and branches
  if (!ReachSimulator()) {
    std::printf("cannot reach the simulator's control object\n");
    return 2;
  }
  krelta::com::Bstr error;
  const std::wstring profile = krelta::com::Utf8ToWide(o_.profile);
  control_->SetChaos(0, L"off", error.put());
  std::vector<BareSession> sessions(static_cast<std::size_t>(o_.connections));
  const auto classOf = [](std::size_t c) { return c % 2 == 0 ? CLSID_KreltaSimulatorDA3 : CLSID_KreltaSimulatorDA2; };
  for (std::size_t c = 0; c < sessions.size(); ++c) {
    if (FAILED(sessions[c].Open(classOf(c), connections_[c].branch)) || FAILED(sessions[c].Read())) {
      Violation("a bare open with chaos off failed", connections_[c].name);
    }
    sessions[c].Close();
  }
  const HandleCount before = Handles(o_.handleNames);
  std::printf("bare COM run: seed %lu, profile %s, %d connections, %d host threads, %.0f s\n",
              static_cast<unsigned long>(o_.seed), o_.profile.c_str(), o_.connections, o_.threads, o_.seconds);
  std::fflush(stdout);
  std::thread monitor = StartChaos(profile);
  std::atomic<long long> opens{0}, calls{0};
  std::vector<std::thread> hosts;
  for (int t = 0; t < o_.threads; ++t) {
    hosts.emplace_back([&, t] {
      krelta::com::ApartmentGuard apartment(COINIT_MULTITHREADED);
      std::mt19937 rng(o_.seed * 7919u + static_cast<unsigned>(t));
      const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o_.seconds));
      while (Clock::now() < end) {
        ++steps_;
        const std::size_t c = rng() % sessions.size();
        BareSession& s = sessions[c];
        std::unique_lock<std::mutex> lock(s.busy, std::try_to_lock);
        if (!lock) continue;
        HRESULT hr = S_OK;
        const unsigned op = rng() % 100;
        if (!s.server) {
          ++opens;
          hr = s.Open(classOf(c), connections_[c].branch);
        } else if (op < 60) {
          hr = s.Read();
        } else if (op < 85) {
          hr = s.Write(static_cast<double>(rng() % 1000));
        } else {
          s.Close();
        }
        ++calls;
        if (FAILED(hr)) s.Close();
      }
    });
  }
  for (std::thread& t : hosts) t.join();
  running_ = false;
  monitor.join();
  for (BareSession& s : sessions) s.Close();
  ReachSimulator();
  control_->SetChaos(0, L"off", error.put());
  // As in the library's run: the handles once the simulator process has ended.
  control_ = nullptr;
  ::Sleep(40000);
  const HandleCount after = Handles(o_.handleNames);
  std::printf("%lld operations, %lld opens, %d simulator restarts\n", calls.load(), opens.load(), simulatorStarts_);
  PrintHandles(before, after);
  return violationCount_ == 0 ? 0 : 1;
}

// The frames of the crashed thread, each as module + offset (a frame without unwind data, such as
// a jump to a freed heap address, ends the walk after a guess from the stack's top).
void PrintStack(CONTEXT context) {
  for (int frame = 0; frame < 32 && context.Rip != 0; ++frame) {
    char module[MAX_PATH] = "?";
    HMODULE owner = nullptr;
    if (::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                             reinterpret_cast<LPCSTR>(context.Rip), &owner)) {
      ::GetModuleFileNameA(owner, module, MAX_PATH);
    }
    std::printf("  #%d %p %s+0x%llx\n", frame, reinterpret_cast<void*>(context.Rip), module,
                owner != nullptr ? static_cast<unsigned long long>(context.Rip - reinterpret_cast<DWORD64>(owner)) : 0ull);
    DWORD64 base = 0;
    PRUNTIME_FUNCTION function = ::RtlLookupFunctionEntry(context.Rip, &base, nullptr);
    if (function == nullptr) {
      // A leaf, or code without unwind data: its caller's address sits on top of the stack.
      if (frame > 0 || ::IsBadReadPtr(reinterpret_cast<void*>(context.Rsp), sizeof(DWORD64))) break;
      context.Rip = *reinterpret_cast<DWORD64*>(context.Rsp);
      context.Rsp += sizeof(DWORD64);
      continue;
    }
    void* handlerData = nullptr;
    DWORD64 establisher = 0;
    ::RtlVirtualUnwind(UNW_FLAG_NHANDLER, base, context.Rip, function, &context, &handlerData, &establisher,
                       nullptr);
  }
}

// The host process must live: a crash anywhere in it (the library, COM, the driver) is reported
// as what it is, with exit code 3, never as the silent end of a run.
LONG WINAPI ReportCrash(EXCEPTION_POINTERS* info) {
  const EXCEPTION_RECORD& record = *info->ExceptionRecord;
  char module[MAX_PATH] = "?";
  HMODULE owner = nullptr;
  if (::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           static_cast<LPCSTR>(record.ExceptionAddress), &owner)) {
    ::GetModuleFileNameA(owner, module, MAX_PATH);
  }
  std::printf("VIOLATION the host process crashed: exception 0x%08lX at %p (%s), thread %lu, host thread %d, step %lld\n",
              record.ExceptionCode, record.ExceptionAddress, module, ::GetCurrentThreadId(), t_thread, t_step);
  if (record.ExceptionCode == EXCEPTION_ACCESS_VIOLATION && record.NumberParameters >= 2) {
    std::printf("  %s of %p\n", record.ExceptionInformation[0] == 8 ? "execution" :
                                    record.ExceptionInformation[0] == 1 ? "write" : "read",
                reinterpret_cast<void*>(record.ExceptionInformation[1]));
  }
  PrintStack(*info->ContextRecord);
  std::fflush(stdout);
  ::TerminateProcess(::GetCurrentProcess(), 3);
  return EXCEPTION_EXECUTE_HANDLER;
}

bool ParseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (i + 1 >= argc) return false;
    const char* v = argv[++i];
    char* end = nullptr;
    if (a == "--seconds") o.seconds = std::strtod(v, &end);
    else if (a == "--seed") o.seed = static_cast<std::uint32_t>(std::strtoul(v, &end, 10));
    else if (a == "--connections") o.connections = static_cast<int>(std::strtol(v, &end, 10));
    else if (a == "--threads") o.threads = static_cast<int>(std::strtol(v, &end, 10));
    else if (a == "--call-timeout") o.callTimeoutSeconds = static_cast<int>(std::strtol(v, &end, 10));
    else if (a == "--reconnect-ms") o.reconnectMs = static_cast<int>(std::strtol(v, &end, 10));
    else if (a == "--stuck-allowance") o.stuckAllowance = static_cast<int>(std::strtol(v, &end, 10));
    else if (a == "--handle-names") o.handleNames = std::strtol(v, &end, 10) != 0;
    else if (a == "--bare-com") o.bareCom = std::strtol(v, &end, 10) != 0;
    else if (a == "--profile") o.profile = v;
    else if (a == "--library") o.library = v;
    else return false;
    if (end != nullptr && (*end != '\0' || end == v)) return false;
  }
  return o.seconds >= 0 && o.connections >= 1 && o.connections <= 100 && o.threads >= 1 && o.threads <= 60 &&
         o.callTimeoutSeconds >= 1 && o.reconnectMs >= 0 && o.stuckAllowance >= 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseOptions(argc, argv, o)) {
    std::printf("usage: chaos_driver [--seconds N] [--seed S] [--profile P] [--connections 1..100] "
                "[--threads 1..60] [--call-timeout S] [--library PATH] [--reconnect-ms MS] [--stuck-allowance N]\n");
    return 2;
  }
  setvbuf(stdout, nullptr, _IOLBF, 4096);
  ::SetUnhandledExceptionFilter(&ReportCrash);
  krelta::com::ApartmentGuard apartment(COINIT_MULTITHREADED);
  {
    // A host without the simulator gets one clear line, not a run of failed opens.
    krelta::com::ComPtr<ISimulatorControl> probe;
    const HRESULT hr = ::CoCreateInstance(CLSID_KreltaSimulatorControl, nullptr, CLSCTX_LOCAL_SERVER,
                                          IID_ISimulatorControl, reinterpret_cast<void**>(probe.ReleaseAndGetAddressOf()));
    if (hr == REGDB_E_CLASSNOTREG) {
      std::printf("the simulator is not registered in this prefix (run <build>/win/register): 0x%08lX\n",
                  static_cast<unsigned long>(hr));
      return 2;
    }
  }
  krelta::host::Library dll(o.library.empty() ? krelta::host::Library::DefaultPath() : o.library);
  if (!dll.Loaded() || !dll.Missing().empty()) {
    std::printf("cannot load the library %s\n", o.library.c_str());
    return 2;
  }
  // The test build of the library shortens the reconnect schedule, so a run sees many cycles.
  const HMODULE module = ::GetModuleHandleA(o.library.empty() ? "OpcDAKrelta.dll" : o.library.c_str());
  using Intervals = void (*)(uint32_t, uint32_t);
  const FARPROC hook = module ? ::GetProcAddress(module, "krelta_test_setReconnectIntervals") : nullptr;
  if (hook != nullptr) {
    reinterpret_cast<Intervals>(reinterpret_cast<void*>(hook))(static_cast<uint32_t>(o.reconnectMs), static_cast<uint32_t>(o.reconnectMs) * 8);
  }
  const FARPROC count = module ? ::GetProcAddress(module, "krelta_test_sessionThreads") : nullptr;
  g_sessionThreads = reinterpret_cast<int32_t (*)()>(reinterpret_cast<void*>(count));
  Driver driver(o, dll);
  return o.bareCom ? driver.RunBareCom() : driver.Run();
}
