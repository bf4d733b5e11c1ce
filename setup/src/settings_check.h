// The check of the values under the installation's registry keys
// (SOFTWARE\Corvane\Ringwell and its Api table): a known setting of the wrong
// kind or out of its range is a problem of Concern::kSetting, a name that no
// program reads one of Concern::kUnknownSetting. Each names the file, the key
// and the value, and what the value may be.
//
// Thread-safety: reads the registry and keeps no state; any thread may call it.
#pragma once

#include <vector>

#include "ringwell/setup/checks.h"

namespace ringwell::setup {

void CheckSettings(std::vector<Problem>* problems);

}  // namespace ringwell::setup
