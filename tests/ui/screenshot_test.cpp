// Screenshots of the three dialogs (and the data-source dialog enlarged, to show the anchors)
// in one test, compared with the references in tests/ui/screenshots. KRELTA_UPDATE_SCREENSHOTS=1
// in the environment writes new references instead (check them by eye before committing).
#include <gtest/gtest.h>

#include <cstdio>

#include "config/connection_settings.h"
#include "dialog_driver.h"
#include "screenshot.h"
#include "support/simulator_session.h"
#include "support/test_folder.h"
#include "ui/credentials_dialog.h"
#include "ui/datasource_dialog.h"
#include "ui/nodes_dialog.h"
#include "ui/resource_ids.h"

#ifndef KRELTA_SCREENSHOT_REFERENCES
#error "the build names the reference folder"
#endif

namespace krelta {
namespace {

using namespace krelta::testing;

// Allowed share of pixels that differ from the reference: text and controls moving by a few
// pixels change far more.
constexpr double kTolerance = 0.005;

// Saves the dialog's picture beside the test program and compares it with its reference.
void Check(HWND window, const wchar_t* name) {
  ::SetCursorPos(0, 0);  // no tool tip, no hover
  ::RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  const std::wstring actual = std::wstring(name) + L".png";
  const std::wstring reference = L"" KRELTA_SCREENSHOT_REFERENCES L"\\" + actual;
  ASSERT_TRUE(SaveWindowPng(window, actual));
  wchar_t update[8] = L"";
  if (::GetEnvironmentVariableW(L"KRELTA_UPDATE_SCREENSHOTS", update, 8) > 0 && update[0] == L'1') {
    ASSERT_TRUE(SaveWindowPng(window, reference));
    return;
  }
  const double differing = DifferingShare(actual, reference);
  ASSERT_GE(differing, 0) << "no reference " << name;
  std::printf("%ls: %.4f%% of the pixels differ from the reference\n", name, 100 * differing);
  EXPECT_LE(differing, kTolerance) << name << ": the picture (or the dialog's size) changed, see " << name << ".png";
}

using Screenshots = SimulatorSuite;

// Plant > Line1, Line2, Utilities > Cell1, Cell2 each.
std::unique_ptr<BrowseTree> PlantTree() {
  auto tree = std::make_unique<BrowseTree>();
  BrowseNode& plant = tree->Add(tree->AddTop(), 1, {false, "Plant", "Plant"});
  std::uint64_t number = 2;
  for (const std::string line : {"Line1", "Line2", "Utilities"}) {
    BrowseNode& branch = tree->Add(plant, number++, {false, line, "Plant." + line});
    for (const char* cell : {"Cell1", "Cell2"}) tree->Add(branch, number++, {false, cell, "Plant." + line + "." + cell});
  }
  return tree;
}

TEST_F(Screenshots, EveryDialogLooksAsItsReference) {
  GdiPlus gdiPlus;
  TestAppDataFolder folder;
  CreateDirectoryPath(folder.DataFolder());
  ConnectionSettings settings("Screens");
  ui::CNewEditDatasourceDlg datasource(".", settings);
  ui::COPCCredentialsDlg credentials;
  credentials.user = "operator";
  credentials.password = "secret";
  credentials.domain = "PLANT";
  ui::COPCNodesDlg nodes(".");
  nodes.HandOver({{"Plant.Line1", "Plant.Line1"}, {"Plant.Line1.Cell2", "Plant.Line1.Cell2"}}, PlantTree());
  const struct {
    ui::Dialog& dialog;
    const wchar_t* caption;
    std::function<void(HWND)> show;
  } rows[] = {
      {datasource, L"Create Connection to Data Source", [&](HWND window) {
         HWND tree = ::GetDlgItem(window, IDC_SERVER_TREE);
         Expand(tree, FindItem(tree, {L"Local host"}));
         Select(tree, FindItem(tree, {L"Local host", L"OpcDAKrelta.Simulator"}));
         ::SetWindowTextW(::GetDlgItem(window, IDC_OTHER_SERVER), L"plant07");
         Check(window, L"datasource");
         RECT rect{};
         ::GetWindowRect(window, &rect);
         ::SetWindowPos(window, HWND_TOP, 20, 20, rect.right - rect.left + 240, rect.bottom - rect.top + 160, 0);
         Check(window, L"datasource-enlarged");
       }},
      {credentials, L"OPC Configuration", [&](HWND window) { Check(window, L"credentials"); }},
      {nodes, L"Select Nodes", [&](HWND window) {
         HWND tree = ::GetDlgItem(window, IDC_NODE_TREE);
         Expand(tree, FindItem(tree, {L"Plant"}));
         Expand(tree, FindItem(tree, {L"Plant", L"Line1"}));
         Check(window, L"nodes");
       }},
  };
  for (const auto& row : rows) {
    WithDialog(row.caption, [&] { return row.dialog.RunModal(); }, [&](HWND window) {
      ::SetWindowPos(window, HWND_TOP, 20, 20, 0, 0, SWP_NOSIZE);
      row.show(window);
      Press(window, IDCANCEL);
    });
  }
}

}  // namespace
}  // namespace krelta
