#include "host_devices.h"

#include <chrono>

#include "ringwell/common/status_file.h"
#include "toolkit.h"

namespace ringwell::kel::client {

std::string PagerProblem(const std::string& root) {
  std::string problem;
  const auto reading = status_file::Read(root, "ringwell-host", &problem);
  if (!reading || !status_file::SeenWorking(*reading, std::chrono::seconds(30), &problem)) {
    return "";
  }
  const nlohmann::json pager = reading->content.value("pager", nlohmann::json::object());
  if (!pager.is_object() || pager.value("kind", "") != "none") return "";
  return "no pager is configured: the telephony host (ringwell-host, pid " +
         std::to_string(reading->content.value("pid", 0)) +
         ") runs without one; give it --pager-config FILE to send pages";
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
