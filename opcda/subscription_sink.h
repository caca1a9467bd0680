// The session's IOPCDataCallback sink and the mirror it fills. The server calls the sink on an
// RPC thread: it copies the notification into the mirror under the mirror's lock and returns at
// once (no server call, no wait, no log write). After Close it only counts. Windows only.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "opc_da.h"
#include "opcda/com_sink.h"
#include "opcda/slim_sync.h"
#include "opcda/subscription_mirror.h"

namespace krelta {

// An owned copy of a notified value; a value the marshaler passed by reference is copied by
// what it refers to, since that memory is gone after the call.
class MirroredValue {
 public:
  MirroredValue() noexcept { ::VariantInit(&v_); }
  MirroredValue(const MirroredValue& other) : MirroredValue() { *this = other.v_; }
  MirroredValue& operator=(const MirroredValue& other) {
    if (this != &other) *this = other.v_;
    return *this;
  }
  MirroredValue& operator=(const VARIANT& value) {
    ::VariantClear(&v_);
    if (FAILED(::VariantCopyInd(&v_, const_cast<VARIANT*>(&value)))) ::VariantInit(&v_);
    return *this;
  }
  ~MirroredValue() { ::VariantClear(&v_); }
  const VARIANT& get() const noexcept { return v_; }

 private:
  VARIANT v_;
};

using VariantMirror = SubscriptionMirror<MirroredValue, SlimLock, VARIANT>;

inline std::uint64_t FileTimeNumber(const FILETIME& time) {
  return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}
inline FILETIME NumberFileTime(std::uint64_t number) {
  return FILETIME{static_cast<DWORD>(number & 0xFFFFFFFFu), static_cast<DWORD>(number >> 32)};
}

class SubscriptionSink final : public ComSink<IOPCDataCallback> {
 public:
  explicit SubscriptionSink(std::shared_ptr<VariantMirror> mirror) : mirror_(std::move(mirror)) {}

  HRESULT STDMETHODCALLTYPE OnDataChange(DWORD transaction, OPCHANDLE group, HRESULT masterQuality,
                                         HRESULT masterError, DWORD count, OPCHANDLE* clients,
                                         VARIANT* values, WORD* qualities, FILETIME* times,
                                         HRESULT* errors) override;
  HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD transaction, OPCHANDLE group, HRESULT masterQuality,
                                           HRESULT masterError, DWORD count, OPCHANDLE* clients,
                                           VARIANT* values, WORD* qualities, FILETIME* times,
                                           HRESULT* errors) override;
  HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD transaction, OPCHANDLE group, HRESULT masterError,
                                            DWORD count, OPCHANDLE* clients, HRESULT* errors) override;
  HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD transaction, OPCHANDLE group) override;

  // The session let go: later callbacks change nothing (a server may still be sending).
  void Close() { closed_.store(true); }
  // Callbacks that arrived after Close.
  std::uint64_t CallsAfterClose() const { return afterClose_.load(); }

 private:
  ~SubscriptionSink() override = default;
  HRESULT Copy(DWORD count, const OPCHANDLE* clients, const VARIANT* values, const WORD* qualities,
               const FILETIME* times, const HRESULT* errors);

  std::shared_ptr<VariantMirror> mirror_;
  std::atomic<bool> closed_{false};
  std::atomic<std::uint64_t> afterClose_{0};
};

}  // namespace krelta
