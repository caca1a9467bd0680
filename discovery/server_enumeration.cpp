#include "discovery/server_enumeration.h"

#include <atomic>
#include <cstring>
#include <map>

#include "opc_da.h"
#include "opc_da_constants.h"
#include "opcda/format_result.h"
#include "platform/com/com_owners.h"
#include "platform/com/wide_text.h"
#include "platform/message_box.h"
#include "util/exception.h"

namespace krelta {
namespace {

constexpr ULONG kClassBatch = 100;
constexpr const char* kCouldNotEnumerate = "Could not enumerate classes.";
constexpr const char* kMessageCaption = "OpcDAKrelta (Aug 21 2018 10:34:08)";

std::atomic<NetServerEnumFunction> g_netServerEnum{&::NetServerEnum};

struct ClsidLess {
  bool operator()(const CLSID& a, const CLSID& b) const { return std::memcmp(&a, &b, sizeof a) < 0; }
};

std::string Narrow(const com::CoTaskString& text) { return com::WideToAnsi(text.get()); }

// Adds the class found under specification, or ORs its flag into the record found earlier.
void AddClass(IOPCServerList2& list, const CLSID& clsid, const OPCSpecification& specification,
              const std::string& host, const WideCredentials* credentials,
              std::vector<OPCServerInfo>& servers, std::map<CLSID, size_t, ClsidLess>& positions) {
  const auto known = positions.find(clsid);
  if (known != positions.end()) {
    servers[known->second].url.AddSpecification(specification.GetFlag());
    return;
  }
  com::CoTaskString progId, userType, independentProgId;
  list.GetClassDetails(clsid, progId.put(), userType.put(), independentProgId.put());  // result ignored
  com::CoTaskString clsidText;
  ::StringFromCLSID(clsid, clsidText.put());
  if (!progId) ::ProgIDFromCLSID(clsid, progId.put());

  OPCServerInfo server;
  if (credentials != nullptr) {
    server.user = credentials->user;
    server.password = credentials->password;
    server.domain = credentials->domain;
  }
  server.url = OPCURL::FromClassDetails(specification, Narrow(clsidText), Narrow(progId), host,
                                        Narrow(userType), Narrow(independentProgId));
  positions.emplace(clsid, servers.size());
  servers.push_back(std::move(server));
}

// One specification's pass: batches of kClassBatch, fetched again only after exactly S_OK.
void EnumerateCategory(IOPCServerList2& list, const OPCSpecification& specification,
                       const std::string& host, const WideCredentials* credentials,
                       std::vector<OPCServerInfo>& servers,
                       std::map<CLSID, size_t, ClsidLess>& positions,
                       const std::function<void()>& betweenBatches) {
  CLSID category = ToClsid(specification.GetCatid());
  // No required categories; the array pointer is a reference pointer to the marshaler, so it
  // must not be null even when empty.
  CLSID noRequired = GUID_NULL;
  com::ComPtr<IOPCEnumGUID> classes;
  const HRESULT hr =
      list.EnumClassesOfCategories(1, &category, 0, &noRequired, classes.ReleaseAndGetAddressOf());
  if (FAILED(hr) || !classes) throw Exception(kCouldNotEnumerate);
  CLSID batch[kClassBatch];
  for (;;) {
    ULONG fetched = 0;
    const HRESULT next = classes->Next(kClassBatch, batch, &fetched);
    if (FAILED(next)) break;
    for (ULONG i = 0; i < fetched && i < kClassBatch; ++i) {
      AddClass(list, batch[i], specification, host, credentials, servers, positions);
    }
    if (betweenBatches) betweenBatches();
    if (next != S_OK) break;
  }
}

}  // namespace

std::string SystemMessageText(HRESULT hr) {
  wchar_t* buffer = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(hr), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text = buffer != nullptr ? std::wstring(buffer, length) : std::wstring();
  if (buffer != nullptr) ::LocalFree(buffer);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) text.pop_back();
  return text.empty() ? FormatResult(hr) : com::WideToUtf8(text);
}

std::vector<OPCServerInfo> EnumerateServers(const std::string& host,
                                            const WideCredentials* credentials,
                                            DWORD pingLimitMs,
                                            const std::function<void()>& betweenBatches,
                                            HWND messageOwner) {
  if (!host.empty()) {
    const HRESULT probe = PingHost(host, pingLimitMs);
    if (FAILED(probe)) throw Exception(SystemMessageText(probe));
  }
  com::ComPtr<IOPCServerList2> list;
  const HRESULT hr = NvCreateInstanceEx(CLSID_OPCServerList, host, IID_IOPCServerList2,
                                        reinterpret_cast<void**>(list.ReleaseAndGetAddressOf()),
                                        credentials);
  if (FAILED(hr) || !list) throw Exception(SystemMessageText(FAILED(hr) ? hr : E_NOINTERFACE));

  std::vector<OPCServerInfo> servers;
  std::map<CLSID, size_t, ClsidLess> positions;
  try {
    for (const OPCSpecification& specification : OPCSpecifications()) {
      EnumerateCategory(*list.Get(), specification, host, credentials, servers, positions, betweenBatches);
    }
  } catch (const Exception& e) {
    platform::ShowMessageBox(messageOwner, e.what(), kMessageCaption, MB_OK);
  }
  return servers;
}

bool ListNetworkHosts(std::vector<std::string>& hosts) {
  hosts.clear();
  LPBYTE buffer = nullptr;
  DWORD read = 0, total = 0;
  const NET_API_STATUS status = g_netServerEnum.load()(
      nullptr, 101, &buffer, MAX_PREFERRED_LENGTH, &read, &total,
      SV_TYPE_WORKSTATION | SV_TYPE_SERVER, nullptr, nullptr);
  struct BufferOwner {
    LPBYTE p;
    ~BufferOwner() {
      if (p != nullptr) ::NetApiBufferFree(p);
    }
  } owner{buffer};
  if (status != NERR_Success && status != ERROR_MORE_DATA) return false;
  if (buffer == nullptr || read == 0) return false;
  const auto* entries = reinterpret_cast<const SERVER_INFO_101*>(buffer);
  for (DWORD i = 0; i < read; ++i) hosts.push_back(com::WideToAnsi(entries[i].sv101_name));
  return !hosts.empty();
}

NetServerEnumFunction SetNetServerEnumForTesting(NetServerEnumFunction function) {
  return g_netServerEnum.exchange(function ? function : &::NetServerEnum);
}

}  // namespace krelta
