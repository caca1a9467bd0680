// Windows platform layer.
#include "platform/platform.h"
#include "platform/com/wide_text.h"

#include <windows.h>
#include <shlobj.h>
#include <io.h>
// windows.h maps ReplaceFile to ReplaceFileW; ours is the platform layer's own function.
#undef ReplaceFile

#include <string>
#include <vector>

namespace krelta::platform {
namespace {

// 8-bit paths are in the ANSI code page, as the host's connection strings are: decoded as
// UTF-8, "Anlage_M\xfcll" and "Anlage_M\xe4ll" lost their one difference and shared a file.
std::wstring widePath(const std::string& path) { return com::AnsiToWide(path); }

}  // namespace

std::string SystemCommonAppDataFolder() {
  char buffer[MAX_PATH] = {};
  if (FAILED(::SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, buffer))) {
    return std::string();
  }
  return buffer;
}

bool SystemFlushFile(std::FILE* file) {
  if (std::fflush(file) != 0) return false;
  const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(file)));
  return handle != INVALID_HANDLE_VALUE && ::FlushFileBuffers(handle) != 0;
}

unsigned SystemAnsiCodePage() { return ::GetACP(); }

std::string AnsiCodePageName() {
  const UINT codePage = AnsiCodePage();
  switch (codePage) {
    case 932: return "Shift_JIS";
    case 936: return "GBK";
    case 949: return "KS_C_5601-1987";
    case 950: return "Big5";
    default: return "windows-" + std::to_string(codePage);  // windows-1252, windows-874, ...
  }
}

std::uint32_t CurrentThreadId() { return ::GetCurrentThreadId(); }

bool ToLocalTime(std::int64_t seconds, std::tm& local) {
  __time64_t t = seconds;
  return ::_localtime64_s(&local, &t) == 0;
}

std::int64_t FromUtcBrokenDown(const std::tm& utc) {
  std::tm copy = utc;
  return static_cast<std::int64_t>(::_mkgmtime64(&copy));
}

bool PathExists(const std::string& path) {
  return ::GetFileAttributesW(widePath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool CreateSingleDirectory(const std::string& path) {
  return ::CreateDirectoryW(widePath(path).c_str(), nullptr) != 0;
}

std::optional<std::int64_t> FileSize(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExW(widePath(path).c_str(), GetFileExInfoStandard, &data)) {
    return std::nullopt;
  }
  return (static_cast<std::int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::optional<std::int64_t> OpenFileSize(std::FILE* file) {
  const __int64 length = ::_filelengthi64(::_fileno(file));
  if (length < 0) return std::nullopt;
  return static_cast<std::int64_t>(length);
}

bool RemoveFile(const std::string& path) { return ::DeleteFileW(widePath(path).c_str()) != 0; }

bool RenameFile(const std::string& from, const std::string& to) {
  return ::MoveFileW(widePath(from).c_str(), widePath(to).c_str()) != 0;
}

std::FILE* OpenFile(const std::string& path, const char* mode) {
  std::wstring wideMode(mode, mode + std::char_traits<char>::length(mode));
  return ::_wfopen(widePath(path).c_str(), wideMode.c_str());
}

bool ReplaceFile(const std::string& from, const std::string& to) {
  return ::MoveFileExW(widePath(from).c_str(), widePath(to).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

std::string ModulePath() {
  HMODULE module = nullptr;
  if (!::GetModuleHandleExA(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCSTR>(&ModulePath), &module)) {
    return std::string();
  }
  // At most 1023 characters and the terminator; a longer path fills the buffer (truncated).
  char buffer[1024] = {};
  const DWORD length = ::GetModuleFileNameA(module, buffer, sizeof(buffer));
  if (length == 0 || length >= sizeof(buffer)) return std::string();
  return std::string(buffer, length);
}

std::string SystemFolder() {
  char buffer[MAX_PATH] = {};
  const UINT length = ::GetSystemDirectoryA(buffer, sizeof(buffer));
  if (length == 0 || length >= sizeof(buffer)) return std::string();
  return std::string(buffer, length);
}

std::string ShortPath(const std::string& path) {
  char buffer[1024] = {};
  DWORD length = ::GetShortPathNameA(path.c_str(), buffer, sizeof(buffer));
  if (length == 0 || length >= sizeof(buffer)) return std::string();
  return std::string(buffer, length);
}

bool RunProcessAndWait(const std::string& commandLine) {
  std::vector<char> mutableLine(commandLine.begin(), commandLine.end());
  mutableLine.push_back('\0');
  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!::CreateProcessA(nullptr, mutableLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
    return false;
  }
  ::WaitForSingleObject(process.hProcess, INFINITE);
  ::CloseHandle(process.hProcess);
  ::CloseHandle(process.hThread);
  return true;
}

}  // namespace krelta::platform
