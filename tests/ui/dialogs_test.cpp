// The configuration dialogs in this process under Xvfb, driven with window messages from a
// second thread against the simulator: the data-source dialog with its server tree, the
// credentials dialog, the node dialog, SaveConfiguration writing the file, and bad input (odd
// host names, a configuration file that cannot be used, a save that cannot be written).
// Thousands of branches and servers: bench/ui.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <set>

#include "config/connection_settings.h"
#include "discovery/server_enumeration.h"
#include "opc_da_constants.h"
#include "opcda/create_instance.h"
#include "platform/com/wide_text.h"
#include "support/log_entries.h"
#include "support/simulator_session.h"
#include "support/test_folder.h"
#include "ui/credentials_dialog.h"
#include "ui/datasource_dialog.h"
#include "ui/nodes_dialog.h"
#include "ui/resource_ids.h"
#include "ui/save_configuration.h"
#include "dialog_driver.h"

namespace krelta {
namespace {

using namespace krelta::testing;
using ui::CNewEditDatasourceDlg;
using ui::COPCNodesDlg;

constexpr const wchar_t* kDataSourceCaption = L"Create Connection to Data Source";
constexpr const char* kSimulatorUrl = "opcda://localhost/OpcDAKrelta.Simulator/{DE186CF8-2426-4039-ACAB-729B0908B909}";

class Dialogs : public SimulatorSuite {
 protected:
  void SetUp() override {
    SimulatorSuite::SetUp();
    CreateDirectoryPath(folder_.DataFolder());
  }
  std::string ConfigurationFile() { return folder_.File("OPCDA_UiTestConfiguration.xml"); }
  // SaveConfiguration for the data source "UiTest", drive working its data-source dialog.
  void Save(ConnectionSettings& settings, const std::function<void(HWND dialog, HWND tree)>& drive) {
    WithDialog(kDataSourceCaption, [&] { ui::SaveConfiguration(settings); return 0; },
               [&](HWND dialog) { drive(dialog, ::GetDlgItem(dialog, IDC_SERVER_TREE)); });
  }
  static void SelectSimulator(HWND tree) {
    Expand(tree, FindItem(tree, {L"Local host"}));
    Select(tree, FindItem(tree, {L"Local host", L"OpcDAKrelta.Simulator"}));
  }

  TestAppDataFolder folder_;
  ScriptedMessages messages_;
};

// The credentials dialog of the selected host: checks the texts it shows (user, password,
// domain), types others and ends with button.
void EditCredentials(HWND dialog, std::vector<std::wstring> shown, std::vector<std::wstring> typed, int button) {
  Press(dialog, IDC_CREDENTIALS);
  HWND window = WaitForDialog(L"OPC Configuration");
  EXPECT_TRUE(::GetWindowLongW(::GetDlgItem(window, IDC_PASSWORD), GWL_STYLE) & ES_PASSWORD);
  const int ids[] = {IDC_USER, IDC_PASSWORD, IDC_DOMAIN};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(Text(::GetDlgItem(window, ids[i])), shown[i]);
    ::SetWindowTextW(::GetDlgItem(window, ids[i]), typed[i].c_str());
  }
  Press(window, button);
  WaitGone(window);
}

// The whole dialog round: OK writes the chosen nodes and the credentials (encrypted); reopened,
// everything is pre-filled and reselected, and Cancel anywhere changes nothing.
TEST_F(Dialogs, OkWritesTheChosenNodesAndEncryptedCredentialsThenReopeningPreFillsAndCancelKeepsAll) {
  const std::vector<std::wstring> none(3), typed = {L"operator", L"p\u00e4ss\u00ff", L"PLANT"};
  ConnectionSettings settings("UiTest");
  Save(settings, [&](HWND dialog, HWND tree) {
    EXPECT_EQ(Texts(Children(tree, TVI_ROOT)), (std::vector<std::wstring>{L"Local host", L"Local network"}));
    // Wine's network service lists no computers: no placeholder either.
    EXPECT_TRUE(Children(tree, FindItem(tree, {L"Local network"})).empty());
    for (const int id : {IDOK, IDC_CREDENTIALS, IDC_TEST_CONNECTIVITY}) EXPECT_FALSE(Enabled(dialog, id)) << id;
    // A host typed by hand, with credentials for it.
    ::SetWindowTextW(::GetDlgItem(dialog, IDC_OTHER_SERVER), L"localhost");
    Click(dialog, IDC_ADD_HOST);
    HTREEITEM host = FindItem(tree, {L"localhost"});
    ASSERT_NE(host, nullptr);
    Select(tree, host);
    EXPECT_TRUE(Enabled(dialog, IDC_CREDENTIALS));
    EXPECT_FALSE(Enabled(dialog, IDOK));
    EditCredentials(dialog, none, typed, IDOK);

    Expand(tree, host);
    HTREEITEM server = FindItem(tree, {L"localhost", L"OpcDAKrelta.Simulator"});
    ASSERT_NE(server, nullptr);
    Select(tree, server);
    EXPECT_TRUE(Enabled(dialog, IDOK));
    EXPECT_TRUE(Enabled(dialog, IDC_TEST_CONNECTIVITY));
    EXPECT_FALSE(Enabled(dialog, IDC_CREDENTIALS));
    Click(dialog, IDC_TEST_CONNECTIVITY);
    Press(dialog, IDOK);

    HWND nodes = WaitForDialog(L"Select Nodes");
    HWND nodeTree = ::GetDlgItem(nodes, IDC_NODE_TREE);
    HTREEITEM line1 = FindItem(nodeTree, {L"Plant", L"Line1"});
    ASSERT_NE(line1, nullptr);
    EXPECT_EQ(ReadItem(nodeTree, line1).image, 9);
    SetChecked(nodeTree, line1, true);
    SetChecked(nodeTree, FindItem(nodeTree, {L"Plant", L"Utilities"}), true);
    Press(nodes, IDOK);
  });
  const std::vector<std::string> shown = {"Test Successful!", "Saved configuration to " + settings.ConfigurationPath()};
  EXPECT_EQ(messages_.Shown(), shown);
  const std::string bytes = ReadFileBytes(ConfigurationFile());
  EXPECT_EQ(bytes.find("operator"), std::string::npos) << "credentials stored in clear";
  ConnectionSettings saved("UiTest");
  EXPECT_EQ(saved.GetCredentials().user, "operator");
  EXPECT_EQ(saved.GetCredentials().password, "p\xe4ss\xff");
  EXPECT_EQ(saved.GetCredentials().domain, "PLANT");
  EXPECT_EQ(saved.Url(), kSimulatorUrl);
  EXPECT_EQ(saved.Nodes(), (std::vector<NodeEntry>{{"Plant.Line1", "Plant.Line1"}, {"Plant.Utilities", "Plant.Utilities"}}));

  // Reopened: the configured host is listed and populated, its server selected, its credentials
  // and the stored branches shown; Cancel in the credentials, node and data-source dialogs
  // changes nothing.
  Save(saved, [&](HWND dialog, HWND tree) {
    EXPECT_EQ(Texts(Children(tree, TVI_ROOT)),
              (std::vector<std::wstring>{L"Local host", L"Local network", L"localhost"}));
    const HTREEITEM selected = TreeView_GetSelection(tree);
    ASSERT_NE(selected, nullptr);
    EXPECT_EQ(ReadItem(tree, selected).text, L"OpcDAKrelta.Simulator");
    EXPECT_EQ(ReadItem(tree, TreeView_GetParent(tree, selected)).text, L"localhost");
    EXPECT_TRUE(Enabled(dialog, IDOK));
    Select(tree, TreeView_GetParent(tree, selected));
    EditCredentials(dialog, typed, none, IDCANCEL);
    EditCredentials(dialog, typed, typed, IDCANCEL);
    Select(tree, selected);
    Press(dialog, IDOK);
    HWND nodes = WaitForDialog(L"Select Nodes");
    HWND nodeTree = ::GetDlgItem(nodes, IDC_NODE_TREE);
    EXPECT_FALSE(Checked(nodeTree, FindItem(nodeTree, {L"Plant"})));
    EXPECT_TRUE(Checked(nodeTree, FindItem(nodeTree, {L"Plant", L"Line1"})));
    EXPECT_FALSE(Checked(nodeTree, FindItem(nodeTree, {L"Plant", L"Line2"})));
    EXPECT_TRUE(Checked(nodeTree, FindItem(nodeTree, {L"Plant", L"Utilities"})));
    Press(nodes, IDCANCEL);
    WaitGone(nodes);
    EXPECT_TRUE(::IsWindowVisible(dialog)) << "Cancel in the node dialog ends the data-source dialog";
    Press(dialog, IDCANCEL);
  });
  EXPECT_EQ(ReadFileBytes(ConfigurationFile()), bytes);
  EXPECT_EQ(messages_.Shown(), shown);
}

// A server without branches is saved as the single pair ("OPC", "") without the node dialog; a
// save that cannot be written says so and keeps the old file.
TEST_F(Dialogs, ServerWithoutBranchesSavesTheSinglePairOrSaysTheSaveFailed) {
  com::Bstr error;
  ASSERT_EQ(Control()->LoadAddressSpace(L"item Alone R8 1\n", error.put()), S_OK);
  const std::string oldUrl = "opcda://plant07/X", old = "<settings><setting key=\"URL\" value=\"" + oldUrl + "\"/></settings>";
  for (const bool writable : {true, false}) {
    SCOPED_TRACE(writable);
    ASSERT_TRUE(WriteFileBytes(ConfigurationFile(), old));
    ConnectionSettings settings("UiTest");
    // A folder where the save's temporary file would go: the save cannot write it.
    if (!writable) std::filesystem::create_directories(settings.TemporarySavePath());
    ScriptedMessages messages;
    Save(settings, [&](HWND dialog, HWND tree) {
      SelectSimulator(tree);
      Press(dialog, IDOK);
    });
    std::filesystem::remove_all(settings.TemporarySavePath());
    EXPECT_EQ(messages.Shown(), std::vector<std::string>{(writable ? "Saved" : "Failed to save") +
                                                         std::string(" configuration to ") +
                                                         settings.ConfigurationPath()});
    const ConnectionSettings saved("UiTest");
    EXPECT_EQ(saved.Url(), writable ? kSimulatorUrl : oldUrl);
    EXPECT_EQ(saved.Nodes(), (writable ? std::vector<NodeEntry>{{"OPC", ""}} : std::vector<NodeEntry>{}));
    if (!writable) {
      EXPECT_EQ(ReadFileBytes(ConfigurationFile()), old);
    }
  }
}

// What a handler throws is logged as an Error and ends the dialog as Cancel: nothing is written,
// even when the failing handler ran while the node dialog was open and OK is pressed there.
TEST_F(Dialogs, AHandlerThatThrowsEndsTheDialogAsCancelAndNothingIsWritten) {
  const struct {
    void (*thrower)();
    const char* logged;
  } rows[] = {
      {[] { throw std::runtime_error("a handler failed"); }, "Configuration dialog: a handler failed"},
      {[] { throw 42; }, "Configuration dialog: unknown failure."},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.logged);
    platform::SetMessageBoxForTesting([&](HWND, const std::string& text, const std::string&, UINT) {
      if (text == "Test Successful!") row.thrower();
      return IDOK;
    });
    ConnectionSettings settings("UiTest");
    Save(settings, [&](HWND dialog, HWND tree) {
      SelectSimulator(tree);
      Press(dialog, IDOK);
      HWND nodes = WaitForDialog(L"Select Nodes");
      Click(dialog, IDC_TEST_CONNECTIVITY);  // its message box throws
      EXPECT_FALSE(::IsWindowVisible(dialog)) << "the dialog goes on";
      SetChecked(::GetDlgItem(nodes, IDC_NODE_TREE), FindItem(::GetDlgItem(nodes, IDC_NODE_TREE), {L"Plant"}), true);
      Press(nodes, IDOK);
    });
    EXPECT_FALSE(platform::PathExists(ConfigurationFile()));
    EXPECT_TRUE(HasEntry(ReadLogEntries(folder_.File("OPCDAKreltaLog.log")), "Error", row.logged));
  }
}

TEST_F(Dialogs, LocalHostGroupsServersAndRefusesOneWithoutDataAccess2Or3) {
  Control()->SetFault(SIM_FAULT_SERVERLIST_TEST_CLASSES, 1);
  ConnectionSettings settings("UiTest");
  CNewEditDatasourceDlg dialog(".", settings);
  const INT_PTR result = WithDialog(kDataSourceCaption, [&] { return dialog.RunModal(); }, [&](HWND window) {
    HWND tree = ::GetDlgItem(window, IDC_SERVER_TREE);
    HTREEITEM local = FindItem(tree, {L"Local host"});
    Expand(tree, local);
    const std::vector<TreeItem> servers = Children(tree, local);
    ASSERT_GE(servers.size(), 5u);
    // Data Access 2/3 servers (image 7) before all others (image 29).
    std::vector<int> images;
    for (const TreeItem& s : servers) images.push_back(s.image == 7 || s.image == 29 ? s.image : -1);
    EXPECT_TRUE(std::is_sorted(images.begin(), images.end()) && images.front() == 7) << ::testing::PrintToString(images);
    HTREEITEM da1 = FindItem(tree, {L"Local host", L"OpcDAKrelta.TestDA1.1"});
    ASSERT_NE(da1, nullptr);
    EXPECT_EQ(ReadItem(tree, da1).image, 29);
    EXPECT_EQ(ReadItem(tree, FindItem(tree, {L"Local host", L"OpcDAKrelta.TestAE.1"})).image, 29);
    EXPECT_EQ(ReadItem(tree, FindItem(tree, {L"Local host", L"OpcDAKrelta.SimulatorDA2"})).image, 7);
    // The tool tip of a server row: its name and one line per specification.
    RECT row{};
    TreeView_GetItemRect(tree, FindItem(tree, {L"Local host", L"OpcDAKrelta.Simulator"}), &row, TRUE);
    ::SendMessageW(tree, WM_MOUSEMOVE, 0, MAKELPARAM(row.left + 2, (row.top + row.bottom) / 2));
    HWND tip = nullptr;
    for (HWND w = ::FindWindowExW(nullptr, nullptr, TOOLTIPS_CLASSW, nullptr); w != nullptr;
         w = ::FindWindowExW(nullptr, w, TOOLTIPS_CLASSW, nullptr)) {
      if (::GetWindow(w, GW_OWNER) == window || ::GetWindow(w, GW_OWNER) == tree) tip = w;
    }
    ASSERT_NE(tip, nullptr);
    wchar_t tipText[512] = L"";
    TTTOOLINFOW tool{sizeof(TTTOOLINFOW), 0, tree, 1, {}, nullptr, tipText, 0, nullptr};
    ::SendMessageW(tip, TTM_GETTEXTW, 512, reinterpret_cast<LPARAM>(&tool));
    EXPECT_STREQ(tipText, L"OpcDAKrelta Simulator (DA 3.00)\nData Access 2.XX Server\nData Access 3.00 Server");

    Select(tree, da1);
    EXPECT_FALSE(Enabled(window, IDOK));
    // A double click runs the OK processing for any server item.
    NMHDR click{tree, IDC_SERVER_TREE, static_cast<UINT>(NM_DBLCLK)};
    ::SendMessageW(window, WM_NOTIFY, IDC_SERVER_TREE, reinterpret_cast<LPARAM>(&click));
    Select(tree, local);
    ::SendMessageW(window, WM_COMMAND, IDOK, 0);
    EXPECT_TRUE(::IsWindowVisible(window));
    Press(window, IDCANCEL);
  });
  EXPECT_EQ(result, IDCANCEL);
  EXPECT_EQ(messages_.Shown(), (std::vector<std::string>{"No valid OPC DA server is selected",
                                                         "No valid OPC server is selected"}));
  EXPECT_EQ(messages_.Types(), (std::vector<UINT>{MB_ICONEXCLAMATION, MB_ICONEXCLAMATION}));
}

// A category that cannot be enumerated shows its message box while the host is half populated.
// Windows disables a box's owner while it is shown; a dialog left enabled takes the user's second
// expansion of the same host, which populated it again inside the first (every server listed
// twice, the placeholder deleted twice). The double below acts as Windows does.
TEST_F(Dialogs, CategoryFailureBoxIsOwnedByTheDialogSoNoSecondPopulationRunsInsideIt) {
  // The third category fails after the first two found the test-only Alarms and Events server.
  Control()->SetFault(SIM_FAULT_SERVERLIST_TEST_CLASSES, 1);
  Control()->SetFault(SIM_FAULT_SERVERLIST_FAIL_CATEGORY, static_cast<LONG>(0x843DE67B));
  ConnectionSettings settings("UiTest");
  CNewEditDatasourceDlg dialog(".", settings);
  std::vector<HWND> owners;
  platform::SetMessageBoxForTesting([&](HWND owner, const std::string&, const std::string&, UINT) {
    owners.push_back(owner);
    if (owner != nullptr) ::EnableWindow(owner, FALSE);
    if (owners.size() == 1 && ::IsWindowEnabled(dialog.Window())) {
      HWND tree = ::GetDlgItem(dialog.Window(), IDC_SERVER_TREE);
      NMTREEVIEWW expanding{};
      expanding.hdr = {tree, IDC_SERVER_TREE, static_cast<UINT>(TVN_ITEMEXPANDINGW)};
      expanding.action = TVE_EXPAND;
      expanding.itemNew.hItem = TreeView_GetRoot(tree);
      ::SendMessageW(dialog.Window(), WM_NOTIFY, IDC_SERVER_TREE, reinterpret_cast<LPARAM>(&expanding));
    }
    if (owner != nullptr) ::EnableWindow(owner, TRUE);
    return IDOK;
  });
  WithDialog(kDataSourceCaption, [&] { return dialog.RunModal(); }, [&](HWND window) {
    HWND tree = ::GetDlgItem(window, IDC_SERVER_TREE);
    HTREEITEM local = FindItem(tree, {L"Local host"});
    Expand(tree, local);
    const std::vector<std::wstring> servers = Texts(Children(tree, local));
    EXPECT_FALSE(servers.empty());
    EXPECT_EQ(std::set<std::wstring>(servers.begin(), servers.end()).size(), servers.size()) << "a server listed twice";
    Press(window, IDCANCEL);
  });
  EXPECT_EQ(owners, std::vector<HWND>{dialog.Window()});
}

// A configuration file that cannot be used is shown in a box (no dialog) and left as it was.
TEST_F(Dialogs, UnusableConfigurationFileIsShownAndLeftAsItWas) {
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
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    ASSERT_TRUE(WriteFileBytes(ConfigurationFile(), row.bytes));
    ScriptedMessages messages;
    // No dialog may appear; if one does, the driver's clean-up cancels it and the test fails.
    WithDriver([&] { ui::ConfigureDataSource("UiTest"); return 0; }, [] {});
    ASSERT_EQ(messages.Shown().size(), 1u);
    const std::string shown = messages.Shown()[0];
    EXPECT_EQ(shown.rfind("An error occurred accessing the configuration file:\n\n", 0), 0u) << shown;
    EXPECT_NE(shown.find(row.reason), std::string::npos) << shown;
    EXPECT_EQ(messages.Types(), std::vector<UINT>{MB_ICONERROR});
    EXPECT_EQ(ReadFileBytes(ConfigurationFile()), row.bytes);
  }
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
      {"UTF-8 as the code page", "Anlage-S\xc3\xbc" "d", CP_UTF8, true},
      {"empty", "", 932, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    EXPECT_EQ(row.ansi, com::IsAnsiText(row.text, row.codePage));
  }
}

// ---- Hosts typed by hand, through the creation seam ----

// "plant07" does not answer within the probe's time limit; every other host answers the probe
// and refuses its server list.
std::atomic<int> g_probes{0};
std::vector<std::wstring> g_serverListHosts;
HRESULT WINAPI TypedHosts(REFCLSID clsid, IUnknown*, DWORD, COSERVERINFO* info, DWORD, MULTI_QI*) {
  const std::wstring host = info != nullptr && info->pwszName != nullptr ? info->pwszName : L"";
  if (host == L"plant07") {
    ++g_probes;
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    return HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE);
  }
  if (!IsEqualCLSID(clsid, CLSID_OPCServerList)) return REGDB_E_CLASSNOTREG;  // the probe: the host answers
  g_serverListHosts.push_back(host);
  return E_ACCESSDENIED;
}

// Names with blanks, non-ASCII letters and 300 characters reach the call unchanged; a host that
// fails shows its error item, and expanding it again retries.
TEST_F(Dialogs, TypedHostsReachTheCallUnchangedAndAFailingOneShowsItsErrorItemUntilExpandedAgain) {
  const std::vector<std::wstring> refusing = {L"plant 07", L"Anlage-S\u00fcd-\u00c5", std::wstring(300, L'h')};
  const CreateInstanceExFunction previous = SetCreateInstanceExForTesting(&TypedHosts);
  g_probes = 0;
  g_serverListHosts.clear();
  ConnectionSettings settings("UiTest");
  CNewEditDatasourceDlg dialog(".", settings);
  dialog.SetPingLimit(200);
  WithDialog(kDataSourceCaption, [&] { return dialog.RunModal(); }, [&](HWND window) {
    HWND tree = ::GetDlgItem(window, IDC_SERVER_TREE);
    for (const std::wstring& name : {std::wstring(L"plant07"), refusing[0], refusing[1], refusing[2]}) {
      SCOPED_TRACE(com::WideToUtf8(name));
      ::SetWindowTextW(::GetDlgItem(window, IDC_OTHER_SERVER), name.c_str());
      Click(window, IDC_ADD_HOST);
      HTREEITEM host = FindItem(tree, {name.c_str()});
      ASSERT_NE(host, nullptr);
      Expand(tree, host);  // bounded by the probe's time limit (the creation tests time it)
      const std::vector<TreeItem> children = Children(tree, host);
      ASSERT_EQ(children.size(), 1u);
      EXPECT_EQ(children[0].image, 35);
      const HRESULT failure = name == L"plant07" ? HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE) : E_ACCESSDENIED;
      EXPECT_EQ(children[0].text, com::Utf8ToWide(SystemMessageText(failure)));
    }
    // Collapsed and expanded again by the user (keyboard), which the tree always announces.
    HTREEITEM silent = FindItem(tree, {L"plant07"});
    TreeView_Expand(tree, silent, TVE_COLLAPSE);
    Select(tree, silent);
    ::SendMessageW(tree, WM_KEYDOWN, VK_ADD, 0);
    EXPECT_EQ(g_probes.load(), 2);
    EXPECT_EQ(Children(tree, silent).size(), 1u);
    Press(window, IDCANCEL);
  });
  SetCreateInstanceExForTesting(previous);
  EXPECT_EQ(g_serverListHosts, refusing);
}

// ---- The node dialog on its own ----

// Area1 > Line1 > (a name of 100,000 characters) > Robot1, and Area2, numbered as browsing
// numbers them.
const std::string kLongName(100000, 'b');
std::unique_ptr<BrowseTree> HandMadeTree() {
  auto tree = std::make_unique<BrowseTree>();
  BrowseNode& top = tree->AddTop();
  BrowseNode& area1 = tree->Add(top, 1, {false, "Area1", "A1"});
  BrowseNode& line1 = tree->Add(area1, 2, {false, "Line1", "A1.L1"});
  BrowseNode& cell1 = tree->Add(line1, 3, {false, kLongName, "A1.L1.C1"});
  tree->Add(cell1, 4, {false, "Robot1", "A1.L1.C1.R1"});
  tree->Add(top, 5, {false, "Area2", "A2"});
  return tree;
}

// A stored path (through a long branch name, kept whole) comes back checked; a click on a check
// box sets its descendants alike, never its parent or siblings; OK with nothing checked asks
// first (No keeps the dialog open); the checked branches come back depth first, their display
// paths joined with the delimiter; the check boxes' state images go with the dialog.
TEST_F(Dialogs, NodeDialogPreChecksCascadesClicksAsksBeforeAnEmptySelectionAndListsDepthFirst) {
  const std::string robotPath = "Area1/Line1/" + kLongName + "/Robot1";
  COPCNodesDlg nodes("/");
  nodes.HandOver({{"old", robotPath}}, HandMadeTree());
  HIMAGELIST states = nullptr;
  const INT_PTR result = WithDialog(L"Select Nodes", [&] { return nodes.RunModal(); }, [&](HWND window) {
    HWND tree = ::GetDlgItem(window, IDC_NODE_TREE);
    states = TreeView_GetImageList(tree, TVSIL_STATE);
    EXPECT_GT(ImageList_GetImageCount(states), 0);
    HTREEITEM area1 = FindItem(tree, {L"Area1"});
    HTREEITEM area2 = FindItem(tree, {L"Area2"});
    HTREEITEM line1 = FindItem(tree, {L"Area1", L"Line1"});
    HTREEITEM cell1 = TreeView_GetChild(tree, line1);
    HTREEITEM robot1 = TreeView_GetChild(tree, cell1);
    EXPECT_TRUE(Checked(tree, robot1)) << "stored path";
    SetChecked(tree, robot1, false);
    ::SendMessageW(window, WM_COMMAND, IDOK, 0);  // the question, answered No
    EXPECT_TRUE(::IsWindowVisible(window));
    Expand(tree, area1);
    ClickCheckBox(tree, area1);
    for (HTREEITEM item : {area1, line1, cell1, robot1}) EXPECT_TRUE(Checked(tree, item));
    EXPECT_FALSE(Checked(tree, area2)) << "a sibling changed";
    ClickCheckBox(tree, line1);
    EXPECT_TRUE(Checked(tree, area1));
    for (HTREEITEM item : {line1, cell1, robot1}) EXPECT_FALSE(Checked(tree, item));
    for (HTREEITEM item : {area2, robot1, line1}) SetChecked(tree, item, true);
    Press(window, IDOK);
  });
  EXPECT_EQ(result, IDOK);
  EXPECT_EQ(nodes.Nodes(), (std::vector<NodeEntry>{
                               {"A1", "Area1"}, {"A1.L1", "Area1/Line1"}, {"A1.L1.C1.R1", robotPath}, {"A2", "Area2"}}));
  EXPECT_EQ(messages_.Shown(), std::vector<std::string>{COPCNodesDlg::kNothingSelectedQuestion});
  EXPECT_EQ(messages_.Types(), std::vector<UINT>{MB_YESNO});
  EXPECT_EQ(ImageList_GetImageCount(states), 0) << "the check boxes' images outlived the dialog";
}

// ---- The dialog frame, through the comctl32 seam ----

// comctl32 5.8 (a DLL without a manifest of its own, run by rundll32.exe) refuses a request
// holding a flag it does not know; the second double refuses everything.
BOOL WINAPI CommonControls58(const INITCOMMONCONTROLSEX* controls) {
  constexpr DWORD kKnownTo58 = 0x3FFF;  // ICC_LISTVIEW_CLASSES .. ICC_NATIVEFNTCTL_CLASS
  if ((controls->dwICC & ~kKnownTo58) != 0) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return ::InitCommonControlsEx(controls);
}
BOOL WINAPI NoCommonControls(const INITCOMMONCONTROLSEX*) {
  ::SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}

TEST(DialogFrame, ComesUpWithCommonControls6WhateverTheRegistrationAnswers) {
  TestAppDataFolder folder;
  // The dialog thread's activation context, seen from a message box the dialog shows (Wine gives
  // Common Controls 6 without it; Windows does not).
  HANDLE outside = nullptr, inside = nullptr;
  ::GetCurrentActCtx(&outside);
  platform::SetMessageBoxForTesting([&](HWND, const std::string&, const std::string&, UINT) {
    if (inside == nullptr) ::GetCurrentActCtx(&inside);
    return IDYES;
  });
  for (const ui::InitCommonControlsFunction init : {&CommonControls58, &NoCommonControls}) {
    const ui::InitCommonControlsFunction previous = ui::SetInitCommonControlsForTesting(init);
    COPCNodesDlg nodes(".");
    nodes.HandOver({}, HandMadeTree());
    const INT_PTR result = WithDialog(L"Select Nodes", [&] { return nodes.RunModal(); }, [&](HWND window) {
      // The tree's class comes from the side-by-side Common Controls 6, not the system's comctl32.
      HMODULE comctl32 = nullptr;
      ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           reinterpret_cast<LPCWSTR>(::GetWindowLongPtrW(::GetDlgItem(window, IDC_NODE_TREE),
                                                                          GWLP_WNDPROC)),
                           &comctl32);
      wchar_t module[MAX_PATH] = L"";
      ::GetModuleFileNameW(comctl32, module, MAX_PATH);
      EXPECT_NE(std::wstring(::CharLowerW(module)).find(L"common-controls"), std::wstring::npos) << module;
      Press(window, IDOK);  // nothing checked: the question, answered Yes, ends it with no nodes
    });
    ui::SetInitCommonControlsForTesting(previous);
    EXPECT_EQ(result, IDOK);
    EXPECT_TRUE(nodes.Nodes().empty());
  }
  platform::SetMessageBoxForTesting(nullptr);
  EXPECT_NE(inside, nullptr);
  EXPECT_NE(inside, outside) << "no context of its own activated around the dialog";
  if (inside != nullptr) ::ReleaseActCtx(inside);
  if (outside != nullptr) ::ReleaseActCtx(outside);
  // Only the outright refusal is logged: what the dialogs ask for, version 5.8 knows.
  const std::string log = ReadFileBytes(folder.File("OPCDAKreltaLog.log"));
  EXPECT_NE(log.find("the tree-view classes could not be registered (error 5)"), std::string::npos) << log;
  EXPECT_EQ(log.find("could not be registered"), log.rfind("could not be registered")) << log;
}

class MissingTemplate : public ui::Dialog {
 public:
  MissingTemplate() : Dialog(999) {}
};

TEST(DialogFrame, ADialogThatCannotBeCreatedKeepsTheErrorOfTheCallThatFailed) {
  MissingTemplate dialog;
  EXPECT_EQ(dialog.RunModal(), -1);
  ::SetLastError(ERROR_SUCCESS);  // as any later call may
  EXPECT_EQ(dialog.CreationError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
}

}  // namespace
}  // namespace krelta
