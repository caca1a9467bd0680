// Runs a test's body on a thread with a host thread's 1 MB stack. Windows only.
#pragma once

#include <windows.h>

#include <cstdio>
#include <functional>

#include "platform/com/com_owners.h"

namespace krelta::testing {

// Runs body on a thread of its own with a 1 MB stack, in the MTA, and waits for it. A body that
// does not end within limitMs hangs (a deadlock, an endless loop): the test binary ends at once
// instead of leaving CTest waiting.
inline void RunOnHostThread(const std::function<void()>& body, DWORD limitMs = 60000) {
  const auto run = [](void* p) -> DWORD {
    com::ApartmentGuard apartment;
    (*static_cast<const std::function<void()>*>(p))();
    return 0;
  };
  HANDLE thread = ::CreateThread(nullptr, 1 << 20, run, const_cast<std::function<void()>*>(&body),
                                 STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (thread == nullptr || ::WaitForSingleObject(thread, limitMs) != WAIT_OBJECT_0) {
    std::printf("the test's body did not end within %lu ms\n", static_cast<unsigned long>(limitMs));
    std::fflush(stdout);
    ::TerminateProcess(::GetCurrentProcess(), 3);
  }
  ::CloseHandle(thread);
}

}  // namespace krelta::testing
