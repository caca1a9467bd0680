#include "opcda/create_instance.h"

#include <atomic>

#include "platform/com/wide_text.h"

namespace krelta {
namespace {

std::atomic<CreateInstanceExFunction> g_createInstanceEx{&::CoCreateInstanceEx};

}  // namespace

CreateInstanceExFunction SetCreateInstanceExForTesting(CreateInstanceExFunction function) {
  return g_createInstanceEx.exchange(function ? function : &::CoCreateInstanceEx);
}

HRESULT CallCreateInstanceEx(REFCLSID clsid, DWORD context, COSERVERINFO* serverInfo,
                             MULTI_QI* results) {
  return g_createInstanceEx.load()(clsid, nullptr, context, serverInfo, 1, results);
}

bool IsLocalHost(const std::string& host) {
  if (host.empty()) return true;
  static const char kLocal[] = "localhost";
  if (host.size() != sizeof kLocal - 1) return false;
  for (std::size_t i = 0; i < host.size(); ++i) {
    const char c = host[i] >= 'A' && host[i] <= 'Z' ? static_cast<char>(host[i] - 'A' + 'a') : host[i];
    if (c != kLocal[i]) return false;
  }
  return true;
}

HRESULT NvCreateInstanceEx(const CLSID& clsid, const std::string& host, const IID& iid,
                           void** out, const WideCredentials* credentials) {
  *out = nullptr;

  // The identity and its texts must outlive the creation call.
  COAUTHIDENTITY identity{};
  COAUTHINFO authInfo{};
  const bool withCredentials = credentials != nullptr && !credentials->user.empty();
  if (withCredentials) {
    identity.User = reinterpret_cast<USHORT*>(const_cast<wchar_t*>(credentials->user.c_str()));
    identity.UserLength = static_cast<ULONG>(credentials->user.size());
    identity.Domain = reinterpret_cast<USHORT*>(const_cast<wchar_t*>(credentials->domain.c_str()));
    identity.DomainLength = static_cast<ULONG>(credentials->domain.size());
    identity.Password =
        reinterpret_cast<USHORT*>(const_cast<wchar_t*>(credentials->password.c_str()));
    identity.PasswordLength = static_cast<ULONG>(credentials->password.size());
    identity.Flags = SEC_WINNT_AUTH_IDENTITY_UNICODE;
    authInfo.dwAuthnSvc = RPC_C_AUTHN_WINNT;
    authInfo.dwAuthzSvc = RPC_C_AUTHZ_NONE;
    authInfo.pwszServerPrincName = nullptr;
    authInfo.dwAuthnLevel = RPC_C_AUTHN_LEVEL_CONNECT;
    authInfo.dwImpersonationLevel = RPC_C_IMP_LEVEL_IMPERSONATE;
    authInfo.pAuthIdentityData = &identity;
    authInfo.dwCapabilities = EOAC_NONE;
  }

  std::wstring wideHost = com::AnsiToWide(host);
  COSERVERINFO serverInfo{};
  serverInfo.pwszName = wideHost.data();
  serverInfo.pAuthInfo = withCredentials ? &authInfo : nullptr;

  const DWORD context = IsLocalHost(host) ? CLSCTX_LOCAL_SERVER : CLSCTX_REMOTE_SERVER;
  MULTI_QI result{&iid, nullptr, S_OK};
  const HRESULT hr = CallCreateInstanceEx(clsid, context, &serverInfo, &result);
  if (SUCCEEDED(hr) && SUCCEEDED(result.hr) && result.pItf != nullptr) {
    *out = result.pItf;
    return hr;
  }
  if (result.pItf != nullptr) result.pItf->Release();
  // A creation that reports success without the interface is a failure to every caller.
  if (SUCCEEDED(hr)) return FAILED(result.hr) ? result.hr : E_NOINTERFACE;
  return hr;
}

}  // namespace krelta
