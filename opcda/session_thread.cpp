#include "opcda/session_thread.h"

#include <objbase.h>

#include <algorithm>
#include <mutex>
#include <vector>

#include "opcda/opc_da_session.h"
#include "util/exception.h"

namespace krelta {
namespace {

// The default reservation of a Windows thread: remote activation with credentials, security
// packages and other DLLs' hooks run on this stack. Reserved, not committed.
constexpr SIZE_T kStackReservation = 1024 * 1024;

std::atomic<int> g_running{0};

// Every session thread of the process, for the count of stuck calls per server.
SlimLock g_registryLock;
std::vector<std::weak_ptr<SessionThread>>& Registry() {
  static auto* threads = new std::vector<std::weak_ptr<SessionThread>>();  // never destroyed
  return *threads;
}

// Keeps the process's multithreaded apartment for the life of the process once a session
// thread has joined it. Without that, the last session thread to leave tears the apartment down
// and a new session builds it again: the teardown releases every proxy still in it remotely, on
// that thread, while other threads may be creating the next apartment. Windows 8 and later; on
// Windows 7 the apartment comes and goes as before.
void KeepMultithreadedApartment() {
  static const bool kept = [] {
    using Increment = HRESULT(WINAPI*)(void**);
    const HMODULE ole32 = ::GetModuleHandleW(L"ole32.dll");
    const FARPROC found = ole32 != nullptr ? ::GetProcAddress(ole32, "CoIncrementMTAUsage") : nullptr;
    const auto increment = reinterpret_cast<Increment>(reinterpret_cast<void*>(found));
    void* cookie = nullptr;  // never given back
    return increment != nullptr && SUCCEEDED(increment(&cookie));
  }();
  static_cast<void>(kept);
}

struct PinnedStart {
  std::function<void()> body;
  HMODULE module = nullptr;
};

DWORD WINAPI PinnedMain(void* parameter) {
  auto* start = static_cast<PinnedStart*>(parameter);
  const HMODULE module = start->module;
  try {
    start->body();
  } catch (...) {
    // Nothing may leave a thread procedure; the body reports through its own state.
  }
  delete start;
  ::FreeLibraryAndExitThread(module, 0);
}

}  // namespace

bool StartPinnedThread(std::function<void()> body, SIZE_T stackReservation) {
  auto start = std::make_unique<PinnedStart>(PinnedStart{std::move(body), nullptr});
  if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(&PinnedMain), &start->module)) {
    return false;
  }
  const HMODULE module = start->module;
  HANDLE thread = ::CreateThread(nullptr, stackReservation, &PinnedMain, start.get(),
                                 stackReservation != 0 ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0, nullptr);
  if (thread == nullptr) {
    ::FreeLibrary(module);
    return false;
  }
  start.release();  // the thread owns it now
  ::CloseHandle(thread);
  return true;
}

int SessionThread::Running() { return g_running.load(); }

std::shared_ptr<SessionThread> SessionThread::Start(std::string serverKey) {
  std::shared_ptr<SessionThread> thread(new SessionThread());
  thread->serverKey_ = std::move(serverKey);
  Mark(thread->progressAt_);
  {
    std::lock_guard<SlimLock> held(g_registryLock);
    Register(thread);
  }
  return Launch(std::move(thread));
}

std::shared_ptr<SessionThread> SessionThread::StartOpening(std::string serverKey,
                                                           std::chrono::milliseconds callBound,
                                                           std::size_t& stuck) {
  std::shared_ptr<SessionThread> thread(new SessionThread());
  thread->serverKey_ = std::move(serverKey);
  thread->callBoundMs_.store(callBound.count());
  thread->opening_.store(true);
  Mark(thread->progressAt_);
  {
    std::lock_guard<SlimLock> held(g_registryLock);
    const WaitingThreads waiting = CountWaiting(thread->serverKey_, Clock::now());
    stuck = waiting.stuck;
    if (waiting.stuck + waiting.opening >= kMaxStuckCalls) return nullptr;
    Register(thread);
  }
  return Launch(std::move(thread));
}

void SessionThread::Register(const std::shared_ptr<SessionThread>& thread) {
  auto& threads = Registry();
  threads.erase(std::remove_if(threads.begin(), threads.end(),
                               [](const std::weak_ptr<SessionThread>& t) { return t.expired(); }),
                threads.end());
  threads.push_back(thread);
}

std::shared_ptr<SessionThread> SessionThread::Launch(std::shared_ptr<SessionThread> thread) {
  ++g_running;  // before the thread runs: it counts itself out when it ends
  // The running thread's own reference is set before the thread exists and taken back if it
  // never does; the body holds only a plain pointer that this reference keeps alive.
  thread->self_ = thread;
  SessionThread* raw = thread.get();
  bool started = false;
  try {
    started = StartPinnedThread([raw] { raw->Run(); }, kStackReservation);
  } catch (...) {
    // Out of memory: as a thread that could not be had.
  }
  if (!started) {
    --g_running;
    thread->ended_.store(true);
    thread->self_.reset();
    throw Exception("The session thread could not be started.");
  }
  return thread;
}

SessionThread::~SessionThread() = default;

SessionThread::WaitingThreads SessionThread::CountWaiting(const std::string& serverKey, Clock::time_point now) {
  WaitingThreads waiting;
  for (const std::weak_ptr<SessionThread>& weak : Registry()) {
    const std::shared_ptr<SessionThread> thread = weak.lock();
    if (!thread || thread->serverKey_ != serverKey || thread->ended_.load()) continue;
    if (thread->IsStuck(now)) {
      ++waiting.stuck;
    } else if (thread->opening_.load()) {
      ++waiting.opening;
    }
  }
  return waiting;
}

std::size_t SessionThread::StuckWith(const std::string& serverKey) {
  std::lock_guard<SlimLock> held(g_registryLock);
  return CountWaiting(serverKey, Clock::now()).stuck;
}

bool SessionThread::IsStuck(Clock::time_point now) const {
  if (ended_.load()) return false;
  if (abandoned_.load()) return true;
  // A retired thread closing the session orderly, or one opening it (a reopen nobody waits
  // for): its call counts once it has outlived the bound an owner would have given it.
  const std::chrono::milliseconds bound(callBoundMs_.load());
  return (stopping_.load() || opening_.load()) && currentCall_.load() != nullptr && !selfBounded_.load() &&
         bound.count() > 0 && now - ProgressAt() > bound;
}

void SessionThread::Run() {
  const HRESULT apartment = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  const bool com = SUCCEEDED(apartment);
  // Each thread asks: a session thread's CoUninitialize may have ended the process's
  // multithreaded apartment, and a new one starts without the security chosen before.
  // RPC_E_TOO_LATE (the process chose already) is expected and harmless.
  if (com) {
    KeepMultithreadedApartment();
    ::CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_NONE,
                           RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
  }
  try {
    OpcDaSession session(*this);
    for (;;) {
      Task task;
      {
        std::lock_guard<SlimLock> held(lock_);
        wake_.Wait(lock_, [this] { return stopping_.load() || !queue_.empty(); });
        if (queue_.empty()) break;
        task = std::move(queue_.front());
        queue_.pop_front();
      }
      Mark(progressAt_);
      try {
        task(session);
      } catch (...) {
        // A task answers through its own slot; nothing may end the thread early.
      }
      LeaveCall();
      opening_.store(false);  // the first task is the open
    }
  } catch (...) {
    // The session's teardown failed (out of memory while logging): the thread still ends.
  }  // the session lets go of the server here: without calls when abandoned
  if (com) ::CoUninitialize();
  std::shared_ptr<SessionThread> keep = std::move(self_);
  ended_.store(true);
  --g_running;
}

void SessionThread::EnterCall(const char* call, bool selfBounded) {
  selfBounded_.store(selfBounded);
  currentCall_.store(call);
  Mark(progressAt_);
}

void SessionThread::LeaveCall() {
  currentCall_.store(nullptr);
  selfBounded_.store(false);
  Mark(progressAt_);
}

bool SessionThread::Post(Task task) {
  {
    std::lock_guard<SlimLock> held(lock_);
    if (stopping_.load()) return false;
    queue_.push_back(std::move(task));
  }
  wake_.NotifyOne();
  return true;
}

void SessionThread::Stop(std::chrono::milliseconds callBound) {
  callBoundMs_.store(callBound.count());
  {
    std::lock_guard<SlimLock> held(lock_);
    stopping_.store(true);
  }
  wake_.NotifyOne();
}

void SessionThread::Abandon() {
  abandoned_.store(true);
  std::deque<Task> dropped;
  {
    std::lock_guard<SlimLock> held(lock_);
    stopping_.store(true);
    dropped.swap(queue_);
  }
  wake_.NotifyOne();
}

void SessionThread::RequestShutdown() {
  shutdownRequested_.store(true);
  try {
    Post([](OpcDaSession& session) { session.CloseIfShutdownRequested(); });
  } catch (...) {
    // Out of memory: the flag alone closes the session at its next operation.
  }
}

void SessionThread::MarkLost() {
  if (lost_.load()) return;
  Mark(lostAt_);
  lost_.store(true);
}

}  // namespace krelta
