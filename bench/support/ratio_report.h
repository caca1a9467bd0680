// A Google Benchmark main that, after the usual console report, prints named ratios between
// benchmarks run in the same process: "<label>: <ratio> (target <= <limit>)".
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace krelta::bench {

struct Ratio {
  std::string label;
  std::string measured;  // benchmark name
  std::string baseline;  // benchmark name
  double limit;
};

class CollectingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.iterations > 0) nanos_[run.benchmark_name()] = run.GetAdjustedRealTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
  // Per-iteration real time in the run's own unit (the same unit for every benchmark here).
  const std::map<std::string, double>& Times() const { return nanos_; }

 private:
  std::map<std::string, double> nanos_;
};

inline int RunWithRatios(int argc, char** argv, const std::vector<Ratio>& ratios) {
  benchmark::Initialize(&argc, argv);
  CollectingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  for (const Ratio& r : ratios) {
    auto m = reporter.Times().find(r.measured);
    auto b = reporter.Times().find(r.baseline);
    if (m == reporter.Times().end() || b == reporter.Times().end() || b->second <= 0) continue;
    const double ratio = m->second / b->second;
    std::printf("%s: %.2f (target <= %.2f)%s\n", r.label.c_str(), ratio, r.limit,
                ratio <= r.limit ? "" : "  ABOVE TARGET");
  }
  return 0;
}

}  // namespace krelta::bench
