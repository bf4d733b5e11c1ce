#include "pager_helper.h"

#include "dialqueue_log.h"
#include "failure_boundary.h"
#include "request_files.h"
#include "request_paths.h"
#include "retry_rules.h"
#include "ringwell/common/error_info.h"
#include "ringwell/common/safe_files.h"
#include "ringwell/common/text.h"
#include "ringwell/common/xml.h"

namespace ringwell::dialqueue {
namespace {

// The operation names the pager's entries carry.
constexpr char kStepOperation[] = "CPagerHelper::ProcessDialRequests";
constexpr char kResultOperation[] = "CPagerHelper::ProcessPagerRequests";
constexpr char kRemoveOperation[] = "CPagerHelper::RemoveRequests";
constexpr auto kPollInterval = std::chrono::milliseconds(300);
constexpr auto kPauseAfterSend = std::chrono::milliseconds(5000);

EventContext PageSubject(const CQueueEntry& entry) {
  return {.request_id = entry.Id, .path = entry.RequestFile};
}

// The requests of a batch, each named once.
template <class Items>
EventContext BatchSubject(const Items& items) {
  std::string ids;
  for (const auto& item : items) {
    if (ids.find(item.entry.Id) != std::string::npos) continue;
    ids += (ids.empty() ? "" : ", ") + item.entry.Id;
  }
  return {.request_id = ids};
}

}  // namespace

CPagerHelper::CPagerHelper(IUnknown* pager, std::int32_t line, SchedulerState& state)
    : state_(state),
      clock_(state.clock()),
      steps_(state, kStepOperation, true),
      device_(QueryDevice<IPager>(pager)),
      worker_(*this, state, line,
              {.owner = "CPagerHelper::CPagerHelper",
               .operation = kStepOperation,
               .queue = &state.page_queue(),
               .batch_size = kBatchSize}) {}

void CPagerHelper::Process(std::vector<CQueueEntry> batch, const std::stop_token& stop) {
  ProcessPagerRequests(std::move(batch), stop);
}

void CPagerHelper::Rest(const std::stop_token& stop) { clock_->SleepFor(kPollInterval, stop); }

void CPagerHelper::ProcessPagerRequests(std::vector<CQueueEntry> batch,
                                        const std::stop_token& stop) {
  std::vector<SendItem> items;
  for (CQueueEntry& entry : batch) {
    std::shared_ptr<const std::string> request;
    const HRESULT loaded = worker_.LoadRequest(entry, &request, stop);
    if (loaded == S_FALSE) continue;  // gone (cancelled) or unreadable: dropped
    if (WindowClosed(entry, clock_->Now())) {
      steps_.EndAttempt(entry, "", "Failed");
      RemoveRequests(entry, true, stop);
      continue;
    }
    if (Failed(loaded)) {
      LogFailure(dialqueue_msg::kXmlErrorIn, kStepOperation, ErrorText(loaded), PageSubject(entry));
      Settle(std::move(entry), "Failed", "", stop);
      continue;
    }
    // No page whose result could not be booked.
    if (!steps_.StartAttempt(entry)) {
      DeferEntry(state_.page_queue(), std::move(entry), clock_->Now());
      continue;
    }
    items.push_back({std::move(entry), std::move(request)});
  }

  std::vector<std::string> results;
  const bool sent = Send(items, &results);
  clock_->SleepFor(kPauseAfterSend, stop);

  for (std::size_t i = 0; i < items.size(); ++i) {
    CQueueEntry& entry = items[i].entry;
    std::string status = "Failed";
    std::string result;
    if (sent && i < results.size()) {
      result = results[i];
      status = PageStatus(result, entry);
    } else if (sent) {
      // The pager answered fewer pages than it was given.
      LogFailure(dialqueue_msg::kXmlErrorIn, kStepOperation, ErrorText(E_FAIL), PageSubject(entry));
    }
    Settle(std::move(entry), status, result, stop);
  }
}

bool CPagerHelper::Send(const std::vector<SendItem>& items, std::vector<std::string>* results) {
  // A batch that cannot be sent is logged; its pages count as failed.
  const HRESULT sent =
      Guarded(dialqueue_msg::kXmlErrorIn, kStepOperation, BatchSubject(items), [&] {
        if (!device_) throw ComError(E_POINTER);
        std::vector<const char*> numbers;
        std::vector<const char*> services;
        std::vector<const char*> requests;
        for (const SendItem& item : items) {
          numbers.push_back(item.entry.PhoneNumber.c_str());
          services.push_back(item.entry.Service.c_str());
          requests.push_back(item.request_xml->c_str());
        }
        ThrowIfFailed(device_->SendPages(static_cast<std::int32_t>(items.size()), numbers.data(),
                                         services.data(), requests.data(), results));
      });
  return Succeeded(sent);
}

std::string CPagerHelper::PageStatus(const std::string& result, const CQueueEntry& entry) {
  xml::Document parsed;
  if (parsed.LoadXml(result) != S_OK) {
    LogFailure(dialqueue_msg::kErrorIn, kResultOperation, ErrorText(E_FAIL), PageSubject(entry));
    return "Failed";
  }
  const pugi::xml_attribute status = parsed.FirstChild().attribute("Status");
  if (!status) {
    LogFailure(dialqueue_msg::kXmlErrorIn, kStepOperation, ErrorText(E_FAIL), PageSubject(entry));
    return "Failed";
  }
  return status.value();
}

void CPagerHelper::Settle(CQueueEntry entry, const std::string& status, const std::string& result,
                          const std::stop_token& stop) {
  const RetryRule rule = RuleFor("", status, true);
  const bool retry = SpendRetry(entry, rule, clock_->Now());
  // The result and the recipient's new status go into the report together.
  const bool file_exists = FileExists(entry.RequestFile);
  if (retry && file_exists) {
    steps_.EndAttempt(entry, result, "Scheduled");
    RequeueEntry(state_.page_queue(), entry);
    return;
  }
  steps_.EndAttempt(entry, result, status);
  RemoveRequests(entry, file_exists, stop);
}

void CPagerHelper::RemoveRequests(const CQueueEntry& entry, bool send_completed,
                                  const std::stop_token& stop) {
  if (RemoveFinishedEntry(state_.page_queue(), entry, *clock_, stop, [&] {
        return ReportSteps(state_, kRemoveOperation, true).Finish(entry, send_completed);
      })) {
    state_.request_texts().Forget(entry.RequestFile);
  }
}

}  // namespace ringwell::dialqueue
