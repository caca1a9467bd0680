#include "log/log_file.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <regex>
#include <set>
#include <thread>
#include <vector>

#include "support/log_entries.h"
#ifdef _WIN32
#include <windows.h>
#endif

namespace krelta {
namespace {

using testing::kLineEnd;
using testing::ReadFileBytes;
using testing::TestAppDataFolder;
using testing::WriteFileBytes;

// "YYYY-MM-DD hh:mm:ss.mmm+hh:mm"
const std::string kTimestamp = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d)";

// The text with every well-formed "[timestamp] [TID:n] " replaced by "[T] ", so whole files can
// be compared; a malformed header stays as it is and fails the comparison.
std::string Normalize(const std::string& text) {
  return std::regex_replace(text, std::regex("\\[" + kTimestamp + R"(\] \[TID:\d+\] )"), "[T] ");
}

std::string Entry(const std::string& level, const std::string& message) {
  return "[T] [" + level + "]" + kLineEnd + message + kLineEnd + kLineEnd;
}

std::string RotationBlock() {
  const std::string rule = "-------------------------------------" + std::string(kLineEnd);
  return rule +
         "Log file size above the limit. Old log file copied to backup file (.bak). New log file started." +
         kLineEnd + rule + kLineEnd;
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
  EXPECT_EQ(Normalize(ReadFileBytes(log.Path())), Entry("Debug", "debug passes at threshold 4") +
                                                      Entry("Critical", "out of range level") +
                                                      Entry("Warning", "warning passes"));
}

// Each row writes "entry 1".."entry n" with a size limit and threshold, after an existing file (or
// none), and gives the files it leaves: o is the old content, b the rotation block, a digit entry n.
TEST(LogFile, RotationTable) {
  const struct {
    const char* what;
    std::int64_t limit;
    std::int32_t threshold;
    const char* existing;
    int writes;
    const char* current;
    const char* backup;
  } rows[] = {
      {"exactly at the limit is not above it", 10, 4, "0123456789", 1, "o1", nullptr},
      {"above the limit rotates before the entry", 10, 4, "0123456789", 2, "b2", "o1"},
      {"limit 0: a missing file is not above it", 0, 4, nullptr, 1, "1", nullptr},
      {"limit 0: then one entry per file", 0, 4, nullptr, 3, "b3", "b2"},
      {"limit -1 rotates even without a file", -1, 4, nullptr, 1, "b1", nullptr},
      {"a negative threshold writes and rotates nothing", -1, -1, "old", 1, "o", nullptr},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    TestAppDataFolder folder;
    LogFile log("OPCDA_Rotate", row.limit, row.threshold);
    if (row.existing != nullptr) {
      ASSERT_TRUE(WriteFileBytes(log.Path(), row.existing));
    }
    for (int i = 1; i <= row.writes; ++i) log.Write(kLogError, "entry " + std::to_string(i));
    const auto expand = [&](const char* layout) {
      std::string text;
      for (const char* c = layout; *c != '\0'; ++c) {
        text += *c == 'o' ? std::string(row.existing) : *c == 'b' ? RotationBlock() : Entry("Error", std::string("entry ") + *c);
      }
      return text;
    };
    EXPECT_EQ(Normalize(ReadFileBytes(log.Path())), expand(row.current));
    EXPECT_EQ(platform::PathExists(log.Path() + ".bak"), row.backup != nullptr);
    if (row.backup != nullptr) {
      EXPECT_EQ(Normalize(ReadFileBytes(log.Path() + ".bak")), expand(row.backup));
    }
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
  EXPECT_EQ(Normalize(ReadFileBytes(log.Path())),
            "old entries" + RotationBlock() + Entry("Error", "first") + RotationBlock() + Entry("Error", "second"));
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

#ifdef _WIN32
// A connection string is in the ANSI code page, like every path built from it: two that differ
// in one letter are two files, and a two-byte code page's characters keep their own names.
TEST(LogFile, ConnectionStringsAreDecodedInTheAnsiCodePage) {
  const struct {
    unsigned codePage;
    std::string name;
    std::wstring wide;
  } cases[] = {{1252, "Anlage_M\xfcll", L"Anlage_M\u00fcll"}, {1252, "Anlage_M\xe4ll", L"Anlage_M\u00e4ll"},
               {936, "\xd6\xd0\xce\xc4", L"\u4e2d\u6587"}, {932, "\x93\xfa\x96\x7b", L"\u65e5\u672c"}};
  TestAppDataFolder folder;
  const std::string base = folder.DataFolder() + "\\OPCDA_";
  for (const auto& c : cases) {
    platform::SetAnsiCodePageForTesting(c.codePage);
    LogFile("OPCDA_" + c.name).Write(kLogError, c.name);
    const std::wstring wide = std::wstring(base.begin(), base.end()) + c.wide + L"KreltaLog.log";
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(wide.c_str())) << c.codePage;
    EXPECT_EQ(Entry("Error", c.name), Normalize(ReadFileBytes(base + c.name + "KreltaLog.log")));
  }
  platform::SetAnsiCodePageForTesting(0);
}
#endif

// The shared error log takes every level, and entries of concurrent threads never interleave.
TEST(WriteStandaloneLog, EveryLevelAndConcurrentEntriesWhole) {
  TestAppDataFolder folder;
  WriteStandaloneLog(kLogDebug, "debug is never dropped here");
  constexpr int kThreads = 8;
  constexpr int kEntries = 1000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kEntries; ++i) WriteStandaloneLog(kLogError, std::string(40, static_cast<char>('a' + t)) + " " + std::to_string(i));
    });
  }
  for (auto& thread : threads) thread.join();

  const auto entries = testing::ReadLogEntries(folder.File("OPCDAKreltaLog.log"));
  ASSERT_EQ(entries.size(), kThreads * kEntries + 1u);
  EXPECT_EQ(entries[0], (testing::LogEntry{"Debug", "debug is never dropped here"}));
  std::set<std::string> seen;
  for (std::size_t i = 1; i < entries.size(); ++i) {
    EXPECT_EQ(entries[i].level, "Error");
    ASSERT_EQ(entries[i].message.find_first_not_of(entries[i].message[0]), 40u) << entries[i].message;
    seen.insert(entries[i].message);
  }
  EXPECT_EQ(static_cast<std::size_t>(kThreads * kEntries), seen.size());
}

#ifndef _WIN32
// Offsets need a time zone; natively TZ selects it for the whole process.
TEST(FormatLogTimestamp, LocalTimeAndOffset) {
  const char* old = std::getenv("TZ");
  const std::string saved = old ? old : "";
  const struct {
    const char* zone;
    const char* expected;
  } rows[] = {{"UTC0", "2018-08-21 08:34:08.045+00:00"},
              {"EST5", "2018-08-21 03:34:08.045-05:00"},
              {"IST-5:30", "2018-08-21 14:04:08.045+05:30"},
              {"XYZ-2", "2018-08-21 10:34:08.045+02:00"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.zone);
    setenv("TZ", row.zone, 1);
    tzset();
    char buffer[64];
    detail::FormatLogTimestampAt(buffer, sizeof(buffer), 1534840448, 45);  // 2018-08-21 08:34:08 UTC
    EXPECT_STREQ(row.expected, buffer);
  }
  if (old) setenv("TZ", saved.c_str(), 1); else unsetenv("TZ");
  tzset();
}
#endif

TEST(FormatLogTimestamp, RespectsTheCapacity) {
  char buffer[11];
  std::memset(buffer, 'x', sizeof(buffer));
  FormatLogTimestamp(buffer, sizeof(buffer));
  EXPECT_EQ(10u, std::strlen(buffer));
  EXPECT_TRUE(std::regex_match(std::string(buffer) + " 00:00:00.000+00:00", std::regex(kTimestamp))) << buffer;
}

}  // namespace
}  // namespace krelta
