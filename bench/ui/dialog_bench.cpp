// The configuration dialogs with thousands of branches and servers: how long filling each tree,
// a cascading click and OK take (printed; the README keeps the figures). Needs a display and the
// registered simulator (scripts/bench.sh starts both).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>

#include "config/connection_settings.h"
#include "discovery/server_enumeration.h"
#include "opc_da_constants.h"
#include "support/simulator_session.h"
#include "ui/datasource_dialog.h"
#include "ui/nodes_dialog.h"
#include "ui/resource_ids.h"
#include "ui/dialog_driver.h"

namespace krelta {
namespace {

using namespace krelta::testing;
using Clock = std::chrono::steady_clock;

double MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

class Thousands : public SimulatorSuite {
  ScriptedMessages messages_;
};

TEST_F(Thousands, OfBranchesFillTheNodeTreeAndCascade) {
  constexpr int kAreas = 50, kLines = 100;
  auto tree = std::make_unique<BrowseTree>();
  BrowseNode& top = tree->AddTop();
  BrowseNode& plant = tree->Add(top, 1, {false, "Plant", "Plant"});
  std::uint64_t number = 2;
  std::vector<NodeEntry> stored;
  for (int a = 0; a < kAreas; ++a) {
    const std::string area = "Area" + std::to_string(a);
    BrowseNode& areaNode = tree->Add(plant, number++, {false, area, "Plant." + area});
    for (int l = 0; l < kLines; ++l) {
      const std::string line = "Line" + std::to_string(l);
      tree->Add(areaNode, number++, {false, line, "Plant." + area + "." + line});
      if (l % 10 == 0) stored.push_back({"Plant." + area + "." + line, "Plant." + area + "." + line});
    }
  }
  ui::COPCNodesDlg nodes(".");
  nodes.HandOver(stored, std::move(tree));
  const auto start = Clock::now();
  WithDriver([&] { return nodes.RunModal(); }, [&] {
    HWND window = WaitForDialog(L"Select Nodes");
    const double filled = MillisecondsSince(start);
    HWND nodeTree = ::GetDlgItem(window, IDC_NODE_TREE);
    EXPECT_EQ(TreeView_GetCount(nodeTree), static_cast<UINT>(1 + kAreas + kAreas * kLines));
    EXPECT_TRUE(Checked(nodeTree, FindItem(nodeTree, {L"Plant", L"Area7", L"Line30"})));
    HTREEITEM plantItem = FindItem(nodeTree, {L"Plant"});
    const auto clicked = Clock::now();
    ClickCheckBox(nodeTree, plantItem);
    const double cascaded = MillisecondsSince(clicked);
    EXPECT_TRUE(Checked(nodeTree, FindItem(nodeTree, {L"Plant", L"Area49", L"Line99"})));
    std::printf("node dialog: %d branches shown in %.0f ms, a click on the top branch set them all in %.0f ms\n",
                1 + kAreas + kAreas * kLines, filled, cascaded);
    const auto collected = Clock::now();
    Press(window, IDOK);
    WaitGone(window);
    std::printf("node dialog: OK collected the checked branches in %.0f ms\n", MillisecondsSince(collected));
  });
  EXPECT_EQ(nodes.Nodes().size(), static_cast<size_t>(1 + kAreas + kAreas * kLines));
}

TEST_F(Thousands, OfServersFillTheServerTree) {
  constexpr LONG kServers = 3000;
  Control()->SetFault(SIM_FAULT_SERVERLIST_EXTRA_CLASSES, kServers);
  const auto enumerated = Clock::now();
  const std::size_t found = EnumerateServers("", nullptr).size();
  std::printf("server tree: enumerating %zu servers alone takes %.0f ms\n", found, MillisecondsSince(enumerated));
  ConnectionSettings settings("Bad");
  ui::CNewEditDatasourceDlg dialog(".", settings);
  WithDriver([&] { return dialog.RunModal(); }, [&] {
    HWND window = WaitForDialog(L"Create Connection to Data Source");
    HWND tree = ::GetDlgItem(window, IDC_SERVER_TREE);
    HTREEITEM local = FindItem(tree, {L"Local host"});
    const auto start = Clock::now();
    Expand(tree, local);
    const double filled = MillisecondsSince(start);
    const std::size_t listed = Children(tree, local).size();
    EXPECT_EQ(listed, static_cast<std::size_t>(kServers) + 2);
    // Still answering: a message round trip right after the fill.
    const auto ping = Clock::now();
    ::SendMessageW(window, WM_NULL, 0, 0);
    std::printf("server tree: %zu servers enumerated and shown in %.0f ms; the dialog answered %.1f ms later\n",
                listed, filled, MillisecondsSince(ping));
    Press(window, IDCANCEL);
    WaitGone(window);
  });
}

}  // namespace
}  // namespace krelta
