// The group's items as the server's change notifications last reported them, so that a read can
// answer from memory instead of a server round trip.
//
// Two kinds of thread meet here. The notification sink, on an RPC thread, only copies what the
// server sent (Apply): no server call, no wait beyond the lock, no log. The session's own thread
// registers items, notes writes, asks for the periodic refresh, checks the health and reads
// (Take). One small lock guards everything and is never held across a call or a log write.
//
// An item is answered from here only while the mirror is healthy and a notification for it
// arrived after its last write returned; every other item goes to the server as before.
// Portable: Value is the copy of a server value (an owned VARIANT on Windows), assignable from
// Source, the value as a notification carries it; Lock is any mutex.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace krelta {

// A health change the session reports once (the mirror never logs).
enum class MirrorHealthChange { kNone, kStopped, kResumed };

template <typename Value, typename Lock = std::mutex, typename Source = Value>
class SubscriptionMirror {
 public:
  using Clock = std::chrono::steady_clock;
  using Handle = std::uint32_t;

  // One item as a notification carries it.
  struct Sample {
    Value value{};
    std::uint64_t time = 0;  // the server's time stamp (FILETIME as one number)
    std::uint16_t quality = 0;
    std::int32_t error = 0;
  };
  // One notification, its arrays as the server sent them. Counts that differ reject it whole.
  struct Notification {
    const Handle* clients = nullptr;
    std::size_t clientCount = 0;
    const Source* values = nullptr;
    std::size_t valueCount = 0;
    const std::uint16_t* qualities = nullptr;
    std::size_t qualityCount = 0;
    const std::uint64_t* times = nullptr;
    std::size_t timeCount = 0;
    const std::int32_t* errors = nullptr;  // may be null: every item S_OK
    std::size_t errorCount = 0;
  };
  // What happened to notifications, for the diagnosis and the tests.
  struct Counters {
    std::uint64_t notifications = 0;    // applied, keep-alives (count 0) included
    std::uint64_t items = 0;            // item samples copied
    std::uint64_t unknownHandles = 0;   // samples for handles not (or no longer) registered
    std::uint64_t rejected = 0;         // notifications with mismatched or missing arrays
  };

  SubscriptionMirror() = default;
  SubscriptionMirror(const SubscriptionMirror&) = delete;
  SubscriptionMirror& operator=(const SubscriptionMirror&) = delete;

  // ---- the session's thread ----

  // Items added to the group: (client handle, server handle) pairs. Where a handle repeats,
  // its first item keeps it.
  void Track(const std::vector<std::pair<Handle, Handle>>& added) {
    std::lock_guard<Lock> held(lock_);
    const std::size_t needed = entries_.size() + added.size();
    if (entries_.capacity() < needed) {
      const std::size_t grown = std::max(needed, entries_.size() + entries_.size() / 2);
      entries_.reserve(grown);
      byClient_.reserve(grown);
      byServer_.reserve(grown);
    }
    for (const auto& [client, server] : added) {
      const auto index = static_cast<std::uint32_t>(entries_.size());
      entries_.emplace_back();
      byClient_.emplace_back(client, index);
      byServer_.emplace_back(server, index);
    }
    for (Index* index : {&byClient_, &byServer_}) {
      std::sort(index->begin(), index->end());
      index->erase(std::unique(index->begin(), index->end(),
                               [](const auto& a, const auto& b) { return a.first == b.first; }),
                   index->end());
    }
  }

  // A loss (shutdown, dead or hung server, reconnect): every item and the health go; later
  // notifications of the old group find no handle.
  void Clear() {
    std::lock_guard<Lock> held(lock_);
    entries_.clear();
    byClient_.clear();
    byServer_.clear();
    notified_ = false;
    healthy_ = false;
    stopped_ = false;
    resumedUnreported_ = false;
    refreshDeadline_.reset();
    silenceLimit_.reset();
  }

  // After a write of these items returned: they are read from the server until a notification
  // that arrived after now.
  void NoteWritten(const std::vector<Handle>& servers) {
    std::lock_guard<Lock> held(lock_);
    const std::uint64_t now = ++sequence_;
    for (Handle server : servers) {
      if (auto index = Find(byServer_, server)) entries_[*index].written = now;
    }
  }

  // A refresh is asked for at now (called before the call: its answer may come before the call
  // returns): a notification must arrive by now + within, else the mirror counts as stopped.
  // While an earlier refresh is still unanswered its deadline holds; false then.
  bool RefreshAsked(Clock::time_point now, Clock::duration within) {
    std::lock_guard<Lock> held(lock_);
    if (refreshDeadline_) return false;
    refreshAskedAt_ = ++sequence_;
    refreshDeadline_ = now + within;
    return true;
  }
  // The refresh just asked for was refused: it proves nothing either way.
  void RefreshRefused() {
    std::lock_guard<Lock> held(lock_);
    refreshDeadline_.reset();
  }

  // Where the server promised a notification at least this often (a keep-alive), silence
  // longer than limit counts as stopped too; nullopt: only the refresh decides.
  void SetSilenceLimit(std::optional<Clock::duration> limit) {
    std::lock_guard<Lock> held(lock_);
    silenceLimit_ = limit;
  }

  // Whether notifications stopped (a refresh unanswered in time, or silence past the limit; also
  // when none ever arrived) or resumed since the last check; each change is reported once.
  MirrorHealthChange CheckHealth(Clock::time_point now) {
    std::lock_guard<Lock> held(lock_);
    const bool refreshUnanswered = refreshDeadline_ && now > *refreshDeadline_;
    const bool silent = silenceLimit_ && notified_ && now - lastNotification_ > *silenceLimit_;
    if (healthy_ && (refreshUnanswered || silent)) {
      healthy_ = false;
      refreshDeadline_.reset();
      resumedUnreported_ = false;
      if (stopped_) return MirrorHealthChange::kNone;
      stopped_ = true;
      return MirrorHealthChange::kStopped;
    }
    if (!notified_ && refreshUnanswered && !stopped_) {
      // Advised, but nothing ever arrived (callbacks refused on the way back, say).
      refreshDeadline_.reset();
      stopped_ = true;
      return MirrorHealthChange::kStopped;
    }
    if (healthy_ && resumedUnreported_) {
      resumedUnreported_ = false;
      return MirrorHealthChange::kResumed;
    }
    return MirrorHealthChange::kNone;
  }

  bool Healthy() {
    std::lock_guard<Lock> held(lock_);
    return healthy_;
  }
  // When the last notification arrived; nullopt before the first.
  std::optional<Clock::time_point> LastNotification() {
    std::lock_guard<Lock> held(lock_);
    if (!notified_) return std::nullopt;
    return lastNotification_;
  }
  Counters GetCounters() {
    std::lock_guard<Lock> held(lock_);
    return counters_;
  }
  std::size_t Size() {
    std::lock_guard<Lock> held(lock_);
    return entries_.size();
  }

  // For each server handle, its sample when the mirror answers it, else nullopt (the caller
  // reads that item from the server). Returns how many were answered.
  std::size_t Take(const std::vector<Handle>& servers, std::vector<std::optional<Sample>>& out) {
    out.assign(servers.size(), std::nullopt);
    std::lock_guard<Lock> held(lock_);
    if (!healthy_) return 0;
    std::size_t answered = 0;
    for (std::size_t i = 0; i < servers.size(); ++i) {
      const auto index = Find(byServer_, servers[i]);
      if (!index) continue;
      const Entry& e = entries_[*index];
      if (e.notified == 0 || e.notified <= e.written) continue;
      out[i] = e.sample;
      ++answered;
    }
    return answered;
  }

  // ---- the notification sink's thread ----

  // Copies a notification (a data change, a keep-alive with no items, or a refresh's answer)
  // taken at now. Samples for unknown handles are skipped and counted; arrays whose counts
  // differ, or a missing array, reject the notification whole. False when rejected.
  bool Apply(const Notification& n, Clock::time_point now) {
    const std::size_t count = n.clientCount;
    const bool errorsOk = n.errors == nullptr ? n.errorCount == 0 : n.errorCount == count;
    const bool arraysOk = n.valueCount == count && n.qualityCount == count && n.timeCount == count &&
                          errorsOk &&
                          (count == 0 || (n.clients && n.values && n.qualities && n.times));
    std::lock_guard<Lock> held(lock_);
    if (!arraysOk) {
      ++counters_.rejected;
      return false;
    }
    const std::uint64_t arrival = ++sequence_;
    for (std::size_t i = 0; i < count; ++i) {
      const auto index = Find(byClient_, n.clients[i]);
      if (!index) {
        ++counters_.unknownHandles;
        continue;
      }
      Entry& e = entries_[*index];
      e.sample.value = n.values[i];
      e.sample.time = n.times[i];
      e.sample.quality = n.qualities[i];
      e.sample.error = n.errors ? n.errors[i] : 0;
      e.notified = arrival;
      ++counters_.items;
    }
    ++counters_.notifications;
    notified_ = true;
    lastNotification_ = now;
    if (refreshDeadline_ && arrival > refreshAskedAt_) refreshDeadline_.reset();
    if (!healthy_) {
      healthy_ = true;
      if (stopped_) {
        stopped_ = false;
        resumedUnreported_ = true;
      }
    }
    return true;
  }

 private:
  struct Entry {
    Sample sample;
    std::uint64_t notified = 0;  // arrival of the last notification that set it; 0: none yet
    std::uint64_t written = 0;   // when its last write returned
  };
  using Index = std::vector<std::pair<Handle, std::uint32_t>>;

  static std::optional<std::uint32_t> Find(const Index& index, Handle handle) {
    const auto at = std::lower_bound(index.begin(), index.end(), std::make_pair(handle, std::uint32_t{0}));
    if (at == index.end() || at->first != handle) return std::nullopt;
    return at->second;
  }

  Lock lock_;
  std::vector<Entry> entries_;
  Index byClient_;  // sorted by handle
  Index byServer_;  // sorted by handle
  std::uint64_t sequence_ = 0;  // orders notifications, writes and refresh requests
  bool notified_ = false;
  bool healthy_ = false;
  bool stopped_ = false;  // the stop was reported; the next notification reports the resumption
  bool resumedUnreported_ = false;
  Clock::time_point lastNotification_{};
  std::uint64_t refreshAskedAt_ = 0;
  std::optional<Clock::time_point> refreshDeadline_;
  std::optional<Clock::duration> silenceLimit_;
  Counters counters_;
};

}  // namespace krelta
