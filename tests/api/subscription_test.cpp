// Reads from the subscription mirror ("ReadFromSubscription" 1) end to end through the exports
// of the test build of the library (short refresh timing): the same cells as server reads with no
// server call, a write read back at once, notifications that stop, an Advise refused, and a reopen.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "data_fixture.h"

namespace krelta {
namespace {

using std::chrono::milliseconds;
using testing::ArrayOf;
using testing::Texts;

constexpr milliseconds kRefresh{300};

class Subscription : public testing::DataOperations {
 protected:
  Subscription() : DataOperations(testing::TestLibraryPath()) {}
  void SetUp() override {
    DataOperations::SetUp();
    SetRefreshTiming(kRefresh, kRefresh);
    testing::TestHook<void(uint32_t, uint32_t)>("krelta_test_setReconnectIntervals")(300, 1200);
    ASSERT_EQ(Control()->SetFault(SIM_FAULT_NOTIFY_PERIOD_MS, 50), S_OK);
  }
  void TearDown() override {
    SetRefreshTiming(milliseconds(0), milliseconds(0));
    DataOperations::TearDown();
  }
  static void SetRefreshTiming(milliseconds period, milliseconds answerWithin) {
    testing::TestHook<void(int32_t, int32_t)>("krelta_test_setRefreshTiming")(
        static_cast<int32_t>(period.count()), static_cast<int32_t>(answerWithin.count()));
  }
  void OpenSubscribed(const wchar_t* space, const std::vector<std::string>& branches) {
    Open(space, branches, [](ConnectionSettings& s) {
      s.SetArrayNodes({ArrayOf("V.Profile", {"a", "b", "c"}), ArrayOf("V.Short", {"s1", "s2", "s3"})});
      s.SetReadFromSubscription(true);
    });
  }
  // Whether a read of paths made no server call at all.
  bool ReadWithoutServerCall(const std::vector<std::string>& paths, Texts* values = nullptr) {
    const LONG calls = Counter(SIM_COUNTER_OPC_CALLS);
    Texts read = Read(paths);
    if (values != nullptr) *values = read;
    return Counter(SIM_COUNTER_OPC_CALLS) == calls;
  }
  bool SoonWithoutServerCall(const std::vector<std::string>& paths) {
    return testing::WaitUntil([&] { return ReadWithoutServerCall(paths); }, std::chrono::seconds(5));
  }
};

// The first read comes from the server (no notification is let through yet), the next ones from
// the mirror, filled by the refresh once notifications flow.
TEST_F(Subscription, GivesTheCellsAndTimesOfServerReadsWithoutAServerCall) {
  const std::vector<std::string> paths = {"V/I1", "V/UI4", "V/I8", "V/Flag", "V/Cost", "V/Dec", "V/Nan", "V/Inf",
                                          "V/Text", "V/Date", "V/Empty", "V/Ref", "V/Unknown", "V/Uncertain",
                                          "V/Failing", "V/Stamped", "V/Mixed", "V/Bad", "V/Profile/c",
                                          "V/Short/s1"};
  ASSERT_EQ(Control()->SetFault(SIM_FAULT_NOTIFICATIONS_STOPPED, 1), S_OK);
  OpenSubscribed(testing::kValueSpace, {"V"});
  const Texts fromServer = Read(paths);
  std::vector<std::uint32_t> times;
  for (const std::string& p : paths) times.push_back(UpdateTime(p));
  ASSERT_EQ(Control()->SetFault(SIM_FAULT_NOTIFICATIONS_STOPPED, 0), S_OK);
  ASSERT_TRUE(SoonWithoutServerCall(paths));
  for (std::size_t i = 0; i < paths.size(); ++i) EXPECT_EQ(times[i], UpdateTime(paths[i])) << paths[i];
  Texts fromMirror;
  ASSERT_TRUE(ReadWithoutServerCall(paths, &fromMirror));
  EXPECT_EQ(fromServer, fromMirror);
}

TEST_F(Subscription, AWriteReadsBackAtOnceAndStoppedOrRefusedNotificationsSendReadsToTheServer) {
  constexpr wchar_t kSpace[] = L"branch W\nitem X R8 1\nitem Y R8 2\n";
  OpenSubscribed(kSpace, {"W"});
  Read({"W/X", "W/Y"});
  ASSERT_TRUE(SoonWithoutServerCall({"W/X", "W/Y"}));
  // The written item comes from the server until a notification arrives after the write.
  ASSERT_EQ(Write({"W/X"}, {{"5"}}), KRELTA2_OK);
  const LONG reads = Counter(SIM_COUNTER_READ_CALLS);
  EXPECT_EQ(Read({"W/X", "W/Y"}), (Texts{"5", "2"}));
  EXPECT_EQ(Counter(SIM_COUNTER_LAST_READ_COUNT), 1);
  EXPECT_EQ(Counter(SIM_COUNTER_READ_CALLS), reads + 1);
  ASSERT_TRUE(SoonWithoutServerCall({"W/X", "W/Y"}));

  // Notifications stop: within a refresh period and its answer bound, reads go to the server;
  // back once they arrive again. Each change is logged once.
  const std::string stopped = "Data change notifications stopped arriving from localhost (OpcDAKrelta.Simulator.1); "
                              "values are read from the server until they do.";
  ASSERT_EQ(Control()->SetFault(SIM_FAULT_NOTIFICATIONS_STOPPED, 1), S_OK);
  EXPECT_TRUE(testing::WaitUntil([&] { return !ReadWithoutServerCall({"W/X"}) && Count("Warning", stopped) == 1; },
                                 std::chrono::seconds(5)));
  ASSERT_EQ(Control()->SetFault(SIM_FAULT_NOTIFICATIONS_STOPPED, 0), S_OK);
  EXPECT_TRUE(SoonWithoutServerCall({"W/X", "W/Y"}));
  EXPECT_EQ(Count("Warning", stopped), 1u);
  EXPECT_EQ(CountStarting("Information", "Data change notifications arrive again from localhost"), 1u);

  // A reopen after a shutdown request advises again.
  ASSERT_EQ(Control()->RequestShutdown(L"maintenance"), S_OK);
  EXPECT_TRUE(testing::WaitUntil([] { return Counter(SIM_COUNTER_DATA_SINKS) == 0; }, std::chrono::seconds(2)));
  Texts x;
  EXPECT_TRUE(testing::WaitUntil([&] { return TryRead({"W/X"}, x) == KRELTA2_OK && x == Texts{"5"}; },
                                 std::chrono::seconds(5)));
  EXPECT_EQ(Counter(SIM_COUNTER_DATA_SINKS), 1);
  EXPECT_TRUE(SoonWithoutServerCall({"W/X", "W/Y"}));
  // A write that finds the server gone closes the session, and its subscription, under the write.
  ASSERT_EQ(Control()->SetFault(SIM_FAULT_WRITE_RESULT, HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE)), S_OK);
  EXPECT_EQ(Write({"W/X"}, {{"6"}}), KRELTA2_FAILED);
  ASSERT_EQ(Control()->ClearFaults(), S_OK);
  EXPECT_TRUE(testing::WaitUntil([&] { return TryRead({"W/X"}, x) == KRELTA2_OK; }, std::chrono::seconds(5)));
  Close();

  // An Advise refused: one Warning, every read from the server.
  ASSERT_EQ(Control()->SetFault(SIM_FAULT_DATA_ADVISE_RESULT, E_ACCESSDENIED), S_OK);
  OpenSubscribed(kSpace, {"W"});
  Read({"W/X"});
  EXPECT_FALSE(ReadWithoutServerCall({"W/X"}));
  EXPECT_EQ(CountStarting("Warning", "The server localhost (OpcDAKrelta.Simulator.1) refused the data change subscription"), 1u);
}

}  // namespace
}  // namespace krelta
