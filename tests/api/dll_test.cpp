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

// Every test starts with every krelta2_ export and the rundll32 entry point found by name.
class Dll : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dll.Loaded());
    ASSERT_EQ(std::vector<std::string>(), dll.Missing());
    ASSERT_NE(nullptr, reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleA("OpcDAKrelta.dll"),
                                                                "UpdateOPCConfiguration")));
  }
  Library dll;
};

// The configuration program runs as "rundll32.exe <our DLL>,UpdateOPCConfiguration <string>"
// and the call returns only after it ended. With a display its dialog appears in that process
// and is cancelled from here (nothing is written); without one the entry saying that it could not
// be shown is there when the call returns.
TEST_F(Dll, UpdateConfigurationRunsRundll32AndWaits) {
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
  std::string entry = krelta::host::NewestStandaloneLogEntry();
  EXPECT_NE(std::string::npos, entry.find("OPCDA_" + name + "Configuration.xml")) << entry;
  for (char& c : entry) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_NE(std::string::npos, entry.find("rundll32.exe")) << entry;
}

// A failed open returns 1 and leaves the handle as it was. (A configuration nested too deep for
// the parser is refused before it is parsed: the configuration tests.)
TEST_F(Dll, AFailedOpenLeavesTheHandleUntouched) {
  const std::string name = "Dll" + std::to_string(::GetTickCount64());  // an empty configuration
  ASSERT_TRUE(WriteFileBytes(krelta::ApplicationDataFolder() + "\\OPCDA_" + name + "Configuration.xml", ""));
  const auto sentinel = reinterpret_cast<krelta2_connection>(0x5e5e);
  krelta2_connection connection = sentinel;
  EXPECT_EQ(KRELTA2_FAILED, dll.krelta2_connectionOpen(name.c_str(), &connection));
  EXPECT_EQ(sentinel, connection);
  EXPECT_EQ("krelta2_connectionOpen: Operation failed (Could not load server.).",
            krelta::host::NewestStandaloneLogEntry());
  EXPECT_EQ(KRELTA2_INVALID_ARGUMENT, dll.krelta2_connectionOpen(nullptr, nullptr));
  EXPECT_EQ(KRELTA2_OK, dll.krelta2_connectionClose(nullptr));
}

}  // namespace
