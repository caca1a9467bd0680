// Server enumeration against the simulator's server-list component (out of process, through
// the proxy/stub), a missing component through the creation seam, and the network listing
// through a double of NetServerEnum. A host that does not answer: the dialog tests.
#include <gtest/gtest.h>


#include "discovery/server_enumeration.h"
#include "opc_da_constants.h"
#include "platform/message_box.h"
#include "support/simulator_session.h"
#include "util/exception.h"

namespace krelta {
namespace {

constexpr const char* kDA3Clsid = "{DE186CF8-2426-4039-ACAB-729B0908B909}";
constexpr const char* kDA2Clsid = "{52A9AFA7-64CF-48D3-BE83-E59751905C0A}";
constexpr const char* kNoProgIdClsid = "{0A1D0A10-7E57-4C1A-9A10-000000000003}";

// Message boxes shown during a test, answered with OK.
class RecordedMessages {
 public:
  RecordedMessages() {
    platform::SetMessageBoxForTesting([this](HWND, const std::string& text, const std::string&, UINT type) {
      texts.push_back(text);
      types.push_back(type);
      return IDOK;
    });
  }
  ~RecordedMessages() { platform::SetMessageBoxForTesting(nullptr); }
  std::vector<std::string> texts;
  std::vector<UINT> types;
};

const OPCServerInfo* FindByClsid(const std::vector<OPCServerInfo>& servers, const std::string& clsid) {
  for (const OPCServerInfo& s : servers) {
    if (ToBracedString(s.url.GetClsid()) == clsid) return &s;
  }
  return nullptr;
}

class Enumeration : public testing::SimulatorSuite {
 protected:
  void SetUp() override {
    SimulatorSuite::SetUp();
    Control()->SetFault(SIM_FAULT_SERVERLIST_TEST_CLASSES, 1);
  }
  RecordedMessages messages_;
};

TEST_F(Enumeration, LocalHostListsEachClassOnceWithTheBitsOfAllItsCategories) {
  const WideCredentials credentials{L"operator", L"s\u00e9cret", L"PLANT"};
  const std::vector<OPCServerInfo> servers = EnumerateServers("", &credentials);

  ASSERT_GE(servers.size(), 5u);
  // Alarms and Events is the first specification walked, so its class comes first.
  EXPECT_EQ(servers[0].url.GetSpecifications(), kSpecAlarmsEvents10);
  EXPECT_EQ(servers[0].url.GetPath(), "OpcDAKrelta.TestAE.1/{0A1D0A10-7E57-4C1A-9A10-000000000002}");
  struct Expected {
    const char* clsid;
    std::uint32_t bits;
    const char* path;
    const char* name;
  } expected[] = {
      {kDA3Clsid, kSpecDataAccess2 | kSpecDataAccess3, "OpcDAKrelta.Simulator/{DE186CF8-2426-4039-ACAB-729B0908B909}",
       "OpcDAKrelta Simulator (DA 3.00)"},
      {kDA2Clsid, kSpecDataAccess2, "OpcDAKrelta.SimulatorDA2/{52A9AFA7-64CF-48D3-BE83-E59751905C0A}",
       "OpcDAKrelta Simulator (DA 2.05)"},
      {"{0A1D0A10-7E57-4C1A-9A10-000000000001}", kSpecDataAccess10a,
       "OpcDAKrelta.TestDA1.1/{0A1D0A10-7E57-4C1A-9A10-000000000001}", "Data Access 1.0a only test class"},
      {kNoProgIdClsid, kSpecDataAccess3, kNoProgIdClsid, ""},
  };
  for (const Expected& e : expected) {
    SCOPED_TRACE(e.clsid);
    const OPCServerInfo* server = FindByClsid(servers, e.clsid);
    ASSERT_NE(server, nullptr);
    EXPECT_EQ(server->url.GetSpecifications(), e.bits);
    EXPECT_EQ(server->url.GetPath(), e.path);
    EXPECT_EQ(server->url.GetName(), e.name);
    EXPECT_EQ(server->url.GetScheme(), "opcda");
    EXPECT_EQ(server->url.GetHost(), "");
    EXPECT_EQ(server->user, credentials.user);
    EXPECT_EQ(server->password, credentials.password);
    EXPECT_EQ(server->domain, credentials.domain);
  }
  std::size_t da3 = 0;
  for (const OPCServerInfo& s : servers) da3 += ToBracedString(s.url.GetClsid()) == kDA3Clsid;
  EXPECT_EQ(da3, 1u);
  EXPECT_TRUE(messages_.texts.empty());
  EXPECT_EQ(testing::Counter(Control(), SIM_COUNTER_SERVERLIST_LIVE), 0) << "component or enumerator kept";
}

TEST_F(Enumeration, CategoryFailureAfterTwoGoodOnesShowsOneMessageAndKeepsWhatWasFound) {
  Control()->SetFault(SIM_FAULT_SERVERLIST_FAIL_CATEGORY, static_cast<LONG>(0x843DE67B));  // Batch 2.00, third
  const std::vector<OPCServerInfo> servers = EnumerateServers("", nullptr);
  ASSERT_EQ(servers.size(), 1u);
  EXPECT_EQ(servers[0].url.GetSpecifications(), kSpecAlarmsEvents10);
  ASSERT_EQ(messages_.texts.size(), 1u);
  EXPECT_EQ(messages_.texts[0], "Could not enumerate classes.");
  EXPECT_EQ(messages_.types[0], static_cast<UINT>(MB_OK));
  EXPECT_EQ(testing::Counter(Control(), SIM_COUNTER_SERVERLIST_LIVE), 0);
}

TEST_F(Enumeration, BatchesOfExactlyOneHundredAreFetchedAgainUntilTheShortOne) {
  // Data Access 2.0 holds the two simulator classes plus the generated ones.
  for (const LONG generated : {98, 99, 250}) {
    SCOPED_TRACE(generated);
    Control()->SetFault(SIM_FAULT_SERVERLIST_TEST_CLASSES, 0);
    Control()->SetFault(SIM_FAULT_SERVERLIST_EXTRA_CLASSES, generated);
    const std::vector<OPCServerInfo> servers = EnumerateServers("", nullptr);
    EXPECT_EQ(servers.size(), static_cast<std::size_t>(generated) + 2);
  }
}

TEST_F(Enumeration, FailingClassDetailsStillListTheClass) {
  Control()->SetFault(SIM_FAULT_SERVERLIST_DETAILS_RESULT, E_FAIL);
  const std::vector<OPCServerInfo> servers = EnumerateServers("", nullptr);
  const OPCServerInfo* da3 = FindByClsid(servers, kDA3Clsid);
  ASSERT_NE(da3, nullptr);
  // The ProgID then comes from this machine's registry, the user type is missing.
  EXPECT_EQ(da3->url.GetPath(), std::string("OpcDAKrelta.Simulator.1/") + kDA3Clsid);
  EXPECT_EQ(da3->url.GetName(), "OpcDAKrelta.Simulator.1");
  const OPCServerInfo* bare = FindByClsid(servers, kNoProgIdClsid);
  ASSERT_NE(bare, nullptr);
  EXPECT_EQ(bare->url.GetPath(), kNoProgIdClsid);
}

// ---- A missing component, through the creation seam ----

std::atomic<HRESULT> g_serverListAnswer{S_OK};

HRESULT WINAPI SeamCreate(REFCLSID clsid, IUnknown* outer, DWORD context, COSERVERINFO* info,
                          DWORD count, MULTI_QI* results) {
  if (IsEqualCLSID(clsid, CLSID_OPCServerList)) {
    if (FAILED(g_serverListAnswer)) return g_serverListAnswer;
    return ::CoCreateInstanceEx(clsid, outer, CLSCTX_LOCAL_SERVER, nullptr, count, results);
  }
  return REGDB_E_CLASSNOTREG;  // the probe's class: the host answers
}

class EnumerationSeam : public ::testing::Test {
 protected:
  void SetUp() override { previous_ = SetCreateInstanceExForTesting(&SeamCreate); }
  void TearDown() override {
    SetCreateInstanceExForTesting(previous_);
    g_serverListAnswer = S_OK;
  }
  com::ApartmentGuard apartment_{COINIT_APARTMENTTHREADED};
  RecordedMessages messages_;
  CreateInstanceExFunction previous_ = nullptr;
};

TEST_F(EnumerationSeam, MissingComponentRaisesTheSystemMessage) {
  g_serverListAnswer = REGDB_E_CLASSNOTREG;
  for (const char* host : {"", "plant07"}) {
    SCOPED_TRACE(host);
    try {
      EnumerateServers(host, nullptr);
      FAIL() << "no exception";
    } catch (const Exception& e) {
      EXPECT_EQ(std::string(e.what()), SystemMessageText(REGDB_E_CLASSNOTREG));
    }
  }
  EXPECT_TRUE(messages_.texts.empty());
}

// ---- Network listing through a double of NetServerEnum ----

struct NetAnswer {
  NET_API_STATUS status;
  std::vector<std::wstring> names;  // entries read
  bool buffer;
};
NetAnswer g_netAnswer;

NET_API_STATUS WINAPI FakeNetServerEnum(LMCSTR server, DWORD level, LPBYTE* buffer, DWORD length,
                                        LPDWORD read, LPDWORD total, DWORD type, LMCSTR domain,
                                        LPDWORD resume) {
  EXPECT_EQ(server, nullptr);
  EXPECT_EQ(level, 101u);
  EXPECT_EQ(length, MAX_PREFERRED_LENGTH);
  EXPECT_EQ(type, 3u);
  EXPECT_EQ(domain, nullptr);
  *buffer = nullptr;
  *read = static_cast<DWORD>(g_netAnswer.names.size());
  *total = *read + (g_netAnswer.status == ERROR_MORE_DATA ? 5 : 0);
  if (!g_netAnswer.buffer) return g_netAnswer.status;
  std::size_t bytes = sizeof(SERVER_INFO_101) * (g_netAnswer.names.size() + 1);
  for (const auto& n : g_netAnswer.names) bytes += (n.size() + 1) * sizeof(wchar_t);
  ::NetApiBufferAllocate(static_cast<DWORD>(bytes), reinterpret_cast<void**>(buffer));
  auto* entries = reinterpret_cast<SERVER_INFO_101*>(*buffer);
  auto* text = reinterpret_cast<wchar_t*>(entries + g_netAnswer.names.size() + 1);
  for (std::size_t i = 0; i < g_netAnswer.names.size(); ++i) {
    entries[i] = SERVER_INFO_101{};
    wcscpy(text, g_netAnswer.names[i].c_str());
    entries[i].sv101_name = text;
    text += g_netAnswer.names[i].size() + 1;
  }
  return g_netAnswer.status;
}

TEST(NetworkHosts, EachAnswerOfTheNetworkService) {
  const NetServerEnumFunction previous = SetNetServerEnumForTesting(&FakeNetServerEnum);
  struct Row {
    const char* what;
    NetAnswer answer;
    bool listed;
    std::vector<std::string> hosts;
  } rows[] = {
      {"success", {NERR_Success, {L"PLANT07", L"ENG-PC"}, true}, true, {"PLANT07", "ENG-PC"}},
      {"more data, partial list used", {ERROR_MORE_DATA, {L"PLANT07"}, true}, true, {"PLANT07"}},
      {"failure", {ERROR_NO_BROWSER_SERVERS_FOUND, {}, false}, false, {}},
      {"failure with a buffer", {ERROR_ACCESS_DENIED, {L"X"}, true}, false, {}},
      {"success without a buffer", {NERR_Success, {}, false}, false, {}},
      {"success with nothing read", {NERR_Success, {}, true}, false, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    g_netAnswer = row.answer;
    std::vector<std::string> hosts{"stale"};
    EXPECT_EQ(ListNetworkHosts(hosts), row.listed);
    EXPECT_EQ(hosts, row.hosts);
  }
  SetNetServerEnumForTesting(previous);
}

}  // namespace
}  // namespace krelta
