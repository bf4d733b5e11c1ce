// ReportError: the single way a component reports a failure. Depending on the
// variant it writes an event-log entry (when the log flag is set), formats the
// message and attaches an error object (source = the reporting class's ProgID,
// description = the formatted message, interface identifier) to the calling
// thread, and returns the status code for the operation to return.
//
//   variant         insertions               error object
//   LogOnly         1                        never
//   Plain           0 (logged as one "")     when the code is negative
//   OneString       1                        when the code is negative
//   TwoStrings      2                        when the code is negative
//   Caught          operation, message text  always
//
// Guard is the boundary of every component operation: nothing but a status
// crosses it. It runs the operation's body and turns a ComError (or
// std::bad_alloc, E_OUTOFMEMORY, or any other exception, E_FAIL) into a caught
// failure with the operation's name: message "Error in %1: %2" of the
// deliverable's table (or the message a caller names), %2 being the failure's
// message text (ErrorText of the code, followed by the reason its error object
// gives, if any; see ComError::MessageText).
//
// What a report concerns (a request, a report path) is given with About: it
// goes beside the entry as its EventContext, never into the texts.
//
// Thread-safety: a reporter is immutable; any thread may use it.
#pragma once

#include <cstdint>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "ringwell/common/error_info.h"
#include "ringwell/common/event_log.h"

namespace ringwell {

enum class LogFlag : bool { kNo = false, kYes = true };

// Message identifier of "Error in %1: %2" in every deliverable's table.
constexpr std::uint32_t kErrorInMessage = 0xC0000001;

class ErrorReporter {
 public:
  ErrorReporter(const CEventLog& log, std::string_view source) : log_(&log), source_(source) {}

  // The same reporter, its entries concerning `context`.
  ErrorReporter About(EventContext context) const {
    ErrorReporter about = *this;
    about.context_ = std::move(context);
    return about;
  }

  HRESULT LogOnly(std::uint32_t id, std::string_view s, HRESULT hr,
                  LogFlag log = LogFlag::kYes) const;
  HRESULT Plain(std::uint32_t id, HRESULT hr, LogFlag log, const Guid& iid = kGuidNull) const;
  HRESULT OneString(std::uint32_t id, std::string_view s, HRESULT hr, LogFlag log,
                    const Guid& iid = kGuidNull) const;
  HRESULT TwoStrings(std::uint32_t id, std::string_view s1, std::string_view s2, HRESULT hr,
                     LogFlag log, const Guid& iid = kGuidNull) const;
  // A caught failure of `operation`, reported as message `id` (a message
  // "... %1: %2" of the deliverable's table).
  HRESULT Caught(std::string_view operation, const ComError& error, LogFlag log = LogFlag::kYes,
                 std::uint32_t id = kErrorInMessage) const;

  // Runs `body` (returning HRESULT) and reports what it throws as a caught
  // failure of `operation`.
  template <class Body>
  HRESULT Guard(std::string_view operation, Body&& body) const {
    return Guard(operation, kErrorInMessage, std::forward<Body>(body));
  }
  // The same, reported as message `id` instead of "Error in %1: %2".
  template <class Body>
  HRESULT Guard(std::string_view operation, std::uint32_t id, Body&& body) const {
    try {
      return body();
    } catch (const ComError& e) {
      return Caught(operation, e, LogFlag::kYes, id);
    } catch (const std::bad_alloc&) {
      return Caught(operation, ComError(E_OUTOFMEMORY), LogFlag::kYes, id);
    } catch (...) {
      return Caught(operation, ComError(E_FAIL), LogFlag::kYes, id);
    }
  }

  const CEventLog& log() const { return *log_; }
  std::string_view source() const { return source_; }
  const EventContext& context() const { return context_; }

 private:
  HRESULT Report(std::uint32_t id, std::span<const std::string_view> strings, HRESULT hr,
                 LogFlag log, const Guid& iid) const;

  const CEventLog* log_;
  std::string_view source_;
  EventContext context_;
};

}  // namespace ringwell
