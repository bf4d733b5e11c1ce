#include "ringwell/common/error_report.h"

namespace ringwell {

HRESULT ErrorReporter::LogOnly(std::uint32_t id, std::string_view s, HRESULT hr,
                               LogFlag log) const {
  if (log == LogFlag::kYes) log_->ReportOneString(EventTypeOf(id), id, s, context_);
  return hr;
}

HRESULT ErrorReporter::Plain(std::uint32_t id, HRESULT hr, LogFlag log, const Guid& iid) const {
  return Report(id, {}, hr, log, iid);
}

HRESULT ErrorReporter::OneString(std::uint32_t id, std::string_view s, HRESULT hr, LogFlag log,
                                 const Guid& iid) const {
  const std::string_view strings[] = {s};
  return Report(id, strings, hr, log, iid);
}

HRESULT ErrorReporter::TwoStrings(std::uint32_t id, std::string_view s1, std::string_view s2,
                                  HRESULT hr, LogFlag log, const Guid& iid) const {
  const std::string_view strings[] = {s1, s2};
  return Report(id, strings, hr, log, iid);
}

HRESULT ErrorReporter::Caught(std::string_view operation, const ComError& error, LogFlag log,
                              std::uint32_t id) const {
  const Guid iid = error.info() ? error.info()->iid : kGuidNull;
  const std::string text = error.MessageText();
  const std::string_view strings[] = {operation, text};
  // A caught failure always carries an error object, whatever its code.
  if (log == LogFlag::kYes) {
    log_->ReportTwoStrings(EventTypeOf(id), id, strings[0], strings[1], context_);
  }
  SetErrorInfo({std::string(source_), log_->FormatMessage(id, strings), iid});
  return error.code();
}

HRESULT ErrorReporter::Report(std::uint32_t id, std::span<const std::string_view> strings,
                              HRESULT hr, LogFlag log, const Guid& iid) const {
  if (log == LogFlag::kYes) {
    if (strings.size() >= 2) {
      log_->ReportTwoStrings(EventTypeOf(id), id, strings[0], strings[1], context_);
    } else {
      log_->ReportOneString(EventTypeOf(id), id, strings.empty() ? std::string_view() : strings[0],
                            context_);
    }
  }
  if (Succeeded(hr)) return hr;
  SetErrorInfo({std::string(source_), log_->FormatMessage(id, strings), iid});
  return hr;
}

}  // namespace ringwell
