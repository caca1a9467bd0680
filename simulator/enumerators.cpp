#include "simulator/enumerators.h"

#include <algorithm>

#include "opc_da_constants.h"

namespace krelta::sim {

namespace {

template <typename Interface>
HRESULT QueryOne(Interface* self, REFIID own, REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, own)) return E_NOINTERFACE;
  *out = self;
  self->AddRef();
  return S_OK;
}

}  // namespace

// ---- StringEnum ----

HRESULT STDMETHODCALLTYPE StringEnum::QueryInterface(REFIID iid, void** out) {
  return QueryOne<IEnumString>(this, IID_IEnumString, iid, out);
}

HRESULT STDMETHODCALLTYPE StringEnum::Next(ULONG celt, LPOLESTR* out, ULONG* fetched) {
  if (out == nullptr || (fetched == nullptr && celt != 1)) return E_INVALIDARG;
  std::lock_guard<std::mutex> guard(lock_);
  const ULONG n = static_cast<ULONG>(std::min<size_t>(celt, items_.size() - position_));
  for (ULONG i = 0; i < n; ++i) {
    out[i] = CoTaskCopy(items_[position_ + i]);
    if (out[i] == nullptr) {
      for (ULONG k = 0; k < i; ++k) ::CoTaskMemFree(out[k]);
      if (fetched != nullptr) *fetched = 0;
      return E_OUTOFMEMORY;
    }
  }
  position_ += n;
  if (fetched != nullptr) *fetched = n;
  return (n == celt || emptyOk_) ? S_OK : S_FALSE;
}

// ---- ItemAttributesEnum ----

HRESULT STDMETHODCALLTYPE ItemAttributesEnum::QueryInterface(REFIID iid, void** out) {
  return QueryOne<IEnumOPCItemAttributes>(this, IID_IEnumOPCItemAttributes, iid, out);
}

HRESULT STDMETHODCALLTYPE ItemAttributesEnum::Next(ULONG celt, OPCITEMATTRIBUTES** items, ULONG* fetched) {
  if (items == nullptr || fetched == nullptr) return E_INVALIDARG;
  *items = nullptr;
  *fetched = 0;
  std::lock_guard<std::mutex> guard(lock_);
  const size_t n = std::min<size_t>(celt, items_.size() - position_);
  if (n == 0) return celt == 0 ? S_OK : S_FALSE;
  com::CoTaskArray<OPCITEMATTRIBUTES, com::ItemAttributesCleanup> out;
  if (!AllocateArray(out, n)) return E_OUTOFMEMORY;
  for (size_t i = 0; i < n; ++i) {
    const ItemAttributes& from = items_[position_ + i];
    OPCITEMATTRIBUTES& a = out[i];
    a.szAccessPath = CoTaskCopy(L"");
    a.szItemID = CoTaskCopy(from.itemId);
    if (a.szAccessPath == nullptr || a.szItemID == nullptr) return E_OUTOFMEMORY;
    a.bActive = from.active;
    a.hClient = from.client;
    a.hServer = from.server;
    a.dwAccessRights = from.rights;
    a.vtRequestedDataType = from.requested;
    a.vtCanonicalDataType = from.canonical;
    a.dwEUType = OPC_NOENUM;
  }
  position_ += n;
  *fetched = static_cast<ULONG>(n);
  *items = out.release();
  return n == celt ? S_OK : S_FALSE;
}

}  // namespace krelta::sim
