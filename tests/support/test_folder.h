// Test helpers shared by every test folder: a private application-data folder per test and
// whole-file reads. Works natively and under Wine.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "platform/platform.h"

namespace krelta::testing {

// Creates a fresh folder and makes it the common application-data folder until destroyed.
class TestAppDataFolder {
 public:
  TestAppDataFolder() {
    static std::atomic<int> counter{0};
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    root_ = std::filesystem::temp_directory_path() /
            ("krelta-test-" + std::to_string(stamp) + "-" + std::to_string(counter++));
    std::filesystem::create_directories(root_);
    platform::SetCommonAppDataFolderForTesting(root_.string());
  }
  ~TestAppDataFolder() {
    platform::SetCommonAppDataFolderForTesting(std::nullopt);
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  TestAppDataFolder(const TestAppDataFolder&) = delete;
  TestAppDataFolder& operator=(const TestAppDataFolder&) = delete;

  // The base folder (what the shell would answer) and the library's folder below it.
  std::string Base() const { return root_.string(); }
  std::string DataFolder() const { return Base() + "\\Norvane\\Krelta"; }
  std::string File(const std::string& name) const { return DataFolder() + "\\" + name; }

 private:
  std::filesystem::path root_;
};

// The whole file as bytes, or empty text when it cannot be opened.
inline std::string ReadFileBytes(const std::string& path) {
  std::string bytes;
  std::FILE* f = platform::OpenFile(path, "rb");
  if (f == nullptr) return bytes;
  char buffer[65536];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof(buffer), f)) > 0) bytes.append(buffer, n);
  std::fclose(f);
  return bytes;
}

inline bool WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::FILE* f = platform::OpenFile(path, "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

// The platform's text-mode line end, as written by the logs.
#ifdef _WIN32
constexpr const char* kLineEnd = "\r\n";
#else
constexpr const char* kLineEnd = "\n";
#endif

}  // namespace krelta::testing
