// The control class: faults, shutdown requests, address spaces and counters for tests.
#include <thread>

#include "platform/com/com_owners.h"
#include "simulator/com_object.h"
#include "simulator/server_objects.h"
#include "simulator_control.h"

namespace krelta::sim {

namespace {

class ControlObject final : public ISimulatorControl, public RefCounted {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_ISimulatorControl)) return E_NOINTERFACE;
    *out = static_cast<ISimulatorControl*>(this);
    AddRefImpl();
    return S_OK;
  }
  KRELTA_SIM_REFCOUNT

  HRESULT STDMETHODCALLTYPE SetFault(DWORD fault, LONG value) override {
    CallScope call("ISimulatorControl::SetFault", CallScope::kControl);
    call.Args("fault=%lu value=0x%lX", fault, static_cast<unsigned long>(value));
    return call.Done(Runtime::Get().SetFault(fault, value) ? S_OK : E_INVALIDARG);
  }

  HRESULT STDMETHODCALLTYPE ClearFaults() override {
    CallScope call("ISimulatorControl::ClearFaults", CallScope::kControl);
    Runtime::Get().ClearFaults();
    ReleaseKeptSinks();
    return call.Done(S_OK);
  }

  HRESULT STDMETHODCALLTYPE RequestShutdown(LPCWSTR reason) override {
    CallScope call("ISimulatorControl::RequestShutdown", CallScope::kControl);
    call.Args("reason=%ls", reason ? reason : L"(null)");
    return Guarded(call, [&]() -> HRESULT {
      std::vector<com::ComPtr<IOPCShutdown>> sinks = AdvisedShutdownSinks();
      const std::wstring text = reason != nullptr ? reason : L"";
      HRESULT worst = S_OK;
      // A thread of its own, so a sink that calls back into this process cannot deadlock us.
      std::thread caller([&] {
        com::ApartmentGuard apartment(COINIT_MULTITHREADED);
        for (auto& sink : sinks) {
          BeginShutdownRequest();
          const HRESULT hr = sink->ShutdownRequest(text.c_str());
          EndShutdownRequest();
          if (FAILED(hr)) worst = hr;
        }
        sinks.clear();  // released inside the apartment that used them
      });
      caller.join();
      char line[64];
      std::snprintf(line, sizeof line, "shutdown sinks called, worst result 0x%08lX",
                    static_cast<unsigned long>(worst));
      Runtime::Get().LogLine(line);
      return worst;
    });
  }

  HRESULT STDMETHODCALLTYPE LoadAddressSpace(LPCWSTR text, BSTR* error) override {
    CallScope call("ISimulatorControl::LoadAddressSpace", CallScope::kControl);
    return Guarded(call, [&]() -> HRESULT {
      if (error == nullptr) return E_INVALIDARG;
      *error = nullptr;
      std::wstring message;
      auto space = AddressSpace::Parse(text != nullptr ? text : L"", message);
      if (!space) {
        call.Args("%ls", message.c_str());
        *error = ::SysAllocString(message.c_str());
        return E_INVALIDARG;
      }
      call.Args("%zu items", space->itemCount());
      Runtime::Get().ReplaceSpace(std::move(space));
      return S_OK;
    });
  }

  HRESULT STDMETHODCALLTYPE GenerateAddressSpace(DWORD branches, DWORD itemsPerBranch) override {
    CallScope call("ISimulatorControl::GenerateAddressSpace", CallScope::kControl);
    call.Args("branches=%lu items=%lu", branches, itemsPerBranch);
    return Guarded(call, [&]() -> HRESULT {
      if (static_cast<unsigned long long>(branches) * itemsPerBranch > 2000000ULL) return E_INVALIDARG;
      Runtime::Get().ReplaceSpace(AddressSpace::Generate(branches, itemsPerBranch));
      return S_OK;
    });
  }

  HRESULT STDMETHODCALLTYPE GetCounter(DWORD counter, LONG* value) override {
    CallScope call("ISimulatorControl::GetCounter", CallScope::kControl);
    call.Args("counter=%lu", counter);
    if (value == nullptr) return call.Done(E_INVALIDARG);
    *value = 0;
    if (counter == 0 || counter >= kCounterCount) return call.Done(E_INVALIDARG);
    *value = Runtime::Get().Counter(counter);
    return call.Done(S_OK);
  }

  HRESULT STDMETHODCALLTYPE GetLastGroup(BSTR* name, DWORD* updateRate, BOOL* active) override {
    CallScope call("ISimulatorControl::GetLastGroup", CallScope::kControl);
    return Guarded(call, [&]() -> HRESULT {
      if (name == nullptr || updateRate == nullptr || active == nullptr) return E_INVALIDARG;
      const Runtime::LastGroup last = Runtime::Get().GetLastGroup();
      *name = ::SysAllocString(last.name.c_str());
      *updateRate = last.updateRate;
      *active = last.active;
      return S_OK;
    });
  }

  HRESULT STDMETHODCALLTYPE SetChaos(DWORD seed, LPCWSTR profile, BSTR* error) override {
    CallScope call("ISimulatorControl::SetChaos", CallScope::kControl);
    call.Args("seed=%lu profile=%ls", seed, profile ? profile : L"(null)");
    return Guarded(call, [&]() -> HRESULT {
      if (error == nullptr) return E_INVALIDARG;
      *error = nullptr;
      std::wstring message;
      const HRESULT hr = sim::SetChaos(seed, profile != nullptr ? profile : L"", message);
      if (FAILED(hr)) *error = ::SysAllocString(message.c_str());
      return hr;
    });
  }

  HRESULT STDMETHODCALLTYPE ReleaseHangs() override {
    CallScope call("ISimulatorControl::ReleaseHangs", CallScope::kControl);
    ReleaseChaosHangs();
    return call.Done(S_OK);
  }
};

}  // namespace

HRESULT CreateControlObject(REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  com::ComPtr<ControlObject> control;
  com::Adopt(control, new ControlObject());
  return control->QueryInterface(iid, out);
}

}  // namespace krelta::sim
