#include "simulator/server_list.h"

#include <cstdio>
#include <string>
#include <vector>

#include "opc_da.h"
#include "simulator/com_object.h"
#include "simulator/runtime.h"
#include "simulator_control.h"

namespace krelta::sim {
namespace {

constexpr GUID kCatDA10a = {0x63D5F430, 0xCFE4, 0x11D1, {0xB2, 0xC8, 0x00, 0x60, 0x08, 0x3B, 0xA1, 0xFB}};
constexpr GUID kCatDA20 = {0x63D5F432, 0xCFE4, 0x11D1, {0xB2, 0xC8, 0x00, 0x60, 0x08, 0x3B, 0xA1, 0xFB}};
constexpr GUID kCatDA30 = {0xCC603642, 0x66D7, 0x48F1, {0xB6, 0x9A, 0xB6, 0x25, 0xE7, 0x36, 0x52, 0xD7}};
constexpr GUID kCatAE10 = {0x58E13251, 0xAC87, 0x11D1, {0x84, 0xD5, 0x00, 0x60, 0x8C, 0xB8, 0xA7, 0xE9}};

// Classes that exist only in this component's answers (nothing registers or serves them).
struct TestClass {
  CLSID clsid;
  const GUID* category;
  const wchar_t* progId;  // null: the class has no ProgID
  const wchar_t* userType;
};
constexpr TestClass kTestClasses[] = {
    {{0x0A1D0A10, 0x7E57, 0x4C1A, {0x9A, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01}}, &kCatDA10a,
     L"OpcDAKrelta.TestDA1.1", L"Data Access 1.0a only test class"},
    {{0x0A1D0A10, 0x7E57, 0x4C1A, {0x9A, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02}}, &kCatAE10,
     L"OpcDAKrelta.TestAE.1", L"Alarms and Events test class"},
    {{0x0A1D0A10, 0x7E57, 0x4C1A, {0x9A, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03}}, &kCatDA30,
     nullptr, nullptr},
};

// Generated classes {0A1D0A11-0000-4C1A-9A10-<index>}, ProgID "OpcDAKrelta.Generated<index>.1".
constexpr DWORD kGeneratedData1 = 0x0A1D0A11;
CLSID GeneratedClass(DWORD index) {
  CLSID clsid{kGeneratedData1, 0, 0x4C1A, {0x9A, 0x10, 0, 0, 0, 0, 0, 0}};
  for (int i = 0; i < 4; ++i) clsid.Data4[7 - i] = static_cast<BYTE>(index >> (8 * i));
  return clsid;
}
bool IsGenerated(const CLSID& clsid, DWORD& index) {
  if (clsid.Data1 != kGeneratedData1) return false;
  index = 0;
  for (int i = 0; i < 4; ++i) index |= static_cast<DWORD>(clsid.Data4[7 - i]) << (8 * i);
  return true;
}

class Counted : public RefCounted {
 public:
  Counted() { Runtime::Get().Count(SIM_COUNTER_SERVERLIST_LIVE); }
  ~Counted() override { Runtime::Get().Count(SIM_COUNTER_SERVERLIST_LIVE, -1); }
};

class ClassEnumerator final : public IOPCEnumGUID, public Counted {
 public:
  explicit ClassEnumerator(std::vector<CLSID> classes, size_t position = 0)
      : classes_(std::move(classes)), position_(position) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    // IEnumGUID (IOPCServerList's answer) has the very same methods in the same order.
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IOPCEnumGUID) && !IsEqualIID(iid, IID_IEnumGUID)) {
      return E_NOINTERFACE;
    }
    *out = static_cast<IOPCEnumGUID*>(this);
    AddRefImpl();
    return S_OK;
  }
  KRELTA_SIM_REFCOUNT

  HRESULT STDMETHODCALLTYPE Next(ULONG count, GUID* out, ULONG* fetched) override {
    CallScope call("IOPCEnumGUID::Next", CallScope::kControl);
    call.Args("celt=%lu", count);
    if (out == nullptr || (fetched == nullptr && count != 1)) return call.Done(E_POINTER);
    ULONG n = 0;
    while (n < count && position_ < classes_.size()) out[n++] = classes_[position_++];
    if (fetched != nullptr) *fetched = n;
    return call.Done(n == count ? S_OK : S_FALSE);
  }
  HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
    const size_t left = classes_.size() - position_;
    position_ += count < left ? count : left;
    return count <= left ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Reset() override {
    position_ = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Clone(IOPCEnumGUID** out) override {
    if (out == nullptr) return E_POINTER;
    *out = new ClassEnumerator(classes_, position_);
    return S_OK;
  }

 private:
  std::vector<CLSID> classes_;
  size_t position_;
};

// Every class in HKCR\CLSID with the categories it registers under "Implemented Categories".
// One pass over the registry per component object (the system's category manager under Wine
// takes about 0.4 s per category query; ten of them would freeze the caller's dialog).
using CategoryIndex = std::vector<std::pair<CLSID, std::vector<GUID>>>;
CategoryIndex ScanRegistry() {
  CategoryIndex index;
  HKEY root = nullptr;
  if (::RegOpenKeyExW(HKEY_CLASSES_ROOT, L"CLSID", 0, KEY_READ, &root) != ERROR_SUCCESS) return index;
  wchar_t name[256];
  for (DWORD i = 0;; ++i) {
    DWORD length = 256;
    const LONG rc = ::RegEnumKeyExW(root, i, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc != ERROR_SUCCESS || name[0] != L'{') continue;
    HKEY categories = nullptr;
    if (::RegOpenKeyExW(root, (std::wstring(name) + L"\\Implemented Categories").c_str(), 0, KEY_READ,
                        &categories) != ERROR_SUCCESS) {
      continue;
    }
    std::pair<CLSID, std::vector<GUID>> entry;
    if (SUCCEEDED(::CLSIDFromString(name, &entry.first))) {
      wchar_t category[256];
      for (DWORD j = 0;; ++j) {
        DWORD size = 256;
        if (::RegEnumKeyExW(categories, j, category, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        GUID catid;
        if (SUCCEEDED(::CLSIDFromString(category, &catid))) entry.second.push_back(catid);
      }
      index.push_back(std::move(entry));
    }
    ::RegCloseKey(categories);
  }
  ::RegCloseKey(root);
  return index;
}

bool Lists(const std::vector<GUID>& registered, const GUID& category) {
  for (const GUID& g : registered) {
    if (IsEqualGUID(g, category)) return true;
  }
  return false;
}

// Classes that implement any of the implemented categories and all of the required ones.
std::vector<CLSID> ClassesOf(const CategoryIndex& index, ULONG implementedCount, const GUID* implemented,
                             ULONG requiredCount, const GUID* required) {
  std::vector<CLSID> classes;
  for (const auto& [clsid, registered] : index) {
    bool any = false, all = true;
    for (ULONG i = 0; i < implementedCount; ++i) any = any || Lists(registered, implemented[i]);
    for (ULONG i = 0; i < requiredCount; ++i) all = all && Lists(registered, required[i]);
    if (any && all) classes.push_back(clsid);
  }
  return classes;
}

// The default value of HKCR\key, or empty text.
std::wstring RegistryText(const std::wstring& key) {
  wchar_t value[512];
  LONG size = sizeof value;
  if (::RegQueryValueW(HKEY_CLASSES_ROOT, key.c_str(), value, &size) != ERROR_SUCCESS) return L"";
  return value;
}

std::wstring GuidText(const GUID& guid) {
  wchar_t text[40];
  ::StringFromGUID2(guid, text, 40);
  return text;
}

class ServerList final : public IOPCServerList2, public IOPCServerList, public Counted {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IOPCServerList2)) {
      *out = static_cast<IOPCServerList2*>(this);
    } else if (IsEqualIID(iid, IID_IOPCServerList)) {
      *out = static_cast<IOPCServerList*>(this);
    } else {
      return E_NOINTERFACE;
    }
    AddRefImpl();
    return S_OK;
  }
  KRELTA_SIM_REFCOUNT

  // IOPCServerList: the same answers with the standard GUID enumerator and without the
  // version-independent ProgID.
  HRESULT STDMETHODCALLTYPE EnumClassesOfCategories(ULONG implementedCount, GUID* implemented,
                                                    ULONG requiredCount, GUID* required,
                                                    IEnumGUID** out) override {
    return EnumClassesOfCategories(implementedCount, implemented, requiredCount, required,
                                   reinterpret_cast<IOPCEnumGUID**>(out));
  }
  HRESULT STDMETHODCALLTYPE GetClassDetails(REFCLSID clsid, LPOLESTR* progId, LPOLESTR* userType) override {
    if (progId == nullptr || userType == nullptr) return E_POINTER;
    LPOLESTR independent = nullptr;
    const HRESULT hr = GetClassDetails(clsid, progId, userType, &independent);
    ::CoTaskMemFree(independent);
    return hr;
  }

  HRESULT STDMETHODCALLTYPE EnumClassesOfCategories(ULONG implementedCount, GUID* implemented,
                                                    ULONG requiredCount, GUID* required,
                                                    IOPCEnumGUID** out) override {
    CallScope call("IOPCServerList2::EnumClassesOfCategories", CallScope::kControl);
    call.Args("cImplemented=%lu first=%08lX", implementedCount,
              implementedCount > 0 && implemented ? implemented[0].Data1 : 0ul);
    return Guarded(call, [&]() -> HRESULT {
      if (out == nullptr) return E_POINTER;
      *out = nullptr;
      Runtime& rt = Runtime::Get();
      rt.Count(SIM_COUNTER_SERVERLIST_ENUMS);
      const LONG failing = rt.Fault(SIM_FAULT_SERVERLIST_FAIL_CATEGORY);
      for (ULONG i = 0; i < implementedCount; ++i) {
        if (failing != 0 && implemented[i].Data1 == static_cast<DWORD>(failing)) return E_FAIL;
      }
      if (implementedCount > 0 && implemented == nullptr) return E_INVALIDARG;
      if (requiredCount > 0 && required == nullptr) return E_INVALIDARG;
      if (!indexed_) {
        index_ = ScanRegistry();
        indexed_ = true;
      }
      std::vector<CLSID> classes = ClassesOf(index_, implementedCount, implemented, requiredCount, required);
      for (ULONG i = 0; i < implementedCount; ++i) {
        if (rt.Fault(SIM_FAULT_SERVERLIST_TEST_CLASSES) != 0) {
          for (const TestClass& c : kTestClasses) {
            if (IsEqualGUID(*c.category, implemented[i])) classes.push_back(c.clsid);
          }
        }
        if (IsEqualGUID(implemented[i], kCatDA20)) {
          const LONG extra = rt.Fault(SIM_FAULT_SERVERLIST_EXTRA_CLASSES);
          for (LONG n = 0; n < extra; ++n) classes.push_back(GeneratedClass(static_cast<DWORD>(n)));
        }
      }
      *out = new ClassEnumerator(std::move(classes));
      return S_OK;
    });
  }

  HRESULT STDMETHODCALLTYPE GetClassDetails(REFCLSID clsid, LPOLESTR* progId, LPOLESTR* userType,
                                            LPOLESTR* versionIndependentProgId) override {
    CallScope call("IOPCServerList2::GetClassDetails", CallScope::kControl);
    return Guarded(call, [&]() -> HRESULT {
      if (progId == nullptr || userType == nullptr || versionIndependentProgId == nullptr) return E_POINTER;
      *progId = *userType = *versionIndependentProgId = nullptr;
      HRESULT hr;
      if (FaultStops(SIM_FAULT_SERVERLIST_DETAILS_RESULT, &hr)) return hr;
      std::wstring id, type, independent;
      DWORD index = 0;
      if (IsGenerated(clsid, index)) {
        id = L"OpcDAKrelta.Generated" + std::to_wstring(index) + L".1";
        type = L"Generated test class " + std::to_wstring(index);
      } else if (const TestClass* test = FindTestClass(clsid)) {
        if (test->progId == nullptr) return REGDB_E_CLASSNOTREG;
        id = test->progId;
        type = test->userType;
      } else {
        const std::wstring key = L"CLSID\\" + GuidText(clsid);
        id = RegistryText(key + L"\\ProgID");
        type = RegistryText(key);
        independent = RegistryText(key + L"\\VersionIndependentProgID");
        if (id.empty() && type.empty()) return REGDB_E_CLASSNOTREG;
      }
      *progId = CoTaskCopy(id);
      *userType = CoTaskCopy(type);
      if (!independent.empty()) *versionIndependentProgId = CoTaskCopy(independent);
      return S_OK;
    });
  }

  HRESULT STDMETHODCALLTYPE CLSIDFromProgID(LPCOLESTR progId, LPCLSID clsid) override {
    CallScope call("IOPCServerList2::CLSIDFromProgID", CallScope::kControl);
    if (progId == nullptr || clsid == nullptr) return call.Done(E_POINTER);
    return call.Done(::CLSIDFromProgID(progId, clsid));
  }

 private:
  CategoryIndex index_;
  bool indexed_ = false;

  static const TestClass* FindTestClass(const CLSID& clsid) {
    for (const TestClass& c : kTestClasses) {
      if (IsEqualGUID(c.clsid, clsid)) return &c;
    }
    return nullptr;
  }
};

}  // namespace

HRESULT CreateServerListObject(REFIID iid, void** out) {
  auto* list = new ServerList();
  const HRESULT hr = list->QueryInterface(iid, out);
  list->Release();
  return hr;
}

}  // namespace krelta::sim
