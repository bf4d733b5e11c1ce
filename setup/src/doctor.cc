#include "doctor.h"

#include <espeak-ng/speak_lib.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <string>

#include "ringwell/common/disk_space.h"
#include "ringwell/common/leader_lease.h"
#include "ringwell/common/safe_files.h"
#include "ringwell/common/status_file.h"
#include "setup_steps.h"

namespace ringwell::setup {
namespace {

using namespace std::chrono_literals;

// How to start `program`: the package's units are there to be enabled;
// otherwise ringwell-setup writes units of its own.
std::string StartCommand(const std::string& program) {
  return !PackagedUnit().empty() ? "systemctl enable --now " + program
                                 : "systemctl start " + program +
                                       " (after ringwell-setup --systemd), or run " + program;
}

// The name the kernel gives the process `pid` ("" when there is none).
std::string ProcessName(long pid) {
  std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  std::getline(comm, name);
  return name;
}

// "simulated lines 1,2, SIP lines 5,6, simulated pager on line 0": what the
// host's heartbeat says of its lines and its pager.
std::string DescribeLines(const nlohmann::json& lines, const nlohmann::json& pager) {
  std::string sim, sip;
  for (const auto& line : lines) {
    if (!line.is_object()) continue;
    const std::string kind = line.value("kind", "");
    if (kind == "pager") continue;
    const std::string number = std::to_string(line.value("line", 0));
    std::string& list = kind == "sip" ? sip : sim;
    list += (list.empty() ? "" : ",") + number;
  }
  std::string text;
  const auto add = [&text](const std::string& part) { text += (text.empty() ? "" : ", ") + part; };
  if (!sim.empty()) add("simulated lines " + sim);
  if (!sip.empty()) add("SIP lines " + sip);
  const std::string kind = pager.is_object() ? pager.value("kind", "none") : "none";
  const std::string on_line =
      pager.is_object() ? " on line " + std::to_string(pager.value("line", 0)) : "";
  if (kind == "real") {
    add("pager" + on_line);
  } else if (kind == "simulated") {
    add("simulated pager" + on_line + " (pages are not sent)");
  } else {
    add("no pager (pages fail: no pager is configured)");
  }
  return text;
}

// The host's lines and SIP registration, from its heartbeat.
void DescribeHost(const nlohmann::json& content, std::vector<std::string>* notes,
                  std::vector<Problem>* problems) {
  const std::string host = content.value("host", "");
  std::string line = "ringwell-host (" + (host.empty() ? "" : "on " + host + ", ") + "pid " +
                     std::to_string(content.value("pid", 0)) + "): " +
                     DescribeLines(content.value("lines", nlohmann::json::array()),
                                   content.value("pager", nlohmann::json::object()));
  const nlohmann::json sip = content.value("sip", nlohmann::json::object());
  const std::string state = sip.value("registration", "none");
  const std::string registrar = sip.value("registrar", "");
  const std::string detail = sip.value("detail", "");
  if (state == "registered") {
    line += "; SIP registered at " + registrar;
  } else if (state == "pending") {
    line += "; SIP registration at " + registrar + " pending";
  } else if (state == "failed") {
    line += "; SIP registration failed";
    problems->push_back(
        {"ringwell-host's SIP registration failed: " + detail,
         "correct --sip-registrar, --sip-user or the password file in RINGWELL_HOST_OPTIONS "
         "(/etc/ringwell/ringwell-host.conf for the service) and restart ringwell-host; "
         "ringwell-host --sip-test NUMBER with the same options tries one call"});
  } else if (!sip.empty()) {
    line += "; SIP lines without registration";
  }
  notes->push_back(line);
}

}  // namespace

std::vector<Problem> CheckSpeechVoices() {
  const std::string fix = "apt-get install espeak-ng-data";
  if (espeak_Initialize(AUDIO_OUTPUT_RETRIEVAL, 0, nullptr, espeakINITIALIZE_DONT_EXIT) < 0) {
    return {{"espeak-ng cannot start: its data (espeak-ng-data) is missing", fix}};
  }
  const espeak_VOICE** voices = espeak_ListVoices(nullptr);
  const bool any = voices != nullptr && voices[0] != nullptr;
  espeak_Terminate();
  if (!any) return {{"espeak-ng has no voice to speak with", fix}};
  return {};
}

std::vector<Problem> CheckFreeSpace(const std::string& root) {
  if (root.empty()) return {};  // told already: no storage root
  const std::optional<std::uint64_t> free = FreeSpace(root);
  const std::uint64_t wanted = ConfiguredMinFreeSpace();
  if (!free || *free >= wanted) return {};
  return {{"the storage root " + root + " has " + SpaceText(*free) + " free, less than the " +
               SpaceText(wanted) + " it needs (" + kMinFreeSpaceValue +
               "): new requests wait in Inbox or are refused",
           "free space on the file system of " + root + " (or lower " + kMinFreeSpaceValue +
               " in the registry)"}};
}

namespace {

// The program's heartbeat of this box (`host`: its name on a shared root).
void CheckProgram(const std::string& root, const std::string& program, const std::string& host,
                  std::vector<Problem>* problems, std::vector<std::string>* notes) {
  const std::string what = program == "prepax" ? "the daemon prepax" : "the telephony host";
  std::string why;
  const std::string heartbeat = status_file::PathOf(root, program, host);
  if (!FileExists(heartbeat)) {
    problems->push_back({what + " does not work for the storage root " + root +
                             " (it has left no heartbeat " + heartbeat + ")",
                         StartCommand(program)});
    return;
  }
  const auto reading = status_file::Read(root, program, &why, host);
  if (!reading) {
    problems->push_back({what + " does not work for the storage root " + root + " (" + why + ")",
                         StartCommand(program)});
    return;
  }
  // Three beats missed: the program is stuck or gone.
  const auto interval =
      std::chrono::seconds(std::max<long>(1, reading->content.value("interval", 2)));
  if (!status_file::SeenWorking(*reading, std::max<std::chrono::seconds>(10s, 3 * interval),
                                &why)) {
    problems->push_back(
        {what + " does not work for the storage root " + root + ": " + why, StartCommand(program)});
    return;
  }
  // The pid may have been given to another process since.
  const long pid = reading->content.value("pid", 0L);
  if (const std::string name = ProcessName(pid); !name.empty() && name != program) {
    problems->push_back({what + " does not work for the storage root " + root + ": its pid " +
                             std::to_string(pid) + " is now " + name,
                         StartCommand(program)});
    return;
  }
  if (program == "ringwell-host") DescribeHost(reading->content, notes, problems);
}

// The other boxes of a shared root: a note each, working or not (this box
// cannot mend them).
void NoteOtherBoxes(const std::string& root, const std::string& program, const std::string& host,
                    std::vector<std::string>* notes) {
  for (const status_file::BoxReading& box : status_file::ReadEvery(root, program)) {
    if (box.host.empty() || box.host == host) continue;
    std::string why = box.problem;
    if (!box.reading || !status_file::SeenWorking(*box.reading, 10s, &why)) {
      notes->push_back(program + " on " + box.host + " does not work: " + why);
      continue;
    }
    if (program == "ringwell-host") {
      std::vector<Problem> ignored;
      DescribeHost(box.reading->content, notes, &ignored);
    } else {
      notes->push_back(program + " on " + box.host + " seen working at " +
                       box.reading->content.value("time", "?"));
    }
  }
}

}  // namespace

std::vector<Problem> CheckRunningPrograms(const std::string& root,
                                          std::vector<std::string>* notes) {
  std::vector<Problem> problems;
  if (root.empty()) return problems;  // told already: no storage root
  // On a shared root each box has its heartbeats of its own: this box's
  // programs must work, the others' are told.
  const SharedRootSettings shared = ReadSharedRootSettings();
  const std::string host = shared.on ? shared.host_id : std::string();
  for (const std::string program : {"prepax", "ringwell-host"}) {
    CheckProgram(root, program, host, &problems, notes);
    if (shared.on) NoteOtherBoxes(root, program, host, notes);
  }
  return problems;
}

}  // namespace ringwell::setup
