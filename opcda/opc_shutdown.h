// The session's IOPCShutdown sink. The server calls it on an RPC thread; the request is noted
// and handed to the session's own thread as a close, and the call returns at once: it never
// calls into the server from inside the server's own call and never waits for the session. The
// session thread that owns the sink (and holds the library) waits for outside references to go
// before it ends, and pins the library for good when they do not.
#pragma once

#include <windows.h>

#include <memory>
#include <mutex>

#include "opc_da.h"

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
  // After CoDisconnectObject: waits at most ms until the caller's reference is the only one.
  bool WaitUntilOnlyOwnerHolds(DWORD ms) const;
  // Keeps this library loaded until the process ends: a sink someone still holds may be called
  // or released at any time.
  static void PinModuleForever();

 private:
  ~OpcShutdown() = default;

  std::mutex lock_;
  std::weak_ptr<SessionThread> session_;
  volatile LONG references_ = 1;
};

}  // namespace krelta
