// A raw COM client of the simulator for its own tests: the control object, a server object of
// either class, a group with items, and owners for what the calls return.
#pragma once

#include <gtest/gtest.h>
#include <olectl.h>

#include <string>
#include <vector>

#include "opc_da.h"
#include "opc_da_constants.h"
#include "platform/com/com_owners.h"
#include "simulator/address_space.h"
#include "simulator/control_client.h"
#include "simulator_control.h"

namespace krelta::simtest {

using com::ComPtr;

using ItemStates = com::CoTaskArray<OPCITEMSTATE, com::ItemStateCleanup>;
using Errors = com::CoTaskArray<HRESULT>;

class SimulatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(apartment_.joined());
    // Wine may start a second simulator on a cold prefix: wait until server objects are made
    // where the control object counts them.
    ASSERT_EQ(sim::CreateSimulatorControl(control_), S_OK);
    ASSERT_EQ(control_->ClearFaults(), S_OK);
    for (int attempt = 0; attempt < 5; ++attempt) {
      const LONG before = Counter(SIM_COUNTER_SERVERS_CREATED);
      if (CreateServer() && Counter(SIM_COUNTER_SERVERS_CREATED) > before) break;
      ::Sleep(1500);
    }
  }
  // Faults and the space are process-wide and the process outlives the test: put both back.
  void TearDown() override {
    if (!control_) return;
    control_->ClearFaults();
    if (replacedSpace_) LoadSpace(sim::kDefaultAddressSpace);
  }

  ComPtr<IOPCServer> CreateServer(const CLSID& clsid = CLSID_KreltaSimulatorDA3) {
    ComPtr<IOPCServer> server;
    EXPECT_EQ(::CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                 reinterpret_cast<void**>(server.ReleaseAndGetAddressOf())),
              S_OK);
    return server;
  }

  LONG Counter(DWORD counter) {
    LONG value = -1;
    EXPECT_EQ(control_->GetCounter(counter, &value), S_OK);
    return value;
  }

  void LoadSpace(const wchar_t* text) {
    replacedSpace_ = true;
    com::Bstr error;
    ASSERT_EQ(control_->LoadAddressSpace(text, error.put()), S_OK)
        << (error.get() ? std::string(error.get(), error.get() + error.length()) : "");
  }

  // Adds a group and returns its item management interface.
  ComPtr<IOPCItemMgt> AddGroup(IOPCServer* server, const wchar_t* name, OPCHANDLE* handle = nullptr) {
    ComPtr<IOPCItemMgt> items;
    OPCHANDLE h = 0;
    DWORD revised = 0;
    EXPECT_EQ(server->AddGroup(name, TRUE, 1000, 7, nullptr, nullptr, 0, &h, &revised, IID_IOPCItemMgt,
                               reinterpret_cast<IUnknown**>(items.ReleaseAndGetAddressOf())),
              S_OK);
    if (handle != nullptr) *handle = h;
    return items;
  }

  // Adds ids with client handles 100, 101, ...; returns the server handles (0 for failures).
  std::vector<OPCHANDLE> AddItems(IOPCItemMgt* group, const std::vector<std::wstring>& ids,
                                  HRESULT* result = nullptr, Errors* errorsOut = nullptr) {
    std::vector<OPCITEMDEF> defs(ids.size());
    for (size_t i = 0; i < ids.size(); ++i) {
      defs[i].szAccessPath = const_cast<LPWSTR>(L"");
      defs[i].szItemID = const_cast<LPWSTR>(ids[i].c_str());
      defs[i].bActive = TRUE;
      defs[i].hClient = static_cast<OPCHANDLE>(100 + i);
    }
    com::CoTaskArray<OPCITEMRESULT> results;
    Errors errors;
    const HRESULT hr = group->AddItems(static_cast<DWORD>(defs.size()), defs.data(), results.put(), errors.put());
    results.set_size(defs.size());
    errors.set_size(defs.size());
    if (result != nullptr) *result = hr;
    std::vector<OPCHANDLE> handles(ids.size(), 0);
    if (SUCCEEDED(hr)) {
      for (size_t i = 0; i < ids.size(); ++i) {
        if (SUCCEEDED(errors[i])) handles[i] = results[i].hServer;
      }
    }
    if (errorsOut != nullptr) *errorsOut = std::move(errors);
    return handles;
  }

  template <typename I>
  static ComPtr<I> As(IUnknown* from, REFIID iid, HRESULT* hr = nullptr) {
    ComPtr<I> to;
    const HRESULT r = from->QueryInterface(iid, reinterpret_cast<void**>(to.ReleaseAndGetAddressOf()));
    if (hr != nullptr) *hr = r;
    return to;
  }

  com::ApartmentGuard apartment_{COINIT_MULTITHREADED};
  bool replacedSpace_ = false;
  ComPtr<ISimulatorControl> control_;
};

inline std::string Narrow(const wchar_t* text) {
  std::string out;
  for (; text && *text; ++text) out += static_cast<char>(*text);
  return out;
}

}  // namespace krelta::simtest
