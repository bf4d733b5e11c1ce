// Failures of the audio library carry, beside their status code, the reason
// in plain words ("Stream format 40 (TrueSpeech 8 kHz mono) cannot be
// written: ..."), as the description of the ComError's error object. The
// components that use the library report such a failure like any caught
// failure, through ErrorReporter::Guard ("Error in %1: %2", with the reason
// following the code's error text in %2), so the event log and the caller see
// why.
//
// Thread-safety: pure functions; GuardOperation reports through the given
// reporter on the calling thread.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "ringwell/common/error_info.h"
#include "ringwell/common/error_report.h"

namespace ringwell::audio {

// Throws ComError(hr) whose error object describes `reason`.
[[noreturn]] void ThrowWithReason(HRESULT hr, std::string reason);

// The reason a failure carries (empty when it carries none).
inline std::string ReasonOf(const ComError& error) { return error.Reason(); }

// ErrorText of the failure's code, followed by its reason when it has one.
inline std::string FailureText(const ComError& error) { return error.MessageText(); }

// Runs `body` (returning HRESULT) at the boundary of `operation`: the
// reporter's Guard.
template <class Body>
HRESULT GuardOperation(const ErrorReporter& reporter, std::string_view operation, Body&& body) {
  return reporter.Guard(operation, std::forward<Body>(body));
}

}  // namespace ringwell::audio
