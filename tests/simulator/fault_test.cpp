// The control class: every fault switch, shutdown requests reaching a sink in this process,
// address-space texts with faults, and a server that dies inside a call.
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

TEST_F(Faults, ServerLevelSwitches) {
  ComPtr<IOPCServer> server = CreateServer();
  ASSERT_TRUE(server);
  SetFault(SIM_FAULT_ADDGROUP_RESULT, E_OUTOFMEMORY);
  ComPtr<IUnknown> group;
  OPCHANDLE handle = 0xdeadbeef;
  DWORD revised = 0;
  EXPECT_EQ(server->AddGroup(L"f", TRUE, 100, 1, nullptr, nullptr, 0, &handle, &revised, IID_IOPCItemMgt,
                             group.ReleaseAndGetAddressOf()),
            E_OUTOFMEMORY);
  EXPECT_FALSE(group);
  SetFault(SIM_FAULT_ADDGROUP_RESULT, 0);
  SetFault(SIM_FAULT_ADDGROUP_NULL, 1);
  EXPECT_EQ(server->AddGroup(L"f", TRUE, 100, 1, nullptr, nullptr, 0, &handle, &revised, IID_IOPCItemMgt,
                             group.ReleaseAndGetAddressOf()),
            S_OK);
  EXPECT_FALSE(group);
  SetFault(SIM_FAULT_ADDGROUP_NULL, 0);

  ComPtr<IOPCItemMgt> items = AddGroup(server.Get(), L"g", &handle);
  SetFault(SIM_FAULT_REMOVEGROUP_RESULT, E_FAIL);
  EXPECT_EQ(server->RemoveGroup(handle, TRUE), E_FAIL);
  SetFault(SIM_FAULT_REMOVEGROUP_RESULT, 0);
  items.Reset();
  EXPECT_EQ(server->RemoveGroup(handle, TRUE), S_OK);  // the failed removal left it in place

  SetFault(SIM_FAULT_NO_CONTAINER, 1);
  HRESULT hr = S_OK;
  // A fresh object: proxies cache interfaces they already obtained.
  ComPtr<IOPCServer> fresh = CreateServer();
  EXPECT_FALSE(As<IConnectionPointContainer>(fresh.Get(), IID_IConnectionPointContainer, &hr));
  EXPECT_EQ(hr, E_NOINTERFACE);
  SetFault(SIM_FAULT_NO_CONTAINER, 0);
  ComPtr<IConnectionPointContainer> container =
      As<IConnectionPointContainer>(server.Get(), IID_IConnectionPointContainer);
  ASSERT_TRUE(container);
  ComPtr<IConnectionPoint> point;
  SetFault(SIM_FAULT_NO_SHUTDOWN_POINT, 1);
  EXPECT_EQ(container->FindConnectionPoint(IID_IOPCShutdown, point.ReleaseAndGetAddressOf()),
            CONNECT_E_NOCONNECTION);
  SetFault(SIM_FAULT_NO_SHUTDOWN_POINT, 0);

  SetFault(SIM_FAULT_CREATE_RESULT, E_ACCESSDENIED);
  ComPtr<IOPCServer> refused;
  EXPECT_EQ(::CoCreateInstance(CLSID_KreltaSimulatorDA2, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                               reinterpret_cast<void**>(refused.ReleaseAndGetAddressOf())),
            E_ACCESSDENIED);
}

TEST_F(Faults, GroupLevelSwitchesAndCallDelay) {
  ComPtr<IOPCServer> server = CreateServer();
  ComPtr<IOPCItemMgt> group = AddGroup(server.Get(), L"g");
  ComPtr<IOPCSyncIO> io = As<IOPCSyncIO>(group.Get(), IID_IOPCSyncIO);
  SetFault(SIM_FAULT_ADDITEMS_RESULT, E_FAIL);
  HRESULT hr = S_OK;
  AddItems(group.Get(), {L"Plant.Line1.Speed"}, &hr);
  EXPECT_EQ(hr, E_FAIL);
  SetFault(SIM_FAULT_ADDITEMS_RESULT, 0);
  auto handles = AddItems(group.Get(), {L"Plant.Line1.Speed", L"Plant.Line1.Mode"}, &hr);
  ASSERT_EQ(hr, S_OK);

  SetFault(SIM_FAULT_READ_RESULT, E_FAIL);
  ItemStates states;
  Errors errors;
  const LONG reads = Counter(SIM_COUNTER_READ_CALLS);
  EXPECT_EQ(io->Read(OPC_DS_DEVICE, 2, handles.data(), states.put(), errors.put()), E_FAIL);
  EXPECT_FALSE(states);
  EXPECT_FALSE(errors);
  EXPECT_EQ(Counter(SIM_COUNTER_READ_CALLS), reads + 1);
  SetFault(SIM_FAULT_READ_RESULT, 0);

  SetFault(SIM_FAULT_WRITE_RESULT, E_ACCESSDENIED);
  VARIANT value;
  VariantInit(&value);
  value.vt = VT_I4;
  EXPECT_EQ(io->Write(1, handles.data(), &value, errors.put()), E_ACCESSDENIED);
  SetFault(SIM_FAULT_WRITE_RESULT, 0);

  SetFault(SIM_FAULT_CALL_DELAY_MS, 300);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(io->Read(OPC_DS_CACHE, 1, handles.data(), states.put(), errors.put()), S_OK);
  states.set_size(1);
  errors.set_size(1);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(290));
  SetFault(SIM_FAULT_CALL_DELAY_MS, 0);

  const LONG removes = Counter(SIM_COUNTER_REMOVEITEMS_CALLS);
  SetFault(SIM_FAULT_REMOVEITEMS_RESULT, E_FAIL);
  EXPECT_EQ(group->RemoveItems(2, handles.data(), errors.put()), E_FAIL);
  SetFault(SIM_FAULT_REMOVEITEMS_RESULT, 0);
  SetFault(SIM_FAULT_REMOVEITEMS_ITEM_ERROR, 1);
  ASSERT_EQ(group->RemoveItems(2, handles.data(), errors.put()), S_FALSE);
  errors.set_size(2);
  EXPECT_EQ(errors[0], OPC_E_INVALIDHANDLE);
  EXPECT_EQ(errors[1], S_OK);
  EXPECT_EQ(Counter(SIM_COUNTER_REMOVEITEMS_CALLS), removes + 2);
}

TEST_F(Faults, BrowseSwitchesCoverBothBrowseInterfaces) {
  ComPtr<IOPCServer> server = CreateServer();
  ComPtr<IOPCBrowse> browse = As<IOPCBrowse>(server.Get(), IID_IOPCBrowse);
  ComPtr<IOPCBrowseServerAddressSpace> da2 =
      As<IOPCBrowseServerAddressSpace>(server.Get(), IID_IOPCBrowseServerAddressSpace);
  SetFault(SIM_FAULT_BROWSE_RESULT, E_FAIL);
  LPWSTR cp = nullptr;
  BOOL more = FALSE;
  DWORD count = 7, ids[1] = {0};
  OPCBROWSEELEMENT* elements = reinterpret_cast<OPCBROWSEELEMENT*>(1);
  EXPECT_EQ(browse->Browse(const_cast<LPWSTR>(L""), &cp, 0, OPC_BROWSE_FILTER_ALL, const_cast<LPWSTR>(L""),
                           const_cast<LPWSTR>(L""), FALSE, FALSE, 0, ids, &more, &count, &elements),
            E_FAIL);
  EXPECT_EQ(elements, nullptr);
  EXPECT_EQ(count, 0u);
  ComPtr<IEnumString> names;
  EXPECT_EQ(da2->BrowseOPCItemIDs(OPC_BRANCH, L"", VT_EMPTY, 0, names.ReleaseAndGetAddressOf()), E_FAIL);
  EXPECT_EQ(da2->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"Plant"), E_FAIL);
}

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
  EXPECT_EQ(control_->SetFault(100, 1), E_INVALIDARG);
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
