#include "opcda/browse.h"

#include <functional>

#include "log/log_file.h"
#include "opc_da.h"
#include "opc_da_constants.h"
#include "opcda/create_instance.h"
#include "opcda/format_result.h"
#include "opcda/opc_da_proxy.h"
#include "opcda/ping_host.h"
#include "platform/com/com_owners.h"
#include "platform/com/wide_text.h"
#include "util/exception.h"
#include "util/format.h"

namespace krelta {
namespace {

using com::ComPtr;
using LogSink = std::function<void(std::int32_t, const std::string&)>;

constexpr ULONG kNamesPerFetch = 100;

// Frees what one browse element carries: its texts and its property list.
struct BrowseElementCleanup {
  void operator()(OPCBROWSEELEMENT& e) const noexcept {
    ::CoTaskMemFree(e.szName);
    ::CoTaskMemFree(e.szItemID);
    OPCITEMPROPERTIES& list = e.ItemProperties;
    if (list.pItemProperties != nullptr) {
      for (DWORD i = 0; i < list.dwNumProperties; ++i) {
        OPCITEMPROPERTY& p = list.pItemProperties[i];
        ::CoTaskMemFree(p.szItemID);
        ::CoTaskMemFree(p.szDescription);
        ::VariantClear(&p.vValue);
      }
      ::CoTaskMemFree(list.pItemProperties);
    }
  }
};

struct Element {
  std::string name;
  std::string itemId;
  DWORD flags;
  HRESULT propertiesError;
};

// All elements below a branch, following continuation points until the server has no more.
// On a failing call the message goes to log and the elements of earlier pages are kept.
HRESULT BrowseAll(IOPCBrowse* browse, const std::string& itemId, OPCBROWSEFILTER filter,
                  const LogSink& log, std::vector<Element>& out) {
  std::wstring branch = com::Utf8ToWide(itemId);
  wchar_t emptyName[1] = {L'\0'};
  wchar_t emptyVendor[1] = {L'\0'};
  DWORD noProperties = 0;
  // The first call passes an empty point of our own allocation: the server may free it.
  com::CoTaskString continuation(static_cast<wchar_t*>(::CoTaskMemAlloc(sizeof(wchar_t))));
  if (!continuation) return E_OUTOFMEMORY;
  continuation.get()[0] = L'\0';
  std::wstring previous;
  for (;;) {
    BOOL more = FALSE;
    com::CoTaskArray<OPCBROWSEELEMENT, BrowseElementCleanup> elements;
    // The server may free the text it receives and hand back a new one.
    LPWSTR point = continuation.release();
    const HRESULT hr = browse->Browse(branch.data(), &point, 0, filter, emptyName, emptyVendor,
                                      FALSE, FALSE, 0, &noProperties, &more,
                                      elements.size_address(), elements.put());
    continuation.reset(point);
    if (FAILED(hr)) {
      log(kLogError, Format("IOPCBrowse::Browse failed: %1%", FormatResult(hr)));
      return hr;
    }
    for (const OPCBROWSEELEMENT& e : elements) {
      out.push_back({com::WideToUtf8(e.szName), com::WideToUtf8(e.szItemID), e.dwFlagValue,
                     e.ItemProperties.hrErrorID});
    }
    const std::wstring next = continuation ? continuation.get() : L"";
    // A server that hands back the same point without elements would page forever.
    if (next.empty() || (elements.empty() && next == previous)) return hr;
    previous = next;
  }
}

// Up to kNamesPerFetch names per call, until the enumerator reports the end or batch answers
// false. False on a failed fetch (already logged).
bool ForEachName(IEnumString* names, const LogSink& log,
                 const std::function<bool(std::vector<std::string>&)>& batch) {
  for (;;) {
    LPOLESTR fetched[kNamesPerFetch] = {};
    ULONG count = 0;
    const HRESULT hr = names->Next(kNamesPerFetch, fetched, &count);
    if (FAILED(hr)) {
      log(kLogError, Format("IEnumString::Next failed: %1%", FormatResult(hr)));
      return false;
    }
    std::vector<std::string> batchNames;
    for (ULONG i = 0; i < count && i < kNamesPerFetch; ++i) {
      com::CoTaskString owned(fetched[i]);
      batchNames.push_back(com::WideToUtf8(owned.get()));
    }
    if (!batch(batchNames) || hr != S_OK) return true;
  }
}

// BrowseOPCItemIDs at the current position; null and logged on failure or when empty.
ComPtr<IEnumString> BrowseIds(IOPCBrowseServerAddressSpace* space, OPCBROWSETYPE type,
                              const LogSink& log, bool& failed) {
  ComPtr<IEnumString> names;
  failed = false;
  const HRESULT hr = space->BrowseOPCItemIDs(type, L"", VT_EMPTY, 0, names.ReleaseAndGetAddressOf());
  if (FAILED(hr)) {
    failed = true;
    log(kLogError, Format("IOPCBrowseServerAddressSpace::BrowseOPCItemIDs failed: %1%",
                          FormatResult(hr)));
    return nullptr;
  }
  if (hr == S_FALSE || !names) {
    log(kLogInformation, "IOPCBrowseServerAddressSpace::BrowseOPCItemIDs, nothing more to enumerate.");
    return nullptr;
  }
  return names;
}

// ---- branches, for the configuration dialog ----

struct BranchWalk {
  BrowseTree& tree;
  std::uint64_t counter = 0;
  bool& browseError;
  LogSink log = [](std::int32_t level, const std::string& message) {
    WriteStandaloneLog(level, message);
  };
};

void GetBranchDA30(IOPCBrowse* browse, BranchWalk& walk, BrowseNode& parent,
                   const std::string& itemId) {
  std::vector<Element> elements;
  if (FAILED(BrowseAll(browse, itemId, OPC_BROWSE_FILTER_BRANCHES, walk.log, elements))) {
    walk.browseError = true;
  }
  std::vector<BrowseRecord> branches;
  for (Element& e : elements) {
    if (e.propertiesError == OPC_E_UNKNOWNITEMID) {
      walk.browseError = true;
      walk.log(kLogError, Format("OpcDaProxy::GetBranch, IOPCBrowse::Browse partialy failed, the "
                                 "following item displayed but is not known to the OPC server: %1%",
                                 e.name));
    }
    if (e.flags & OPC_BROWSE_HASCHILDREN) {
      branches.push_back({false, std::move(e.name), std::move(e.itemId)});
    }
  }
  for (BrowseRecord& record : branches) {
    const std::string childId = record.itemId;
    BrowseNode& child = walk.tree.Add(parent, ++walk.counter, std::move(record));
    GetBranchDA30(browse, walk, child, childId);
  }
}

void GetBranchDA20(IOPCBrowseServerAddressSpace* space, BranchWalk& walk, BrowseNode& parent) {
  bool failed = false;
  ComPtr<IEnumString> names = BrowseIds(space, OPC_BRANCH, walk.log, failed);
  if (failed) walk.browseError = true;
  if (!names) return;
  const bool complete = ForEachName(names.Get(), walk.log, [&](std::vector<std::string>& batch) {
    for (std::string& name : batch) {
      const std::wstring wide = com::Utf8ToWide(name);
      HRESULT hr = space->ChangeBrowsePosition(OPC_BROWSE_DOWN, wide.c_str());
      if (FAILED(hr)) {
        walk.browseError = true;
        walk.log(kLogError, Format("GetBranchIOPCBrowseServerAddressSpace::ChangeBrowsePosition("
                                   "OPC_BROWSE_DOWN) failed: %1%",
                                   FormatResult(hr)));
        continue;
      }
      BrowseNode& child = walk.tree.Add(parent, ++walk.counter, {false, name, name});
      GetBranchDA20(space, walk, child);
      hr = space->ChangeBrowsePosition(OPC_BROWSE_UP, L"");
      if (FAILED(hr)) {
        walk.browseError = true;
        walk.log(kLogError, Format("IOPCBrowseServerAddressSpace::ChangeBrowsePosition(OPC_BROWSE_UP) "
                                   "failed: %1%",
                                   FormatResult(hr)));
      }
    }
    return true;
  });
  if (!complete) walk.browseError = true;
}

// ---- items of one branch, for the connection ----

LogSink ConnectionLogSink(OpcDaProxy& proxy) {
  LogFile& log = proxy.ConnectionLog();
  return [&log](std::int32_t level, const std::string& m) { log.Write(level, m); };
}

std::vector<ItemRecord> GetDA30Items(OpcDaProxy& proxy, const std::string& itemId,
                                     IOPCBrowse* browse) {
  LogFile& log = proxy.ConnectionLog();
  const LogSink sink = ConnectionLogSink(proxy);
  std::vector<Element> elements;
  BrowseAll(browse, itemId, OPC_BROWSE_FILTER_ITEMS, sink, elements);
  std::vector<ItemRecord> items;
  for (Element& e : elements) {
    if (e.propertiesError == OPC_E_UNKNOWNITEMID) {
      log.Write(kLogError, Format("OpcDaProxy::GetDA30Items, IOPCBrowse::Browse partialy failed, "
                                  "the following item was not added: %1%",
                                  e.name));
      continue;
    }
    items.push_back({std::move(e.name), std::move(e.itemId)});
  }
  return items;
}

// Depth-first search, in server order, for the branch whose path of browse names is target;
// lists that branch's leaves. True when currentPath is the target.
bool GetDA20Items(OpcDaProxy& proxy, const std::string& target, const std::string& currentPath,
                  std::vector<ItemRecord>& items, IOPCBrowseServerAddressSpace* space) {
  LogFile& log = proxy.ConnectionLog();
  const LogSink sink = ConnectionLogSink(proxy);
  const bool atTarget = currentPath == target;
  bool failed = false;
  ComPtr<IEnumString> names = BrowseIds(space, atTarget ? OPC_LEAF : OPC_BRANCH, sink, failed);
  if (!names) return atTarget;

  bool found = false;
  ForEachName(names.Get(), sink, [&](std::vector<std::string>& batch) {
    for (std::string& name : batch) {
      std::wstring wide = com::Utf8ToWide(name);
      com::CoTaskString fullId;
      space->GetItemID(wide.data(), fullId.put());
      const std::string itemId = com::WideToUtf8(fullId.get());
      const std::string path =
          currentPath.empty() ? name : Format("%1%%2%%3%", currentPath, proxy.Delimiter(), name);
      if (atTarget) {
        items.push_back({name, itemId});
        continue;
      }
      HRESULT hr = space->ChangeBrowsePosition(OPC_BROWSE_DOWN, wide.c_str());
      if (hr == E_INVALIDARG) {
        log.Write(kLogError, Format("%1%", FormatResult(hr)));
        continue;
      }
      if (FAILED(hr)) {
        log.Write(kLogError, Format("GetDA20ItemsIOPCBrowseServerAddressSpace::ChangeBrowsePosition("
                                    "OPC_BROWSE_DOWN to '%1%') failed: %2%",
                                    name, FormatResult(hr)));
        continue;
      }
      const bool inner = GetDA20Items(proxy, target, path, items, space);
      hr = space->ChangeBrowsePosition(OPC_BROWSE_UP, L"");
      if (FAILED(hr)) {
        log.Write(kLogError, Format("IOPCBrowseServerAddressSpace::ChangeBrowsePosition(OPC_BROWSE_UP) "
                                    "failed: %1%",
                                    FormatResult(hr)));
      }
      if (inner) {
        found = true;
        return false;
      }
    }
    return true;
  });
  return found ? false : atTarget;
}

}  // namespace

std::unique_ptr<BrowseTree> BrowseServerBranches(const OPCServerInfo& server, bool& noBranches,
                                                 bool& browseError) {
  const std::string host = server.url.GetHost();
  if (FAILED(PingHost(host, kDefaultPingTimeoutMs))) {
    throw Exception("Ping failed. Could not reach OPC Server.");
  }
  const CLSID clsid = ToClsid(server.url.GetClsid());
  const WideCredentials credentials{server.user, server.password, server.domain};
  ComPtr<IOPCServer> opcServer;
  const HRESULT created =
      NvCreateInstanceEx(clsid, host, IID_IOPCServer,
                         reinterpret_cast<void**>(opcServer.ReleaseAndGetAddressOf()), &credentials);
  if (created != S_OK) {
    opcServer.Reset();
    throw Exception(Format("NvCreateInstanceEx failed: %1%", FormatResult(created)));
  }

  auto tree = std::make_unique<BrowseTree>();
  BranchWalk walk{*tree, 0, browseError};
  ComPtr<IOPCBrowse> browse;
  HRESULT hr = opcServer.As(&browse);
  if (SUCCEEDED(hr)) {
    GetBranchDA30(browse.Get(), walk, tree->AddTop(), std::string());
  } else if (hr == E_NOINTERFACE) {
    ComPtr<IOPCBrowseServerAddressSpace> space;
    hr = opcServer.As(&space);
    if (FAILED(hr)) throw Exception(Format("Could not create the OPC browser: %1%", FormatResult(hr)));
    hr = space->ChangeBrowsePosition(OPC_BROWSE_TO, L"");
    if (SUCCEEDED(hr)) {
      GetBranchDA20(space.Get(), walk, tree->AddTop());
    } else {
      browseError = true;
      WriteStandaloneLog(kLogError, Format("IOPCBrowseServerAddressSpace::ChangeBrowsePosition("
                                           "OPC_BROWSE_TO) failed: %1%",
                                           FormatResult(hr)));
    }
  } else {
    throw Exception(Format("Could not create the OPC browser: %1%", FormatResult(hr)));
  }
  if (tree->Top() != nullptr && tree->Top()->children.empty()) noBranches = true;
  return tree;
}

std::vector<ItemRecord> GetItems(OpcDaProxy& proxy, const std::string& branchItemId,
                                 const std::string& displayPath) {
  OpcDaProxy::SessionGuard guard(proxy);
  if (!proxy.Open()) return {};
  IOPCServer* server = proxy.Server();
  if (server == nullptr) return {};

  ComPtr<IOPCBrowse> browse;
  HRESULT hr = server->QueryInterface(IID_IOPCBrowse, reinterpret_cast<void**>(browse.ReleaseAndGetAddressOf()));
  if (SUCCEEDED(hr)) return GetDA30Items(proxy, branchItemId, browse.Get());
  if (hr != E_NOINTERFACE) {
    throw Exception(Format("Could not create the OPC browser: %1%", FormatResult(hr)));
  }
  ComPtr<IOPCBrowseServerAddressSpace> space;
  hr = server->QueryInterface(IID_IOPCBrowseServerAddressSpace,
                              reinterpret_cast<void**>(space.ReleaseAndGetAddressOf()));
  if (FAILED(hr)) throw Exception(Format("Could not create the OPC browser: %1%", FormatResult(hr)));
  hr = space->ChangeBrowsePosition(OPC_BROWSE_TO, L"");
  if (FAILED(hr)) {
    proxy.ConnectionLog().Write(
        kLogError, Format("IOPCBrowseServerAddressSpace::ChangeBrowsePosition(OPC_BROWSE_TO root) "
                          "failed: %1%",
                          FormatResult(hr)));
  }
  std::vector<ItemRecord> items;
  GetDA20Items(proxy, displayPath, std::string(), items, space.Get());
  return items;
}

}  // namespace krelta
