// The IUnknown of a sink this library hands to a server, and how its owner lets go of it: the
// server may call or release the sink from an RPC thread at any time, and the sink's code lives
// in this library, which the host may free once its last connection is closed. Windows only.
#pragma once

#include <windows.h>
#include <objbase.h>

namespace krelta {

// Keeps this library loaded until the process ends.
inline void PinThisLibraryForever() {
  HMODULE module = nullptr;
  ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCWSTR>(&PinThisLibraryForever), &module);
}

// A reference-counted implementation of Interface (created with one reference, the owner's).
template <typename Interface>
class ComSink : public Interface {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_INVALIDARG;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, __uuidof(Interface))) {
      AddRef();
      *out = static_cast<Interface*>(this);
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override {
    return static_cast<ULONG>(::InterlockedIncrement(&references_));
  }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG count = ::InterlockedDecrement(&references_);
    if (count == 0) delete this;
    return static_cast<ULONG>(count);
  }

  // Called by the owner, holding its one reference, on a thread that keeps the library loaded
  // (a session thread): COM lets go of every stub's reference at once, so no late call or
  // Release from the server can come; the owner then waits at most waitMs for references taken
  // outside COM's stubs (a call under way) to go. If some remain, the library is kept loaded for
  // good, since the sink may still be reached.
  void Disconnect(DWORD waitMs) {
    ::CoDisconnectObject(static_cast<Interface*>(this), 0);
    const ULONGLONG deadline = ::GetTickCount64() + waitMs;
    while (::InterlockedCompareExchange(&references_, 0, 0) > 1) {
      if (::GetTickCount64() >= deadline) {
        PinThisLibraryForever();
        return;
      }
      ::Sleep(5);
    }
  }

 protected:
  ComSink() = default;
  virtual ~ComSink() = default;

 private:
  volatile LONG references_ = 1;
};

// How long an owner waits in Disconnect: COM lets go at once unless a call into the sink is
// under way.
constexpr DWORD kSinkDisconnectWaitMs = 2000;

}  // namespace krelta
