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
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "opcda/slim_sync.h"

namespace krelta {

class OpcDaSession;

class SessionThread : public std::enable_shared_from_this<SessionThread> {
 public:
  using Task = std::function<void(OpcDaSession&)>;
  using Clock = std::chrono::steady_clock;

  // Starts the thread; throws Exception when it cannot be started.
  static std::shared_ptr<SessionThread> Start();
  ~SessionThread();
  SessionThread(const SessionThread&) = delete;
  SessionThread& operator=(const SessionThread&) = delete;

  // Queues a task; false once the thread was told to stop or was abandoned.
  bool Post(Task task);
  // No task is accepted any more; the thread runs what is queued and ends.
  void Stop();
  // The owner gave up waiting: queued tasks are dropped, the session makes no further server
  // call, and the thread releases its references and ends when the current call returns.
  void Abandon();
  bool Abandoned() const { return abandoned_.load(); }
  // True once the thread has left its last task (it is about to free its module reference).
  bool Ended() const { return ended_.load(); }

  // Session threads of this process that have not ended yet, abandoned ones included.
  static int Running();

  // The server's shutdown request (from the sink, on an RPC thread): noted and handed to the
  // session thread as a close. Never calls the server and never waits.
  void RequestShutdown();
  bool ShutdownRequested() const { return shutdownRequested_.load(); }

  // The session ended without its owner asking (shutdown request or a dead server), and when.
  void MarkLost();
  bool Lost() const { return lost_.load(); }
  Clock::time_point LostAt() const { return Clock::time_point(Clock::duration(lostAt_.load())); }

  // The server call in progress on the thread ("IOPCSyncIO::Read"), null between calls; names
  // the call in the message when the owner gives up waiting.
  void EnterCall(const char* call) { currentCall_.store(call); }
  void LeaveCall() { currentCall_.store(nullptr); }
  const char* CurrentCall() const { return currentCall_.load(); }

 private:
  SessionThread() = default;
  static DWORD WINAPI Main(void* self);
  void Run();

  SlimLock lock_;
  SlimCondition wake_;
  std::deque<Task> queue_;  // under lock_
  bool stopping_ = false;   // under lock_
  std::atomic<bool> abandoned_{false};
  std::atomic<bool> ended_{false};
  std::atomic<bool> shutdownRequested_{false};
  std::atomic<bool> lost_{false};
  std::atomic<Clock::rep> lostAt_{0};
  std::atomic<const char*> currentCall_{nullptr};
  std::shared_ptr<SessionThread> self_;  // the running thread's own reference
};

// Marks the session thread's current server call for the time of a scope.
class CallScope {
 public:
  CallScope(SessionThread& thread, const char* call) : thread_(thread) { thread_.EnterCall(call); }
  ~CallScope() { thread_.LeaveCall(); }
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;

 private:
  SessionThread& thread_;
};

}  // namespace krelta
