#include "opcda/ping_host.h"

#include <objbase.h>

#include <memory>

#include "opcda/create_instance.h"
#include "opcda/module_pin.h"
#include "platform/com/wide_text.h"

namespace krelta {
namespace {

// {F3839019-166B-4EC4-856C-CC68371AC7B2}: registered by nobody.
constexpr CLSID kUnregisteredClass = {
    0xF3839019, 0x166B, 0x4EC4, {0x85, 0x6C, 0xCC, 0x68, 0x37, 0x1A, 0xC7, 0xB2}};

struct ProbeTask {
  std::wstring host;
  HMODULE module = nullptr;  // keeps this library loaded while a late worker still runs
};

DWORD WINAPI ProbeWorker(void* parameter) {
  std::unique_ptr<ProbeTask> task(static_cast<ProbeTask*>(parameter));
  HRESULT hr = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (SUCCEEDED(hr)) {
    COSERVERINFO serverInfo{};
    serverInfo.pwszName = task->host.data();
    MULTI_QI result{&IID_IUnknown, nullptr, S_OK};
    hr = CallCreateInstanceEx(kUnregisteredClass,
                              CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER,
                              &serverInfo, &result);
    if (result.pItf != nullptr) result.pItf->Release();
    ::CoUninitialize();
  }
  const HMODULE module = task->module;
  task.reset();
  if (module != nullptr) ::FreeLibraryAndExitThread(module, static_cast<DWORD>(hr));
  return static_cast<DWORD>(hr);
}

}  // namespace

HRESULT PingHost(const std::string& host, DWORD timeLimitMs) {
  if (host.empty()) return S_OK;

  auto task = std::make_unique<ProbeTask>();
  task->host = com::AnsiToWide(host);
  task->module = ModulePin().Release();
  const HMODULE module = task->module;
  HANDLE thread = ::CreateThread(nullptr, 0, &ProbeWorker, task.get(), 0, nullptr);
  if (thread == nullptr) {
    const HRESULT hr = HRESULT_FROM_WIN32(::GetLastError());
    if (module != nullptr) ::FreeLibrary(module);
    return hr;
  }
  task.release();  // the worker owns it now

  HRESULT hr;
  if (::WaitForSingleObject(thread, timeLimitMs) == WAIT_OBJECT_0) {
    DWORD exitCode = 0;
    ::GetExitCodeThread(thread, &exitCode);
    hr = static_cast<HRESULT>(exitCode);
  } else {
    hr = HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE);
  }
  ::CloseHandle(thread);
  return hr == REGDB_E_CLASSNOTREG ? S_OK : hr;
}

}  // namespace krelta
