// The control class: shutdown requests reaching a sink in this process, address-space texts with
// faults, and a server that dies inside a call. The fault switches are exercised by the tests of
// the code that meets them.
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>

#include "sim_client.h"

namespace krelta::simtest {
namespace {

class Faults : public SimulatorTest {
 protected:
  void SetFault(DWORD fault, LONG value) { ASSERT_EQ(control_->SetFault(fault, value), S_OK); }
};

class RecordingSink final : public IOPCShutdown {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IOPCShutdown)) {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    *out = static_cast<IOPCShutdown*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }
  HRESULT STDMETHODCALLTYPE ShutdownRequest(LPCWSTR reason) override {
    std::lock_guard<std::mutex> guard(lock);
    reasons.push_back(reason);
    thread = ::GetCurrentThreadId();
    return S_OK;
  }
  std::atomic<ULONG> refs{1};
  std::mutex lock;
  std::vector<std::wstring> reasons;
  DWORD thread = 0;
};

TEST_F(Faults, ShutdownRequestReachesAnAdvisedSinkOnAWorkerThread) {
  RecordingSink sink;
  {
    ComPtr<IOPCServer> server = CreateServer();
    ComPtr<IConnectionPointContainer> container =
        As<IConnectionPointContainer>(server.Get(), IID_IConnectionPointContainer);
    ComPtr<IConnectionPoint> point;
    ASSERT_EQ(container->FindConnectionPoint(IID_IOPCShutdown, point.ReleaseAndGetAddressOf()), S_OK);
    const LONG advised = Counter(SIM_COUNTER_SINKS_ADVISED);

    SetFault(SIM_FAULT_ADVISE_RESULT, CONNECT_E_ADVISELIMIT);
    com::AdviseToken refused;
    EXPECT_EQ(refused.Advise(point.Get(), &sink), CONNECT_E_ADVISELIMIT);
    SetFault(SIM_FAULT_ADVISE_RESULT, 0);

    com::AdviseToken token;
    ASSERT_EQ(token.Advise(point.Get(), &sink), S_OK);
    EXPECT_EQ(Counter(SIM_COUNTER_SINKS_ADVISED), advised + 1);
    ASSERT_EQ(control_->RequestShutdown(L"maintenance"), S_OK);
    {
      std::lock_guard<std::mutex> guard(sink.lock);
      ASSERT_EQ(sink.reasons.size(), 1u);  // RequestShutdown returns after the calls
      EXPECT_EQ(sink.reasons[0], L"maintenance");
      EXPECT_NE(sink.thread, ::GetCurrentThreadId());
    }
    EXPECT_EQ(token.reset(), S_OK);
    EXPECT_EQ(Counter(SIM_COUNTER_SINKS_ADVISED), advised);
    EXPECT_EQ(point->Unadvise(12345), CONNECT_E_NOCONNECTION);
  }
  EXPECT_EQ(sink.refs.load(), 1u);  // the simulator let go of every reference it had
}

TEST_F(Faults, AddressSpaceWithAFaultKeepsTheOldSpace) {
  LoadSpace(L"item Kept I4 1\n");
  com::Bstr error;
  EXPECT_EQ(control_->LoadAddressSpace(L"item New I4 2\nitem Bad R16 1\n", error.put()), E_INVALIDARG);
  ASSERT_NE(error.get(), nullptr);
  EXPECT_EQ(std::wstring(error.get()), L"line 2: unknown type 'R16'");

  ComPtr<IOPCServer> server = CreateServer();
  ComPtr<IOPCItemMgt> group = AddGroup(server.Get(), L"g");
  HRESULT hr = S_OK;
  Errors errors;
  AddItems(group.Get(), {L"Kept", L"New"}, &hr, &errors);
  EXPECT_EQ(hr, S_FALSE);
  EXPECT_EQ(errors[0], S_OK);
  EXPECT_EQ(errors[1], OPC_E_UNKNOWNITEMID);
  EXPECT_EQ(control_->GenerateAddressSpace(100000, 100), E_INVALIDARG);
  EXPECT_EQ(control_->SetFault(120, 1), E_INVALIDARG);  // faults end at 119
}

// Last in the file: it ends the simulator process.
TEST_F(Faults, ExitInCallTurnsIntoAFailedCallNotAHang) {
  ComPtr<IOPCServer> server = CreateServer();
  ASSERT_TRUE(server);
  const LONG pid = Counter(SIM_COUNTER_PROCESS_ID);
  SetFault(SIM_FAULT_EXIT_IN_CALL, 1);
  com::CoTaskMem<OPCSERVERSTATUS> status;
  const auto start = std::chrono::steady_clock::now();
  const HRESULT hr = server->GetStatus(status.put());
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
  EXPECT_LT(elapsed, std::chrono::seconds(10));
  std::printf("call into the killed simulator: 0x%08lX after %lld ms\n", static_cast<unsigned long>(hr),
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()));
  // The next creation starts a new process with no faults set.
  control_.Reset();
  ASSERT_EQ(::CoCreateInstance(CLSID_KreltaSimulatorControl, nullptr, CLSCTX_LOCAL_SERVER, IID_ISimulatorControl,
                               reinterpret_cast<void**>(control_.ReleaseAndGetAddressOf())),
            S_OK);
  EXPECT_NE(Counter(SIM_COUNTER_PROCESS_ID), pid);
}

}  // namespace
}  // namespace krelta::simtest
