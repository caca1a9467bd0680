// Connections against the simulator: the tree built by browsing a Data Access 2 server and the
// branch walk of the configuration dialog. A Data Access 3 tree with an array node: krelta-host's
// test; paging and browse failures: the browse tests.
#include "model/connection.h"

#include <gtest/gtest.h>

#include "log/log_file.h"
#include "opcda/browse.h"
#include "opcda/opc_da_proxy.h"
#include "support/simulator_session.h"
#include "support/test_folder.h"
#include "util/exception.h"

namespace krelta {
namespace {

using testing::TestAppDataFolder;

// Three top-level branches, the first with two sub-branches; items at every level.
constexpr const wchar_t kPlantSpace[] =
    L"branch Area1\n"
    L"item A1 R8 1\n"
    L"branch Area1.Line1\n"
    L"item L1a R8 2\n"
    L"item L1b I4 3\n"
    L"branch Area1.Line2\n"
    L"item L2 R8 4\n"
    L"branch Area2\n"
    L"item A2 I4 5\n"
    L"item Profile R4[] 1;2;3\n"
    L"branch Area3\n"
    L"item A3 BOOL true\n";

class ConnectionToSimulator : public testing::SimulatorSuite {
 protected:
  void SetUp() override {
    SimulatorSuite::SetUp();
    Load(kPlantSpace);
    CreateDirectoryPath(folder_.DataFolder());
  }

  // Writes the configuration of connection string "plant".
  void Configure(const std::string& url, std::vector<NodeEntry> nodes) {
    ConnectionSettings settings("plant");
    settings.SetUrl(url);
    settings.SetNodes(std::move(nodes));
    ASSERT_TRUE(settings.WriteConfiguration());
  }
  static std::vector<std::string> TagNames(const Node& node) {
    std::vector<std::string> names;
    for (const auto& tag : node.Tags()) names.push_back(tag->Name());
    return names;
  }

  TestAppDataFolder folder_;
};

TEST_F(ConnectionToSimulator, DataAccess2TreeFindsTheBranchByItsPathOfNames) {
  Configure(testing::kSimulatorDA2Url, {{"ignored", "Area1.Line1"}, {"top", ""}});
  Connection connection("plant");
  const Node& root = *connection.TopNodes()[0];
  EXPECT_EQ(root.Name(), "OpcDAKrelta.SimulatorDA2.1");
  const Node& line1 = *root.Nodes()[0];
  EXPECT_EQ(TagNames(line1), (std::vector<std::string>{"L1a", "L1b"}));
  EXPECT_EQ(line1.Tags()[1]->GetItemId(), "Area1.Line1.L1b");
  // An empty display path lists the leaves at the top: there are none here.
  EXPECT_TRUE(root.Nodes()[1]->Tags().empty());
}

std::vector<std::string> Walk(const BrowseTree& tree) {
  std::vector<std::string> lines;
  for (const auto& [number, node] : tree.Nodes()) {
    if (node.get() == tree.Top()) continue;
    lines.push_back(std::to_string(number) + " " + std::to_string(node->level) + " " +
                    node->record.name + " " + node->record.itemId + " <" +
                    node->parent->record.name);
  }
  return lines;
}

TEST_F(ConnectionToSimulator, BranchWalkNumbersBranchesDepthFirst) {
  OPCServerInfo da3{L"", L"", L"", OPCURL(testing::kSimulatorDA3Url)};
  bool noBranches = false, browseError = false;
  auto tree = BrowseServerBranches(da3, noBranches, browseError);
  ASSERT_NE(tree->Top(), nullptr);
  EXPECT_EQ(tree->Top()->record.name, "root");
  EXPECT_EQ(Walk(*tree), (std::vector<std::string>{
                             "1 2 Area1 Area1 <root", "2 3 Line1 Area1.Line1 <Area1",
                             "3 3 Line2 Area1.Line2 <Area1", "4 2 Area2 Area2 <root",
                             "5 2 Area3 Area3 <root"}));
  EXPECT_FALSE(noBranches);
  EXPECT_FALSE(browseError);

  // Data Access 2 nodes carry the short browse name as their item ID.
  OPCServerInfo da2{L"", L"", L"", OPCURL(testing::kSimulatorDA2Url)};
  tree = BrowseServerBranches(da2, noBranches, browseError);
  EXPECT_EQ(Walk(*tree), (std::vector<std::string>{
                             "1 2 Area1 Area1 <root", "2 3 Line1 Line1 <Area1",
                             "3 3 Line2 Line2 <Area1", "4 2 Area2 Area2 <root",
                             "5 2 Area3 Area3 <root"}));

  Load(L"item Lonely R8 1\n");
  tree = BrowseServerBranches(da2, noBranches, browseError);
  EXPECT_TRUE(noBranches);
  EXPECT_TRUE(tree->Top()->children.empty());
}

TEST_F(ConnectionToSimulator, BranchWalkOfAnUnknownServerThrows) {
  OPCServerInfo nobody{L"", L"", L"", OPCURL("opcda://localhost/N/{00000000-1111-2222-3333-444444444444}")};
  bool noBranches = false, browseError = false;
  try {
    BrowseServerBranches(nobody, noBranches, browseError);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.message().rfind("NvCreateInstanceEx failed: ", 0), 0u) << e.message();
  }
}

}  // namespace
}  // namespace krelta
