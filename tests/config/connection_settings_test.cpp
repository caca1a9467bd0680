#include "config/connection_settings.h"

#include <gtest/gtest.h>

#include <fstream>

#include "support/log_entries.h"
#include "util/exception.h"
#include "util/utf8.h"

#ifndef KRELTA_CONFIG_GOLDEN_DIR
#error "KRELTA_CONFIG_GOLDEN_DIR must name the folder of golden files"
#endif

namespace krelta {
namespace {

using testing::HasEntry;
using testing::LogEntry;
using testing::ReadFileBytes;
using testing::ReadLogEntries;
using testing::TestAppDataFolder;
using testing::WriteFileBytes;

constexpr const char* kTrying =
    "Initialization: OpcDAKrelta (Aug 21 2018 10:34:08) trying to read configuration from ";
constexpr const char* kNoConfiguration = "Initialization: configuration done, no configuration loaded.";
constexpr const char* kLoaded =
    "Initialization: Init configuration done, configuration settings loaded successfully.";

// Golden files hold LF line ends; the configuration is written in text mode.
void ExpectGolden(const std::string& name, const std::string& actual) {
  std::ifstream in(std::string(KRELTA_CONFIG_GOLDEN_DIR) + "/" + name, std::ios::binary);
  std::string expected;
  for (char c; in.get(c);) expected += c == '\n' ? std::string(testing::kLineEnd) : std::string(1, c);
  EXPECT_EQ(expected, actual);
}

class Settings : public ::testing::Test {
 protected:
  std::string ConfigPath(const std::string& cs = "PlantA") {
    return folder_.File("OPCDA_" + cs + "Configuration.xml");
  }
  std::string LogPath(const std::string& cs = "PlantA") {
    return folder_.File("OPCDA_" + cs + "KreltaLog.log");
  }
  void WriteConfig(const std::string& xml, const std::string& cs = "PlantA") {
    ApplicationDataFolder();  // makes the folder
    ASSERT_TRUE(WriteFileBytes(ConfigPath(cs), xml));
    platform::RemoveFile(LogPath(cs));
  }
  TestAppDataFolder folder_;
};

TEST_F(Settings, WithoutAFileEverythingIsDefault) {
  ConnectionSettings settings("PlantA");
  EXPECT_EQ(ConfigPath(), settings.ConfigurationPath());
  EXPECT_EQ(LogPath(), settings.Log().Path());
  EXPECT_EQ(kDefaultLogSizeLimit, settings.Log().SizeLimit());  // not applied without a file
  const std::vector<LogEntry> expected = {{"Information", kTrying + ConfigPath()},
                                          {"Warning", kNoConfiguration}};
  EXPECT_EQ(expected, ReadLogEntries(LogPath()));
}

TEST_F(Settings, ReadsEveryKeyAndLogsInOrder) {
  WriteConfig(R"(<?xml version="1.0" ?>
<settings>
    <setting key="LogFileSize" value="2048" />
    <setting key="LogLevel" value="3" />
    <setting key="URL" value="opcda://localhost/Krelta.OpcSimulator.1" />
    <setting key="UseNullTimeValues" value="0" />
    <setting key="BatchID" value="Batch" />
    <setting key="Delimiter" value="/x" />
    <setting key="BrowseSupported" value="true" />
    <setting key="IsWriteVQTSupported" value=" -7" />
    <setting key="Unknown" value="ignored" />
    <setting key="URL" />
    <other key="LogLevel" value="0" />
    <nodes>
        <setting key="Node_0_0" value="Area1" />
        <setting key="Node_0_1" value="Plant/Area1" />
    </nodes>
</settings>)");
  ConnectionSettings settings("PlantA");
  EXPECT_EQ(2048, settings.LogFileSize());
  EXPECT_EQ(2048, settings.Log().SizeLimit());
  EXPECT_EQ(3, settings.Log().Threshold());
  EXPECT_EQ("opcda://localhost/Krelta.OpcSimulator.1", settings.Url());
  EXPECT_FALSE(settings.UseNullTimeValues());
  EXPECT_EQ("Batch", settings.BatchId());
  EXPECT_EQ("/x", settings.Delimiter());
  EXPECT_FALSE(settings.BrowseSupported());  // "true" does not parse: 0
  EXPECT_TRUE(settings.IsWriteVQTSupported());
  ASSERT_EQ(1u, settings.Nodes().size());
  EXPECT_EQ((NodeEntry{"Area1", "Plant/Area1"}), settings.Nodes()[0]);

  const auto entries = ReadLogEntries(LogPath());
  ASSERT_EQ(11u, entries.size());
  EXPECT_EQ((LogEntry{"Information", kTrying + ConfigPath()}), entries[0]);
  EXPECT_EQ((LogEntry{"Debug", "Configuration: Key:LogFileSize, Value:2048"}), entries[1]);
  EXPECT_EQ((LogEntry{"Debug", "Configuration: Key:Unknown, Value:ignored"}), entries[9]);
  // The nodes' entries come after LogLevel 3 took effect: not logged.
  EXPECT_EQ((LogEntry{"Information", kLoaded}), entries.back());
}

TEST_F(Settings, EmptyValuesKeepDefaultsAndLogLevelMinusOneSilences) {
  WriteConfig(R"(<settings><setting key="LogLevel" value="-1"/><setting key="LogFileSize" value=""/>
    <setting key="URL" value="opcda:///X"/><setting key="Delimiter" value=""/></settings>)");
  ConnectionSettings settings("PlantA");
  EXPECT_EQ(-1, settings.Log().Threshold());
  EXPECT_EQ(1048576, settings.Log().SizeLimit());
  EXPECT_EQ(".", settings.Delimiter());
  const auto entries = ReadLogEntries(LogPath());
  ASSERT_EQ(5u, entries.size());  // the trying entry and the four keys, then silence
  settings.Log().Write(kLogCritical, "silenced");
  EXPECT_EQ(5u, ReadLogEntries(LogPath()).size());
}

// Keys the dialog never shows: a text that does not parse warns and keeps the default; a save
// writes back what the file had and adds nothing when it had nothing.
TEST_F(Settings, CallTimeoutAndReadFromSubscriptionWarnOnBadTextAndSaveBackAsRead) {
  const struct {
    const char* key;
    const char* text;
    std::int32_t seconds;
    bool subscription;
    bool warns;
  } rows[] = {{"CallTimeout", nullptr, 15, false, false},  {"CallTimeout", "0", 0, false, false},
              {"CallTimeout", " 20 ", 20, false, false},   {"CallTimeout", "86400", 86400, false, false},
              {"CallTimeout", "-1", 15, false, true},      {"CallTimeout", "1e9", 15, false, true},
              {"CallTimeout", "2147483648", 15, false, true}, {"CallTimeout", "86401", 15, false, true},
              {"CallTimeout", "", 15, false, true},        {"ReadFromSubscription", "1", 15, true, false},
              {"ReadFromSubscription", " 0", 15, false, false}, {"ReadFromSubscription", "01", 15, false, true},
              {"ReadFromSubscription", "on", 15, false, true},  {"ReadFromSubscription", "", 15, false, true}};
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.key) + "=" + (row.text ? row.text : "(absent)"));
    const std::string key = row.text ? "<setting key=\"" + std::string(row.key) + "\" value=\"" + row.text + "\"/>" : "";
    WriteConfig("<settings><setting key=\"URL\" value=\"opcda:///X\"/>" + key + "</settings>");
    ConnectionSettings settings("PlantA");
    EXPECT_EQ(row.seconds, settings.CallTimeoutSeconds());
    EXPECT_EQ(row.subscription, settings.ReadFromSubscription());
    bool warned = false;
    for (const LogEntry& e : ReadLogEntries(LogPath())) {
      warned = warned || (e.level == "Warning" && e.message.find(row.key) != std::string::npos);
    }
    EXPECT_EQ(row.warns, warned);
    ASSERT_TRUE(settings.WriteConfiguration());
    const std::string saved = ReadFileBytes(ConfigPath());
    const std::string stored = "key=\"" + std::string(row.key) + (row.text ? "\" value=\"" + std::string(row.text) : "");
    EXPECT_EQ(row.text != nullptr, saved.find(stored + "\"") != std::string::npos);
    EXPECT_EQ(row.key == std::string("ReadFromSubscription"), saved.find("ReadFromSubscription") != std::string::npos);
  }
}

// Later keys win; node keys pair in numbered order (Node_10 after Node_9), other keys in sorted order.
TEST_F(Settings, LaterKeyWinsAndNodesPairInTheirOrder) {
  std::string nodes;
  for (int i = 0; i < 12; ++i) {
    const std::string n = std::to_string(i);
    nodes += "<setting key=\"Node_" + n + "_0\" value=\"N" + n + "\"/><setting key=\"Node_" + n + "_1\" value=\"P" + n + "\"/>";
  }
  WriteConfig("<settings><setting key=\"URL\" value=\"first\"/><setting key=\"URL\" value=\"second\"/><nodes>" +
              nodes + "</nodes></settings>");
  ConnectionSettings settings("PlantA");
  EXPECT_EQ("second", settings.Url());
  const auto entries = ReadLogEntries(LogPath());
  EXPECT_TRUE(HasEntry(entries, "Debug", "Configuration: Key:URL, Value:first"));
  EXPECT_TRUE(HasEntry(entries, "Debug", "Configuration: Key:Node_11_1, Value:P11"));
  ASSERT_EQ(12u, settings.Nodes().size());
  for (int i = 0; i < 12; ++i) {
    EXPECT_EQ((NodeEntry{"N" + std::to_string(i), "P" + std::to_string(i)}), settings.Nodes()[i]) << i;
  }
  WriteConfig(R"(<settings><nodes><setting key="b" value="name"/><setting key="a" value="x"/></nodes></settings>)");
  EXPECT_EQ((std::vector<NodeEntry>{{"x", "name"}}), ConnectionSettings("PlantA").Nodes());
}

TEST_F(Settings, OddNodeValuesRaise) {
  WriteConfig(R"(<settings><nodes><setting key="Node_0_0" value="a"/></nodes></settings>)");
  try {
    ConnectionSettings settings("PlantA");
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_EQ("Initialization of nodes: false number of node arguments", e.message());
  }
}

TEST_F(Settings, BrokenFilesLeaveDefaultsAndAreNeverRewritten) {
  const std::string cases[] = {
      "<settings><setting key=\"URL\" value=\"x\"",  // truncated
      "not xml at all",
      "<?xml version=\"1.0\" ?><other/>",
      std::string("<settings><setting key=\"URL\" value=\"\x01\xff\xfe\"/></settings>"),
      "<settings><setting key=\"LogFileSize\" value=\"99999999999\"/>"
      "<setting key=\"LogLevel\" value=\"99999999999\"/></settings>",
      std::string("<settings>\0<nodes>", 18),
      "",
      // Nested too deep for the parser's recursion: refused, never parsed.
      [] {
        std::string deep = "<settings><setting key=\"URL\" value=\"x\"/>";
        for (int i = 0; i < 100000; ++i) deep += "<a>";
        return deep + "</settings>";
      }(),
      // Ends inside a UTF-8 sequence: the parser must not read past the text.
      "<?xml version=\"1.0\" ?>\n<settings><setting key=\"URL\" value=\"x\"/><a b=\"1\xf1\xf1\xf1<\xf1\xf1"
      "0s\xf1",
  };
  for (const std::string& xml : cases) {
    SCOPED_TRACE(xml);
    WriteConfig(xml);
    ConnectionSettings settings("PlantA");
    EXPECT_EQ(xml, ReadFileBytes(ConfigPath()));
    EXPECT_TRUE(settings.Nodes().empty());
    const auto entries = ReadLogEntries(LogPath());
    ASSERT_FALSE(entries.empty());
    EXPECT_EQ((LogEntry{"Information", kTrying + ConfigPath()}), entries.front());
    EXPECT_EQ((LogEntry{"Warning", kNoConfiguration}), entries.back());
  }
  // The out-of-range numbers were held at the 32-bit limits.
  WriteConfig(cases[4]);
  ConnectionSettings settings("PlantA");
  EXPECT_EQ(2147483647, settings.LogFileSize());
  EXPECT_EQ(INT32_MAX, settings.LogLevel());
  // The reason a file is refused is logged and kept for the configuration program's message.
  WriteConfig(cases[7]);
  EXPECT_EQ("nested deeper than 256 levels", ConnectionSettings("PlantA").ReadFailure());
  EXPECT_TRUE(HasEntry(ReadLogEntries(LogPath()), "Warning",
                       "Initialization: " + ConfigPath() + " cannot be read: nested deeper than 256 levels"));
  WriteConfig("<?xml version=\"1.0\" ?>\n<settings>\n<setting key=\"URL\" value=\"x\"");
  const std::string malformed = ConnectionSettings("PlantA").ReadFailure();
  EXPECT_NE(std::string::npos, malformed.find("(line 3)")) << malformed;
  WriteConfig(cases[2]);
  ConnectionSettings noSettings("PlantA");
  EXPECT_EQ("", noSettings.ReadFailure());
  EXPECT_TRUE(HasEntry(ReadLogEntries(LogPath()), "Warning",
                       "Initialization: Could not find the <settings> element in the XML file."));
}

TEST_F(Settings, WritesTheFixedLayout) {
  {
    ConnectionSettings settings("Empty");
    ASSERT_TRUE(settings.WriteConfiguration());
    ExpectGolden("empty.xml", ReadFileBytes(ConfigPath("Empty")));
  }
  ConnectionSettings settings("Full");
  settings.SetCredentials({"operator", "s3cret", "PLANT"});
  settings.SetUrl("opcda://localhost/Krelta.OpcSimulator.1/{4B7A6C1E-2F3D-4E5A-9B8C-7D6E5F4A3B2C}");
  settings.SetNodes({{"Plant.Area1", "Plant/Area1"}, {"Plant.Area2", "Plant/Area 2 & <more>"}});
  settings.SetUseNullTimeValues(false);
  settings.SetBatchId("");
  settings.SetLogLevel(2);
  const ArrayNodeConfig byInterval{"Plant.Area1.Levels", ArrayNamingMode::ByInterval, "tag_", 3, "", 0.5f, 1.0f,
                                   {"level_0.5", "level_1.5", "level_2.5"}};
  const ArrayNodeConfig byArray{"Plant.Area2.Values", ArrayNamingMode::ByArray, "v", 2, "Plant.Area2.Names",
                                1.0f, 1.0f, {"v1", "v2"}};
  settings.SetArrayNodes({byInterval, byArray});
  ASSERT_TRUE(settings.WriteConfiguration());
  const std::string written = ReadFileBytes(ConfigPath("Full"));
  ExpectGolden("full.xml", written);

  // Read back and write again: the same bytes (credentials, nodes and array nodes included).
  ConnectionSettings reread("Full");
  EXPECT_EQ("s3cret", reread.GetCredentials().password);
  ASSERT_TRUE(reread.WriteConfiguration());
  EXPECT_EQ(written, ReadFileBytes(ConfigPath("Full")));
  EXPECT_FALSE(platform::PathExists(reread.TemporarySavePath()));
}

TEST_F(Settings, AFailedSaveLeavesTheOldFileWhole) {
  ConnectionSettings settings("Locked");
  ASSERT_TRUE(settings.WriteConfiguration());
  const std::string before = ReadFileBytes(ConfigPath("Locked"));
  // A folder where the temporary file would go makes the save fail before the old file is touched.
  ASSERT_TRUE(platform::CreateSingleDirectory(settings.TemporarySavePath()));
  settings.SetUrl("changed");
  EXPECT_FALSE(settings.WriteConfiguration());
  EXPECT_EQ(before, ReadFileBytes(ConfigPath("Locked")));
}

// Host names are held in the ANSI code page, as earlier installations wrote them; any other
// text may hold what an earlier file held. All read back byte for byte, also where a UTF-8
// reading would let a lead byte swallow the closing quote or the markup after it.
TEST_F(Settings, TextsOutsideUtf8ReadBackByteForByte) {
  std::string dbcsHost;  // 255 two-byte characters of code page 932, each led by 0xE0-0xEA
  for (int i = 0; i < 255; ++i) dbcsHost += std::string{static_cast<char>(0xE0 + i % 11), static_cast<char>(0x40 + i % 60)};
  const struct {
    const char* name;
    std::string host, batchId, nodeName;
  } rows[] = {
      {"Latin-1 host", "Anlage-S\xfc" "d", "", "Plant"},
      {"lead byte before the closing quote", "Caf\xe9", "Charge\xe4", "B\xfchne"},
      {"lead byte before markup", "H\xe4&<\"'", "\xc3", "\xf0>a"},
      {"two-byte code page, 255 characters", dbcsHost, "", dbcsHost},
      {"UTF-8 stays without an encoding", "Anlage-S\xc3\xbc" "d", "", "B\xc3\xbchne"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    ConnectionSettings settings("Ansi");
    settings.SetUrl("opcda://" + row.host + "/Vendor.Server.1");
    settings.SetBatchId(row.batchId);
    settings.SetDelimiter(row.batchId.empty() ? "." : "\xa7");
    settings.SetNodes({{row.nodeName, row.nodeName + ".path"}});
    ASSERT_TRUE(settings.WriteConfiguration());
    const std::string written = ReadFileBytes(ConfigPath("Ansi"));
    const bool utf8 = IsValidUtf8(row.host + row.batchId + row.nodeName);
    EXPECT_EQ(utf8 ? std::string::npos : 0u, written.find("<?xml version=\"1.0\" encoding=\"windows-1252\" ?>"));
    ConnectionSettings reread("Ansi");
    EXPECT_EQ(settings.Url(), reread.Url());
    EXPECT_EQ(settings.BatchId(), reread.BatchId());
    EXPECT_EQ(settings.Delimiter(), reread.Delimiter());
    EXPECT_EQ(settings.Nodes(), reread.Nodes());
  }
  // A file an earlier installation wrote (raw bytes, no encoding named) reads as it always did,
  // and survives a save.
  WriteConfig("<?xml version=\"1.0\" ?>\n<settings><setting key=\"URL\" value=\"opcda://Anlage-S\xfc" "d/X\" />"
              "<nodes><setting key=\"Node_0_0\" value=\"a\"/><setting key=\"Node_0_1\" value=\"a\"/></nodes></settings>");
  ConnectionSettings earlier("PlantA");
  EXPECT_EQ("opcda://Anlage-S\xfc" "d/X", earlier.Url());
  ASSERT_TRUE(earlier.WriteConfiguration());
  EXPECT_EQ(earlier.Url(), ConnectionSettings("PlantA").Url());
}

// The new file's data reaches the disk before it replaces the old one; when it cannot, the old
// file stays.
TEST_F(Settings, TheSaveFlushesBeforeReplacingAndAFailedFlushKeepsTheOldFile) {
  ConnectionSettings settings("Flushed");
  ASSERT_TRUE(settings.WriteConfiguration());
  const std::string before = ReadFileBytes(ConfigPath("Flushed"));
  static std::string seenAtFlush;
  static std::string path;
  path = ConfigPath("Flushed");
  for (const bool flushes : {false, true}) {
    SCOPED_TRACE(flushes);
    const auto previous = platform::SetFlushFileForTesting(flushes ? +[](std::FILE*) {
      seenAtFlush = ReadFileBytes(path);
      return true;
    } : +[](std::FILE*) { return false; });
    settings.SetUrl("changed");
    EXPECT_EQ(flushes, settings.WriteConfiguration());
    platform::SetFlushFileForTesting(previous);
    EXPECT_FALSE(platform::PathExists(settings.TemporarySavePath()));
    EXPECT_EQ(flushes, ReadFileBytes(path) != before);
  }
  EXPECT_EQ(before, seenAtFlush) << "flushed after the old file was replaced";
}

// The save's test of every text: only well-formed UTF-8 passes.
TEST(IsValidUtf8, RefusesOverlongFormsSurrogatesValuesAboveTheRangeAndCutSequences) {
  for (const char* good : {"", "plain", "\xc2\x80", "\xdf\xbf", "\xe0\xa0\x80", "\xed\x9f\xbf",
                           "\xee\x80\x80", "\xef\xbf\xbf", "\xf0\x90\x80\x80", "\xf4\x8f\xbf\xbf"}) {
    EXPECT_TRUE(IsValidUtf8(good)) << ::testing::PrintToString(good);
  }
  for (const char* bad : {"\xc0\x80", "\xc1\xbf", "\xe0\x9f\xbf", "\xf0\x8f\xbf\xbf",  // overlong
                          "\xed\xa0\x80", "\xed\xbf\xbf",                          // surrogates
                          "\xf4\x90\x80\x80", "\xf5\x80\x80\x80", "\xff",              // above U+10FFFF
                          "a\xc3", "\xe2\x82", "\xf0\x9f\x98", "\xe2\x82" "a", "\x80"}) {   // cut or stray
    EXPECT_FALSE(IsValidUtf8(bad)) << ::testing::PrintToString(bad);
  }
}

}  // namespace
}  // namespace krelta
