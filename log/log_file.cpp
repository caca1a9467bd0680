#include "log/log_file.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "platform/platform.h"
#include "util/format.h"

namespace krelta {
namespace {

constexpr const char* kRotationRule = "-------------------------------------\n";
constexpr const char* kRotationNotice =
    "Log file size above the limit. Old log file copied to backup file (.bak). New log file "
    "started.\n";
constexpr std::size_t kTimestampCapacity = 64;

std::mutex& standaloneLock() {
  static std::mutex lock;
  return lock;
}

bool isSeparator(char c) { return c == '\\' || c == '/'; }

}  // namespace

namespace detail {

// The timestamp of a given moment; FormatLogTimestamp passes the current one.
void FormatLogTimestampAt(char* buffer, std::size_t capacity, std::int64_t seconds,
                          int milliseconds) {
  if (buffer == nullptr || capacity == 0) return;
  std::tm local = {};
  if (!platform::ToLocalTime(seconds, local)) {
    buffer[0] = '\0';
    return;
  }
  const std::int64_t offsetSeconds = platform::FromUtcBrokenDown(local) - seconds;
  const long long offsetMinutes = offsetSeconds / 60;
  const char sign = offsetMinutes >= 0 ? '+' : '-';
  const long long absMinutes = std::llabs(offsetMinutes);
  std::snprintf(buffer, capacity, "%d-%02d-%02d %02d:%02d:%02d.%03d%c%02d:%02d",
                local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                local.tm_min, local.tm_sec, milliseconds, sign,
                static_cast<int>(absMinutes / 60), static_cast<int>(absMinutes % 60));
}

}  // namespace detail

const char* LogLevelName(std::int32_t level) {
  switch (level) {
    case kLogCritical: return "Critical";
    case kLogError: return "Error";
    case kLogWarning: return "Warning";
    case kLogInformation: return "Information";
    case kLogDebug: return "Debug";
  }
  return "Critical";
}

void FormatLogTimestamp(char* buffer, std::size_t capacity) {
  using namespace std::chrono;
  const auto sinceEpoch = system_clock::now().time_since_epoch();
  const auto millis = duration_cast<milliseconds>(sinceEpoch).count();
  std::int64_t seconds = millis / 1000;
  int remainder = static_cast<int>(millis % 1000);
  if (remainder < 0) {
    remainder += 1000;
    seconds -= 1;
  }
  detail::FormatLogTimestampAt(buffer, capacity, seconds, remainder);
}

bool CreateDirectoryPath(const std::string& path) {
  std::string copy = path;
  if (copy.size() > 3 && isSeparator(copy.back())) copy.pop_back();
  if (platform::PathExists(copy) || path.size() <= 3) return true;

  // The parent: everything up to and including the last separator (drive and directory).
  std::string parent;
  const std::size_t lastSeparator = copy.find_last_of("\\/");
  if (lastSeparator != std::string::npos) {
    parent = copy.substr(0, lastSeparator + 1);
  } else if (copy.size() >= 2 && copy[1] == ':') {
    parent = copy.substr(0, 2);
  }
  if (parent == copy) return false;
  if (!CreateDirectoryPath(parent)) return false;
  return platform::CreateSingleDirectory(copy) || platform::PathExists(copy);
}

std::string ApplicationDataFolder() {
  const std::string base = platform::CommonAppDataFolder();
  if (base.empty()) return std::string();
  std::string folder = base + "\\Norvane\\Krelta";
  if (!platform::PathExists(folder)) CreateDirectoryPath(folder);
  return folder;
}

void AppendLogEntry(std::int64_t sizeLimit, const std::string& path, std::mutex& lock,
                    std::int32_t level, const char* message) {
  std::lock_guard<std::mutex> guard(lock);
  // The size is read from the opened stream: one file-system lookup less per entry.
  std::FILE* file = platform::OpenFile(path, "a");
  const std::int64_t size =
      (file != nullptr ? platform::OpenFileSize(file) : platform::FileSize(path)).value_or(0);
  bool rotated = false;
  if (size > sizeLimit) {
    if (file != nullptr) std::fclose(file);
    const std::string backup = path + ".bak";
    platform::RemoveFile(backup);
    // An empty file (one the open above may just have made) holds nothing to back up.
    if (size > 0) platform::RenameFile(path, backup);
    rotated = true;
    file = platform::OpenFile(path, "a");
  }
  if (file == nullptr) return;
  if (rotated) {
    std::fputs(kRotationRule, file);
    std::fputs(kRotationNotice, file);
    std::fputs(kRotationRule, file);
    std::fputs("\n", file);
  }
  char timestamp[kTimestampCapacity];
  FormatLogTimestamp(timestamp, sizeof(timestamp));
  std::fprintf(file, "[%s] [TID:%u] [%s]\n%s\n\n", timestamp,
               static_cast<unsigned>(platform::CurrentThreadId()), LogLevelName(level),
               message != nullptr ? message : "");
  std::fclose(file);
}

void WriteStandaloneLog(std::int32_t level, const std::string& message,
                        const std::string& prefix) {
  const std::string path = Format("%1%\\%2%KreltaLog.log", ApplicationDataFolder(), prefix);
  AppendLogEntry(kDefaultLogSizeLimit, path, standaloneLock(), level, message.c_str());
}

LogFile::LogFile(std::string name, std::int64_t sizeLimit, std::int32_t threshold)
    : name_(std::move(name)),
      path_(Format("%1%\\%2%KreltaLog.log", ApplicationDataFolder(), name_)),
      sizeLimit_(sizeLimit),
      threshold_(threshold) {}

void LogFile::Write(std::int32_t level, const char* message) {
  if (level > threshold_) return;
  AppendLogEntry(sizeLimit_, path_, lock_, level, message);
}

}  // namespace krelta
