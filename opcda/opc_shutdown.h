// The session's IOPCShutdown sink. The server calls it on an RPC thread; the request is noted
// and handed to the session's own thread as a close, and the call returns at once: it never
// calls into the server from inside the server's own call and never waits for the session. A
// sink keeps the library loaded while it lives: COM may still release it after the host has
// freed the library.
#pragma once

#include <windows.h>

#include <memory>
#include <mutex>

#include "opc_da.h"
#include "opcda/module_pin.h"

namespace krelta {

class SessionThread;

class OpcShutdown final : public IOPCShutdown {
 public:
  OpcShutdown() = default;

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  // IOPCShutdown: logs the reason and hands the close to the session; S_OK at once.
  HRESULT STDMETHODCALLTYPE ShutdownRequest(LPCWSTR reason) override;

  // The session a request closes; null detaches the sink.
  void SetSession(std::shared_ptr<SessionThread> session);

 private:
  ~OpcShutdown() = default;

  ModulePin pin_;  // first member, so destroyed last: no member's destructor runs unpinned
  std::mutex lock_;
  std::weak_ptr<SessionThread> session_;
  LONG references_ = 1;
};

}  // namespace krelta
