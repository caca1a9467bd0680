// The few operating-system services the portable core needs. Implemented by
// platform_win32.cpp in the Windows build and platform_posix.cpp natively; no Windows
// header is visible from here.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <optional>
#include <string>

namespace krelta::platform {

// The machine's common application-data folder (CSIDL_COMMON_APPDATA), or empty text when the
// shell cannot name it. Natively it is whatever SetCommonAppDataFolderForTesting set (empty
// by default); the library itself reads no environment variables.
std::string CommonAppDataFolder();
// Replaces the folder answered above (nullopt restores the platform's own answer).
void SetCommonAppDataFolderForTesting(std::optional<std::string> folder);

// Operating-system identifier of the calling thread.
std::uint32_t CurrentThreadId();

// Broken-down local time of a moment given in seconds since 1970-01-01 UTC.
bool ToLocalTime(std::int64_t seconds, std::tm& local);
// Seconds since 1970-01-01 of a broken-down time read as UTC.
std::int64_t FromUtcBrokenDown(const std::tm& utc);

// The ANSI code page: the host's 8-bit texts (connection strings, and every path built from
// them) are in it, as for Windows' own 8-bit functions. Natively 1252.
unsigned AnsiCodePage();
// Replaces the code page answered above (0 restores the system's).
void SetAnsiCodePageForTesting(unsigned codePage);

// Files and folders by 8-bit path. Paths use backslashes as in Windows; the native build
// reads a backslash as a folder separator. Windows decodes the path in the ANSI code page
// above for the wide-character functions.
bool PathExists(const std::string& path);
bool CreateSingleDirectory(const std::string& path);
std::optional<std::int64_t> FileSize(const std::string& path);
// Size of the file behind an open stream.
std::optional<std::int64_t> OpenFileSize(std::FILE* file);
bool RemoveFile(const std::string& path);
bool RenameFile(const std::string& from, const std::string& to);
// Opens with the C runtime's stream functions (text mode unless mode says "b").
std::FILE* OpenFile(const std::string& path, const char* mode);
// Replaces `to` with `from` in one step (both in one folder), for crash-safe saves.
bool ReplaceFile(const std::string& from, const std::string& to);
// Writes a stream's data through to the disk (the C runtime's buffer and the system's cache),
// so a file renamed afterwards cannot be found empty after a power cut. False on failure.
bool FlushFile(std::FILE* file);
// Replaces what FlushFile does (null restores it); returns the previous function.
using FlushFileFunction = bool (*)(std::FILE* file);
FlushFileFunction SetFlushFileForTesting(FlushFileFunction function);

// The name of the ANSI code page, as an XML declaration names an encoding ("windows-1252",
// "Shift_JIS"); natively "windows-1252".
std::string AnsiCodePageName();

// Full path of the module that holds this code (the DLL in the Windows build), at most 1023
// characters; empty text when it cannot be had.
std::string ModulePath();
// The system folder (System32), where the system's own programs are; empty text when it
// cannot be had (natively always).
std::string SystemFolder();
// Short (8.3) form of a path, or empty text when it cannot be had.
std::string ShortPath(const std::string& path);
// Starts a command line as a new process and waits for it to end. False if it did not start.
bool RunProcessAndWait(const std::string& commandLine);

}  // namespace krelta::platform
