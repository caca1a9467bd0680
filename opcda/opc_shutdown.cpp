#include "opcda/opc_shutdown.h"

#include "log/log_file.h"
#include "opcda/opc_da_proxy.h"
#include "platform/com/com_owners.h"
#include "platform/com/wide_text.h"
#include "util/format.h"

namespace krelta {

void ShutdownLink::CloseProxy(const std::string& reason) {
  OpcDaProxy* proxy;
  {
    std::lock_guard<std::mutex> guard(lock_);
    proxy = proxy_;
    if (proxy == nullptr) return;
    ++running_;
  }
  try {
    WriteStandaloneLog(kLogCritical, Format("OpcShutdown::ShutdownRequest: %1%.", reason));
    proxy->RequestShutdown();
  } catch (...) {
    // Nothing may cross back into COM; the session stays as far as the close got.
  }
  {
    std::lock_guard<std::mutex> guard(lock_);
    --running_;
  }
  idle_.notify_all();
}

void ShutdownLink::Detach() {
  std::unique_lock<std::mutex> guard(lock_);
  proxy_ = nullptr;
  idle_.wait(guard, [this] { return running_ == 0; });
}

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
  // Closing the proxy disconnects and releases this sink; it lives until the call returns.
  com::ComPtr<OpcShutdown> self(this);
  std::shared_ptr<ShutdownLink> link;
  {
    std::lock_guard<std::mutex> guard(lock_);
    link = link_;
  }
  if (!link) return S_OK;
  std::string text;
  try {
    text = com::WideToUtf8(reason);
  } catch (...) {
  }
  link->CloseProxy(text);
  return S_OK;
}

void OpcShutdown::SetProxy(std::shared_ptr<ShutdownLink> link) {
  std::lock_guard<std::mutex> guard(lock_);
  link_ = std::move(link);
}

}  // namespace krelta
