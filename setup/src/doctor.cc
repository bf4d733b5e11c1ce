#include "doctor.h"

#include <espeak-ng/speak_lib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "setup_steps.h"

namespace ringwell::setup {

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

std::vector<Problem> CheckRunningPrograms() {
  bool prepax = false;
  bool host = false;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
    const std::string pid = entry.path().filename();
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream comm(entry.path() / "comm");
    std::string name;
    std::getline(comm, name);
    prepax = prepax || name == "prepax";
    host = host || name == "ringwell-host";
  }
  // The package's units are there to be enabled; otherwise ringwell-setup
  // writes units of its own.
  const bool packaged = !PackagedUnit().empty();
  const auto start = [packaged](const std::string& program) {
    return packaged ? "systemctl enable --now " + program
                    : "systemctl start " + program + " (after ringwell-setup --systemd), or run " +
                          program;
  };
  std::vector<Problem> problems;
  if (!prepax) problems.push_back({"the daemon prepax is not running", start("prepax")});
  if (!host)
    problems.push_back({"no telephony host is running (ringwell-host)", start("ringwell-host")});
  return problems;
}

}  // namespace ringwell::setup
