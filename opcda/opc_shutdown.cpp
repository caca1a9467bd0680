#include "opcda/opc_shutdown.h"

#include "log/log_file.h"
#include "opcda/session_thread.h"
#include "platform/com/wide_text.h"
#include "util/format.h"

namespace krelta {

HRESULT STDMETHODCALLTYPE OpcShutdown::QueryInterface(REFIID iid, void** out) {
  if (out == nullptr) return E_INVALIDARG;
  if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IOPCShutdown)) {
    AddRef();
    *out = static_cast<IOPCShutdown*>(this);
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE OpcShutdown::AddRef() {
  return static_cast<ULONG>(::InterlockedIncrement(&references_));
}

ULONG STDMETHODCALLTYPE OpcShutdown::Release() {
  const LONG count = ::InterlockedDecrement(&references_);
  if (count == 0) delete this;
  return static_cast<ULONG>(count);
}

HRESULT STDMETHODCALLTYPE OpcShutdown::ShutdownRequest(LPCWSTR reason) {
  std::shared_ptr<SessionThread> session;
  {
    std::lock_guard<std::mutex> guard(lock_);
    session = session_.lock();
  }
  if (!session || session->Abandoned()) return S_OK;
  try {
    WriteStandaloneLog(kLogCritical,
                       Format("OpcShutdown::ShutdownRequest: %1%.", com::WideToUtf8(reason)));
  } catch (...) {
    // Nothing may cross back into COM; the close below still happens.
  }
  session->RequestShutdown();
  return S_OK;
}

bool OpcShutdown::WaitUntilOnlyOwnerHolds(DWORD ms) const {
  const ULONGLONG deadline = ::GetTickCount64() + ms;
  while (::InterlockedCompareExchange(const_cast<volatile LONG*>(&references_), 0, 0) > 1) {
    if (::GetTickCount64() >= deadline) return false;
    ::Sleep(5);
  }
  return true;
}

void OpcShutdown::PinModuleForever() {
  HMODULE module = nullptr;
  ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCWSTR>(&OpcShutdown::PinModuleForever), &module);
}

void OpcShutdown::SetSession(std::shared_ptr<SessionThread> session) {
  std::lock_guard<std::mutex> guard(lock_);
  session_ = session;
}

}  // namespace krelta
