// Keeps this library loaded while its code can still be reached from outside: a COM object that
// a stub may call or release late, a worker thread that outlives its caller. A host that frees
// the library meanwhile only drops its own reference. Windows only.
#pragma once

#include <windows.h>

namespace krelta {

class ModulePin {
 public:
  // A reference on the module that holds this code (none when it cannot be had).
  ModulePin() noexcept;
  // Gives the reference back from a short-lived thread of its own (see the .cpp).
  ~ModulePin();
  ModulePin(const ModulePin&) = delete;
  ModulePin& operator=(const ModulePin&) = delete;

  // Hands the reference to a thread that ends with FreeLibraryAndExitThread.
  HMODULE Release() noexcept;

 private:
  HMODULE module_ = nullptr;
};

}  // namespace krelta
