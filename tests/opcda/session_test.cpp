// The proxy's session against the simulator, out of process through the proxy/stub: creation,
// the group, the shutdown sink, each fault of the open and close paths with its message,
// channel and level, and the server's shutdown requests.
#include <gtest/gtest.h>

#include <olectl.h>

#include <chrono>
#include <cstdio>
#include <thread>
#include <tuple>

#include "opcda/browse.h"
#include "opcda/format_result.h"
#include "proxy_suite.h"
#include "support/host_thread.h"

namespace krelta {
namespace {

using testing::HasEntry;
using testing::LogEntry;

class Session : public testing::ProxySuite {};

// Adds items of the default space to the proxy's group.
void AddItems(OpcDaProxy& proxy, std::vector<std::string> ids) {
  ASSERT_EQ(proxy.AddItems(ids).outcome, OpcDaProxy::AddedHandles::kAdded);
}

// The group's removal on close, and the shutdown sink: the fault table and the shutdown tests.
TEST_F(Session, OpensWithAnyFormOfTheLocalHostAndAddsThePrivateGroup) {
  for (const std::string host : {"", "localhost", "LOCALHOST"}) {
    auto proxy = Configured("opcda://" + host + "/OpcDAKrelta.Simulator.1/{DE186CF8-2426-4039-ACAB-729B0908B909}");
    ASSERT_TRUE(proxy->Open()) << host;
    EXPECT_TRUE(HasEntry(Opcda(), "Information", "Server " + host + " () connected."));
    com::Bstr name;
    DWORD rate = 0;
    BOOL active = FALSE;
    ASSERT_EQ(Control()->GetLastGroup(name.put(), &rate, &active), S_OK);
    EXPECT_EQ(std::make_tuple(std::wstring(name.get()), rate, active),
              std::make_tuple(std::wstring(L"KRELTAGroup"), 5000ul, TRUE));
  }
  const std::vector<LogEntry> connection = Connection();
  EXPECT_TRUE(HasEntry(connection, "Information", "Initiating proxy."));
  EXPECT_TRUE(HasEntry(connection, "Information", "Open OPC Server."));
}

// Opens that fail; a second open that creates nothing; client handles unique within the session,
// a failed item's included.
TEST_F(Session, FailedOpensASecondOpenAndClientHandles) {
  OpcDaProxy unconfigured(".", log_);
  EXPECT_FALSE(unconfigured.Open());
  EXPECT_FALSE(HasEntry(Connection(), "Information", "Open OPC Server."));
  EXPECT_FALSE(Configured("opcda://localhost/Nobody.1/{00000000-1111-2222-3333-444444444444}")->Open());
  EXPECT_TRUE(HasEntry(Opcda(), "Error", "CoCreateInstanceEx failed: " + FormatResult(REGDB_E_CLASSNOTREG)));

  auto proxy = Configured();
  ASSERT_TRUE(proxy->Open());
  const LONG servers = Count(SIM_COUNTER_SERVERS_CREATED), groups = Count(SIM_COUNTER_GROUPS_ADDED);
  EXPECT_TRUE(proxy->Open());
  EXPECT_EQ(Count(SIM_COUNTER_SERVERS_CREATED), servers);
  EXPECT_EQ(Count(SIM_COUNTER_GROUPS_ADDED), groups);

  const LONG duplicates = Count(SIM_COUNTER_DUPLICATE_CLIENT_HANDLES);
  const OpcDaProxy::AddedHandles first =
      proxy->AddItems({"Plant.Line1.Temperature", "Plant.Nowhere", "Plant.Line1.Speed"});
  ASSERT_EQ(first.outcome, OpcDaProxy::AddedHandles::kAdded);
  EXPECT_FALSE(first.handles[1].has_value());
  AddItems(*proxy, {"Plant.Line1.Pressure"});
  EXPECT_EQ(Count(SIM_COUNTER_DUPLICATE_CLIENT_HANDLES), duplicates);
}

// Each fault of the open and close paths, and shutdown requests the server makes from inside
// Advise, RemoveGroup and Unadvise: whether the session opens, that no group is left, the entries
// naming the call (level, channel, the message up to the server's result). A missing shutdown
// sink is one Critical entry; a sink that exists but is not advised is none.
TEST_F(Session, FaultsOfOpenAndCloseAreLoggedWithTheCallThatFailed) {
  struct Entry {
    bool connectionLog;  // else the OPCDA log
    const char* level;
    const char* start;
  };
  const struct {
    const char* what;
    std::vector<std::pair<DWORD, LONG>> faults;
    bool onClose, opens, critical;
    std::vector<Entry> entries;
  } rows[] = {
      {"group refused", {{SIM_FAULT_ADDGROUP_RESULT, E_OUTOFMEMORY}}, false, false, true,
       {{false, "Error", "IOPCServer::AddGroup failed: "},
        // The connection point is asked for after the failed group too, and finds no server.
        {false, "Error", "OpcDaProxy::GetShutdownConnectionPoint: GetServerConnectionPointContainer() failed: "}}},
      {"null group", {{SIM_FAULT_ADDGROUP_NULL, 1}}, false, false, true,
       {{false, "Error", "IOPCServer::AddGroup succeeded but returned null interface pointer"}}},
      {"no connection points", {{SIM_FAULT_NO_CONTAINER, 1}}, false, true, true,
       {{false, "Error", "OpcDaProxy::GetShutdownConnectionPoint: GetServerConnectionPointContainer() failed: "},
        {false, "Error", "OpcDaProxy::Open: GetShutdownConnectionPoint() failed: "}}},
      {"no shutdown point", {{SIM_FAULT_NO_SHUTDOWN_POINT, 1}}, false, true, true,
       {{false, "Error", "OpcDaProxy::GetShutdownConnectionPoint: FindConnectionPoint() failed: "}}},
      {"Advise refused", {{SIM_FAULT_ADVISE_RESULT, CONNECT_E_ADVISELIMIT}}, false, true, false,
       {{false, "Error", "OpcDaProxy::GetShutdownConnectionPoint: Advise() failed: "},
        {false, "Error", "OpcDaProxy::Open: GetShutdownConnectionPoint() failed: "}}},
      // The request reaches the session being opened, which does not stay open.
      {"shutdown during Advise", {{SIM_FAULT_SHUTDOWN_IN_CALL, 4}}, false, false, false,
       {{false, "Critical", "OpcShutdown::ShutdownRequest: shutdown during Advise."}}},
      {"removal partly failed", {{SIM_FAULT_REMOVEITEMS_RESULT, S_FALSE}}, true, true, false,
       {{true, "Warning", "IOPCItemMgt::RemoveItems partially failed, result: Success (0x00000001)"}}},
      {"an item's removal failed", {{SIM_FAULT_REMOVEITEMS_RESULT, S_FALSE}, {SIM_FAULT_REMOVEITEMS_ITEM_ERROR, 1}},
       true, true, false,
       {{true, "Warning", "IOPCItemMgt::RemoveItems partially failed, result: Success (0x00000001)\nItem 0 failed: "}}},
      {"removals refused", {{SIM_FAULT_REMOVEITEMS_RESULT, E_FAIL}, {SIM_FAULT_REMOVEGROUP_RESULT, E_ACCESSDENIED}},
       true, true, false,
       {{true, "Error", "IOPCItemMgt::RemoveItems failed: "}, {true, "Error", "IOPCServer::RemoveGroup failed: "}}},
      {"shutdown during RemoveGroup", {{SIM_FAULT_SHUTDOWN_IN_CALL, 1}}, true, true, false,
       {{false, "Critical", "OpcShutdown::ShutdownRequest: shutdown during RemoveGroup."}}},
      {"shutdown during Unadvise", {{SIM_FAULT_SHUTDOWN_IN_CALL, 2}}, true, true, false,
       {{false, "Critical", "OpcShutdown::ShutdownRequest: shutdown during Unadvise."}}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    std::remove(log_.Path().c_str());
    std::remove(folder_.File("OPCDAKreltaLog.log").c_str());
    // Nothing before the close removes a group on the close rows.
    const LONG groups = Count(SIM_COUNTER_GROUPS_LIVE), groupRemovals = Count(SIM_COUNTER_REMOVEGROUP_CALLS);
    auto proxy = Configured();
    if (row.onClose) {
      ASSERT_TRUE(proxy->Open());
      AddItems(*proxy, {"Plant.Line1.Temperature", "Plant.Line1.Speed"});
    }
    for (const auto& [fault, value] : row.faults) Control()->SetFault(fault, value);
    if (!row.onClose) {
      EXPECT_EQ(proxy->Open(), row.opens);
    }
    testing::RunOnHostThread([&] { proxy->Close(); }, 20000);  // a deadlock ends the binary
    Control()->ClearFaults();
    EXPECT_FALSE(proxy->IsConnected());
    EXPECT_EQ(Count(SIM_COUNTER_GROUPS_LIVE), groups);  // every group released, a refused one too
    if (row.onClose) {
      EXPECT_EQ(Count(SIM_COUNTER_REMOVEGROUP_CALLS), groupRemovals + 1) << "close goes on";
    }
    for (const Entry& e : row.entries) {
      EXPECT_EQ(testing::CountStartingWith(e.connectionLog ? Connection() : Opcda(), e.level, e.start), 1u) << e.start;
    }
    EXPECT_EQ(testing::CountStartingWith(Connection(), "Critical", "Failed to get shutdown object"),
              row.critical ? 1u : 0u);
  }
}

TEST_F(Session, ShutdownRequestDuringALongCallReturnsAtOnceAndClosesTheSessionAfterIt) {
  auto proxy = Configured();
  ASSERT_TRUE(proxy->Open());
  AddItems(*proxy, {"Plant.Line1.Temperature"});
  // A slow call holds the session thread; the request is only handed to it.
  Control()->SetFault(SIM_FAULT_CALL_DELAY_MS, 800);
  std::chrono::steady_clock::duration requestTook{};
  std::thread request([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    com::ApartmentGuard apartment;
    const auto start = std::chrono::steady_clock::now();
    Control()->RequestShutdown(L"overlap");
    requestTook = std::chrono::steady_clock::now() - start;
  });
  // The answer that came back after the request is not used.
  EXPECT_EQ(proxy->AddItems({"Plant.Line1.Speed"}).outcome, OpcDaProxy::AddedHandles::kClosed);
  request.join();
  Control()->ClearFaults();
  EXPECT_LT(requestTook, std::chrono::milliseconds(500));
  EXPECT_FALSE(proxy->IsConnected());
}

TEST_F(Session, ShutdownRequestsNeverCallTheServerFromInsideTheRequest) {
  // A server that holds back RemoveItems, RemoveGroup and Unadvise until its request returned.
  testing::RunOnHostThread([&] {
    auto proxy = Configured();
    ASSERT_TRUE(proxy->Open());
    AddItems(*proxy, {"Plant.Line1.Temperature"});
    const LONG groups = Count(SIM_COUNTER_GROUPS_LIVE);
    Control()->SetFault(SIM_FAULT_SERIALISED_SHUTDOWN, 1);
    EXPECT_EQ(Control()->RequestShutdown(L"serialised"), S_OK);
    EXPECT_FALSE(proxy->IsConnected());
    // Closed after the request returned.
    EXPECT_TRUE(testing::WaitUntil([&] { return Count(SIM_COUNTER_GROUPS_LIVE) == groups - 1; },
                                   std::chrono::seconds(2)));
  }, 20000);  // a deadlock ends the binary
}

TEST_F(Session, AListingAfterALossWaitsForTheRetrySchedule) {
  using std::chrono::milliseconds;
  OpcDaProxy::SetReconnectIntervalsForTesting(milliseconds(400), milliseconds(400));
  auto proxy = Configured();
  OpcDaProxy::SetReconnectIntervalsForTesting(ReconnectSchedule::kFirstInterval,
                                              ReconnectSchedule::kLongestInterval);
  ASSERT_TRUE(proxy->Open());
  ASSERT_EQ(Control()->RequestShutdown(L"listing"), S_OK);
  const LONG servers = Count(SIM_COUNTER_SERVERS_CREATED);
  EXPECT_TRUE(GetItems(*proxy, "Plant.Line1", "").empty());  // within the interval: no server made
  EXPECT_EQ(Count(SIM_COUNTER_SERVERS_CREATED), servers);
  std::this_thread::sleep_for(milliseconds(450));
  EXPECT_FALSE(GetItems(*proxy, "Plant.Line1", "").empty());
  EXPECT_EQ(Count(SIM_COUNTER_SERVERS_CREATED), servers + 1);
  EXPECT_TRUE(testing::CountStartingWith(Connection(), "Warning", "Reconnected to server "));
}

}  // namespace
}  // namespace krelta
