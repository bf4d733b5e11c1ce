// Failures of the audio library carry, beside their status code, the reason
// in plain words ("Stream format 40 (TrueSpeech 8 kHz mono) cannot be
// written: ..."), as the description of the ComError's error object. The
// components that use the library report such a failure like any caught
// failure ("Error in %1: %2"), with the reason following the code's error
// text in %2, so the event log and the caller see why.
//
// Thread-safety: pure functions; GuardOperation reports through the given
// reporter on the calling thread.
#pragma once

#include <new>
#include <string>
#include <string_view>

#include "ringwell/common/error_info.h"
#include "ringwell/common/error_report.h"

namespace ringwell::audio {

// Throws ComError(hr) whose error object describes `reason`.
[[noreturn]] void ThrowWithReason(HRESULT hr, std::string reason);

// The reason a failure carries (empty when it carries none).
std::string ReasonOf(const ComError& error);

// ErrorText of the failure's code, followed by its reason when it has one.
std::string FailureText(const ComError& error);

// Runs `body` (returning HRESULT) and reports what it throws as a caught
// failure of `operation` ("Error in %1: %2", logged, error object for the
// caller), with the reason in %2 when the failure carries one.
template <class Body>
HRESULT GuardOperation(const ErrorReporter& reporter, std::string_view operation, Body&& body) {
  try {
    return body();
  } catch (const ComError& e) {
    if (ReasonOf(e).empty()) return reporter.Caught(operation, e);
    return reporter.TwoStrings(kErrorInMessage, operation, FailureText(e), e.code(), LogFlag::kYes,
                               e.info()->iid);
  } catch (const std::bad_alloc&) {
    return reporter.Caught(operation, ComError(E_OUTOFMEMORY));
  } catch (...) {
    return reporter.Caught(operation, ComError(E_FAIL));
  }
}

}  // namespace ringwell::audio
