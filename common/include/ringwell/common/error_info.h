// The error object that travels beside a failing status code: a thread-local
// record of source (the reporting class's ProgID), description and interface
// identifier, set by the component that fails and taken by its caller, and
// ComError, the exception that carries a status code (and optionally such a
// record) from a failing platform or library call to the boundary of an
// operation.
//
// Thread-safety: each thread has its own error object.
#pragma once

#include <exception>
#include <optional>
#include <string>

#include "ringwell/common/guid.h"
#include "ringwell/common/hresult.h"

namespace ringwell {

struct ErrorInfo {
  std::string source;       // ProgID of the reporting class, may be empty
  std::string description;  // formatted message text
  Guid iid;                 // interface the failure belongs to, or null
};

// Attaches `info` to the calling thread, replacing any earlier one.
void SetErrorInfo(ErrorInfo info);
// Removes the calling thread's error object.
void ClearErrorInfo();
// Takes the calling thread's error object away (it is cleared), if any.
std::optional<ErrorInfo> GetErrorInfo();

// A failure with a status code, thrown inside an operation and caught at its
// boundary.
class ComError : public std::exception {
 public:
  explicit ComError(HRESULT hr, std::optional<ErrorInfo> info = std::nullopt);
  HRESULT code() const noexcept { return hr_; }
  const std::optional<ErrorInfo>& info() const noexcept { return info_; }
  // ErrorText of the code, computed once.
  const std::string& Text() const;
  // The reason the error object gives (its description without trailing
  // line breaks); empty when it carries none.
  std::string Reason() const;
  // The failure's message text, as the events and error descriptions of a
  // caught failure give it: Text(), followed by the reason when there is one
  // ("The parameter is incorrect. Call result refused: ...").
  std::string MessageText() const;
  const char* what() const noexcept override;

 private:
  HRESULT hr_;
  std::optional<ErrorInfo> info_;
  mutable std::string text_;
};

// Throws ComError(hr) when hr is a failure; returns hr otherwise.
HRESULT ThrowIfFailed(HRESULT hr);
// Throws ComError for the current errno.
[[noreturn]] void ThrowLastErrno();

// What an operation's boundary makes of the exception being handled: a
// ComError as it is, std::bad_alloc as E_OUTOFMEMORY, anything else as
// E_FAIL. Call it only inside a catch block, usually `catch (...)`.
ComError CaughtFailure();

}  // namespace ringwell
