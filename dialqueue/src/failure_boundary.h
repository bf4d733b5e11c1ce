// Guarded: the scheduler's error boundary. The scheduler object's operations
// and the workers' steps run their bodies through it, so that nothing but an
// event and a status leaves them: what the body throws (a ComError, an
// exhausted memory, anything else) is written as the message `id` of the
// scheduler's table ("Error in %1: %2." or "XML error in %1: %2.") with the
// operation's name and, as DescribeFailure gives it, what the failure
// concerns and the text of its code. The calling thread gets an error object
// with the same description.
//
// Thread-safety: any thread; it touches only the event log and the calling
// thread's error object.
#pragma once

#include <cstdint>
#include <new>
#include <string_view>

#include "dialqueue_log.h"
#include "ringwell/common/error_info.h"

namespace ringwell::dialqueue {

// Runs `body` (returning nothing); S_OK when it returned, else the code of
// what it threw, reported as above.
template <class Body>
HRESULT Guarded(std::uint32_t id, std::string_view operation, std::string_view subject,
                Body&& body) {
  auto report = [&](HRESULT hr, std::string_view text) {
    return DialqueueReporter().TwoStrings(id, operation, DescribeFailure(text, subject), hr,
                                          LogFlag::kYes);
  };
  try {
    body();
    return S_OK;
  } catch (const ComError& e) {
    return report(e.code(), e.Text());
  } catch (const std::bad_alloc&) {
    return report(E_OUTOFMEMORY, ErrorText(E_OUTOFMEMORY));
  } catch (...) {
    return report(E_FAIL, ErrorText(E_FAIL));
  }
}

}  // namespace ringwell::dialqueue
