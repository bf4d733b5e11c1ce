#include "pager_helper.h"

#include <new>
#include <system_error>

#include "dialqueue_log.h"
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

EventContext Subject(const CQueueEntry& entry) {
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
    : state_(state), clock_(state.clock()), steps_(state, kStepOperation), line_(line) {
  if (pager != nullptr) {
    const HRESULT hr = pager->QueryInterface(IPager::kIid, device_.PutVoid());
    if (Failed(hr) && hr != E_NOINTERFACE) throw ComError(hr);
  }
  try {
    thread_ = std::jthread([this](std::stop_token stop) { Run(stop); });
  } catch (const std::system_error&) {
    LogFailure(dialqueue_msg::kErrorIn, "CPagerHelper::CPagerHelper", ErrorText(E_FAIL));
  }
}

CPagerHelper::~CPagerHelper() {
  thread_.request_stop();
  if (thread_.joinable()) thread_.join();
  device_.Reset();
}

void CPagerHelper::Run(const std::stop_token& stop) {
  while (!stop.stop_requested()) {
    CQueueEntry first;
    if (state_.page_queue().PeekFirstFree(&first) && state_.lines().TryAcquire(line_)) {
      try {
        std::vector<CQueueEntry> batch = TakeDueBatch();
        if (!batch.empty()) ProcessPagerRequests(std::move(batch), stop);
      } catch (const std::bad_alloc&) {
        LogFailure(dialqueue_msg::kXmlErrorIn, kStepOperation, ErrorText(E_OUTOFMEMORY));
      }
      state_.lines().ReleaseLine(line_);
    }
    clock_->SleepFor(kPollInterval, stop);
  }
}

std::vector<CQueueEntry> CPagerHelper::TakeDueBatch() {
  std::vector<CQueueEntry> batch;
  CRequestQueue& queue = state_.page_queue();
  QueueLock lock(queue);
  CQueueEntry entry;
  // Entries are taken in order while they are due; the first one that is not
  // ends the batch even if later ones are.
  while (batch.size() < kBatchSize && queue.PeekFirstFree(&entry) && IsDue(entry, clock_->Now())) {
    queue.MarkFirstFreeTaken();
    batch.push_back(std::move(entry));
  }
  return batch;
}

void CPagerHelper::ProcessPagerRequests(std::vector<CQueueEntry> batch,
                                        const std::stop_token& stop) {
  std::vector<SendItem> items;
  for (CQueueEntry& entry : batch) {
    xml::Document request;
    const HRESULT loaded = request.Load(entry.RequestFile);
    if (loaded == S_FALSE) {
      CRequestQueue& queue = state_.page_queue();
      QueueLock lock(queue);
      queue.Remove(entry.Id, entry.PhoneNumber);
      DeleteRequestFiles(entry, *clock_, stop);
      continue;
    }
    const std::string report = ReportPathOf(entry);
    if (WindowClosed(entry, clock_->Now())) {
      steps_.UpdateStatus(report, entry.PhoneNumber, "Failed");
      RemoveRequests(entry, report, true, stop);
      continue;
    }
    if (Failed(loaded)) {
      LogFailure(dialqueue_msg::kXmlErrorIn, kStepOperation, ErrorText(loaded), Subject(entry));
      Settle(std::move(entry), report, "Failed", "", stop);
      continue;
    }
    steps_.StartAttempt(report, entry.PhoneNumber);
    items.push_back({std::move(entry), request.Xml()});
  }

  std::vector<std::string> results;
  const bool sent = Send(items, &results);
  clock_->SleepFor(kPauseAfterSend, stop);

  for (std::size_t i = 0; i < items.size(); ++i) {
    CQueueEntry& entry = items[i].entry;
    const std::string report = ReportPathOf(entry);
    std::string status = "Failed";
    std::string result;
    if (sent && i < results.size()) {
      result = results[i];
      status = PageStatus(result, entry);
    } else if (sent) {
      // The pager answered fewer pages than it was given.
      LogFailure(dialqueue_msg::kXmlErrorIn, kStepOperation, ErrorText(E_FAIL), Subject(entry));
    }
    Settle(std::move(entry), report, status, result, stop);
  }
}

bool CPagerHelper::Send(const std::vector<SendItem>& items, std::vector<std::string>* results) {
  try {
    if (!device_) throw ComError(E_POINTER);
    std::vector<const char*> numbers;
    std::vector<const char*> services;
    std::vector<const char*> requests;
    for (const SendItem& item : items) {
      numbers.push_back(item.entry.PhoneNumber.c_str());
      services.push_back(item.entry.Service.c_str());
      requests.push_back(item.request_xml.c_str());
    }
    ThrowIfFailed(device_->SendPages(static_cast<std::int32_t>(items.size()), numbers.data(),
                                     services.data(), requests.data(), results));
    return true;
  } catch (const ComError& e) {
    LogFailure(dialqueue_msg::kXmlErrorIn, kStepOperation, e.Text(), BatchSubject(items));
  } catch (const std::bad_alloc&) {
    LogFailure(dialqueue_msg::kXmlErrorIn, kStepOperation, ErrorText(E_OUTOFMEMORY),
               BatchSubject(items));
  }
  return false;
}

std::string CPagerHelper::PageStatus(const std::string& result, const CQueueEntry& entry) {
  xml::Document parsed;
  if (parsed.LoadXml(result) != S_OK) {
    LogFailure(dialqueue_msg::kErrorIn, kResultOperation, ErrorText(E_FAIL), Subject(entry));
    return "Failed";
  }
  const pugi::xml_attribute status = parsed.FirstChild().attribute("Status");
  if (!status) {
    LogFailure(dialqueue_msg::kXmlErrorIn, kStepOperation, ErrorText(E_FAIL), Subject(entry));
    return "Failed";
  }
  return status.value();
}

void CPagerHelper::Settle(CQueueEntry entry, const std::string& report, const std::string& status,
                          const std::string& result, const std::stop_token& stop) {
  const RetryRule rule = RuleFor("", status, true);
  const bool retry = SpendRetry(entry, rule, clock_->Now());
  // The result and the recipient's new status go into the report together.
  const bool file_exists = FileExists(entry.RequestFile);
  if (retry && file_exists) {
    steps_.EndAttempt(report, entry.PhoneNumber, result, "Scheduled");
    RequeueEntry(state_.page_queue(), entry);
    return;
  }
  steps_.EndAttempt(report, entry.PhoneNumber, result, status);
  RemoveRequests(entry, report, file_exists, stop);
}

void CPagerHelper::RemoveRequests(const CQueueEntry& entry, const std::string& report,
                                  bool send_completed, const std::stop_token& stop) {
  RemoveFinishedEntry(state_.page_queue(), entry, *clock_, stop, [&] {
    if (send_completed) ReportSteps(state_, kRemoveOperation).UpdateStatus(report, "", "Completed");
  });
}

}  // namespace ringwell::dialqueue
