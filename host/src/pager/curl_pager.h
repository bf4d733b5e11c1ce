// CurlPager: the real pager of ringwell-host. Each page goes out through the
// delivery channel its recipient's service selects (pager_config.h): a web
// hook (http_channel.h) or e-mail (mail_channel.h). The pages of a batch are
// sent side by side on one libcurl multi handle, each with its own timeout, so
// a slow gateway delays no other page's delivery. Every page gets a Call result
// with Status and Answer "Sent" or "Failed", the reason in Error (the HTTP
// status line, the SMTP reply, the timeout, or an unknown service) and the
// channel's reply in Protocol. With a pager log, each page is also printed on
// standard output and appended to the log (time, number, service, request ID,
// status, text; tab-separated). Secrets never appear in any of these.
//
// Thread-safety: SendPages may be called from one thread at a time (the
// scheduler's pager worker); a batch blocks until its last page has ended,
// at most the configured timeout and 5 s more.
#pragma once

#include <string>
#include <vector>

#include "page_log.h"
#include "pager/pager_config.h"
#include "ringwell/common/com.h"
#include "ringwell/dialqueue/dialqueue.h"

namespace ringwell::host {

class CurlPager final : public ComObject<dialqueue::IPager> {
 public:
  // `log_path` empty: no pager log and nothing printed.
  CurlPager(pager::PagerConfig config, std::string log_path);

  HRESULT Describe(std::string* a_pbstrDescription) override;
  HRESULT SendPages(std::int32_t count, const char* const* numbers, const char* const* services,
                    const char* const* request_xmls, std::vector<std::string>* results) override;

 private:
  void Log(const std::string& number, const std::string& service, const std::string& id,
           const std::string& status, const std::string& text, const std::string& reason);

  const pager::PagerConfig config_;
  PageLog log_;
};

}  // namespace ringwell::host
