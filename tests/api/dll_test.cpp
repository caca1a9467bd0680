// The DLL as a host sees it: loaded with LoadLibrary, reached through GetProcAddress.
#include <windows.h>

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <map>

#include "host/library.h"
#include "log/log_file.h"
#include "support/test_folder.h"

namespace {

using krelta::host::Library;
using krelta::host::TakeString;

// Name and size of every file in the library's data folder.
std::map<std::string, std::uintmax_t> DataFolderSnapshot() {
  std::map<std::string, std::uintmax_t> files;
  std::error_code error;
  for (const auto& entry :
       std::filesystem::directory_iterator(krelta::ApplicationDataFolder(), error)) {
    files[entry.path().filename().string()] = entry.file_size(error);
  }
  return files;
}

class Dll : public ::testing::Test {
 protected:
  Library dll;
};

TEST_F(Dll, ExportsTheFrameFunctionsByName) {
  ASSERT_TRUE(dll.Loaded());
  const char* names[] = {
      "krelta2_initialize",     "krelta2_uninitialize",  "krelta2_getIdentity",
      "krelta2_updateConfiguration", "krelta2_stringCreate", "krelta2_stringCopy",
      "krelta2_stringFree",     "krelta2_vectorCreate",  "krelta2_vectorFree",
      "krelta2_vectorGetLength", "krelta2_vectorGetType", "krelta2_vectorGetFloat",
      "krelta2_vectorGetString", "krelta2_vectorSetFloat", "krelta2_vectorSetString",
      "krelta2_vectorSetNull",  "UpdateOPCConfiguration"};
  HMODULE module = ::GetModuleHandleA("OpcDAKrelta.dll");
  ASSERT_NE(nullptr, module);
  for (const char* name : names) {
    SCOPED_TRACE(name);
    EXPECT_NE(nullptr, reinterpret_cast<void*>(::GetProcAddress(module, name)));
  }
}

TEST_F(Dll, BadArgumentsReturnTwoAndWriteNoLog) {
  ASSERT_TRUE(dll.Loaded());
  const auto before = DataFolderSnapshot();
  krelta2_vector v = nullptr;
  ASSERT_EQ(KRELTA2_OK, dll.krelta2_vectorCreate(1, &v));
  krelta2_string s = reinterpret_cast<krelta2_string>(0x5e5e);
  uint32_t u = 77;
  float f = 7.0f;
  const krelta2_status statuses[] = {
      dll.krelta2_getIdentity(nullptr),
      dll.krelta2_updateConfiguration(nullptr, &s),
      dll.krelta2_updateConfiguration("x", nullptr),
      dll.krelta2_updateConfiguration(std::string(1100, 'z').c_str(), &s),
      dll.krelta2_stringCreate(nullptr, &s),
      dll.krelta2_stringCopy(nullptr, nullptr, &u),
      dll.krelta2_vectorCreate(0, &v),
      dll.krelta2_vectorGetLength(nullptr, &u),
      dll.krelta2_vectorGetType(v, 1, &u),
      dll.krelta2_vectorGetFloat(v, 1, &f),
      dll.krelta2_vectorGetString(v, 1, &s),
      dll.krelta2_vectorSetFloat(v, 1, 1.0f),
      dll.krelta2_vectorSetString(v, 0, nullptr),
      dll.krelta2_vectorSetNull(nullptr, 0),
  };
  for (size_t i = 0; i < sizeof(statuses) / sizeof(statuses[0]); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(KRELTA2_INVALID_ARGUMENT, statuses[i]);
  }
  EXPECT_EQ(reinterpret_cast<krelta2_string>(0x5e5e), s);
  EXPECT_EQ(77u, u);
  EXPECT_EQ(7.0f, f);
  EXPECT_EQ(KRELTA2_OK, dll.krelta2_vectorFree(v));
  EXPECT_EQ(KRELTA2_OK, dll.krelta2_vectorFree(nullptr));
  EXPECT_EQ(KRELTA2_OK, dll.krelta2_stringFree(nullptr));
  EXPECT_EQ(before, DataFolderSnapshot());
}

TEST_F(Dll, StringsCrossTheBoundaryUnchanged) {
  ASSERT_TRUE(dll.Loaded());
  krelta2_string s = nullptr;
  ASSERT_EQ(KRELTA2_OK, dll.krelta2_getIdentity(&s));
  EXPECT_EQ("OpcDAKrelta (Aug 21 2018 10:34:08)", TakeString(dll, s));
  const std::string high = "\xc3\xa4\xff\x80 tail";
  ASSERT_EQ(KRELTA2_OK, dll.krelta2_stringCreate(high.c_str(), &s));
  uint32_t length = 3;
  EXPECT_EQ(KRELTA2_BUFFER_TOO_SMALL, dll.krelta2_stringCopy(s, nullptr, &length));
  EXPECT_EQ(high.size(), length);
  EXPECT_EQ(high, TakeString(dll, s));
}

// The configuration program runs as "rundll32.exe <our DLL>,UpdateOPCConfiguration <string>"
// and the call returns only after it ended: its log entry is there when the call returns.
TEST_F(Dll, UpdateConfigurationRunsRundll32AndWaits) {
  ASSERT_TRUE(dll.Loaded());
  const std::string name = "Config" + std::to_string(::GetTickCount64());
  krelta2_string copy = nullptr;
  ASSERT_EQ(KRELTA2_OK, dll.krelta2_updateConfiguration(name.c_str(), &copy));
  EXPECT_EQ(name, TakeString(dll, copy));
  const std::string log = krelta::testing::ReadFileBytes(krelta::ApplicationDataFolder() +
                                                         "\\OPCDAKreltaLog.log");
  const std::size_t at = log.find("connection string \"" + name + "\"");
  ASSERT_NE(std::string::npos, at) << log;
  std::string entry = log.substr(at, log.find('\n', at) - at);
  for (char& c : entry) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_NE(std::string::npos, entry.find("rundll32.exe")) << entry;
}

}  // namespace
