// Server creation and the host probe, with a double in place of CoCreateInstanceEx that records
// what our code passes (Wine ignores host names and credentials, so only the arguments are
// worth checking) and answers as a real host would.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>

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
std::atomic<HRESULT> g_answer{S_OK};
std::atomic<HRESULT> g_interfaceAnswer{S_OK};
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

TEST_F(Creation, LocalHostNamesUseTheLocalServerContextOthersTheRemoteOne) {
  for (const char* host : {"", "localhost", "LOCALHOST", "LocalHost"}) {
    void* out = nullptr;
    ASSERT_EQ(NvCreateInstanceEx(kSomeServer, host, IID_IUnknown, &out), S_OK);
    EXPECT_EQ(g_recorded.context, static_cast<DWORD>(CLSCTX_LOCAL_SERVER)) << host;
    EXPECT_EQ(out, &g_object);
    static_cast<IUnknown*>(out)->Release();
  }
  void* out = nullptr;
  ASSERT_EQ(NvCreateInstanceEx(kSomeServer, "plant07", IID_IUnknown, &out), S_OK);
  EXPECT_EQ(g_recorded.context, static_cast<DWORD>(CLSCTX_REMOTE_SERVER));
  EXPECT_EQ(g_recorded.host, L"plant07");
  EXPECT_TRUE(IsEqualCLSID(g_recorded.clsid, kSomeServer));
  EXPECT_EQ(g_recorded.interfaces, 1u);
  static_cast<IUnknown*>(out)->Release();
  EXPECT_EQ(g_object.count, 0u);
}

TEST_F(Creation, AuthenticationInformationOnlyWithAUser) {
  void* out = nullptr;
  const WideCredentials noUser{L"", L"secret", L"PLANT"};
  ASSERT_EQ(NvCreateInstanceEx(kSomeServer, "plant07", IID_IUnknown, &out, &noUser), S_OK);
  EXPECT_FALSE(g_recorded.hasAuthInfo);
  static_cast<IUnknown*>(out)->Release();

  const WideCredentials userOnly{L"operator", L"", L""};
  ASSERT_EQ(NvCreateInstanceEx(kSomeServer, "plant07", IID_IUnknown, &out, &userOnly), S_OK);
  ASSERT_TRUE(g_recorded.hasAuthInfo);
  EXPECT_EQ(g_recorded.user, L"operator");
  EXPECT_EQ(g_recorded.password, L"");
  static_cast<IUnknown*>(out)->Release();

  const WideCredentials full{L"operator", L"s3cret", L"PLANT"};
  ASSERT_EQ(NvCreateInstanceEx(kSomeServer, "localhost", IID_IUnknown, &out, &full), S_OK);
  ASSERT_TRUE(g_recorded.hasAuthInfo);
  EXPECT_EQ(g_recorded.user, L"operator");
  EXPECT_EQ(g_recorded.password, L"s3cret");
  EXPECT_EQ(g_recorded.domain, L"PLANT");
  EXPECT_EQ(g_recorded.flags, static_cast<ULONG>(SEC_WINNT_AUTH_IDENTITY_UNICODE));
  EXPECT_EQ(g_recorded.authInfo.dwAuthnSvc, static_cast<DWORD>(RPC_C_AUTHN_WINNT));
  EXPECT_EQ(g_recorded.authInfo.dwAuthzSvc, static_cast<DWORD>(RPC_C_AUTHZ_NONE));
  EXPECT_EQ(g_recorded.authInfo.pwszServerPrincName, nullptr);
  EXPECT_EQ(g_recorded.authInfo.dwAuthnLevel, static_cast<DWORD>(RPC_C_AUTHN_LEVEL_CONNECT));
  EXPECT_EQ(g_recorded.authInfo.dwImpersonationLevel,
            static_cast<DWORD>(RPC_C_IMP_LEVEL_IMPERSONATE));
  EXPECT_EQ(g_recorded.authInfo.dwCapabilities, static_cast<DWORD>(EOAC_NONE));
  static_cast<IUnknown*>(out)->Release();
}

TEST_F(Creation, FailuresLeaveNoInterface) {
  void* out = &g_object;
  g_answer = E_ACCESSDENIED;
  EXPECT_EQ(NvCreateInstanceEx(kSomeServer, "plant07", IID_IUnknown, &out), E_ACCESSDENIED);
  EXPECT_EQ(out, nullptr);
  // A call that claims success without the interface is not a success.
  g_answer = S_OK;
  g_interfaceAnswer = E_NOINTERFACE;
  out = &g_object;
  EXPECT_EQ(NvCreateInstanceEx(kSomeServer, "", IID_IUnknown, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(g_object.count, 0u);
}

TEST_F(Creation, ProbeOfAnEmptyHostAsksNobody) {
  EXPECT_EQ(PingHost("", kDefaultPingTimeoutMs), S_OK);
  EXPECT_EQ(g_recorded.calls, 0);
}

TEST_F(Creation, ProbeCountsClassNotRegisteredAsReachable) {
  g_answer = REGDB_E_CLASSNOTREG;
  EXPECT_EQ(PingHost("plant07", kDefaultPingTimeoutMs), S_OK);
  EXPECT_EQ(g_recorded.calls, 1);
  EXPECT_TRUE(IsEqualCLSID(g_recorded.clsid, kProbeClass));
  EXPECT_EQ(g_recorded.context, static_cast<DWORD>(0x15));
  EXPECT_TRUE(IsEqualIID(g_recorded.iid, IID_IUnknown));
  EXPECT_EQ(g_recorded.host, L"plant07");
  EXPECT_FALSE(g_recorded.hasAuthInfo);

  g_answer = HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE);
  EXPECT_EQ(PingHost("plant08", kDefaultPingTimeoutMs), HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE));
  g_answer = E_ACCESSDENIED;
  EXPECT_EQ(PingHost("LOCALHOST", kDefaultPingTimeoutMs), E_ACCESSDENIED);
}

TEST_F(Creation, ProbeOfAHostThatDoesNotAnswerEndsOnTime) {
  g_answer = REGDB_E_CLASSNOTREG;
  g_silent = true;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(PingHost("silent-host", 200), static_cast<HRESULT>(0x800706BA));
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_LT(waited, std::chrono::milliseconds(2500));
  // The abandoned worker finishes once the host answers; let it, before the double changes.
  ::SetEvent(g_release);
  EXPECT_EQ(::WaitForSingleObject(g_answered, 30000), WAIT_OBJECT_0);
}

}  // namespace
}  // namespace krelta
