// Reference counting for the simulator's COM objects, tied to the process's live-object count
// so the server ends when nothing is left.
#pragma once

#include <windows.h>

#include <cstring>
#include <string>

#include "platform/com/com_owners.h"
#include "simulator/runtime.h"

namespace krelta::sim {

class RefCounted {
 public:
  RefCounted() { Runtime::Get().ObjectCreated(); }
  virtual ~RefCounted() { Runtime::Get().ObjectDestroyed(); }
  LONG RefCount() const { return refs_; }
  ULONG AddRefImpl() { return static_cast<ULONG>(::InterlockedIncrement(&refs_)); }
  ULONG ReleaseImpl() {
    const LONG n = ::InterlockedDecrement(&refs_);
    if (n == 0) delete this;
    return static_cast<ULONG>(n);
  }

 private:
  LONG refs_ = 1;
};

#define KRELTA_SIM_REFCOUNT                                                   \
  ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }         \
  ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }

// A CoTaskMem copy of a wide string (null for null).
// The caller adopts the result into an owner or hands it out as a callee-allocated [out].
inline LPWSTR CoTaskCopy(const std::wstring& text) {
  const size_t bytes = (text.size() + 1) * sizeof(wchar_t);
  auto* copy = static_cast<LPWSTR>(::CoTaskMemAlloc(bytes));
  if (copy != nullptr) std::memcpy(copy, text.c_str(), bytes);
  return copy;
}

// Allocates a zeroed CoTaskMem array of count elements into owner (at least one element, so a
// zero count still gives a valid block). Returns false when memory ran out.
template <typename T, typename Clean>
bool AllocateArray(com::CoTaskArray<T, Clean>& owner, size_t count) {
  const size_t bytes = (count == 0 ? 1 : count) * sizeof(T);
  T** slot = owner.put();
  *slot = static_cast<T*>(::CoTaskMemAlloc(bytes));
  if (*slot == nullptr) return false;
  std::memset(*slot, 0, bytes);  // zero is VT_EMPTY for VARIANTs and NULL for strings
  owner.set_size(count);
  return true;
}

}  // namespace krelta::sim
