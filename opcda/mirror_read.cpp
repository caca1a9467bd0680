#include "opcda/mirror_read.h"

#include <cstring>
#include <optional>

namespace krelta {
namespace {

template <typename T, typename Clean>
bool Allocate(com::CoTaskArray<T, Clean>& owner, std::size_t count) {
  const std::size_t bytes = (count == 0 ? 1 : count) * sizeof(T);
  T** slot = owner.put();
  *slot = static_cast<T*>(::CoTaskMemAlloc(bytes));
  if (*slot == nullptr) return false;
  std::memset(*slot, 0, bytes);  // VT_EMPTY values
  owner.set_size(count);
  return true;
}

}  // namespace

ItemStates ReadThroughMirror(VariantMirror& mirror, const std::vector<OPCHANDLE>& handles,
                             const ServerRead& serverRead) {
  std::vector<VariantMirror::Handle> asked(handles.begin(), handles.end());
  std::vector<std::optional<VariantMirror::Sample>> samples;
  const std::size_t answered = mirror.Take(asked, samples);
  if (answered == 0) return serverRead(handles);

  std::vector<OPCHANDLE> rest;
  for (std::size_t i = 0; i < handles.size(); ++i) {
    if (!samples[i]) rest.push_back(handles[i]);
  }
  ItemStates server;
  if (!rest.empty()) {
    server = serverRead(rest);
    if (FAILED(server.call) || !server.states) return server;
  }
  ItemStates merged;
  merged.call = server.call;
  merged.fromMirror = answered;
  if (!Allocate(merged.states, handles.size()) || !Allocate(merged.errors, handles.size())) {
    merged.call = E_OUTOFMEMORY;
    merged.states.reset();
    merged.errors.reset();
    return merged;
  }
  std::size_t next = 0;  // the next of the server's answers
  for (std::size_t i = 0; i < handles.size(); ++i) {
    OPCITEMSTATE& state = merged.states[i];
    if (samples[i]) {
      const VariantMirror::Sample& s = *samples[i];
      state.ftTimeStamp = NumberFileTime(s.time);
      state.wQuality = s.quality;
      if (FAILED(::VariantCopy(&state.vDataValue, const_cast<VARIANT*>(&s.value.get())))) {
        state.wQuality = 0;  // bad: no value to offer
      }
      merged.errors[i] = s.error;
      continue;
    }
    OPCITEMSTATE& from = server.states[next];
    state = from;  // the value moves
    ::VariantInit(&from.vDataValue);
    merged.errors[i] = server.errors ? server.errors[next] : S_OK;
    ++next;
  }
  return merged;
}

}  // namespace krelta
