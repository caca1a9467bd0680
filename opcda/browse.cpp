#include "opcda/browse.h"

#include <algorithm>
#include <functional>
#include <optional>
#include <set>

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

constexpr ULONG kNamesPerFetch = 100;

// The dialog's walks run on the caller's own server interface: every call may go ahead.
const CallGate kEveryCall = [](const char*) { return true; };

struct Element {
  std::string name;
  std::string itemId;
  DWORD flags;
  HRESULT propertiesError;
};

// All elements below a branch, following continuation points until the server has no more.
// False when the walk stopped early (a failed call, a point handed out twice), which is logged;
// the elements received until then are kept.
bool BrowseAll(IOPCBrowse* browse, const std::string& itemId, OPCBROWSEFILTER filter,
               const LogSink& log, const CallGate& gate, std::vector<Element>& out) {
  std::wstring branch = com::Utf8ToWide(itemId);
  wchar_t emptyName[1] = {L'\0'};
  wchar_t emptyVendor[1] = {L'\0'};
  DWORD noProperties = 0;
  // The first call passes no point (the inner pointer is unique), later ones the point the server
  // handed back. A marshaler may answer in a new block and leave ours allocated, or unmarshal into
  // ours: the block passed in is freed only when a different one came back, and never twice.
  com::CoTaskString continuation;
  std::set<std::wstring> pointsSeen;
  for (;;) {
    BOOL more = FALSE;
    com::CoTaskArray<OPCBROWSEELEMENT, com::BrowseElementCleanup> elements;
    if (!gate("IOPCBrowse::Browse")) return false;
    LPWSTR point = continuation.get();
    const HRESULT hr = browse->Browse(branch.data(), &point, 0, filter, emptyName, emptyVendor,
                                      FALSE, FALSE, 0, &noProperties, &more,
                                      elements.size_address(), elements.put());
    if (point != continuation.get()) continuation.reset(point);
    if (FAILED(hr)) {
      log(kLogError, Format("IOPCBrowse::Browse failed: %1%", FormatResult(hr)));
      return false;
    }
    for (const OPCBROWSEELEMENT& e : elements) {
      out.push_back({com::WideToUtf8(e.szName), com::WideToUtf8(e.szItemID), e.dwFlagValue,
                     e.ItemProperties.hrErrorID});
    }
    if (!continuation || continuation.get()[0] == L'\0') return true;
    // A server that hands out a point again would page forever.
    if (!pointsSeen.insert(continuation.get()).second) {
      log(kLogError, Format("IOPCBrowse::Browse returned the continuation point '%1%' a second "
                            "time while browsing '%2%'; the browse ends with the elements received.",
                            com::WideToUtf8(continuation.get()), itemId));
      return false;
    }
  }
}

// The names of an IEnumString, fetched kNamesPerFetch at a time as they are needed.
class NameReader {
 public:
  NameReader(ComPtr<IEnumString> names, const LogSink& log, const CallGate& gate)
      : names_(std::move(names)), log_(log), gate_(gate) {}
  // The next name; false at the end. A failed fetch, or an S_OK batch without names (which would
  // be fetched forever), is logged and ends the names: failed() tells.
  bool Next(std::string& name);
  bool failed() const { return failed_; }

 private:
  ComPtr<IEnumString> names_;
  const LogSink& log_;
  const CallGate& gate_;
  std::vector<std::string> batch_;
  std::size_t next_ = 0;
  bool done_ = false;
  bool failed_ = false;
};

bool NameReader::Next(std::string& name) {
  while (next_ == batch_.size()) {
    if (done_) return false;
    if (!gate_("IEnumString::Next")) {
      failed_ = done_ = true;
      return false;
    }
    LPOLESTR fetched[kNamesPerFetch] = {};
    ULONG count = 0;
    const HRESULT hr = names_->Next(kNamesPerFetch, fetched, &count);
    if (FAILED(hr)) {
      log_(kLogError, Format("IEnumString::Next failed: %1%", FormatResult(hr)));
      failed_ = done_ = true;
      return false;
    }
    batch_.clear();
    next_ = 0;
    // COM's stub reports a full batch for every S_OK, so a server's short S_OK batch arrives
    // padded with null names: they are no names.
    for (ULONG i = 0; i < count && i < kNamesPerFetch; ++i) {
      com::CoTaskString owned(fetched[i]);
      if (owned) batch_.push_back(com::WideToUtf8(owned.get()));
    }
    done_ = hr != S_OK;
    if (hr == S_OK && batch_.empty()) {
      log_(kLogError, "IEnumString::Next answered S_OK without a name; the enumeration ends with "
                      "the names received.");
      failed_ = done_ = true;
      return false;
    }
  }
  name = std::move(batch_[next_++]);
  return true;
}

// BrowseOPCItemIDs at the current position; no reader (logged) on failure or when empty.
std::optional<NameReader> BrowseIds(IOPCBrowseServerAddressSpace* space, OPCBROWSETYPE type,
                                    const LogSink& log, const CallGate& gate, bool& failed) {
  ComPtr<IEnumString> names;
  failed = false;
  if (!gate("IOPCBrowseServerAddressSpace::BrowseOPCItemIDs")) {
    failed = true;
    return std::nullopt;
  }
  const HRESULT hr = space->BrowseOPCItemIDs(type, L"", VT_EMPTY, 0, names.ReleaseAndGetAddressOf());
  if (FAILED(hr)) {
    failed = true;
    log(kLogError, Format("IOPCBrowseServerAddressSpace::BrowseOPCItemIDs failed: %1%",
                          FormatResult(hr)));
    return std::nullopt;
  }
  if (hr == S_FALSE || !names) {
    log(kLogInformation, "IOPCBrowseServerAddressSpace::BrowseOPCItemIDs, nothing more to enumerate.");
    return std::nullopt;
  }
  return NameReader(std::move(names), log, gate);
}

// ---- branches, for the configuration dialog ----
//
// Both walks keep their own stack instead of recursing, so a deep address space costs heap, not
// the caller's stack (a host thread may have no more than 1 MB). Below kMaxBranchDepth levels
// they stop and log: only a server that lists a branch inside itself gets there.

struct BranchWalk {
  BrowseTree& tree;
  std::uint64_t counter = 0;
  bool& browseError;
  LogSink log = [](std::int32_t level, const std::string& message) {
    WriteStandaloneLog(level, message);
  };

  // False (logged, browse error) when node lies too deep to be browsed.
  bool MayBrowseBelow(const BrowseNode& node) {
    if (node.level - 1 < kMaxBranchDepth) return true;
    browseError = true;
    log(kLogError, Format("The branch '%1%' lies %2% levels deep; its sub-branches are not browsed.",
                          node.record.itemId, kMaxBranchDepth));
    return false;
  }
};

// Whether itemId is the branch of node or of one of its ancestors (the top is browsed as "").
bool IsBranchOrAncestor(const BrowseNode& node, const std::string& itemId) {
  for (const BrowseNode* n = &node; n != nullptr; n = n->parent) {
    if ((n->parent != nullptr ? n->record.itemId : std::string()) == itemId) return true;
  }
  return false;
}

void WalkBranchesDA30(IOPCBrowse* browse, BranchWalk& walk, BrowseNode& top) {
  struct Pending {
    BrowseNode* parent;
    BrowseRecord record;
  };
  std::vector<Pending> pending;  // the next branch to add on top
  // Browses node's branch and puts its sub-branches on the stack, the first one on top.
  const auto browseBelow = [&](BrowseNode& node, const std::string& itemId) {
    std::vector<Element> elements;
    if (!BrowseAll(browse, itemId, OPC_BROWSE_FILTER_BRANCHES, walk.log, kEveryCall, elements)) {
      walk.browseError = true;
    }
    const std::size_t firstOfNode = pending.size();
    for (Element& e : elements) {
      if (e.propertiesError == OPC_E_UNKNOWNITEMID) {
        walk.browseError = true;
        walk.log(kLogError, Format("OpcDaProxy::GetBranch, IOPCBrowse::Browse partialy failed, the "
                                   "following item displayed but is not known to the OPC server: %1%",
                                   e.name));
      }
      if (!(e.flags & OPC_BROWSE_HASCHILDREN)) continue;
      if (IsBranchOrAncestor(node, e.itemId)) {
        walk.browseError = true;
        walk.log(kLogError, Format("IOPCBrowse::Browse lists the branch '%1%' inside itself; it is "
                                   "not browsed again.",
                                   e.itemId));
        continue;
      }
      pending.push_back({&node, {false, std::move(e.name), std::move(e.itemId)}});
    }
    std::reverse(pending.begin() + static_cast<std::ptrdiff_t>(firstOfNode), pending.end());
  };
  browseBelow(top, std::string());
  while (!pending.empty()) {
    Pending next = std::move(pending.back());
    pending.pop_back();
    BrowseNode& child = walk.tree.Add(*next.parent, ++walk.counter, std::move(next.record));
    if (walk.MayBrowseBelow(child)) browseBelow(child, child.record.itemId);
  }
}

void WalkBranchesDA20(IOPCBrowseServerAddressSpace* space, BranchWalk& walk, BrowseNode& top) {
  struct Level {
    BrowseNode* node;
    std::optional<NameReader> names;
  };
  const auto open = [&](BrowseNode& node) {
    bool failed = false;
    Level level{&node, BrowseIds(space, OPC_BRANCH, walk.log, kEveryCall, failed)};
    if (failed) walk.browseError = true;
    return level;
  };
  const auto up = [&] {
    const HRESULT hr = space->ChangeBrowsePosition(OPC_BROWSE_UP, L"");
    if (FAILED(hr)) {
      walk.browseError = true;
      walk.log(kLogError, Format("IOPCBrowseServerAddressSpace::ChangeBrowsePosition(OPC_BROWSE_UP) "
                                 "failed: %1%",
                                 FormatResult(hr)));
    }
  };
  std::vector<Level> levels;  // the server's browse position is at the last one
  levels.push_back(open(top));
  while (!levels.empty()) {
    Level& level = levels.back();
    std::string name;
    const bool more = level.names && level.names->Next(name);
    if (more && !walk.MayBrowseBelow(*level.node)) level.names.reset();
    if (!more || !level.names) {
      if (level.names && level.names->failed()) walk.browseError = true;
      levels.pop_back();
      if (!levels.empty()) up();
      continue;
    }
    const HRESULT hr = space->ChangeBrowsePosition(OPC_BROWSE_DOWN, com::Utf8ToWide(name).c_str());
    if (FAILED(hr)) {
      walk.browseError = true;
      walk.log(kLogError, Format("GetBranchIOPCBrowseServerAddressSpace::ChangeBrowsePosition("
                                 "OPC_BROWSE_DOWN) failed: %1%",
                                 FormatResult(hr)));
      continue;
    }
    BrowseNode& child = walk.tree.Add(*level.node, ++walk.counter, {false, name, name});
    levels.push_back(open(child));
  }
}

// ---- items of one branch, for the connection ----

std::vector<ItemRecord> GetDA30Items(const LogSink& log, const CallGate& gate,
                                     const std::string& itemId, IOPCBrowse* browse) {
  std::vector<Element> elements;
  BrowseAll(browse, itemId, OPC_BROWSE_FILTER_ITEMS, log, gate, elements);
  std::vector<ItemRecord> items;
  items.reserve(elements.size());
  for (Element& e : elements) {
    if (e.propertiesError == OPC_E_UNKNOWNITEMID) {
      log(kLogError, Format("OpcDaProxy::GetDA30Items, IOPCBrowse::Browse partialy failed, "
                                  "the following item was not added: %1%",
                                  e.name));
      continue;
    }
    items.push_back({std::move(e.name), std::move(e.itemId)});
  }
  return items;
}

// Whether the branch at path is the target or lies on the way to it.
bool LeadsTo(const std::string& path, const std::string& target, const std::string& delimiter) {
  if (path == target) return true;
  return target.size() > path.size() + delimiter.size() && target.compare(0, path.size(), path) == 0 &&
         target.compare(path.size(), delimiter.size(), delimiter) == 0;
}

// Depth-first search, in server order, for the branch whose path of browse names is target;
// lists that branch's leaves with their full item IDs. Descends only into branches on the way
// to the target: no other branch can match.
std::vector<ItemRecord> GetDA20Items(const LogSink& log, const CallGate& gate,
                                     const std::string& target, const std::string& delimiter,
                                     IOPCBrowseServerAddressSpace* space) {
  const LogSink& sink = log;
  struct Level {
    std::string path;
    std::optional<NameReader> names;
  };
  const auto open = [&](std::string path) {
    bool failed = false;
    const OPCBROWSETYPE type = path == target ? OPC_LEAF : OPC_BRANCH;
    return Level{std::move(path), BrowseIds(space, type, sink, gate, failed)};
  };
  // Once the owner gave up, the walk unwinds without another call.
  bool stopped = false;
  const auto mayCall = [&](const char* call) { return !stopped && !(stopped = !gate(call)); };
  const auto up = [&] {
    if (!mayCall("IOPCBrowseServerAddressSpace::ChangeBrowsePosition")) return;
    const HRESULT hr = space->ChangeBrowsePosition(OPC_BROWSE_UP, L"");
    if (FAILED(hr)) {
      log(kLogError, Format("IOPCBrowseServerAddressSpace::ChangeBrowsePosition(OPC_BROWSE_UP) "
                                  "failed: %1%",
                                  FormatResult(hr)));
    }
  };
  std::vector<ItemRecord> items;
  std::vector<Level> levels;  // the server's browse position is at the last one
  levels.push_back(open(std::string()));
  while (!levels.empty()) {
    Level& level = levels.back();
    std::string name;
    if (level.path == target) {
      while (level.names && level.names->Next(name) && mayCall("IOPCBrowseServerAddressSpace::GetItemID")) {
        std::wstring wide = com::Utf8ToWide(name);
        com::CoTaskString fullId;
        space->GetItemID(wide.data(), fullId.put());
        items.push_back({std::move(name), com::WideToUtf8(fullId.get())});
      }
      // The level above stops scanning its other names once the target was found below it.
      for (int i = 0; i < 2 && !levels.empty(); ++i) {
        levels.pop_back();
        if (!levels.empty()) up();
      }
      continue;
    }
    if (stopped || !level.names || !level.names->Next(name)) {
      levels.pop_back();
      if (!levels.empty()) up();
      continue;
    }
    std::string path =
        level.path.empty() ? name : Format("%1%%2%%3%", level.path, delimiter, name);
    if (!LeadsTo(path, target, delimiter)) continue;
    if (levels.size() > kMaxBranchDepth) {
      log(kLogError, Format("The branch '%1%' lies more than %2% levels deep; the search does "
                                  "not descend into it.",
                                  path, kMaxBranchDepth));
      continue;
    }
    if (!mayCall("IOPCBrowseServerAddressSpace::ChangeBrowsePosition")) continue;
    const HRESULT hr = space->ChangeBrowsePosition(OPC_BROWSE_DOWN, com::Utf8ToWide(name).c_str());
    if (hr == E_INVALIDARG) {
      log(kLogError, Format("%1%", FormatResult(hr)));
      continue;
    }
    if (FAILED(hr)) {
      log(kLogError, Format("GetDA20ItemsIOPCBrowseServerAddressSpace::ChangeBrowsePosition("
                                  "OPC_BROWSE_DOWN to '%1%') failed: %2%",
                                  name, FormatResult(hr)));
      continue;
    }
    levels.push_back(open(std::move(path)));
  }
  return items;
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

  noBranches = false;
  browseError = false;
  auto tree = std::make_unique<BrowseTree>();
  BranchWalk walk{*tree, 0, browseError};
  ComPtr<IOPCBrowse> browse;
  HRESULT hr = opcServer.As(&browse);
  if (SUCCEEDED(hr)) {
    WalkBranchesDA30(browse.Get(), walk, tree->AddTop());
  } else if (hr == E_NOINTERFACE) {
    ComPtr<IOPCBrowseServerAddressSpace> space;
    hr = opcServer.As(&space);
    if (FAILED(hr)) throw Exception(Format("Could not create the OPC browser: %1%", FormatResult(hr)));
    hr = space->ChangeBrowsePosition(OPC_BROWSE_TO, L"");
    if (SUCCEEDED(hr)) {
      WalkBranchesDA20(space.Get(), walk, tree->AddTop());
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

std::vector<ItemRecord> ListBranchItems(IOPCServer* server, const std::string& branchItemId,
                                        const std::string& displayPath, const std::string& delimiter,
                                        const LogSink& log, const CallGate& asked) {
  const CallGate& gate = asked ? asked : kEveryCall;
  if (server == nullptr || !gate("QueryInterface(IOPCBrowse)")) return {};
  ComPtr<IOPCBrowse> browse;
  HRESULT hr = server->QueryInterface(IID_IOPCBrowse, reinterpret_cast<void**>(browse.ReleaseAndGetAddressOf()));
  if (SUCCEEDED(hr)) return GetDA30Items(log, gate, branchItemId, browse.Get());
  if (hr != E_NOINTERFACE) {
    throw Exception(Format("Could not create the OPC browser: %1%", FormatResult(hr)));
  }
  ComPtr<IOPCBrowseServerAddressSpace> space;
  if (!gate("QueryInterface(IOPCBrowseServerAddressSpace)")) return {};
  hr = server->QueryInterface(IID_IOPCBrowseServerAddressSpace,
                              reinterpret_cast<void**>(space.ReleaseAndGetAddressOf()));
  if (FAILED(hr)) throw Exception(Format("Could not create the OPC browser: %1%", FormatResult(hr)));
  if (!gate("IOPCBrowseServerAddressSpace::ChangeBrowsePosition")) return {};
  hr = space->ChangeBrowsePosition(OPC_BROWSE_TO, L"");
  if (FAILED(hr)) {
    log(kLogError, Format("IOPCBrowseServerAddressSpace::ChangeBrowsePosition(OPC_BROWSE_TO root) "
                          "failed: %1%",
                          FormatResult(hr)));
  }
  return GetDA20Items(log, gate, displayPath, delimiter, space.Get());
}

std::vector<ItemRecord> GetItems(OpcDaProxy& proxy, const std::string& branchItemId,
                                 const std::string& displayPath) {
  ItemListing listing = proxy.List(branchItemId, displayPath);
  if (listing.unanswered != nullptr) {
    throw UnansweredListing(Format("The items of node %1% were not listed: the server did not "
                                   "answer %2% within the call bound.",
                                   displayPath.empty() ? branchItemId : displayPath,
                                   listing.unanswered));
  }
  return std::move(listing.items);
}

}  // namespace krelta
