// The simulator seen from a test: its control object (which starts the simulator process and
// shares it with every server object the code under test creates), and its addresses.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "opc_da.h"
#include "opc_da_constants.h"
#include "platform/com/com_owners.h"
#include "simulator/control_client.h"
#include "simulator_control.h"

namespace krelta::testing {

constexpr const char* kSimulatorDA3Url =
    "opcda://localhost/OpcDAKrelta.Simulator.1/{DE186CF8-2426-4039-ACAB-729B0908B909}";
constexpr const char* kSimulatorDA2Url =
    "opcda://localhost/OpcDAKrelta.SimulatorDA2.1/{52A9AFA7-64CF-48D3-BE83-E59751905C0A}";

inline LONG Counter(ISimulatorControl* control, DWORD counter) {
  LONG value = -1;
  EXPECT_EQ(control->GetCounter(counter, &value), S_OK);
  return value;
}

// A test suite that shares one simulator process: the apartment and the control object live
// for the suite; each test starts and ends with every fault off.
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
  // earlier test was ending dies with it. Waits until server objects are made where a live
  // control object counts them (a stray process ends 1 s after its last object).
  static void JoinServerProcess() {
    for (int attempt = 0; attempt < 8; ++attempt) {
      LONG before = -1, after = -1;
      if (!*control_ || FAILED((*control_)->GetCounter(SIM_COUNTER_SERVERS_CREATED, &before))) {
        ::Sleep(500);
        sim::CreateSimulatorControl(*control_);
        continue;
      }
      com::ComPtr<IOPCServer> server;
      ::CoCreateInstance(CLSID_KreltaSimulatorDA3, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                         reinterpret_cast<void**>(server.GetAddressOf()));
      if (SUCCEEDED((*control_)->GetCounter(SIM_COUNTER_SERVERS_CREATED, &after)) && after > before) return;
      server.Reset();
      ::Sleep(1500);
    }
  }
  static void TearDownTestSuite() {
    delete control_;
    delete apartment_;
  }
  void SetUp() override {
    if (!*control_) JoinServerProcess();  // an earlier test ended the simulator
    ASSERT_TRUE(*control_) << "no simulator";
    Control()->ClearFaults();
  }
  void TearDown() override {
    if (*control_) Control()->ClearFaults();
  }
  static ISimulatorControl* Control() { return control_->Get(); }
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
