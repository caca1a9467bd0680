// Bad input to the configuration dialogs: odd host names, a configuration file that cannot be
// used, a save that cannot be written. Thousands of branches and servers: bench/ui.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "config/connection_settings.h"
#include "discovery/server_enumeration.h"
#include "dialog_driver.h"
#include "opc_da_constants.h"
#include "opcda/create_instance.h"
#include "platform/com/wide_text.h"
#include "support/simulator_session.h"
#include "support/test_folder.h"
#include "ui/datasource_dialog.h"
#include "ui/resource_ids.h"
#include "ui/save_configuration.h"

namespace krelta {
namespace {

using namespace krelta::testing;
class BadInput : public SimulatorSuite {
 protected:
  void SetUp() override {
    SimulatorSuite::SetUp();
    CreateDirectoryPath(folder_.DataFolder());
  }
  std::string ConfigurationFile() { return folder_.File("OPCDA_BadConfiguration.xml"); }

  TestAppDataFolder folder_;
  ScriptedMessages messages_;
};

// ---- Host names ----

std::vector<std::wstring> g_hosts;
HRESULT WINAPI RefusingHost(REFCLSID clsid, IUnknown*, DWORD, COSERVERINFO* info, DWORD, MULTI_QI*) {
  if (IsEqualCLSID(clsid, CLSID_OPCServerList)) {
    g_hosts.push_back(info != nullptr && info->pwszName != nullptr ? info->pwszName : L"");
    return E_ACCESSDENIED;
  }
  return REGDB_E_CLASSNOTREG;  // the probe: the host answers
}

TEST_F(BadInput, HostNamesWithBlanksNonAsciiLettersAndThreeHundredCharactersReachTheCallUnchanged) {
  const std::vector<std::wstring> names = {L"plant 07", L"Anlage-S\u00fcd-\u00c5", std::wstring(300, L'h')};
  const CreateInstanceExFunction previous = SetCreateInstanceExForTesting(&RefusingHost);
  g_hosts.clear();
  ConnectionSettings settings("Bad");
  ui::CNewEditDatasourceDlg dialog(".", settings);
  WithDriver([&] { return dialog.RunModal(); }, [&] {
    HWND window = WaitForDialog(L"Create Connection to Data Source");
    HWND tree = ::GetDlgItem(window, IDC_SERVER_TREE);
    for (const std::wstring& name : names) {
      ::SetWindowTextW(::GetDlgItem(window, IDC_OTHER_SERVER), name.c_str());
      Click(window, IDC_ADD_HOST);
      HTREEITEM host = FindItem(tree, {name.c_str()});
      ASSERT_NE(host, nullptr);
      Expand(tree, host);
      const std::vector<TreeItem> children = Children(tree, host);
      ASSERT_EQ(children.size(), 1u);
      EXPECT_EQ(children[0].image, 35);
      EXPECT_EQ(children[0].text, com::Utf8ToWide(SystemMessageText(E_ACCESSDENIED)));
    }
    Press(window, IDCANCEL);
    WaitGone(window);
  });
  SetCreateInstanceExForTesting(previous);
  EXPECT_EQ(g_hosts, names);
}

// ---- The configuration file ----

TEST_F(BadInput, UnusableConfigurationFileIsShownAndLeftAsItWas) {
  struct Row {
    const char* what;
    std::string bytes;
    const char* reason;
  } rows[] = {
      {"malformed", "<?xml version=\"1.0\" ?>\n<settings>\n    <setting key=\"URL\" value=\"x\" \n", "cannot be read"},
      {"odd number of node values",
       "<?xml version=\"1.0\" ?>\n<settings>\n    <nodes>\n        <setting key=\"Node_0_0\" value=\"a\" />\n"
       "        <setting key=\"Node_0_1\" value=\"b\" />\n        <setting key=\"Node_1_0\" value=\"c\" />\n"
       "    </nodes>\n</settings>\n",
       "Initialization of nodes: false number of node arguments"},
      {"nested too deep", [] {
         std::string deep = "<settings>";
         for (int i = 0; i < 300; ++i) deep += "<a>";
         return deep;
       }(), "cannot be read: nested deeper than 256 levels"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    ASSERT_TRUE(WriteFileBytes(ConfigurationFile(), row.bytes));
    const std::size_t before = messages_.Shown().size();
    // No dialog may appear; if one does, the driver's clean-up cancels it and the test fails.
    WithDriver([&] { ui::ConfigureDataSource("Bad"); return 0; },
               [] { std::this_thread::sleep_for(std::chrono::milliseconds(100)); });
    const std::vector<std::string> shown = messages_.Shown();
    ASSERT_EQ(shown.size(), before + 1);
    EXPECT_EQ(shown.back().rfind("An error occurred accessing the configuration file:\n\n", 0), 0u) << shown.back();
    EXPECT_NE(shown.back().find(row.reason), std::string::npos) << shown.back();
    EXPECT_EQ(messages_.Types().back(), static_cast<UINT>(MB_ICONERROR));
    EXPECT_EQ(ReadFileBytes(ConfigurationFile()), row.bytes);
  }
}

TEST_F(BadInput, SaveThatCannotBeWrittenSaysSoAndKeepsTheOldFile) {
  const std::string old = "<?xml version=\"1.0\" ?>\n<settings>\n    <setting key=\"URL\" value=\"opcda://localhost/X/{DE186CF8-2426-4039-ACAB-729B0908B909}\" />\n</settings>\n";
  ASSERT_TRUE(WriteFileBytes(ConfigurationFile(), old));
  ConnectionSettings settings("Bad");
  // A folder where the save's temporary file would go: the save cannot write it.
  std::filesystem::create_directories(settings.TemporarySavePath());
  com::Bstr error;
  ASSERT_EQ(Control()->LoadAddressSpace(L"item Alone R8 1\n", error.put()), S_OK);
  WithDriver([&] { ui::SaveConfiguration(settings); return 0; }, [&] {
    HWND window = WaitForDialog(L"Create Connection to Data Source");
    HWND tree = ::GetDlgItem(window, IDC_SERVER_TREE);
    Expand(tree, FindItem(tree, {L"Local host"}));
    Select(tree, FindItem(tree, {L"Local host", L"OpcDAKrelta.Simulator"}));
    Press(window, IDOK);
    WaitGone(window);
  });
  std::filesystem::remove_all(settings.TemporarySavePath());
  EXPECT_EQ(messages_.Shown(), std::vector<std::string>{"Failed to save configuration to " + settings.ConfigurationPath()});
  EXPECT_EQ(ReadFileBytes(ConfigurationFile()), old);
}

// A host name of the ANSI code page that cannot be converted and back unchanged is refused before
// the dialog shows it as another name. Two-byte code page 932 stands for any such code page.
TEST(AnsiText, TwoByteCharactersAreTextACutOneIsNot) {
  std::string host;
  for (int i = 0; i < 255; ++i) host += "\x93\xfa";  // one kanji, 255 times: 510 bytes
  const struct {
    const char* what;
    std::string text;
    unsigned codePage;
    bool ansi;
  } rows[] = {
      {"255 two-byte characters", host, 932, true},
      {"cut after the lead byte", host + "\x93", 932, false},
      {"lead byte before an invalid trail byte", "\x93\x0a", 932, false},
      {"Latin-1 letters", "Anlage-S\xfc" "d-\xc5", 1252, true},
      {"empty", "", 932, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    EXPECT_EQ(row.ansi, com::IsAnsiText(row.text, row.codePage));
  }
}

}  // namespace
}  // namespace krelta
