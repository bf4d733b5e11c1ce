#include "modem_helper.h"

#include <algorithm>
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

constexpr char kOperation[] = "CModemHelper::ProcessDialRequest";
constexpr auto kPause = std::chrono::milliseconds(2000);

EventContext Subject(const CQueueEntry& entry) {
  return {.request_id = entry.Id, .path = entry.RequestFile};
}

}  // namespace

CModemHelper::CModemHelper(IUnknown* modem, std::int32_t line, SchedulerState& state,
                           LineDispatcher* dispatcher)
    : state_(state), clock_(state.clock()), line_(line), dispatcher_(dispatcher) {
  if (modem != nullptr) {
    const HRESULT hr = modem->QueryInterface(IModem::kIid, device_.PutVoid());
    if (Failed(hr) && hr != E_NOINTERFACE) throw ComError(hr);
  }
  try {
    thread_ = std::jthread([this](std::stop_token stop) {
      if (dispatcher_ != nullptr) {
        RunDispatched(stop);
      } else {
        Run(stop);
      }
    });
  } catch (const std::system_error&) {
    LogFailure(dialqueue_msg::kErrorIn, "CModemHelper::CModemHelper", ErrorText(E_FAIL));
  }
}

CModemHelper::~CModemHelper() {
  thread_.request_stop();
  if (thread_.joinable()) thread_.join();
  device_.Reset();
}

std::chrono::milliseconds CModemHelper::PollInterval() const {
  const std::int64_t above_first = std::max<std::int64_t>(std::int64_t{line_} - 1, 0);
  return std::chrono::milliseconds(300 + 500 * above_first);
}

void CModemHelper::Run(const std::stop_token& stop) {
  while (!stop.stop_requested()) {
    CQueueEntry entry;
    if (state_.dial_queue().PeekFirstFree(&entry) && state_.lines().TryAcquire(line_)) {
      if (TakeDueEntry(&entry)) Process(std::move(entry), stop);
      state_.lines().ReleaseLine(line_);
    }
    clock_->SleepFor(PollInterval(), stop);
    if (pause_) clock_->SleepFor(kPause, stop);
  }
}

void CModemHelper::RunDispatched(const std::stop_token& stop) {
  while (!stop.stop_requested()) {
    CQueueEntry entry;
    if (!dispatcher_->WaitForEntry(line_, &entry, stop)) break;
    Process(std::move(entry), stop);
    state_.lines().ReleaseLine(line_);
    // A line whose call failed rests before it takes the next one.
    if (pause_) clock_->SleepFor(kPause, stop);
  }
}

void CModemHelper::Process(CQueueEntry entry, const std::stop_token& stop) {
  try {
    ProcessDialRequest(std::move(entry), stop);
  } catch (const std::bad_alloc&) {
    LogFailure(dialqueue_msg::kXmlErrorIn, kOperation, ErrorText(E_OUTOFMEMORY));
  }
}

bool CModemHelper::TakeDueEntry(CQueueEntry* entry) {
  CRequestQueue& queue = state_.dial_queue();
  QueueLock lock(queue);
  // The first free entry may have changed since it was looked at.
  if (!queue.PeekFirstFree(entry) || !IsDue(*entry, clock_->Now())) return false;
  queue.MarkFirstFreeTaken();
  return true;
}

void CModemHelper::ProcessDialRequest(CQueueEntry entry, const std::stop_token& stop) {
  const ReportSteps steps(state_, kOperation);
  xml::Document request;
  const HRESULT loaded = request.Load(entry.RequestFile);
  if (loaded == S_FALSE) {
    // The request is gone (cancelled) or unreadable: drop it silently.
    CRequestQueue& queue = state_.dial_queue();
    QueueLock lock(queue);
    queue.Remove(entry.Id, entry.PhoneNumber);
    DeleteRequestFiles(entry, *clock_, stop);
    return;
  }
  const std::string report = ReportPathOf(entry);
  std::string status = "Failed";
  std::string result;
  bool retry = false;
  if (!WindowClosed(entry, clock_->Now())) {
    Outcome outcome{"", "Failed"};
    if (Failed(loaded)) {
      LogFailure(dialqueue_msg::kXmlErrorIn, kOperation, ErrorText(loaded), Subject(entry));
    } else {
      steps.StartAttempt(report, entry.PhoneNumber);
      outcome = PlaceCall(entry, request.Xml(), &result);
    }
    retry = Classify(outcome, entry);
    status = outcome.status;
  }

  // The result and the recipient's new status go into the report together.
  const bool file_existed = FileExists(entry.RequestFile);
  if (retry && file_existed) {
    steps.EndAttempt(report, entry.PhoneNumber, result, "Scheduled");
    RequeueEntry(state_.dial_queue(), entry);
    return;
  }
  steps.EndAttempt(report, entry.PhoneNumber, result, status);
  RemoveFinishedEntry(state_.dial_queue(), entry, *clock_, stop, [&] {
    if (file_existed) steps.UpdateStatus(report, "", "Completed");
  });
}

CModemHelper::Outcome CModemHelper::PlaceCall(const CQueueEntry& entry,
                                              const std::string& request_xml, std::string* result) {
  try {
    if (!device_) throw ComError(E_POINTER);
    ThrowIfFailed(device_->MakeCall(entry.PhoneNumber.c_str(), request_xml.c_str(),
                                    WavDirectoryOf(entry.RequestFile).c_str(), result));
    xml::Document parsed;
    if (ThrowIfFailed(parsed.LoadXml(*result)) != S_OK) {
      LogFailure(dialqueue_msg::kErrorIn, kOperation, ErrorText(E_FAIL), Subject(entry));
      return {"", "Failed"};
    }
    const pugi::xml_node call = parsed.FirstChild();
    const pugi::xml_attribute status = call.attribute("Status");
    const pugi::xml_node answer = xml::ChildElement(call, "Answer");
    if (!status || !answer) throw ComError(E_FAIL);
    return {xml::Text(answer), status.value()};
  } catch (const ComError& e) {
    LogFailure(dialqueue_msg::kXmlErrorIn, kOperation, e.Text(), Subject(entry));
  } catch (const std::bad_alloc&) {
    LogFailure(dialqueue_msg::kXmlErrorIn, kOperation, ErrorText(E_OUTOFMEMORY), Subject(entry));
  }
  return {"", "Failed"};
}

bool CModemHelper::Classify(const Outcome& outcome, CQueueEntry& entry) {
  const RetryRule rule = RuleFor(outcome.answer, outcome.status, false);
  pause_ = rule == RetryRule::kError;
  return SpendRetry(entry, rule, clock_->Now());
}

}  // namespace ringwell::dialqueue
