// Reads a log file back as (level name, message) pairs.
#pragma once

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "support/test_folder.h"

namespace krelta::testing {

struct LogEntry {
  std::string level;
  std::string message;
  bool operator==(const LogEntry& o) const { return level == o.level && message == o.message; }
};

inline std::ostream& operator<<(std::ostream& out, const LogEntry& e) {
  return out << "[" << e.level << "] " << e.message;
}

// Entries look like "[time] [TID:n] [Level]<eol><message><eol><eol>"; messages here have no
// line ends of their own.
inline std::vector<LogEntry> ReadLogEntries(const std::string& path) {
  std::string normalized = ReadFileBytes(path);
  std::size_t kept = 0;  // line ends as "\n"
  for (std::size_t i = 0; i < normalized.size(); ++i) {
    if (normalized[i] != '\r' || i + 1 == normalized.size() || normalized[i + 1] != '\n') normalized[kept++] = normalized[i];
  }
  normalized.resize(kept);
  std::vector<LogEntry> entries;
  std::size_t at = 0;
  while ((at = normalized.find("] [TID:", at)) != std::string::npos) {
    const std::size_t levelStart = normalized.find("] [", at + 1);
    const std::size_t levelEnd = normalized.find("]\n", levelStart);
    if (levelStart == std::string::npos || levelEnd == std::string::npos) break;
    const std::size_t messageEnd = normalized.find("\n\n", levelEnd + 2);
    entries.push_back({normalized.substr(levelStart + 3, levelEnd - levelStart - 3),
                       normalized.substr(levelEnd + 2, messageEnd - levelEnd - 2)});
    at = messageEnd == std::string::npos ? normalized.size() : messageEnd;
  }
  return entries;
}

// Entries of this level (of any when level is empty) whose message starts with prefix: for
// messages whose tail (a system text, a time) is not what the test is about.
inline std::size_t CountStartingWith(const std::vector<LogEntry>& entries, const std::string& level,
                                     const std::string& prefix) {
  std::size_t n = 0;
  for (const LogEntry& e : entries) n += (level.empty() || e.level == level) && e.message.rfind(prefix, 0) == 0;
  return n;
}

inline bool HasEntry(const std::vector<LogEntry>& entries, const std::string& level,
                     const std::string& message) {
  return std::find(entries.begin(), entries.end(), LogEntry{level, message}) != entries.end();
}

}  // namespace krelta::testing
