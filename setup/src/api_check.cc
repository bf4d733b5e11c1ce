// ringwell-setup --check on the HTTP API: what `ringwell-api --check` (the
// program beside ringwell-setup, when it is installed) finds.
#include <cstdio>
#include <memory>

#include "doctor.h"
#include "ringwell/common/files.h"
#include "ringwell/common/safe_files.h"

namespace ringwell::setup {

std::vector<Problem> CheckApi(const std::string& bin_dir) {
  const std::string program = bin_dir + "ringwell-api";
  if (!IsRegularFile(program)) return {};
  std::unique_ptr<FILE, int (*)(FILE*)> output(::popen(("'" + program + "' --check").c_str(), "r"),
                                               &::pclose);
  if (!output) return {{"cannot run " + program + " --check", "reinstall ringwell"}};
  std::vector<Problem> problems;
  char line[4096];
  const std::string marker = "problem: ";
  while (std::fgets(line, sizeof line, output.get()) != nullptr) {
    std::string text = line;
    while (!text.empty() && text.back() == '\n') text.pop_back();
    if (text.rfind(marker, 0) != 0) continue;
    text = text.substr(marker.size());
    const std::size_t fix = text.find("; to fix: ");
    if (fix == std::string::npos) {
      problems.push_back({text, "see ringwell-api(8)"});
    } else {
      problems.push_back({text.substr(0, fix), text.substr(fix + 10)});
    }
  }
  return problems;
}

}  // namespace ringwell::setup
