#include "api/frame.h"

namespace krelta::api {

void LogOperationFailure(const char* exportName, const std::string* reason) {
  const std::string message =
      reason != nullptr ? Format("%1%: Operation failed (%2%).", exportName, *reason)
                        : Format("%1%: Operation failed with unknown error.", exportName);
  WriteStandaloneLog(kLogError, message, kStandaloneLogPrefix);
}

}  // namespace krelta::api
