// The one place where handles and the library's objects are converted into each other.
// A handle is the object's address; nothing beyond a null test is checked.
#pragma once

#include "api/krelta2.h"
#include "api/value_string.h"
#include "api/value_vector.h"

namespace krelta::api {

template <typename Handle> struct HandleTraits;
template <> struct HandleTraits<krelta2_string> { using Object = ValueString; };
template <> struct HandleTraits<krelta2_vector> { using Object = ValueVector; };

template <typename Handle>
typename HandleTraits<Handle>::Object* Unwrap(Handle handle) {
  return reinterpret_cast<typename HandleTraits<Handle>::Object*>(handle);
}

inline krelta2_string Wrap(ValueString* s) { return reinterpret_cast<krelta2_string>(s); }
inline krelta2_vector Wrap(ValueVector* v) { return reinterpret_cast<krelta2_vector>(v); }

}  // namespace krelta::api
