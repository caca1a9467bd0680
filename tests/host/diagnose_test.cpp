// krelta-host diagnose: every step passes against the simulator; each failing step (simulator
// faults, a double of the creation call, bad configuration files) is named with its cause and
// ends with exit code 1.
#include "host/diagnose.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "host/class_registry.h"
#include "log/log_file.h"
#include "opcda/create_instance.h"
#include "support/simulator_session.h"
#include "support/test_folder.h"

namespace krelta::testing {
namespace {

// The creation call's double: the simulator's server class (and, with kAllHosts, every class on
// every host, the probe's included) answers after g_delayMs, with g_refusal when that is a
// failure; anything else is created as usual.
HRESULT g_refusal = S_OK;
bool g_allClasses = false;
DWORD g_delayMs = 0;
HRESULT WINAPI RefusingCreateInstanceEx(REFCLSID clsid, IUnknown* outer, DWORD context,
                                        COSERVERINFO* info, DWORD count, MULTI_QI* results) {
  if (g_allClasses || ::IsEqualCLSID(clsid, CLSID_KreltaSimulatorDA3)) {
    ::Sleep(g_delayMs);
    if (FAILED(g_refusal)) {
      results[0].pItf = nullptr;
      results[0].hr = g_refusal;
      return g_refusal;
    }
  }
  return ::CoCreateInstanceEx(clsid, outer, context, info, count, results);
}

// No test asks a name server: a host name is known unless it says otherwise.
bool FakeResolveHostName(const std::string& host, std::string& answer) {
  const bool known = host.find("unknown") == std::string::npos;
  answer = known ? "192.0.2.7" : "No such host is known.";
  return known;
}

std::string Configuration(const std::string& url, const std::string& nodes) {
  return "<?xml version=\"1.0\" ?>\n<settings>\n    <setting key=\"URL\" value=\"" + url +
         "\" />\n    <nodes>\n" + nodes + "    </nodes>\n</settings>\n";
}
std::string Node(int i, const std::string& branch) {
  const std::string n = std::to_string(i);
  return "        <setting key=\"Node_" + n + "_0\" value=\"" + branch + "\" />\n" +
         "        <setting key=\"Node_" + n + "_1\" value=\"" + branch + "\" />\n";
}
const std::string kPlant = Configuration(kSimulatorDA3Url, Node(0, "Plant.Line1") + Node(1, "Plant.Utilities"));
const std::string kSubscribed = std::string(kPlant).insert(kPlant.find("<settings>") + 10,
                                                           "<setting key=\"ReadFromSubscription\" value=\"1\" />");

class Diagnose : public SimulatorSuite {
 protected:
  // Writes the configuration file (unless empty) and runs the diagnosis.
  int Run(const std::string& fileText) {
    CreateDirectoryPath(folder_.DataFolder());
    if (!fileText.empty()) std::ofstream(folder_.File("OPCDA_DiagnoseConfiguration.xml")) << fileText;
    lines_.clear();
    host::SetHostResolverForTesting(FakeResolveHostName);
    return host::Diagnose("Diagnose", [this](const std::string& line) { lines_.push_back(line); });
  }
  std::string Report() const {
    std::string all;
    for (const std::string& line : lines_) all += line + "\n";
    return all;
  }
  TestAppDataFolder folder_;
  std::vector<std::string> lines_;
};

TEST_F(Diagnose, EveryStepPassesAgainstTheSimulator) {
  EXPECT_EQ(Run(kPlant), 0) << Report();
  const std::vector<std::string> steps = {
      "configuration file", "server address", "host answers", "class known on that host",
      "OPC proxy/stub", "server created", "server status", "shutdown callback accepted", "group added",
      "node Plant.Line1 browsed", "node Plant.Utilities browsed", "one read", "read source"};
  std::vector<std::string> stepLines;
  for (const std::string& line : lines_) {
    if (line[0] == '[') stepLines.push_back(line);
  }
  ASSERT_EQ(stepLines.size(), steps.size()) << Report();
  for (std::size_t i = 0; i < steps.size(); ++i) {
    EXPECT_EQ(stepLines[i].rfind("[ok] " + steps[i] + ": ", 0), 0u) << stepLines[i];
  }
  EXPECT_NE(Report().find("    Plant.Line1.Temperature: "), std::string::npos) << Report();
  EXPECT_EQ(Counter(Control(), SIM_COUNTER_GROUPS_LIVE), 0) << "the group stays behind";
  EXPECT_EQ(Run(kSubscribed), 0) << Report();
  EXPECT_NE(Report().find("[ok] read source: change notifications where they are current"), std::string::npos);
}

struct FailingStep {
  const char* name;
  std::string file;            // the configuration file's text; empty: none
  DWORD fault;                 // a simulator fault, 0 for none
  HRESULT value;               // its value, or the creation double's answer
  bool refuseEverywhere;       // the double answers for every class (a host that does not answer)
  const char* step;            // the step that fails
  const char* causeWords;      // words of its cause
};

TEST_F(Diagnose, EachFailingStepIsNamedWithItsCause) {
  std::string nested;
  for (int i = 0; i < 100000; ++i) nested += "<a>";
  const std::string kRemote = "opcda://plant07/Vendor.Server.1/{DE186CF8-2426-4039-ACAB-729B0908B909}";
  const FailingStep rows[] = {
      {"no file", "", 0, S_OK, false, "configuration file", "no configuration"},
      {"malformed", "<settings><setting key=\"URL\"", 0, S_OK, false, "configuration file", "cannot read"},
      {"nested 100,000 deep", nested, 0, S_OK, false, "configuration file", "deeper than"},
      {"odd node values", Configuration(kSimulatorDA3Url, "<setting key=\"a\" value=\"b\" />"), 0, S_OK,
       false, "configuration file", "nodes"},
      {"no server", Configuration("", Node(0, "Plant")), 0, S_OK, false, "configuration file", "which server"},
      {"address without a server", Configuration("opcda://localhost/", Node(0, "Plant")), 0, S_OK,
       false, "server address", "CLSID"},
      {"unknown host name", Configuration("opcda://unknown.plant/V.S.1/{DE186CF8-2426-4039-ACAB-729B0908B909}",
       Node(0, "Plant")), 0, S_OK, false, "host name known", "does not know"},
      {"host that does not answer", Configuration(kRemote, Node(0, "Plant")), 0, HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE), true,
       "host answers", "could not be reached"},
      {"unregistered class",
       Configuration("opcda://localhost/Nobody.Server.1/{0B0B0B0B-1111-2222-3333-444455556666}", Node(0, "Plant")),
       0, S_OK, false, "class known on that host", "not registered"},
      {"access denied", kPlant, 0, E_ACCESSDENIED, false, "server created", "permission"},
      {"class not registered", kPlant, 0, REGDB_E_CLASSNOTREG, false, "server created", "not registered"},
      {"server does not start", kPlant, 0, CO_E_SERVER_EXEC_FAILURE, false, "server created", "could not be started"},
      {"server unavailable", kPlant, 0, HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE), false, "server created", "firewall"},
      {"object exporter not found", kPlant, 0, HRESULT_FROM_WIN32(OR_INVALID_OXID), false, "server created", "resolve"},
      {"no proxy/stub", kPlant, 0, E_NOINTERFACE, false, "server created", "proxy/stub"},
      {"time-out", kPlant, 0, RPC_E_TIMEOUT, false, "server created", "in time"},
      {"Advise refused", kPlant, SIM_FAULT_ADVISE_RESULT, E_ACCESSDENIED, false,
       "shutdown callback accepted", "this machine's DCOM security"},
      {"node does not browse", kPlant, SIM_FAULT_BROWSE_RESULT, E_FAIL, false, "node Plant.Line1 browsed", "browse"},
      {"read refused", kPlant, SIM_FAULT_READ_RESULT, E_FAIL, false, "one read", "refused"},
      {"data callback refused", kSubscribed, SIM_FAULT_DATA_ADVISE_RESULT, E_ACCESSDENIED, false, "read source",
       "call back into this process"},
  };
  for (const FailingStep& row : rows) {
    SCOPED_TRACE(row.name);
    std::remove(folder_.File("OPCDA_DiagnoseConfiguration.xml").c_str());
    if (row.fault != 0) Control()->SetFault(row.fault, row.value);
    g_refusal = row.value;
    g_allClasses = row.refuseEverywhere;
    const auto previous = SetCreateInstanceExForTesting(
        row.fault == 0 && row.value != S_OK ? &RefusingCreateInstanceEx : nullptr);
    EXPECT_EQ(Run(row.file), 1);
    SetCreateInstanceExForTesting(previous);
    Control()->ClearFaults();

    const std::string report = Report();
    const std::size_t failed = report.find(std::string("[failed] ") + row.step + ": ");
    ASSERT_NE(failed, std::string::npos) << report;
    const std::size_t cause = report.find("\n    cause: ", failed);
    ASSERT_NE(cause, std::string::npos) << report;
    const std::string causeLine = report.substr(cause + 1, report.find('\n', cause + 1) - cause - 1);
    EXPECT_NE(causeLine.find(row.causeWords), std::string::npos) << report;
    EXPECT_NE(report.find("\n    what to do: ", cause), std::string::npos) << report;
    EXPECT_EQ(report.find("[failed]"), failed) << "an earlier step failed\n" << report;
  }
}

// The diagnosis waits for the server as long as the configuration's call bound, as the
// connection does, and names that bound.
TEST_F(Diagnose, ACreationThatOutlivesTheConfiguredCallBoundIsNamedWithIt) {
  std::string file = kPlant;
  file.insert(file.find("<settings>") + 10, "<setting key=\"CallTimeout\" value=\"1\" />");
  g_delayMs = 1500;
  const auto previous = SetCreateInstanceExForTesting(&RefusingCreateInstanceEx);
  EXPECT_EQ(Run(file), 1);
  SetCreateInstanceExForTesting(previous);
  g_delayMs = 0;
  EXPECT_NE(Report().find("[failed] server created: no answer within 1 s\n"), std::string::npos) << Report();
}

TEST(DescribeValue, NamesTheVariantTypeAndKeepsWhatItCannotRead) {
  const std::tuple<const char*, const char*, const char*> cases[] = {
      {"{ vt: 5, value: \"1.5\" }", "", "VT_R8 \"1.5\""}, {"{ vt: 8196, value: null }", "", "VT_ARRAY|VT_R4 (an array: its elements are not shown)"},
      {"{ vt: 8195, value: null }", "4 elements: 1, 2, 3, ...", "VT_ARRAY|VT_I4 (4 elements: 1, 2, 3, ...)"},
      {"{ vt: 0, value: \"\" }", "", "VT_EMPTY \"\""}, {"{ vt: 16421, value: null }", "", "VT_BYREF|VT_37 null"}, {"odd", "", "odd"}};
  for (const auto& [dump, elements, described] : cases) EXPECT_EQ(described, host::DescribeValue(dump, elements));
}

// Keys under HKLM\Software\Classes in one view of the registry (the prefix's own); an empty
// value removes the key.
void SetClassesKey(host::RegistryView view, const std::wstring& subkey, const std::wstring& value) {
  const REGSAM flag = view == host::RegistryView::k64 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
  const std::wstring path = L"Software\\Classes\\" + subkey;
  HKEY key = nullptr;
  if (value.empty()) {
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS | flag, &key) != ERROR_SUCCESS) return;
    ::RegDeleteTreeW(key, nullptr);
    ::RegCloseKey(key);
    ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), flag, 0);
    return;
  }
  ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | flag,
                                             nullptr, &key, nullptr));
  ::RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  ::RegCloseKey(key);
}

// A 32-bit server's class only in the 32-bit view is found there; a proxy/stub counts only with
// its file; a view that lacks it (an x86-only install seen from the 64-bit view) is named.
TEST(ClassRegistry, BothViewsAndTheProxyStubsFile) {
  using host::RegistryView;
  TestAppDataFolder folder;
  std::string header(0x40, '\0');
  header[0] = 'M', header[1] = 'Z', header[0x3c] = 0x40;
  const std::string program = folder.Base() + "\\server32.exe";
  ASSERT_TRUE(WriteFileBytes(program, header + std::string("PE\0\0\x4c\x01", 6) + std::string(18, '\0')));
  const std::wstring exe(program.begin(), program.end());
  const struct {
    RegistryView view;
    std::wstring key, value;
  } keys[] = {
      {RegistryView::k64, L"CLSID\\{0B0B0B0B-0000-0000-0000-000000000001}", L""},
      {RegistryView::k32, L"CLSID\\{0B0B0B0B-0000-0000-0000-000000000001}\\LocalServer32", L"\"" + exe + L"\" -Embedding"},
      {RegistryView::k32, L"Interface\\{0B0B0B0B-0000-0000-0000-000000000011}", L""},
      {RegistryView::k64, L"Interface\\{0B0B0B0B-0000-0000-0000-000000000011}\\ProxyStubClsid32",
       L"{0B0B0B0B-0000-0000-0000-000000000021}"},
      {RegistryView::k64, L"CLSID\\{0B0B0B0B-0000-0000-0000-000000000021}\\InprocServer32", exe},
      {RegistryView::k64, L"Interface\\{0B0B0B0B-0000-0000-0000-000000000012}\\ProxyStubClsid32",
       L"{0B0B0B0B-0000-0000-0000-000000000022}"},
      {RegistryView::k64, L"CLSID\\{0B0B0B0B-0000-0000-0000-000000000022}\\InprocServer32", L"C:\\gone\\ps.dll"},
  };
  for (const auto& k : keys) SetClassesKey(k.view, k.key, k.value);
  const GUID base = {0x0b0b0b0b, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
  auto id = [&](unsigned char last) { GUID g = base; g.Data4[7] = last; return g; };
  const std::optional<host::ClassRegistration> found = host::FindClassRegistration(id(0x01));
  ASSERT_TRUE(found);
  EXPECT_EQ(RegistryView::k32, found->view);
  EXPECT_EQ("a 32-bit program", found->program);
  EXPECT_FALSE(host::FindClassRegistration(id(0x02)));
  const std::pair<std::string, std::string> proxies[] = {
      {host::ProxyStubProblem(id(0x11), RegistryView::k64), ""},
      {host::ProxyStubProblem(id(0x11), RegistryView::k32), "no ProxyStubClsid32"},
      {host::ProxyStubProblem(id(0x12), RegistryView::k64), "its file C:\\gone\\ps.dll is gone"},
      {host::ProxyStubProblem(id(0x13), RegistryView::k64), "no ProxyStubClsid32"}};
  for (const auto& [problem, expected] : proxies) EXPECT_EQ(expected, problem);
}

}  // namespace
}  // namespace krelta::testing
