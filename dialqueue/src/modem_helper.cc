#include "modem_helper.h"

#include <algorithm>
#include <utility>

#include "dialqueue_log.h"
#include "failure_boundary.h"
#include "report_steps.h"
#include "request_files.h"
#include "request_paths.h"
#include "retry_rules.h"
#include "ringwell/common/error_info.h"
#include "ringwell/common/safe_files.h"
#include "ringwell/common/text.h"
#include "ringwell/common/xml.h"
#include "share_owner.h"

namespace ringwell::dialqueue {
namespace {

constexpr char kOperation[] = "CModemHelper::ProcessDialRequest";
constexpr auto kPause = std::chrono::milliseconds(2000);

EventContext Subject(const CQueueEntry& entry) {
  return {.request_id = entry.Id, .path = entry.RequestFile};
}

// The device's way to end a call early; empty when it has none.
ComPtr<IModemHangUp> OptionalHangUp(IUnknown* modem) {
  ComPtr<IModemHangUp> hang_up;
  if (modem != nullptr && Failed(modem->QueryInterface(IModemHangUp::kIid, hang_up.PutVoid()))) {
    hang_up.Reset();
  }
  return hang_up;
}

}  // namespace

CModemHelper::CModemHelper(IUnknown* modem, std::int32_t line, SchedulerState& state,
                           LineDispatcher* dispatcher)
    : state_(state),
      clock_(state.clock()),
      device_(QueryDevice<IModem>(modem)),
      hang_up_(OptionalHangUp(modem)),
      line_(line),
      dispatched_(dispatcher != nullptr),
      worker_(*this, state, line,
              {.owner = "CModemHelper::CModemHelper",
               .operation = kOperation,
               .queue = &state.dial_queue(),
               .batch_size = 1,
               .dispatcher = dispatcher}) {}

std::chrono::milliseconds CModemHelper::PollInterval() const {
  const std::int64_t above_first = std::max<std::int64_t>(std::int64_t{line_} - 1, 0);
  return std::chrono::milliseconds(300 + 500 * above_first);
}

void CModemHelper::Rest(const std::stop_token& stop) {
  // A dispatched line is handed its next entry when one is due.
  if (!dispatched_) clock_->SleepFor(PollInterval(), stop);
  // A line whose call failed rests before it takes the next one.
  if (pause_) clock_->SleepFor(kPause, stop);
}

void CModemHelper::Process(std::vector<CQueueEntry> entries, const std::stop_token& stop) {
  for (CQueueEntry& entry : entries) {
    std::optional<CQueueEntry> next = ProcessDialRequest(std::move(entry), false, stop);
    while (next) next = ProcessDialRequest(std::move(*next), true, stop);
  }
}

std::optional<CQueueEntry> CModemHelper::ProcessDialRequest(CQueueEntry entry, bool started,
                                                            const std::stop_token& stop) {
  const ReportSteps steps(state_, kOperation);
  std::shared_ptr<const std::string> request;
  const HRESULT loaded = worker_.LoadRequest(entry, &request, stop);
  if (loaded == S_FALSE) return std::nullopt;  // gone (cancelled) or unreadable: dropped
  // On a shared root the call is the share owner's to hang up until its
  // result is booked; whatever way this step ends, the line leaves it.
  struct Registration {
    ShareOwner* shares;
    std::int32_t line;
    // True when the result may be booked (no fence cut the call).
    bool Leave() {
      ShareOwner* const left = std::exchange(shares, nullptr);
      return left == nullptr || left->LeaveCall(line);
    }
    ~Registration() { Leave(); }
  } registration{state_.shares(), line_};
  if (registration.shares != nullptr) {
    std::function<void()> hang_up;
    if (hang_up_) hang_up = [device = hang_up_.Get()] { device->HangUp(); };
    if (!registration.shares->EnterCall(line_, std::move(hang_up))) {
      registration.shares = nullptr;  // never entered
      Abandon(entry);
      return std::nullopt;
    }
  }
  std::string status = "Failed";
  std::string result;
  bool retry = false;
  if (!WindowClosed(entry, clock_->Now())) {
    Outcome outcome{"", "Failed"};
    if (Failed(loaded)) {
      LogFailure(dialqueue_msg::kXmlErrorIn, kOperation, ErrorText(loaded), Subject(entry));
    } else {
      // No call whose result could not be booked: the line waits until the
      // report takes the start of the call.
      if (!started && !steps.StartAttempt(entry)) {
        if (!registration.Leave()) {
          Abandon(entry);  // fenced meanwhile: the share is no longer this host's
          return std::nullopt;
        }
        DeferEntry(state_.dial_queue(), entry, clock_->Now());
        return std::nullopt;
      }
      outcome = PlaceCall(entry, *request, &result);
    }
    retry = Classify(outcome, entry);
    status = outcome.status;
  }
  request.reset();
  // A call the host's fence cut: the next owner of its share books it.
  if (!registration.Leave()) {
    Abandon(entry);
    return std::nullopt;
  }

  // The result and the recipient's new status go into the report together,
  // with the start of the next recipient's attempt when the line goes on.
  const bool file_existed = FileExists(entry.RequestFile);
  if (retry && file_existed) status = "Scheduled";
  std::optional<CQueueEntry> next;
  if (dispatched_ && file_existed && !pause_ && !stop.stop_requested()) {
    next = TakeNextOfRequest(state_.dial_queue(), entry, clock_->Now());
  }
  if (!next) {
    steps.EndAttempt(entry, result, status);
  } else if (!steps.EndAndStart(entry, result, status, *next)) {
    DeferEntry(state_.dial_queue(), *next, clock_->Now());
    next.reset();
  }
  if (retry && file_existed) {
    RequeueEntry(state_.dial_queue(), entry);
  } else if (RemoveFinishedEntry(state_.dial_queue(), entry, *clock_, stop,
                                 [&] { return steps.Finish(entry, file_existed); })) {
    state_.request_texts().Forget(entry.RequestFile);
  }
  return next;
}

CModemHelper::Outcome CModemHelper::PlaceCall(const CQueueEntry& entry,
                                              const std::string& request_xml, std::string* result) {
  Outcome outcome{"", "Failed"};
  // A call that fails in any way is logged and counts as a failed call.
  Guarded(dialqueue_msg::kXmlErrorIn, kOperation, Subject(entry), [&] {
    if (!device_) throw ComError(E_POINTER);
    ThrowIfFailed(device_->MakeCall(entry.PhoneNumber.c_str(), request_xml.c_str(),
                                    WavDirectoryOf(entry.RequestFile).c_str(), result));
    xml::Document parsed;
    if (ThrowIfFailed(parsed.LoadXml(*result)) != S_OK) {
      LogFailure(dialqueue_msg::kErrorIn, kOperation, ErrorText(E_FAIL), Subject(entry));
      return;
    }
    const pugi::xml_node call = parsed.FirstChild();
    const pugi::xml_attribute status = call.attribute("Status");
    const pugi::xml_node answer = xml::ChildElement(call, "Answer");
    if (!status || !answer) throw ComError(E_FAIL);
    outcome = {xml::Text(answer), status.value()};
  });
  return outcome;
}

void CModemHelper::Abandon(const CQueueEntry& entry) {
  CRequestQueue& queue = state_.dial_queue();
  QueueLock lock(queue);
  queue.Remove(entry.Id, entry.PhoneNumber);
}

bool CModemHelper::Classify(const Outcome& outcome, CQueueEntry& entry) {
  const RetryRule rule = RuleFor(outcome.answer, outcome.status, false);
  pause_ = rule == RetryRule::kError;
  return SpendRetry(entry, rule, clock_->Now());
}

}  // namespace ringwell::dialqueue
