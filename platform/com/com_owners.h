// Owners for COM resources: every interface pointer is a ComPtr, every buffer that COM or a
// server hands back is adopted by one of these types on the line after the call.
// Windows only.
//
//   CoTaskMem<T>            one CoTaskMemAlloc'd block (string, struct)
//   CoTaskArray<T, Clean>   a CoTaskMemAlloc'd array with its count; Clean(T&) runs per element
//   Bstr                    a BSTR (SysFreeString)
//   Variant                 a VARIANT (VariantInit / VariantClear)
//   ApartmentGuard          CoInitializeEx ... CoUninitialize, only when the join succeeded
//   AdviseToken             an IConnectionPoint cookie; Unadvise when reset, holds the point
//
// put() (and the other out-parameter accessors) release the current value first, so an owner
// reused in a loop never leaks the previous buffer.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <ocidl.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <cstddef>
#include <utility>

namespace krelta::com {

using Microsoft::WRL::ComPtr;

// Takes over a reference the caller already owns (a fresh object, an out parameter typed as
// another interface). mingw-w64's ComPtr::Attach adds a reference of its own, so it would leak one.
template <typename T, typename U>
void Adopt(ComPtr<T>& owner, U* owned) noexcept {
  *owner.ReleaseAndGetAddressOf() = static_cast<T*>(owned);
}

// One CoTaskMem block.
template <typename T>
class CoTaskMem {
 public:
  CoTaskMem() = default;
  explicit CoTaskMem(T* adopt) noexcept : p_(adopt) {}
  ~CoTaskMem() { reset(); }
  CoTaskMem(CoTaskMem&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  CoTaskMem& operator=(CoTaskMem&& o) noexcept {
    if (this != &o) reset(std::exchange(o.p_, nullptr));
    return *this;
  }
  CoTaskMem(const CoTaskMem&) = delete;
  CoTaskMem& operator=(const CoTaskMem&) = delete;

  void reset(T* adopt = nullptr) noexcept {
    if (p_ != nullptr) ::CoTaskMemFree(p_);
    p_ = adopt;
  }
  T* release() noexcept { return std::exchange(p_, nullptr); }
  T** put() noexcept {
    reset();
    return &p_;
  }
  T* get() const noexcept { return p_; }
  T* operator->() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  T* p_ = nullptr;
};

using CoTaskString = CoTaskMem<wchar_t>;

// Element cleanup that does nothing (HRESULTs, handles, plain structs).
struct NoElementCleanup {
  template <typename T>
  void operator()(T&) const noexcept {}
};
// Element cleanup for arrays of VARIANTs.
struct VariantElementCleanup {
  void operator()(VARIANT& v) const noexcept { ::VariantClear(&v); }
};
// Element cleanup for arrays of CoTaskMem strings (IEnumString::Next and the like).
struct StringElementCleanup {
  void operator()(LPWSTR& s) const noexcept {
    ::CoTaskMemFree(s);
    s = nullptr;
  }
};

// Element cleanup for OPCITEMSTATE arrays (IOPCSyncIO::Read): the value of each state.
struct ItemStateCleanup {
  template <typename State>
  void operator()(State& s) const noexcept {
    ::VariantClear(&s.vDataValue);
  }
};
// Element cleanup for OPCITEMRESULT arrays (IOPCItemMgt::AddItems): the blob of each result.
struct ItemResultCleanup {
  template <typename Result>
  void operator()(Result& r) const noexcept {
    ::CoTaskMemFree(r.pBlob);
    r.pBlob = nullptr;
  }
};
// Element cleanup for OPCITEMPROPERTY arrays: the texts and the value of each property.
struct ItemPropertyCleanup {
  template <typename Property>
  void operator()(Property& p) const noexcept {
    ::CoTaskMemFree(p.szItemID);
    ::CoTaskMemFree(p.szDescription);
    p.szItemID = p.szDescription = nullptr;
    ::VariantClear(&p.vValue);
  }
};
// Element cleanup for OPCITEMPROPERTIES arrays (IOPCBrowse::GetProperties): each property, then
// the property array.
struct ItemPropertiesCleanup {
  template <typename List>
  void operator()(List& list) const noexcept {
    for (DWORD i = 0; list.pItemProperties != nullptr && i < list.dwNumProperties; ++i) {
      ItemPropertyCleanup()(list.pItemProperties[i]);
    }
    ::CoTaskMemFree(list.pItemProperties);
    list.pItemProperties = nullptr;
  }
};
// Element cleanup for OPCBROWSEELEMENT arrays (IOPCBrowse::Browse): the texts and the embedded
// property list of each element.
struct BrowseElementCleanup {
  template <typename Element>
  void operator()(Element& e) const noexcept {
    ::CoTaskMemFree(e.szName);
    ::CoTaskMemFree(e.szItemID);
    e.szName = e.szItemID = nullptr;
    ItemPropertiesCleanup()(e.ItemProperties);
  }
};
// Element cleanup for OPCITEMATTRIBUTES arrays (IEnumOPCItemAttributes::Next).
struct ItemAttributesCleanup {
  template <typename Attributes>
  void operator()(Attributes& a) const noexcept {
    ::CoTaskMemFree(a.szAccessPath);
    ::CoTaskMemFree(a.szItemID);
    ::CoTaskMemFree(a.pBlob);
    a.szAccessPath = a.szItemID = nullptr;
    a.pBlob = nullptr;
    ::VariantClear(&a.vEUInfo);
  }
};

// A CoTaskMem array of `size` elements; Cleanup runs on each element before the block is freed.
// The count is the caller's to set (a server returns as many entries as it was asked for) or the
// callee's through size_address().
template <typename T, typename Cleanup = NoElementCleanup>
class CoTaskArray {
 public:
  CoTaskArray() = default;
  CoTaskArray(T* adopt, std::size_t size) noexcept : p_(adopt), size_(adopt ? size : 0) {}
  ~CoTaskArray() { reset(); }
  CoTaskArray(CoTaskArray&& o) noexcept
      : p_(std::exchange(o.p_, nullptr)), size_(std::exchange(o.size_, 0)) {}
  CoTaskArray& operator=(CoTaskArray&& o) noexcept {
    if (this != &o) {
      reset();
      p_ = std::exchange(o.p_, nullptr);
      size_ = std::exchange(o.size_, 0);
    }
    return *this;
  }
  CoTaskArray(const CoTaskArray&) = delete;
  CoTaskArray& operator=(const CoTaskArray&) = delete;

  void reset() noexcept {
    if (p_ != nullptr) {
      Cleanup clean;
      for (std::size_t i = 0; i < size_; ++i) clean(p_[i]);
      ::CoTaskMemFree(p_);
    }
    p_ = nullptr;
    size_ = 0;
  }
  // Out parameter for the block; the element count the block will hold must follow through
  // set_size() (or size_address() for a callee-written count) before the owner is destroyed.
  T** put() noexcept {
    reset();
    return &p_;
  }
  // Hands the block to a caller (a server's callee-allocated [out] array); the owner is empty after.
  T* release() noexcept {
    size_ = 0;
    return std::exchange(p_, nullptr);
  }
  // Adopts what put() received with a count known to the caller. A null block has size 0.
  void set_size(std::size_t size) noexcept { size_ = p_ ? size : 0; }
  // Out parameter for a callee-written count (DWORD or ULONG in COM signatures).
  template <typename Count = DWORD>
  class SizeSlot {
   public:
    explicit SizeSlot(CoTaskArray& owner) : owner_(owner) {}
    ~SizeSlot() { owner_.set_size(static_cast<std::size_t>(value_)); }
    operator Count*() noexcept { return &value_; }

   private:
    CoTaskArray& owner_;
    Count value_ = 0;
  };
  template <typename Count = DWORD>
  SizeSlot<Count> size_address() noexcept {
    return SizeSlot<Count>(*this);
  }

  T* get() const noexcept { return p_; }
  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  T& operator[](std::size_t i) const noexcept { return p_[i]; }
  T* begin() const noexcept { return p_; }
  T* end() const noexcept { return p_ + size_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  T* p_ = nullptr;
  std::size_t size_ = 0;
};

class Bstr {
 public:
  Bstr() = default;
  explicit Bstr(const wchar_t* text) : b_(text ? ::SysAllocString(text) : nullptr) {}
  ~Bstr() { reset(); }
  Bstr(Bstr&& o) noexcept : b_(std::exchange(o.b_, nullptr)) {}
  Bstr& operator=(Bstr&& o) noexcept {
    if (this != &o) reset(std::exchange(o.b_, nullptr));
    return *this;
  }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;

  void reset(BSTR adopt = nullptr) noexcept {
    if (b_ != nullptr) ::SysFreeString(b_);
    b_ = adopt;
  }
  BSTR release() noexcept { return std::exchange(b_, nullptr); }
  BSTR* put() noexcept {
    reset();
    return &b_;
  }
  BSTR get() const noexcept { return b_; }
  UINT length() const noexcept { return b_ ? ::SysStringLen(b_) : 0; }

 private:
  BSTR b_ = nullptr;
};

class Variant {
 public:
  Variant() noexcept { ::VariantInit(&v_); }
  ~Variant() { ::VariantClear(&v_); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;

  void reset() noexcept { ::VariantClear(&v_); }
  VARIANT* put() noexcept {
    reset();
    return &v_;
  }
  VARIANT* get() noexcept { return &v_; }
  const VARIANT* get() const noexcept { return &v_; }
  VARIANT& operator*() noexcept { return v_; }
  VARIANT* operator->() noexcept { return &v_; }

 private:
  VARIANT v_;
};

// Joins the calling thread to an apartment; leaves it again only when the join succeeded
// (S_OK or S_FALSE). RPC_E_CHANGED_MODE leaves the thread in its other apartment untouched.
class ApartmentGuard {
 public:
  explicit ApartmentGuard(DWORD model = COINIT_MULTITHREADED) noexcept
      : result_(::CoInitializeEx(nullptr, model)) {}
  ~ApartmentGuard() {
    if (SUCCEEDED(result_)) ::CoUninitialize();
  }
  ApartmentGuard(const ApartmentGuard&) = delete;
  ApartmentGuard& operator=(const ApartmentGuard&) = delete;

  HRESULT result() const noexcept { return result_; }
  bool joined() const noexcept { return SUCCEEDED(result_); }

 private:
  HRESULT result_;
};

// A connection-point cookie together with the point that issued it. reset() unadvises, then
// releases the point, so the cookie never outlives its source.
class AdviseToken {
 public:
  AdviseToken() = default;
  ~AdviseToken() { reset(); }
  AdviseToken(AdviseToken&& o) noexcept
      : point_(std::move(o.point_)), cookie_(std::exchange(o.cookie_, 0)) {}
  AdviseToken& operator=(AdviseToken&& o) noexcept {
    if (this != &o) {
      reset();
      point_ = std::move(o.point_);
      cookie_ = std::exchange(o.cookie_, 0);
    }
    return *this;
  }
  AdviseToken(const AdviseToken&) = delete;
  AdviseToken& operator=(const AdviseToken&) = delete;

  // Advises sink on point; on failure nothing is kept.
  HRESULT Advise(IConnectionPoint* point, IUnknown* sink) {
    reset();
    if (point == nullptr) return E_POINTER;
    DWORD cookie = 0;
    const HRESULT hr = point->Advise(sink, &cookie);
    if (SUCCEEDED(hr)) {
      point_ = point;
      cookie_ = cookie;
    }
    return hr;
  }
  // Unadvise result of the last reset, S_OK when nothing was advised.
  HRESULT reset() noexcept {
    HRESULT hr = S_OK;
    if (point_) hr = point_->Unadvise(cookie_);
    point_.Reset();
    cookie_ = 0;
    return hr;
  }
  // Forgets the advice without calling the point (its server is gone); releases the point.
  void abandon() noexcept {
    point_.Reset();
    cookie_ = 0;
  }
  bool advised() const noexcept { return static_cast<bool>(point_); }
  DWORD cookie() const noexcept { return cookie_; }

 private:
  ComPtr<IConnectionPoint> point_;
  DWORD cookie_ = 0;
};

}  // namespace krelta::com
