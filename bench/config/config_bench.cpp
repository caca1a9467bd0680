// Reading a large configuration (1,000 nodes, 100 array nodes of 1,000 names each) next to
// TinyXML's bare LoadFile of the same file.
#include <benchmark/benchmark.h>
#include <tinyxml.h>

#include <cstdio>
#include <string>

#include "bench/support/ratio_report.h"
#include "config/connection_settings.h"
#include "support/test_folder.h"

namespace {

krelta::testing::TestAppDataFolder& Folder() {
  static auto* folder = new krelta::testing::TestAppDataFolder();
  return *folder;
}

const std::string& LargeConfiguration() {
  static const std::string path = [] {
    Folder();
    krelta::ConnectionSettings settings("Large");
    settings.SetUrl("opcda://localhost/Krelta.OpcSimulator.1");
    std::vector<krelta::NodeEntry> nodes;
    for (int i = 0; i < 1000; ++i) {
      nodes.push_back({"Plant.Area" + std::to_string(i), "Plant/Area" + std::to_string(i)});
    }
    settings.SetNodes(nodes);
    std::vector<krelta::ArrayNodeConfig> arrays(100);
    for (int i = 0; i < 100; ++i) {
      arrays[i].tag = "Plant.Array" + std::to_string(i);
      arrays[i].size = 1000;
      for (int k = 0; k < 1000; ++k) arrays[i].names.push_back("element_" + std::to_string(k));
    }
    settings.SetArrayNodes(arrays);
    settings.SetLogLevel(1);  // reading logs per key at level 4 otherwise
    settings.WriteConfiguration();
    return settings.ConfigurationPath();
  }();
  return path;
}

void BM_TinyXmlLoadFile(benchmark::State& state) {
  const std::string& path = LargeConfiguration();
  for (auto _ : state) {
    TiXmlDocument document;
    std::FILE* file = krelta::platform::OpenFile(path, "rb");
    benchmark::DoNotOptimize(document.LoadFile(file));
    std::fclose(file);
  }
}
BENCHMARK(BM_TinyXmlLoadFile)->Unit(benchmark::kMillisecond);

void BM_ReadConfiguration(benchmark::State& state) {
  LargeConfiguration();
  for (auto _ : state) {
    krelta::ConnectionSettings settings("Large");
    benchmark::DoNotOptimize(settings.Nodes().size());
  }
}
BENCHMARK(BM_ReadConfiguration)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  return krelta::bench::RunWithRatios(
      argc, argv,
      {{"configuration read / TinyXML LoadFile", "BM_ReadConfiguration", "BM_TinyXmlLoadFile", 2.0}});
}
