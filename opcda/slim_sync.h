// The lock, condition and answer slot of the session threads, on the system's slim reader/writer
// locks and condition variables. Under Wine these wait inside the process, where the mutexes and
// condition variables of the C++ runtime (winpthreads) make a round trip to the wineserver for
// every wait and wake: a hand-over to a session thread and back costs about 2 us instead of 35-190
// us. Windows only.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <chrono>
#include <exception>
#include <mutex>
#include <optional>
#include <utility>

namespace krelta {

class SlimLock {
 public:
  SlimLock() = default;
  SlimLock(const SlimLock&) = delete;
  SlimLock& operator=(const SlimLock&) = delete;
  void lock() { ::AcquireSRWLockExclusive(&lock_); }
  void unlock() { ::ReleaseSRWLockExclusive(&lock_); }
  SRWLOCK* native() { return &lock_; }

 private:
  SRWLOCK lock_ = SRWLOCK_INIT;
};

class SlimCondition {
 public:
  using Clock = std::chrono::steady_clock;
  SlimCondition() = default;
  SlimCondition(const SlimCondition&) = delete;
  SlimCondition& operator=(const SlimCondition&) = delete;

  // With lock held: waits until ready() holds or the deadline (none: no limit) passed; returns
  // ready().
  template <typename Ready>
  bool Wait(SlimLock& lock, Ready ready, std::optional<Clock::time_point> deadline = std::nullopt) {
    while (!ready()) {
      DWORD ms = INFINITE;
      if (deadline) {
        const auto left = *deadline - Clock::now();
        if (left <= Clock::duration::zero()) return false;
        // Rounded up, so a wait never ends before its deadline.
        ms = static_cast<DWORD>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
      }
      ::SleepConditionVariableSRW(&condition_, lock.native(), ms, 0);
    }
    return true;
  }
  void NotifyOne() { ::WakeConditionVariable(&condition_); }
  void NotifyAll() { ::WakeAllConditionVariable(&condition_); }

 private:
  CONDITION_VARIABLE condition_ = CONDITION_VARIABLE_INIT;
};

// Where a session thread leaves the answer of one operation for the thread that waits for it.
template <typename Answer>
class AnswerSlot {
 public:
  using Clock = SlimCondition::Clock;
  AnswerSlot() = default;
  ~AnswerSlot() {
    if (event_ != nullptr) ::CloseHandle(event_);
  }
  AnswerSlot(const AnswerSlot&) = delete;
  AnswerSlot& operator=(const AnswerSlot&) = delete;

  // For a waiter in a single-threaded apartment: it waits with CoWaitForMultipleHandles, which
  // keeps dispatching its messages (a UI host stays responsive, COM calls into the apartment get
  // through). Called before the answer can be set. False when no event could be had (the slim
  // wait is used then).
  bool PumpWhileWaiting() {
    event_ = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return event_ != nullptr;
  }
  void Set(Answer answer) {
    {
      std::lock_guard<SlimLock> held(lock_);
      answer_.emplace(std::move(answer));
    }
    Signal();
  }
  void SetFailure(std::exception_ptr failure) {
    {
      std::lock_guard<SlimLock> held(lock_);
      failure_ = std::move(failure);
    }
    Signal();
  }
  // False when the deadline (none: no limit) passed without an answer.
  bool WaitUntil(std::optional<Clock::time_point> deadline) {
    if (event_ == nullptr) {
      std::lock_guard<SlimLock> held(lock_);
      return ready_.Wait(lock_, [this] { return Ready(); }, deadline);
    }
    for (;;) {
      DWORD ms = INFINITE;
      {
        std::lock_guard<SlimLock> held(lock_);
        if (Ready()) return true;
      }
      if (deadline) {
        const auto left = *deadline - Clock::now();
        if (left <= Clock::duration::zero()) return false;
        ms = static_cast<DWORD>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
      }
      DWORD index = 0;
      ::CoWaitForMultipleHandles(0, ms, 1, &event_, &index);
    }
  }
  // False when bound (zero: none) passed without an answer.
  bool Wait(std::chrono::milliseconds bound) {
    std::optional<Clock::time_point> deadline;
    if (bound.count() > 0) deadline = Clock::now() + bound;
    return WaitUntil(deadline);
  }
  // After a successful Wait: the answer, or the operation's exception rethrown.
  Answer Take() {
    std::lock_guard<SlimLock> held(lock_);
    if (failure_) std::rethrow_exception(failure_);
    return std::move(*answer_);
  }

 private:
  bool Ready() const { return answer_.has_value() || static_cast<bool>(failure_); }
  void Signal() {
    ready_.NotifyAll();
    if (event_ != nullptr) ::SetEvent(event_);
  }

  SlimLock lock_;
  SlimCondition ready_;
  HANDLE event_ = nullptr;
  std::optional<Answer> answer_;
  std::exception_ptr failure_;
};

}  // namespace krelta
