#include "simulator/runtime.h"

#include <cstdio>
#include <cstring>

#include "platform/com/wide_text.h"

namespace krelta::sim {

Runtime& Runtime::Get() {
  static Runtime* runtime = new Runtime();  // never destroyed: COM threads may outlive main
  return *runtime;
}

Runtime::Runtime() {
  for (auto& f : faults_) f.store(0);
  for (auto& c : counters_) c.store(0);
  std::wstring error;
  space_ = AddressSpace::Parse(kDefaultAddressSpace, error);
  lastCall_.store(::GetTickCount64());
}

std::shared_ptr<AddressSpace> Runtime::Space() const {
  std::lock_guard<std::mutex> guard(spaceLock_);
  return space_;
}

void Runtime::ReplaceSpace(std::shared_ptr<AddressSpace> space) {
  std::shared_ptr<AddressSpace> old;
  {
    std::lock_guard<std::mutex> guard(spaceLock_);
    old = std::move(space_);
    space_ = std::move(space);
    ++generation_;
  }
  // old is released outside the lock: freeing 100,000 items takes a while.
}

bool Runtime::SetFault(DWORD fault, LONG value) {
  if (fault == 0 || fault >= kFaultCount) return false;
  faults_[fault].store(value);
  return true;
}

void Runtime::ClearFaults() {
  for (auto& f : faults_) f.store(0);
}

LONG Runtime::Counter(DWORD counter) const {
  if (counter == SIM_COUNTER_PROCESS_ID) return static_cast<LONG>(::GetCurrentProcessId());
  return counter < kCounterCount ? counters_[counter].load() : 0;
}

void Runtime::OpenLog(const std::wstring& path, bool perCallLines) {
  std::lock_guard<std::mutex> guard(logLock_);
  perCallLines_ = perCallLines;
  const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  haveStdout_ = out != nullptr && out != INVALID_HANDLE_VALUE;
  if (log_ != nullptr) std::fclose(log_);
  log_ = nullptr;
  if (path.empty()) return;
  const size_t slash = path.find_last_of(L"\\/");
  if (slash != std::wstring::npos) {
    // Creates each missing folder of the path; existing ones just fail.
    for (size_t i = path.find_first_of(L"\\/", 3); i != std::wstring::npos && i <= slash;
         i = path.find_first_of(L"\\/", i + 1)) {
      ::CreateDirectoryW(path.substr(0, i).c_str(), nullptr);
    }
  }
  WIN32_FILE_ATTRIBUTE_DATA info;
  const bool large = ::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &info) &&
                     (info.nFileSizeHigh != 0 || info.nFileSizeLow > 8u * 1024 * 1024);
  log_ = ::_wfopen(path.c_str(), large ? L"w" : L"a");
  if (log_ != nullptr) std::setvbuf(log_, nullptr, _IOFBF, 64 * 1024);
}

void Runtime::LogLine(const char* text) {
  SYSTEMTIME st;
  ::GetLocalTime(&st);
  char line[400];
  std::snprintf(line, sizeof line, "%02u:%02u:%02u.%03u [%lu] %s\n", st.wHour, st.wMinute,
                st.wSecond, st.wMilliseconds, ::GetCurrentThreadId(), text);
  std::lock_guard<std::mutex> guard(logLock_);
  // Buffered: the main loop flushes a few times a second, and before every exit.
  if (log_ != nullptr) std::fputs(line, log_);
  if (haveStdout_) std::fputs(line, stdout);
}

void Runtime::FlushLog() {
  std::lock_guard<std::mutex> guard(logLock_);
  if (log_ != nullptr) std::fflush(log_);
  if (haveStdout_) std::fflush(stdout);
}

void Runtime::SetLastGroup(const LastGroup& group) {
  std::lock_guard<std::mutex> guard(groupLock_);
  lastGroup_ = group;
}

Runtime::LastGroup Runtime::GetLastGroup() const {
  std::lock_guard<std::mutex> guard(groupLock_);
  return lastGroup_;
}

CallScope::CallScope(const char* method, Kind kind) : method_(method), kind_(kind) {
  args_[0] = '\0';
  Runtime& rt = Runtime::Get();
  rt.Touch();
  if (kind != kOpc) return;
  rt.Count(SIM_COUNTER_OPC_CALLS);
  if (rt.Fault(SIM_FAULT_EXIT_IN_CALL) != 0) {
    char line[200];
    std::snprintf(line, sizeof line, "%s: exit-in-call fault, ending the process", method);
    rt.LogLine(line);
    rt.FlushLog();
    rt.BeforeCrash();
    ::TerminateProcess(::GetCurrentProcess(), 3);
  }
  LONG delay = rt.Fault(SIM_FAULT_CALL_DELAY_MS);
  if (std::strncmp(method, "IOPCBrowse", 10) == 0) delay += rt.Fault(SIM_FAULT_BROWSE_DELAY_MS);
  if (delay > 0) ::Sleep(static_cast<DWORD>(delay));
}

void CallScope::Args(const char* format, ...) {
  if (!Runtime::Get().LogEnabled()) return;
  va_list list;
  va_start(list, format);
  std::vsnprintf(args_, sizeof args_, format, list);
  va_end(list);
}

HRESULT CallScope::Done(HRESULT hr) {
  Runtime& rt = Runtime::Get();
  if (rt.LogEnabled()) {
    char line[300];
    std::snprintf(line, sizeof line, "%s(%s) -> 0x%08lX", method_, args_, static_cast<unsigned long>(hr));
    rt.LogLine(line);
  }
  return hr;
}

}  // namespace krelta::sim
