// Process-wide state of the simulator: the served address space, faults, counters, the call
// log, the live-object count and the idle clock that ends the process. Windows only.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdarg>
#include <memory>
#include <mutex>
#include <string>

#include "opc_da.h"
#include "simulator/address_space.h"
#include "simulator/chaos.h"
#include "simulator_control.h"

namespace krelta::sim {

constexpr DWORD kFaultCount = 120;   // SIM_FAULT_* run 1..119 (80.. the server list, 100.. loss)
constexpr DWORD kCounterCount = 80;  // SIM_COUNTER_* run 1..79 (50.. the server list, 70.. loss)

class Runtime {
 public:
  static Runtime& Get();

  std::shared_ptr<AddressSpace> Space() const;
  void ReplaceSpace(std::shared_ptr<AddressSpace> space);
  // Changes whenever the space is replaced; continuation points of older spaces are void.
  unsigned SpaceGeneration() const { return generation_.load(); }

  LONG Fault(DWORD fault) const { return fault < kFaultCount ? faults_[fault].load() : 0; }
  bool SetFault(DWORD fault, LONG value);
  void ClearFaults();

  void Count(DWORD counter, LONG delta = 1) {
    if (counter < kCounterCount) counters_[counter] += delta;
  }
  void SetCounter(DWORD counter, LONG value) {
    if (counter < kCounterCount) counters_[counter] = value;
  }
  LONG Counter(DWORD counter) const;

  // Live COM objects and server locks; the process ends some time after this reaches zero.
  void ObjectCreated() { ++liveObjects_; }
  void ObjectDestroyed() { --liveObjects_; }
  LONG LiveObjects() const { return liveObjects_.load(); }
  // Runs right before the exit-in-call fault ends the process (revokes the class objects, so
  // COM does not keep handing out the dead process's factories).
  void SetBeforeCrash(void (*hook)()) { beforeCrash_ = hook; }
  void BeforeCrash() {
    if (beforeCrash_ != nullptr) beforeCrash_();
  }
  void Touch() { lastCall_.store(::GetTickCount64()); }
  ULONGLONG LastCall() const { return lastCall_.load(); }

  // Call log: one line per call, to the log file and, when we have one, to stdout.
  void OpenLog(const std::wstring& path, bool perCallLines);
  bool LogEnabled() const { return perCallLines_; }
  void LogLine(const char* text);
  void FlushLog();

  struct LastGroup {
    std::wstring name;
    DWORD updateRate = 0;
    BOOL active = FALSE;
  };
  void SetLastGroup(const LastGroup& group);
  LastGroup GetLastGroup() const;

 private:
  Runtime();

  mutable std::mutex spaceLock_;
  std::shared_ptr<AddressSpace> space_;
  std::atomic<unsigned> generation_{1};
  std::atomic<LONG> faults_[kFaultCount];
  std::atomic<LONG> counters_[kCounterCount];
  std::atomic<LONG> liveObjects_{0};
  std::atomic<ULONGLONG> lastCall_{0};
  void (*beforeCrash_)() = nullptr;

  std::mutex logLock_;
  FILE* log_ = nullptr;
  bool perCallLines_ = true;
  bool haveStdout_ = false;

  mutable std::mutex groupLock_;
  LastGroup lastGroup_;
};

// One incoming call: the prologue (idle clock, exit-in-call and delay faults for OPC calls),
// the arguments for the log line, and the line itself with the result.
class CallScope {
 public:
  enum Kind { kOpc, kControl };
  CallScope(const char* method, Kind kind = kOpc);
  void Args(const char* format, ...);
  HRESULT Done(HRESULT hr);
  bool IsOpc() const { return kind_ == kOpc; }
  const char* Method() const { return method_; }

  // The per-item outputs of an item-level call, for the chaos mode's per-item draws.
  struct ItemOutputs {
    DWORD count = 0;
    HRESULT** errors = nullptr;
    OPCITEMSTATE** states = nullptr;
  };
  void Items(DWORD count, HRESULT** errors, OPCITEMSTATE** states = nullptr) { items_ = {count, errors, states}; }
  const ItemOutputs& Items() const { return items_; }
  void SetChaosStep(unsigned long long step) { chaosStep_ = step; }
  unsigned long long ChaosStep() const { return chaosStep_; }

 private:
  const char* method_;
  Kind kind_;
  char args_[160];
  ItemOutputs items_;
  unsigned long long chaosStep_ = 0;  // 0: no chaos draw
};

// Runs body (returning HRESULT) inside a barrier: exceptions become E_OUTOFMEMORY or E_FAIL
// and never cross into COM; the call is logged with its result.
template <typename Body>
HRESULT Guarded(CallScope& call, Body&& body) {
  HRESULT hr;
  const LONG dead = call.IsOpc() ? Runtime::Get().Fault(SIM_FAULT_DEAD_RESULT) : 0;
  if (dead != 0) {
    Runtime::Get().Count(SIM_COUNTER_DEAD_CALLS);
    return call.Done(dead);
  }
  if (call.IsOpc() && ChaosBefore(call, &hr)) return call.Done(hr);
  try {
    hr = ChaosAfter(call, body());
  } catch (const std::bad_alloc&) {
    hr = E_OUTOFMEMORY;
  } catch (...) {
    hr = E_FAIL;
  }
  return call.Done(hr);
}

// A failing fault value short-circuits the call; a success value other than 0 replaces the
// call's own success code. Returns true when the call must stop with *hr.
inline bool FaultStops(DWORD fault, HRESULT* hr) {
  const LONG value = Runtime::Get().Fault(fault);
  if (value == 0 || SUCCEEDED(value)) return false;
  *hr = value;
  return true;
}
inline HRESULT FaultSuccess(DWORD fault, HRESULT hr) {
  const LONG value = Runtime::Get().Fault(fault);
  return (value != 0 && SUCCEEDED(value) && SUCCEEDED(hr)) ? value : hr;
}

}  // namespace krelta::sim
