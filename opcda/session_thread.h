// The thread that owns one OPC DA session. Other threads post tasks to it and wait for their
// answers as long as they choose; nothing but this thread touches the server's interfaces.
//
// The thread joins the multithreaded apartment, runs tasks in the order they were posted and
// keeps this library loaded while it runs: a thread abandoned inside a call that never returns
// (a server that stopped answering) ends by itself when the call finally comes back, without
// running code of a library the host has freed meanwhile. Windows only.
#pragma once

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "opcda/slim_sync.h"

namespace krelta {

class OpcDaSession;

// Runs body on a new thread that holds a reference on this library and gives it back with
// FreeLibraryAndExitThread, so the thread may outlive the host's FreeLibrary. stackReservation
// 0: the process's default. False (nothing started, body not run) when no thread could be had.
bool StartPinnedThread(std::function<void()> body, SIZE_T stackReservation = 0);

// Threads of the process that may wait for one server (host and class): stuck in a call, or
// opening a session (an open may turn out stuck before anyone knows). While that many do, no
// further session of the server is started.
constexpr std::size_t kMaxStuckCalls = 2;

class SessionThread : public std::enable_shared_from_this<SessionThread> {
 public:
  using Task = std::function<void(OpcDaSession&)>;
  using Clock = std::chrono::steady_clock;

  // Starts the thread for the server named by serverKey (threads stuck in calls are counted per
  // server). Throws Exception when the thread cannot be started.
  static std::shared_ptr<SessionThread> Start(std::string serverKey = std::string());
  // Starts the thread of a session about to be opened, unless kMaxStuckCalls threads already
  // wait for the server: the count and the new thread's place in it are taken under one lock,
  // so opens racing from several host threads cannot all pass. Null when refused; stuck then
  // holds how many of those threads are stuck (the rest are still opening). The thread counts as
  // opening until its first task ends, and as stuck once a call of it outlives callBound.
  static std::shared_ptr<SessionThread> StartOpening(std::string serverKey, std::chrono::milliseconds callBound,
                                                     std::size_t& stuck);
  ~SessionThread();
  SessionThread(const SessionThread&) = delete;
  SessionThread& operator=(const SessionThread&) = delete;

  // Queues a task; false once the thread was told to stop or was abandoned.
  bool Post(Task task);
  // No task is accepted any more; the thread runs what is queued and ends. Its calls count as
  // stuck once one has been under way longer than callBound.
  void Stop(std::chrono::milliseconds callBound);
  // The owner gave up waiting: queued tasks are dropped, the session makes no further server
  // call, and the thread releases its references and ends when the current call returns.
  void Abandon();
  bool Abandoned() const { return abandoned_.load(); }
  // True once the thread has left its last task (it is about to free its module reference).
  bool Ended() const { return ended_.load(); }

  // Session threads of this process that have not ended yet, abandoned ones included.
  static int Running();
  // Threads of this process stuck in a call to the server: abandoned ones that have not ended,
  // and stopped ones whose current call has been under way longer than their bound.
  static std::size_t StuckWith(const std::string& serverKey);
  // Whether kMaxStuckCalls threads are stuck in calls to this thread's server.
  bool ServerHasStuckCalls() const { return StuckWith(serverKey_) >= kMaxStuckCalls; }

  // The server's shutdown request (from the sink, on an RPC thread): noted and handed to the
  // session thread as a close. Never calls the server and never waits.
  void RequestShutdown();
  bool ShutdownRequested() const { return shutdownRequested_.load(); }

  // The session ended without its owner asking (shutdown request or a dead server), and when.
  void MarkLost();
  bool Lost() const { return lost_.load(); }
  Clock::time_point LostAt() const { return At(lostAt_); }

  // The server call in progress on the thread ("IOPCSyncIO::Read"), null between calls; names
  // the call when the owner gives up waiting. Entering and leaving a call, and starting a task,
  // mark progress: an owner waits as long as the thread keeps making progress within the bound.
  // A self-bounded call (the host probe) ends by itself and is never given up on.
  void EnterCall(const char* call, bool selfBounded = false);
  void LeaveCall();
  const char* CurrentCall() const { return currentCall_.load(); }
  Clock::time_point ProgressAt() const { return At(progressAt_); }
  bool InSelfBoundedCall() const { return selfBounded_.load(); }

 private:
  SessionThread() = default;
  struct WaitingThreads {
    std::size_t stuck = 0;    // abandoned, or in a call that outlived its bound
    std::size_t opening = 0;  // the others still opening a session
  };
  // The threads waiting for the server (the caller holds the registry's lock).
  static WaitingThreads CountWaiting(const std::string& serverKey, Clock::time_point now);
  // Adds thread to the process's registry (the caller holds its lock).
  static void Register(const std::shared_ptr<SessionThread>& thread);
  static std::shared_ptr<SessionThread> Launch(std::shared_ptr<SessionThread> thread);
  static Clock::time_point At(const std::atomic<Clock::rep>& t) {
    return Clock::time_point(Clock::duration(t.load()));
  }
  static void Mark(std::atomic<Clock::rep>& t) { t.store(Clock::now().time_since_epoch().count()); }
  bool IsStuck(Clock::time_point now) const;
  void Run();

  SlimLock lock_;
  SlimCondition wake_;
  std::deque<Task> queue_;  // under lock_
  std::atomic<bool> stopping_{false};
  std::atomic<bool> abandoned_{false};
  std::atomic<bool> opening_{false};
  std::atomic<bool> ended_{false};
  std::atomic<bool> shutdownRequested_{false};
  std::atomic<bool> lost_{false};
  std::atomic<Clock::rep> lostAt_{0};
  std::atomic<const char*> currentCall_{nullptr};
  std::atomic<bool> selfBounded_{false};
  std::atomic<Clock::rep> progressAt_{0};
  std::string serverKey_;
  std::atomic<std::chrono::milliseconds::rep> callBoundMs_{0};
  std::shared_ptr<SessionThread> self_;  // the running thread's own reference
};

// Marks the session thread's current server call for the time of a scope.
class CallScope {
 public:
  CallScope(SessionThread& thread, const char* call, bool selfBounded = false) : thread_(thread) {
    thread_.EnterCall(call, selfBounded);
  }
  ~CallScope() { thread_.LeaveCall(); }
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;

 private:
  SessionThread& thread_;
};

}  // namespace krelta
