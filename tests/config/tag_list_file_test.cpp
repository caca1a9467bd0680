#include "config/tag_list_file.h"

#include <gtest/gtest.h>

#include "log/log_file.h"
#include "support/log_entries.h"

namespace krelta {
namespace {

using testing::LogEntry;
using testing::ReadLogEntries;
using testing::TestAppDataFolder;
using testing::WriteFileBytes;

class TagListFile : public ::testing::Test {
 protected:
  void SetUp() override { CreateDirectoryPath(folder_.DataFolder()); }
  void Write(const std::string& text) { ASSERT_TRUE(WriteFileBytes(folder_.File(kTagListFileName), text)); }
  std::vector<LogEntry> Entries() { return ReadLogEntries(log_.Path()); }

  TestAppDataFolder folder_;
  LogFile log_{"OPCDA_tags"};
};

TEST_F(TagListFile, TrimsLinesSplitsNamesAndCountsEveryLine) {
  Write("  Plant.Area1.Temperature \t\n"
        "\n"
        "   \n"
        "Counter\r\n"
        "Plant.Area.\n"
        "Plant.My Tag\n"
        "Plant.Area1.Temperature");  // duplicates stay, last line without line end
  const std::vector<TagListEntry> entries = LoadTagListFile(".", log_);
  const std::vector<TagListEntry> expected = {{"Temperature", "Plant.Area1.Temperature"},
                                              {"Counter", "Counter"},
                                              {"My Tag", "Plant.My Tag"},
                                              {"Temperature", "Plant.Area1.Temperature"}};
  EXPECT_EQ(entries, expected);
  const std::vector<LogEntry> log = Entries();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0], (LogEntry{"Information", "Loading tags from " + TagListFilePath() + "."}));
  EXPECT_EQ(log[1],
            (LogEntry{"Warning", "Empty name found in tag file, line 5. Skipping that line."}));
}

TEST_F(TagListFile, OnlyTheDelimitersFirstCharacterCounts) {
  Write("A::B\nC:D.E\n");
  const std::vector<TagListEntry> expected = {{"B", "A::B"}, {"D.E", "C:D.E"}};
  EXPECT_EQ(LoadTagListFile("::", log_), expected);
}

TEST_F(TagListFile, MissingFileIsReportedWithItsReason) {
  EXPECT_TRUE(LoadTagListFile(".", log_).empty());
  const std::vector<LogEntry> log = Entries();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0], (LogEntry{"Error", "Could not open tag file (" + TagListFilePath() +
                                           "). The file does not exist."}));
}

TEST_F(TagListFile, LinesAreReadWholeAndByLength) {
  // A NUL byte neither ends a line nor glues the next one to it.
  const std::string id = "Plant." + std::string(10000, 'x') + std::string("\0y", 2);
  Write(id + "\nNext\nPlant.\n");
  const std::vector<TagListEntry> entries = LoadTagListFile(".", log_);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].itemId, id);
  EXPECT_EQ(entries[1].name, "Next");
  EXPECT_EQ(Entries().back(),
            (LogEntry{"Warning", "Empty name found in tag file, line 3. Skipping that line."}));
}

}  // namespace
}  // namespace krelta
