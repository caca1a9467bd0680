// The data operations end to end: the DLL loaded as a host loads it, its exports called against
// the simulator out of process. Reads of every value class, request shapes, writes with their
// fallbacks, failures of the server, and argument checks.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "opcda/format_result.h"
#include "data_fixture.h"

namespace krelta {
namespace {

using testing::ArrayOf;
using testing::DataOperations;
using testing::HasEntry;
using testing::kTime2024;
using testing::LogEntry;
using testing::Texts;
using testing::kValueSpace;

TEST_F(DataOperations, ReadsEveryValueClassWithItsTrace) {
  Open(kValueSpace, {"V"}, [](ConnectionSettings& s) {
    s.SetArrayNodes({ArrayOf("V.Profile", {"a", "b", "c"}), ArrayOf("V.Short", {"s1", "s2", "s3"})});
  });
  EXPECT_EQ(Read({"V/I1", "V/UI4", "V/I8", "V/Flag", "V/Cost", "V/Dec", "V/Nan", "V/Inf", "V/Text", "V/Date",
                  "V/Empty", "V/Ref", "V/Unknown", "V/Uncertain", "V/Failing", "V/Stamped", "V/Mixed", "V/Bad"}),
            (Texts{"-5", "4.2949673e+09", "4.2949673e+09", "1", "12.5", "1.25", "null", "-inf", "\"Pump 1\"", "null",
                   "null", "42", "7", "null", "null", "3", "7", "null"}));
  EXPECT_EQ(Read({"V/Profile/c", "V/Profile/a", "V/Short/s1", "V/Short/s3"}), (Texts{"3", "1", "null", "null"}));
  EXPECT_EQ(UpdateTime("V/Stamped"), kTime2024);
  EXPECT_EQ(UpdateTime("V/Uncertain"), 0u);

  // A read value's trace: its level by the quality, the quality's name, the value.
  const std::vector<LogEntry> log = ConnectionLog();
  const auto traced = [&log](const char* level, const std::string& tag, const std::string& part) {
    return std::any_of(log.begin(), log.end(), [&](const LogEntry& e) {
      return e.level == level && e.message.rfind("Data value for tag " + tag + ",", 0) == 0 &&
             e.message.find(part) != std::string::npos;
    });
  };
  EXPECT_TRUE(traced("Debug", "Unknown", "quality: \"UNKNOWN\", value: { vt: 5, value: \"7\" }"));
  EXPECT_TRUE(traced("Error", "Uncertain", "quality: \"UNCERTAIN\""));
  EXPECT_TRUE(traced("Error", "Bad", "quality: \"BAD\""));
  EXPECT_TRUE(HasEntry(log, "Debug", "Data value for tag Stamped, result: " + FormatResult(S_OK) +
                                         "\ntime: \"2024-03-01 12:00:00.250 UTC\", quality: "
                                         "\"GOOD\", value: { vt: 5, value: \"3\" }"));
  EXPECT_EQ(CountStarting("Warning", "IOPCSyncIO::Read returned not a number for tag: Nan,"), 1u);
  EXPECT_EQ(CountStarting("Error", "Array data does not match the set size. Returning missing values. 2 "
                                   "elements read from tag V.Short, expected 3"),
            1u);
}

TEST_F(DataOperations, RequestShapesRegistrationAndUpdateTimes) {
  Open(L"branch A\nitem X R8 1\nitem Y R8 2\nbranch B\nitem Z R8 3\n", {"A", "B"});
  const LONG reads = Counter(SIM_COUNTER_READ_CALLS), added = Counter(SIM_COUNTER_ITEMS_ADDED);
  // The same tag twice, tags of two nodes: one server read per node, request order kept.
  EXPECT_EQ(Read({"A/X", "B/Z", "A/X", "A/Y"}), (Texts{"1", "3", "1", "2"}));
  EXPECT_EQ(Counter(SIM_COUNTER_READ_CALLS) - reads, 2);
  EXPECT_EQ(Counter(SIM_COUNTER_ITEMS_ADDED) - added, 3);

  // A value stamped earlier than the last one read never moves the update time back.
  const std::uint32_t tomorrow = static_cast<std::uint32_t>(std::time(nullptr)) + 86400;
  ASSERT_EQ(Write({"A/X"}, {{"5"}}, tomorrow + 100), KRELTA2_OK);
  Read({"A/X"});
  ASSERT_EQ(Write({"A/X"}, {{"6"}}, tomorrow), KRELTA2_OK);
  EXPECT_EQ(Read({"A/X"}), Texts{"6"});
  EXPECT_EQ(UpdateTime("A/X"), tomorrow + 100);
}

TEST_F(DataOperations, BatchIdTagIsPaddedOnceWithItsLastText) {
  Open(L"branch P\nitem BatchName EMPTY -\n", {"P"}, [](ConnectionSettings& s) { s.SetBatchId("Batch"); });
  ASSERT_EQ(Write({"P/BatchName"}, {{"\"B-17\""}}), KRELTA2_OK);
  EXPECT_EQ(Read({"P/BatchName"}), Texts{"\"B-17\""});
  ASSERT_EQ(Write({"P/BatchName"}, {{"5"}}), KRELTA2_OK);
  EXPECT_EQ(Read({"P/BatchName"}), Texts{"\"B-17\""});
  EXPECT_EQ(Read({"P/BatchName"}), Texts{"5"});
  EXPECT_EQ(Count("Warning", "OpcDAProxy Read found no values. Padding with old value."), 1u);
}

constexpr const char kWithoutQualityAndTime[] =
    "IOPCSyncIO2::WriteVQT: the server does not support writing quality or time stamp";
constexpr const wchar_t kWriteSpace[] =
    L"branch W\n"
    L"item Speed I4 0\n"
    L"item Name BSTR a\n"
    L"item Locked R8 0 writeerror=0xC0040006\n"
    L"item Old R8 0 novqt\n"
    L"item Profile R4[] 0;0;0\n";

TEST_F(DataOperations, WritesValueQualityAndTimeWithFallbacksPerItem) {
  Open(kWriteSpace, {"W"}, [](ConnectionSettings& s) {
    s.SetArrayNodes({ArrayOf("W.Profile", {"p0", "p1", "p2"})});
  });
  const std::vector<std::string> row = {"W/Speed", "W/Name", "W/Locked", "W/Old"};
  ASSERT_EQ(Write(row, {{"1500", "\"Pump \xc3\xa4\"", "1", "2"}}), KRELTA2_OK);
  EXPECT_EQ(Read(row), (Texts{"1500", "\"Pump \xe4\"", "0", "2"}));
  EXPECT_EQ(UpdateTime("W/Speed"), kTime2024);  // the server stored the written time stamp
  EXPECT_EQ(Count("Warning", "IOPCSyncIO2::WriteVQT partially failed, result: " + FormatResult(S_FALSE) +
                                 "\nItem Locked failed: " + FormatResult(OPC_E_BADRIGHTS)),
            1u);
  ASSERT_EQ(Write({"W/Old"}, {{"3"}}), KRELTA2_OK);
  EXPECT_EQ(CountStarting("Warning", kWithoutQualityAndTime), 1u);  // once per connection

  // Three rows a minute apart; a null cell leaves the value as it is.
  ASSERT_EQ(Write({"W/Speed"}, {{"1"}, {"2"}, {"3"}}, kTime2024 + 3600, 60), KRELTA2_OK);
  EXPECT_EQ(UpdateTime("W/Speed"), kTime2024 + 3720);
  ASSERT_EQ(Write({"W/Speed"}, {{"null"}}, kTime2024 + 7200), KRELTA2_OK);
  EXPECT_EQ(Read({"W/Speed"}), Texts{"3"});

  // An array is written whole, in element order, or not at all.
  ASSERT_EQ(Write({"W/Profile/p2", "W/Profile/p0", "W/Profile/p1"}, {{"3", "1", "2"}}), KRELTA2_OK);
  EXPECT_EQ(Read({"W/Profile/p0", "W/Profile/p1", "W/Profile/p2"}), (Texts{"1", "2", "3"}));
  const LONG writes = Counter(SIM_COUNTER_WRITE_CALLS);
  EXPECT_EQ(Write({"W/Profile/p0"}, {{"9"}}), KRELTA2_FAILED);
  EXPECT_EQ(Counter(SIM_COUNTER_WRITE_CALLS), writes);
  EXPECT_EQ(Write({"W/Profile/p0", "W/Profile/p1", "W/Profile/p2"}, {{"9", "null", "9"}}), KRELTA2_FAILED);
  EXPECT_EQ(Counter(SIM_COUNTER_WRITE_CALLS), writes);
  EXPECT_EQ(CountStarting("Warning", "Array W.Profile is not written: the request holds no value for its element 1"),
            1u);
  EXPECT_EQ(CountStarting("Warning", "Array W.Profile is not written: the value of its element 1 (of 3) is null"), 1u);
}

TEST_F(DataOperations, WithoutWriteVqtTheServerStampsTheValue) {
  for (const bool da2 : {true, false}) {
    SCOPED_TRACE(da2);
    Open(kWriteSpace, {"W"}, [&](ConnectionSettings& s) { s.SetIsWriteVQTSupported(da2); },
         da2 ? testing::kSimulatorDA2Url : testing::kSimulatorDA3Url);
    const std::uint32_t before = static_cast<std::uint32_t>(std::time(nullptr));
    ASSERT_EQ(Write({"W/Speed"}, {{"77"}}), KRELTA2_OK);
    EXPECT_EQ(UpdateTime("W/Speed"), kTime2024);  // the tag follows the row time
    EXPECT_EQ(Read({"W/Speed"}), Texts{"77"});
    EXPECT_GE(UpdateTime("W/Speed"), before);  // the server stamped it itself
    EXPECT_EQ(CountStarting("Warning", kWithoutQualityAndTime), 0u);
    Close();
  }
}

TEST_F(DataOperations, AFailedItemKeepsNoHandleAndReadsNoOtherItem) {
  // Handles from 0: the handle a server leaves in a failed result is another item's.
  ASSERT_EQ(Control()->SetFault(SIM_FAULT_ZERO_BASED_HANDLES, 1), S_OK);
  Open(L"branch F\nitem Good R8 5\nitem Gone R8 6\n", {"F"});
  EXPECT_EQ(Read({"F/Good"}), Texts{"5"});
  Load(L"branch F\nitem Good R8 5\n");
  EXPECT_EQ(Read({"F/Good", "F/Gone"}), (Texts{"5", "null"}));
  EXPECT_EQ(Write({"F/Gone"}, {{"1"}}), KRELTA2_FAILED);
  EXPECT_EQ(Read({"F/Good"}), Texts{"5"});
  EXPECT_EQ(host::NewestStandaloneLogEntry(),
            "krelta2_connectionWriteHistoricalDataEx: Operation failed (Could not write data.).");
}

// A shutdown request that arrives during the server call closes the session under it: the call
// goes on with its own references and the next one fails. One between calls: the recovery tests.
TEST_F(DataOperations, AShutdownRequestDuringAReadOrWriteFailsTheNextCall) {
  ASSERT_EQ(Control()->SetFault(SIM_FAULT_SHUTDOWN_IN_IO, 1), S_OK);
  Open(L"branch S\nitem X R8 1\n", {"S"});
  EXPECT_EQ(Read({"S/X"}), Texts{"null"});
  Read({"S/X"}, KRELTA2_FAILED);
  Close();
  Control()->ClearFaults();
  Open(L"branch S\nitem X R8 1\n", {"S"});
  Read({"S/X"});  // registered, so the write's first server call is the write
  ASSERT_EQ(Control()->SetFault(SIM_FAULT_SHUTDOWN_IN_IO, 1), S_OK);
  EXPECT_EQ(Write({"S/X"}, {{"2"}}), KRELTA2_FAILED);
}

TEST_F(DataOperations, BadInputGivesDefinedResultsAndWritesNothingUnasked) {
  // Level 3: no trace entry per slot.
  Open(L"branch B\nitem Text BSTR x\nitem Odd BSTR \"a\xd800z\"\nitem N R8 1\n", {"B"},
       [](ConnectionSettings& s) { s.SetLogLevel(kLogInformation); });
  // One tag 100,000 times: one item, one handle per call, every slot filled.
  const LONG added = Counter(SIM_COUNTER_ITEMS_ADDED);
  const std::vector<std::string> many(100000, "B/N");
  const std::vector<std::string> values = Read(many);
  EXPECT_EQ(values, Texts(100000, "1"));
  EXPECT_EQ(Counter(SIM_COUNTER_ITEMS_ADDED) - added, 1);
  EXPECT_EQ(Counter(SIM_COUNTER_LAST_READ_COUNT), 1);
  std::vector<std::string> row(100000, "2");
  row.back() = "3";
  ASSERT_EQ(Write(many, {row}), KRELTA2_OK);
  EXPECT_EQ(Counter(SIM_COUNTER_LAST_WRITE_COUNT), 1);
  EXPECT_EQ(Read({"B/N"}), Texts{"3"});  // the last position wins

  // An unpaired surrogate reads as a text; every byte value written arrives as UTF-8 (invalid
  // sequences skipped) and reads back in the ANSI code page.
  const std::string odd = Read({"B/Odd"})[0];
  EXPECT_EQ(odd.front(), '"');
  EXPECT_EQ(odd.substr(0, 2), "\"a");
  std::string bytes;
  for (int b = 1; b < 256; ++b) bytes += static_cast<char>(b);
  const std::vector<krelta2_tag> text = Tags({"B/Text"});
  krelta2_vector cell = Values({"\"" + bytes + "\xc3\xa4\""});
  ASSERT_EQ(dll_.krelta2_connectionWriteHistoricalData(connection_, text.data(), 1, kTime2024, cell), KRELTA2_OK);
  dll_.krelta2_vectorFree(cell);
  EXPECT_EQ(Read({"B/Text"})[0], "\"" + bytes.substr(0, 127) + "\xe4\"");

  // A row of nulls writes no value (only quality and time stamp beside "no value").
  ASSERT_EQ(Write({"B/Text", "B/N"}, {{"null", "null"}}), KRELTA2_OK);
  EXPECT_EQ(Read({"B/N"}), Texts{"3"});
}

// Null arguments, bad counts and times, and index = count return 2 and leave the outputs alone.
TEST_F(DataOperations, ArgumentChecksAndTheOperationsWithoutData) {
  Open(L"branch A\nitem X R8 1\n", {"A"});
  krelta2_tag tags[2] = {Tag("A/X"), nullptr};
  krelta2_vector out[3] = {};
  krelta2_vector good = Values({"1"});
  krelta2_vector two = Values({"1", "2"});
  krelta2_vector uneven[2] = {good, two};  // a valid first row is not written either
  krelta2_connection c = connection_;
  krelta2_node node = nullptr, line = nullptr;  // the root and its node with the tag
  dll_.krelta2_connectionGetNode(c, 0, &node);
  dll_.krelta2_nodeGetNode(node, 0, &line);
  uint32_t start = 1, end = 1, u = 77;
  const auto sentinel = reinterpret_cast<void*>(0x5e5e);
  krelta2_node n = static_cast<krelta2_node>(sentinel);
  krelta2_tag t = static_cast<krelta2_tag>(sentinel);
  krelta2_string s = static_cast<krelta2_string>(sentinel);
  const LONG writes = Counter(SIM_COUNTER_WRITE_CALLS);
  const krelta2_status refused[] = {
      dll_.krelta2_connectionReadCurrentData(nullptr, tags, 1, out),
      dll_.krelta2_connectionReadCurrentData(c, tags, 0, out),
      dll_.krelta2_connectionReadCurrentData(c, tags, 2, out),
      dll_.krelta2_connectionReadCurrentData(c, tags, 1, nullptr),
      dll_.krelta2_connectionReadHistoricalData(c, tags, 1, 0x80000000u, out),
      dll_.krelta2_connectionReadHistoricalDataEx(c, tags, 1, 0, -1, 1, out),
      dll_.krelta2_connectionReadHistoricalDataEx(c, tags, 1, 0, 0, 0, out),
      dll_.krelta2_connectionReadBatchData(c, tags, 1, nullptr, out),
      dll_.krelta2_connectionReadBatchDataEx(c, tags, 1, "b", -1, out),
      dll_.krelta2_connectionWriteHistoricalData(c, tags, 1, 0x80000000u, good),
      dll_.krelta2_connectionWriteHistoricalData(c, tags, 1, 0, two),
      dll_.krelta2_connectionWriteHistoricalData(c, tags, 2, 0, two),
      dll_.krelta2_connectionWriteHistoricalData(c, tags, 1, 0, nullptr),
      dll_.krelta2_connectionWriteHistoricalDataEx(c, tags, 1, 0, 0, 2, uneven),
      dll_.krelta2_connectionWriteBatchDataEx(c, tags, 2, "b", 0, good),
      dll_.krelta2_connectionWriteBatchData(c, tags, 1, nullptr, good),
      dll_.krelta2_nodeGetActiveBatches(node, 10, 9, out),
      dll_.krelta2_nodeGetActiveBatches(node, -1, 9, out),
      dll_.krelta2_nodeGetBatchTimes(node, "b", -1, &start, &end),
      dll_.krelta2_nodeGetBatchTimes(node, nullptr, 0, &start, &end),
      dll_.krelta2_connectionGetCurrentTime(nullptr, &u), dll_.krelta2_connectionGetCurrentTime(c, nullptr),
      dll_.krelta2_connectionGetNumNodes(nullptr, &u),    dll_.krelta2_connectionGetNumNodes(c, nullptr),
      dll_.krelta2_connectionGetNode(nullptr, 0, &n),     dll_.krelta2_connectionGetNode(c, 0, nullptr),
      dll_.krelta2_connectionGetNode(c, 1, &n),           dll_.krelta2_nodeGetName(nullptr, &s),
      dll_.krelta2_nodeGetName(node, nullptr),            dll_.krelta2_nodeGetNumNodes(nullptr, &u),
      dll_.krelta2_nodeGetNumNodes(node, nullptr),        dll_.krelta2_nodeGetNode(nullptr, 0, &n),
      dll_.krelta2_nodeGetNode(node, 0, nullptr),         dll_.krelta2_nodeGetNode(node, 1, &n),
      dll_.krelta2_nodeGetNode(line, 0, &n),              dll_.krelta2_nodeGetNumTags(nullptr, &u),
      dll_.krelta2_nodeGetNumTags(line, nullptr),         dll_.krelta2_nodeGetTag(nullptr, 0, &t),
      dll_.krelta2_nodeGetTag(line, 0, nullptr),          dll_.krelta2_nodeGetTag(line, 1, &t),
      dll_.krelta2_nodeGetTag(node, 0, &t),               dll_.krelta2_tagGetName(nullptr, &s),
      dll_.krelta2_tagGetName(tags[0], nullptr),          dll_.krelta2_tagGetUpdateTime(nullptr, &u),
      dll_.krelta2_tagGetUpdateTime(tags[0], nullptr),
  };
  for (std::size_t i = 0; i < std::size(refused); ++i) {
    EXPECT_EQ(refused[i], KRELTA2_INVALID_ARGUMENT) << i;
  }
  EXPECT_EQ(out[0], nullptr);
  EXPECT_EQ(std::vector<void*>({n, t, s}), std::vector<void*>(3, sentinel));
  EXPECT_EQ(u, 77u);
  EXPECT_EQ(Counter(SIM_COUNTER_WRITE_CALLS), writes);

  // The operations this data source answers without data.
  ASSERT_EQ(dll_.krelta2_connectionReadHistoricalDataEx(c, tags, 1, 0, 60, 3, out), KRELTA2_OK);
  for (krelta2_vector v : out) {
    EXPECT_EQ(host::SlotText(dll_, v, 0), "null");
    dll_.krelta2_vectorFree(v);
  }
  ASSERT_EQ(dll_.krelta2_connectionReadBatchData(c, tags, 1, "b", out), KRELTA2_OK);
  EXPECT_EQ(host::SlotText(dll_, out[0], 0), "null");
  dll_.krelta2_vectorFree(out[0]);
  EXPECT_EQ(dll_.krelta2_connectionWriteBatchData(c, tags, 1, "b", good), KRELTA2_OK);
  out[0] = good;
  EXPECT_EQ(dll_.krelta2_nodeGetActiveBatches(node, 0, 9, out), KRELTA2_OK);
  EXPECT_EQ(out[0], nullptr);
  EXPECT_EQ(dll_.krelta2_nodeGetBatchTimes(node, "b", 0, &start, &end), KRELTA2_OK);
  EXPECT_EQ(std::make_pair(start, end), std::make_pair(0xFFFFFFFFu, 0xFFFFFFFFu));
  EXPECT_EQ(Counter(SIM_COUNTER_WRITE_CALLS), writes);
  for (const char* operation : {"ReadHistoricalDataEx", "WriteBatchData", "GetActiveBatches", "GetBatchTimes"}) {
    EXPECT_EQ(Count("Debug", std::string(operation) + " was called, but is not implemented"), 1u) << operation;
  }
  dll_.krelta2_vectorFree(good);
  dll_.krelta2_vectorFree(two);
}

TEST_F(DataOperations, WholeCallFailuresThatAreNotADeadServerKeepTheSession) {
  constexpr const wchar_t kSpace[] = L"branch F\nitem A R8 1\nitem B R8 2\nitem C R8 3\nitem D R8 4\n";
  const struct {
    DWORD fault;
    HRESULT value;
    const char* tag;  // A and B are not registered before their row
    bool write, withQualityAndTime;
  } rows[] = {
      {SIM_FAULT_ADDITEMS_RESULT, E_FAIL, "F/A", false, true},
      {SIM_FAULT_ADDITEMS_RESULT, OPC_E_INVALIDHANDLE, "F/B", true, true},
      {SIM_FAULT_READ_RESULT, E_FAIL, "F/C", false, true},
      {SIM_FAULT_READ_RESULT, OPC_E_INVALIDHANDLE, "F/C", false, true},
      {SIM_FAULT_WRITE_RESULT, E_FAIL, "F/D", true, true},
      {SIM_FAULT_WRITE_RESULT, OPC_E_INVALIDHANDLE, "F/D", true, false},
  };
  bool vqt = true;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.tag);
    if (row.withQualityAndTime != vqt) {
      Close();
      vqt = row.withQualityAndTime;
      Open(kSpace, {"F"}, [&](ConnectionSettings& s) { s.SetIsWriteVQTSupported(vqt); });
    } else if (connection_ == nullptr) {
      Open(kSpace, {"F"});
    }
    if (std::string(row.tag) != "F/A" && std::string(row.tag) != "F/B") Read({row.tag});
    const LONG groups = Counter(SIM_COUNTER_GROUPS_ADDED);
    const std::uint32_t updated = UpdateTime(row.tag);
    ASSERT_EQ(Control()->SetFault(row.fault, row.value), S_OK);
    if (row.write) {
      EXPECT_EQ(Write({row.tag}, {{"9"}}), KRELTA2_FAILED);
      EXPECT_EQ(UpdateTime(row.tag), updated);  // nothing reached the server
    } else {
      EXPECT_EQ(Read({row.tag}), Texts{"null"});
    }
    Control()->ClearFaults();
    EXPECT_NE(Read({row.tag}), Texts{"null"});  // at once: no reopen
    EXPECT_EQ(Counter(SIM_COUNTER_GROUPS_ADDED), groups);
  }
  EXPECT_EQ(Count("Error", "IOPCSyncIO::Read failed: " + FormatResult(E_FAIL)), 1u);
  for (const LogEntry& e : ConnectionLog()) {
    EXPECT_EQ(e.message.find("The server is gone"), std::string::npos) << e.message;
  }

  // A shutdown request during registration: the read answers as on a closed session.
  ASSERT_EQ(Control()->SetFault(SIM_FAULT_SHUTDOWN_IN_ADDITEMS, 1), S_OK);
  Close();
  Open(kSpace, {"F"});
  Read({"F/A"}, KRELTA2_FAILED);
}

TEST_F(DataOperations, HostThreadsOfAnyApartmentAndTwoConnectionsAtOnce) {
  Open(L"branch S\nitem X R8 1\nitem Slow R8 2 readdelay=800\n", {"S"});
  for (const int apartment : {-1, int{COINIT_APARTMENTTHREADED}, int{COINIT_MULTITHREADED}}) {
    std::vector<std::string> values;
    std::thread host([&] {
      if (apartment >= 0) ::CoInitializeEx(nullptr, static_cast<DWORD>(apartment));
      values = Read({"S/X"});
      if (apartment >= 0) ::CoUninitialize();
    });
    host.join();
    EXPECT_EQ(values, Texts{"1"}) << apartment;
  }
  // A host thread in a single-threaded apartment answers its window's messages while it waits.
  std::thread sta([&] {
    ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    HWND window = ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    std::thread sender([window] {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      DWORD_PTR result = 0;
      EXPECT_NE(::SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_BLOCK, 300, &result), 0);
    });
    EXPECT_EQ(Read({"S/Slow"}), Texts{"2"});
    sender.join();
    ::DestroyWindow(window);
    ::CoUninitialize();
  });
  sta.join();
  // A second connection to the same data source reads while the first waits for a slow item.
  krelta2_connection second = nullptr;
  ASSERT_EQ(dll_.krelta2_connectionOpen(name_.c_str(), &second), KRELTA2_OK);
  const std::vector<host::TagPath> secondTags = host::CollectTags(dll_, second);
  krelta2_tag fast = Tag("S/X", &secondTags);
  std::thread slow([&] { Read({"S/Slow"}); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 5; ++i) {
    krelta2_vector vector = nullptr;
    EXPECT_EQ(dll_.krelta2_connectionReadCurrentData(second, &fast, 1, &vector), KRELTA2_OK);
    dll_.krelta2_vectorFree(vector);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(400));
  slow.join();
  EXPECT_EQ(dll_.krelta2_connectionClose(second), KRELTA2_OK);
}

TEST_F(DataOperations, TwoTagsOfOneItemInOneWriteAreWrittenLastPositionFirst) {
  // Without browsing a node's tags come from the tag list file, which may name an item twice.
  const std::string tagList = ApplicationDataFolder() + "\\opcda_tags.txt";
  ASSERT_TRUE(testing::WriteFileBytes(tagList, "S.X\nS.X\n"));
  Open(L"branch S\nitem X R8 1\n", {"S"}, [](ConnectionSettings& s) { s.SetBrowseSupported(false); });
  ::DeleteFileA(tagList.c_str());
  ASSERT_EQ(tags_.size(), 2u);  // S/X twice
  krelta2_tag both[2] = {tags_[0].tag, tags_[1].tag};
  krelta2_vector row = Values({"5", "7"});
  EXPECT_EQ(dll_.krelta2_connectionWriteHistoricalDataEx(connection_, both, 2, kTime2024, 0, 1, &row), KRELTA2_OK);
  dll_.krelta2_vectorFree(row);
  EXPECT_EQ(Read({"S/X"}), Texts{"7"});
}

}  // namespace
}  // namespace krelta
