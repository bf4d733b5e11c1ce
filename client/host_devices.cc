#include "host_devices.h"

#include <chrono>

#include "ringwell/common/status_file.h"
#include "toolkit.h"

namespace ringwell::kel::client {

std::string PagerProblem(const std::string& root) {
  // Every box's host on a shared root: one with a pager is enough.
  std::string refusal;
  for (const status_file::BoxReading& box : status_file::ReadEvery(root, "ringwell-host")) {
    std::string problem;
    if (!box.reading ||
        !status_file::SeenWorking(*box.reading, std::chrono::seconds(30), &problem)) {
      continue;
    }
    const nlohmann::json& content = box.reading->content;
    const nlohmann::json pager = content.value("pager", nlohmann::json::object());
    if (!pager.is_object() || pager.value("kind", "") != "none") return "";
    if (!refusal.empty()) continue;
    refusal = "no pager is configured: the telephony host (ringwell-host, pid " +
              std::to_string(content.value("pid", 0)) +
              (box.host.empty() ? "" : ", on " + box.host) +
              ") runs without one; give it --pager-config FILE to send pages";
  }
  return refusal;
}

void RefuseUnsendablePages(const nlohmann::json& description, const std::string& root) {
  if (!description.is_object() || !description.contains("type") || description["type"] != "page") {
    return;
  }
  if (std::string problem = PagerProblem(root); !problem.empty()) {
    throw Failure(E_INVALIDARG, problem, "type");
  }
}

}  // namespace ringwell::kel::client
