// Guarded: the scheduler workers' error boundary, a thin form of the common
// ErrorReporter::Guard for bodies that return nothing. What the body throws (a
// ComError, an exhausted memory, anything else) is written as the message
// `id` of the scheduler's table ("Error in %1: %2." or "XML error in %1: %2.")
// with the operation's name and the text of the failure; what it concerns
// (request, report, line) goes beside the entry. The calling thread gets an
// error object with the same description.
//
// Thread-safety: any thread; it touches only the event log and the calling
// thread's error object.
#pragma once

#include <cstdint>
#include <string_view>

#include "dialqueue_log.h"

namespace ringwell::dialqueue {

// Runs `body` (returning nothing); S_OK when it returned, else the code of
// what it threw, reported as above.
template <class Body>
HRESULT Guarded(std::uint32_t id, std::string_view operation, const EventContext& context,
                Body&& body) {
  return DialqueueReporter().About(context).Guard(operation, id, [&] {
    body();
    return S_OK;
  });
}

}  // namespace ringwell::dialqueue
