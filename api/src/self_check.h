// `ringwell-api --check`: what ringwell-setup --check asks of the API. The
// registry's Api values (read by the caller), the token file (readable as a
// token file, mode 0600, owned by the service user "ringwell" where it
// exists, its folder there to make it in), the TLS files, the callback secret
// (readable, or its folder writable to make it), the web console's folder
// (index.html there) and the alert routes file (it parses; a missing default
// file is no routes); and, once the API is in use
// (a token file exists or its unit is enabled), whether something answers on
// every Listen address. Each problem is one line "problem: WHAT; to fix: FIX".
//
// Thread-safety: run once on the main thread.
#pragma once

#include <string>
#include <vector>

#include "options.h"

namespace ringwell::api {

struct CheckProblem {
  std::string what;
  std::string fix;
};

// The problems found; `checked` (may be null) gets one line per thing
// checked and found well ("the token file ... (2 tokens)").
std::vector<CheckProblem> CheckInstallation(const Options& options,
                                            std::vector<std::string>* checked = nullptr);

}  // namespace ringwell::api
