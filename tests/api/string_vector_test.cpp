// The string and vector exports and the exception frames, linked directly (natively and
// under Wine). The same exports are checked through the loaded DLL in dll_test.cpp.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <stdexcept>
#include <vector>

#include "api/frame.h"
#include "api/handles.h"
#include "api/krelta2.h"
#include "api/update_configuration.h"
#include "support/log_entries.h"
#include "support/test_folder.h"

// Allocations fail on demand (ASan keeps its own operator new: the test is skipped there).
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KRELTA_NO_NEW_REPLACEMENT
#endif
#endif
namespace {
std::atomic<bool> gFailAllocations{false};
}  // namespace
#ifndef KRELTA_NO_NEW_REPLACEMENT
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"  // new and delete below are one pair
#endif
void* operator new(std::size_t size) {
  if (gFailAllocations) throw std::bad_alloc();
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#endif

namespace {

using krelta::testing::LogEntry;
using krelta::testing::ReadLogEntries;
using krelta::testing::TestAppDataFolder;

const krelta2_string kStringSentinel = reinterpret_cast<krelta2_string>(0x5e5e);
const krelta2_vector kVectorSentinel = reinterpret_cast<krelta2_vector>(0x5e5e);
const float kMinusOne = -1;

// The bytes of s, its length asked for first (no buffer needed for an empty string).
std::string Copy(krelta2_string s) {
  uint32_t length = 0;
  const krelta2_status asked = krelta2_stringCopy(s, nullptr, &length);
  EXPECT_EQ(length == 0 ? KRELTA2_OK : KRELTA2_BUFFER_TOO_SMALL, asked);
  std::string bytes(length, '\0');
  EXPECT_EQ(KRELTA2_OK, krelta2_stringCopy(s, bytes.data(), &length));
  return bytes;
}

TEST(Strings, CopyObeysCapacityAndWritesNoTerminator) {
  krelta2_string s = nullptr;
  ASSERT_EQ(KRELTA2_OK, krelta2_stringCreate("abc12", &s));
  char buffer[8];
  std::memset(buffer, '#', sizeof(buffer));
  uint32_t length = 4;
  EXPECT_EQ(KRELTA2_BUFFER_TOO_SMALL, krelta2_stringCopy(s, buffer, &length));
  EXPECT_EQ(5u, length);
  EXPECT_EQ('#', buffer[0]);
  length = 5;
  EXPECT_EQ(KRELTA2_OK, krelta2_stringCopy(s, buffer, &length));
  EXPECT_EQ(0, std::memcmp(buffer, "abc12#", 6));
  length = 100;
  EXPECT_EQ(KRELTA2_INVALID_ARGUMENT, krelta2_stringCopy(s, nullptr, &length));
  EXPECT_EQ(5u, length);  // already written
  EXPECT_EQ(KRELTA2_INVALID_ARGUMENT, krelta2_stringCopy(s, buffer, nullptr));
  EXPECT_EQ(KRELTA2_OK, krelta2_stringFree(s));
}

// A slot takes the kind of its last set; a get of another kind fails and leaves the output.
TEST(Vectors, SlotsChangeKindAndKeepTheirValues) {
  krelta2_vector v = nullptr;
  ASSERT_EQ(KRELTA2_OK, krelta2_vectorCreate(3, &v));
  const float smallestNormal = 1.1754944e-38f;  // survives bit for bit
  const struct {
    const char* what;
    std::function<void()> set;
    uint32_t kind;
    const char* text;  // what a text get returns; null: it fails
  } steps[] = {
      {"new slot", [] {}, KRELTA2_KIND_NULL, nullptr},
      {"empty text", [&] { krelta2_vectorSetString(v, 0, ""); }, KRELTA2_KIND_TEXT, ""},
      {"server text with a NUL", [&] { krelta::api::Unwrap(v)->SetText(0, std::string("ab\0cd", 5)); },
       KRELTA2_KIND_TEXT, "ab"},
      {"number", [&] { krelta2_vectorSetFloat(v, 0, smallestNormal); }, KRELTA2_KIND_NUMBER, nullptr},
      {"null", [&] { krelta2_vectorSetNull(v, 0); }, KRELTA2_KIND_NULL, nullptr},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.what);
    step.set();
    uint32_t kind = 7;
    ASSERT_EQ(KRELTA2_OK, krelta2_vectorGetType(v, 0, &kind));
    EXPECT_EQ(step.kind, kind);
    float f = -1;
    krelta2_string s = kStringSentinel;
    const bool number = step.kind == KRELTA2_KIND_NUMBER;
    EXPECT_EQ(number ? KRELTA2_OK : KRELTA2_FAILED, krelta2_vectorGetFloat(v, 0, &f));
    EXPECT_EQ(0, std::memcmp(number ? &smallestNormal : &kMinusOne, &f, sizeof f));
    EXPECT_EQ(step.text ? KRELTA2_OK : KRELTA2_FAILED, krelta2_vectorGetString(v, 0, &s));
    if (step.text) {
      EXPECT_EQ(step.text, Copy(s));
      krelta2_stringFree(s);
    } else {
      EXPECT_EQ(kStringSentinel, s);
    }
  }
  EXPECT_EQ(KRELTA2_OK, krelta2_vectorFree(v));
}

// Every bad-argument row returns 2, leaves the outputs as they were and writes no log.
TEST(Vectors, BadArgumentsReturnTwoAndTouchNothing) {
  TestAppDataFolder folder;
  krelta2_vector v = nullptr;
  ASSERT_EQ(KRELTA2_OK, krelta2_vectorCreate(2, &v));
  uint32_t u = 77;
  float f = 7.0f;
  krelta2_string s = kStringSentinel;
  krelta2_vector out = kVectorSentinel;
  const struct {
    const char* call;
    krelta2_status status;
  } rows[] = {
      {"vectorCreate length 0", krelta2_vectorCreate(0, &out)},
      {"vectorCreate null out", krelta2_vectorCreate(1, nullptr)},
      {"getLength null vector", krelta2_vectorGetLength(nullptr, &u)},
      {"getLength null out", krelta2_vectorGetLength(v, nullptr)},
      {"getType index = length", krelta2_vectorGetType(v, 2, &u)},
      {"getType huge index", krelta2_vectorGetType(v, 0xFFFFFFFFu, &u)},
      {"getType null out", krelta2_vectorGetType(v, 0, nullptr)},
      {"getType null vector", krelta2_vectorGetType(nullptr, 0, &u)},
      {"getFloat index = length", krelta2_vectorGetFloat(v, 2, &f)},
      {"getFloat null out", krelta2_vectorGetFloat(v, 0, nullptr)},
      {"getString index = length", krelta2_vectorGetString(v, 2, &s)},
      {"getString null out", krelta2_vectorGetString(v, 0, nullptr)},
      {"setFloat index = length", krelta2_vectorSetFloat(v, 2, 1.0f)},
      {"setFloat null vector", krelta2_vectorSetFloat(nullptr, 0, 1.0f)},
      {"setString null text", krelta2_vectorSetString(v, 0, nullptr)},
      {"setString index = length", krelta2_vectorSetString(v, 2, "x")},
      {"setNull index = length", krelta2_vectorSetNull(v, 2)},
      {"setNull null vector", krelta2_vectorSetNull(nullptr, 0)},
      {"stringCreate null text", krelta2_stringCreate(nullptr, &s)},
      {"stringCreate null out", krelta2_stringCreate("x", nullptr)},
      {"stringCopy null string", krelta2_stringCopy(nullptr, nullptr, &u)},
      {"getIdentity null out", krelta2_getIdentity(nullptr)},
      {"updateConfiguration null text", krelta2_updateConfiguration(nullptr, &s)},
      {"updateConfiguration null out", krelta2_updateConfiguration("x", nullptr)},
      {"updateConfiguration too long to run", krelta2_updateConfiguration(std::string(2000, 'y').c_str(), &s)},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.call);
    EXPECT_EQ(KRELTA2_INVALID_ARGUMENT, row.status);
  }
  EXPECT_EQ(77u, u);
  EXPECT_EQ(7.0f, f);
  EXPECT_EQ(kStringSentinel, s);
  EXPECT_EQ(kVectorSentinel, out);
  uint32_t kind = 9;
  krelta2_vectorGetType(v, 0, &kind);
  EXPECT_EQ(0u, kind);  // the failed set calls changed nothing
  EXPECT_EQ(KRELTA2_OK, krelta2_vectorFree(v));
  EXPECT_EQ(KRELTA2_OK, krelta2_vectorFree(nullptr));
  EXPECT_EQ(KRELTA2_OK, krelta2_stringFree(nullptr));
  EXPECT_EQ(KRELTA2_OK, krelta2_initialize());
  EXPECT_EQ(KRELTA2_OK, krelta2_initialize());
  EXPECT_EQ(KRELTA2_OK, krelta2_uninitialize());
  EXPECT_FALSE(krelta::platform::PathExists(folder.DataFolder()));
}

// Out of memory inside a frameless export: status 1, the slot and the outputs as they were.
TEST(Exports, AnAllocationFailureReturnsOneInsteadOfCrossingTheBoundary) {
#ifdef KRELTA_NO_NEW_REPLACEMENT
  GTEST_SKIP() << "operator new belongs to the sanitizer";
#endif
  krelta2_vector v = nullptr;
  ASSERT_EQ(KRELTA2_OK, krelta2_vectorCreate(1, &v));
  ASSERT_EQ(KRELTA2_OK, krelta2_vectorSetString(v, 0, "kept"));
  krelta2_string s = kStringSentinel;
  krelta2_vector out = kVectorSentinel;
  gFailAllocations = true;
  const krelta2_status statuses[] = {
      krelta2_vectorSetFloat(v, 0, 1.0f), krelta2_vectorSetString(v, 0, "a longer text than fits"),
      krelta2_vectorGetString(v, 0, &s),  krelta2_stringCreate("x", &s),
      krelta2_getIdentity(&s),            krelta2_vectorCreate(4, &out)};
  gFailAllocations = false;
  for (krelta2_status status : statuses) EXPECT_EQ(KRELTA2_FAILED, status);
  EXPECT_EQ(kStringSentinel, s);
  EXPECT_EQ(kVectorSentinel, out);
  ASSERT_EQ(KRELTA2_OK, krelta2_vectorGetString(v, 0, &s));
  EXPECT_EQ("kept", Copy(s));
  krelta2_stringFree(s);
  krelta2_vectorFree(v);
}

// The logged frame writes one Error entry per failure, naming the export; the silent one none.
TEST(Frames, EachKindOfFailureWritesOneErrorEntryOrNoneWhenSilent) {
  TestAppDataFolder folder;
  using krelta::api::GuardLogged;
  EXPECT_EQ(KRELTA2_FAILED, krelta::api::GuardSilent([] { throw std::runtime_error("x"); }));
  EXPECT_EQ(KRELTA2_OK, krelta::api::GuardSilent([] {}));
  EXPECT_FALSE(krelta::platform::PathExists(folder.File("OPCDAKreltaLog.log")));
  EXPECT_EQ(KRELTA2_OK, GuardLogged("krelta2_example", [] {}));
  EXPECT_EQ(KRELTA2_FAILED, GuardLogged("krelta2_connectionOpen",
                                        [] { throw krelta::Exception("Could not load server."); }));
  EXPECT_EQ(KRELTA2_FAILED, GuardLogged("krelta2_connectionReadCurrentData",
                                        [] { throw std::out_of_range("vector index"); }));
  EXPECT_EQ(KRELTA2_FAILED, GuardLogged("krelta2_nodeGetBatchTimes", [] { throw 42; }));
  EXPECT_EQ(ReadLogEntries(folder.File("OPCDAKreltaLog.log")),
            (std::vector<LogEntry>{{"Error", "krelta2_connectionOpen: Operation failed (Could not load server.)."},
                                   {"Error", "krelta2_connectionReadCurrentData: Operation failed (vector index)."},
                                   {"Error", "krelta2_nodeGetBatchTimes: Operation failed with unknown error."}}));
}

// rundll32.exe goes by the system folder's full path (never a search that finds a planted copy)
// and the library's path is quoted (without 8.3 names it is the long one, with blanks).
TEST(ConfigurationCommand, FullPathsQuotedAndWithinTheCommandLineBuffer) {
  using krelta::api::LaunchResult;
  TestAppDataFolder folder;
  static std::vector<std::string> started;
  krelta::api::LauncherServices services{
      [] { return std::string("C:\\Windows\\system32"); },
      [] { return std::string("C:\\Program Files\\Plant Tools\\OpcDAKrelta.dll"); },
      [](const std::string&) { return std::string(); },
      [](const std::string& command) {
        started.push_back(command);
        return true;
      }};
  const std::string program = "\"C:\\Windows\\system32\\rundll32.exe\" ";
  EXPECT_EQ(LaunchResult::kRan, krelta::api::RunConfigurationProgram("Plant A", services));
  services.shortPath = [](const std::string&) { return std::string("C:\\PROGRA~1\\OPCDAK~1.DLL"); };
  EXPECT_EQ(LaunchResult::kRan, krelta::api::RunConfigurationProgram("PlantA", services));
  EXPECT_EQ(started, (std::vector<std::string>{
                         program + "\"C:\\Program Files\\Plant Tools\\OpcDAKrelta.dll\",UpdateOPCConfiguration Plant A",
                         program + "\"C:\\PROGRA~1\\OPCDAK~1.DLL\",UpdateOPCConfiguration PlantA"}));
  // 1023 characters in all fit; nothing starts without either path or beyond the buffer.
  const std::string fixed = program + "\"C:\\PROGRA~1\\OPCDAK~1.DLL\",UpdateOPCConfiguration ";
  EXPECT_EQ(LaunchResult::kRan, krelta::api::RunConfigurationProgram(std::string(1023 - fixed.size(), 'x'), services));
  EXPECT_EQ(LaunchResult::kRefused, krelta::api::RunConfigurationProgram(std::string(1024 - fixed.size(), 'x'), services));
  services.systemFolder = [] { return std::string(); };
  EXPECT_EQ(LaunchResult::kRefused, krelta::api::RunConfigurationProgram("PlantA", services));
  services.systemFolder = [] { return std::string("C:\\W"); };
  services.modulePath = [] { return std::string(); };
  EXPECT_EQ(LaunchResult::kRefused, krelta::api::RunConfigurationProgram("PlantA", services));
  EXPECT_EQ(3u, started.size());
  EXPECT_FALSE(krelta::platform::PathExists(folder.File("OPCDAKreltaLog.log")));
  // A program that cannot be started is a failure the host hears of, with an Error entry.
  services.modulePath = [] { return std::string("C:\\Program Files\\OpcDAKrelta.dll"); };
  services.runAndWait = [](const std::string&) { return false; };
  EXPECT_EQ(LaunchResult::kNotStarted, krelta::api::RunConfigurationProgram("PlantA", services));
  EXPECT_EQ(ReadLogEntries(folder.File("OPCDAKreltaLog.log")),
            (std::vector<LogEntry>{{"Error", "krelta2_updateConfiguration: Operation failed (the configuration "
                                             "program could not be started: \"C:\\W\\rundll32.exe\" "
                                             "\"C:\\PROGRA~1\\OPCDAK~1.DLL\",UpdateOPCConfiguration PlantA)."}}));
}

}  // namespace
