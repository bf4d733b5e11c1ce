// `kel ls` on a storage root with 100,000 reports (a tenth of them still with
// their request file in Requests), run as the program a user runs, beside what
// a user would otherwise type: `ls -t` of the Reports directory (names only,
// newest first) and a grep of every report's overall status. Each command runs
// a few times; the summary gives min and median wall-clock times and the ratio
// of kel to each.
//
//   bench_kel_ls [REPORTS]     (default 100000)
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr int kRuns = 5;

std::string Id(int i) {
  char id[64];
  std::snprintf(id, sizeof id, "{%08X-0000-4000-8000-%012X}", i, i * 7919);
  return id;
}

void Write(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// A root like one after months of use: reports of one to three recipients,
// most completed with a call each, some scheduled with their request file.
void MakeRoot(const std::string& root, int reports) {
  namespace fs = std::filesystem;
  for (const char* dir : {"Inbox", "Requests", "Reports", "Files/{0}"}) {
    fs::create_directories(root + dir);
  }
  const char* statuses[] = {"Completed", "Completed", "Completed", "Scheduled", "Canceled"};
  for (int i = 0; i < reports; ++i) {
    const std::string id = Id(i);
    const std::string status = i % 10 == 3 ? "Scheduled" : statuses[i % 5 == 3 ? 0 : i % 5];
    std::string report =
        "<Report xmlns=\"urn:schemas-microsoft-com:xml-data\" "
        "xmlns:dt=\"urn:schemas-microsoft-com:datatypes\" UserID=\"{0}\" ID=\"" +
        id + "\" Type=\"Call\" Status=\"" + status + "\">";
    for (int r = 0; r <= i % 3; ++r) {
      report += "<SubReport Recipient=\"555000" + std::to_string(r) + "\" Status=\"" +
                (status == "Scheduled" ? "Scheduled" : "Completed") + "\">";
      if (status != "Scheduled") {
        report +=
            "<Call Status=\"Completed\" Error=\"\"><Time dt:dt=\"dateTime\">2026-12-07T10:00:00"
            "</Time><Answer>Answered</Answer><Protocol>Played wavA1b2C3.wav\nPressed 1"
            "</Protocol><Duration>12</Duration></Call>";
      }
      report += "</SubReport>";
    }
    Write(root + "Reports/" + id + ".xml", report + "</Report>");
    if (status == "Scheduled") {
      Write(root + "Requests/" + id + ".xml",
            "<Request xmlns=\"urn:schemas-microsoft-com:xml-data\" "
            "xmlns:dt=\"urn:schemas-microsoft-com:datatypes\" ID=\"" +
                id +
                "\" UserID=\"{0}\" Type=\"Call\"><StartTime dt:dt=\"dateTime\">2026-12-07T18:00:00"
                "</StartTime><StopTime dt:dt=\"dateTime\">2026-12-07T19:00:00</StopTime>"
                "<Recipients/></Request>");
    }
  }
}

double RunSeconds(const std::string& command) {
  const auto start = std::chrono::steady_clock::now();
  const int status = std::system((command + " >/dev/null 2>&1").c_str());
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!WIFEXITED(status) || WEXITSTATUS(status) > 1) {
    std::fprintf(stderr, "failed (%d): %s\n", status, command.c_str());
  }
  return seconds;
}

struct Figures {
  double min;
  double median;
};

Figures Measure(const std::string& command) {
  std::vector<double> times;
  for (int i = 0; i < kRuns; ++i) times.push_back(RunSeconds(command));
  std::sort(times.begin(), times.end());
  return {times.front(), times[times.size() / 2]};
}

}  // namespace

int main(int argc, char** argv) {
  const int reports = argc > 1 ? std::atoi(argv[1]) : 100000;
  char pattern[] = "/tmp/ringwell-bench-kel-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return 1;
  const std::string dir = std::string(pattern) + "/";
  const std::string root = dir + "root/";
  const auto made = std::chrono::steady_clock::now();
  MakeRoot(root, reports);
  std::printf("root with %d reports made in %.1f s\n", reports,
              std::chrono::duration<double>(std::chrono::steady_clock::now() - made).count());
  Write(dir + "registry.toml", "");
  const std::string kel = std::string(RINGWELL_BUILD_DIR) + "/bin/kel";
  const std::string env = "RINGWELL_REGISTRY=" + dir + "registry.toml RINGWELL_JOURNAL=0 ";
  const struct {
    const char* name;
    std::string command;
  } kCommands[] = {
      {"kel ls", env + kel + " ls --root " + root},
      {"kel ls --json", env + kel + " ls --json --root " + root},
      {"kel ls --status Scheduled", env + kel + " ls --status Scheduled --root " + root},
      {"kel ls --limit 20", env + kel + " ls --limit 20 --root " + root},
      {"ls -t Reports", "ls -t " + root + "Reports"},
      {"grep status of each", "grep -r -o -m1 'Status=\"[A-Za-z]*\"' " + root + "Reports"},
  };
  std::vector<Figures> figures;
  for (const auto& command : kCommands) figures.push_back(Measure(command.command));
  std::printf("%-28s %10s %10s %14s\n", "command", "min s", "median s", "kel ls / this");
  for (std::size_t i = 0; i < figures.size(); ++i) {
    std::printf("%-28s %10.3f %10.3f %14.2f\n", kCommands[i].name, figures[i].min,
                figures[i].median, figures[0].median / figures[i].median);
  }
  std::filesystem::remove_all(dir);
  return 0;
}
