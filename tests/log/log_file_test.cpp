#include "log/log_file.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <regex>
#include <set>
#include <thread>
#include <vector>

#include "support/test_folder.h"

namespace krelta {
namespace {

using testing::kLineEnd;
using testing::ReadFileBytes;
using testing::TestAppDataFolder;
using testing::WriteFileBytes;

std::string Lines(std::initializer_list<const char*> lines) {
  std::string text;
  for (const char* line : lines) {
    text += line;
    text += kLineEnd;
  }
  return text;
}

std::string RotationBlock() {
  return Lines({"-------------------------------------",
                "Log file size above the limit. Old log file copied to backup file (.bak). New log "
                "file started.",
                "-------------------------------------", ""});
}

// One entry's layout: "[timestamp] [TID:n] [Level]", the message, an empty line.
std::regex EntryPattern(const std::string& level, const std::string& message) {
  const std::string eol = kLineEnd;
  return std::regex("\\[\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}[+-]\\d\\d:\\d\\d\\] "
                    "\\[TID:\\d+\\] \\[" + level + "\\]" + eol + message + eol + eol);
}

size_t CountOf(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

TEST(LogFile, EntryLayoutAndLevelFilter) {
  TestAppDataFolder folder;
  LogFile log("OPCDA_Filter");
  log.Write(kLogDebug, "debug passes at threshold 4");
  log.Write(9, "dropped above threshold 4");
  log.SetThreshold(100);
  log.Write(9, "out of range level");
  log.SetThreshold(kLogWarning);
  log.Write(kLogInformation, "dropped");
  log.Write(kLogWarning, "warning passes");
  const std::string text = ReadFileBytes(log.Path());
  const std::string expected[] = {"Debug", "debug passes at threshold 4", "Critical",
                                  "out of range level", "Warning", "warning passes"};
  std::smatch match;
  std::string rest = text;
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(expected[2 * i + 1]);
    ASSERT_TRUE(std::regex_search(rest, match, EntryPattern(expected[2 * i], expected[2 * i + 1])));
    EXPECT_EQ(0, match.position());
    rest = match.suffix();
  }
  EXPECT_EQ("", rest);
  EXPECT_EQ(std::string::npos, text.find("dropped"));
}

TEST(LogFile, NegativeThresholdSilencesEverythingAndTouchesNothing) {
  TestAppDataFolder folder;
  LogFile log("OPCDA_Silent", 0, -1);
  ASSERT_TRUE(WriteFileBytes(log.Path(), "old content"));
  log.Write(kLogCritical, "critical");
  EXPECT_EQ("old content", ReadFileBytes(log.Path()));
  EXPECT_FALSE(platform::PathExists(log.Path() + ".bak"));  // no size check, no rotation
}

TEST(LogFile, RotatesOnlyWhenStrictlyAboveTheLimit) {
  TestAppDataFolder folder;
  LogFile log("OPCDA_Rotate", 10);
  ASSERT_TRUE(WriteFileBytes(log.Path(), "0123456789"));  // exactly the limit
  log.Write(kLogError, "first");
  EXPECT_FALSE(platform::PathExists(log.Path() + ".bak"));
  const std::string grown = ReadFileBytes(log.Path());
  EXPECT_EQ(0u, grown.find("0123456789["));

  log.Write(kLogError, "second");
  EXPECT_EQ(grown, ReadFileBytes(log.Path() + ".bak"));
  const std::string fresh = ReadFileBytes(log.Path());
  ASSERT_EQ(0u, fresh.find(RotationBlock()));
  EXPECT_TRUE(std::regex_match(fresh.substr(RotationBlock().size()), EntryPattern("Error", "second")));
}

// Limit 0: a missing file (size 0) is not above it, every later entry starts a new file.
// Limit -1: even the first entry, without a file, starts with the rotation block.
TEST(LogFile, ZeroLimitGivesOneEntryPerFileANegativeOneRotatesWithoutAFile) {
  TestAppDataFolder folder;
  for (const int limit : {0, -1}) {
    SCOPED_TRACE(limit);
    LogFile log("OPCDA_Limit" + std::to_string(limit), limit);
    log.Write(kLogError, "one");
    EXPECT_EQ(limit < 0, ReadFileBytes(log.Path()).find(RotationBlock()) == 0);
    log.Write(kLogError, "two");
    log.Write(kLogError, "three");
    const std::string current = ReadFileBytes(log.Path());
    ASSERT_EQ(0u, current.find(RotationBlock()));
    EXPECT_TRUE(std::regex_match(current.substr(RotationBlock().size()), EntryPattern("Error", "three")));
    const std::string backup = ReadFileBytes(log.Path() + ".bak");
    EXPECT_TRUE(std::regex_match(backup.substr(RotationBlock().size()), EntryPattern("Error", "two")));
  }
}

// A backup that can be neither deleted nor replaced (a folder holding a file): the block and
// the entry go to the old file, and every later entry tries the rotation again.
TEST(LogFile, AFailedRenameAppendsToTheOldFileAndRetries) {
  TestAppDataFolder folder;
  LogFile log("OPCDA_Stuck", 5);
  ASSERT_TRUE(WriteFileBytes(log.Path(), "old entries"));
  ASSERT_TRUE(platform::CreateSingleDirectory(log.Path() + ".bak"));
  ASSERT_TRUE(WriteFileBytes(log.Path() + ".bak\\keep", "x"));
  log.Write(kLogError, "first");
  log.Write(kLogError, "second");
  const std::string text = ReadFileBytes(log.Path());
  EXPECT_EQ(0u, text.find("old entries" + RotationBlock()));
  EXPECT_EQ(2u, CountOf(text, RotationBlock()));
  EXPECT_EQ(1u, CountOf(text, "second"));
  EXPECT_EQ("x", ReadFileBytes(log.Path() + ".bak\\keep"));
}

TEST(LogFile, AnUncreatableFolderLosesEntriesSilently) {
  TestAppDataFolder folder;
  const std::string blocker = folder.Base() + "\\blocker";
  ASSERT_TRUE(WriteFileBytes(blocker, "a file, not a folder"));
  platform::SetCommonAppDataFolderForTesting(blocker);
  EXPECT_FALSE(CreateDirectoryPath(blocker + "\\Norvane\\Krelta"));
  LogFile log("OPCDA_Lost");
  log.Write(kLogError, "lost");
  WriteStandaloneLog(kLogError, "lost too");
  EXPECT_EQ("a file, not a folder", ReadFileBytes(blocker));
}

TEST(WriteStandaloneLog, GoesToTheSharedErrorLogWhateverTheLevel) {
  TestAppDataFolder folder;
  WriteStandaloneLog(kLogDebug, "debug is never dropped here");
  const std::string text = ReadFileBytes(folder.File("OPCDAKreltaLog.log"));
  EXPECT_TRUE(std::regex_match(text, EntryPattern("Debug", "debug is never dropped here")));
}

TEST(WriteStandaloneLog, ConcurrentEntriesNeverInterleave) {
  TestAppDataFolder folder;
  constexpr int kThreads = 8;
  constexpr int kEntries = 1000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      const std::string payload(40, static_cast<char>('a' + t));
      for (int i = 0; i < kEntries; ++i) {
        WriteStandaloneLog(kLogError, payload + " " + std::to_string(i));
      }
    });
  }
  for (auto& thread : threads) thread.join();

  const std::string text = ReadFileBytes(folder.File("OPCDAKreltaLog.log"));
  const std::regex entry(EntryPattern("Error", "([a-h])\\1{39} (\\d+)"));
  std::set<std::string> seen;
  size_t consumed = 0;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), entry); it != std::sregex_iterator();
       ++it) {
    ASSERT_EQ(consumed, static_cast<size_t>(it->position())) << "garbage between entries";
    consumed += it->length();
    seen.insert((*it)[1].str() + (*it)[2].str());
  }
  EXPECT_EQ(text.size(), consumed);
  EXPECT_EQ(static_cast<size_t>(kThreads * kEntries), seen.size());
}

#ifndef _WIN32
// Offsets need a time zone; natively TZ selects it for the whole process.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) {
    const char* old = std::getenv("TZ");
    if (old) old_ = old;
    had_ = old != nullptr;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ScopedTimeZone() {
    if (had_) setenv("TZ", old_.c_str(), 1); else unsetenv("TZ");
    tzset();
  }

 private:
  std::string old_;
  bool had_ = false;
};

TEST(FormatLogTimestamp, LocalTimeAndOffset) {
  const std::int64_t moment = 1534840448;  // 2018-08-21 08:34:08 UTC
  const struct {
    const char* zone;
    const char* expected;
  } rows[] = {{"UTC0", "2018-08-21 08:34:08.045+00:00"},
              {"EST5", "2018-08-21 03:34:08.045-05:00"},
              {"IST-5:30", "2018-08-21 14:04:08.045+05:30"},
              {"XYZ-2", "2018-08-21 10:34:08.045+02:00"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.zone);
    ScopedTimeZone zone(row.zone);
    char buffer[64];
    detail::FormatLogTimestampAt(buffer, sizeof(buffer), moment, 45);
    EXPECT_STREQ(row.expected, buffer);
  }
}
#endif

TEST(FormatLogTimestamp, RespectsTheCapacity) {
  char buffer[11];
  std::memset(buffer, 'x', sizeof(buffer));
  FormatLogTimestamp(buffer, sizeof(buffer));
  EXPECT_EQ(10u, std::strlen(buffer));
  EXPECT_TRUE(std::regex_match(buffer, std::regex("\\d{4}-\\d\\d-\\d\\d")));
}

}  // namespace
}  // namespace krelta
