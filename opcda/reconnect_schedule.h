// When a lost session may be reopened: the first attempt one interval after the loss, each
// failed attempt doubles the interval up to a cap, a success starts over. Portable; the clock
// is the caller's.
#pragma once

#include <algorithm>
#include <chrono>

namespace krelta {

class ReconnectSchedule {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kFirstInterval{10000};
  static constexpr std::chrono::milliseconds kLongestInterval{300000};

  explicit ReconnectSchedule(std::chrono::milliseconds first = kFirstInterval,
                             std::chrono::milliseconds longest = kLongestInterval)
      : first_(first), longest_(std::max(first, longest)), interval_(first) {}

  // The session ended without the owner asking; a loss while already lost changes nothing.
  void Lost(Clock::time_point now) {
    if (lost_) return;
    lost_ = true;
    lostAt_ = now;
    interval_ = first_;
    next_ = now + interval_;
  }
  bool IsLost() const { return lost_; }
  bool Due(Clock::time_point now) const { return lost_ && now >= next_; }
  void AttemptFailed(Clock::time_point now) {
    interval_ = std::min<Clock::duration>(interval_ * 2, longest_);
    next_ = now + interval_;
  }
  void Reconnected() {
    lost_ = false;
    interval_ = first_;
  }
  Clock::time_point LostAt() const { return lostAt_; }
  Clock::time_point NextAttempt() const { return next_; }
  Clock::duration Interval() const { return interval_; }

 private:
  Clock::duration first_;
  Clock::duration longest_;
  Clock::duration interval_;
  Clock::time_point lostAt_{};
  Clock::time_point next_{};
  bool lost_ = false;
};

}  // namespace krelta
