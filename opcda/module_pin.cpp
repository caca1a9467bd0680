#include "opcda/module_pin.h"

#include <utility>

namespace krelta {
namespace {

// Time for the thread that destroyed the pin to return out of this module's code before the
// library may be unmapped: the last Release of a COM object runs here until its final `ret`.
constexpr DWORD kLeaveModuleGraceMs = 200;

DWORD WINAPI FreeModuleLater(void* module) {
  ::Sleep(kLeaveModuleGraceMs);
  ::FreeLibraryAndExitThread(static_cast<HMODULE>(module), 0);
}

}  // namespace

ModulePin::ModulePin() noexcept {
  ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                       reinterpret_cast<LPCWSTR>(&FreeModuleLater), &module_);
}

ModulePin::~ModulePin() {
  if (module_ == nullptr) return;
  HANDLE thread = ::CreateThread(nullptr, 0, &FreeModuleLater, module_, 0, nullptr);
  // Without a thread the reference stays: a library that never unloads is the safe side.
  if (thread != nullptr) ::CloseHandle(thread);
}

HMODULE ModulePin::Release() noexcept { return std::exchange(module_, nullptr); }

}  // namespace krelta
