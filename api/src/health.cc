#include "health.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "metrics.h"
#include "ringwell/common/disk_space.h"
#include "ringwell/common/files.h"
#include "ringwell/common/safe_files.h"
#include "ringwell/common/status_file.h"
#include "ringwell/common/storage.h"

namespace ringwell::api {
namespace {

nlohmann::json Check(bool ok, const std::string& detail) {
  return {{"ok", ok}, {"detail", detail}};
}

nlohmann::json CheckStorage(const std::string& root) {
  for (const char* dir : {kInboxDir, kReportsDir, kEventsDir}) {
    const std::string path = root + dir;
    if (::faccessat(AT_FDCWD, path.c_str(), R_OK | W_OK | X_OK, AT_EACCESS) != 0) {
      return Check(false, path + " is not writable: " + std::strerror(errno));
    }
  }
  return Check(true, root + " is writable");
}

// Below the configured free space the root is not ready: requests would be
// refused (507) or wait in Inbox.
nlohmann::json CheckSpace(const std::string& root) {
  const std::optional<std::uint64_t> free = FreeSpace(root);
  if (!free) return Check(false, "cannot tell the free space of " + root);
  const std::uint64_t wanted = ConfiguredMinFreeSpace();
  const std::string detail = SpaceText(*free) + " free on " + root + ", at least " +
                             SpaceText(wanted) + " wanted (" + kMinFreeSpaceValue + ")";
  return Check(*free >= wanted, detail);
}

// "2 simulated lines, 1 SIP line, simulated pager": the devices of the
// host's heartbeat, every simulated one said to be so.
std::string DescribeDevices(const nlohmann::json& content) {
  int simulated = 0;
  int sip = 0;
  for (const auto& line : content.value("lines", nlohmann::json::array())) {
    if (!line.is_object() || line.value("kind", "") == "pager") continue;
    ++(line.value("kind", "") == "sip" ? sip : simulated);
  }
  const auto count = [](int n, const char* what) {
    return std::to_string(n) + " " + what + " line" + (n == 1 ? "" : "s");
  };
  std::string text;
  if (simulated > 0) text += count(simulated, "simulated") + ", ";
  if (sip > 0) text += count(sip, "SIP") + ", ";
  const nlohmann::json pager = content.value("pager", nlohmann::json::object());
  const std::string kind = pager.is_object() ? pager.value("kind", "none") : "none";
  text += kind == "real"        ? "pager"
          : kind == "simulated" ? "simulated pager (pages are not sent)"
                                : "no pager (pages fail: no pager is configured)";
  return text;
}

// One program's heartbeats (each box's on a shared root): ok when one of them
// was seen working.
nlohmann::json CheckProgram(const std::string& root, const char* program,
                            std::chrono::seconds max_age) {
  const std::vector<status_file::BoxReading> boxes = status_file::ReadEvery(root, program);
  if (boxes.empty()) {
    return Check(false, std::string(program) + " has never run on this root (no " +
                            status_file::PathOf(root, program) + ")");
  }
  std::string working, problems, time;
  for (const status_file::BoxReading& box : boxes) {
    std::string problem = box.problem;
    const std::string on = box.host.empty() ? "" : " on " + box.host;
    if (!box.reading || !status_file::SeenWorking(*box.reading, max_age, &problem)) {
      problems +=
          (problems.empty() ? "" : "; ") + (box.host.empty() ? "" : box.host + ": ") + problem;
      continue;
    }
    const std::string seen = box.reading->content.value("time", "?");
    std::string detail = std::string(program) + on + " seen working at " + seen;
    if (std::string_view(program) == kHostStatus) {
      detail += "; " + DescribeDevices(box.reading->content);
    }
    working += (working.empty() ? "" : "; ") + detail;
    if (seen > time) time = seen;
  }
  if (working.empty()) return Check(false, problems);
  nlohmann::json check = Check(true, working);
  check["time"] = time;
  return check;
}

// The heartbeats of the hosts seen working as one: their lines together, due
// queues and counters added up, SIP registered when every one is.
nlohmann::json WorkingHosts(const std::vector<status_file::BoxReading>& boxes,
                            std::chrono::seconds max_age) {
  nlohmann::json hosts;
  for (const status_file::BoxReading& box : boxes) {
    std::string problem;
    if (!box.reading || !status_file::SeenWorking(*box.reading, max_age, &problem)) continue;
    const nlohmann::json& content = box.reading->content;
    if (hosts.is_null()) {
      hosts = content;
      continue;
    }
    for (const auto& line : content.value("lines", nlohmann::json::array())) {
      hosts["lines"].push_back(line);
    }
    hosts["dueQueue"] = hosts.value("dueQueue", 0.0) + content.value("dueQueue", 0.0);
    const nlohmann::json counters = content.value("counters", nlohmann::json::object());
    for (const auto& [family, results] : counters.items()) {
      if (!results.is_object()) continue;
      for (const auto& [result, count] : results.items()) {
        if (!count.is_number()) continue;
        nlohmann::json& sum = hosts["counters"][family][result];
        sum = (sum.is_number() ? sum.get<double>() : 0.0) + count.get<double>();
      }
    }
    if (content.contains("sip")) {
      const bool registered =
          content["sip"].value("registration", "") == "registered" &&
          (!hosts.contains("sip") || hosts["sip"].value("registration", "") == "registered");
      hosts["sip"] = {{"registration", registered ? "registered" : "not registered"}};
    }
  }
  return hosts;
}

std::size_t InboxBacklog(const std::string& root) {
  std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir((root + kInboxDir).c_str()), &::closedir);
  std::size_t count = 0;
  if (!listing) return 0;
  while (const dirent* entry = ::readdir(listing.get())) {
    const std::string_view name = entry->d_name;
    if (name.size() > 4 && name.front() != '.' && name.substr(name.size() - 4) == ".xml") ++count;
  }
  return count;
}

std::string Sample(const std::string& name, const std::string& labels, double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.10g", value);
  return name + (labels.empty() ? "" : "{" + labels + "}") + " " + text + "\n";
}

}  // namespace

Readiness CheckReadiness(const std::string& root, std::chrono::seconds max_age) {
  Readiness readiness;
  const nlohmann::json checks = {{"storage", CheckStorage(root)},
                                 {"space", CheckSpace(root)},
                                 {"prepax", CheckProgram(root, kPrepaxStatus, max_age)},
                                 {"host", CheckProgram(root, kHostStatus, max_age)}};
  readiness.ready = true;
  for (const auto& [name, check] : checks.items()) {
    readiness.ready = readiness.ready && check["ok"].get<bool>();
  }
  readiness.body = {{"ready", readiness.ready}, {"checks", checks}};
  return readiness;
}

std::string InstallationMetrics(const std::string& root, RequestCounts* counts,
                                std::chrono::seconds max_age) {
  std::string text;
  // Only once every request was counted: a part of them would be a wrong
  // figure, not a missing one.
  if (const auto by_status = counts ? counts->ByStatus() : std::nullopt) {
    text += MetricHeader("ringwell_requests", "gauge",
                         "Requests in the storage root by the status of their report "
                         "(Waiting: in Inbox, not yet taken up).");
    for (const auto& [status, count] : *by_status) {
      text += Sample("ringwell_requests",
                     "status=\"" + LabelValue(status.empty() ? "Waiting" : status) + "\"",
                     static_cast<double>(count));
    }
  }
  text += MetricHeader("ringwell_inbox_backlog", "gauge",
                       "Request files in Inbox that prepax has not taken up yet.") +
          Sample("ringwell_inbox_backlog", "", static_cast<double>(InboxBacklog(root)));

  text += MetricHeader("ringwell_component_up", "gauge",
                       "1 when the program was seen working recently (its heartbeat file).");
  std::string ages;
  nlohmann::json host;
  for (const char* program : {kPrepaxStatus, kHostStatus}) {
    // Each box's heartbeat on a shared root: up when one is, aged as the
    // youngest.
    const std::vector<status_file::BoxReading> boxes = status_file::ReadEvery(root, program);
    bool up = false;
    std::optional<double> age;
    for (const status_file::BoxReading& box : boxes) {
      if (!box.reading) continue;
      std::string problem;
      up = up || status_file::SeenWorking(*box.reading, max_age, &problem);
      const double seconds =
          std::chrono::duration<double>(std::chrono::system_clock::now() - box.reading->time)
              .count();
      if (!age || seconds < *age) age = seconds;
    }
    text += Sample("ringwell_component_up", "component=\"" + std::string(program) + "\"", up);
    if (age) {
      ages += Sample("ringwell_component_heartbeat_age_seconds",
                     "component=\"" + std::string(program) + "\"", *age);
    }
    if (std::string(program) == kHostStatus && up) host = WorkingHosts(boxes, max_age);
  }
  text += MetricHeader("ringwell_component_heartbeat_age_seconds", "gauge",
                       "Seconds since the program last wrote its heartbeat file.") +
          ages;
  if (host.is_null()) return text;

  double busy = 0;
  double idle = 0;
  const nlohmann::json lines = host.value("lines", nlohmann::json::array());
  for (const auto& line : lines) {
    if (line.value("kind", "") == "pager") continue;  // a pager is no line
    (line.value("busy", false) ? busy : idle) += 1;
  }
  text += MetricHeader("ringwell_lines", "gauge",
                       "The host's telephone lines (not its pager), busy with a call or idle.") +
          Sample("ringwell_lines", "state=\"busy\"", busy) +
          Sample("ringwell_lines", "state=\"idle\"", idle);
  text += MetricHeader("ringwell_due_queue_length", "gauge",
                       "Recipients due for a call or page now and waiting for a line.") +
          Sample("ringwell_due_queue_length", "", host.value("dueQueue", 0.0));
  const nlohmann::json counters = host.value("counters", nlohmann::json::object());
  for (const auto& [family, noun] : {std::pair{"calls", "Calls"}, std::pair{"pages", "Pages"}}) {
    const std::string name = std::string("ringwell_") + family + "_total";
    text += MetricHeader(name, "counter",
                         std::string(noun) + " the host made since it started, by result.");
    const nlohmann::json results = counters.value(family, nlohmann::json::object());
    for (const auto& [result, count] : results.items()) {
      if (count.is_number()) {
        text += Sample(name, "result=\"" + LabelValue(result) + "\"", count.get<double>());
      }
    }
  }
  if (host.contains("sip")) {
    text += MetricHeader("ringwell_sip_registered", "gauge",
                         "1 when the host's SIP lines are registered at the registrar.") +
            Sample("ringwell_sip_registered", "",
                   host["sip"].value("registration", "") == "registered" ? 1 : 0);
  }
  return text;
}

}  // namespace ringwell::api
