// The group's IOPCDataCallback connection point and the thread that calls the advised sink:
// OnDataChange at the group's update rate with the items that changed (every item on the first
// pass after Advise or AddItems), an empty OnDataChange when the keep-alive time passed without
// one, and the OnReadComplete that answers Refresh2. One sink per group. Windows only.
#pragma once

#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "opc_da.h"
#include "platform/com/com_owners.h"
#include "simulator/address_space.h"

namespace krelta::sim {

class GroupObject;

// One active item as a notification carries it.
struct ItemSample {
  OPCHANDLE server = 0;
  OPCHANDLE client = 0;
  OwnedVariant value;
  WORD quality = 0;
  FILETIME time{};
  HRESULT error = S_OK;
};

// What a pass of the notifier needs from its group.
struct GroupSnapshot {
  bool active = false;
  DWORD updateRate = 0;
  OPCHANDLE clientGroup = 0;
  std::vector<ItemSample> items;  // the active items
};

// Lives inside its group and shares the group's reference count.
class DataNotifier final : public IConnectionPoint {
 public:
  // owner is the group's IUnknown: references go through it, so they are the group's.
  DataNotifier(GroupObject* group, IUnknown* owner) : group_(group), owner_(owner) {}
  ~DataNotifier();

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override;
  HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** out) override;
  HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override;
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override;
  HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** out) override;

  // Refresh2: the answer goes to the sink from the notifier's thread. CONNECT_E_NOCONNECTION
  // without a sink.
  HRESULT QueueRefresh(DWORD transaction, DWORD* cancelId);
  // Items were added or the group's state changed: look for changes now.
  void Wake();
  // The group left its server: no more notifications.
  void Stop();
  void SetEnable(bool enable);
  bool Enabled();
  DWORD SetKeepAlive(DWORD milliseconds);
  DWORD KeepAlive();

 private:
  struct Sent {
    OwnedVariant value;
    WORD quality = 0;
    FILETIME time{};
    HRESULT error = S_OK;
  };
  // The thread of one Advise; ends when generation moves on.
  void Run(unsigned generation);
  // Sends items to the sink; false when the client is gone.
  bool Send(IOPCDataCallback* sink, bool refresh, DWORD transaction, const GroupSnapshot& snapshot,
            const std::vector<const ItemSample*>& items);
  using SentItems = std::unordered_map<OPCHANDLE, Sent>;
  // The items of snapshot that differ from what was sent last; remembers them as sent.
  static std::vector<const ItemSample*> Changed(const GroupSnapshot& snapshot, SentItems& sent);

  GroupObject* group_;
  IUnknown* owner_;
  std::mutex lock_;
  std::condition_variable wake_;
  com::ComPtr<IOPCDataCallback> sink_;
  DWORD cookie_ = 0;
  DWORD nextCookie_ = 1;
  unsigned generation_ = 0;
  bool stopped_ = false;
  bool woken_ = false;
  bool enabled_ = true;
  DWORD keepAliveMs_ = 0;
  std::deque<DWORD> refreshes_;  // transaction IDs
  DWORD nextCancelId_ = 1;
};

}  // namespace krelta::sim
