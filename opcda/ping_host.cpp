#include "opcda/ping_host.h"

#include <objbase.h>

#include <memory>

#include "opcda/create_instance.h"
#include "opcda/session_thread.h"
#include "opcda/slim_sync.h"
#include "platform/com/wide_text.h"

namespace krelta {
namespace {

// {F3839019-166B-4EC4-856C-CC68371AC7B2}: registered by nobody.
constexpr CLSID kUnregisteredClass = {
    0xF3839019, 0x166B, 0x4EC4, {0x85, 0x6C, 0xCC, 0x68, 0x37, 0x1A, 0xC7, 0xB2}};

}  // namespace

HRESULT PingHost(const std::string& host, DWORD timeLimitMs) {
  if (host.empty()) return S_OK;
  // The probe runs on a thread of its own that keeps the library loaded: a host that never
  // answers leaves it waiting after the caller has moved on.
  auto answer = std::make_shared<AnswerSlot<HRESULT>>();
  const bool started = StartPinnedThread([answer, wideHost = com::AnsiToWide(host)]() mutable {
    HRESULT hr = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (SUCCEEDED(hr)) {
      COSERVERINFO serverInfo{};
      serverInfo.pwszName = wideHost.data();
      MULTI_QI result{&IID_IUnknown, nullptr, S_OK};
      hr = CallCreateInstanceEx(kUnregisteredClass,
                                CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER,
                                &serverInfo, &result);
      if (result.pItf != nullptr) result.pItf->Release();
      ::CoUninitialize();
    }
    answer->Set(hr);
  });
  if (!started) return HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY);
  const bool answered = timeLimitMs == kPingWaitForever
                            ? answer->WaitUntil(std::nullopt)
                            : answer->Wait(std::chrono::milliseconds(timeLimitMs));
  const HRESULT hr = answered ? answer->Take() : HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE);
  return hr == REGDB_E_CLASSNOTREG ? S_OK : hr;
}

}  // namespace krelta
