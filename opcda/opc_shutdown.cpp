#include "opcda/opc_shutdown.h"

#include "log/log_file.h"
#include "opcda/session_thread.h"
#include "platform/com/wide_text.h"
#include "util/format.h"

namespace krelta {

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

void OpcShutdown::SetSession(std::shared_ptr<SessionThread> session) {
  std::lock_guard<std::mutex> guard(lock_);
  session_ = session;
}

}  // namespace krelta
