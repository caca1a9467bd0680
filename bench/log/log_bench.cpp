// The cost of one connection-log entry against a bare open-append-close of the same bytes,
// and the cost of an entry the threshold drops.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "bench/support/ratio_report.h"
#include "log/log_file.h"
#include "platform/platform.h"
#include "support/test_folder.h"

namespace {

const char* kMessage = "Read: 12 items of node Plant.Area1 read in 3 ms.";

void BM_RawAppend(benchmark::State& state) {
  krelta::testing::TestAppDataFolder folder;
  const std::string path = krelta::ApplicationDataFolder() + "\\raw.log";
  // The same bytes an entry writes.
  const std::string entry = std::string("[2018-08-21 10:34:08.045+02:00] [TID:1234] [Error]\n") +
                            kMessage + "\n\n";
  for (auto _ : state) {
    std::FILE* f = krelta::platform::OpenFile(path, "a");
    std::fputs(entry.c_str(), f);
    std::fclose(f);
  }
}
BENCHMARK(BM_RawAppend);

void BM_LogFileWrite(benchmark::State& state) {
  krelta::testing::TestAppDataFolder folder;
  krelta::LogFile log("OPCDA_Bench", 1LL << 40);
  for (auto _ : state) log.Write(krelta::kLogError, kMessage);
}
BENCHMARK(BM_LogFileWrite);

void BM_FilteredDebugEntry(benchmark::State& state) {
  krelta::testing::TestAppDataFolder folder;
  krelta::LogFile log("OPCDA_Bench", 1LL << 40, krelta::kLogError);
  int n = 0;
  for (auto _ : state) {
    // Callers test the threshold before composing a message.
    if (log.Enabled(krelta::kLogDebug)) log.Write(krelta::kLogDebug, std::to_string(++n));
    benchmark::DoNotOptimize(n);
  }
}
BENCHMARK(BM_FilteredDebugEntry);

}  // namespace

int main(int argc, char** argv) {
  return krelta::bench::RunWithRatios(
      argc, argv, {{"LogFile::Write / bare open-append-close", "BM_LogFileWrite", "BM_RawAppend", 1.3}});
}
