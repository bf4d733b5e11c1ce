#include "ringwell/wavshift/audio_error.h"

namespace ringwell::audio {

void ThrowWithReason(HRESULT hr, std::string reason) {
  throw ComError(hr, ErrorInfo{.source = {}, .description = std::move(reason), .iid = kGuidNull});
}

std::string ReasonOf(const ComError& error) {
  if (!error.info()) return {};
  std::string reason = error.info()->description;
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r')) reason.pop_back();
  return reason;
}

std::string FailureText(const ComError& error) {
  const std::string reason = ReasonOf(error);
  return reason.empty() ? error.Text() : error.Text() + " " + reason;
}

}  // namespace ringwell::audio
