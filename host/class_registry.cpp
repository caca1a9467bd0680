#include "host/class_registry.h"

#include <objbase.h>

#include <cstdio>
#include <vector>

#include "platform/com/wide_text.h"

namespace krelta::host {
namespace {

std::wstring GuidText(const GUID& guid) {
  wchar_t text[40] = {};
  ::StringFromGUID2(guid, text, 40);
  return text;
}

REGSAM ViewFlag(RegistryView view) { return view == RegistryView::k64 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY; }

// The default value of HKCR\<subkey> in one view (the machine's registrations and this user's),
// expanded; nothing when it is missing.
std::optional<std::wstring> ClassesValue(const std::wstring& subkey, RegistryView view) {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_CLASSES_ROOT, subkey.c_str(), 0, KEY_QUERY_VALUE | ViewFlag(view), &key) !=
      ERROR_SUCCESS) {
    return std::nullopt;
  }
  wchar_t value[1024] = {};
  DWORD size = sizeof value - sizeof(wchar_t);
  const LSTATUS status = ::RegGetValueW(key, nullptr, nullptr, RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND,
                                        nullptr, value, &size);
  ::RegCloseKey(key);
  if (status != ERROR_SUCCESS) return std::nullopt;
  wchar_t expanded[1024] = {};
  const DWORD length = ::ExpandEnvironmentStringsW(value, expanded, 1024);
  return std::wstring(length > 0 && length <= 1024 ? expanded : value);
}

// The program file of a LocalServer32 command: quoted, or up to ".exe".
std::wstring ProgramFile(const std::wstring& command) {
  if (!command.empty() && command[0] == L'"') return command.substr(1, command.find(L'"', 1) - 1);
  std::wstring lower = command;
  for (wchar_t& c : lower) c = static_cast<wchar_t>(::towlower(c));
  const std::size_t exe = lower.find(L".exe");
  return exe == std::wstring::npos ? command : command.substr(0, exe + 4);
}

// "a 32-bit program" or "a 64-bit program" from the file's PE header; "" when it is not one.
std::string ProgramKind(const std::wstring& file) {
  std::FILE* f = ::_wfopen(file.c_str(), L"rb");
  if (f == nullptr) return std::string();
  IMAGE_DOS_HEADER dos = {};
  DWORD signature = 0;
  IMAGE_FILE_HEADER header = {};
  const bool read = std::fread(&dos, sizeof dos, 1, f) == 1 && dos.e_magic == IMAGE_DOS_SIGNATURE &&
                    std::fseek(f, dos.e_lfanew, SEEK_SET) == 0 && std::fread(&signature, sizeof signature, 1, f) == 1 &&
                    signature == IMAGE_NT_SIGNATURE && std::fread(&header, sizeof header, 1, f) == 1;
  std::fclose(f);
  if (!read) return std::string();
  if (header.Machine == IMAGE_FILE_MACHINE_I386) return "a 32-bit program";
  if (header.Machine == IMAGE_FILE_MACHINE_AMD64 || header.Machine == IMAGE_FILE_MACHINE_ARM64) return "a 64-bit program";
  return std::string();
}

// A registered file as this 64-bit program finds it: a 32-bit registration's system folder is
// SysWOW64 (the system redirects 32-bit programs there), and a bare file name is in the system
// folder of its view.
std::wstring FileAsSeenHere(const std::wstring& file, RegistryView view) {
  wchar_t system[MAX_PATH] = {}, own[MAX_PATH] = {};
  ::GetSystemDirectoryW(own, MAX_PATH);
  if (view == RegistryView::k64 || ::GetSystemWow64DirectoryW(system, MAX_PATH) == 0) ::wcscpy(system, own);
  if (file.find(L'\\') == std::wstring::npos) return std::wstring(system) + L"\\" + file;
  const std::size_t ownLength = ::wcslen(own);
  if (file.size() > ownLength && file[ownLength] == L'\\' &&
      ::CompareStringOrdinal(file.c_str(), static_cast<int>(ownLength), own, -1, TRUE) == CSTR_EQUAL) {
    return system + file.substr(ownLength);
  }
  return file;
}

}  // namespace

const char* ViewName(RegistryView view) {
  return view == RegistryView::k64 ? "64-bit view" : "32-bit view (WOW6432Node)";
}

std::optional<ClassRegistration> FindClassRegistration(const GUID& clsid) {
  const std::wstring key = L"CLSID\\" + GuidText(clsid);
  for (RegistryView view : {RegistryView::k64, RegistryView::k32}) {
    for (const wchar_t* kind : {L"\\LocalServer32", L"\\InprocServer32"}) {
      if (const std::optional<std::wstring> server = ClassesValue(key + kind, view)) {
        return ClassRegistration{view, com::WideToAnsi(*server),
                                 ProgramKind(FileAsSeenHere(ProgramFile(*server), view))};
      }
    }
  }
  return std::nullopt;
}

std::string ProxyStubProblem(const GUID& iid, RegistryView view) {
  const std::optional<std::wstring> proxy = ClassesValue(L"Interface\\" + GuidText(iid) + L"\\ProxyStubClsid32", view);
  if (!proxy) return "no ProxyStubClsid32";
  const std::optional<std::wstring> file = ClassesValue(L"CLSID\\" + *proxy + L"\\InprocServer32", view);
  if (!file) return "its proxy/stub class " + com::WideToAnsi(*proxy) + " has no InprocServer32";
  if (::GetFileAttributesW(FileAsSeenHere(*file, view).c_str()) == INVALID_FILE_ATTRIBUTES) {
    return "its file " + com::WideToAnsi(*file) + " is gone";
  }
  return std::string();
}

}  // namespace krelta::host
