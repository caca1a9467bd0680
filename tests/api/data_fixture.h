// The data operations' test fixture: the library loaded as a host loads it, a configuration
// per test, the simulator shared by the suite, and helpers that speak in tag paths and value
// texts.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <functional>

#include "config/connection_settings.h"
#include "host/library.h"
#include "log/log_file.h"
#include "support/log_entries.h"
#include "support/simulator_session.h"

namespace krelta::testing {

using host::Library;

using Texts = std::vector<std::string>;

constexpr std::uint32_t kTime2024 = 1709294400;  // 2024-03-01 12:00:00 UTC

// One item of every value class the read converts, and the ways a read can go wrong.
inline constexpr const wchar_t kValueSpace[] =
    L"branch V\n"
    L"item I1 I1 -5\n"
    L"item UI4 UI4 4294967295\n"
    L"item I8 I8 4294967296\n"
    L"item Flag BOOL true\n"
    L"item Cost CY 12.5\n"
    L"item Dec DECIMAL 1.25\n"
    L"item Nan R8 nan\n"
    L"item Inf R4 -inf\n"
    L"item Text BSTR \"Pump 1\"\n"
    L"item Date DATE 2024-01-01T06:00:00\n"
    L"item Empty EMPTY -\n"
    L"item Ref I4 42 byref\n"
    L"item Unknown R8 7 0x80\n"
    L"item Uncertain R8 8 uncertain\n"
    L"item Bad R8 8 bad\n"
    L"item Failing R8 9 readerror=0xC0040007\n"
    L"item Stamped R8 3 time=2024-03-01T12:00:00.250\n"
    L"item Mixed VARIANT[] 7;x\n"
    L"item Profile R4[] 1;2;3 lbound=5\n"
    L"item Short R4[] 1;2\n";

// The test build of the library (its exports plus test hooks) beside the shipped one.
inline std::string TestLibraryPath() {
  std::string path = host::Library::DefaultPath();
  return path.substr(0, path.size() - std::string("OpcDAKrelta.dll").size()) + "OpcDAKreltaTest.dll";
}
template <typename Function>
Function* TestHook(const char* name) {
  return reinterpret_cast<Function*>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleA("OpcDAKreltaTest.dll"), name)));
}

inline ArrayNodeConfig ArrayOf(const std::string& itemId, std::vector<std::string> names) {
  ArrayNodeConfig config;
  config.tag = itemId;
  config.size = static_cast<std::int32_t>(names.size());
  config.names = std::move(names);
  return config;
}

class DataOperations : public testing::SimulatorSuite {
 protected:
  explicit DataOperations(const std::string& libraryPath = Library::DefaultPath())
      : dll_(libraryPath) {}

  void SetUp() override {
    SimulatorSuite::SetUp();
    ASSERT_TRUE(dll_.Loaded());
    name_ = std::string("Data") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    ::DeleteFileA(LogPath().c_str());  // entries of earlier runs
  }
  std::string LogPath() const {
    return ApplicationDataFolder() + "\\OPCDA_" + name_ + "KreltaLog.log";
  }
  void TearDown() override {
    Close();
    SimulatorSuite::TearDown();
  }

  // Loads the space, writes this test's configuration (nodes by item ID, display path alike)
  // and opens the connection.
  void Open(const wchar_t* space, const std::vector<std::string>& branches,
            const std::function<void(ConnectionSettings&)>& adjust = {},
            const char* url = testing::kSimulatorDA3Url) {
    Load(space);
    {
      ConnectionSettings settings(name_);
      settings.SetUrl(url);
      std::vector<NodeEntry> nodes;
      for (const std::string& b : branches) nodes.push_back({b, b});
      settings.SetNodes(nodes);
      settings.SetLogLevel(kLogDebug);
      if (adjust) adjust(settings);
      ASSERT_TRUE(settings.WriteConfiguration());
    }
    ASSERT_EQ(dll_.krelta2_connectionOpen(name_.c_str(), &connection_), KRELTA2_OK);
    tags_ = host::CollectTags(dll_, connection_);
  }
  void Close() {
    if (connection_ != nullptr) dll_.krelta2_connectionClose(connection_);
    connection_ = nullptr;
  }

  // The tag at path in this test's connection, or in the given tags of another one.
  krelta2_tag Tag(const std::string& path, const std::vector<host::TagPath>* of = nullptr) {
    for (const host::TagPath& t : of != nullptr ? *of : tags_) {
      if (t.path == path) return t.tag;
    }
    ADD_FAILURE() << "no tag " << path;
    return nullptr;
  }
  std::vector<krelta2_tag> Tags(const std::vector<std::string>& paths) {
    std::vector<krelta2_tag> tags;
    for (const std::string& p : paths) tags.push_back(Tag(p));
    return tags;
  }

  // Values as host::SlotText prints them: %g numbers, quoted texts, null; none when the read failed.
  krelta2_status TryRead(const std::vector<std::string>& paths, std::vector<std::string>& values) {
    const std::vector<krelta2_tag> tags = Tags(paths);
    krelta2_vector vector = nullptr;
    const krelta2_status status = dll_.krelta2_connectionReadCurrentData(
        connection_, tags.data(), static_cast<uint32_t>(tags.size()), &vector);
    values.clear();
    for (uint32_t i = 0; vector != nullptr && i < tags.size(); ++i) values.push_back(host::SlotText(dll_, vector, i));
    dll_.krelta2_vectorFree(vector);
    return status;
  }
  std::vector<std::string> Read(const std::vector<std::string>& paths, krelta2_status expected = KRELTA2_OK) {
    std::vector<std::string> values;
    EXPECT_EQ(TryRead(paths, values), expected);
    return values;
  }

  // A value vector from texts: "null", a "quoted" text, or a number.
  krelta2_vector Values(const std::vector<std::string>& cells) {
    krelta2_vector vector = nullptr;
    dll_.krelta2_vectorCreate(static_cast<uint32_t>(cells.size()), &vector);
    for (uint32_t i = 0; i < cells.size(); ++i) {
      const std::string& c = cells[i];
      if (c == "null") continue;
      if (!c.empty() && c[0] == '"') {
        dll_.krelta2_vectorSetString(vector, i, c.substr(1, c.size() - 2).c_str());
      } else {
        dll_.krelta2_vectorSetFloat(vector, i, std::strtof(c.c_str(), nullptr));
      }
    }
    return vector;
  }
  // One row per element of rows, stamped start + step x row.
  krelta2_status Write(const std::vector<std::string>& paths,
                       const std::vector<std::vector<std::string>>& rows,
                       std::uint32_t start = kTime2024, std::int32_t step = 0) {
    const std::vector<krelta2_tag> tags = Tags(paths);
    std::vector<krelta2_vector> vectors;
    for (const auto& row : rows) vectors.push_back(Values(row));
    const krelta2_status status = dll_.krelta2_connectionWriteHistoricalDataEx(
        connection_, tags.data(), static_cast<uint32_t>(tags.size()), static_cast<int32_t>(start),
        step, static_cast<uint32_t>(vectors.size()), vectors.data());
    for (krelta2_vector v : vectors) dll_.krelta2_vectorFree(v);
    return status;
  }

  std::uint32_t UpdateTime(const std::string& path) {
    std::uint32_t time = 0;
    EXPECT_EQ(dll_.krelta2_tagGetUpdateTime(Tag(path), &time), KRELTA2_OK);
    return time;
  }
  std::vector<LogEntry> ConnectionLog() {
    return ReadLogEntries(LogPath());
  }
  std::size_t Count(const std::string& level, const std::string& message) {
    const std::vector<LogEntry> log = ConnectionLog();
    return static_cast<std::size_t>(std::count(log.begin(), log.end(), LogEntry{level, message}));
  }
  std::size_t CountStarting(const std::string& level, const std::string& prefix) {
    return CountStartingWith(ConnectionLog(), level, prefix);
  }
  static LONG Counter(DWORD counter) { return testing::Counter(Control(), counter); }

  Library dll_;
  std::string name_;
  krelta2_connection connection_ = nullptr;
  std::vector<host::TagPath> tags_;
};

}  // namespace krelta::testing
