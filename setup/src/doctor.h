// What "ringwell-setup --check" looks at beyond the configuration checks the
// programs make at start: whether espeak-ng has a voice to speak with,
// whether the daemon and the host work for this installation (their
// heartbeats below the storage root: fresh, their process alive and the
// program it should be), what the host's lines and SIP registration are, and,
// run as root, whether the user the services run as may use the storage root;
// and the HTTP API.
//
// Thread-safety: the checks keep no state; any thread may run them.
// CheckServiceAccess forks; call it before threads of one's own are started.
#pragma once

#include <string>
#include <vector>

#include "ringwell/setup/checks.h"

namespace ringwell::setup {

std::vector<Problem> CheckSpeechVoices();
// The daemon and the host on the storage root `root` (ending with "/"). What
// the host tells of its lines and registration goes to `notes`, one line each.
std::vector<Problem> CheckRunningPrograms(const std::string& root, std::vector<std::string>* notes);
// Run as root: whether the user prepax runs as (the running daemon's, else
// User= of its unit) may read the root and write its subdirectories. Nothing
// when this is not root or the services run as root.
std::vector<Problem> CheckServiceAccess(const std::string& root, std::vector<std::string>* notes);
// The free space on the storage root's file system, below MinFreeSpaceKB:
// requests would wait in Inbox or be refused.
std::vector<Problem> CheckFreeSpace(const std::string& root);
// The HTTP API's problems, from `ringwell-api --check` in `bin_dir`.
std::vector<Problem> CheckApi(const std::string& bin_dir);

}  // namespace ringwell::setup
