#include "pager/curl_pager.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>

#include "call_record.h"
#include "device_boundary.h"
#include "pager/http_channel.h"
#include "pager/mail_channel.h"
#include "pager/page_text.h"
#include "pager/transfer.h"

namespace ringwell::host {
namespace {

using pager::PageOutcome;
using pager::Transfer;

struct MultiCleanup {
  void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};

// One page of a batch.
struct Page {
  std::string number;
  std::string service;
  pager::PageFields fields;
  std::string heading;                 // the first protocol line
  std::unique_ptr<Transfer> transfer;  // none when the page could not be sent
  PageOutcome outcome;
  OleDate time = 0;
  std::chrono::steady_clock::time_point started;
  int seconds = 0;
};

// Runs every page's transfer side by side until all have ended; the longest
// timeout of the batch is `timeout_seconds`.
void RunTransfers(std::vector<Page>& pages, double timeout_seconds) {
  std::unique_ptr<CURLM, MultiCleanup> multi(curl_multi_init());
  if (!multi) throw std::bad_alloc();
  int running = 0;
  for (Page& page : pages) {
    if (!page.transfer) continue;
    if (curl_multi_add_handle(multi.get(), page.transfer->easy()) != CURLM_OK) {
      page.outcome.error = "cannot start the transfer";
      page.transfer.reset();
      continue;
    }
    ++running;
  }
  // Every transfer has its own timeout; the batch as a whole gets a little more.
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(static_cast<long>(timeout_seconds * 1000) + 5000);
  while (running > 0 && std::chrono::steady_clock::now() < deadline) {
    if (curl_multi_perform(multi.get(), &running) != CURLM_OK) break;
    int pending = 0;
    while (CURLMsg* message = curl_multi_info_read(multi.get(), &pending)) {
      if (message->msg != CURLMSG_DONE) continue;
      // The message is gone once its handle leaves the multi handle.
      CURL* const done = message->easy_handle;
      const CURLcode code = message->data.result;
      for (Page& page : pages) {
        if (page.transfer && page.transfer->easy() == done) {
          page.outcome = page.transfer->Finish(code);
          page.seconds = static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(
                                              std::chrono::steady_clock::now() - page.started)
                                              .count());
          curl_multi_remove_handle(multi.get(), page.transfer->easy());
          page.transfer.reset();
        }
      }
    }
    if (running > 0) curl_multi_poll(multi.get(), nullptr, 0, 200, nullptr);
  }
  for (Page& page : pages) {
    if (!page.transfer) continue;  // ended, or never started
    curl_multi_remove_handle(multi.get(), page.transfer->easy());
    page.outcome = page.transfer->Finish(CURLE_OPERATION_TIMEDOUT);
    page.transfer.reset();
  }
}

}  // namespace

CurlPager::CurlPager(pager::PagerConfig config, std::string log_path)
    : config_(std::move(config)), log_(std::move(log_path)) {
  static std::once_flag curl_ready;
  std::call_once(curl_ready, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

HRESULT CurlPager::Describe(std::string* a_pbstrDescription) {
  return host::Describe(a_pbstrDescription, "Pager with " +
                                                std::to_string(config_.services.size()) +
                                                " services (web hooks and e-mail through libcurl)");
}

HRESULT CurlPager::SendPages(std::int32_t count, const char* const* numbers,
                             const char* const* services, const char* const* request_xmls,
                             std::vector<std::string>* results) {
  if (!PageArgumentsGiven(count, numbers, services, request_xmls, results)) return E_POINTER;
  return DeviceCall([&] {
    std::vector<Page> pages(static_cast<std::size_t>(count));
    double longest_timeout = 0;
    for (std::int32_t i = 0; i < count; ++i) {
      Page& page = pages[static_cast<std::size_t>(i)];
      page.number = PageField(numbers, i);
      page.service = PageField(services, i);
      const std::string request = PageField(request_xmls, i);
      page.fields = {page.number, pager::PageText(request, config_.max_length),
                     pager::RequestId(request)};
      page.time = OleDateNow();
      page.started = std::chrono::steady_clock::now();
      const pager::ServiceConfig* service = config_.Find(page.service);
      const std::string shown = page.service.empty() ? config_.default_service : page.service;
      page.heading = "Page to " + page.number + " via service \"" + shown +
                     "\": " + pager::OneLine(page.fields.text, 2000);
      if (service == nullptr) {
        page.outcome.error = page.service.empty() && config_.default_service.empty()
                                 ? "No service given and no default service configured"
                                 : "Unknown service \"" + page.service +
                                       "\": the pager configuration has no such service";
        continue;
      }
      const double timeout = config_.TimeoutOf(*service);
      longest_timeout = std::max(longest_timeout, timeout);
      try {
        page.transfer =
            service->channel == pager::Channel::kHttp
                ? pager::MakeHttpTransfer(*service, page.fields, config_.secrets, timeout)
                : pager::MakeMailTransfer(*service, page.fields, config_.secrets, timeout);
      } catch (const std::runtime_error& e) {
        page.outcome.error = e.what();
      }
    }
    RunTransfers(pages, longest_timeout);

    results->clear();
    for (Page& page : pages) {
      if (page.outcome.protocol.empty() && !page.outcome.sent) {
        page.outcome.protocol.push_back("Failed: " + page.outcome.error);
      }
      page.outcome.protocol.insert(page.outcome.protocol.begin(), page.heading);
      CallRecord record;
      record.time = page.time;
      record.status = record.answer = page.outcome.sent ? "Sent" : "Failed";
      record.error = config_.secrets.Redact(page.outcome.error);
      record.duration = page.seconds;
      for (const std::string& line : page.outcome.protocol) {
        record.protocol.push_back(config_.secrets.Redact(line));
      }
      results->push_back(CallResultXml(record));
      Log(page.number, page.service, page.fields.id, record.status, page.fields.text, record.error);
    }
    return S_OK;
  });
}

void CurlPager::Log(const std::string& number, const std::string& service, const std::string& id,
                    const std::string& status, const std::string& text, const std::string& reason) {
  if (log_.path().empty()) return;
  std::printf("ringwell-host: page to %s: %s%s%s\n", number.c_str(), status.c_str(),
              reason.empty() ? "" : ": ", reason.c_str());
  std::fflush(stdout);
  log_.Append(OleDateNow(), number, service, id, status, config_.secrets.Redact(text));
}

}  // namespace ringwell::host
