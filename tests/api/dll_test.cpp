// The DLL as a host sees it: loaded with LoadLibrary, reached through GetProcAddress.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <thread>

#include "host/library.h"
#include "log/log_file.h"
#include "support/test_folder.h"

namespace {

using krelta::host::Library;
using krelta::host::TakeString;
using krelta::testing::WriteFileBytes;

template <typename Handle>
Handle Sentinel() { return reinterpret_cast<Handle>(0x5e5e); }

// Writes the configuration of a fresh connection string and returns that string.
std::string Configure(const std::string& xml) {
  const std::string name = "Dll" + std::to_string(::GetTickCount64());
  EXPECT_TRUE(WriteFileBytes(krelta::ApplicationDataFolder() + "\\OPCDA_" + name + "Configuration.xml", xml));
  return name;
}

class Dll : public ::testing::Test {
 protected:
  Library dll;
};

// Every krelta2_ export and the rundll32 entry point, by name.
TEST_F(Dll, ExportsEveryFunctionByName) {
  ASSERT_TRUE(dll.Loaded());
  EXPECT_EQ(std::vector<std::string>(), dll.Missing());
  EXPECT_NE(nullptr, reinterpret_cast<void*>(
                         ::GetProcAddress(::GetModuleHandleA("OpcDAKrelta.dll"), "UpdateOPCConfiguration")));
}

// The configuration program runs as "rundll32.exe <our DLL>,UpdateOPCConfiguration <string>"
// and the call returns only after it ended. With a display its dialog appears in that process
// and is cancelled from here (nothing is written); without one the entry saying that it could not
// be shown is there when the call returns.
TEST_F(Dll, UpdateConfigurationRunsRundll32AndWaits) {
  ASSERT_TRUE(dll.Loaded());
  const std::string name = "Config" + std::to_string(::GetTickCount64());
  std::atomic<bool> returned{false}, dialogSeen{false};
  std::thread user([&] {
    while (!returned) {
      HWND dialog = ::FindWindowW(L"#32770", L"Create Connection to Data Source");
      DWORD pid = 0;
      if (dialog != nullptr) ::GetWindowThreadProcessId(dialog, &pid);
      if (dialog != nullptr && pid != ::GetCurrentProcessId() && ::IsWindowVisible(dialog)) {
        dialogSeen = true;
        ::PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  krelta2_string copy = nullptr;
  const krelta2_status status = dll.krelta2_updateConfiguration(name.c_str(), &copy);
  returned = true;
  user.join();
  ASSERT_EQ(KRELTA2_OK, status);
  EXPECT_EQ(name, TakeString(dll, copy));
  const std::string configuration = krelta::ApplicationDataFolder() + "\\OPCDA_" + name + "Configuration.xml";
  if (dialogSeen) {
    EXPECT_TRUE(krelta::testing::ReadFileBytes(configuration).empty()) << "Cancel wrote the configuration";
    return;
  }
  const std::string log = krelta::testing::ReadFileBytes(krelta::ApplicationDataFolder() +
                                                         "\\OPCDAKreltaLog.log");
  const std::size_t at = log.find("OPCDA_" + name + "Configuration.xml");
  ASSERT_NE(std::string::npos, at) << log;
  std::string entry = log.substr(at, log.find('\n', at) - at);
  for (char& c : entry) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_NE(std::string::npos, entry.find("rundll32.exe")) << entry;
}

// A failed open returns 1 and leaves the handle as it was. (A configuration nested too deep for
// the parser is refused before it is parsed: the configuration tests.)
TEST_F(Dll, AFailedOpenLeavesTheHandleUntouched) {
  ASSERT_TRUE(dll.Loaded());
  krelta2_connection connection = Sentinel<krelta2_connection>();
  EXPECT_EQ(KRELTA2_FAILED, dll.krelta2_connectionOpen(Configure("").c_str(), &connection));
  EXPECT_EQ(Sentinel<krelta2_connection>(), connection);
  const std::string log = krelta::testing::ReadFileBytes(krelta::ApplicationDataFolder() + "\\OPCDAKreltaLog.log");
  EXPECT_NE(std::string::npos, log.find("krelta2_connectionOpen: Operation failed (Could not load server.)."));
  EXPECT_EQ(KRELTA2_INVALID_ARGUMENT, dll.krelta2_connectionOpen(nullptr, nullptr));
  EXPECT_EQ(KRELTA2_OK, dll.krelta2_connectionClose(nullptr));
}

// Every accessor of the tree on a connection to the simulator (tags from the tag list file):
// null arguments and index = count return 2 and leave the outputs alone.
TEST_F(Dll, TreeAccessorsCheckTheirArgumentsAndIndices) {
  ASSERT_TRUE(dll.Loaded());
  ASSERT_TRUE(WriteFileBytes(krelta::ApplicationDataFolder() + "\\opcda_tags.txt", "Plant.Line1.Level\n"));
  const std::string name = Configure(
      "<settings><setting key=\"URL\" value=\"opcda://localhost/OpcDAKrelta.Simulator.1/"
      "{DE186CF8-2426-4039-ACAB-729B0908B909}\"/><setting key=\"BrowseSupported\" value=\"0\"/>"
      "<nodes><setting key=\"Node_0_0\" value=\"Line1\"/><setting key=\"Node_0_1\" value=\"L\"/>"
      "</nodes></settings>");
  krelta2_connection c = nullptr;
  ASSERT_EQ(KRELTA2_OK, dll.krelta2_connectionOpen(name.c_str(), &c));
  krelta2_node root = nullptr, line = nullptr;
  krelta2_tag tag = nullptr;
  ASSERT_EQ(KRELTA2_OK, dll.krelta2_connectionGetNode(c, 0, &root));
  ASSERT_EQ(KRELTA2_OK, dll.krelta2_nodeGetNode(root, 0, &line));
  ASSERT_EQ(KRELTA2_OK, dll.krelta2_nodeGetTag(line, 0, &tag));
  krelta2_string s = nullptr;
  ASSERT_EQ(KRELTA2_OK, dll.krelta2_tagGetName(tag, &s));
  EXPECT_EQ("Level", TakeString(dll, s));
  ASSERT_EQ(KRELTA2_OK, dll.krelta2_nodeGetName(line, &s));
  EXPECT_EQ("Line1", TakeString(dll, s));

  uint32_t u = 77;
  krelta2_node n = Sentinel<krelta2_node>();
  krelta2_tag t = Sentinel<krelta2_tag>();
  s = Sentinel<krelta2_string>();
  const krelta2_status statuses[] = {
      dll.krelta2_connectionGetCurrentTime(nullptr, &u), dll.krelta2_connectionGetCurrentTime(c, nullptr),
      dll.krelta2_connectionGetNumNodes(nullptr, &u),    dll.krelta2_connectionGetNumNodes(c, nullptr),
      dll.krelta2_connectionGetNode(nullptr, 0, &n),     dll.krelta2_connectionGetNode(c, 0, nullptr),
      dll.krelta2_connectionGetNode(c, 1, &n),           dll.krelta2_nodeGetName(nullptr, &s),
      dll.krelta2_nodeGetName(root, nullptr),            dll.krelta2_nodeGetNumNodes(nullptr, &u),
      dll.krelta2_nodeGetNumNodes(root, nullptr),        dll.krelta2_nodeGetNode(nullptr, 0, &n),
      dll.krelta2_nodeGetNode(root, 0, nullptr),         dll.krelta2_nodeGetNode(root, 1, &n),
      dll.krelta2_nodeGetNode(line, 0, &n),              dll.krelta2_nodeGetNumTags(nullptr, &u),
      dll.krelta2_nodeGetNumTags(line, nullptr),         dll.krelta2_nodeGetTag(nullptr, 0, &t),
      dll.krelta2_nodeGetTag(line, 0, nullptr),          dll.krelta2_nodeGetTag(line, 1, &t),
      dll.krelta2_nodeGetTag(root, 0, &t),               dll.krelta2_tagGetName(nullptr, &s),
      dll.krelta2_tagGetName(tag, nullptr),              dll.krelta2_tagGetUpdateTime(nullptr, &u),
      dll.krelta2_tagGetUpdateTime(tag, nullptr)};
  for (size_t i = 0; i < std::size(statuses); ++i) EXPECT_EQ(KRELTA2_INVALID_ARGUMENT, statuses[i]) << i;
  EXPECT_EQ(77u, u);
  EXPECT_EQ(Sentinel<krelta2_node>(), n);
  EXPECT_EQ(Sentinel<krelta2_tag>(), t);
  EXPECT_EQ(Sentinel<krelta2_string>(), s);
  EXPECT_EQ(KRELTA2_OK, dll.krelta2_connectionClose(c));
  krelta::platform::RemoveFile(krelta::ApplicationDataFolder() + "\\opcda_tags.txt");
}

}  // namespace
