// The whole configuration path once, as a user walks it: krelta-host configure -> the library's
// krelta2_updateConfiguration -> rundll32.exe -> the dialogs (driven from this process) -> the
// configuration file -> krelta-host tree shows the chosen branches.
#include <gtest/gtest.h>

#include <string>

#include "log/log_file.h"
#include "platform/com/wide_text.h"
#include "platform/platform.h"
#include "dialog_driver.h"
#include "remote_dialog.h"
#include "support/simulator_session.h"
#include "support/test_folder.h"
#include "ui/resource_ids.h"

namespace krelta {
namespace {

using namespace krelta::testing;

// Starts a program of the build (found beside this one); its output goes to outputFile when given.
HANDLE Start(const std::string& commandLine, const std::string& outputFile = std::string()) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE output = INVALID_HANDLE_VALUE;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  // On the tests' desktop; rundll32.exe, started by the library, inherits it.
  char desktop[64] = "KreltaUiTests";
  startup.lpDesktop = desktop;
  if (!outputFile.empty()) {
    output = ::CreateFileA(outputFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = output;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
  }
  PROCESS_INFORMATION process{};
  std::string command = commandLine;
  const BOOL started = ::CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                        &startup, &process);
  if (output != INVALID_HANDLE_VALUE) ::CloseHandle(output);
  if (!started) return nullptr;
  ::CloseHandle(process.hThread);
  return process.hProcess;
}

class EndToEnd : public SimulatorSuite {};

TEST_F(EndToEnd, ConfigureThroughRundll32ThenTheTreeShowsTheChosenBranches) {
  const std::string name = "E2E" + std::to_string(::GetTickCount64());
  HANDLE configure = Start("krelta-host.exe configure " + name);
  ASSERT_NE(configure, nullptr);

  HWND dialog = WaitForDialog(L"Create Connection to Data Source", 30000, true);
  ASSERT_NE(dialog, nullptr);
  HWND tree = ::GetDlgItem(dialog, IDC_SERVER_TREE);
  RemoteTree server(tree);
  ASSERT_TRUE(server.Ready());
  TreeView_Expand(tree, TreeView_GetRoot(tree), TVE_EXPAND);  // "Local host"
  HTREEITEM simulator = server.Find({L"Local host", L"OpcDAKrelta.Simulator"});
  ASSERT_NE(simulator, nullptr);
  TreeView_SelectItem(tree, simulator);
  ASSERT_TRUE(::IsWindowEnabled(::GetDlgItem(dialog, IDOK)));
  ::PostMessageW(dialog, WM_COMMAND, IDOK, 0);

  HWND nodes = WaitForDialog(L"Select Nodes", 30000, true);
  ASSERT_NE(nodes, nullptr);
  RemoteTree branches(::GetDlgItem(nodes, IDC_NODE_TREE));
  HTREEITEM line2 = branches.Find({L"Plant", L"Line2"});
  ASSERT_NE(line2, nullptr);
  branches.SetChecked(line2, true);
  ::PostMessageW(nodes, WM_COMMAND, IDOK, 0);

  HWND saved = WaitForDialog(L"OpcDAKrelta (Aug 21 2018 10:34:08)", 30000, true);
  ASSERT_NE(saved, nullptr);
  const std::wstring text = Text(::GetDlgItem(saved, 0xFFFF));
  EXPECT_EQ(text.rfind(L"Saved configuration to ", 0), 0u) << com::WideToUtf8(text);
  ::PostMessageW(saved, WM_COMMAND, IDOK, 0);
  ASSERT_EQ(::WaitForSingleObject(configure, 30000), WAIT_OBJECT_0) << "krelta-host configure did not end";
  ::CloseHandle(configure);

  const std::string output = ApplicationDataFolder() + "\\" + name + "-tree.txt";
  HANDLE tree2 = Start("krelta-host.exe tree " + name, output);
  ASSERT_NE(tree2, nullptr);
  ASSERT_EQ(::WaitForSingleObject(tree2, 60000), WAIT_OBJECT_0);
  ::CloseHandle(tree2);
  const std::string printed = ReadFileBytes(output);
  EXPECT_NE(printed.find("[Plant.Line2]"), std::string::npos) << printed;
  EXPECT_EQ(printed.find("[Plant.Line1]"), std::string::npos) << printed;
  platform::RemoveFile(output);
  platform::RemoveFile(ApplicationDataFolder() + "\\OPCDA_" + name + "Configuration.xml");
}

}  // namespace
}  // namespace krelta
