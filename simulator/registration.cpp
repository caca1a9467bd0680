#include "simulator/registration.h"

#include <objbase.h>

#include "opc_da_constants.h"

namespace krelta::sim {

namespace {

constexpr wchar_t kCatDA20[] = L"{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}";
constexpr wchar_t kCatDA30[] = L"{CC603642-66D7-48F1-B69A-B625E73652D7}";

struct ClassInfo {
  const CLSID* clsid;
  const wchar_t* progId;
  const wchar_t* versionIndependent;
  const wchar_t* userType;
  bool da20, da30;
};
constexpr ClassInfo kClasses[] = {
    {&CLSID_KreltaSimulatorDA3, L"OpcDAKrelta.Simulator.1", L"OpcDAKrelta.Simulator",
     L"OpcDAKrelta Simulator (DA 3.00)", true, true},
    {&CLSID_KreltaSimulatorDA2, L"OpcDAKrelta.SimulatorDA2.1", L"OpcDAKrelta.SimulatorDA2",
     L"OpcDAKrelta Simulator (DA 2.05)", true, false},
    {&CLSID_KreltaSimulatorControl, L"OpcDAKrelta.SimulatorControl.1", L"OpcDAKrelta.SimulatorControl",
     L"OpcDAKrelta Simulator Control", false, false},
    // The published server-list component's class, served here for the build's prefix only.
    {&CLSID_OPCServerList, L"OPC.ServerList.1", L"OPC.ServerList", L"OPC Server List", false, false},
};

std::wstring GuidText(const GUID& guid) {
  wchar_t text[40];
  ::StringFromGUID2(guid, text, 40);
  return text;
}

// Sets a string value (name null = default value) of HKCR\key, creating the key.
HRESULT SetValue(const std::wstring& key, const wchar_t* name, const std::wstring& value) {
  HKEY handle = nullptr;
  LONG rc = ::RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &handle, nullptr);
  if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
  rc = ::RegSetValueExW(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  ::RegCloseKey(handle);
  return HRESULT_FROM_WIN32(rc);
}

HRESULT SetKey(const std::wstring& key) {
  HKEY handle = nullptr;
  const LONG rc = ::RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &handle, nullptr);
  if (rc == ERROR_SUCCESS) ::RegCloseKey(handle);
  return HRESULT_FROM_WIN32(rc);
}

void DeleteTree(const std::wstring& key) { ::RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str()); }

}  // namespace

HRESULT RegisterServer(const std::wstring& serverSwitches) {
  wchar_t path[MAX_PATH];
  const DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return E_FAIL;
  std::wstring command = path;
  if (command.find(L' ') != std::wstring::npos) command = L"\"" + command + L"\"";
  command += serverSwitches;

  for (const ClassInfo& c : kClasses) {
    const std::wstring clsid = GuidText(*c.clsid);
    const std::wstring key = L"CLSID\\" + clsid;
    HRESULT hr = S_OK;
    auto step = [&](HRESULT r) {
      if (SUCCEEDED(hr)) hr = r;
    };
    step(SetValue(key, nullptr, c.userType));
    step(SetValue(key + L"\\LocalServer32", nullptr, command));
    step(SetValue(key + L"\\ProgID", nullptr, c.progId));
    step(SetValue(key + L"\\VersionIndependentProgID", nullptr, c.versionIndependent));
    if (c.da20) step(SetKey(key + L"\\Implemented Categories\\" + kCatDA20));
    if (c.da30) step(SetKey(key + L"\\Implemented Categories\\" + kCatDA30));
    step(SetValue(c.progId, nullptr, c.userType));
    step(SetValue(std::wstring(c.progId) + L"\\CLSID", nullptr, clsid));
    step(SetValue(c.versionIndependent, nullptr, c.userType));
    step(SetValue(std::wstring(c.versionIndependent) + L"\\CLSID", nullptr, clsid));
    step(SetValue(std::wstring(c.versionIndependent) + L"\\CurVer", nullptr, c.progId));
    if (FAILED(hr)) return hr;
  }
  // The categories' own descriptions, for browsers that list categories by name.
  SetValue(std::wstring(L"Component Categories\\") + kCatDA20, L"409", L"OPC Data Access Servers Version 2.0");
  SetValue(std::wstring(L"Component Categories\\") + kCatDA30, L"409", L"OPC Data Access Servers Version 3.0");
  return S_OK;
}

HRESULT UnregisterServer() {
  for (const ClassInfo& c : kClasses) {
    DeleteTree(L"CLSID\\" + GuidText(*c.clsid));
    DeleteTree(c.progId);
    DeleteTree(c.versionIndependent);
  }
  return S_OK;
}

}  // namespace krelta::sim
