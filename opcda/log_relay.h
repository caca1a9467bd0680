// The connection log as a session thread reaches it: the owner detaches the relay before the
// log goes away, so an abandoned thread that comes back from a call late writes nowhere instead
// of into freed memory. Entries are written while the relay's lock is held (a file append),
// never across a server call.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "log/log_file.h"

namespace krelta {

class LogRelay {
 public:
  explicit LogRelay(LogFile& log) : log_(&log) {}

  void Write(std::int32_t level, const std::string& message) {
    std::lock_guard<std::mutex> held(lock_);
    if (log_ != nullptr) log_->Write(level, message);
  }
  // Nothing is written after this returns.
  void Detach() {
    std::lock_guard<std::mutex> held(lock_);
    log_ = nullptr;
  }

 private:
  std::mutex lock_;
  LogFile* log_;
};

}  // namespace krelta
