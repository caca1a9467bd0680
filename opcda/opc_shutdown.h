// The proxy's IOPCShutdown sink. The server calls it on a COM worker thread; the call closes the
// proxy there, or leaves that to whoever holds the session (it never waits for the session, so
// a server that blocks a call of ours until its request returns cannot deadlock us). Sinks reach
// their proxy through a ShutdownLink that the proxy owns for its whole life: the proxy's
// destructor detaches the link and waits for a request already running, so a late request never
// reaches a destroyed proxy, whichever sink it arrived on. A sink keeps the library loaded while
// it lives: COM may still release it after the host has freed the library.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "opc_da.h"
#include "opcda/module_pin.h"

namespace krelta {

class OpcDaProxy;

class ShutdownLink {
 public:
  explicit ShutdownLink(OpcDaProxy* proxy) : proxy_(proxy) {}
  // Logs the server's reason and has the proxy closed, unless the link was detached.
  void CloseProxy(const std::string& reason);
  // No request reaches the proxy after this returns.
  void Detach();

 private:
  std::mutex lock_;
  std::condition_variable idle_;
  OpcDaProxy* proxy_;
  int running_ = 0;
};

class OpcShutdown final : public IOPCShutdown {
 public:
  OpcShutdown() = default;

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  // IOPCShutdown: logs the reason and closes the proxy; S_OK at once without a proxy.
  HRESULT STDMETHODCALLTYPE ShutdownRequest(LPCWSTR reason) override;

  void SetProxy(std::shared_ptr<ShutdownLink> link);

 private:
  ~OpcShutdown() = default;

  std::mutex lock_;
  std::shared_ptr<ShutdownLink> link_;
  LONG references_ = 1;
  ModulePin pin_;
};

}  // namespace krelta
