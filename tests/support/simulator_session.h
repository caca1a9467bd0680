// The simulator seen from a test: its control object (which starts the simulator process and
// shares it with every server object the code under test creates), and its addresses.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "opc_da.h"
#include "opc_da_constants.h"
#include "platform/com/com_owners.h"
#include "simulator/address_space.h"
#include "simulator/control_client.h"
#include "simulator_control.h"

namespace krelta::testing {

constexpr const char* kSimulatorDA3Url =
    "opcda://localhost/OpcDAKrelta.Simulator.1/{DE186CF8-2426-4039-ACAB-729B0908B909}";
constexpr const char* kSimulatorDA2Url =
    "opcda://localhost/OpcDAKrelta.SimulatorDA2.1/{52A9AFA7-64CF-48D3-BE83-E59751905C0A}";

// Polls done every 10 ms until it answers true (then true) or limit has passed (then false).
template <typename Done>
bool WaitUntil(Done&& done, std::chrono::steady_clock::duration limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

inline LONG Counter(ISimulatorControl* control, DWORD counter) {
  LONG value = -1;
  EXPECT_EQ(control->GetCounter(counter, &value), S_OK);
  return value;
}

// A test suite that shares one simulator process: the apartment and the control object live
// for the suite; each test starts and ends with every fault off and the built-in address space
// (the process outlives test programs, and other programs expect it so).
class SimulatorSuite : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    apartment_ = new com::ApartmentGuard();
    control_ = new com::ComPtr<ISimulatorControl>();
    JoinServerProcess();
    EXPECT_TRUE(*control_) << "the simulator is not registered in this prefix";
  }
  // On a cold prefix Wine may start a second simulator process for the first server object,
  // one the control object does not reach; and a control object made while the simulator of an
  // earlier program was ending dies with it. Polls until server objects are made where a live
  // control object counts them (a stray process ends after its linger time).
  static void JoinServerProcess() {
    const ULONGLONG deadline = ::GetTickCount64() + 30000;
    do {
      LONG before = -1, after = -1;
      if (!*control_ || FAILED((*control_)->GetCounter(SIM_COUNTER_SERVERS_CREATED, &before))) {
        if (sim::CreateSimulatorControl(*control_) == REGDB_E_CLASSNOTREG) break;
        continue;
      }
      com::ComPtr<IOPCServer> server;
      ::CoCreateInstance(CLSID_KreltaSimulatorDA3, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                         reinterpret_cast<void**>(server.GetAddressOf()));
      if (SUCCEEDED((*control_)->GetCounter(SIM_COUNTER_SERVERS_CREATED, &after)) && after > before) return;
      server.Reset();
      // A control object in an ending process that still serves late clients (its class
      // objects revoked) would keep that process alive while held: make a new one.
      control_->Reset();
      ::Sleep(200);
    } while (::GetTickCount64() < deadline);
    control_->Reset();
  }
  static void TearDownTestSuite() {
    delete control_;
    delete apartment_;
  }
  void SetUp() override {
    if (!*control_) JoinServerProcess();  // an earlier test ended the simulator
    ASSERT_TRUE(*control_) << "no simulator";
    ASSERT_EQ(Reset(), S_OK);
  }
  // Leaves the simulator as the next program expects it.
  void TearDown() override {
    if (*control_) Reset();
  }
  static HRESULT Reset() {
    Control()->ClearFaults();
    com::Bstr error;
    return Control()->LoadAddressSpace(sim::kDefaultAddressSpace, error.put());
  }
  static ISimulatorControl* Control() { return control_->Get(); }
  // Serves text as the address space.
  static void Load(const wchar_t* text) {
    com::Bstr error;
    ASSERT_EQ(Control()->LoadAddressSpace(text, error.put()), S_OK);
  }
  // After the simulator process ended: the next test starts a new one.
  static void ForgetControl() { control_->Reset(); }
  // After the simulator process ended: reaches (or starts) the process serving the classes now.
  static void ReconnectControl() {
    control_->Reset();
    JoinServerProcess();
  }

 private:
  inline static com::ApartmentGuard* apartment_ = nullptr;
  inline static com::ComPtr<ISimulatorControl>* control_ = nullptr;
};

}  // namespace krelta::testing
