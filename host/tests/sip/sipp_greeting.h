// A callee for the answering-machine detection tests: SIPp (sipp_callee.h)
// answering one call with PCMU and streaming a recording into it with its
// rtp_stream, as a person or a voicemail answering would speak, then waiting
// for the caller's BYE.
//
// Thread-safety: as SippCallee.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sipp_callee.h"

namespace ringwell::host::sip::testing {

// Starts the callee in `dir` (made if missing) with `samples` (8 kHz) to say.
std::unique_ptr<SippCallee> StartGreetingCallee(const std::string& dir,
                                                const std::vector<std::int16_t>& samples);

}  // namespace ringwell::host::sip::testing
