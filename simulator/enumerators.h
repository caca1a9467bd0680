// Snapshot enumerators the simulator hands out: names and item attributes. Windows only.
#pragma once

#include <windows.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "opc_da.h"
#include "simulator/com_object.h"

namespace krelta::sim {

struct ItemAttributes {
  std::wstring itemId;
  BOOL active = TRUE;
  OPCHANDLE client = 0;
  OPCHANDLE server = 0;
  DWORD rights = 0;
  VARTYPE requested = VT_EMPTY;
  VARTYPE canonical = VT_EMPTY;
};

// A snapshot enumerator over elements: Skip, Reset and Clone; Derived adds QueryInterface and
// Next (the one method whose shape differs between enumerators).
template <typename Derived, typename Interface, typename Element>
class SnapshotEnum : public Interface, public RefCounted {
 public:
  explicit SnapshotEnum(std::vector<Element> items, size_t position = 0)
      : items_(std::move(items)), position_(position) {}

  KRELTA_SIM_REFCOUNT
  HRESULT STDMETHODCALLTYPE Skip(ULONG celt) override {
    std::lock_guard<std::mutex> guard(lock_);
    const size_t left = items_.size() - position_;
    position_ += std::min<size_t>(celt, left);
    return celt <= left ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Reset() override {
    std::lock_guard<std::mutex> guard(lock_);
    position_ = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Clone(Interface** out) override {
    if (out == nullptr) return E_POINTER;
    std::lock_guard<std::mutex> guard(lock_);
    *out = static_cast<Derived*>(this)->CopyAt(position_);
    return S_OK;
  }

 protected:
  // A new enumerator over the same elements at position; Derived hides it to copy more.
  Derived* CopyAt(size_t position) const { return new Derived(items_, position); }

  std::mutex lock_;
  const std::vector<Element> items_;
  size_t position_;
};

class StringEnum final : public SnapshotEnum<StringEnum, IEnumString, std::wstring> {
 public:
  // emptyOk: answer S_OK for short and empty batches too (SIM_FAULT_ENUM_EMPTY_OK).
  explicit StringEnum(std::vector<std::wstring> strings, size_t position = 0, bool emptyOk = false)
      : SnapshotEnum(std::move(strings), position), emptyOk_(emptyOk) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  HRESULT STDMETHODCALLTYPE Next(ULONG celt, LPOLESTR* out, ULONG* fetched) override;

 private:
  friend class SnapshotEnum;
  StringEnum* CopyAt(size_t position) const { return new StringEnum(items_, position, emptyOk_); }
  const bool emptyOk_;
};

class ItemAttributesEnum final
    : public SnapshotEnum<ItemAttributesEnum, IEnumOPCItemAttributes, ItemAttributes> {
 public:
  using SnapshotEnum::SnapshotEnum;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  HRESULT STDMETHODCALLTYPE Next(ULONG celt, OPCITEMATTRIBUTES** items, ULONG* fetched) override;
};

}  // namespace krelta::sim
