// The simulator's OPC server object and its shutdown connection point. Windows only.
#pragma once

#include <windows.h>
#include <ocidl.h>

#include <map>
#include <mutex>
#include <string>

#include "opc_da.h"
#include "simulator/com_object.h"
#include "simulator/group_object.h"

namespace krelta::sim {

class ServerObject;

// The IOPCShutdown connection point; lives inside its server and shares its reference count.
class ShutdownPoint final : public IConnectionPoint {
 public:
  explicit ShutdownPoint(ServerObject* server) : server_(server) {}
  ~ShutdownPoint();

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override;
  HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** out) override;
  HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override;
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override;
  HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** out) override;

  void CollectSinks(std::vector<com::ComPtr<IOPCShutdown>>& sinks);

 private:
  ServerObject* server_;
  std::mutex lock_;
  std::map<DWORD, com::ComPtr<IOPCShutdown>> sinks_;
  DWORD nextCookie_ = 1;
};

class ServerObject final : public IOPCServer,
                           public IOPCCommon,
                           public IOPCServerPublicGroups,
                           public IOPCItemProperties,
                           public IConnectionPointContainer,
                           public IOPCBrowseServerAddressSpace,
                           public IOPCBrowse,
                           public RefCounted {
 public:
  explicit ServerObject(bool da3);
  ~ServerObject() override;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  KRELTA_SIM_REFCOUNT

  // IOPCServer
  HRESULT STDMETHODCALLTYPE AddGroup(LPCWSTR name, BOOL active, DWORD rate, OPCHANDLE clientGroup,
                                     LONG* timeBias, FLOAT* deadband, DWORD lcid,
                                     OPCHANDLE* serverGroup, DWORD* revisedRate, REFIID iid,
                                     LPUNKNOWN* out) override;
  HRESULT STDMETHODCALLTYPE GetErrorString(HRESULT error, LCID locale, LPWSTR* text) override;
  HRESULT STDMETHODCALLTYPE GetGroupByName(LPCWSTR name, REFIID iid, LPUNKNOWN* out) override;
  HRESULT STDMETHODCALLTYPE GetStatus(OPCSERVERSTATUS** status) override;
  HRESULT STDMETHODCALLTYPE RemoveGroup(OPCHANDLE serverGroup, BOOL force) override;
  HRESULT STDMETHODCALLTYPE CreateGroupEnumerator(OPCENUMSCOPE scope, REFIID iid, LPUNKNOWN* out) override;

  // IOPCServerPublicGroups
  HRESULT STDMETHODCALLTYPE GetPublicGroupByName(LPCWSTR name, REFIID iid, LPUNKNOWN* out) override;
  HRESULT STDMETHODCALLTYPE RemovePublicGroup(OPCHANDLE serverGroup, BOOL force) override;

  // IOPCCommon
  HRESULT STDMETHODCALLTYPE SetLocaleID(LCID lcid) override;
  HRESULT STDMETHODCALLTYPE GetLocaleID(LCID* lcid) override;
  HRESULT STDMETHODCALLTYPE QueryAvailableLocaleIDs(DWORD* count, LCID** lcids) override;
  HRESULT STDMETHODCALLTYPE GetErrorString(HRESULT error, LPWSTR* text) override;
  HRESULT STDMETHODCALLTYPE SetClientName(LPCWSTR name) override;

  // IOPCItemProperties
  HRESULT STDMETHODCALLTYPE QueryAvailableProperties(LPWSTR itemId, DWORD* count, DWORD** ids,
                                                     LPWSTR** descriptions, VARTYPE** types) override;
  HRESULT STDMETHODCALLTYPE GetItemProperties(LPWSTR itemId, DWORD count, DWORD* ids,
                                              VARIANT** values, HRESULT** errors) override;
  HRESULT STDMETHODCALLTYPE LookupItemIDs(LPWSTR itemId, DWORD count, DWORD* ids,
                                          LPWSTR** newIds, HRESULT** errors) override;

  // IConnectionPointContainer
  HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** out) override;
  HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID iid, IConnectionPoint** out) override;

  // IOPCBrowseServerAddressSpace
  HRESULT STDMETHODCALLTYPE QueryOrganization(OPCNAMESPACETYPE* type) override;
  HRESULT STDMETHODCALLTYPE ChangeBrowsePosition(OPCBROWSEDIRECTION direction, LPCWSTR text) override;
  HRESULT STDMETHODCALLTYPE BrowseOPCItemIDs(OPCBROWSETYPE type, LPCWSTR filter, VARTYPE vtFilter,
                                             DWORD rightsFilter, LPENUMSTRING* out) override;
  HRESULT STDMETHODCALLTYPE GetItemID(LPWSTR name, LPWSTR* itemId) override;
  HRESULT STDMETHODCALLTYPE BrowseAccessPaths(LPCWSTR itemId, LPENUMSTRING* out) override;

  // IOPCBrowse
  HRESULT STDMETHODCALLTYPE GetProperties(DWORD itemCount, LPWSTR* itemIds, BOOL returnValues,
                                          DWORD propertyCount, DWORD* propertyIds,
                                          OPCITEMPROPERTIES** properties) override;
  HRESULT STDMETHODCALLTYPE Browse(LPWSTR itemId, LPWSTR* continuation, DWORD maxElements,
                                   OPCBROWSEFILTER filter, LPWSTR nameFilter, LPWSTR vendorFilter,
                                   BOOL allProperties, BOOL propertyValues, DWORD propertyCount,
                                   DWORD* propertyIds, BOOL* more, DWORD* count,
                                   OPCBROWSEELEMENT** elements) override;

  // Adds a group with settings (an empty name gets one of ours) and, when itemsFrom is given,
  // copies of its items; hands out interface iid of it.
  HRESULT InsertGroup(GroupSettings settings, const GroupObject* itemsFrom, REFIID iid,
                      LPUNKNOWN* out, OPCHANDLE* serverGroup);
  // Renames group unless another group of this server has the name.
  HRESULT RenameGroup(GroupObject* group, const std::wstring& name);
  void CollectSinks(std::vector<com::ComPtr<IOPCShutdown>>& sinks) { point_.CollectSinks(sinks); }

 private:
  struct Continuation {
    std::wstring branch;
    OPCBROWSEFILTER filter;
    std::wstring nameFilter;
    size_t offset;
    unsigned generation;
    unsigned page;         // points handed out in this walk so far, this one included
    std::wstring first;    // the walk's first point and where it led
    size_t firstOffset;
  };
  // Where DA2 browsing stands: a branch of the space, or level deepLevel (1..) of the chain
  // that SIM_FAULT_DEEP_CHAIN hangs below the root.
  struct Position {
    std::wstring branch;  // "" = root
    unsigned deepLevel = 0;
  };
  std::wstring IssueContinuation(Continuation record);

  const bool da3_;
  FILETIME start_;
  std::mutex lock_;
  std::map<OPCHANDLE, com::ComPtr<GroupObject>> groups_;
  OPCHANDLE nextGroup_ = 1;
  unsigned nextGroupName_ = 1;
  LCID locale_ = LOCALE_SYSTEM_DEFAULT;
  Position position_;              // DA2 browsing
  std::vector<Position> upStack_;  // where each OPC_BROWSE_DOWN came from
  std::map<std::wstring, Continuation> continuations_;
  unsigned nextContinuation_ = 1;
  ShutdownPoint point_;
};

}  // namespace krelta::sim
