// krelta-simulator.exe: our OPC DA server for the demo and the end-to-end tests.
//
//   krelta-simulator /regserver [switches]   register the four classes (the server list only
//                                            where no other program serves it); the switches
//                                            are kept in LocalServer32 and apply to every COM start
//   krelta-simulator /unregserver            remove the classes registered to this EXE
//   krelta-simulator --check <file>          validate an address-space file: prints OK or the error
//   krelta-simulator [-Embedding] [switches] serve (COM passes -Embedding)
//
// Switches: --idle-seconds N (end after N s without any call, default 20), --linger-seconds N
// (end N s after the last object went away, default 1), --log <file> (default
// C:\ProgramData\OpcDAKrelta-Simulator\simulator.log), --no-call-log, --space <file>,
// --chaos <seed>:<profile> (chaos mode from the first call, see simulator/chaos.h).
#include <windows.h>
#include <shlobj.h>

#include <cstdio>
#include <cwchar>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "opc_da_constants.h"
#include "platform/com/com_owners.h"
#include "platform/com/wide_text.h"
#include "simulator/registration.h"
#include "simulator/runtime.h"
#include "simulator/server_list.h"
#include "simulator/server_objects.h"

namespace {

using krelta::sim::Runtime;

enum class FactoryKind { kDA3, kDA2, kControl, kServerList };

// Class factories live as long as the process; they hold no references of their own.
class Factory final : public IClassFactory {
 public:
  explicit Factory(FactoryKind kind) : kind_(kind) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IClassFactory)) return E_NOINTERFACE;
    *out = static_cast<IClassFactory*>(this);
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    krelta::sim::CallScope call(kind_ == FactoryKind::kControl      ? "CreateInstance(control)"
                                : kind_ == FactoryKind::kServerList ? "CreateInstance(server list)"
                                : kind_ == FactoryKind::kDA3        ? "CreateInstance(DA3)"
                                                                    : "CreateInstance(DA2)",
                                krelta::sim::CallScope::kControl);
    return krelta::sim::Guarded(call, [&]() -> HRESULT {
      if (out == nullptr) return E_POINTER;
      *out = nullptr;
      if (outer != nullptr) return CLASS_E_NOAGGREGATION;
      if (kind_ == FactoryKind::kControl) return krelta::sim::CreateControlObject(iid, out);
      if (kind_ == FactoryKind::kServerList) return krelta::sim::CreateServerListObject(iid, out);
      krelta::sim::Runtime::Get().Count(SIM_COUNTER_SERVER_CREATE_CALLS);
      HRESULT hr;
      if (krelta::sim::FaultStops(SIM_FAULT_CREATE_RESULT, &hr)) return hr;
      return krelta::sim::CreateServerObject(kind_ == FactoryKind::kDA3, iid, out);
    });
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock) Runtime::Get().ObjectCreated();
    else Runtime::Get().ObjectDestroyed();
    return S_OK;
  }

 private:
  FactoryKind kind_;
};

DWORD g_cookies[4];

void RevokeClassObjects() {
  for (DWORD& cookie : g_cookies) {
    if (cookie != 0) ::CoRevokeClassObject(cookie);
    cookie = 0;
  }
}

struct Options {
  bool regserver = false, unregserver = false, embedding = false, callLog = true;
  std::wstring check, log, space, chaos;
  DWORD idleSeconds = 20, lingerSeconds = 1;
  std::wstring serverSwitches;  // what /regserver keeps in LocalServer32
};

bool Is(const wchar_t* arg, const wchar_t* name) {
  // "/regserver", "-regserver" and "--regserver" alike, any case.
  while (*arg == L'/' || *arg == L'-') ++arg;
  return _wcsicmp(arg, name) == 0;
}

bool ParseOptions(int argc, wchar_t** argv, Options& o, std::wstring& error) {
  for (int i = 1; i < argc; ++i) {
    const wchar_t* a = argv[i];
    auto value = [&](std::wstring& out) {
      if (i + 1 >= argc) {
        error = std::wstring(a) + L" needs a value";
        return false;
      }
      out = argv[++i];
      return true;
    };
    std::wstring v;
    if (Is(a, L"regserver")) {
      o.regserver = true;
    } else if (Is(a, L"unregserver")) {
      o.unregserver = true;
    } else if (Is(a, L"embedding")) {
      o.embedding = true;
    } else if (Is(a, L"check")) {
      if (!value(o.check)) return false;
    } else if (Is(a, L"no-call-log")) {
      o.callLog = false;
      o.serverSwitches += L" --no-call-log";
    } else if (Is(a, L"log") || Is(a, L"space")) {
      if (!value(v)) return false;
      (Is(a, L"log") ? o.log : o.space) = v;
      o.serverSwitches += std::wstring(L" --") + (Is(a, L"log") ? L"log" : L"space") + L" \"" + v + L"\"";
    } else if (Is(a, L"chaos")) {
      if (!value(o.chaos)) return false;
      krelta::sim::ChaosProfile profile;
      const size_t colon = o.chaos.find(L':');
      wchar_t* end = nullptr;
      std::wcstoul(o.chaos.c_str(), &end, 10);
      if (colon == 0 || colon == std::wstring::npos || end != o.chaos.c_str() + colon ||
          !krelta::sim::ChaosProfile::Parse(o.chaos.substr(colon + 1), profile, error)) {
        if (error.empty()) error = L"--chaos needs <seed>:<profile>";
        return false;
      }
      o.serverSwitches += L" --chaos \"" + o.chaos + L"\"";
    } else if (Is(a, L"idle-seconds") || Is(a, L"linger-seconds")) {
      if (!value(v)) return false;
      wchar_t* end = nullptr;
      const unsigned long n = std::wcstoul(v.c_str(), &end, 10);
      if (v.empty() || *end != L'\0' || n == 0 || n > 86400) {
        error = std::wstring(a) + L" needs a number of seconds (1..86400)";
        return false;
      }
      (Is(a, L"idle-seconds") ? o.idleSeconds : o.lingerSeconds) = static_cast<DWORD>(n);
      o.serverSwitches += std::wstring(L" ") + a + L" " + v;
    } else {
      error = std::wstring(L"unknown argument ") + a;
      return false;
    }
  }
  return true;
}

bool ReadTextFile(const std::wstring& path, std::wstring& text) {
  std::ifstream in(path.c_str(), std::ios::binary);
  if (!in) return false;
  std::stringstream buffer;
  buffer << in.rdbuf();
  std::string bytes = buffer.str();
  if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) bytes.erase(0, 3);
  text = krelta::com::Utf8ToWide(bytes);
  return true;
}

std::wstring DefaultLogPath() {
  wchar_t folder[MAX_PATH] = L"";
  if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, folder))) return L"simulator.log";
  return std::wstring(folder) + L"\\OpcDAKrelta-Simulator\\simulator.log";
}

int Serve(const Options& o) {
  if (o.embedding) {
    // Wine starts local servers from the client, so our standard handles are the client's
    // (a test runner's output pipe would stay open until we exit). The log file has it all.
    std::fclose(stdin);
    std::fclose(stdout);
    std::fclose(stderr);
    for (DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) ::SetStdHandle(which, nullptr);
  }
  Runtime& rt = Runtime::Get();
  rt.OpenLog(o.log.empty() ? DefaultLogPath() : o.log, o.callLog);
  char line[160];
  std::snprintf(line, sizeof line, "start: pid %lu, idle %lu s, linger %lu s%s", ::GetCurrentProcessId(),
                o.idleSeconds, o.lingerSeconds, o.embedding ? ", started by COM" : "");
  rt.LogLine(line);
  if (!o.space.empty()) {
    std::wstring text, error;
    if (!ReadTextFile(o.space, text)) {
      rt.LogLine("cannot read the address-space file");
      rt.FlushLog();
      return 1;
    }
    auto space = krelta::sim::AddressSpace::Parse(text, error);
    if (!space) {
      std::snprintf(line, sizeof line, "address space: %ls", error.c_str());
      rt.LogLine(line);
      rt.FlushLog();
      return 1;
    }
    rt.ReplaceSpace(std::move(space));
  }

  if (!o.chaos.empty()) {
    std::wstring error;
    const size_t colon = o.chaos.find(L':');
    // Each process draws its own stream (the log names the seed in force): the same draws
    // again would end every new process at the same call.
    krelta::sim::SetChaos(static_cast<std::uint32_t>(std::wcstoul(o.chaos.c_str(), nullptr, 10)) ^
                              (::GetCurrentProcessId() * 2654435761u),
                          o.chaos.substr(colon + 1), error);
  }

  krelta::com::ApartmentGuard apartment(COINIT_MULTITHREADED);
  static Factory da3(FactoryKind::kDA3), da2(FactoryKind::kDA2), control(FactoryKind::kControl),
      serverList(FactoryKind::kServerList);
  struct Registration {
    const CLSID* clsid;
    Factory* factory;
  } registrations[] = {{&CLSID_KreltaSimulatorDA3, &da3},
                       {&CLSID_KreltaSimulatorDA2, &da2},
                       {&CLSID_KreltaSimulatorControl, &control},
                     {&CLSID_OPCServerList, &serverList}};
  rt.SetBeforeCrash(&RevokeClassObjects);
  for (int i = 0; i < 4; ++i) {
    const Registration& r = registrations[i];
    const HRESULT hr = ::CoRegisterClassObject(*r.clsid, r.factory, CLSCTX_LOCAL_SERVER,
                                               REGCLS_MULTIPLEUSE, &g_cookies[i]);
    if (FAILED(hr)) {
      std::snprintf(line, sizeof line, "CoRegisterClassObject failed: 0x%08lX", static_cast<unsigned long>(hr));
      rt.LogLine(line);
    }
  }

  // The linger time counts once an object was made: the creation that made COM start this
  // process can take longer than that to arrive on a loaded machine, and would fail if the
  // process ended first. Until then only the idle time ends it.
  ULONGLONG lastAlive = ::GetTickCount64();
  bool served = false;
  const char* reason = nullptr;
  while (reason == nullptr) {
    ::Sleep(100);
    rt.FlushLog();
    const ULONGLONG now = ::GetTickCount64();
    if (rt.LiveObjects() > 0) {
      lastAlive = now;
      served = true;
    }
    if (served && now - lastAlive >= o.lingerSeconds * 1000ULL) reason = "no object left";
    // Wine never releases the references of a client that died, so silence ends us too.
    else if (now - rt.LastCall() >= o.idleSeconds * 1000ULL) reason = "no call for the idle time";
  }
  RevokeClassObjects();
  // A creation can slip in between the last check and the revocation. Once revoked no new
  // client reaches this process (COM starts a fresh one), so serve the late ones to the end.
  ULONGLONG lastSeen = ::GetTickCount64();
  for (;;) {
    ::Sleep(100);
    const ULONGLONG now = ::GetTickCount64();
    if (rt.LiveObjects() > 0) lastSeen = now;
    if (now - lastSeen >= 300 || now - rt.LastCall() >= o.idleSeconds * 1000ULL) break;
  }
  std::snprintf(line, sizeof line, "exit: %s (%ld objects alive)", reason, rt.LiveObjects());
  rt.LogLine(line);
  rt.FlushLog();
  // Objects of dead clients may still be alive; do not wait for them.
  ::ExitProcess(0);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Options o;
  std::wstring error;
  if (!ParseOptions(argc, argv, o, error)) {
    std::fwprintf(stderr, L"krelta-simulator: %ls\n", error.c_str());
    return 2;
  }
  if (o.regserver || o.unregserver) {
    krelta::sim::RegistrationReport report;
    const HRESULT hr = o.regserver ? krelta::sim::RegisterServer(o.serverSwitches, report)
                                   : krelta::sim::UnregisterServer(report);
    for (const std::wstring& line : report) std::wprintf(L"krelta-simulator: %ls\n", line.c_str());
    if (FAILED(hr)) std::fwprintf(stderr, L"krelta-simulator: registration failed: 0x%08lX\n", static_cast<unsigned long>(hr));
    return FAILED(hr) ? 1 : 0;
  }
  if (!o.check.empty()) {
    std::wstring text;
    if (!ReadTextFile(o.check, text)) {
      std::wprintf(L"cannot read %ls\n", o.check.c_str());
      return 1;
    }
    if (!krelta::sim::AddressSpace::Parse(text, error)) {
      std::wprintf(L"%ls\n", error.c_str());
      return 1;
    }
    std::wprintf(L"OK\n");
    return 0;
  }
  return Serve(o);
}
