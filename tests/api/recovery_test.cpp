// Recovery from a lost server, end to end through the exports of the test build of the library
// (short reconnect intervals and call bounds; the defaults are proven by their own tests): a
// shutdown request, a server process that ends and comes back, one that never comes back, and
// one that stops answering.
#include <windows.h>
#include <psapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "data_fixture.h"
#include "opcda/format_result.h"
#include "simulator/address_space.h"

namespace krelta {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using testing::Texts;

constexpr milliseconds kFirstInterval{300};
constexpr milliseconds kLongestInterval{1200};
// Far below any RPC time-out, far above the cost of a read on a busy 2-core machine (the
// benchmark measures the real cost).
constexpr milliseconds kNoWait{250};
constexpr const wchar_t kSpace[] = L"branch R\nitem X R8 1\nitem Y R8 2\n";
constexpr HRESULT kServerUnavailable = HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE);

class Recovery : public testing::DataOperations {
 protected:
  Recovery() : DataOperations(testing::TestLibraryPath()) {}
  void SetUp() override {
    DataOperations::SetUp();
    testing::TestHook<void(uint32_t, uint32_t)>("krelta_test_setReconnectIntervals")(
        static_cast<uint32_t>(kFirstInterval.count()), static_cast<uint32_t>(kLongestInterval.count()));
    SetCallTimeout(milliseconds(-1));
  }
  static void SetCallTimeout(milliseconds bound) {
    testing::TestHook<void(int32_t)>("krelta_test_setCallTimeout")(static_cast<int32_t>(bound.count()));
  }
  static int32_t SessionThreads() { return testing::TestHook<int32_t()>("krelta_test_sessionThreads")(); }
  static bool SessionThreadsDropTo(int32_t n, milliseconds limit) {
    return testing::WaitUntil([n] { return SessionThreads() <= n; }, limit);
  }
  // Reads every 20 ms for span; each but the first (whose own call may wait the bound) must
  // return within 100 ms. Returns how many of those succeeded.
  int ReadsNeverWait(milliseconds span) {
    int succeeded = 0;
    const auto start = Clock::now();
    for (bool first = true; Clock::now() - start < span; first = false) {
      Texts ignored;
      const auto read = Clock::now();
      succeeded += TryRead({"R/X"}, ignored) == KRELTA2_OK && !first;
      EXPECT_TRUE(first || Clock::now() - read < milliseconds(100));
      std::this_thread::sleep_for(milliseconds(20));
    }
    return succeeded;
  }
};

TEST_F(Recovery, AfterAShutdownRequestReadsAndWritesComeBackWithItemsAddedAfresh) {
  Open(kSpace, {"R"});
  ASSERT_EQ(Read({"R/X", "R/Y"}), (Texts{"1", "2"}));
  for (const bool writeFirst : {false, true}) {
    SCOPED_TRACE(writeFirst);
    const LONG added = Counter(SIM_COUNTER_ITEMS_ADDED), groups = Counter(SIM_COUNTER_GROUPS_ADDED);
    ASSERT_EQ(Control()->RequestShutdown(L"maintenance"), S_OK);
    // The request only hands the close to the session's thread, which removes the group after
    // the request has returned.
    EXPECT_TRUE(testing::WaitUntil([] { return Counter(SIM_COUNTER_GROUPS_LIVE) == 0; }, milliseconds(2000)));
    // Reads and writes fail at once while the server is away.
    const auto start = Clock::now();
    Read({"R/X"}, KRELTA2_FAILED);
    EXPECT_LT(Clock::now() - start, kNoWait);
    EXPECT_EQ(host::NewestStandaloneLogEntry(),
              "krelta2_connectionReadCurrentData: Operation failed (Could not read data.).");
    EXPECT_EQ(Write({"R/X"}, {{"7"}}), KRELTA2_FAILED);
    // The first call after the interval starts the reopen on the session's own thread and fails
    // as while away; a later one uses the session once it has answered.
    std::this_thread::sleep_for(kFirstInterval);
    Texts ignored;
    ASSERT_TRUE(testing::WaitUntil([&] {
      return (writeFirst ? Write({"R/Y"}, {{"5"}}) : TryRead({"R/X"}, ignored)) == KRELTA2_OK;
    }, milliseconds(2000)));
    // The write issued while the server was away is not replayed.
    EXPECT_EQ(Read({"R/X", "R/Y"}), (Texts{"1", writeFirst ? "5" : "2"}));
    EXPECT_EQ(Counter(SIM_COUNTER_GROUPS_ADDED) - groups, 1);
    EXPECT_EQ(Counter(SIM_COUNTER_ITEMS_ADDED) - added, 2);
  }
  EXPECT_EQ(CountStarting("Warning", "Reconnected to server localhost (OpcDAKrelta.Simulator.1) after "), 2u);
}

LONG HandleCount() {
  DWORD handles = 0;
  ::GetProcessHandleCount(::GetCurrentProcess(), &handles);
  return static_cast<LONG>(handles);
}

SIZE_T CommittedBytes() {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  ::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters);
  return counters.PagefileUsage;  // Wine leaves PrivateUsage at 0
}

TEST_F(Recovery, AServerProcessThatEndsAndComesBackIsUsedAgainTenTimesWithoutLeaks) {
  // The built-in space: every new simulator process serves it.
  Open(sim::kDefaultAddressSpace, {"Plant.Line1"});
  ASSERT_EQ(Read({"Plant.Line1/Speed"}), Texts{"1200"});
  LONG handles = 0;
  SIZE_T committed = 0;
  for (int cycle = 0; cycle < 10; ++cycle) {
    SCOPED_TRACE(cycle);
    const LONG oldProcess = Counter(SIM_COUNTER_PROCESS_ID);
    // The process revokes its class objects and ends inside the next call.
    ASSERT_EQ(Control()->SetFault(SIM_FAULT_EXIT_IN_CALL, 1), S_OK);
    ForgetControl();
    auto start = Clock::now();
    EXPECT_EQ(Read({"Plant.Line1/Speed"}), Texts{"null"});  // the read that finds the server gone
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    start = Clock::now();
    Read({"Plant.Line1/Speed"}, KRELTA2_FAILED);
    EXPECT_LT(Clock::now() - start, kNoWait);
    // A new process serves the classes again (the one server objects are made in).
    ReconnectControl();
    ASSERT_TRUE(Control());
    JoinServerProcess();
    ASSERT_NE(Counter(SIM_COUNTER_PROCESS_ID), oldProcess);
    // Back within one retry interval of the server's return (and the reopen's own calls).
    Texts values;
    testing::WaitUntil([&] { return TryRead({"Plant.Line1/Speed"}, values) == KRELTA2_OK; },
                       kFirstInterval + milliseconds(1000));
    EXPECT_EQ(values, Texts{"1200"});
    if (cycle == 1) {
      handles = HandleCount();
      committed = CommittedBytes();
    }
  }
  EXPECT_LE(HandleCount() - handles, 8);
  EXPECT_LT(CommittedBytes(), committed + 2 * 1024 * 1024);
  EXPECT_EQ(CountStarting("Error", "IOPCSyncIO::Read failed: "), 10u);
}

TEST_F(Recovery, AServerThatNeverComesBackIsTriedOnTheBackOffScheduleAndNeverWaitedOn) {
  Open(kSpace, {"R"});
  ASSERT_EQ(Read({"R/X"}), Texts{"1"});
  // What Wine shows of a server process killed outright: every call on its proxies and every
  // later creation answers 0x800706BA at once.
  ASSERT_EQ(Control()->SetFault(SIM_FAULT_DEAD_RESULT, kServerUnavailable), S_OK);
  ASSERT_EQ(Control()->SetFault(SIM_FAULT_CREATE_RESULT, kServerUnavailable), S_OK);
  const LONG creations = Counter(SIM_COUNTER_SERVER_CREATE_CALLS), dead = Counter(SIM_COUNTER_DEAD_CALLS);
  EXPECT_EQ(Read({"R/X"}), Texts{"null"});
  const auto lost = Clock::now();
  // The session was closed without further calls: no RemoveItems, RemoveGroup or Unadvise.
  EXPECT_EQ(Counter(SIM_COUNTER_DEAD_CALLS), dead + 1);

  // Attempts due 0.3, 0.9 (+0.6), 2.1 (+1.2) and 3.3 s (+1.2, the cap) after the loss.
  Clock::duration slowest{};
  while (Clock::now() - lost < milliseconds(3900)) {
    const auto start = Clock::now();
    Read({"R/X"}, KRELTA2_FAILED);
    slowest = std::max(slowest, Clock::now() - start);
    std::this_thread::sleep_for(milliseconds(10));
  }
  // No read waits on the server; an attempt costs a probe and a creation (10-30 ms here).
  EXPECT_LT(slowest, kNoWait);
  EXPECT_EQ(Counter(SIM_COUNTER_SERVER_CREATE_CALLS) - creations, 4);
  EXPECT_EQ(Counter(SIM_COUNTER_DEAD_CALLS), dead + 1);
  EXPECT_EQ(CountStarting("Error", "IOPCSyncIO::Read failed: " + FormatResult(kServerUnavailable) +
                                     ". The server is gone: the session is closed and opened "
                                     "again by a later read or write."),
            1u);
  EXPECT_EQ(CountStarting("Error", "Could not reconnect to server "), 4u);
  EXPECT_EQ(Count("Error", "Could not reconnect to server localhost (OpcDAKrelta.Simulator.1): "
                           "CoCreateInstanceEx failed: " + FormatResult(kServerUnavailable) +
                           ". Next attempt in 1.2 s."),
            3u);  // the cap

  // The server comes back: the next due attempt succeeds and the schedule starts over.
  Control()->ClearFaults();
  Texts values;
  testing::WaitUntil([&] { return TryRead({"R/X"}, values) == KRELTA2_OK; }, kLongestInterval * 2);
  EXPECT_EQ(values, Texts{"1"});
}

TEST_F(Recovery, ACallThatOutlivesTheBoundCostsTheHostTheBoundOnceAndItsThreadEndsAfterIt) {
  constexpr milliseconds kBound{300}, kStuck{1500};
  Open(kSpace, {"R"});  // with the default bound: the first creation starts the simulator
  SetCallTimeout(kBound);
  ASSERT_EQ(Read({"R/X"}), Texts{"1"});
  ASSERT_EQ(SessionThreads(), 1);
  ASSERT_EQ(Control()->SetFault(SIM_FAULT_CALL_DELAY_MS, static_cast<LONG>(kStuck.count())), S_OK);
  const auto stuckSince = Clock::now();
  EXPECT_EQ(Read({"R/X"}), Texts{"null"});  // as the read that finds a dead server
  EXPECT_LT(Clock::now() - stuckSince, kBound + milliseconds(500));
  ASSERT_EQ(Control()->ClearFaults(), S_OK);  // the call under way keeps waiting
  EXPECT_EQ(Count("Error", "The server did not answer IOPCSyncIO::Read within 0.3 s: the session is "
                           "abandoned and opened again later."),
            1u);
  for (int i = 0; i < 3; ++i) {
    const auto start = Clock::now();
    Read({"R/X"}, KRELTA2_FAILED);
    EXPECT_LT(Clock::now() - start, milliseconds(50));
  }
  EXPECT_EQ(Write({"R/X"}, {{"5"}}), KRELTA2_FAILED);
  // A new session once the interval has passed, while the abandoned thread still waits.
  Texts values;
  testing::WaitUntil([&] { return TryRead({"R/X"}, values) == KRELTA2_OK; },
                     kStuck - (Clock::now() - stuckSince));
  EXPECT_EQ(values, Texts{"1"});
  if (Clock::now() - stuckSince < kStuck - milliseconds(200)) {
    EXPECT_EQ(SessionThreads(), 2);
  }
  // The stuck call returns: its thread lets go and ends by itself.
  EXPECT_TRUE(SessionThreadsDropTo(1, kStuck + milliseconds(2000)));
  Close();
  EXPECT_TRUE(SessionThreadsDropTo(0, milliseconds(2000)));
}

TEST_F(Recovery, StuckCallsAreCappedPerServerAndNoReadWaitsForAReopen) {
  const std::string refused = "2 calls to localhost (OpcDAKrelta.Simulator.1) have not returned; not "
                              "opened again until one does";
  for (const bool shutdownFirst : {false, true}) {
    SCOPED_TRACE(shutdownFirst);
    Open(kSpace, {"R"});
    SetCallTimeout(milliseconds(200));
    ASSERT_EQ(Read({"R/X"}), Texts{"1"});
    ASSERT_EQ(Control()->SetFault(SIM_FAULT_CALL_DELAY_MS, 2500), S_OK);
    // A shutdown request whose orderly close then hangs: the retired thread counts as stuck.
    if (shutdownFirst) {
      ASSERT_EQ(Control()->RequestShutdown(L"maintenance"), S_OK);
    }
    // Each due reopen runs on a new thread whose creation outlives the bound, until two are stuck.
    EXPECT_EQ(ReadsNeverWait(milliseconds(2000)), 0);
    EXPECT_LE(SessionThreads(), 2);
    EXPECT_GE(Count("Error", "Could not reconnect to server localhost (OpcDAKrelta.Simulator.1): " +
                                 refused + ". Next attempt in 1.2 s."),
              1u);
    EXPECT_EQ(Control()->ClearFaults(), S_OK);
    Close();
    ASSERT_TRUE(SessionThreadsDropTo(0, milliseconds(5000)));
  }
  // Six opens of a hung server racing from six host threads: two threads wait in its creation,
  // the others wait for those to turn out stuck and are refused.
  Open(kSpace, {"R"});
  Close();
  SetCallTimeout(milliseconds(200));
  ASSERT_EQ(Control()->SetFault(SIM_FAULT_CALL_DELAY_MS, 2500), S_OK);
  std::vector<std::thread> opens;
  for (int i = 0; i < 6; ++i) {
    opens.emplace_back([this] {
      const auto start = Clock::now();
      krelta2_connection other = nullptr;
      EXPECT_EQ(dll_.krelta2_connectionOpen(name_.c_str(), &other), KRELTA2_FAILED);
      EXPECT_LT(Clock::now() - start, milliseconds(1000));
    });
  }
  for (std::thread& open : opens) open.join();
  EXPECT_EQ(SessionThreads(), 2);
  EXPECT_EQ(Count("Error", "The server is not opened: " + refused + "."), 4u);
  EXPECT_EQ(Control()->ClearFaults(), S_OK);
  ASSERT_TRUE(SessionThreadsDropTo(0, milliseconds(5000)));
  // Four sessions closed after their server hung: two closes wait the bound and leave their
  // threads in its calls; the others ask the server nothing and their threads end.
  std::vector<krelta2_connection> sessions(4, nullptr);
  for (krelta2_connection& c : sessions) ASSERT_EQ(dll_.krelta2_connectionOpen(name_.c_str(), &c), KRELTA2_OK);
  ASSERT_EQ(Control()->SetFault(SIM_FAULT_CALL_DELAY_MS, 2500), S_OK);
  for (krelta2_connection c : sessions) EXPECT_EQ(dll_.krelta2_connectionClose(c), KRELTA2_OK);
  EXPECT_TRUE(SessionThreadsDropTo(2, milliseconds(1000)));
  EXPECT_EQ(Count("Warning", "The session is closed without removing its group: the server has not "
                             "answered other calls."),
            2u);
  EXPECT_EQ(Control()->ClearFaults(), S_OK);
  EXPECT_TRUE(SessionThreadsDropTo(0, milliseconds(5000)));
}

TEST_F(Recovery, EachBrowseCallIsBoundedNotTheWholeListingAndAStuckOneFailsTheOpen) {
  const wchar_t space[] = L"branch R\nitem A R8 1\nitem B R8 1\nitem C R8 1\nitem D R8 1\nitem E R8 1\n"
                          L"item F R8 1\n";
  SetCallTimeout(milliseconds(300));
  // One element per page, each call 100 ms: the listing takes twice the bound.
  Control()->SetFault(SIM_FAULT_BROWSE_PAGE, 1);
  Control()->SetFault(SIM_FAULT_BROWSE_DELAY_MS, 100);
  Open(space, {"R"});
  EXPECT_EQ(tags_.size(), 6u);
  Close();
  Control()->SetFault(SIM_FAULT_BROWSE_DELAY_MS, 500);
  EXPECT_EQ(dll_.krelta2_connectionOpen(name_.c_str(), &connection_), KRELTA2_FAILED);
  EXPECT_EQ(host::NewestStandaloneLogEntry(),
            "krelta2_connectionOpen: Operation failed (The items of node R were not listed: the "
            "server did not answer IOPCBrowse::Browse within the call bound.).");
  EXPECT_TRUE(SessionThreadsDropTo(0, milliseconds(3000)));
}

}  // namespace
}  // namespace krelta
