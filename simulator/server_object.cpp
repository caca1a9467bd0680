#include "simulator/server_object.h"

#include <algorithm>
#include <atomic>
#include <olectl.h>

#include <set>

#include "opc_da_constants.h"
#include "simulator/enumerators.h"
#include "simulator/server_objects.h"
#include "simulator_control.h"

namespace krelta::sim {

namespace {

std::mutex g_serversLock;
std::set<ServerObject*>& Servers() {
  static auto* servers = new std::set<ServerObject*>();
  return *servers;
}
// Sinks whose Unadvise failed on purpose: they outlive their server object, as with a server
// that keeps references it should have dropped. Guarded by g_serversLock.
std::vector<com::ComPtr<IOPCShutdown>>& KeptSinks() {
  static auto* sinks = new std::vector<com::ComPtr<IOPCShutdown>>();
  return *sinks;
}

// SIM_FAULT_SHUTDOWN_IN_CALL: the call asks the sinks to shut down and waits for their answers
// before it does its own work, as a server that blocks until its shutdown request returns.
void ShutdownInsideCall(ShutdownPoint& point, LONG bit, const wchar_t* reason) {
  if ((Runtime::Get().Fault(SIM_FAULT_SHUTDOWN_IN_CALL) & bit) == 0) return;
  std::vector<com::ComPtr<IOPCShutdown>> sinks;
  point.CollectSinks(sinks);
  for (auto& sink : sinks) sink->ShutdownRequest(reason);
}

struct PropertyInfo {
  DWORD id;
  VARTYPE type;
  const wchar_t* description;
};
constexpr PropertyInfo kProperties[] = {
    {OPC_PROPERTY_DATATYPE, VT_I2, L"Item Canonical Data Type"},
    {OPC_PROPERTY_VALUE, VT_VARIANT, L"Item Value"},
    {OPC_PROPERTY_QUALITY, VT_I2, L"Item Quality"},
    {OPC_PROPERTY_TIMESTAMP, VT_DATE, L"Item Timestamp"},
    {OPC_PROPERTY_ACCESS_RIGHTS, VT_I4, L"Item Access Rights"},
};

const PropertyInfo* FindProperty(DWORD id) {
  for (const PropertyInfo& p : kProperties) {
    if (p.id == id) return &p;
  }
  return nullptr;
}

HRESULT PropertyValue(const AddressSpace& space, Item& item, DWORD id, VARIANT* out) {
  std::lock_guard<std::mutex> guard(space.lock());
  switch (id) {
    case OPC_PROPERTY_DATATYPE:
      out->vt = VT_I2;
      out->iVal = static_cast<SHORT>(item.type);
      return S_OK;
    case OPC_PROPERTY_VALUE:
      return ::VariantCopy(out, item.value.get());
    case OPC_PROPERTY_QUALITY:
      out->vt = VT_I2;
      out->iVal = static_cast<SHORT>(item.quality);
      return S_OK;
    case OPC_PROPERTY_TIMESTAMP: {
      SYSTEMTIME st;
      ::FileTimeToSystemTime(&item.timestamp, &st);
      out->vt = VT_DATE;
      return ::SystemTimeToVariantTime(&st, &out->date) ? S_OK : E_FAIL;
    }
    case OPC_PROPERTY_ACCESS_RIGHTS:
      out->vt = VT_I4;
      out->lVal = static_cast<LONG>(item.rights);
      return S_OK;
    default:
      return OPC_E_INVALID_PID;
  }
}

// Fills props for one ItemID: all properties when ids is empty. Returns false when out of memory.
bool FillProperties(const AddressSpace& space, const std::wstring& itemId, bool values,
                    const std::vector<DWORD>& ids, OPCITEMPROPERTIES& props) {
  Item* item = const_cast<AddressSpace&>(space).FindItem(itemId);
  if (item == nullptr) {
    props.hrErrorID = space.FindBranch(itemId) != nullptr ? S_OK : OPC_E_UNKNOWNITEMID;
    return true;
  }
  std::vector<DWORD> wanted = ids;
  if (wanted.empty()) {
    for (const PropertyInfo& p : kProperties) wanted.push_back(p.id);
  }
  com::CoTaskArray<OPCITEMPROPERTY, com::ItemPropertyCleanup> array;
  if (!AllocateArray(array, wanted.size())) return false;
  bool anyFailed = false;
  for (size_t i = 0; i < wanted.size(); ++i) {
    OPCITEMPROPERTY& p = array[i];
    p.dwPropertyID = wanted[i];
    const PropertyInfo* info = FindProperty(wanted[i]);
    if (info == nullptr) {
      p.hrErrorID = OPC_E_INVALID_PID;
      anyFailed = true;
      continue;
    }
    p.vtDataType = info->id == OPC_PROPERTY_VALUE ? item->type : info->type;
    p.szDescription = CoTaskCopy(info->description);
    if (p.szDescription == nullptr) return false;
    if (values) p.hrErrorID = PropertyValue(space, *item, info->id, &p.vValue);
  }
  props.hrErrorID = anyFailed ? S_FALSE : S_OK;
  props.dwNumProperties = static_cast<DWORD>(wanted.size());
  props.pItemProperties = array.release();
  return true;
}

std::wstring Text(LPCWSTR s) { return s != nullptr ? s : L""; }

std::wstring ErrorText(HRESULT error) {
  switch (error) {
    case OPC_E_INVALIDHANDLE: return L"The value of the handle is invalid.";
    case OPC_E_BADTYPE: return L"The server cannot convert the data between the requested type and the canonical type.";
    case OPC_E_PUBLIC: return L"The requested operation cannot be done on a public group.";
    case OPC_E_BADRIGHTS: return L"The item's access rights do not allow the operation.";
    case OPC_E_UNKNOWNITEMID: return L"The item ID is not defined in the server's address space.";
    case OPC_E_INVALIDITEMID: return L"The item ID does not conform to the server's syntax.";
    case OPC_E_INVALIDFILTER: return L"The filter string was not valid.";
    case OPC_E_UNKNOWNPATH: return L"The item's access path is not known to the server.";
    case OPC_E_RANGE: return L"The value was out of range.";
    case OPC_E_DUPLICATENAME: return L"Duplicate name not allowed.";
    case OPC_S_UNSUPPORTEDRATE: return L"The server does not support the requested data rate but will use the closest available rate.";
    case OPC_S_CLAMP: return L"A value passed to write was accepted but the output was clamped.";
    case OPC_S_INUSE: return L"The operation cannot be performed because the object is being referenced.";
    case OPC_E_INVALIDCONFIGFILE: return L"The server's configuration file is an invalid format.";
    case OPC_E_NOTFOUND: return L"The requested object was not found.";
    case OPC_E_INVALID_PID: return L"The specified property ID is not valid for the item.";
    case OPC_E_INVALIDCONTINUATIONPOINT: return L"The continuation point is not valid.";
    case OPC_E_NOTSUPPORTED: return L"The server does not support writing of quality and/or timestamp.";
    default: break;
  }
  wchar_t* buffer = nullptr;
  const DWORD n = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, static_cast<DWORD>(error), 0,
                                   reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
  std::wstring text;
  if (n > 0 && buffer != nullptr) {
    text.assign(buffer, n);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) text.pop_back();
  }
  if (buffer != nullptr) ::LocalFree(buffer);
  return text;
}

HRESULT CopyErrorText(HRESULT error, LPWSTR* text) {
  if (text == nullptr) return E_INVALIDARG;
  *text = nullptr;
  const std::wstring message = ErrorText(error);
  if (message.empty()) return E_INVALIDARG;
  *text = CoTaskCopy(message);
  return *text != nullptr ? S_OK : E_OUTOFMEMORY;
}

bool LocaleSupported(LCID lcid) {
  return lcid == LOCALE_SYSTEM_DEFAULT || lcid == LOCALE_USER_DEFAULT || lcid == LOCALE_NEUTRAL ||
         lcid == 0x0409;
}

std::wstring Join(const std::wstring& path, const std::wstring& name) {
  return path.empty() ? name : path + L"." + name;
}

// SIM_FAULT_SELF_LISTING and SIM_FAULT_DEEP_CHAIN: address spaces no text can describe.
bool SelfListing() { return Runtime::Get().Fault(SIM_FAULT_SELF_LISTING) != 0; }
LONG DeepChainLength() { return std::max<LONG>(0, Runtime::Get().Fault(SIM_FAULT_DEEP_CHAIN)); }
constexpr wchar_t kDeepName[] = L"Deep";
// Level k of the chain has the item ID "Deep#k"; short IDs keep a 10,000-level chain small.
std::wstring DeepId(unsigned level) { return L"Deep#" + std::to_wstring(level); }
unsigned DeepLevel(const std::wstring& id) {
  if (id.rfind(L"Deep#", 0) != 0) return 0;
  const unsigned long level = std::wcstoul(id.c_str() + 5, nullptr, 10);
  return level >= 1 && static_cast<LONG>(level) <= DeepChainLength() ? static_cast<unsigned>(level) : 0;
}

void CollectFlat(const Branch& branch, const std::wstring& filter, VARTYPE vt, DWORD rights,
                 std::vector<std::wstring>& out) {
  for (const Item* item : branch.items) {
    if ((vt == VT_EMPTY || item->type == vt) && (item->rights & rights) == rights &&
        MatchesWildcard(filter, item->name)) {
      out.push_back(item->id);
    }
  }
  for (const auto& child : branch.branches) CollectFlat(*child, filter, vt, rights, out);
}

}  // namespace

// ---- ShutdownPoint ----

ShutdownPoint::~ShutdownPoint() {
  Runtime::Get().Count(SIM_COUNTER_SINKS_ADVISED, -static_cast<LONG>(sinks_.size()));
}

HRESULT STDMETHODCALLTYPE ShutdownPoint::QueryInterface(REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IConnectionPoint)) return E_NOINTERFACE;
  *out = static_cast<IConnectionPoint*>(this);
  AddRef();
  return S_OK;
}
ULONG STDMETHODCALLTYPE ShutdownPoint::AddRef() { return server_->AddRef(); }
ULONG STDMETHODCALLTYPE ShutdownPoint::Release() { return server_->Release(); }

HRESULT STDMETHODCALLTYPE ShutdownPoint::GetConnectionInterface(IID* iid) {
  if (iid == nullptr) return E_POINTER;
  *iid = IID_IOPCShutdown;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE ShutdownPoint::GetConnectionPointContainer(IConnectionPointContainer** out) {
  if (out == nullptr) return E_POINTER;
  *out = static_cast<IConnectionPointContainer*>(server_);
  server_->AddRef();
  return S_OK;
}

HRESULT STDMETHODCALLTYPE ShutdownPoint::Advise(IUnknown* sink, DWORD* cookie) {
  CallScope call("IConnectionPoint::Advise");
  return Guarded(call, [&]() -> HRESULT {
    if (cookie == nullptr) return E_POINTER;
    *cookie = 0;
    if (sink == nullptr) return E_POINTER;
    HRESULT hr;
    if (FaultStops(SIM_FAULT_ADVISE_RESULT, &hr)) return hr;
    com::ComPtr<IOPCShutdown> shutdown;
    if (FAILED(sink->QueryInterface(IID_IOPCShutdown, reinterpret_cast<void**>(shutdown.GetAddressOf())))) {
      return CONNECT_E_CANNOTCONNECT;
    }
    {
      std::lock_guard<std::mutex> guard(lock_);
      const DWORD c = nextCookie_++;
      sinks_.emplace(c, shutdown);
      *cookie = c;
    }
    Runtime::Get().Count(SIM_COUNTER_SINKS_ADVISED);
    if ((Runtime::Get().Fault(SIM_FAULT_SHUTDOWN_IN_CALL) & 4) != 0) {
      shutdown->ShutdownRequest(L"shutdown during Advise");
    }
    return FaultSuccess(SIM_FAULT_ADVISE_RESULT, S_OK);
  });
}

HRESULT STDMETHODCALLTYPE ShutdownPoint::Unadvise(DWORD cookie) {
  CallScope call("IConnectionPoint::Unadvise");
  call.Args("cookie=%lu", cookie);
  return Guarded(call, [&]() -> HRESULT {
    ShutdownInsideCall(*this, 2, L"shutdown during Unadvise");
    WaitForShutdownRequests();
    com::ComPtr<IOPCShutdown> released;  // released outside the lock: it is a remote call
    {
      std::lock_guard<std::mutex> guard(lock_);
      auto found = sinks_.find(cookie);
      if (found == sinks_.end()) return CONNECT_E_NOCONNECTION;
      released = std::move(found->second);
      sinks_.erase(found);
    }
    Runtime::Get().Count(SIM_COUNTER_SINKS_ADVISED, -1);
    HRESULT hr;
    if (FaultStops(SIM_FAULT_UNADVISE_RESULT, &hr)) {
      std::lock_guard<std::mutex> guard(g_serversLock);
      KeptSinks().push_back(std::move(released));
      Runtime::Get().Count(SIM_COUNTER_KEPT_SINKS);
      return hr;
    }
    return S_OK;
  });
}

HRESULT STDMETHODCALLTYPE ShutdownPoint::EnumConnections(IEnumConnections** out) {
  if (out != nullptr) *out = nullptr;
  return E_NOTIMPL;
}

void ShutdownPoint::CollectSinks(std::vector<com::ComPtr<IOPCShutdown>>& sinks) {
  std::lock_guard<std::mutex> guard(lock_);
  for (auto& entry : sinks_) sinks.push_back(entry.second);
}

// ---- ServerObject ----

ServerObject::ServerObject(bool da3) : da3_(da3), point_(this) {
  ::GetSystemTimeAsFileTime(&start_);
  Runtime::Get().Count(SIM_COUNTER_SERVERS_CREATED);
  Runtime::Get().Count(SIM_COUNTER_SERVERS_LIVE);
  std::lock_guard<std::mutex> guard(g_serversLock);
  Servers().insert(this);
}

ServerObject::~ServerObject() {
  {
    std::lock_guard<std::mutex> guard(g_serversLock);
    Servers().erase(this);
  }
  for (auto& entry : groups_) {
    entry.second->Retire();
    Runtime::Get().Count(SIM_COUNTER_GROUPS_LIVE, -1);
  }
  Runtime::Get().Count(SIM_COUNTER_SERVERS_LIVE, -1);
}

HRESULT STDMETHODCALLTYPE ServerObject::QueryInterface(REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IOPCServer)) {
    *out = static_cast<IOPCServer*>(this);
  } else if (IsEqualIID(iid, IID_IOPCCommon)) {
    *out = static_cast<IOPCCommon*>(this);
  } else if (IsEqualIID(iid, IID_IOPCItemProperties)) {
    *out = static_cast<IOPCItemProperties*>(this);
  } else if (IsEqualIID(iid, IID_IConnectionPointContainer) &&
             Runtime::Get().Fault(SIM_FAULT_NO_CONTAINER) == 0) {
    *out = static_cast<IConnectionPointContainer*>(this);
  } else if (IsEqualIID(iid, IID_IOPCBrowseServerAddressSpace)) {
    *out = static_cast<IOPCBrowseServerAddressSpace*>(this);
  } else if (IsEqualIID(iid, IID_IOPCServerPublicGroups)) {
    *out = static_cast<IOPCServerPublicGroups*>(this);
  } else if (IsEqualIID(iid, IID_IOPCBrowse) && da3_) {
    *out = static_cast<IOPCBrowse*>(this);
  } else {
    return E_NOINTERFACE;
  }
  AddRefImpl();
  return S_OK;
}

HRESULT STDMETHODCALLTYPE ServerObject::AddGroup(LPCWSTR name, BOOL active, DWORD rate,
                                                 OPCHANDLE clientGroup, LONG* timeBias,
                                                 FLOAT* deadband, DWORD lcid, OPCHANDLE* serverGroup,
                                                 DWORD* revisedRate, REFIID iid, LPUNKNOWN* out) {
  CallScope call("IOPCServer::AddGroup");
  call.Args("name=%ls active=%d rate=%lu", name ? name : L"(null)", active, rate);
  return Guarded(call, [&]() -> HRESULT {
    if (out == nullptr || serverGroup == nullptr || revisedRate == nullptr) return E_INVALIDARG;
    *out = nullptr;
    *serverGroup = 0;
    *revisedRate = 0;
    HRESULT hr;
    if (FaultStops(SIM_FAULT_ADDGROUP_RESULT, &hr)) return hr;
    if (Runtime::Get().Fault(SIM_FAULT_ADDGROUP_NULL) != 0) {
      *revisedRate = rate;
      return S_OK;
    }
    if (deadband != nullptr && (*deadband < 0.0f || *deadband > 100.0f)) return E_INVALIDARG;
    GroupSettings settings;
    settings.name = Text(name);
    settings.active = active;
    settings.updateRate = rate == 0 ? 50 : rate;
    settings.clientHandle = clientGroup;
    settings.deadband = deadband != nullptr ? *deadband : 0.0f;
    settings.lcid = lcid;
    if (timeBias != nullptr) {
      settings.timeBias = *timeBias;
    } else {
      TIME_ZONE_INFORMATION zone;
      ::GetTimeZoneInformation(&zone);
      settings.timeBias = zone.Bias;
    }
    const DWORD revised = settings.updateRate;
    hr = InsertGroup(std::move(settings), nullptr, iid, out, serverGroup);
    if (FAILED(hr)) return hr;
    *revisedRate = revised;
    Runtime& rt = Runtime::Get();
    rt.Count(SIM_COUNTER_GROUPS_ADDED);
    rt.SetLastGroup({Text(name), rate, active});
    return FaultSuccess(SIM_FAULT_ADDGROUP_RESULT, rate == 0 ? OPC_S_UNSUPPORTEDRATE : S_OK);
  });
}

HRESULT ServerObject::InsertGroup(GroupSettings settings, const GroupObject* itemsFrom, REFIID iid,
                                  LPUNKNOWN* out, OPCHANDLE* serverGroup) {
  std::lock_guard<std::mutex> guard(lock_);
  if (settings.name.empty()) {
    settings.name = L"Group" + std::to_wstring(nextGroupName_++);
  }
  for (auto& entry : groups_) {
    if (entry.second->Name() == settings.name) return OPC_E_DUPLICATENAME;
  }
  settings.serverHandle = nextGroup_;
  com::ComPtr<GroupObject> group;
  com::Adopt(group, new GroupObject(this, da3_, settings));
  if (itemsFrom != nullptr) group->CopyItems(*itemsFrom);
  const HRESULT hr = group->QueryInterface(iid, reinterpret_cast<void**>(out));
  if (FAILED(hr)) {
    group->Retire();
    return hr;
  }
  groups_.emplace(nextGroup_, std::move(group));
  if (serverGroup != nullptr) *serverGroup = nextGroup_;
  ++nextGroup_;
  Runtime::Get().Count(SIM_COUNTER_GROUPS_LIVE);
  return S_OK;
}

HRESULT ServerObject::RenameGroup(GroupObject* group, const std::wstring& name) {
  std::lock_guard<std::mutex> guard(lock_);
  for (auto& entry : groups_) {
    if (entry.second.Get() != group && entry.second->Name() == name) return OPC_E_DUPLICATENAME;
  }
  group->SetNameUnchecked(name);
  return S_OK;
}

HRESULT STDMETHODCALLTYPE ServerObject::GetErrorString(HRESULT error, LCID, LPWSTR* text) {
  CallScope call("IOPCServer::GetErrorString");
  call.Args("error=0x%08lX", static_cast<unsigned long>(error));
  return Guarded(call, [&] { return CopyErrorText(error, text); });
}

HRESULT STDMETHODCALLTYPE ServerObject::GetGroupByName(LPCWSTR name, REFIID iid, LPUNKNOWN* out) {
  CallScope call("IOPCServer::GetGroupByName");
  call.Args("name=%ls", name ? name : L"(null)");
  return Guarded(call, [&]() -> HRESULT {
    if (out == nullptr) return E_INVALIDARG;
    *out = nullptr;
    std::lock_guard<std::mutex> guard(lock_);
    for (auto& entry : groups_) {
      if (entry.second->Name() == Text(name)) {
        return entry.second->QueryInterface(iid, reinterpret_cast<void**>(out));
      }
    }
    return E_INVALIDARG;
  });
}

HRESULT STDMETHODCALLTYPE ServerObject::GetStatus(OPCSERVERSTATUS** status) {
  CallScope call("IOPCServer::GetStatus");
  return Guarded(call, [&]() -> HRESULT {
    if (status == nullptr) return E_INVALIDARG;
    *status = nullptr;
    com::CoTaskMem<OPCSERVERSTATUS> out(
        static_cast<OPCSERVERSTATUS*>(::CoTaskMemAlloc(sizeof(OPCSERVERSTATUS))));
    if (!out) return E_OUTOFMEMORY;
    std::memset(out.get(), 0, sizeof(OPCSERVERSTATUS));
    out->ftStartTime = start_;
    ::GetSystemTimeAsFileTime(&out->ftCurrentTime);
    out->dwServerState = OPC_STATUS_RUNNING;
    {
      std::lock_guard<std::mutex> guard(lock_);
      out->dwGroupCount = static_cast<DWORD>(groups_.size());
    }
    out->wMajorVersion = 1;
    out->wMinorVersion = 0;
    out->wBuildNumber = 1;
    out->szVendorInfo = CoTaskCopy(da3_ ? L"OpcDAKrelta Simulator (DA 3.00)" : L"OpcDAKrelta Simulator (DA 2.05)");
    if (out->szVendorInfo == nullptr) return E_OUTOFMEMORY;
    *status = out.release();
    return S_OK;
  });
}

HRESULT STDMETHODCALLTYPE ServerObject::RemoveGroup(OPCHANDLE serverGroup, BOOL force) {
  CallScope call("IOPCServer::RemoveGroup");
  call.Args("handle=%lu force=%d", serverGroup, force);
  return Guarded(call, [&]() -> HRESULT {
    Runtime::Get().Count(SIM_COUNTER_REMOVEGROUP_CALLS);
    ShutdownInsideCall(point_, 1, L"shutdown during RemoveGroup");
    WaitForShutdownRequests();
    HRESULT hr;
    if (FaultStops(SIM_FAULT_REMOVEGROUP_RESULT, &hr)) return hr;
    com::ComPtr<GroupObject> group;
    {
      std::lock_guard<std::mutex> guard(lock_);
      auto found = groups_.find(serverGroup);
      if (found == groups_.end()) return E_INVALIDARG;
      group = std::move(found->second);
      groups_.erase(found);
    }
    group->Retire();
    Runtime::Get().Count(SIM_COUNTER_GROUPS_LIVE, -1);
    // Our local reference is the only one the server holds; more means the client still has some.
    hr = (!force && group->References() > 1) ? OPC_S_INUSE : S_OK;
    return FaultSuccess(SIM_FAULT_REMOVEGROUP_RESULT, hr);
  });
}

HRESULT STDMETHODCALLTYPE ServerObject::CreateGroupEnumerator(OPCENUMSCOPE scope, REFIID iid, LPUNKNOWN* out) {
  CallScope call("IOPCServer::CreateGroupEnumerator");
  call.Args("scope=%d", static_cast<int>(scope));
  return Guarded(call, [&]() -> HRESULT {
    if (out == nullptr) return E_INVALIDARG;
    *out = nullptr;
    if (scope < OPC_ENUM_PRIVATE_CONNECTIONS || scope > OPC_ENUM_ALL) return E_INVALIDARG;
    // Group names only (no IEnumUnknown of group objects); there are no public groups.
    if (!IsEqualIID(iid, IID_IEnumString)) return E_NOINTERFACE;
    std::vector<std::wstring> names;
    if (scope != OPC_ENUM_PUBLIC_CONNECTIONS && scope != OPC_ENUM_PUBLIC) {
      std::lock_guard<std::mutex> guard(lock_);
      for (auto& entry : groups_) names.push_back(entry.second->Name());
    }
    const bool empty = names.empty();
    com::ComPtr<StringEnum> enumerator;
    com::Adopt(enumerator, new StringEnum(std::move(names)));
    const HRESULT hr = enumerator->QueryInterface(iid, reinterpret_cast<void**>(out));
    return FAILED(hr) || !empty ? hr : S_FALSE;
  });
}

// ---- IOPCServerPublicGroups: the simulator has none ----

HRESULT STDMETHODCALLTYPE ServerObject::GetPublicGroupByName(LPCWSTR name, REFIID, LPUNKNOWN* out) {
  CallScope call("IOPCServerPublicGroups::GetPublicGroupByName");
  call.Args("name=%ls", name ? name : L"(null)");
  if (out != nullptr) *out = nullptr;
  return call.Done(out == nullptr ? E_INVALIDARG : OPC_E_NOTFOUND);
}

HRESULT STDMETHODCALLTYPE ServerObject::RemovePublicGroup(OPCHANDLE serverGroup, BOOL force) {
  CallScope call("IOPCServerPublicGroups::RemovePublicGroup");
  call.Args("handle=%lu force=%d", serverGroup, force);
  return call.Done(E_FAIL);
}

// ---- IOPCCommon ----

HRESULT STDMETHODCALLTYPE ServerObject::SetLocaleID(LCID lcid) {
  CallScope call("IOPCCommon::SetLocaleID");
  call.Args("lcid=0x%lx", lcid);
  return Guarded(call, [&]() -> HRESULT {
    if (!LocaleSupported(lcid)) return E_INVALIDARG;
    std::lock_guard<std::mutex> guard(lock_);
    locale_ = lcid;
    return S_OK;
  });
}

HRESULT STDMETHODCALLTYPE ServerObject::GetLocaleID(LCID* lcid) {
  CallScope call("IOPCCommon::GetLocaleID");
  return Guarded(call, [&]() -> HRESULT {
    if (lcid == nullptr) return E_INVALIDARG;
    std::lock_guard<std::mutex> guard(lock_);
    *lcid = locale_;
    return S_OK;
  });
}

HRESULT STDMETHODCALLTYPE ServerObject::QueryAvailableLocaleIDs(DWORD* count, LCID** lcids) {
  CallScope call("IOPCCommon::QueryAvailableLocaleIDs");
  return Guarded(call, [&]() -> HRESULT {
    if (count == nullptr || lcids == nullptr) return E_INVALIDARG;
    *count = 0;
    *lcids = nullptr;
    constexpr LCID kLocales[] = {LOCALE_SYSTEM_DEFAULT, LOCALE_USER_DEFAULT, LOCALE_NEUTRAL, 0x0409};
    com::CoTaskArray<LCID> out;
    if (!AllocateArray(out, 4)) return E_OUTOFMEMORY;
    for (size_t i = 0; i < 4; ++i) out[i] = kLocales[i];
    *count = 4;
    *lcids = out.release();
    return S_OK;
  });
}

HRESULT STDMETHODCALLTYPE ServerObject::GetErrorString(HRESULT error, LPWSTR* text) {
  CallScope call("IOPCCommon::GetErrorString");
  call.Args("error=0x%08lX", static_cast<unsigned long>(error));
  return Guarded(call, [&] { return CopyErrorText(error, text); });
}

HRESULT STDMETHODCALLTYPE ServerObject::SetClientName(LPCWSTR name) {
  CallScope call("IOPCCommon::SetClientName");
  call.Args("name=%ls", name ? name : L"(null)");
  return call.Done(S_OK);
}

// ---- IOPCItemProperties ----

HRESULT STDMETHODCALLTYPE ServerObject::QueryAvailableProperties(LPWSTR itemId, DWORD* count,
                                                                 DWORD** ids, LPWSTR** descriptions,
                                                                 VARTYPE** types) {
  CallScope call("IOPCItemProperties::QueryAvailableProperties");
  call.Args("item=%ls", itemId ? itemId : L"(null)");
  return Guarded(call, [&]() -> HRESULT {
    if (!count || !ids || !descriptions || !types) return E_INVALIDARG;
    *count = 0;
    *ids = nullptr;
    *descriptions = nullptr;
    *types = nullptr;
    const auto space = Runtime::Get().Space();
    const Item* item = space->FindItem(Text(itemId));
    if (item == nullptr) return OPC_E_UNKNOWNITEMID;
    constexpr size_t n = sizeof kProperties / sizeof kProperties[0];
    com::CoTaskArray<DWORD> outIds;
    com::CoTaskArray<LPWSTR, com::StringElementCleanup> outTexts;
    com::CoTaskArray<VARTYPE> outTypes;
    if (!AllocateArray(outIds, n) || !AllocateArray(outTexts, n) || !AllocateArray(outTypes, n)) {
      return E_OUTOFMEMORY;
    }
    for (size_t i = 0; i < n; ++i) {
      outIds[i] = kProperties[i].id;
      outTypes[i] = kProperties[i].id == OPC_PROPERTY_VALUE ? item->type : kProperties[i].type;
      outTexts[i] = CoTaskCopy(kProperties[i].description);
      if (outTexts[i] == nullptr) return E_OUTOFMEMORY;
    }
    *count = static_cast<DWORD>(n);
    *ids = outIds.release();
    *descriptions = outTexts.release();
    *types = outTypes.release();
    return S_OK;
  });
}

HRESULT STDMETHODCALLTYPE ServerObject::GetItemProperties(LPWSTR itemId, DWORD count, DWORD* ids,
                                                          VARIANT** values, HRESULT** errors) {
  CallScope call("IOPCItemProperties::GetItemProperties");
  call.Args("item=%ls count=%lu", itemId ? itemId : L"(null)", count);
  return Guarded(call, [&]() -> HRESULT {
    if (values == nullptr || errors == nullptr) return E_INVALIDARG;
    *values = nullptr;
    *errors = nullptr;
    if (count == 0 || ids == nullptr) return E_INVALIDARG;
    const auto space = Runtime::Get().Space();
    Item* item = space->FindItem(Text(itemId));
    if (item == nullptr) return OPC_E_UNKNOWNITEMID;
    com::CoTaskArray<VARIANT, com::VariantElementCleanup> outValues;
    com::CoTaskArray<HRESULT> outErrors;
    if (!AllocateArray(outValues, count) || !AllocateArray(outErrors, count)) return E_OUTOFMEMORY;
    bool anyFailed = false;
    for (DWORD i = 0; i < count; ++i) {
      outErrors[i] = PropertyValue(*space, *item, ids[i], &outValues[i]);
      anyFailed |= FAILED(outErrors[i]);
    }
    *values = outValues.release();
    *errors = outErrors.release();
    return anyFailed ? S_FALSE : S_OK;
  });
}

HRESULT STDMETHODCALLTYPE ServerObject::LookupItemIDs(LPWSTR itemId, DWORD count, DWORD* ids,
                                                      LPWSTR** newIds, HRESULT** errors) {
  CallScope call("IOPCItemProperties::LookupItemIDs");
  call.Args("item=%ls count=%lu", itemId ? itemId : L"(null)", count);
  return Guarded(call, [&]() -> HRESULT {
    if (newIds == nullptr || errors == nullptr) return E_INVALIDARG;
    *newIds = nullptr;
    *errors = nullptr;
    if (count == 0 || ids == nullptr) return E_INVALIDARG;
    if (Runtime::Get().Space()->FindItem(Text(itemId)) == nullptr) return OPC_E_UNKNOWNITEMID;
    // The value property is the item itself; none of the others is an item of its own.
    com::CoTaskArray<LPWSTR, com::StringElementCleanup> outIds;
    com::CoTaskArray<HRESULT> outErrors;
    if (!AllocateArray(outIds, count) || !AllocateArray(outErrors, count)) return E_OUTOFMEMORY;
    bool anyFailed = false;
    for (DWORD i = 0; i < count; ++i) {
      if (ids[i] != OPC_PROPERTY_VALUE) {
        outErrors[i] = OPC_E_INVALID_PID;
        anyFailed = true;
        continue;
      }
      outIds[i] = CoTaskCopy(itemId);
      if (outIds[i] == nullptr) return E_OUTOFMEMORY;
    }
    *newIds = outIds.release();
    *errors = outErrors.release();
    return anyFailed ? S_FALSE : S_OK;
  });
}

// ---- IConnectionPointContainer ----

HRESULT STDMETHODCALLTYPE ServerObject::EnumConnectionPoints(IEnumConnectionPoints** out) {
  if (out != nullptr) *out = nullptr;
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE ServerObject::FindConnectionPoint(REFIID iid, IConnectionPoint** out) {
  CallScope call("IConnectionPointContainer::FindConnectionPoint");
  return Guarded(call, [&]() -> HRESULT {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (!IsEqualIID(iid, IID_IOPCShutdown) || Runtime::Get().Fault(SIM_FAULT_NO_SHUTDOWN_POINT) != 0) {
      return CONNECT_E_NOCONNECTION;
    }
    *out = &point_;
    point_.AddRef();
    return S_OK;
  });
}

// ---- IOPCBrowseServerAddressSpace ----

HRESULT STDMETHODCALLTYPE ServerObject::QueryOrganization(OPCNAMESPACETYPE* type) {
  CallScope call("IOPCBrowseServerAddressSpace::QueryOrganization");
  if (type == nullptr) return call.Done(E_INVALIDARG);
  *type = OPC_NS_HIERARCHIAL;
  return call.Done(S_OK);
}

HRESULT STDMETHODCALLTYPE ServerObject::ChangeBrowsePosition(OPCBROWSEDIRECTION direction, LPCWSTR text) {
  CallScope call("IOPCBrowseServerAddressSpace::ChangeBrowsePosition");
  if (direction == OPC_BROWSE_TO) ChaosNewWalk();
  call.Args("direction=%d to=%ls", static_cast<int>(direction), text ? text : L"(null)");
  return Guarded(call, [&]() -> HRESULT {
    HRESULT hr;
    if (FaultStops(SIM_FAULT_BROWSE_RESULT, &hr)) return hr;
    const auto space = Runtime::Get().Space();
    const std::wstring name = Text(text);
    const LONG chain = DeepChainLength();
    std::lock_guard<std::mutex> guard(lock_);
    const Branch* here = nullptr;
    if (position_.deepLevel == 0) {
      here = space->FindBranch(position_.branch);
      if (here == nullptr) {  // the space was replaced under us
        position_ = Position();
        upStack_.clear();
        here = &space->root();
      }
    }
    Position next = position_;
    switch (direction) {
      case OPC_BROWSE_UP:
        if (!upStack_.empty()) {
          next = upStack_.back();
          upStack_.pop_back();
        } else if (position_.deepLevel > 0) {
          --next.deepLevel;
        } else if (here->parent != nullptr) {
          next.branch = here->parent->id;
        } else {
          return E_FAIL;
        }
        break;
      case OPC_BROWSE_DOWN:
        if (name.empty()) return E_INVALIDARG;
        if (position_.deepLevel > 0) {
          if (name != kDeepName || static_cast<LONG>(position_.deepLevel) >= chain) return E_INVALIDARG;
          ++next.deepLevel;
        } else if (SelfListing() && here != &space->root() && name == here->name) {
          // into itself: the position stays
        } else if (const Branch* child = space->FindBranch(Join(here->id, name))) {
          next.branch = child->id;
        } else if (chain > 0 && here == &space->root() && name == kDeepName) {
          next.deepLevel = 1;
        } else {
          return E_INVALIDARG;
        }
        upStack_.push_back(position_);
        break;
      case OPC_BROWSE_TO: {
        const Branch* target = space->FindBranch(name);
        if (target == nullptr) return E_INVALIDARG;
        next = Position{target->id, 0};
        upStack_.clear();
        break;
      }
      default:
        return E_INVALIDARG;
    }
    position_ = next;
    return FaultSuccess(SIM_FAULT_BROWSE_RESULT, S_OK);
  });
}

HRESULT STDMETHODCALLTYPE ServerObject::BrowseOPCItemIDs(OPCBROWSETYPE type, LPCWSTR filter,
                                                         VARTYPE vtFilter, DWORD rightsFilter,
                                                         LPENUMSTRING* out) {
  CallScope call("IOPCBrowseServerAddressSpace::BrowseOPCItemIDs");
  call.Args("type=%d filter=%ls", static_cast<int>(type), filter ? filter : L"(null)");
  return Guarded(call, [&]() -> HRESULT {
    Runtime::Get().Count(SIM_COUNTER_BROWSE_CALLS);
    if (out == nullptr) return E_INVALIDARG;
    *out = nullptr;
    HRESULT hr;
    if (FaultStops(SIM_FAULT_BROWSE_RESULT, &hr)) return hr;
    if (type != OPC_BRANCH && type != OPC_LEAF && type != OPC_FLAT) return E_INVALIDARG;
    const auto space = Runtime::Get().Space();
    Position position;
    {
      std::lock_guard<std::mutex> guard(lock_);
      position = position_;
    }
    const LONG chain = DeepChainLength();
    const std::wstring pattern = Text(filter);
    const DWORD rights = rightsFilter & (OPC_READABLE | OPC_WRITEABLE);
    std::vector<std::wstring> names;
    if (position.deepLevel > 0) {
      if (type == OPC_BRANCH && static_cast<LONG>(position.deepLevel) < chain &&
          MatchesWildcard(pattern, kDeepName)) {
        names.push_back(kDeepName);
      }
    } else {
      const Branch* here = space->FindBranch(position.branch);
      if (here == nullptr) here = &space->root();
      if (type == OPC_BRANCH) {
        if (SelfListing() && here != &space->root() && MatchesWildcard(pattern, here->name)) {
          names.push_back(here->name);
        }
        for (const auto& child : here->branches) {
          if (MatchesWildcard(pattern, child->name)) names.push_back(child->name);
        }
        if (chain > 0 && here == &space->root() && MatchesWildcard(pattern, kDeepName)) {
          names.push_back(kDeepName);
        }
      } else if (type == OPC_LEAF) {
        for (const Item* item : here->items) {
          if ((vtFilter == VT_EMPTY || item->type == vtFilter) && (item->rights & rights) == rights &&
              MatchesWildcard(pattern, item->name)) {
            names.push_back(item->name);
          }
        }
      } else {
        CollectFlat(*here, pattern, vtFilter, rights, names);
      }
    }
    const bool empty = names.empty();
    *out = new StringEnum(std::move(names), 0, Runtime::Get().Fault(SIM_FAULT_ENUM_EMPTY_OK) != 0);
    return FaultSuccess(SIM_FAULT_BROWSE_RESULT, empty ? S_FALSE : S_OK);
  });
}

HRESULT STDMETHODCALLTYPE ServerObject::GetItemID(LPWSTR name, LPWSTR* itemId) {
  CallScope call("IOPCBrowseServerAddressSpace::GetItemID");
  call.Args("name=%ls", name ? name : L"(null)");
  return Guarded(call, [&]() -> HRESULT {
    if (itemId == nullptr) return E_INVALIDARG;
    *itemId = nullptr;
    Position position;
    {
      std::lock_guard<std::mutex> guard(lock_);
      position = position_;
    }
    std::wstring id;
    if (position.deepLevel > 0) {
      if (!Text(name).empty() && Text(name) != kDeepName) return E_INVALIDARG;
      id = DeepId(position.deepLevel + (Text(name).empty() ? 0 : 1));
    } else {
      id = Text(name).empty() ? position.branch : Join(position.branch, Text(name));
      const auto space = Runtime::Get().Space();
      if (space->FindItem(id) == nullptr && space->FindBranch(id) == nullptr) return E_INVALIDARG;
    }
    *itemId = CoTaskCopy(id);
    return *itemId != nullptr ? S_OK : E_OUTOFMEMORY;
  });
}

HRESULT STDMETHODCALLTYPE ServerObject::BrowseAccessPaths(LPCWSTR itemId, LPENUMSTRING* out) {
  CallScope call("IOPCBrowseServerAddressSpace::BrowseAccessPaths");
  call.Args("item=%ls", itemId ? itemId : L"(null)");
  return Guarded(call, [&]() -> HRESULT {
    if (out == nullptr) return E_INVALIDARG;
    *out = nullptr;
    if (Runtime::Get().Space()->FindItem(Text(itemId)) == nullptr) return OPC_E_UNKNOWNITEMID;
    // Items here have no access paths: an empty enumeration.
    *out = new StringEnum(std::vector<std::wstring>());
    return S_FALSE;
  });
}

// ---- IOPCBrowse ----

HRESULT STDMETHODCALLTYPE ServerObject::GetProperties(DWORD itemCount, LPWSTR* itemIds,
                                                      BOOL returnValues, DWORD propertyCount,
                                                      DWORD* propertyIds,
                                                      OPCITEMPROPERTIES** properties) {
  CallScope call("IOPCBrowse::GetProperties");
  call.Args("items=%lu properties=%lu", itemCount, propertyCount);
  return Guarded(call, [&]() -> HRESULT {
    if (properties == nullptr) return E_INVALIDARG;
    *properties = nullptr;
    if (itemCount == 0 || itemIds == nullptr || (propertyCount != 0 && propertyIds == nullptr)) {
      return E_INVALIDARG;
    }
    const std::vector<DWORD> ids(propertyIds, propertyIds + propertyCount);
    const auto space = Runtime::Get().Space();
    com::CoTaskArray<OPCITEMPROPERTIES, com::ItemPropertiesCleanup> out;
    if (!AllocateArray(out, itemCount)) return E_OUTOFMEMORY;
    bool anyFailed = false;
    for (DWORD i = 0; i < itemCount; ++i) {
      if (!FillProperties(*space, Text(itemIds[i]), returnValues != FALSE, ids, out[i])) return E_OUTOFMEMORY;
      anyFailed |= out[i].hrErrorID != S_OK;
    }
    *properties = out.release();
    return anyFailed ? S_FALSE : S_OK;
  });
}

HRESULT STDMETHODCALLTYPE ServerObject::Browse(LPWSTR itemId, LPWSTR* continuation, DWORD maxElements,
                                               OPCBROWSEFILTER filter, LPWSTR nameFilter, LPWSTR,
                                               BOOL allProperties, BOOL propertyValues,
                                               DWORD propertyCount, DWORD* propertyIds, BOOL* more,
                                               DWORD* count, OPCBROWSEELEMENT** elements) {
  CallScope call("IOPCBrowse::Browse");
  if (continuation == nullptr || *continuation == nullptr || **continuation == L'\0') ChaosNewWalk();
  call.Args("item=%ls continuation=%ls max=%lu filter=%d", itemId ? itemId : L"(null)",
            continuation && *continuation ? *continuation : L"", maxElements, static_cast<int>(filter));
  return Guarded(call, [&]() -> HRESULT {
    Runtime::Get().Count(SIM_COUNTER_BROWSE_CALLS);
    if (continuation == nullptr || more == nullptr || count == nullptr || elements == nullptr) {
      return E_INVALIDARG;
    }
    *more = FALSE;
    *count = 0;
    *elements = nullptr;
    // Read the incoming continuation point but never free it: Wine's stub may hand us a
    // pointer into its receive buffer. What we leave in its place goes back to the client.
    const std::wstring incomingText = *continuation ? *continuation : L"";
    *continuation = nullptr;
    HRESULT hr;
    if (FaultStops(SIM_FAULT_BROWSE_RESULT, &hr)) return hr;
    if (filter != OPC_BROWSE_FILTER_ALL && filter != OPC_BROWSE_FILTER_BRANCHES &&
        filter != OPC_BROWSE_FILTER_ITEMS) {
      return E_INVALIDARG;
    }
    if (propertyCount != 0 && propertyIds == nullptr) return E_INVALIDARG;
    const auto space = Runtime::Get().Space();
    const unsigned generation = Runtime::Get().SpaceGeneration();
    std::wstring branchId = Text(itemId);
    std::wstring pattern = Text(nameFilter);
    Continuation walk{branchId, filter, pattern, 0, generation, 0, L"", 0};
    if (!incomingText.empty()) {
      std::lock_guard<std::mutex> guard(lock_);
      auto found = continuations_.find(incomingText);
      if (found == continuations_.end() || found->second.generation != generation ||
          found->second.branch != branchId) {
        return OPC_E_INVALIDCONTINUATIONPOINT;
      }
      walk = found->second;
      filter = walk.filter;
      pattern = walk.nameFilter;
      continuations_.erase(found);
    }
    struct Candidate {
      std::wstring name;
      std::wstring id;
      DWORD flags;
      const Item* item;
    };
    std::vector<Candidate> all;
    const bool branches = filter != OPC_BROWSE_FILTER_ITEMS;
    const LONG chain = DeepChainLength();
    if (const unsigned level = DeepLevel(branchId); level > 0) {
      if (branches && static_cast<LONG>(level) < chain && MatchesWildcard(pattern, kDeepName)) {
        all.push_back({kDeepName, DeepId(level + 1), OPC_BROWSE_HASCHILDREN, nullptr});
      }
    } else {
      const Branch* branch = space->FindBranch(branchId);
      if (branch == nullptr) {
        // An item has no children; anything else is not in the space.
        return space->FindItem(branchId) != nullptr ? S_OK : OPC_E_UNKNOWNITEMID;
      }
      const bool isRoot = branch == &space->root();
      if (branches && SelfListing() && !isRoot && MatchesWildcard(pattern, branch->name)) {
        all.push_back({branch->name, branch->id, OPC_BROWSE_HASCHILDREN, nullptr});
      }
      for (const auto& child : branch->branches) {
        if (branches && MatchesWildcard(pattern, child->name)) {
          all.push_back({child->name, child->id, child->HasChildren() ? OPC_BROWSE_HASCHILDREN : 0u, nullptr});
        }
      }
      if (branches && chain > 0 && isRoot && MatchesWildcard(pattern, kDeepName)) {
        all.push_back({kDeepName, DeepId(1), OPC_BROWSE_HASCHILDREN, nullptr});
      }
      if (filter != OPC_BROWSE_FILTER_BRANCHES) {
        for (const Item* item : branch->items) {
          if (MatchesWildcard(pattern, item->name)) all.push_back({item->name, item->id, OPC_BROWSE_ISITEM, item});
        }
      }
    }
    size_t page = all.size();
    if (maxElements != 0) page = maxElements;
    const LONG faultPage = Runtime::Get().Fault(SIM_FAULT_BROWSE_PAGE);
    if (faultPage > 0) page = std::min<size_t>(page, static_cast<size_t>(faultPage));
    const size_t offset = std::min(walk.offset, all.size());
    const size_t n = std::min(page, all.size() - offset);

    std::vector<DWORD> ids;
    const bool wantProperties = allProperties || propertyCount != 0;
    if (!allProperties) ids.assign(propertyIds, propertyIds + propertyCount);
    com::CoTaskArray<OPCBROWSEELEMENT, com::BrowseElementCleanup> out;
    if (!AllocateArray(out, n)) return E_OUTOFMEMORY;
    for (size_t i = 0; i < n; ++i) {
      const Candidate& c = all[offset + i];
      OPCBROWSEELEMENT& e = out[i];
      e.szName = CoTaskCopy(c.name);
      e.szItemID = CoTaskCopy(c.id);
      if (e.szName == nullptr || e.szItemID == nullptr) return E_OUTOFMEMORY;
      e.dwFlagValue = c.flags;
      if (c.item != nullptr && wantProperties &&
          !FillProperties(*space, c.item->id, propertyValues != FALSE, ids, e.ItemProperties)) {
        return E_OUTOFMEMORY;
      }
    }
    if (offset + n < all.size()) {
      std::lock_guard<std::mutex> guard(lock_);
      walk.offset = offset + n;
      ++walk.page;
      *continuation = CoTaskCopy(IssueContinuation(std::move(walk)));
      if (*continuation == nullptr) return E_OUTOFMEMORY;
    }
    *count = static_cast<DWORD>(n);
    *elements = out.release();
    return S_OK;
  });
}

std::wstring ServerObject::IssueContinuation(Continuation walk) {
  const LONG repeats = Runtime::Get().Fault(SIM_FAULT_CONTINUATION_REPEATS);
  if (repeats > 0 && walk.page > static_cast<unsigned>(repeats) && !walk.first.empty()) {
    // The walk's first point again, leading where it led the first time.
    walk.offset = walk.firstOffset;
    walk.page = 1;
    const std::wstring token = walk.first;
    continuations_[token] = std::move(walk);
    return token;
  }
  std::wstring token = L"krelta-cp-" + std::to_wstring(nextContinuation_++);
  if (Runtime::Get().Fault(SIM_FAULT_CONTINUATION_GROWS) != 0) {
    constexpr size_t kLengths[] = {8, 64, 300};
    const size_t length = kLengths[std::min<size_t>(walk.page, 3) - 1];
    token = L"cp" + std::to_wstring(nextContinuation_ - 1);
    if (token.size() < length) token.append(length - token.size(), L'~');
  }
  if (walk.first.empty()) {
    walk.first = token;
    walk.firstOffset = walk.offset;
  }
  if (continuations_.size() >= 256) continuations_.erase(continuations_.begin());
  continuations_[token] = std::move(walk);
  return token;
}

// ---- Creation ----

HRESULT CreateServerObject(bool da3, REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  com::ComPtr<ServerObject> server;
  com::Adopt(server, new ServerObject(da3));
  return server->QueryInterface(iid, out);
}

namespace {
std::atomic<int> g_shutdownRequestsOut{0};
}  // namespace

void BeginShutdownRequest() { ++g_shutdownRequestsOut; }
void EndShutdownRequest() { --g_shutdownRequestsOut; }
void WaitForShutdownRequests() {
  if (Runtime::Get().Fault(SIM_FAULT_SERIALISED_SHUTDOWN) == 0) return;
  while (g_shutdownRequestsOut.load() > 0) ::Sleep(5);
}

std::vector<com::ComPtr<IOPCShutdown>> AdvisedShutdownSinks() {
  std::vector<com::ComPtr<IOPCShutdown>> sinks;
  std::lock_guard<std::mutex> guard(g_serversLock);
  for (ServerObject* server : Servers()) server->CollectSinks(sinks);
  for (auto& kept : KeptSinks()) sinks.push_back(kept);
  return sinks;
}

void ReleaseKeptSinks() {
  std::vector<com::ComPtr<IOPCShutdown>> released;
  {
    std::lock_guard<std::mutex> guard(g_serversLock);
    released.swap(KeptSinks());
  }
  Runtime::Get().Count(SIM_COUNTER_KEPT_SINKS, -static_cast<LONG>(released.size()));
}

}  // namespace krelta::sim
