// Building the node and tag tree from the configuration, with a scripted server listing.
#include "model/nodes.h"

#include <gtest/gtest.h>

#include <map>

#include "config/connection_settings.h"
#include "config/tag_list_file.h"
#include "log/log_file.h"
#include "support/log_entries.h"
#include "util/exception.h"

namespace krelta {
namespace {

using testing::HasEntry;
using testing::LogEntry;
using testing::ReadLogEntries;
using testing::TestAppDataFolder;
using testing::WriteFileBytes;

class ScriptedContext : public TreeContext {
 public:
  ScriptedContext() : settings_("tree") {}
  const ConnectionSettings& Settings() const override { return settings_; }
  LogFile& Log() override { return settings_.Log(); }
  std::vector<BrowsedItem> GetItems(const std::string& itemId, const std::string& path) override {
    requests.push_back(itemId + "|" + path);
    if (itemId == "Broken") throw Exception("Could not create the OPC browser: Error (0x80004005)");
    return branches[itemId];
  }
  void ReadCurrentData(ValueMatrix&, const std::vector<NodeGroupEntry>&) override {}
  void WriteData(const std::vector<NodeGroupEntry>&, std::int64_t, std::int64_t,
                 const std::vector<ValueVector*>&) override {}

  ConnectionSettings settings_;
  std::map<std::string, std::vector<BrowsedItem>> branches;
  std::vector<std::string> requests;
};

class Tree : public ::testing::Test {
 protected:
  void SetUp() override { CreateDirectoryPath(folder_.DataFolder()); }
  std::vector<LogEntry> Log() { return ReadLogEntries(context_.Log().Path()); }
  std::unique_ptr<Node> Root(const std::string& url = "opcda://localhost/Sim.Server.1/{DE186CF8-2426-4039-ACAB-729B0908B909}") {
    return Node::MakeRoot(context_, OPCURL(url), url);
  }

  TestAppDataFolder folder_;
  ScriptedContext context_;
};

TEST_F(Tree, RootIsNamedAfterTheServerAndHoldsOneNodePerEntry) {
  context_.settings_.SetNodes({{"Plant.Line1", "Plant.Line1"}, {"Plant.Line2", "Plant/Line2"}});
  context_.branches["Plant.Line1"] = {{"Temperature", "Plant.Line1.Temperature"}};
  const auto root = Root();
  EXPECT_EQ(root->Name(), "Sim.Server.1");
  EXPECT_EQ(root->Path(), "opcda://localhost/Sim.Server.1/{DE186CF8-2426-4039-ACAB-729B0908B909}");
  EXPECT_TRUE(root->Tags().empty());
  ASSERT_EQ(root->Nodes().size(), 2u);
  EXPECT_EQ(root->Nodes()[0]->Name(), "Plant.Line1");
  EXPECT_EQ(root->Nodes()[1]->Path(), "Plant/Line2");
  ASSERT_EQ(root->Nodes()[0]->Tags().size(), 1u);
  EXPECT_EQ(root->Nodes()[0]->Tags()[0]->Name(), "Temperature");
  EXPECT_EQ(root->Nodes()[0]->Tags()[0]->GetItemId(), "Plant.Line1.Temperature");
  EXPECT_EQ(context_.requests, (std::vector<std::string>{"Plant.Line1|Plant.Line1", "Plant.Line2|Plant/Line2"}));

  EXPECT_EQ(RootNodeName(OPCURL("opcda://host/JustAProgId")), "JustAProgId");
}

TEST_F(Tree, ArrayItemsBecomeArrayNodesUnlessBatchIdsAreConfigured) {
  ArrayNodeConfig array;
  array.tag = "Plant.Profile";
  array.size = 3;
  array.names = {"p1", "p2", "p3"};
  context_.settings_.SetArrayNodes({array});
  context_.settings_.SetNodes({{"Plant", "Plant"}});
  context_.branches["Plant"] = {{"Level", "Plant.Level"}, {"Profile", "Plant.Profile"},
                                {"BatchID_Current", "Plant.BatchID_Current"}};

  auto root = Root();
  const Node& plant = *root->Nodes()[0];
  ASSERT_EQ(plant.Tags().size(), 2u);
  ASSERT_EQ(plant.Nodes().size(), 1u);
  const Node& profile = *plant.Nodes()[0];
  EXPECT_EQ(profile.Name(), "Profile");
  EXPECT_EQ(profile.Path(), "Plant.Profile");
  ASSERT_EQ(profile.Tags().size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    const Tag& element = *profile.Tags()[i];
    EXPECT_TRUE(element.IsArray());
    EXPECT_EQ(static_cast<const ArrayTag&>(element).Index(), i);
    EXPECT_EQ(element.GetItemId(), "Plant.Profile");
    EXPECT_FALSE(element.IsBatchIdTag());
  }
  EXPECT_FALSE(plant.Tags()[1]->IsBatchIdTag());
  EXPECT_TRUE(HasEntry(Log(), "Information", "Added array node Plant.Profile with 3 tags."));

  context_.settings_.SetBatchId("BatchID");
  root = Root();
  const Node& batchPlant = *root->Nodes()[0];
  EXPECT_TRUE(batchPlant.Nodes().empty());
  ASSERT_EQ(batchPlant.Tags().size(), 3u);
  EXPECT_FALSE(batchPlant.Tags()[0]->IsBatchIdTag());
  EXPECT_FALSE(batchPlant.Tags()[1]->IsArray());
  EXPECT_TRUE(batchPlant.Tags()[2]->IsBatchIdTag());
}

TEST_F(Tree, AFailingListingIsLoggedAndTheNodeStays) {
  context_.settings_.SetNodes({{"Broken", "Broken"}, {"Plant", "Plant"}});
  context_.branches["Plant"] = {{"Level", "Plant.Level"}};
  const auto root = Root();
  ASSERT_EQ(root->Nodes().size(), 2u);
  EXPECT_TRUE(root->Nodes()[0]->Tags().empty());
  EXPECT_EQ(root->Nodes()[1]->Tags().size(), 1u);
  EXPECT_TRUE(HasEntry(Log(), "Error",
                       "krelta2_connectionOpen:Node: Operation Load Tags failed (Could not create "
                       "the OPC browser: Error (0x80004005))."));
}

TEST_F(Tree, WithoutBrowsingEveryNodeReadsTheTagListAndNoArrayNodeIsMade) {
  ASSERT_TRUE(WriteFileBytes(folder_.File(kTagListFileName), "Plant.Profile\nPlant.A.Level\n"));
  ArrayNodeConfig array;
  array.tag = "Plant.Profile";
  array.names = {"p1"};
  context_.settings_.SetArrayNodes({array});
  context_.settings_.SetBrowseSupported(false);
  context_.settings_.SetNodes({{"One", "One"}, {"Two", "Two"}});
  const auto root = Root();
  for (const auto& node : root->Nodes()) {
    ASSERT_EQ(node->Tags().size(), 2u);
    EXPECT_TRUE(node->Nodes().empty());
    EXPECT_EQ(node->Tags()[0]->Name(), "Profile");
    EXPECT_EQ(node->Tags()[1]->Name(), "Level");
  }
  EXPECT_TRUE(context_.requests.empty());
}

TEST_F(Tree, WithoutConfiguredNodesTheTagListIsNeverRead) {
  context_.settings_.SetBrowseSupported(false);
  const auto root = Root();
  EXPECT_TRUE(root->Nodes().empty());
  for (const LogEntry& e : Log()) EXPECT_EQ(e.message.find("tag file"), std::string::npos) << e;
}

TEST_F(Tree, UpdateTimesNeverGoBackAndArrayElementsShareTheirNodesTimeAndHandle) {
  Node plain(context_, "n", "n");
  Tag tag(plain, "t", "n.t", false);
  EXPECT_EQ(tag.GetUpdateTime(), 0);
  EXPECT_FALSE(tag.HasServerHandle());
  EXPECT_EQ(tag.SetUpdateTime(200), 0);
  EXPECT_EQ(tag.SetUpdateTime(100), 200);
  EXPECT_EQ(tag.GetUpdateTime(), 200);

  ArrayNode array(context_, "Profile", "Plant.Profile", {"a", "b"});
  const Tag& a = *array.Tags()[0];
  Tag& b = *array.Tags()[1];
  b.SetUpdateTime(50);
  EXPECT_EQ(a.GetUpdateTime(), 50);
  EXPECT_EQ(array.GetUpdateTime(), 50);
  b.SetServerHandle(7);
  EXPECT_TRUE(a.HasServerHandle());
  EXPECT_EQ(a.GetServerHandle(), 7u);
  EXPECT_EQ(array.GetServerHandle(), 7u);
  // A plain node's time is the clock's.
  EXPECT_GT(plain.GetUpdateTime(), 1700000000);
  EXPECT_FALSE(plain.HasServerHandle());
}

}  // namespace
}  // namespace krelta
