// The IUnknown of a sink this library hands to a server, and how its owner lets go of it: the
// server may call or release the sink from an RPC thread at any time, and the sink's code lives
// in this library, which the host may free once its last connection is closed. Windows only.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <atomic>
#include <mutex>
#include <vector>

namespace krelta {

// Keeps this library loaded until the process ends.
inline void PinThisLibraryForever() {
  HMODULE module = nullptr;
  ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCWSTR>(&PinThisLibraryForever), &module);
}

// How long a disconnected sink is kept before its owner's last reference goes, and the sinks
// kept. A call COM dispatched before CoDisconnectObject holds no reference of its own (the
// stub's went with the disconnect), and it may not have reached the sink's method yet when the
// owner looks: the sink outlives its disconnect by this long, and by every call counted in it.
constexpr ULONGLONG kRetiredSinkMs = 10000;
struct RetiredSink {
  IUnknown* sink;
  const std::atomic<long>* calls;
  ULONGLONG since;
};
inline std::mutex& RetiredSinksLock() {
  static auto* lock = new std::mutex();  // never destroyed: sinks may be retired until the end
  return *lock;
}
inline std::vector<RetiredSink>& RetiredSinks() {
  static auto* sinks = new std::vector<RetiredSink>();
  return *sinks;
}

// Keeps sink (one reference, handed over) and lets go of those retired long enough ago with no
// call under way.
inline void RetireSink(IUnknown* sink, const std::atomic<long>* calls) {
  std::vector<IUnknown*> done;
  {
    std::lock_guard<std::mutex> held(RetiredSinksLock());
    auto& sinks = RetiredSinks();
    const ULONGLONG now = ::GetTickCount64();
    for (auto it = sinks.begin(); it != sinks.end();) {
      if (now - it->since >= kRetiredSinkMs && it->calls->load() == 0) {
        done.push_back(it->sink);
        it = sinks.erase(it);
      } else {
        ++it;
      }
    }
    sinks.push_back({sink, calls, now});
  }
  for (IUnknown* d : done) d->Release();
}

// A reference-counted implementation of Interface (created with one reference, the owner's).
// Each method a server calls counts itself with a CallInSink for its whole run.
template <typename Interface>
class ComSink : public Interface {
 public:
  class CallInSink {
   public:
    explicit CallInSink(ComSink& sink) : calls_(sink.calls_) { ++calls_; }
    ~CallInSink() { --calls_; }
    CallInSink(const CallInSink&) = delete;
    CallInSink& operator=(const CallInSink&) = delete;

   private:
    std::atomic<long>& calls_;
  };

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
  // outside COM's stubs and for calls under way to go. If some remain, the library is kept
  // loaded for good, since the sink may still be reached. Either way the sink is retired: it
  // stays alive after the owner's release (RetireSink).
  void Disconnect(DWORD waitMs) {
    ::CoDisconnectObject(static_cast<Interface*>(this), 0);
    const ULONGLONG deadline = ::GetTickCount64() + waitMs;
    while (::InterlockedCompareExchange(&references_, 0, 0) > 1 || calls_.load() > 0) {
      if (::GetTickCount64() >= deadline) {
        PinThisLibraryForever();
        break;
      }
      ::Sleep(5);
    }
    AddRef();
    try {
      RetireSink(static_cast<Interface*>(this), &calls_);
    } catch (...) {
      // Out of memory: the sink is kept for good rather than freed under a call.
    }
  }

 protected:
  ComSink() = default;
  virtual ~ComSink() = default;

 private:
  volatile LONG references_ = 1;
  std::atomic<long> calls_{0};
};

// How long an owner waits in Disconnect: COM lets go at once unless a call into the sink is
// under way.
constexpr DWORD kSinkDisconnectWaitMs = 2000;

}  // namespace krelta
