#include "side_by_side.h"

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

extern char** environ;

namespace ringwell::bench {

Sample RunProgram(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  Sample sample;
  pid_t pid = 0;
  int status = 0;
  rusage usage{};
  sample.ms = TimeMs([&] {
    if (posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0 ||
        wait4(pid, &status, 0, &usage) != pid) {
      status = -1;
    }
  });
  if (status != 0) {
    std::fprintf(stderr, "bench: %s failed\n", argv[0].c_str());
    std::exit(1);
  }
  sample.peak_mib = static_cast<double>(usage.ru_maxrss) / 1024.0;
  return sample;
}

Stats Summarise(std::vector<double> values) {
  if (values.empty()) return {};
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  const double median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
  return {values.front(), median};
}

void PrintHeader(const std::string& ours, const std::string& theirs) {
  std::printf("%-44s %21s %21s %15s\n", "", (ours + " min/median").c_str(),
              (theirs + " min/median").c_str(), "ratio min/med");
}

void PrintComparison(const std::string& what, const std::string& unit, const Stats& ours,
                     const Stats& theirs) {
  std::printf("%-44s %8.1f/%8.1f %-3s %8.1f/%8.1f %-3s %6.2f/%6.2f\n", what.c_str(), ours.min,
              ours.median, unit.c_str(), theirs.min, theirs.median, unit.c_str(),
              ours.min / theirs.min, ours.median / theirs.median);
  std::fflush(stdout);
}

}  // namespace ringwell::bench
