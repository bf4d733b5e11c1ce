#include "ringwell/common/status_file.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <ctime>
#include <mutex>

#include "ringwell/common/files.h"
#include "ringwell/common/leader_lease.h"
#include "ringwell/common/ole_date.h"
#include "ringwell/common/safe_files.h"
#include "ringwell/common/storage.h"
#include "ringwell/common/version.h"

namespace ringwell::status_file {
namespace {

using Clock = std::chrono::system_clock;

std::int64_t Millis(Clock::time_point time) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
}

}  // namespace

std::string PathOf(const std::string& root, std::string_view program, std::string_view host) {
  std::string name(program);
  if (!host.empty()) name += "-" + std::string(host);
  return root + kStatusDir + "/" + name + ".json";
}

std::string RootIdentity(const std::string& root) {
  struct stat status {};
  if (::stat(root.c_str(), &status) != 0) return {};
  return std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino);
}

HRESULT Write(const std::string& root, std::string_view program, std::string_view state,
              Clock::time_point started, std::chrono::seconds interval,
              const nlohmann::json& details, std::string_view host) {
  const Clock::time_point now = Clock::now();
  nlohmann::json content = {{"format", kFormat},
                            {"program", program},
                            {"version", kVersion},
                            {"pid", ::getpid()},
                            {"root", root},
                            {"rootId", RootIdentity(root)},
                            {"state", state},
                            {"started", UtcIsoMillis(started)},
                            {"time", UtcIsoMillis(now)},
                            {"unixMillis", Millis(now)},
                            {"interval", interval.count()}};
  if (!host.empty()) content["host"] = host;
  if (details.is_object()) {
    for (const auto& [key, value] : details.items()) content[key] = value;
  }
  const std::string directory = root + kStatusDir;
  if (!IsDirectory(directory)) MakeDirectory(directory, 02775);
  return WriteFileAtomically(PathOf(root, program, host), content.dump() + "\n",
                             Durability::kSyncedLater);
}

std::optional<Reading> Read(const std::string& root, std::string_view program, std::string* problem,
                            std::string_view host) {
  const std::string path = PathOf(root, program, host);
  std::string text;
  const HRESULT hr = ReadWholeFile(path, &text);
  if (Failed(hr)) {
    *problem = (FileExists(path) ? "cannot read " : "no ") + path + ": " + ErrorText(hr);
    return std::nullopt;
  }
  Reading reading;
  reading.content = nlohmann::json::parse(text, nullptr, false);
  if (!reading.content.is_object() || reading.content.value("format", 0) != kFormat ||
      !reading.content.contains("unixMillis") || !reading.content["unixMillis"].is_number()) {
    *problem = path + " is not a status file of format " + std::to_string(kFormat);
    return std::nullopt;
  }
  reading.time = Clock::time_point(
      std::chrono::milliseconds(reading.content["unixMillis"].get<std::int64_t>()));
  const nlohmann::json written_on = reading.content.value("host", nlohmann::json());
  reading.host = written_on.is_string() ? written_on.get<std::string>() : "";
  if (!reading.host.empty() && ReadSharedRootSettings().host_id != reading.host) {
    // Another box's mount of the same root: the same path, another device.
    reading.other_box = true;
    reading.this_root = reading.content.value("root", "") == root;
  } else {
    const std::string identity = RootIdentity(root);
    reading.this_root = !identity.empty() && reading.content.value("rootId", "") == identity;
  }
  return reading;
}

std::vector<BoxReading> ReadEvery(const std::string& root, std::string_view program) {
  std::vector<BoxReading> found;
  std::vector<std::string> hosts;
  const std::string prefix = std::string(program) + "-";
  std::vector<DirectoryEntry> entries;
  if (Succeeded(ListDirectory(root + kStatusDir, &entries))) {
    for (const DirectoryEntry& entry : entries) {
      const std::string& name = entry.name;
      if (entry.type != DirectoryEntry::Type::kFile) continue;
      if (name == std::string(program) + ".json") {
        hosts.push_back("");
      } else if (name.size() > prefix.size() + 5 && name.starts_with(prefix) &&
                 name.ends_with(".json")) {
        const std::string host = name.substr(prefix.size(), name.size() - prefix.size() - 5);
        if (IsPlainName(host)) hosts.push_back(host);
      }
    }
  }
  std::sort(hosts.begin(), hosts.end());
  for (const std::string& host : hosts) {
    BoxReading box{.host = host, .path = PathOf(root, program, host), .reading = {}, .problem = {}};
    box.reading = Read(root, program, &box.problem, host);
    found.push_back(std::move(box));
  }
  return found;
}

bool SeenWorking(const Reading& reading, std::chrono::seconds max_age, std::string* why_not) {
  const nlohmann::json& content = reading.content;
  const std::string program = content.value("program", "the program");
  if (!reading.this_root) {
    *why_not =
        program + " wrote its status for another storage root (" + content.value("root", "?") + ")";
    return false;
  }
  if (content.value("state", "") != "running") {
    *why_not = program + " stopped at " + content.value("time", "?");
    return false;
  }
  const auto pid = content.value("pid", 0);
  if (!reading.other_box && (pid <= 0 || (::kill(pid, 0) != 0 && errno == ESRCH))) {
    *why_not = program + " (pid " + std::to_string(pid) + ") is not running; last seen at " +
               content.value("time", "?");
    return false;
  }
  const auto age = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - reading.time);
  if (age > max_age) {
    *why_not = program + " last seen " + std::to_string(age.count()) + " s ago, at " +
               content.value("time", "?");
    return false;
  }
  return true;
}

Heartbeat::Heartbeat(std::string root, std::string program, std::chrono::seconds interval,
                     std::function<nlohmann::json()> details, std::string host)
    : root_(std::move(root)),
      program_(std::move(program)),
      host_(std::move(host)),
      interval_(interval),
      details_(std::move(details)),
      started_(Clock::now()) {
  Beat("running");
  thread_ = std::jthread([this](std::stop_token stop) {
    std::mutex mutex;
    std::condition_variable_any wake;
    std::unique_lock lock(mutex);
    for (;;) {
      wake.wait_for(lock, stop, interval_, [] { return false; });
      if (stop.stop_requested()) return;
      Beat("running");
    }
  });
}

Heartbeat::~Heartbeat() {
  thread_.request_stop();
  thread_.join();
  Beat("stopped");
}

void Heartbeat::Beat(std::string_view state) {
  nlohmann::json details = nlohmann::json::object();
  try {
    if (details_) details = details_();
  } catch (const std::exception&) {
    // What cannot be told now is told on the next beat.
  }
  Write(root_, program_, state, started_, interval_, details, host_);
}

}  // namespace ringwell::status_file
