// Leveled text logs in the application-data folder: the connection log (LogFile) and the
// standalone error log (WriteStandaloneLog).
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

namespace krelta {

// Levels: a smaller number is more severe.
enum LogLevel : std::int32_t {
  kLogCritical = 0,
  kLogError = 1,
  kLogWarning = 2,
  kLogInformation = 3,
  kLogDebug = 4,
};

constexpr std::int64_t kDefaultLogSizeLimit = 10485760;  // 10 MiB
constexpr std::int32_t kDefaultLogThreshold = kLogDebug;
constexpr const char* kStandaloneLogPrefix = "OPCDA";

// "Critical", "Error", "Warning", "Information", "Debug"; any other level prints as "Critical".
const char* LogLevelName(std::int32_t level);

// Writes "YYYY-MM-DD hh:mm:ss.mmm+hh:mm" (local time and offset) into buffer, at most
// capacity bytes including the terminating NUL.
void FormatLogTimestamp(char* buffer, std::size_t capacity);

namespace detail {
// The timestamp of a given moment (seconds since 1970 UTC plus milliseconds).
void FormatLogTimestampAt(char* buffer, std::size_t capacity, std::int64_t seconds,
                          int milliseconds);
}  // namespace detail

// <common application-data folder>\Norvane\Krelta, created if missing; empty text when the
// shell cannot name the base folder. Not cached.
std::string ApplicationDataFolder();

// Creates a folder and its missing parents; true when the folder exists afterwards.
bool CreateDirectoryPath(const std::string& path);

// The common core of both logs: rotation, then one entry, all under `lock`.
void AppendLogEntry(std::int64_t sizeLimit, const std::string& path, std::mutex& lock,
                    std::int32_t level, const char* message);

// One entry in "<folder>\<prefix>KreltaLog.log", whatever its level.
void WriteStandaloneLog(std::int32_t level, const std::string& message,
                        const std::string& prefix = kStandaloneLogPrefix);

class LogFile {
 public:
  LogFile(std::string name, std::int64_t sizeLimit = kDefaultLogSizeLimit,
          std::int32_t threshold = kDefaultLogThreshold);
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  // Drops entries whose level is greater than the threshold; callers may test Enabled()
  // first to avoid composing a message that would be dropped.
  void Write(std::int32_t level, const char* message);
  void Write(std::int32_t level, const std::string& message) { Write(level, message.c_str()); }
  bool Enabled(std::int32_t level) const { return level <= threshold_; }

  void SetSizeLimit(std::int64_t sizeLimit) { sizeLimit_ = sizeLimit; }
  void SetThreshold(std::int32_t threshold) { threshold_ = threshold; }
  std::int64_t SizeLimit() const { return sizeLimit_; }
  std::int32_t Threshold() const { return threshold_; }
  const std::string& Name() const { return name_; }
  const std::string& Path() const { return path_; }

 private:
  std::string name_;
  std::string path_;
  std::int64_t sizeLimit_;
  std::int32_t threshold_;
  std::mutex lock_;
};

}  // namespace krelta
