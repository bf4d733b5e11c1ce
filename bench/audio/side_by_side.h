// Helpers of the audio benchmarks: run a program and measure its wall time
// and peak memory, time a piece of code, and sum up repeated measurements
// (minimum and median) as ratios against the tool a user would pick instead.
#pragma once

#include <string>
#include <vector>

namespace ringwell::bench {

struct Sample {
  double ms = 0;        // wall time
  double peak_mib = 0;  // peak resident memory of the process (0: not measured)
};

// Runs `argv` (the program found on PATH) to its end. Exits the benchmark
// when it cannot be run or fails.
Sample RunProgram(const std::vector<std::string>& argv);

// Wall time of `body` in milliseconds.
template <class Body>
double TimeMs(Body&& body);

struct Stats {
  double min = 0;
  double median = 0;
};
Stats Summarise(std::vector<double> values);

// Prints one line: `what`, ours and theirs (min / median) and their ratios.
void PrintComparison(const std::string& what, const std::string& unit, const Stats& ours,
                     const Stats& theirs);
void PrintHeader(const std::string& ours, const std::string& theirs);

}  // namespace ringwell::bench

#include <chrono>

template <class Body>
double ringwell::bench::TimeMs(Body&& body) {
  const auto start = std::chrono::steady_clock::now();
  body();
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}
