// The exception frames of the exported functions. The logged frame writes one Error entry
// to the standalone "OPCDA" log and returns 1; the silent frame only returns 1. The other
// exports run whatever can throw (allocations) under GuardFrameless: nothing thrown ever
// crosses the C boundary.
#pragma once

#include <exception>
#include <string>

#include "api/krelta2.h"
#include "log/log_file.h"
#include "util/exception.h"
#include "util/format.h"

namespace krelta::api {

// Writes the failure entry of an export; public so the texts can be tested on their own.
void LogOperationFailure(const char* exportName, const std::string* reason);

template <typename Body>
krelta2_status GuardLogged(const char* exportName, Body&& body) noexcept {
  try {
    try {
      body();
      return KRELTA2_OK;
    } catch (const Exception& e) {
      LogOperationFailure(exportName, &e.message());
    } catch (const std::exception& e) {
      const std::string reason = e.what();
      LogOperationFailure(exportName, &reason);
    } catch (...) {
      LogOperationFailure(exportName, nullptr);
    }
  } catch (...) {
    // Writing the entry itself failed (out of memory): the status still says failure.
  }
  return KRELTA2_FAILED;
}

template <typename Body>
krelta2_status GuardSilent(Body&& body) noexcept {
  try {
    body();
    return KRELTA2_OK;
  } catch (...) {
    return KRELTA2_FAILED;
  }
}

// For the exports without a frame of their own: the body returns its status; a failure
// inside it (out of memory, above all) returns 1 instead of terminating the host.
template <typename Body>
krelta2_status GuardFrameless(Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return KRELTA2_FAILED;
  }
}

}  // namespace krelta::api
