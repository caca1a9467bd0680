// Screenshots of the three dialogs (and the data-source dialog enlarged, to show the anchors),
// compared with the references in tests/ui/screenshots. KRELTA_UPDATE_SCREENSHOTS=1 in the
// environment writes new references instead (check them by eye before committing).
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

std::wstring Widen(const char* text) { return std::wstring(text, text + std::strlen(text)); }

class Screenshots : public SimulatorSuite {
 protected:
  // Saves the dialog's picture beside the test program and compares it with its reference.
  void Check(HWND window, const char* name) {
    ::SetCursorPos(0, 0);  // no tool tip, no hover
    ::RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    const std::wstring actual = Widen(name) + L".png";
    const std::wstring reference = Widen(KRELTA_SCREENSHOT_REFERENCES) + L"\\" + Widen(name) + L".png";
    ASSERT_TRUE(SaveWindowPng(window, actual));
    wchar_t update[8] = L"";
    if (::GetEnvironmentVariableW(L"KRELTA_UPDATE_SCREENSHOTS", update, 8) > 0 && update[0] == L'1') {
      ASSERT_TRUE(SaveWindowPng(window, reference));
      return;
    }
    const ImageDifference difference = CompareImages(actual, reference);
    ASSERT_TRUE(difference.loaded) << "no reference " << name;
    std::printf("%s: %.4f%% of the pixels differ from the reference\n", name, 100 * difference.differingShare);
    EXPECT_TRUE(difference.sameSize) << name << ": the dialog's size changed";
    EXPECT_LE(difference.differingShare, kTolerance) << name << ": the picture changed, see " << name << ".png";
  }
  GdiPlus gdiPlus_;
  TestAppDataFolder folder_;
};

TEST_F(Screenshots, DataSourceDialogNormalAndEnlarged) {
  CreateDirectoryPath(folder_.DataFolder());
  ConnectionSettings settings("Screens");
  ui::CNewEditDatasourceDlg dialog(".", settings);
  WithDriver([&] { return dialog.RunModal(); }, [&] {
    HWND window = WaitForDialog(L"Create Connection to Data Source");
    HWND tree = ::GetDlgItem(window, IDC_SERVER_TREE);
    Expand(tree, FindItem(tree, {L"Local host"}));
    Select(tree, FindItem(tree, {L"Local host", L"OpcDAKrelta.Simulator"}));
    ::SetWindowTextW(::GetDlgItem(window, IDC_OTHER_SERVER), L"plant07");
    ::SetWindowPos(window, HWND_TOP, 20, 20, 0, 0, SWP_NOSIZE);
    Check(window, "datasource");
    RECT rect{};
    ::GetWindowRect(window, &rect);
    ::SetWindowPos(window, HWND_TOP, 20, 20, rect.right - rect.left + 240, rect.bottom - rect.top + 160, 0);
    Check(window, "datasource-enlarged");
    Press(window, IDCANCEL);
    WaitGone(window);
  });
}

TEST_F(Screenshots, CredentialsDialog) {
  ui::COPCCredentialsDlg dialog;
  dialog.user = "operator";
  dialog.password = "secret";
  dialog.domain = "PLANT";
  WithDriver([&] { return dialog.RunModal(); }, [&] {
    HWND window = WaitForDialog(L"OPC Configuration");
    ::SetWindowPos(window, HWND_TOP, 20, 20, 0, 0, SWP_NOSIZE);
    Check(window, "credentials");
    Press(window, IDCANCEL);
    WaitGone(window);
  });
}

TEST_F(Screenshots, NodeDialog) {
  auto tree = std::make_unique<BrowseTree>();
  BrowseNode& top = tree->AddTop();
  BrowseNode& plant = tree->Add(top, 1, {false, "Plant", "Plant"});
  std::uint64_t number = 2;
  for (const char* line : {"Line1", "Line2", "Utilities"}) {
    BrowseNode& branch = tree->Add(plant, number++, {false, line, std::string("Plant.") + line});
    for (const char* cell : {"Cell1", "Cell2"}) {
      tree->Add(branch, number++, {false, cell, std::string("Plant.") + line + "." + cell});
    }
  }
  ui::COPCNodesDlg dialog(".");
  dialog.HandOver({{"Plant.Line1", "Plant.Line1"}, {"Plant.Line1.Cell2", "Plant.Line1.Cell2"}}, std::move(tree));
  WithDriver([&] { return dialog.RunModal(); }, [&] {
    HWND window = WaitForDialog(L"Select Nodes");
    HWND nodes = ::GetDlgItem(window, IDC_NODE_TREE);
    Expand(nodes, FindItem(nodes, {L"Plant"}));
    Expand(nodes, FindItem(nodes, {L"Plant", L"Line1"}));
    ::SetWindowPos(window, HWND_TOP, 20, 20, 0, 0, SWP_NOSIZE);
    Check(window, "nodes");
    Press(window, IDCANCEL);
    WaitGone(window);
  });
}

}  // namespace
}  // namespace krelta
