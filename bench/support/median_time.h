// The median wall time of a benchmark body, for benchmarks that time their own runs.
#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <vector>

namespace krelta::bench {

// Median wall time of one call of body over runs calls, in microseconds; a body that answers
// false sets *failed.
inline double MedianMicros(int runs, const std::function<bool()>& body, bool* failed) {
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    const auto start = std::chrono::steady_clock::now();
    if (!body()) *failed = true;
    times.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

}  // namespace krelta::bench
