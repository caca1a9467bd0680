// How a client (a test, a benchmark) reaches the simulator's control object. The control object
// starts the simulator process and keeps it alive while held.
#pragma once

#include <windows.h>

#include "platform/com/com_owners.h"
#include "simulator_control.h"

namespace krelta::sim {

// A simulator that is just ending (the previous program's, past its linger time) can still be
// handed out by COM and then fail the creation; a retry a moment later reaches a fresh process.
inline HRESULT CreateSimulatorControl(com::ComPtr<ISimulatorControl>& control) {
  HRESULT hr = E_FAIL;
  for (int attempt = 0; attempt < 10 && FAILED(hr); ++attempt) {
    if (attempt > 0) ::Sleep(300);
    hr = ::CoCreateInstance(CLSID_KreltaSimulatorControl, nullptr, CLSCTX_LOCAL_SERVER,
                            IID_ISimulatorControl,
                            reinterpret_cast<void**>(control.ReleaseAndGetAddressOf()));
  }
  return hr;
}

}  // namespace krelta::sim
