// The session's IOPCShutdown sink. The server calls it on an RPC thread; the request is noted
// and handed to the session's own thread as a close, and the call returns at once: it never
// calls into the server from inside the server's own call and never waits for the session. The
// session thread that owns the sink lets go of it with ComSink::Disconnect.
#pragma once

#include <windows.h>

#include <memory>
#include <mutex>

#include "opc_da.h"
#include "opcda/com_sink.h"

namespace krelta {

class SessionThread;

class OpcShutdown final : public ComSink<IOPCShutdown> {
 public:
  OpcShutdown() = default;

  // IOPCShutdown: logs the reason and hands the close to the session; S_OK at once.
  HRESULT STDMETHODCALLTYPE ShutdownRequest(LPCWSTR reason) override;

  // The session a request closes; null detaches the sink.
  void SetSession(std::shared_ptr<SessionThread> session);

 private:
  ~OpcShutdown() override = default;

  std::mutex lock_;
  std::weak_ptr<SessionThread> session_;
};

}  // namespace krelta
