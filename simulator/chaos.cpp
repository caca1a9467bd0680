#include "simulator/chaos.h"

#include <atomic>
#include <cfloat>
#include <chrono>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "opc_da_constants.h"
#include "platform/com/com_owners.h"
#include "simulator/address_space.h"
#include "simulator/runtime.h"
#include "simulator/server_objects.h"
#include "simulator_control.h"

namespace krelta::sim {

namespace {

std::uint64_t Mix(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}

// The draws of one call: a stream fixed by the seed and the call's step (a seed of 0 is as
// good as any other).
class Draw {
 public:
  Draw(std::uint32_t seed, std::uint64_t step) : state_(Mix(Mix(seed) ^ step)) {}
  std::uint64_t Next() { return state_ = Mix(state_); }
  double Percent() { return static_cast<double>(Next() >> 11) * (100.0 / 9007199254740992.0); }
  std::uint32_t Below(std::uint32_t n) { return n == 0 ? 0 : static_cast<std::uint32_t>(Next() % n); }
  template <typename T, size_t N>
  T Pick(const T (&table)[N]) { return table[Below(N)]; }

 private:
  std::uint64_t state_;
};

constexpr HRESULT kCallFailures[] = {
    E_FAIL, E_OUTOFMEMORY, OPC_E_INVALIDHANDLE,
    static_cast<HRESULT>(0x80010108L),  // RPC_E_DISCONNECTED
    static_cast<HRESULT>(0x800706BAL),  // RPC_S_SERVER_UNAVAILABLE
    static_cast<HRESULT>(0x800706BEL),  // RPC_S_CALL_FAILED
    static_cast<HRESULT>(0x800401FDL),  // CO_E_OBJNOTCONNECTED
    static_cast<HRESULT>(0x80010007L),  // RPC_E_SERVER_DIED
    static_cast<HRESULT>(0x80010012L),  // RPC_E_SERVER_DIED_DNE
    static_cast<HRESULT>(0x800706BFL),  // RPC_S_CALL_FAILED_DNE
    static_cast<HRESULT>(0x80004018L),  // CO_E_SERVER_STOPPING
};
constexpr HRESULT kItemFailures[] = {E_FAIL, OPC_E_INVALIDHANDLE, OPC_E_UNKNOWNITEMID, OPC_E_BADRIGHTS,
                                     OPC_E_BADTYPE, E_OUTOFMEMORY};
constexpr WORD kQualities[] = {OPC_QUALITY_BAD, OPC_QUALITY_CONFIG_ERROR, OPC_QUALITY_COMM_FAILURE,
                               OPC_QUALITY_OUT_OF_SERVICE, OPC_QUALITY_UNCERTAIN, OPC_QUALITY_LAST_USABLE,
                               OPC_QUALITY_GOOD, OPC_QUALITY_LOCAL_OVERRIDE, 0xFFFF};
// 0, 1960, 2039, 2100, the largest signed and unsigned FILETIME.
constexpr std::uint64_t kTimeStamps[] = {0ULL, 113288544000000000ULL, 138219264000000000ULL,
                                         157469184000000000ULL, 0x7FFFFFFFFFFFFFFFULL,
                                         0xFFFFFFFFFFFFFFFFULL};
constexpr VARTYPE kElementTypes[] = {VT_I1, VT_UI1, VT_I2, VT_UI2, VT_I4, VT_UI4, VT_I8, VT_UI8,
                                     VT_INT, VT_UINT, VT_R4, VT_R8, VT_BOOL, VT_BSTR, VT_DATE,
                                     VT_CY, VT_DECIMAL};
// The misbehaving-server faults a walk may run under.
constexpr DWORD kWalkFaults[] = {SIM_FAULT_CONTINUATION_GROWS, SIM_FAULT_CONTINUATION_REPEATS,
                                 SIM_FAULT_ENUM_EMPTY_OK,      SIM_FAULT_SELF_LISTING,
                                 SIM_FAULT_DEEP_CHAIN,         SIM_FAULT_UNADVISE_RESULT,
                                 SIM_FAULT_SHUTDOWN_IN_CALL,   SIM_FAULT_SERIALISED_SHUTDOWN,
                                 SIM_FAULT_SHUTDOWN_IN_ADDITEMS};

struct State {
  std::mutex lock;  // profile, seed, on
  bool on = false;
  std::atomic<bool> anyOn{false};  // on, read without the lock by every call
  std::uint32_t seed = 0;
  ChaosProfile profile;
  std::atomic<std::uint64_t> step{0};
  std::mutex hangLock;
  std::condition_variable released;
  std::uint64_t releases = 0;
};

State& Get() {
  static State* state = new State();  // never destroyed: COM threads may outlive main
  return *state;
}

// What a VT_BYREF answer of this thread points to; the stub marshals it after the call
// returned, so it lives until the thread's next call.
thread_local std::vector<std::unique_ptr<OwnedVariant>> t_byrefTargets;

void Log(std::uint64_t step, const char* method, const char* what) {
  char line[256];
  std::snprintf(line, sizeof line, "chaos step %llu: %s: %s", static_cast<unsigned long long>(step), method,
                what);
  Runtime::Get().LogLine(line);
}

void ScalarValue(Draw& d, VARTYPE type, VARIANT* v) {
  ::VariantInit(v);
  switch (type) {
    case VT_I1: v->cVal = d.Pick({'\0', static_cast<char>(-128), '\x7F', '\1'}); break;
    case VT_UI1: v->bVal = d.Pick({static_cast<BYTE>(0), static_cast<BYTE>(255)}); break;
    case VT_I2: v->iVal = d.Pick({static_cast<SHORT>(-32768), static_cast<SHORT>(32767), static_cast<SHORT>(0)}); break;
    case VT_UI2: v->uiVal = d.Pick({static_cast<USHORT>(0), static_cast<USHORT>(65535)}); break;
    case VT_I4: case VT_INT: v->lVal = d.Pick({LONG_MIN, LONG_MAX, 0L, 42L}); break;
    case VT_UI4: case VT_UINT: v->ulVal = d.Pick({0UL, ULONG_MAX, 7UL}); break;
    case VT_I8: v->llVal = d.Pick({LLONG_MIN, LLONG_MAX, 0LL, (1LL << 53) + 1}); break;
    case VT_UI8: v->ullVal = d.Pick({0ULL, ULLONG_MAX, 1ULL << 63}); break;
    case VT_R4:
      v->fltVal = d.Pick({NAN, INFINITY, -INFINITY, FLT_MAX, -0.0f, FLT_TRUE_MIN, 1.5f});
      break;
    case VT_R8:
      v->dblVal = d.Pick({static_cast<double>(NAN), static_cast<double>(INFINITY), -static_cast<double>(INFINITY),
                          DBL_MAX, DBL_TRUE_MIN, 1e39, -1e39, 0.1});
      break;
    case VT_BOOL: v->boolVal = d.Pick({VARIANT_TRUE, VARIANT_FALSE}); break;
    case VT_BSTR: {
      const UINT length = d.Pick({0u, 1u, 17u, 100000u});
      v->bstrVal = ::SysAllocStringLen(nullptr, length);
      if (v->bstrVal == nullptr) throw std::bad_alloc();
      for (UINT i = 0; i < length; ++i) v->bstrVal[i] = i % 7 == 3 ? L'\x00E9' : i % 11 == 5 ? L'\x4E2D' : L'x';
      break;
    }
    case VT_DATE: v->date = d.Pick({-657434.0, 2958465.99998843, 0.0, -1e10, 1e10, static_cast<double>(NAN)}); break;
    case VT_CY: v->cyVal.int64 = d.Pick({LLONG_MIN, LLONG_MAX, 0LL, 12345LL}); break;
    case VT_DECIMAL: {
      DECIMAL dec{};
      switch (d.Below(4)) {
        case 0: dec.Hi32 = 0xFFFFFFFF; dec.Lo64 = ~0ULL; break;              // the largest
        case 1: dec.Hi32 = 0xFFFFFFFF; dec.Lo64 = ~0ULL; dec.sign = 0x80; break;  // the smallest
        case 2: dec.Lo64 = 1; dec.scale = 28; break;                          // 1e-28
        default: break;                                                       // 0
      }
      v->decVal = dec;
      break;
    }
    default: return;
  }
  v->vt = type;
}

SAFEARRAY* DrawArray(Draw& d, VARTYPE element) {
  SAFEARRAYBOUND bound{d.Pick({0u, 1u, 3u}), d.Pick({0L, 1L, -3L, 1000L})};
  SAFEARRAY* array = ::SafeArrayCreate(element, 1, &bound);
  if (array == nullptr) throw std::bad_alloc();
  for (ULONG i = 0; i < bound.cElements; ++i) {
    LONG index = bound.lLbound + static_cast<LONG>(i);
    OwnedVariant cell;
    ScalarValue(d, element == VT_VARIANT ? d.Pick(kElementTypes) : element, cell.get());
    VARIANT* c = cell.get();
    void* datum = element == VT_VARIANT  ? static_cast<void*>(c)
                  : element == VT_BSTR   ? static_cast<void*>(c->bstrVal)
                  : element == VT_DECIMAL ? static_cast<void*>(&c->decVal)
                                         : static_cast<void*>(&c->llVal);
    if (FAILED(::SafeArrayPutElement(array, &index, datum))) {
      ::SafeArrayDestroy(array);
      throw std::bad_alloc();
    }
  }
  return array;
}

// A value of one of the shapes a server may answer: a scalar, a VT_BYREF scalar, an array of
// any element type (VT_VARIANT included; empty, one element, lower bounds other than 0), EMPTY
// or NULL.
void DrawVariant(Draw& d, VARIANT* v) {
  ::VariantClear(v);
  const std::uint32_t shape = d.Below(8);
  if (shape < 3) {
    ScalarValue(d, d.Pick(kElementTypes), v);
  } else if (shape == 3) {
    auto target = std::make_unique<OwnedVariant>();
    ScalarValue(d, d.Pick(kElementTypes), target->get());
    VARIANT* t = target->get();
    v->vt = static_cast<VARTYPE>(t->vt | VT_BYREF);
    v->byref = t->vt == VT_DECIMAL ? static_cast<void*>(&t->decVal) : static_cast<void*>(&t->llVal);
    t_byrefTargets.push_back(std::move(target));
  } else if (shape < 7) {
    const VARTYPE element = d.Below(6) == 0 ? static_cast<VARTYPE>(VT_VARIANT) : d.Pick(kElementTypes);
    v->parray = DrawArray(d, element);
    v->vt = static_cast<VARTYPE>(VT_ARRAY | element);
  } else {
    v->vt = d.Pick({VT_EMPTY, VT_NULL});
  }
}

void ShutdownOneSink(Draw& d, const char* reason) {
  std::vector<com::ComPtr<IOPCShutdown>> sinks = AdvisedShutdownSinks();
  if (sinks.empty()) return;
  const std::wstring text(reason, reason + std::strlen(reason));
  BeginShutdownRequest();
  sinks[d.Below(static_cast<std::uint32_t>(sinks.size()))]->ShutdownRequest(text.c_str());
  EndShutdownRequest();
}

double Number(const std::wstring& text, bool& ok) {
  wchar_t* end = nullptr;
  const double value = std::wcstod(text.c_str(), &end);
  ok = !text.empty() && *end == L'\0' && value >= 0 && std::isfinite(value);
  return value;
}

}  // namespace

bool ChaosProfile::Parse(const std::wstring& text, ChaosProfile& out, std::wstring& error) {
  const std::wstring source = text == L"default" ? kDefaultChaosProfile : text;
  ChaosProfile p;
  size_t start = 0;
  while (start < source.size()) {
    size_t end = source.find(L',', start);
    if (end == std::wstring::npos) end = source.size();
    const std::wstring pair = source.substr(start, end - start);
    start = end + 1;
    const size_t eq = pair.find(L'=');
    const std::wstring name = pair.substr(0, eq);
    bool ok = eq != std::wstring::npos;
    const double value = ok ? Number(pair.substr(eq + 1), ok) : 0;
    struct Field {
      const wchar_t* name;
      double* rate;
      DWORD* ms;
    } fields[] = {{L"exit", &p.exit, nullptr},       {L"hang", &p.hang, nullptr},
                  {L"delay", &p.delay, nullptr},     {L"fail", &p.fail, nullptr},
                  {L"shutdown", &p.shutdown, nullptr}, {L"between", &p.between, nullptr},
                  {L"items", &p.items, nullptr},     {L"quality", &p.quality, nullptr},
                  {L"values", &p.values, nullptr},   {L"walk", &p.walk, nullptr},
                  {L"bound", nullptr, &p.boundMs},   {L"hold", nullptr, &p.holdMs}};
    Field* field = nullptr;
    for (Field& f : fields) field = name == f.name ? &f : field;
    if (field == nullptr || !ok || (field->rate != nullptr && value > 100) ||
        (field->ms != nullptr && value > 3600000)) {
      error = L"bad profile entry '" + pair + L"'";
      return false;
    }
    if (field->rate != nullptr) *field->rate = value;
    else *field->ms = static_cast<DWORD>(value);
  }
  if (p.exit + p.hang + p.delay + p.fail + p.shutdown + p.between > 100.0) {
    error = L"the whole-call rates add up to more than 100";
    return false;
  }
  out = p;
  return true;
}

std::string ChaosProfile::Text() const {
  char text[256];
  std::snprintf(text, sizeof text,
                "exit=%g,hang=%g,delay=%g,fail=%g,shutdown=%g,between=%g,items=%g,quality=%g,values=%g,"
                "walk=%g,bound=%lu,hold=%lu",
                exit, hang, delay, fail, shutdown, between, items, quality, values, walk, boundMs, holdMs);
  return text;
}

HRESULT SetChaos(std::uint32_t seed, const std::wstring& profileText, std::wstring& error) {
  const bool on = !profileText.empty() && profileText != L"off";
  ChaosProfile profile;
  if (on && !ChaosProfile::Parse(profileText, profile, error)) return E_INVALIDARG;
  State& s = Get();
  {
    std::lock_guard<std::mutex> guard(s.lock);
    s.on = on;
    s.seed = seed;
    s.profile = profile;
    s.step = 0;
    s.anyOn = on;
  }
  if (!on) {
    for (DWORD fault : kWalkFaults) Runtime::Get().SetFault(fault, 0);
    ReleaseChaosHangs();
  }
  char line[320];
  if (on) {
    std::snprintf(line, sizeof line, "chaos on: seed %lu, profile %s", static_cast<unsigned long>(seed),
                  profile.Text().c_str());
  } else {
    std::snprintf(line, sizeof line, "chaos off");
  }
  Runtime::Get().LogLine(line);
  Runtime::Get().FlushLog();
  return S_OK;
}

void ReleaseChaosHangs() {
  State& s = Get();
  {
    std::lock_guard<std::mutex> guard(s.hangLock);
    ++s.releases;
  }
  s.released.notify_all();
}

bool ChaosBefore(CallScope& call, HRESULT* hr) {
  State& s = Get();
  t_byrefTargets.clear();  // the previous call of this thread has been marshaled
  if (!s.anyOn.load(std::memory_order_relaxed)) return false;
  std::uint32_t seed;
  ChaosProfile p;
  {
    std::lock_guard<std::mutex> guard(s.lock);
    if (!s.on) return false;
    seed = s.seed;
    p = s.profile;
  }
  const std::uint64_t step = ++s.step;
  call.SetChaosStep(step);
  Runtime& rt = Runtime::Get();
  rt.Count(SIM_COUNTER_CHAOS_CALLS);
  Draw d(seed, step);
  double r = d.Percent();
  if ((r -= p.exit) < 0) {
    Log(step, call.Method(), "exit in the call");
    rt.FlushLog();
    rt.BeforeCrash();
    ::TerminateProcess(::GetCurrentProcess(), 3);
  }
  if ((r -= p.hang) < 0) {
    Log(step, call.Method(), "hang");
    rt.Count(SIM_COUNTER_CHAOS_HANGS);
    std::unique_lock<std::mutex> lock(s.hangLock);
    const std::uint64_t releases = s.releases;
    s.released.wait_for(lock, std::chrono::milliseconds(p.holdMs), [&] { return s.releases != releases; });
    return false;
  }
  if ((r -= p.delay) < 0) {
    const DWORD ms = d.Below(2 * p.boundMs + 1);
    char what[48];
    std::snprintf(what, sizeof what, "delay %lu ms", ms);
    Log(step, call.Method(), what);
    rt.Count(SIM_COUNTER_CHAOS_DELAYS);
    ::Sleep(ms);
    return false;
  }
  if ((r -= p.fail) < 0) {
    *hr = d.Pick(kCallFailures);
    char what[48];
    std::snprintf(what, sizeof what, "fails with 0x%08lX", static_cast<unsigned long>(*hr));
    Log(step, call.Method(), what);
    rt.Count(SIM_COUNTER_CHAOS_FAILURES);
    return true;
  }
  if ((r -= p.shutdown) < 0) {
    Log(step, call.Method(), "shutdown request during the call");
    rt.Count(SIM_COUNTER_CHAOS_SHUTDOWNS);
    ShutdownOneSink(d, "chaos: shutdown during a call");
    return false;
  }
  if ((r -= p.between) < 0) {
    Log(step, call.Method(), "shutdown request after the call");
    rt.Count(SIM_COUNTER_CHAOS_SHUTDOWNS);
    const DWORD after = d.Below(200);
    std::thread([after, seed, step] {
      ::Sleep(after);
      com::ApartmentGuard apartment(COINIT_MULTITHREADED);
      Draw late(seed, ~step);
      ShutdownOneSink(late, "chaos: shutdown between calls");
    }).detach();
  }
  return false;
}

HRESULT ChaosAfter(CallScope& call, HRESULT hr) {
  const CallScope::ItemOutputs& out = call.Items();
  if (call.ChaosStep() == 0 || FAILED(hr) || out.errors == nullptr || *out.errors == nullptr) return hr;
  State& s = Get();
  ChaosProfile p;
  std::uint32_t seed;
  {
    std::lock_guard<std::mutex> guard(s.lock);
    if (!s.on) return hr;
    p = s.profile;
    seed = s.seed;
  }
  Runtime& rt = Runtime::Get();
  Draw d(seed, call.ChaosStep() ^ 0x5DEECE66DULL);
  HRESULT* errors = *out.errors;
  OPCITEMSTATE* states = out.states != nullptr ? *out.states : nullptr;
  if (d.Percent() < p.items) {
    Log(call.ChaosStep(), call.Method(), "per-item errors");
    rt.Count(SIM_COUNTER_CHAOS_ITEM_ERRORS);
    for (DWORD i = 0; i < out.count; ++i) {
      if (d.Below(3) != 0) continue;
      errors[i] = d.Pick(kItemFailures);
      if (states != nullptr) {
        ::VariantClear(&states[i].vDataValue);
        states[i].wQuality = OPC_QUALITY_BAD;
      }
      hr = S_FALSE;
    }
  }
  for (DWORD i = 0; states != nullptr && i < out.count; ++i) {
    if (FAILED(errors[i])) continue;
    if (states[i].vDataValue.vt == VT_EMPTY && d.Percent() < p.values) {
      rt.Count(SIM_COUNTER_CHAOS_VARIANTS);
      DrawVariant(d, &states[i].vDataValue);
    }
    if (d.Percent() < p.quality) {
      rt.Count(SIM_COUNTER_CHAOS_QUALITIES);
      states[i].wQuality = d.Pick(kQualities);
      const std::uint64_t stamp = d.Pick(kTimeStamps);
      states[i].ftTimeStamp = FILETIME{static_cast<DWORD>(stamp), static_cast<DWORD>(stamp >> 32)};
    }
  }
  return hr;
}

void ChaosNewWalk() {
  State& s = Get();
  std::uint32_t seed;
  double rate;
  {
    std::lock_guard<std::mutex> guard(s.lock);
    if (!s.on) return;
    seed = s.seed;
    rate = s.profile.walk;
  }
  const std::uint64_t step = ++s.step;
  Draw d(seed, step);
  Runtime& rt = Runtime::Get();
  for (DWORD fault : kWalkFaults) rt.SetFault(fault, 0);
  if (d.Percent() >= rate) return;
  const DWORD fault = d.Pick(kWalkFaults);
  LONG value = 1;
  if (fault == SIM_FAULT_CONTINUATION_REPEATS) value = 1 + static_cast<LONG>(d.Below(3));
  if (fault == SIM_FAULT_DEEP_CHAIN) value = 1 + static_cast<LONG>(d.Below(40));
  if (fault == SIM_FAULT_UNADVISE_RESULT) value = d.Pick({E_FAIL, static_cast<LONG>(0x80010108L)});
  if (fault == SIM_FAULT_SHUTDOWN_IN_CALL) value = 1 + static_cast<LONG>(d.Below(7));
  rt.SetFault(fault, value);
  rt.Count(SIM_COUNTER_CHAOS_WALK_FAULTS);
  char what[64];
  std::snprintf(what, sizeof what, "walk under fault %lu = 0x%lX", fault, static_cast<unsigned long>(value));
  Log(step, "browse", what);
}

}  // namespace krelta::sim
