#include "simulator/registration.h"

#include <objbase.h>

#include "opc_da_constants.h"

namespace krelta::sim {

namespace {

struct ClassInfo {
  const CLSID* clsid;
  const wchar_t* progId;
  const wchar_t* versionIndependent;
  const wchar_t* userType;
  bool da20, da30;
  bool sharedClass;  // another program may serve it: never taken over
};
constexpr ClassInfo kClasses[] = {
    {&CLSID_KreltaSimulatorDA3, L"OpcDAKrelta.Simulator.1", L"OpcDAKrelta.Simulator",
     L"OpcDAKrelta Simulator (DA 3.00)", true, true, false},
    {&CLSID_KreltaSimulatorDA2, L"OpcDAKrelta.SimulatorDA2.1", L"OpcDAKrelta.SimulatorDA2",
     L"OpcDAKrelta Simulator (DA 2.05)", true, false, false},
    {&CLSID_KreltaSimulatorControl, L"OpcDAKrelta.SimulatorControl.1", L"OpcDAKrelta.SimulatorControl",
     L"OpcDAKrelta Simulator Control", false, false, false},
    // The published server-list component's class: served here only where no other program
    // serves it (a bare Wine prefix); on a machine with OPC installed its own component answers.
    {&CLSID_OPCServerList, L"OPC.ServerList.1", L"OPC.ServerList", L"OPC Server List", false, false, true},
};

struct CategoryInfo {
  const wchar_t* guid;
  const wchar_t* description;
};
constexpr CategoryInfo kCategories[] = {
    {L"{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}", L"OPC Data Access Servers Version 2.0"},
    {L"{CC603642-66D7-48F1-B69A-B625E73652D7}", L"OPC Data Access Servers Version 3.0"},
};
// Marks a category key this program created, so removal deletes only those.
constexpr wchar_t kCreatedByValue[] = L"CreatedBy";
constexpr wchar_t kCreatedByThis[] = L"krelta-simulator";

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

bool KeyExists(const std::wstring& key) {
  HKEY handle = nullptr;
  if (::RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) return false;
  ::RegCloseKey(handle);
  return true;
}

// A string value of HKCR\key (name null = default value); empty when absent.
std::wstring ReadValue(const std::wstring& key, const wchar_t* name) {
  wchar_t text[2 * MAX_PATH] = {};
  DWORD size = sizeof text - sizeof(wchar_t);
  if (::RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), name, RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND,
                     nullptr, text, &size) != ERROR_SUCCESS) {
    return {};
  }
  return text;
}

// A string value of a key in the registry's 32-bit view of the classes, where a 32-bit
// installer (the x86 OPC Core Components) registers them; empty when absent.
std::wstring ReadValueIn32BitView(const std::wstring& key, const wchar_t* name) {
  HKEY handle = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, (L"Software\\Classes\\" + key).c_str(), 0, KEY_READ | KEY_WOW64_32KEY,
                      &handle) != ERROR_SUCCESS) {
    return {};
  }
  wchar_t text[2 * MAX_PATH] = {};
  DWORD size = sizeof text - sizeof(wchar_t);
  const LSTATUS rc = ::RegGetValueW(handle, nullptr, name, RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND,
                                    nullptr, text, &size);
  ::RegCloseKey(handle);
  return rc == ERROR_SUCCESS ? text : std::wstring();
}

LSTATUS DeleteTree(const std::wstring& key) { return ::RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str()); }

bool OwnPath(std::wstring& path) {
  wchar_t text[MAX_PATH];
  const DWORD n = ::GetModuleFileNameW(nullptr, text, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return false;
  path = text;
  return true;
}

// Whether the class's local server is this EXE (and not another program or another copy).
bool ServedByThisProgram(const std::wstring& clsidKey, const std::wstring& ownPath) {
  const std::wstring program = ProgramOfCommand(ReadValue(clsidKey + L"\\LocalServer32", nullptr));
  return !program.empty() && _wcsicmp(program.c_str(), ownPath.c_str()) == 0;
}

// The program serving a class in this program's view, empty when none: its local server, else
// its in-process server.
std::wstring ServerOf(const std::wstring& clsidKey) {
  std::wstring server = ReadValue(clsidKey + L"\\LocalServer32", nullptr);
  if (server.empty()) server = ReadValue(clsidKey + L"\\InprocServer32", nullptr);
  return server;
}

// The same in the 32-bit view. ProgID keys are one for both views on Windows: a class there
// owns the ProgIDs that name it as much as one in our view.
std::wstring ServerIn32BitViewOf(const std::wstring& clsidKey) {
  std::wstring server = ReadValueIn32BitView(clsidKey + L"\\LocalServer32", nullptr);
  if (server.empty()) server = ReadValueIn32BitView(clsidKey + L"\\InprocServer32", nullptr);
  return server;
}

}  // namespace

std::wstring ProgramOfCommand(const std::wstring& command) {
  std::size_t begin = command.find_first_not_of(L" \t");
  if (begin == std::wstring::npos) return {};
  if (command[begin] == L'"') {
    const std::size_t end = command.find(L'"', begin + 1);
    return command.substr(begin + 1, end == std::wstring::npos ? std::wstring::npos : end - begin - 1);
  }
  const std::size_t end = command.find_first_of(L" \t", begin);
  return command.substr(begin, end == std::wstring::npos ? std::wstring::npos : end - begin);
}

HRESULT RegisterServer(const std::wstring& serverSwitches, RegistrationReport& report) {
  std::wstring path;
  if (!OwnPath(path)) return E_FAIL;
  std::wstring command = path;
  if (command.find(L' ') != std::wstring::npos) command = L"\"" + command + L"\"";
  command += serverSwitches;

  for (const ClassInfo& c : kClasses) {
    const std::wstring clsid = GuidText(*c.clsid);
    const std::wstring key = L"CLSID\\" + clsid;
    if (c.sharedClass) {
      std::wstring other = ServerOf(key);
      if (other.empty() || ServedByThisProgram(key, path)) other = ServerIn32BitViewOf(key);
      if (!other.empty() && !ServedByThisProgram(key, path)) {
        report.push_back(std::wstring(c.progId) + L" is served by " + other + L": left alone");
        continue;
      }
    }
    HRESULT hr = S_OK;
    auto step = [&](HRESULT r) {
      if (SUCCEEDED(hr)) hr = r;
    };
    step(SetValue(key, nullptr, c.userType));
    step(SetValue(key + L"\\LocalServer32", nullptr, command));
    step(SetValue(key + L"\\ProgID", nullptr, c.progId));
    step(SetValue(key + L"\\VersionIndependentProgID", nullptr, c.versionIndependent));
    if (c.da20) step(SetKey(key + L"\\Implemented Categories\\" + kCategories[0].guid));
    if (c.da30) step(SetKey(key + L"\\Implemented Categories\\" + kCategories[1].guid));
    step(SetValue(c.progId, nullptr, c.userType));
    step(SetValue(std::wstring(c.progId) + L"\\CLSID", nullptr, clsid));
    step(SetValue(c.versionIndependent, nullptr, c.userType));
    step(SetValue(std::wstring(c.versionIndependent) + L"\\CLSID", nullptr, clsid));
    step(SetValue(std::wstring(c.versionIndependent) + L"\\CurVer", nullptr, c.progId));
    if (FAILED(hr)) return hr;
    report.push_back(L"registered " + std::wstring(c.progId) + L" " + clsid);
  }
  // The categories' own descriptions, for browsers that list categories by name; where OPC is
  // installed they exist already and stay as they are.
  for (const CategoryInfo& category : kCategories) {
    const std::wstring key = std::wstring(L"Component Categories\\") + category.guid;
    if (KeyExists(key)) continue;
    SetValue(key, L"409", category.description);
    SetValue(key, kCreatedByValue, kCreatedByThis);
  }
  return S_OK;
}

HRESULT UnregisterServer(RegistrationReport& report) {
  std::wstring path;
  if (!OwnPath(path)) return E_FAIL;
  HRESULT result = S_OK;
  for (const ClassInfo& c : kClasses) {
    const std::wstring clsid = GuidText(*c.clsid);
    if (!ServedByThisProgram(L"CLSID\\" + clsid, path)) continue;
    const LSTATUS rc = DeleteTree(L"CLSID\\" + clsid);
    if (rc != ERROR_SUCCESS) {
      report.push_back(L"could not remove " + std::wstring(c.progId) + L" " + clsid + L" (error " +
                       std::to_wstring(rc) + L")");
      if (SUCCEEDED(result)) result = HRESULT_FROM_WIN32(rc);
      continue;
    }
    // A ProgID that names the class stays while the 32-bit view's class of the same CLSID uses it.
    const bool usedByOtherView = !ServerIn32BitViewOf(L"CLSID\\" + clsid).empty();
    for (const wchar_t* progId : {c.progId, c.versionIndependent}) {
      if (!usedByOtherView &&
          _wcsicmp(ReadValue(std::wstring(progId) + L"\\CLSID", nullptr).c_str(), clsid.c_str()) == 0) {
        DeleteTree(progId);
      }
    }
    report.push_back(L"removed " + std::wstring(c.progId) + L" " + clsid);
  }
  for (const CategoryInfo& category : kCategories) {
    const std::wstring key = std::wstring(L"Component Categories\\") + category.guid;
    if (ReadValue(key, kCreatedByValue) == kCreatedByThis) DeleteTree(key);
  }
  if (report.empty()) report.push_back(L"no class is registered to " + path + L": nothing removed");
  return result;
}

}  // namespace krelta::sim
