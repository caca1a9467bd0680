// Native (POSIX) platform layer: used by the portable core's native builds and tests.
// Windows-style paths are accepted: a backslash separates folders.
#include "platform/platform.h"

#include <dlfcn.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

extern char** environ;

namespace krelta::platform {
namespace {

std::string nativePath(const std::string& path) {
  std::string p = path;
  std::replace(p.begin(), p.end(), '\\', '/');
  return p;
}

}  // namespace

std::string SystemCommonAppDataFolder() { return std::string(); }

bool SystemFlushFile(std::FILE* file) { return std::fflush(file) == 0 && ::fsync(::fileno(file)) == 0; }

unsigned SystemAnsiCodePage() { return 1252; }

std::string AnsiCodePageName() { return "windows-1252"; }

std::uint32_t CurrentThreadId() {
  // A thread's id never changes: ask the kernel once per thread.
  thread_local const std::uint32_t id = static_cast<std::uint32_t>(::syscall(SYS_gettid));
  return id;
}

bool ToLocalTime(std::int64_t seconds, std::tm& local) {
  std::time_t t = static_cast<std::time_t>(seconds);
  return ::localtime_r(&t, &local) != nullptr;
}

std::int64_t FromUtcBrokenDown(const std::tm& utc) {
  std::tm copy = utc;
  return static_cast<std::int64_t>(::timegm(&copy));
}

bool PathExists(const std::string& path) {
  struct stat st;
  return ::stat(nativePath(path).c_str(), &st) == 0;
}

bool CreateSingleDirectory(const std::string& path) {
  return ::mkdir(nativePath(path).c_str(), 0777) == 0;
}

std::optional<std::int64_t> FileSize(const std::string& path) {
  struct stat st;
  if (::stat(nativePath(path).c_str(), &st) != 0) return std::nullopt;
  return static_cast<std::int64_t>(st.st_size);
}

std::optional<std::int64_t> OpenFileSize(std::FILE* file) {
  struct stat st;
  if (::fstat(::fileno(file), &st) != 0) return std::nullopt;
  return static_cast<std::int64_t>(st.st_size);
}

bool RemoveFile(const std::string& path) { return ::unlink(nativePath(path).c_str()) == 0; }

bool RenameFile(const std::string& from, const std::string& to) {
  // Windows refuses to rename onto an existing file; keep that behaviour natively.
  if (PathExists(to)) return false;
  return ::rename(nativePath(from).c_str(), nativePath(to).c_str()) == 0;
}

std::FILE* OpenFile(const std::string& path, const char* mode) {
  return std::fopen(nativePath(path).c_str(), mode);
}

bool ReplaceFile(const std::string& from, const std::string& to) {
  return ::rename(nativePath(from).c_str(), nativePath(to).c_str()) == 0;
}

std::string ModulePath() {
  Dl_info info;
  if (::dladdr(reinterpret_cast<void*>(&ModulePath), &info) == 0 || info.dli_fname == nullptr) {
    return std::string();
  }
  return info.dli_fname;
}

std::string SystemFolder() { return std::string(); }

std::string ShortPath(const std::string& path) { return path; }

bool RunProcessAndWait(const std::string& commandLine) {
  const char* argv[] = {"/bin/sh", "-c", commandLine.c_str(), nullptr};
  pid_t pid = 0;
  if (::posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char* const*>(argv), environ) != 0) {
    return false;
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
  }
  return true;
}

}  // namespace krelta::platform
