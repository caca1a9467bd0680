#include "simulator/group_object.h"

#include "opc_da_constants.h"
#include "simulator/enumerators.h"
#include "simulator/server_object.h"
#include "simulator/server_objects.h"
#include "simulator_control.h"

namespace krelta::sim {

namespace {

FILETIME Now() {
  FILETIME ft;
  ::GetSystemTimeAsFileTime(&ft);
  return ft;
}

// Whether a value of type from converts to type to, tried on the item's current value.
bool Converts(const VARIANT& value, VARTYPE to) {
  if (to == VT_EMPTY) return true;
  VARIANT probe;
  ::VariantInit(&probe);
  const HRESULT hr = ConvertVariant(&probe, &value, to);
  ::VariantClear(&probe);
  return SUCCEEDED(hr);
}

// SIM_FAULT_SHUTDOWN_IN_IO: the read or write asks the sinks to shut down and waits for their
// answers before it does its own work, so the client's session closes during its call.
void ShutdownInsideIo() {
  if (Runtime::Get().Fault(SIM_FAULT_SHUTDOWN_IN_IO) == 0) return;
  for (auto& sink : AdvisedShutdownSinks()) sink->ShutdownRequest(L"shutdown during a read or write");
}

}  // namespace

GroupObject::GroupObject(ServerObject* server, bool da3, GroupSettings settings)
    : server_(server), da3_(da3), settings_(std::move(settings)),
      handleBase_(Runtime::Get().Fault(SIM_FAULT_ZERO_BASED_HANDLES) != 0 ? 0 : 1) {}

HRESULT STDMETHODCALLTYPE GroupObject::QueryInterface(REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IOPCItemMgt)) {
    *out = static_cast<IOPCItemMgt*>(this);
  } else if (IsEqualIID(iid, IID_IOPCGroupStateMgt)) {
    *out = static_cast<IOPCGroupStateMgt*>(static_cast<IOPCGroupStateMgt2*>(this));
  } else if (IsEqualIID(iid, IID_IOPCGroupStateMgt2) && da3_) {
    *out = static_cast<IOPCGroupStateMgt2*>(this);
  } else if (IsEqualIID(iid, IID_IOPCAsyncIO2)) {
    *out = static_cast<IOPCAsyncIO2*>(this);
  } else if (IsEqualIID(iid, IID_IConnectionPointContainer)) {
    *out = static_cast<IConnectionPointContainer*>(this);
  } else if (IsEqualIID(iid, IID_IOPCSyncIO)) {
    *out = static_cast<IOPCSyncIO*>(static_cast<IOPCSyncIO2*>(this));
  } else if (IsEqualIID(iid, IID_IOPCSyncIO2) && da3_) {
    *out = static_cast<IOPCSyncIO2*>(this);
  } else {
    return E_NOINTERFACE;
  }
  AddRefImpl();
  return S_OK;
}

std::wstring GroupObject::Name() const {
  std::lock_guard<std::mutex> guard(lock_);
  return settings_.name;
}

void GroupObject::SetNameUnchecked(const std::wstring& name) {
  std::lock_guard<std::mutex> guard(lock_);
  settings_.name = name;
}

void GroupObject::Retire() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (retired_) return;
    retired_ = true;
    server_.store(nullptr);
    Runtime::Get().Count(SIM_COUNTER_ITEMS_LIVE, -liveItems_);
  }
  notifier_.Stop();
}

LONG GroupObject::References() { return RefCount(); }

GroupObject::Entry* GroupObject::Find(OPCHANDLE handle) {
  if (handle < handleBase_ || handle - handleBase_ >= entries_.size()) return nullptr;
  Entry& e = entries_[handle - handleBase_];
  return e.item != nullptr ? &e : nullptr;
}

// ---- IOPCItemMgt ----

HRESULT GroupObject::Define(DWORD count, OPCITEMDEF* items, bool add, OPCITEMRESULT** results,
                            HRESULT** errors) {
  if (results == nullptr || errors == nullptr) return E_INVALIDARG;
  *results = nullptr;
  *errors = nullptr;
  if (count == 0 || items == nullptr) return E_INVALIDARG;
  HRESULT hr;
  if (add) Runtime::Get().Count(SIM_COUNTER_ADDITEMS_CALLS);
  if (add && FaultStops(SIM_FAULT_ADDITEMS_RESULT, &hr)) return hr;

  com::CoTaskArray<OPCITEMRESULT> outResults;
  com::CoTaskArray<HRESULT> outErrors;
  if (!AllocateArray(outResults, count) || !AllocateArray(outErrors, count)) return E_OUTOFMEMORY;
  const std::shared_ptr<AddressSpace> space = Runtime::Get().Space();
  bool anyFailed = false;
  std::lock_guard<std::mutex> guard(lock_);
  if (add) entries_.reserve(entries_.size() + count);
  for (DWORD i = 0; i < count; ++i) {
    const OPCITEMDEF& def = items[i];
    HRESULT& error = outErrors[i];
    Item* item = nullptr;
    if (def.szItemID == nullptr || def.szItemID[0] == L'\0') {
      error = OPC_E_INVALIDITEMID;
    } else if ((item = space->FindItem(def.szItemID)) == nullptr) {
      error = OPC_E_UNKNOWNITEMID;
    } else {
      std::lock_guard<std::mutex> valueGuard(space->lock());
      error = Converts(*item->value.get(), def.vtRequestedDataType) ? S_OK : OPC_E_BADTYPE;
    }
    if (FAILED(error)) {
      anyFailed = true;
      continue;
    }
    OPCITEMRESULT& r = outResults[i];
    r.vtCanonicalDataType = item->type;
    r.dwAccessRights = item->rights;
    if (add) {
      if (!clientHandles_.insert(def.hClient).second) {
        Runtime::Get().Count(SIM_COUNTER_DUPLICATE_CLIENT_HANDLES);
      }
      Entry e;
      e.space = space;
      e.item = item;
      e.client = def.hClient;
      e.active = def.bActive;
      e.requested = def.vtRequestedDataType;
      entries_.push_back(std::move(e));
      r.hServer = static_cast<OPCHANDLE>(entries_.size() - 1 + handleBase_);
      Runtime::Get().Count(SIM_COUNTER_ITEMS_ADDED);
      ++liveItems_;
      if (!retired_) Runtime::Get().Count(SIM_COUNTER_ITEMS_LIVE);
    }
  }
  *results = outResults.release();
  *errors = outErrors.release();
  hr = anyFailed ? S_FALSE : S_OK;
  return add ? FaultSuccess(SIM_FAULT_ADDITEMS_RESULT, hr) : hr;
}

HRESULT STDMETHODCALLTYPE GroupObject::AddItems(DWORD count, OPCITEMDEF* items, OPCITEMRESULT** results,
                                                HRESULT** errors) {
  CallScope call("IOPCItemMgt::AddItems");
  call.Items(count, errors);
  if (Runtime::Get().Fault(SIM_FAULT_SHUTDOWN_IN_ADDITEMS) != 0) {
    for (auto& sink : AdvisedShutdownSinks()) sink->ShutdownRequest(L"shutdown during AddItems");
  }
  call.Args("count=%lu first=%ls", count, count && items && items[0].szItemID ? items[0].szItemID : L"");
  const HRESULT hr = Guarded(call, [&] { return Define(count, items, true, results, errors); });
  if (SUCCEEDED(hr)) notifier_.Wake();
  return hr;
}

HRESULT STDMETHODCALLTYPE GroupObject::ValidateItems(DWORD count, OPCITEMDEF* items, BOOL,
                                                     OPCITEMRESULT** results, HRESULT** errors) {
  CallScope call("IOPCItemMgt::ValidateItems");
  call.Args("count=%lu", count);
  return Guarded(call, [&] { return Define(count, items, false, results, errors); });
}

HRESULT STDMETHODCALLTYPE GroupObject::RemoveItems(DWORD count, OPCHANDLE* handles, HRESULT** errors) {
  CallScope call("IOPCItemMgt::RemoveItems");
  call.Args("count=%lu", count);
  return Guarded(call, [&]() -> HRESULT {
    Runtime::Get().Count(SIM_COUNTER_REMOVEITEMS_CALLS);
    WaitForShutdownRequests();
    if (errors == nullptr) return E_INVALIDARG;
    *errors = nullptr;
    if (count == 0 || handles == nullptr) return E_INVALIDARG;
    HRESULT hr;
    if (FaultStops(SIM_FAULT_REMOVEITEMS_RESULT, &hr)) return hr;
    const bool failFirst = Runtime::Get().Fault(SIM_FAULT_REMOVEITEMS_ITEM_ERROR) != 0;
    com::CoTaskArray<HRESULT> out;
    if (!AllocateArray(out, count)) return E_OUTOFMEMORY;
    bool anyFailed = false;
    std::lock_guard<std::mutex> guard(lock_);
    for (DWORD i = 0; i < count; ++i) {
      Entry* e = Find(handles[i]);
      if (e == nullptr || (i == 0 && failFirst)) {
        out[i] = OPC_E_INVALIDHANDLE;
        anyFailed = true;
        continue;
      }
      e->item = nullptr;
      e->space.reset();
      --liveItems_;
      if (!retired_) Runtime::Get().Count(SIM_COUNTER_ITEMS_LIVE, -1);
    }
    *errors = out.release();
    return FaultSuccess(SIM_FAULT_REMOVEITEMS_RESULT, anyFailed ? S_FALSE : S_OK);
  });
}

// Runs apply on each listed entry; unknown handles get OPC_E_INVALIDHANDLE.
template <typename Apply>
static HRESULT ForEachHandle(DWORD count, OPCHANDLE* handles, HRESULT** errors, Apply&& apply) {
  if (errors == nullptr) return E_INVALIDARG;
  *errors = nullptr;
  if (count == 0 || handles == nullptr) return E_INVALIDARG;
  com::CoTaskArray<HRESULT> out;
  if (!AllocateArray(out, count)) return E_OUTOFMEMORY;
  bool anyFailed = false;
  for (DWORD i = 0; i < count; ++i) {
    out[i] = apply(i);
    anyFailed |= FAILED(out[i]);
  }
  *errors = out.release();
  return anyFailed ? S_FALSE : S_OK;
}

HRESULT STDMETHODCALLTYPE GroupObject::SetActiveState(DWORD count, OPCHANDLE* handles, BOOL active,
                                                      HRESULT** errors) {
  CallScope call("IOPCItemMgt::SetActiveState");
  call.Args("count=%lu active=%d", count, active);
  return Guarded(call, [&] {
    std::lock_guard<std::mutex> guard(lock_);
    return ForEachHandle(count, handles, errors, [&](DWORD i) {
      Entry* e = Find(handles[i]);
      if (e == nullptr) return OPC_E_INVALIDHANDLE;
      e->active = active;
      return S_OK;
    });
  });
}

HRESULT STDMETHODCALLTYPE GroupObject::SetClientHandles(DWORD count, OPCHANDLE* handles,
                                                        OPCHANDLE* clients, HRESULT** errors) {
  CallScope call("IOPCItemMgt::SetClientHandles");
  call.Args("count=%lu", count);
  return Guarded(call, [&]() -> HRESULT {
    if (clients == nullptr) return E_INVALIDARG;
    std::lock_guard<std::mutex> guard(lock_);
    return ForEachHandle(count, handles, errors, [&](DWORD i) {
      Entry* e = Find(handles[i]);
      if (e == nullptr) return OPC_E_INVALIDHANDLE;
      e->client = clients[i];
      return S_OK;
    });
  });
}

HRESULT STDMETHODCALLTYPE GroupObject::SetDatatypes(DWORD count, OPCHANDLE* handles, VARTYPE* types,
                                                    HRESULT** errors) {
  CallScope call("IOPCItemMgt::SetDatatypes");
  call.Args("count=%lu", count);
  return Guarded(call, [&]() -> HRESULT {
    if (types == nullptr) return E_INVALIDARG;
    std::lock_guard<std::mutex> guard(lock_);
    return ForEachHandle(count, handles, errors, [&](DWORD i) {
      Entry* e = Find(handles[i]);
      if (e == nullptr) return OPC_E_INVALIDHANDLE;
      std::lock_guard<std::mutex> valueGuard(e->space->lock());
      if (!Converts(*e->item->value.get(), types[i])) return OPC_E_BADTYPE;
      e->requested = types[i];
      return S_OK;
    });
  });
}

HRESULT STDMETHODCALLTYPE GroupObject::CreateEnumerator(REFIID iid, LPUNKNOWN* out) {
  CallScope call("IOPCItemMgt::CreateEnumerator");
  return Guarded(call, [&]() -> HRESULT {
    if (out == nullptr) return E_INVALIDARG;
    *out = nullptr;
    if (!IsEqualIID(iid, IID_IEnumOPCItemAttributes)) return E_NOINTERFACE;
    std::vector<ItemAttributes> items;
    {
      std::lock_guard<std::mutex> guard(lock_);
      for (size_t i = 0; i < entries_.size(); ++i) {
        const Entry& e = entries_[i];
        if (e.item == nullptr) continue;
        items.push_back({e.item->id, e.active, e.client, static_cast<OPCHANDLE>(i + handleBase_), e.item->rights,
                         e.requested, e.item->type});
      }
    }
    if (items.empty()) return S_FALSE;  // an empty group hands out no enumerator
    com::ComPtr<ItemAttributesEnum> enumerator;
    com::Adopt(enumerator, new ItemAttributesEnum(std::move(items)));
    return enumerator->QueryInterface(iid, reinterpret_cast<void**>(out));
  });
}

void GroupObject::CopyItems(const GroupObject& from) {
  std::scoped_lock guard(lock_, from.lock_);
  handleBase_ = from.handleBase_;
  for (const Entry& e : from.entries_) {
    entries_.push_back(e);
    if (e.item == nullptr) continue;
    ++liveItems_;
    if (!retired_) Runtime::Get().Count(SIM_COUNTER_ITEMS_LIVE);
  }
}

// ---- IOPCGroupStateMgt ----

HRESULT STDMETHODCALLTYPE GroupObject::GetState(DWORD* updateRate, BOOL* active, LPWSTR* name,
                                                LONG* timeBias, FLOAT* deadband, DWORD* lcid,
                                                OPCHANDLE* clientGroup, OPCHANDLE* serverGroup) {
  CallScope call("IOPCGroupStateMgt::GetState");
  return Guarded(call, [&]() -> HRESULT {
    if (name != nullptr) *name = nullptr;
    if (!updateRate || !active || !name || !timeBias || !deadband || !lcid || !clientGroup || !serverGroup) {
      return E_INVALIDARG;
    }
    std::lock_guard<std::mutex> guard(lock_);
    com::CoTaskString copy(CoTaskCopy(settings_.name));
    if (!copy) return E_OUTOFMEMORY;
    *updateRate = settings_.updateRate;
    *active = settings_.active;
    *timeBias = settings_.timeBias;
    *deadband = settings_.deadband;
    *lcid = settings_.lcid;
    *clientGroup = settings_.clientHandle;
    *serverGroup = settings_.serverHandle;
    *name = copy.release();
    return S_OK;
  });
}

HRESULT STDMETHODCALLTYPE GroupObject::SetState(DWORD* requestedRate, DWORD* revisedRate, BOOL* active,
                                                LONG* timeBias, FLOAT* deadband, DWORD* lcid,
                                                OPCHANDLE* clientGroup) {
  CallScope call("IOPCGroupStateMgt::SetState");
  call.Args("rate=%ld active=%d", requestedRate ? static_cast<long>(*requestedRate) : -1L,
            active ? *active : -1);
  return Guarded(call, [&]() -> HRESULT {
    if (revisedRate == nullptr) return E_INVALIDARG;
    if (deadband != nullptr && (*deadband < 0.0f || *deadband > 100.0f)) return E_INVALIDARG;
    std::lock_guard<std::mutex> guard(lock_);
    HRESULT hr = S_OK;
    if (requestedRate != nullptr) {
      settings_.updateRate = *requestedRate == 0 ? 50 : *requestedRate;
      if (*requestedRate == 0) hr = OPC_S_UNSUPPORTEDRATE;
    }
    if (active != nullptr) settings_.active = *active;
    if (timeBias != nullptr) settings_.timeBias = *timeBias;
    if (deadband != nullptr) settings_.deadband = *deadband;
    if (lcid != nullptr) settings_.lcid = *lcid;
    if (clientGroup != nullptr) settings_.clientHandle = *clientGroup;
    *revisedRate = settings_.updateRate;
    notifier_.Wake();
    return hr;
  });
}

HRESULT STDMETHODCALLTYPE GroupObject::SetName(LPCWSTR name) {
  CallScope call("IOPCGroupStateMgt::SetName");
  call.Args("name=%ls", name ? name : L"(null)");
  return Guarded(call, [&]() -> HRESULT {
    if (name == nullptr || name[0] == L'\0') return E_INVALIDARG;
    ServerObject* server = server_.load();
    if (server == nullptr) {
      SetNameUnchecked(name);
      return S_OK;
    }
    return server->RenameGroup(this, name);
  });
}

HRESULT STDMETHODCALLTYPE GroupObject::CloneGroup(LPCWSTR name, REFIID iid, LPUNKNOWN* out) {
  CallScope call("IOPCGroupStateMgt::CloneGroup");
  call.Args("name=%ls", name ? name : L"(null)");
  return Guarded(call, [&]() -> HRESULT {
    if (out == nullptr) return E_INVALIDARG;
    *out = nullptr;
    ServerObject* server = server_.load();
    if (server == nullptr) return E_FAIL;  // removed from its server
    GroupSettings settings;
    {
      std::lock_guard<std::mutex> guard(lock_);
      settings = settings_;
    }
    // A clone starts inactive, with the same items, handles and settings otherwise.
    settings.name = name != nullptr ? name : L"";
    settings.active = FALSE;
    return server->InsertGroup(std::move(settings), this, iid, out, nullptr);
  });
}

// ---- IOPCSyncIO / IOPCSyncIO2 ----

HRESULT GroupObject::ReadEntry(Entry& e, bool cache, VARIANT* value, WORD* quality, FILETIME* timestamp) {
  if ((e.item->rights & OPC_READABLE) == 0) {
    *quality = OPC_QUALITY_BAD;
    return OPC_E_BADRIGHTS;
  }
  if (FAILED(e.item->readError)) {
    *quality = OPC_QUALITY_BAD;
    return e.item->readError;
  }
  if (e.item->readDelayMs > 0) ::Sleep(static_cast<DWORD>(e.item->readDelayMs));
  VARIANT raw;
  ::VariantInit(&raw);
  {
    std::lock_guard<std::mutex> valueGuard(e.space->lock());
    e.space->ReadLocked(*e.item, &raw, quality, timestamp);
  }
  HRESULT hr = S_OK;
  if (e.requested == VT_EMPTY || e.requested == raw.vt) {
    *value = raw;  // moved, not copied
  } else {
    hr = ConvertVariant(value, &raw, e.requested);
    ::VariantClear(&raw);
    if (FAILED(hr)) {
      *quality = OPC_QUALITY_BAD;
      return OPC_E_BADTYPE;
    }
  }
  // A cache read of something inactive has no current value to offer.
  if (cache && (!settings_.active || !e.active)) *quality = OPC_QUALITY_OUT_OF_SERVICE;
  if (e.item->byref && (value->vt & (VT_ARRAY | VT_BYREF)) == 0 && value->vt != VT_EMPTY) {
    // The answer refers to a copy kept by the entry; the stub marshals what it points to.
    e.byrefTarget = std::make_shared<OwnedVariant>();
    VARIANT* target = e.byrefTarget->get();
    *target = *value;  // moved
    ::VariantInit(value);
    value->vt = static_cast<VARTYPE>(target->vt | VT_BYREF);
    value->byref = target->vt == VT_DECIMAL ? static_cast<void*>(&target->decVal)
                                            : static_cast<void*>(&target->llVal);
  }
  return hr;
}

HRESULT STDMETHODCALLTYPE GroupObject::Read(OPCDATASOURCE source, DWORD count, OPCHANDLE* handles,
                                            OPCITEMSTATE** values, HRESULT** errors) {
  CallScope call("IOPCSyncIO::Read");
  call.Items(count, errors, values);
  ShutdownInsideIo();
  call.Args("source=%d count=%lu", static_cast<int>(source), count);
  return Guarded(call, [&]() -> HRESULT {
    Runtime::Get().Count(SIM_COUNTER_READ_CALLS);
    if (values == nullptr || errors == nullptr) return E_INVALIDARG;
    *values = nullptr;
    *errors = nullptr;
    if (count == 0 || handles == nullptr || (source != OPC_DS_CACHE && source != OPC_DS_DEVICE)) {
      return E_INVALIDARG;
    }
    HRESULT hr;
    if (FaultStops(SIM_FAULT_READ_RESULT, &hr)) return hr;
    Runtime::Get().SetCounter(SIM_COUNTER_LAST_READ_COUNT, static_cast<LONG>(count));
    com::CoTaskArray<OPCITEMSTATE, com::ItemStateCleanup> outValues;
    com::CoTaskArray<HRESULT> outErrors;
    if (!AllocateArray(outValues, count) || !AllocateArray(outErrors, count)) return E_OUTOFMEMORY;
    bool anyFailed = false;
    std::lock_guard<std::mutex> guard(lock_);
    for (DWORD i = 0; i < count; ++i) {
      OPCITEMSTATE& s = outValues[i];
      Entry* e = Find(handles[i]);
      if (e == nullptr) {
        outErrors[i] = OPC_E_INVALIDHANDLE;
      } else {
        s.hClient = e->client;
        outErrors[i] = ReadEntry(*e, source == OPC_DS_CACHE, &s.vDataValue, &s.wQuality, &s.ftTimeStamp);
      }
      anyFailed |= FAILED(outErrors[i]);
    }
    *values = outValues.release();
    *errors = outErrors.release();
    return FaultSuccess(SIM_FAULT_READ_RESULT, anyFailed ? S_FALSE : S_OK);
  });
}

HRESULT GroupObject::WriteEntry(Entry& e, const VARIANT& value, const WORD* quality,
                                const FILETIME* timestamp) {
  if ((e.item->rights & OPC_WRITEABLE) == 0) return OPC_E_BADRIGHTS;
  if (FAILED(e.item->writeError)) return e.item->writeError;
  VARIANT converted;
  ::VariantInit(&converted);
  const bool valueGiven = value.vt != VT_EMPTY || quality == nullptr;
  if (valueGiven && FAILED(ConvertVariant(&converted, &value, e.item->type))) return OPC_E_BADTYPE;
  std::lock_guard<std::mutex> valueGuard(e.space->lock());
  if (valueGiven) {
    ::VariantClear(e.item->value.get());
    *e.item->value.get() = converted;  // moved
  }
  e.item->quality = quality != nullptr ? *quality : OPC_QUALITY_GOOD;
  e.item->timestamp = timestamp != nullptr ? *timestamp : Now();
  return S_OK;
}

HRESULT STDMETHODCALLTYPE GroupObject::Write(DWORD count, OPCHANDLE* handles, VARIANT* values,
                                             HRESULT** errors) {
  CallScope call("IOPCSyncIO::Write");
  call.Items(count, errors);
  ShutdownInsideIo();
  call.Args("count=%lu", count);
  return Guarded(call, [&]() -> HRESULT {
    Runtime::Get().Count(SIM_COUNTER_WRITE_CALLS);
    if (errors == nullptr) return E_INVALIDARG;
    *errors = nullptr;
    if (values == nullptr) return E_INVALIDARG;
    HRESULT hr;
    if (FaultStops(SIM_FAULT_WRITE_RESULT, &hr)) return hr;
    Runtime::Get().SetCounter(SIM_COUNTER_LAST_WRITE_COUNT, static_cast<LONG>(count));
    std::lock_guard<std::mutex> guard(lock_);
    hr = ForEachHandle(count, handles, errors, [&](DWORD i) {
      Entry* e = Find(handles[i]);
      return e == nullptr ? OPC_E_INVALIDHANDLE : WriteEntry(*e, values[i], nullptr, nullptr);
    });
    return FaultSuccess(SIM_FAULT_WRITE_RESULT, hr);
  });
}

HRESULT STDMETHODCALLTYPE GroupObject::ReadMaxAge(DWORD count, OPCHANDLE* handles, DWORD* maxAge,
                                                  VARIANT** values, WORD** qualities,
                                                  FILETIME** timestamps, HRESULT** errors) {
  CallScope call("IOPCSyncIO2::ReadMaxAge");
  call.Items(count, errors);
  ShutdownInsideIo();
  call.Args("count=%lu", count);
  return Guarded(call, [&]() -> HRESULT {
    Runtime::Get().Count(SIM_COUNTER_READ_CALLS);
    if (!values || !qualities || !timestamps || !errors) return E_INVALIDARG;
    *values = nullptr;
    *qualities = nullptr;
    *timestamps = nullptr;
    *errors = nullptr;
    if (count == 0 || handles == nullptr || maxAge == nullptr) return E_INVALIDARG;
    HRESULT hr;
    if (FaultStops(SIM_FAULT_READ_RESULT, &hr)) return hr;
    com::CoTaskArray<VARIANT, com::VariantElementCleanup> outValues;
    com::CoTaskArray<WORD> outQualities;
    com::CoTaskArray<FILETIME> outTimes;
    com::CoTaskArray<HRESULT> outErrors;
    if (!AllocateArray(outValues, count) || !AllocateArray(outQualities, count) ||
        !AllocateArray(outTimes, count) || !AllocateArray(outErrors, count)) {
      return E_OUTOFMEMORY;
    }
    bool anyFailed = false;
    std::lock_guard<std::mutex> guard(lock_);
    for (DWORD i = 0; i < count; ++i) {
      Entry* e = Find(handles[i]);
      // Every value is current here, so only "any age" behaves like a cache read.
      outErrors[i] = e == nullptr ? OPC_E_INVALIDHANDLE
                                  : ReadEntry(*e, maxAge[i] == 0xFFFFFFFF, &outValues[i],
                                              &outQualities[i], &outTimes[i]);
      anyFailed |= FAILED(outErrors[i]);
    }
    *values = outValues.release();
    *qualities = outQualities.release();
    *timestamps = outTimes.release();
    *errors = outErrors.release();
    return FaultSuccess(SIM_FAULT_READ_RESULT, anyFailed ? S_FALSE : S_OK);
  });
}

HRESULT STDMETHODCALLTYPE GroupObject::WriteVQT(DWORD count, OPCHANDLE* handles, OPCITEMVQT* vqts,
                                                HRESULT** errors) {
  CallScope call("IOPCSyncIO2::WriteVQT");
  call.Items(count, errors);
  ShutdownInsideIo();
  call.Args("count=%lu", count);
  return Guarded(call, [&]() -> HRESULT {
    Runtime::Get().Count(SIM_COUNTER_WRITE_CALLS);
    if (errors == nullptr) return E_INVALIDARG;
    *errors = nullptr;
    if (vqts == nullptr) return E_INVALIDARG;
    HRESULT hr;
    if (FaultStops(SIM_FAULT_WRITE_RESULT, &hr)) return hr;
    Runtime::Get().SetCounter(SIM_COUNTER_LAST_WRITE_COUNT, static_cast<LONG>(count));
    std::lock_guard<std::mutex> guard(lock_);
    hr = ForEachHandle(count, handles, errors, [&](DWORD i) {
      Entry* e = Find(handles[i]);
      if (e == nullptr) return OPC_E_INVALIDHANDLE;
      const OPCITEMVQT& v = vqts[i];
      if (e->item->refusesVqt && (v.bQualitySpecified || v.bTimeStampSpecified)) {
        return OPC_E_NOTSUPPORTED;
      }
      return WriteEntry(*e, v.vDataValue, v.bQualitySpecified ? &v.wQuality : nullptr,
                        v.bTimeStampSpecified ? &v.ftTimeStamp : nullptr);
    });
    return FaultSuccess(SIM_FAULT_WRITE_RESULT, hr);
  });
}

// ---- IOPCGroupStateMgt2 ----

HRESULT STDMETHODCALLTYPE GroupObject::SetKeepAlive(DWORD keepAlive, DWORD* revised) {
  CallScope call("IOPCGroupStateMgt2::SetKeepAlive");
  call.Args("ms=%lu", keepAlive);
  return Guarded(call, [&]() -> HRESULT {
    if (revised == nullptr) return E_INVALIDARG;
    *revised = notifier_.SetKeepAlive(keepAlive);
    return S_OK;
  });
}

HRESULT STDMETHODCALLTYPE GroupObject::GetKeepAlive(DWORD* keepAlive) {
  CallScope call("IOPCGroupStateMgt2::GetKeepAlive");
  return Guarded(call, [&]() -> HRESULT {
    if (keepAlive == nullptr) return E_INVALIDARG;
    *keepAlive = notifier_.KeepAlive();
    return S_OK;
  });
}

// ---- IOPCAsyncIO2 ----

HRESULT STDMETHODCALLTYPE GroupObject::Read(DWORD, OPCHANDLE*, DWORD, DWORD* cancelId, HRESULT** errors) {
  CallScope call("IOPCAsyncIO2::Read");
  return Guarded(call, [&]() -> HRESULT {
    if (cancelId != nullptr) *cancelId = 0;
    if (errors != nullptr) *errors = nullptr;
    return E_NOTIMPL;
  });
}

HRESULT STDMETHODCALLTYPE GroupObject::Write(DWORD, OPCHANDLE*, VARIANT*, DWORD, DWORD* cancelId,
                                             HRESULT** errors) {
  CallScope call("IOPCAsyncIO2::Write");
  return Guarded(call, [&]() -> HRESULT {
    if (cancelId != nullptr) *cancelId = 0;
    if (errors != nullptr) *errors = nullptr;
    return E_NOTIMPL;
  });
}

HRESULT STDMETHODCALLTYPE GroupObject::Refresh2(OPCDATASOURCE source, DWORD transaction, DWORD* cancelId) {
  CallScope call("IOPCAsyncIO2::Refresh2");
  call.Args("source=%d transaction=%lu", static_cast<int>(source), transaction);
  return Guarded(call, [&]() -> HRESULT {
    Runtime::Get().Count(SIM_COUNTER_REFRESH_CALLS);
    if (cancelId == nullptr) return E_INVALIDARG;
    *cancelId = 0;
    if (source != OPC_DS_CACHE && source != OPC_DS_DEVICE) return E_INVALIDARG;
    {
      std::lock_guard<std::mutex> guard(lock_);
      bool anyActive = false;
      for (const Entry& e : entries_) anyActive = anyActive || (e.item != nullptr && e.active);
      if (!settings_.active || !anyActive) return E_FAIL;  // nothing to refresh
    }
    return notifier_.QueueRefresh(transaction, cancelId);
  });
}

HRESULT STDMETHODCALLTYPE GroupObject::Cancel2(DWORD cancelId) {
  CallScope call("IOPCAsyncIO2::Cancel2");
  call.Args("cancel=%lu", cancelId);
  return Guarded(call, [&]() -> HRESULT { return E_FAIL; });  // always too late: answered at once
}

HRESULT STDMETHODCALLTYPE GroupObject::SetEnable(BOOL enable) {
  CallScope call("IOPCAsyncIO2::SetEnable");
  return Guarded(call, [&]() -> HRESULT {
    notifier_.SetEnable(enable != FALSE);
    return S_OK;
  });
}

HRESULT STDMETHODCALLTYPE GroupObject::GetEnable(BOOL* enable) {
  CallScope call("IOPCAsyncIO2::GetEnable");
  return Guarded(call, [&]() -> HRESULT {
    if (enable == nullptr) return E_INVALIDARG;
    *enable = notifier_.Enabled() ? TRUE : FALSE;
    return S_OK;
  });
}

// ---- IConnectionPointContainer ----

HRESULT STDMETHODCALLTYPE GroupObject::EnumConnectionPoints(IEnumConnectionPoints** out) {
  if (out != nullptr) *out = nullptr;
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE GroupObject::FindConnectionPoint(REFIID iid, IConnectionPoint** out) {
  CallScope call("IConnectionPointContainer::FindConnectionPoint(group)");
  return Guarded(call, [&]() -> HRESULT {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (!IsEqualIID(iid, IID_IOPCDataCallback)) return CONNECT_E_NOCONNECTION;
    *out = &notifier_;
    notifier_.AddRef();
    return S_OK;
  });
}

void GroupObject::Snapshot(GroupSnapshot& snapshot) {
  std::lock_guard<std::mutex> guard(lock_);
  snapshot.active = settings_.active != FALSE && !retired_;
  snapshot.updateRate = settings_.updateRate;
  snapshot.clientGroup = settings_.clientHandle;
  snapshot.items.clear();
  if (!snapshot.active) return;
  for (size_t i = 0; i < entries_.size(); ++i) {
    Entry& e = entries_[i];
    if (e.item == nullptr || !e.active) continue;
    ItemSample& sample = snapshot.items.emplace_back();
    sample.server = static_cast<OPCHANDLE>(i + handleBase_);
    sample.client = e.client;
    VARIANT* value = sample.value.get();
    sample.error = ReadEntry(e, true, value, &sample.quality, &sample.time);
    if ((value->vt & VT_BYREF) != 0) ::VariantCopyInd(value, value);  // notifications carry values
  }
}

}  // namespace krelta::sim
