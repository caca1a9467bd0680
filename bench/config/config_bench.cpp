// Reading a large configuration (1,000 nodes, 100 array nodes of 1,000 names each) next to
// TinyXML's bare LoadFile of the same file.
#include <benchmark/benchmark.h>
#include <tinyxml.h>

#include <cstdio>
#include <ctime>
#include <string>

#include "bench/support/ratio_report.h"
#include "config/connection_settings.h"
#include "config/xml_guard.h"
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

// Each iteration is timed by the processor time it takes (reported as its time): the machine is
// shared, and wall time would charge one side with what other programs did meanwhile.
template <typename Body>
void TimeByProcessor(benchmark::State& state, Body body) {
  for (auto _ : state) {
    const std::clock_t start = std::clock();
    body();
    state.SetIterationTime(static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC);
  }
}

void BM_TinyXmlLoadFile(benchmark::State& state) {
  const std::string& path = LargeConfiguration();
  TimeByProcessor(state, [&] {
    TiXmlDocument document;
    std::FILE* file = krelta::platform::OpenFile(path, "rb");
    benchmark::DoNotOptimize(document.LoadFile(file));
    std::fclose(file);
  });
}
BENCHMARK(BM_TinyXmlLoadFile)->Unit(benchmark::kMillisecond)->UseManualTime();

// The guard's load alone (file read, nesting scan, parse), without the settings' own work.
void BM_LoadXmlFile(benchmark::State& state) {
  const std::string& path = LargeConfiguration();
  TimeByProcessor(state, [&] {
    TiXmlDocument document;
    benchmark::DoNotOptimize(krelta::LoadXmlFile(path, document));
  });
}
BENCHMARK(BM_LoadXmlFile)->Unit(benchmark::kMillisecond)->UseManualTime();

void BM_ReadConfiguration(benchmark::State& state) {
  LargeConfiguration();
  TimeByProcessor(state, [&] {
    krelta::ConnectionSettings settings("Large");
    benchmark::DoNotOptimize(settings.Nodes().size());
  });
}
BENCHMARK(BM_ReadConfiguration)->Unit(benchmark::kMillisecond)->UseManualTime();

}  // namespace

int main(int argc, char** argv) {
  return krelta::bench::RunWithRatios(
      argc, argv,
      {{"guarded load / TinyXML LoadFile", "BM_LoadXmlFile/manual_time", "BM_TinyXmlLoadFile/manual_time", 1.1},
       {"configuration read / TinyXML LoadFile", "BM_ReadConfiguration/manual_time",
        "BM_TinyXmlLoadFile/manual_time", 1.1}});
}
