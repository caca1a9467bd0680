#include "config/array_nodes.h"

#include <gtest/gtest.h>
#include <tinyxml.h>

#include "log/log_file.h"
#include "support/log_entries.h"

namespace krelta {
namespace {

using testing::LogEntry;
using testing::ReadLogEntries;
using testing::TestAppDataFolder;
using Names = std::vector<std::string>;

class ArrayNodes : public ::testing::Test {
 protected:
  std::vector<ArrayNodeConfig> Read(const std::string& xml) {
    TiXmlDocument document;
    document.Parse(xml.c_str());
    std::vector<ArrayNodeConfig> configs;
    ReadArrayNodes(log_, document.FirstChildElement("settings"), configs);
    return configs;
  }
  std::vector<LogEntry> Entries() { return ReadLogEntries(log_.Path()); }

  TestAppDataFolder folder_;
  LogFile log_{"OPCDA_Arrays"};
};

TEST_F(ArrayNodes, GeneratedNamesUseSinglePrecisionAndStreamFormatting) {
  const struct {
    float start, interval;
    int size;
    Names names;
  } rows[] = {{1, 1, 3, {"tag_1", "tag_2", "tag_3"}},
              {10, 2, 4, {"tag_10", "tag_12", "tag_14", "tag_16"}},
              {0, 0.5f, 3, {"tag_0", "tag_0.5", "tag_1"}},
              {999999, 1, 2, {"tag_999999", "tag_1e+06"}},
              {0.1f, 0.1f, 3, {"tag_0.1", "tag_0.2", "tag_0.3"}},
              {-1, -1.5f, 2, {"tag_-1", "tag_-2.5"}},
              {1, 1, 0, {}},
              {1, 1, -5, {}}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.size);
    ArrayNodeConfig config;
    config.tag = "Plant.Array";
    config.start = row.start;
    config.interval = row.interval;
    config.size = row.size;
    GenerateElementNames(config, log_);
    EXPECT_EQ(row.names, config.names);
  }
  EXPECT_EQ((LogEntry{"Information", "Creating virtual tag names from start and interval for tag Plant.Array"}),
            Entries().front());
}

TEST_F(ArrayNodes, NamesAreTakenGeneratedOrReplaced) {
  const auto configs = Read(R"(<settings>
    <arraynode tag="Listed" size="2" prefix="p_"><arraytag>a</arraytag><arraytag>b</arraytag></arraynode>
    <arraynode tag="Mismatch" size="3"><arraytag>only</arraytag></arraynode>
    <arraynode tag="Generated" size="2" prefix="x">
      <arraytagnamesbystartandinterval start="1.5" interval="0.25"/></arraynode>
    <arraynode tag="Zero" size="0"/>
    <arraynode tag="ByArray" size="2"><arraytagnamesbyarray tag="Names.Item"/></arraynode>
  </settings>)");
  ASSERT_EQ(5u, configs.size());
  EXPECT_EQ((Names{"a", "b"}), configs[0].names);
  EXPECT_EQ("p_", configs[0].prefix);
  EXPECT_EQ((Names{"tag_1", "tag_2", "tag_3"}), configs[1].names);
  EXPECT_EQ((Names{"x1.5", "x1.75"}), configs[2].names);
  EXPECT_TRUE(configs[3].names.empty());
  EXPECT_EQ(ArrayNamingMode::ByArray, configs[4].namingMode);
  EXPECT_EQ("Names.Item", configs[4].namesArrayTag);
  EXPECT_EQ((Names{"tag_1", "tag_2"}), configs[4].names);

  const auto entries = Entries();
  const std::vector<LogEntry> expected = {
      {"Information", "Successfully read 2 array tag names from XML file."},
      {"Information", "The number of provided array tag names (1) does not match the configured size (3). Ignoring supplied tag names."},
      {"Information", "Creating virtual tag names from start and interval for tag Mismatch"},
      {"Information", "Creating virtual tag names from start and interval for tag Generated"},
      {"Information", "Successfully read 0 array tag names from XML file."},
      {"Information", "Creating virtual tag names from start and interval for tag ByArray"}};
  EXPECT_EQ(expected, entries);
}

TEST_F(ArrayNodes, IncompleteElements) {
  const auto configs = Read(R"(<settings>
    <arraynode size="2"/>
    <arraynode tag="" size="4"/>
    <arraynode tag="NoSize"><arraytag>a</arraytag><other>x</other><arraytag>b</arraytag></arraynode>
    <arraynode tag="BadSize" size="x4"/>
    <arraynode tag="Spaced" size=" 3 "/>
    <arraynode tag="Kept" size="1"/>
    <arraynode tag="Stop"><arraytagnamesbyarray/></arraynode>
    <arraynode tag="Lost" size="1"/>
  </settings>)");
  ASSERT_EQ(4u, configs.size());
  // Without a size, the listed names are taken; foreign elements among them are not names.
  EXPECT_EQ((Names{"a", "b"}), configs[0].names);
  EXPECT_EQ(2, configs[0].size.value_or(-1));
  EXPECT_FALSE(configs[1].size.has_value());
  EXPECT_TRUE(configs[1].names.empty());
  EXPECT_EQ(3u, configs[2].names.size());  // read as TinyXML reads an integer
  EXPECT_EQ("Kept", configs[3].tag);
  EXPECT_EQ((LogEntry{"Error", "Ignoring incomplete ArrayNode. An ArrayNode has to have a tag attribute that specifies the tag that contains array data."}),
            Entries().front());
}

TEST_F(ArrayNodes, HugeSizesAndNumbersOutOfRangeAreBounded) {
  const auto configs = Read(R"(<settings>
    <arraynode tag="Huge" size="2000000000"/>
    <arraynode tag="Large" size="600000"/>
    <arraynode tag="OverBudget" size="600000"/>
    <arraynode tag="Floats" size="2">
      <arraytagnamesbystartandinterval start="1e300" interval="-1e39"/></arraynode>
    <arraynode tag="Leading" size="2">
      <arraytagnamesbystartandinterval start="2.5abc" interval=" 3"/></arraynode>
  </settings>)");
  ASSERT_EQ(5u, configs.size());
  // The records stay (and are written back) with their sizes; no names beyond the limit.
  EXPECT_EQ(2000000000, configs[0].size.value_or(0));
  EXPECT_TRUE(configs[0].names.empty());
  EXPECT_EQ(600000u, configs[1].names.size());
  EXPECT_TRUE(configs[2].names.empty());
  EXPECT_EQ((Names{"tag_1", "tag_2"}), configs[3].names);  // out of float range: defaults
  EXPECT_EQ((Names{"tag_2.5", "tag_5.5"}), configs[4].names);
  const auto entries = Entries();
  EXPECT_TRUE(testing::HasEntry(entries, "Error",
                                "Array node Huge: 2000000000 more tag names would exceed the limit of 1000000 "
                                "generated tag names. No tag names created."));
  EXPECT_TRUE(testing::HasEntry(entries, "Error",
                                "Array node OverBudget: 600000 more tag names would exceed the limit of 1000000 "
                                "generated tag names. No tag names created."));
}

TEST_F(ArrayNodes, NamesWithBlanksSurviveASave) {
  // Element text is read back with blanks trimmed and runs of blanks made one; names are kept
  // in that form from the start, so a save does not rename tags.
  const auto configs = Read(R"(<settings>
    <arraynode tag="Prefix" size="2" prefix=" a  b "/>
    <arraynode tag="Listed" size="1"><arraytag>&#x20;x&#x20;&#x20;y&#x09;</arraytag></arraynode>
  </settings>)");
  ASSERT_EQ(2u, configs.size());
  EXPECT_EQ((Names{"a b 1", "a b 2"}), configs[0].names);
  EXPECT_EQ((Names{"x y\t"}), configs[1].names);

  TiXmlElement settings("settings");
  WriteArrayNodes(settings, configs);
  TiXmlPrinter printer;
  settings.Accept(&printer);
  const auto again = Read(printer.Str());
  ASSERT_EQ(2u, again.size());
  EXPECT_EQ(configs[0].names, again[0].names);
  EXPECT_EQ(configs[1].names, again[1].names);
}

}  // namespace
}  // namespace krelta
