// Server creation and the host probe, with a double in place of CoCreateInstanceEx that records
// what our code passes (Wine ignores host names and credentials, so only the arguments are
// worth checking) and answers as a real host would.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "opcda/create_instance.h"
#include "opcda/ping_host.h"
#include "platform/com/com_owners.h"

namespace krelta {
namespace {

// {F3839019-166B-4EC4-856C-CC68371AC7B2}
constexpr CLSID kProbeClass = {
    0xF3839019, 0x166B, 0x4EC4, {0x85, 0x6C, 0xCC, 0x68, 0x37, 0x1A, 0xC7, 0xB2}};
constexpr CLSID kSomeServer = {
    0x12345678, 0x1234, 0x1234, {0x12, 0x34, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC}};

struct Recorded {
  int calls = 0;
  CLSID clsid{};
  DWORD context = 0;
  std::wstring host;
  bool hasAuthInfo = false;
  COAUTHINFO authInfo{};
  std::wstring user, password, domain;
  ULONG flags = 0;
  IID iid{};
  DWORD interfaces = 0;
};

Recorded g_recorded;
std::atomic<HRESULT> g_answer{S_OK}, g_interfaceAnswer{S_OK};
// A host that does not answer: the double holds its answer until the test releases it.
std::atomic<bool> g_silent{false};
HANDLE g_release = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
HANDLE g_answered = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);

class FakeObject final : public IUnknown {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
    *out = this;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++count; }
  ULONG STDMETHODCALLTYPE Release() override { return --count; }
  std::atomic<ULONG> count{0};
};
FakeObject g_object;

HRESULT WINAPI RecordingCreate(REFCLSID clsid, IUnknown*, DWORD context, COSERVERINFO* info,
                               DWORD count, MULTI_QI* results) {
  if (g_silent) ::WaitForSingleObject(g_release, 30000);
  Recorded r;
  r.calls = g_recorded.calls + 1;
  r.clsid = clsid;
  r.context = context;
  r.host = info && info->pwszName ? info->pwszName : L"";
  r.hasAuthInfo = info && info->pAuthInfo;
  if (r.hasAuthInfo) {
    r.authInfo = *info->pAuthInfo;
    const COAUTHIDENTITY* id = info->pAuthInfo->pAuthIdentityData;
    r.user.assign(reinterpret_cast<wchar_t*>(id->User), id->UserLength);
    r.password.assign(reinterpret_cast<wchar_t*>(id->Password), id->PasswordLength);
    r.domain.assign(reinterpret_cast<wchar_t*>(id->Domain), id->DomainLength);
    r.flags = id->Flags;
  }
  r.iid = *results[0].pIID;
  r.interfaces = count;
  g_recorded = r;
  results[0].hr = g_interfaceAnswer;
  if (SUCCEEDED(g_answer) && SUCCEEDED(g_interfaceAnswer)) {
    g_object.AddRef();
    results[0].pItf = &g_object;
  }
  if (g_silent) ::SetEvent(g_answered);
  return g_answer;
}

std::wstring Wide(const char* ascii) { return std::wstring(ascii, ascii + std::strlen(ascii)); }

class Creation : public ::testing::Test {
 protected:
  void SetUp() override {
    g_recorded = Recorded();
    g_answer = S_OK;
    g_interfaceAnswer = S_OK;
    g_silent = false;
    previous_ = SetCreateInstanceExForTesting(&RecordingCreate);
  }
  void TearDown() override { SetCreateInstanceExForTesting(previous_); }

  CreateInstanceExFunction previous_ = nullptr;
  com::ApartmentGuard apartment_;
};

// What creation and the probe ask of a host, and what they answer. Creation: the local server
// context for "" and "localhost" in any letter case, the remote one otherwise; authentication
// information only with a user (as given, NTLM at connect level with impersonation); no
// interface after a refused call or one that claims success without it. The probe: every
// context for IUnknown of a class nobody registers, without credentials ("class not registered"
// is a reachable host's answer), and no call at all for an empty host.
TEST_F(Creation, WhatCreationAndTheProbeAskAndAnswer) {
  const HRESULT unavailable = HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE);
  const WideCredentials full{L"operator", L"s3cret", L"PLANT"}, noUser{L"", L"secret", L"PLANT"},
      userOnly{L"operator", L"", L""};
  const struct {
    bool probe;
    const char* host;
    const WideCredentials* credentials;
    HRESULT answer, expected;
    DWORD context;             // 0: no call
    HRESULT delivered = S_OK;  // the interface's own result
  } rows[] = {
      {false, "", nullptr, S_OK, S_OK, CLSCTX_LOCAL_SERVER},
      {false, "localhost", nullptr, S_OK, S_OK, CLSCTX_LOCAL_SERVER},
      {false, "LocalHost", &full, S_OK, S_OK, CLSCTX_LOCAL_SERVER},
      {false, "plant07", nullptr, S_OK, S_OK, CLSCTX_REMOTE_SERVER},
      {false, "plant07", &noUser, S_OK, S_OK, CLSCTX_REMOTE_SERVER},
      {false, "plant07", &userOnly, S_OK, S_OK, CLSCTX_REMOTE_SERVER},
      {false, "plant07", nullptr, E_ACCESSDENIED, E_ACCESSDENIED, CLSCTX_REMOTE_SERVER},
      {false, "", nullptr, S_OK, E_NOINTERFACE, CLSCTX_LOCAL_SERVER, E_NOINTERFACE},
      {true, "", nullptr, E_FAIL, S_OK, 0},
      {true, "plant07", nullptr, REGDB_E_CLASSNOTREG, S_OK, 0x15},
      {true, "plant08", nullptr, unavailable, unavailable, 0x15},
      {true, "LOCALHOST", nullptr, E_ACCESSDENIED, E_ACCESSDENIED, 0x15},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.probe ? "probe of " : "creation on ") + row.host);
    g_recorded = Recorded();
    g_answer = row.answer;
    g_interfaceAnswer = row.delivered;
    void* out = &g_object;
    EXPECT_EQ(row.probe ? PingHost(row.host, kDefaultPingTimeoutMs)
                        : NvCreateInstanceEx(kSomeServer, row.host, IID_IUnknown, &out, row.credentials),
              row.expected);
    if (!row.probe) {
      EXPECT_EQ(out, SUCCEEDED(row.expected) ? &g_object : nullptr);
      if (out != nullptr) static_cast<IUnknown*>(out)->Release();
    }
    EXPECT_EQ(g_recorded.calls, row.context != 0 ? 1 : 0);
    if (row.context == 0) continue;
    EXPECT_TRUE(IsEqualCLSID(g_recorded.clsid, row.probe ? kProbeClass : kSomeServer));
    EXPECT_EQ(g_recorded.context, row.context);
    EXPECT_EQ(g_recorded.host, Wide(row.host));
    EXPECT_TRUE(IsEqualIID(g_recorded.iid, IID_IUnknown));
    EXPECT_EQ(g_recorded.interfaces, 1u);
    const bool auth = row.credentials != nullptr && !row.credentials->user.empty();
    ASSERT_EQ(g_recorded.hasAuthInfo, auth);
    if (!auth) continue;
    EXPECT_EQ(g_recorded.user, row.credentials->user);
    EXPECT_EQ(g_recorded.password, row.credentials->password);
    EXPECT_EQ(g_recorded.domain, row.credentials->domain);
    EXPECT_EQ(g_recorded.flags, static_cast<ULONG>(SEC_WINNT_AUTH_IDENTITY_UNICODE));
    const COAUTHINFO& a = g_recorded.authInfo;
    EXPECT_EQ(std::vector<DWORD>({a.dwAuthnSvc, a.dwAuthzSvc, a.dwAuthnLevel, a.dwImpersonationLevel,
                                  a.dwCapabilities}),
              std::vector<DWORD>({RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, RPC_C_AUTHN_LEVEL_CONNECT,
                                  RPC_C_IMP_LEVEL_IMPERSONATE, EOAC_NONE}));
    EXPECT_EQ(a.pwszServerPrincName, nullptr);
  }
  EXPECT_EQ(g_object.count, 0u);
}

TEST_F(Creation, ProbeOfAHostThatDoesNotAnswerEndsOnTime) {
  g_answer = REGDB_E_CLASSNOTREG;
  g_silent = true;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(PingHost("silent-host", 200), static_cast<HRESULT>(0x800706BA));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
  // The abandoned worker finishes once the host answers; let it, before the double changes.
  ::SetEvent(g_release);
  EXPECT_EQ(::WaitForSingleObject(g_answered, 30000), WAIT_OBJECT_0);
}

}  // namespace
}  // namespace krelta
