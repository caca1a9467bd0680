// A group of the simulator's server object: item management, group state and synchronous
// reads and writes. Windows only.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "opc_da.h"
#include "simulator/address_space.h"
#include "simulator/com_object.h"
#include "simulator/data_notifier.h"

namespace krelta::sim {

class ServerObject;

struct GroupSettings {
  std::wstring name;
  BOOL active = TRUE;
  DWORD updateRate = 0;
  OPCHANDLE clientHandle = 0;
  OPCHANDLE serverHandle = 0;
  LONG timeBias = 0;
  FLOAT deadband = 0;
  DWORD lcid = 0;
};

class GroupObject final : public IOPCItemMgt,
                          public IOPCGroupStateMgt2,
                          public IOPCSyncIO2,
                          public IOPCAsyncIO2,
                          public IConnectionPointContainer,
                          public RefCounted {
 public:
  GroupObject(ServerObject* server, bool da3, GroupSettings settings);

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  KRELTA_SIM_REFCOUNT

  // IOPCItemMgt
  HRESULT STDMETHODCALLTYPE AddItems(DWORD count, OPCITEMDEF* items, OPCITEMRESULT** results,
                                     HRESULT** errors) override;
  HRESULT STDMETHODCALLTYPE ValidateItems(DWORD count, OPCITEMDEF* items, BOOL blobUpdate,
                                          OPCITEMRESULT** results, HRESULT** errors) override;
  HRESULT STDMETHODCALLTYPE RemoveItems(DWORD count, OPCHANDLE* handles, HRESULT** errors) override;
  HRESULT STDMETHODCALLTYPE SetActiveState(DWORD count, OPCHANDLE* handles, BOOL active,
                                           HRESULT** errors) override;
  HRESULT STDMETHODCALLTYPE SetClientHandles(DWORD count, OPCHANDLE* handles, OPCHANDLE* clients,
                                             HRESULT** errors) override;
  HRESULT STDMETHODCALLTYPE SetDatatypes(DWORD count, OPCHANDLE* handles, VARTYPE* types,
                                         HRESULT** errors) override;
  HRESULT STDMETHODCALLTYPE CreateEnumerator(REFIID iid, LPUNKNOWN* out) override;

  // IOPCGroupStateMgt
  HRESULT STDMETHODCALLTYPE GetState(DWORD* updateRate, BOOL* active, LPWSTR* name, LONG* timeBias,
                                     FLOAT* deadband, DWORD* lcid, OPCHANDLE* clientGroup,
                                     OPCHANDLE* serverGroup) override;
  HRESULT STDMETHODCALLTYPE SetState(DWORD* requestedRate, DWORD* revisedRate, BOOL* active,
                                     LONG* timeBias, FLOAT* deadband, DWORD* lcid,
                                     OPCHANDLE* clientGroup) override;
  HRESULT STDMETHODCALLTYPE SetName(LPCWSTR name) override;
  HRESULT STDMETHODCALLTYPE CloneGroup(LPCWSTR name, REFIID iid, LPUNKNOWN* out) override;
  // IOPCGroupStateMgt2 (DA3 groups)
  HRESULT STDMETHODCALLTYPE SetKeepAlive(DWORD keepAlive, DWORD* revised) override;
  HRESULT STDMETHODCALLTYPE GetKeepAlive(DWORD* keepAlive) override;

  // IOPCSyncIO / IOPCSyncIO2
  HRESULT STDMETHODCALLTYPE Read(OPCDATASOURCE source, DWORD count, OPCHANDLE* handles,
                                 OPCITEMSTATE** values, HRESULT** errors) override;
  HRESULT STDMETHODCALLTYPE Write(DWORD count, OPCHANDLE* handles, VARIANT* values,
                                  HRESULT** errors) override;
  HRESULT STDMETHODCALLTYPE ReadMaxAge(DWORD count, OPCHANDLE* handles, DWORD* maxAge,
                                       VARIANT** values, WORD** qualities, FILETIME** timestamps,
                                       HRESULT** errors) override;
  HRESULT STDMETHODCALLTYPE WriteVQT(DWORD count, OPCHANDLE* handles, OPCITEMVQT* vqts,
                                     HRESULT** errors) override;

  // IOPCAsyncIO2: Refresh2 and the enable switch; asynchronous reads and writes are not offered.
  HRESULT STDMETHODCALLTYPE Read(DWORD count, OPCHANDLE* handles, DWORD transaction, DWORD* cancelId,
                                 HRESULT** errors) override;
  HRESULT STDMETHODCALLTYPE Write(DWORD count, OPCHANDLE* handles, VARIANT* values, DWORD transaction,
                                  DWORD* cancelId, HRESULT** errors) override;
  HRESULT STDMETHODCALLTYPE Refresh2(OPCDATASOURCE source, DWORD transaction, DWORD* cancelId) override;
  HRESULT STDMETHODCALLTYPE Cancel2(DWORD cancelId) override;
  HRESULT STDMETHODCALLTYPE SetEnable(BOOL enable) override;
  HRESULT STDMETHODCALLTYPE GetEnable(BOOL* enable) override;

  // IConnectionPointContainer: the IOPCDataCallback point.
  HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** out) override;
  HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID iid, IConnectionPoint** out) override;

  // The active items' current state for the notifier (behaviours advance as on a read).
  void Snapshot(GroupSnapshot& snapshot);

  // Copies every item of from (same server handles) into this new group.
  void CopyItems(const GroupObject& from);
  std::wstring Name() const;
  void SetNameUnchecked(const std::wstring& name);
  // The server let go of the group (RemoveGroup, or the server object itself went away).
  void Retire();
  LONG References();

 private:
  struct Entry {
    std::shared_ptr<AddressSpace> space;  // keeps the item alive across a space replacement
    Item* item = nullptr;                 // null once removed
    OPCHANDLE client = 0;
    BOOL active = TRUE;
    VARTYPE requested = VT_EMPTY;
    // What a VT_BYREF answer points to; lives until the next read of the entry.
    std::shared_ptr<OwnedVariant> byrefTarget;
  };
  HRESULT Define(DWORD count, OPCITEMDEF* items, bool add, OPCITEMRESULT** results, HRESULT** errors);
  Entry* Find(OPCHANDLE handle);  // lock_ held
  // Reads one entry; lock_ held. Returns the per-item result.
  HRESULT ReadEntry(Entry& e, bool cache, VARIANT* value, WORD* quality, FILETIME* timestamp);
  HRESULT WriteEntry(Entry& e, const VARIANT& value, const WORD* quality, const FILETIME* timestamp);

  std::atomic<ServerObject*> server_;
  const bool da3_;
  mutable std::mutex lock_;
  GroupSettings settings_;
  std::vector<Entry> entries_;  // server handle = index + 1
  std::unordered_set<OPCHANDLE> clientHandles_;  // every client handle added to the group
  LONG liveItems_ = 0;
  bool retired_ = false;
  OPCHANDLE handleBase_;  // server handle of entries_[0]: 1, or 0 under SIM_FAULT_ZERO_BASED_HANDLES
  DataNotifier notifier_{this, static_cast<IOPCItemMgt*>(this)};
};

}  // namespace krelta::sim
