#include "opcda/session_thread.h"

#include <objbase.h>

#include <mutex>

#include "opcda/opc_da_session.h"
#include "util/exception.h"

namespace krelta {
namespace {

// Enough for the COM marshaling and the iterative browse walks; reserved, not committed, so a
// hundred connections cost address space rather than memory.
constexpr SIZE_T kStackReservation = 256 * 1024;

std::atomic<int> g_running{0};

}  // namespace

int SessionThread::Running() { return g_running.load(); }

std::shared_ptr<SessionThread> SessionThread::Start() {
  std::shared_ptr<SessionThread> thread(new SessionThread());
  HMODULE module = nullptr;
  // The thread's own reference to this library, given back by FreeLibraryAndExitThread.
  if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(&SessionThread::Main), &module)) {
    throw Exception("The session thread could not be started: no module reference.");
  }
  thread->self_ = thread;
  struct StartArguments {
    SessionThread* thread;
    HMODULE module;
  };
  auto* arguments = new StartArguments{thread.get(), module};
  ++g_running;  // before the thread runs: it counts itself out when it ends
  HANDLE handle = ::CreateThread(
      nullptr, kStackReservation,
      [](void* p) -> DWORD {
        auto* start = static_cast<StartArguments*>(p);
        const HMODULE own = start->module;
        SessionThread* self = start->thread;
        delete start;
        Main(self);
        ::FreeLibraryAndExitThread(own, 0);
      },
      arguments, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (handle == nullptr) {
    --g_running;
    delete arguments;
    thread->self_.reset();
    ::FreeLibrary(module);
    throw Exception("The session thread could not be started.");
  }
  ::CloseHandle(handle);
  return thread;
}

SessionThread::~SessionThread() = default;

DWORD WINAPI SessionThread::Main(void* self) {
  static_cast<SessionThread*>(self)->Run();
  return 0;
}

void SessionThread::Run() {
  const bool com = SUCCEEDED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  // Process-wide, so asked for once; fails harmlessly when the process already chose its
  // security.
  static std::once_flag security;
  std::call_once(security, [] {
    ::CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_NONE,
                           RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
  });
  {
    OpcDaSession session(*this);
    for (;;) {
      Task task;
      {
        std::lock_guard<SlimLock> held(lock_);
        wake_.Wait(lock_, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) break;
        task = std::move(queue_.front());
        queue_.pop_front();
      }
      try {
        task(session);
      } catch (...) {
        // A task answers through its own promise; nothing may end the thread early.
      }
    }
  }  // the session lets go of the server here: without calls when abandoned
  if (com) ::CoUninitialize();
  std::shared_ptr<SessionThread> keep = std::move(self_);
  ended_.store(true);
  --g_running;
}

bool SessionThread::Post(Task task) {
  {
    std::lock_guard<SlimLock> held(lock_);
    if (stopping_) return false;
    queue_.push_back(std::move(task));
  }
  wake_.NotifyOne();
  return true;
}

void SessionThread::Stop() {
  {
    std::lock_guard<SlimLock> held(lock_);
    stopping_ = true;
  }
  wake_.NotifyOne();
}

void SessionThread::Abandon() {
  abandoned_.store(true);
  std::deque<Task> dropped;
  {
    std::lock_guard<SlimLock> held(lock_);
    stopping_ = true;
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
  lostAt_.store(Clock::now().time_since_epoch().count());
  lost_.store(true);
}

}  // namespace krelta
