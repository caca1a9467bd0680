// The median wall time of a benchmark body, for benchmarks that time their own runs.
#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <utility>
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

// Medians of a and b timed alternately, so load from other processes falls on both alike.
inline std::pair<double, double> Interleaved(int runs, const std::function<bool()>& a,
                                             const std::function<bool()>& b, bool* failed) {
  std::vector<double> ta, tb;
  for (int i = 0; i < runs; ++i) {
    ta.push_back(MedianMicros(1, a, failed));
    tb.push_back(MedianMicros(1, b, failed));
  }
  std::sort(ta.begin(), ta.end());
  std::sort(tb.begin(), tb.end());
  return {ta[ta.size() / 2], tb[tb.size() / 2]};
}

}  // namespace krelta::bench
