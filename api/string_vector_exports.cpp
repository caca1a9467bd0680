// The lifecycle, identity, string and vector exports. Arguments are tested first (status 2,
// nothing logged, outputs untouched); nothing here writes to any log. Whatever allocates runs
// under GuardFrameless.
#include <cstring>

#include "api/frame.h"
#include "api/handles.h"
#include "api/krelta2.h"
#include "api/update_configuration.h"

using krelta::SlotKind;
using krelta::ValueString;
using krelta::ValueVector;
using krelta::api::Unwrap;
using krelta::api::Wrap;

namespace {

constexpr const char* kIdentity = "OpcDAKrelta (Aug 21 2018 10:34:08)";

}  // namespace

namespace krelta::api {

krelta2_status CreateString(const char* text, krelta2_string* out) {
  *out = Wrap(new ValueString(std::string(text)));
  return KRELTA2_OK;
}

}  // namespace krelta::api

using krelta::api::GuardFrameless;

extern "C" {

krelta2_status krelta2_initialize(void) { return KRELTA2_OK; }

krelta2_status krelta2_uninitialize(void) { return KRELTA2_OK; }

krelta2_status krelta2_getIdentity(krelta2_string* identity) {
  if (identity == nullptr) return KRELTA2_INVALID_ARGUMENT;
  return GuardFrameless([&] { return krelta::api::CreateString(kIdentity, identity); });
}

krelta2_status krelta2_updateConfiguration(const char* connectionString, krelta2_string* result) {
  if (connectionString == nullptr || result == nullptr) return KRELTA2_INVALID_ARGUMENT;
  return GuardFrameless([&]() -> krelta2_status {
    switch (krelta::api::RunConfigurationProgram(connectionString)) {
      case krelta::api::LaunchResult::kRefused:
        return KRELTA2_INVALID_ARGUMENT;
      case krelta::api::LaunchResult::kNotStarted:
        return KRELTA2_FAILED;
      case krelta::api::LaunchResult::kRan:
        break;
    }
    return krelta::api::CreateString(connectionString, result);
  });
}

krelta2_status krelta2_stringCreate(const char* text, krelta2_string* string) {
  if (text == nullptr || string == nullptr) return KRELTA2_INVALID_ARGUMENT;
  return GuardFrameless([&] { return krelta::api::CreateString(text, string); });
}

krelta2_status krelta2_stringCopy(krelta2_string string, char* buffer, uint32_t* length) {
  if (string == nullptr || length == nullptr) return KRELTA2_INVALID_ARGUMENT;
  const std::string& bytes = Unwrap(string)->Bytes();
  const uint32_t capacity = *length;
  *length = static_cast<uint32_t>(bytes.size());
  if (bytes.size() > capacity) return KRELTA2_BUFFER_TOO_SMALL;
  if (bytes.empty()) return KRELTA2_OK;
  if (buffer == nullptr) return KRELTA2_INVALID_ARGUMENT;
  std::memcpy(buffer, bytes.data(), bytes.size());
  return KRELTA2_OK;
}

krelta2_status krelta2_stringFree(krelta2_string string) {
  delete Unwrap(string);
  return KRELTA2_OK;
}

krelta2_status krelta2_vectorCreate(uint32_t length, krelta2_vector* vector) {
  if (length == 0 || vector == nullptr) return KRELTA2_INVALID_ARGUMENT;
  return GuardFrameless([&] {
    *vector = Wrap(new ValueVector(length));
    return KRELTA2_OK;
  });
}

krelta2_status krelta2_vectorFree(krelta2_vector vector) {
  delete Unwrap(vector);
  return KRELTA2_OK;
}

krelta2_status krelta2_vectorGetLength(krelta2_vector vector, uint32_t* length) {
  if (vector == nullptr || length == nullptr) return KRELTA2_INVALID_ARGUMENT;
  *length = Unwrap(vector)->Length();
  return KRELTA2_OK;
}

krelta2_status krelta2_vectorGetType(krelta2_vector vector, uint32_t index, uint32_t* kind) {
  if (vector == nullptr || kind == nullptr || index >= Unwrap(vector)->Length()) {
    return KRELTA2_INVALID_ARGUMENT;
  }
  *kind = static_cast<uint32_t>(Unwrap(vector)->Kind(index));
  return KRELTA2_OK;
}

krelta2_status krelta2_vectorGetFloat(krelta2_vector vector, uint32_t index, float* value) {
  if (vector == nullptr || value == nullptr || index >= Unwrap(vector)->Length()) {
    return KRELTA2_INVALID_ARGUMENT;
  }
  const float* number = Unwrap(vector)->Number(index);
  if (number == nullptr) return KRELTA2_FAILED;
  *value = *number;
  return KRELTA2_OK;
}

krelta2_status krelta2_vectorGetString(krelta2_vector vector, uint32_t index,
                                       krelta2_string* string) {
  if (vector == nullptr || string == nullptr || index >= Unwrap(vector)->Length()) {
    return KRELTA2_INVALID_ARGUMENT;
  }
  const std::string* text = Unwrap(vector)->Text(index);
  if (text == nullptr) return KRELTA2_FAILED;
  // Like krelta2_stringCreate: the copy ends at the first NUL byte.
  return GuardFrameless([&] { return krelta::api::CreateString(text->c_str(), string); });
}

krelta2_status krelta2_vectorSetFloat(krelta2_vector vector, uint32_t index, float value) {
  if (vector == nullptr || index >= Unwrap(vector)->Length()) return KRELTA2_INVALID_ARGUMENT;
  return GuardFrameless([&] {
    Unwrap(vector)->SetNumber(index, value);
    return KRELTA2_OK;
  });
}

krelta2_status krelta2_vectorSetString(krelta2_vector vector, uint32_t index, const char* text) {
  if (vector == nullptr || text == nullptr || index >= Unwrap(vector)->Length()) {
    return KRELTA2_INVALID_ARGUMENT;
  }
  return GuardFrameless([&] {
    Unwrap(vector)->SetText(index, text);
    return KRELTA2_OK;
  });
}

krelta2_status krelta2_vectorSetNull(krelta2_vector vector, uint32_t index) {
  if (vector == nullptr || index >= Unwrap(vector)->Length()) return KRELTA2_INVALID_ARGUMENT;
  Unwrap(vector)->SetNull(index);
  return KRELTA2_OK;
}

}  // extern "C"
