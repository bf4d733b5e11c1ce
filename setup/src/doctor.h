// What "ringwell-setup --check" looks at beyond the configuration checks the
// programs make at start: whether espeak-ng has a voice to speak with, and
// whether the daemon and the host are running, and the HTTP API.
//
// Thread-safety: the checks keep no state; any thread may run them.
#pragma once

#include <string>
#include <vector>

#include "ringwell/setup/checks.h"

namespace ringwell::setup {

std::vector<Problem> CheckSpeechVoices();
std::vector<Problem> CheckRunningPrograms();
// The HTTP API's problems, from `ringwell-api --check` in `bin_dir`.
std::vector<Problem> CheckApi(const std::string& bin_dir);

}  // namespace ringwell::setup
