#include "opcda/subscription_sink.h"

#include <vector>

namespace krelta {

static_assert(sizeof(OPCHANDLE) == sizeof(VariantMirror::Handle) && sizeof(HRESULT) == sizeof(std::int32_t),
              "notification arrays are passed to the mirror as they are");

HRESULT SubscriptionSink::Copy(DWORD count, const OPCHANDLE* clients, const VARIANT* values,
                               const WORD* qualities, const FILETIME* times, const HRESULT* errors) {
  if (closed_.load()) {
    ++afterClose_;
    return S_OK;
  }
  try {
    std::vector<std::uint64_t> stamps(count);
    if (times != nullptr) {
      for (DWORD i = 0; i < count; ++i) stamps[i] = FileTimeNumber(times[i]);
    }
    // Missing arrays keep their count: the mirror rejects such a notification whole.
    VariantMirror::Notification n;
    n.clients = reinterpret_cast<const VariantMirror::Handle*>(clients);
    n.values = values;
    n.qualities = qualities;
    n.times = times != nullptr ? stamps.data() : nullptr;
    n.errors = reinterpret_cast<const std::int32_t*>(errors);
    n.clientCount = n.valueCount = n.qualityCount = n.timeCount = count;
    n.errorCount = errors != nullptr ? count : 0;
    mirror_->Apply(n, VariantMirror::Clock::now());
  } catch (...) {
    // Out of memory: the notification is lost, the refresh check notices a lasting loss.
  }
  return S_OK;
}

HRESULT STDMETHODCALLTYPE SubscriptionSink::OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD count,
                                                         OPCHANDLE* clients, VARIANT* values, WORD* qualities,
                                                         FILETIME* times, HRESULT* errors) {
  return Copy(count, clients, values, qualities, times, errors);
}

HRESULT STDMETHODCALLTYPE SubscriptionSink::OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD count,
                                                           OPCHANDLE* clients, VARIANT* values, WORD* qualities,
                                                           FILETIME* times, HRESULT* errors) {
  return Copy(count, clients, values, qualities, times, errors);
}

HRESULT STDMETHODCALLTYPE SubscriptionSink::OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*,
                                                            HRESULT*) {
  return S_OK;
}

HRESULT STDMETHODCALLTYPE SubscriptionSink::OnCancelComplete(DWORD, OPCHANDLE) { return S_OK; }

}  // namespace krelta
