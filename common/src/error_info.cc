#include "ringwell/common/error_info.h"

#include <cerrno>
#include <new>

namespace ringwell {
namespace {
thread_local std::optional<ErrorInfo> t_error_info;
}

void SetErrorInfo(ErrorInfo info) { t_error_info = std::move(info); }

void ClearErrorInfo() { t_error_info.reset(); }

std::optional<ErrorInfo> GetErrorInfo() {
  std::optional<ErrorInfo> taken = std::move(t_error_info);
  t_error_info.reset();
  return taken;
}

ComError::ComError(HRESULT hr, std::optional<ErrorInfo> info) : hr_(hr), info_(std::move(info)) {}

const std::string& ComError::Text() const {
  if (text_.empty()) text_ = ErrorText(hr_);
  return text_;
}

std::string ComError::Reason() const {
  if (!info_) return {};
  std::string reason = info_->description;
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r')) reason.pop_back();
  return reason;
}

std::string ComError::MessageText() const {
  const std::string reason = Reason();
  return reason.empty() ? Text() : Text() + " " + reason;
}

const char* ComError::what() const noexcept {
  try {
    return Text().c_str();
  } catch (...) {
    return "ComError";
  }
}

HRESULT ThrowIfFailed(HRESULT hr) {
  if (Failed(hr)) throw ComError(hr);
  return hr;
}

void ThrowLastErrno() { throw ComError(HresultFromErrno(errno == 0 ? EIO : errno)); }

ComError CaughtFailure() {
  try {
    throw;
  } catch (const ComError& e) {
    return e;
  } catch (const std::bad_alloc&) {
    return ComError(E_OUTOFMEMORY);
  } catch (...) {
    return ComError(E_FAIL);
  }
}

}  // namespace ringwell
