// A host frees the library after closing a connection whose server kept the shutdown sink (its
// Unadvise failed, as when the server died): the server's later call and Release of that sink
// must not reach the freed library's code, and the library must still unload. The same after a
// close that found the server dead.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "config/connection_settings.h"
#include "host/library.h"
#include "log/log_file.h"
#include "support/simulator_session.h"

namespace krelta {
namespace {

constexpr HRESULT kServerUnavailable = HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE);

class LibraryUnload : public testing::SimulatorSuite {
 protected:
  // Loads the library, opens a connection to the simulator, sets fault to value, closes the
  // connection (within 2 s) and frees the library.
  void OpenAndCloseWith(const char* name, DWORD fault, HRESULT value,
                        std::chrono::milliseconds closeLimit = std::chrono::seconds(2)) {
    // The library's own copy of the data folder is the prefix's real one.
    ASSERT_TRUE(CreateDirectoryPath(ApplicationDataFolder()));
    ConnectionSettings settings(name);
    settings.SetUrl(testing::kSimulatorDA3Url);
    settings.SetCallTimeoutSeconds(1);
    ASSERT_TRUE(settings.WriteConfiguration());
    host::Library dll;
    ASSERT_TRUE(dll.Loaded());
    krelta2_connection connection = nullptr;
    ASSERT_EQ(dll.krelta2_connectionOpen(name, &connection), KRELTA2_OK);
    Control()->SetFault(fault, value);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(dll.krelta2_connectionClose(connection), KRELTA2_OK);
    EXPECT_LT(std::chrono::steady_clock::now() - start, closeLimit);
  }
  static void ExpectUnloaded(std::chrono::seconds limit = std::chrono::seconds(3)) {
    EXPECT_TRUE(testing::WaitUntil([] { return ::GetModuleHandleA("OpcDAKrelta.dll") == nullptr; }, limit))
        << "a pin kept the library";
  }
};

TEST_F(LibraryUnload, ASinkTheServerKeptNeverReachesTheFreedLibrary) {
  OpenAndCloseWith("sink-unload", SIM_FAULT_UNADVISE_RESULT, kServerUnavailable);
  EXPECT_EQ(testing::Counter(Control(), SIM_COUNTER_KEPT_SINKS), 1);
  ExpectUnloaded();
  // The server calls the sink it kept, then releases it: neither reaches the library's code.
  // The sink's stub is gone, so Wine answers "unknown interface" (a call into the freed code
  // would come back as a fault of the server side).
  EXPECT_EQ(Control()->RequestShutdown(L"late"), HRESULT_FROM_WIN32(RPC_S_UNKNOWN_IF));
  EXPECT_EQ(Control()->ClearFaults(), S_OK);
  EXPECT_EQ(testing::Counter(Control(), SIM_COUNTER_KEPT_SINKS), 0);
}

TEST_F(LibraryUnload, ClosingWhileTheServerIsDeadMakesOneCallAndTheLibraryUnloads) {
  // Every call answers as a killed server's proxies do under Wine.
  const LONG dead = testing::Counter(Control(), SIM_COUNTER_DEAD_CALLS);
  OpenAndCloseWith("dead-unload", SIM_FAULT_DEAD_RESULT, kServerUnavailable);
  // RemoveGroup found the server gone; Unadvise was not tried.
  EXPECT_EQ(testing::Counter(Control(), SIM_COUNTER_DEAD_CALLS), dead + 1);
  ExpectUnloaded();
}

TEST_F(LibraryUnload, ACloseThatOutlivesTheBoundReturnsAndTheLibraryUnloadsOnceTheCallReturned) {
  // The configured bound of 1 s; RemoveGroup takes 3 s.
  OpenAndCloseWith("stuck-unload", SIM_FAULT_CALL_DELAY_MS, 3000, std::chrono::milliseconds(1500));
  // Freed by the host, the library stays loaded while the session's thread waits in the call.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_NE(::GetModuleHandleA("OpcDAKrelta.dll"), nullptr);
  Control()->ClearFaults();
  ExpectUnloaded(std::chrono::seconds(6));
}

}  // namespace
}  // namespace krelta
