#include "intake.h"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <limits>
#include <optional>
#include <vector>

#include "dialqueue_log.h"
#include "inherited_results.h"
#include "queue_entry.h"
#include "report_history.h"
#include "report_steps.h"
#include "request_files.h"
#include "ringwell/common/error_info.h"
#include "ringwell/common/safe_files.h"
#include "ringwell/common/storage.h"
#include "ringwell/common/text.h"
#include "ringwell/common/xml.h"

namespace ringwell::dialqueue {
namespace {

constexpr char kIntakeOperation[] = "CCallService::AddRequest";

struct RetryPair {
  const char* count;
  const char* delay;
  std::int32_t CQueueEntry::*count_field;
  std::int32_t CQueueEntry::*delay_field;
};
constexpr RetryPair kRetryPairs[] = {
    {"NumberOfAttemptsIfBusy", "DelayIfBusy", &CQueueEntry::NumberOfAttemptsIfBusy,
     &CQueueEntry::DelayIfBusy},
    {"NumberOfAttemptsIfNoAnswer", "DelayIfNoAnswer", &CQueueEntry::NumberOfAttemptsIfNoAnswer,
     &CQueueEntry::DelayIfNoAnswer},
    {"NumberOfAttemptsIfError", "DelayIfError", &CQueueEntry::NumberOfAttemptsIfError,
     &CQueueEntry::DelayIfError},
};

pugi::xml_node RequiredChild(pugi::xml_node parent, const char* name) {
  pugi::xml_node child = xml::ChildElement(parent, name);
  if (!child) throw ComError(E_FAIL);
  return child;
}

// A retry value: the element's number as a 16-bit value, negative ones as 0;
// nullopt when the element is missing or its text does not convert.
std::optional<std::int32_t> RetryValue(pugi::xml_node request, const char* name) {
  const std::optional<std::int64_t> value = xml::TypedInt(xml::ChildElement(request, name));
  if (!value || *value < std::numeric_limits<std::int16_t>::min() ||
      *value > std::numeric_limits<std::int16_t>::max()) {
    return std::nullopt;
  }
  return *value < 0 ? 0 : static_cast<std::int32_t>(*value);
}

// The recipient's value as text; a value typed as a number or a date must
// convert.
std::string RecipientText(pugi::xml_node recipient) {
  std::string text = xml::Text(recipient);
  const std::string type = xml::DataType(recipient);
  if ((type == "int" || type == "i4") && !ParseInteger(text)) throw ComError(E_INVALIDARG);
  if (type == "dateTime" && !OleDateFromIso(text)) throw ComError(E_INVALIDARG);
  return text;
}

enum class Resumed { kOpen, kDone, kLater };

// Goes on from what the report says: drops the recipients that are done,
// records interrupted attempts, and spends the retries the recorded attempts
// used. kDone when the report says every recipient read is done; kLater when
// the report cannot be read now (its Reports directory, lock or file is not
// as it should be), so that nobody is called again before it can.
Resumed ResumeFromReport(const std::string& path, bool page, std::vector<CQueueEntry>& entries,
                         SchedulerState& state, const ShareSlice* slice) {
  // What a host that stopped could not book is booked first, or else read as
  // if it had been; so is what other hosts sharing the root keep of it
  // (those that are gone, booked here; the live ones', their own to book).
  const ReportSteps steps(state, kIntakeOperation, page);
  state.unbooked().Recover(path);
  std::vector<KeptChange> kept_elsewhere;
  BookOtherHostsResults(state, steps, path, &kept_elsewhere);
  steps.BookWaiting(path);
  const auto in_slice = [slice](const CQueueEntry& entry) {
    return slice == nullptr || entry.Share == slice->index;
  };
  if (entries.empty()) return Resumed::kOpen;
  std::optional<ReportHistory> history = ReportHistory::Read(ReportPathForRequestFile(path));
  if (!history) {
    std::erase_if(entries, [&](const CQueueEntry& entry) { return !in_slice(entry); });
    return ReportGoneForGood(ReportPathForRequestFile(path)) ? Resumed::kOpen : Resumed::kLater;
  }
  if (const std::optional<KeptRequest> kept = state.unbooked().Get(path)) {
    for (const KeptChange& change : kept->changes) history->Apply(change);
  }
  for (const KeptChange& change : kept_elsewhere) history->Apply(change);
  std::vector<CQueueEntry> open;
  for (CQueueEntry& entry : entries) {
    // Every recipient moves the report on (a number may come twice); only
    // those of the share are resumed.
    const std::optional<ReportHistory::Recipient> past = history->Next(entry.PhoneNumber);
    if (!in_slice(entry)) continue;
    if (!past) {
      open.push_back(std::move(entry));
      continue;
    }
    const Resumption resumption = Resume(*past, entry, page, state.clock()->Now());
    if (!resumption.status.empty()) {
      steps.EndAttempt(entry, resumption.interrupted_call, resumption.status);
    }
    if (!resumption.finished) open.push_back(std::move(entry));
  }
  entries = std::move(open);
  return entries.empty() ? Resumed::kDone : Resumed::kOpen;
}

// Pushes what was read (also when reading stopped early), unless the request
// got queued or its file went away meanwhile: a request whose last recipient
// was just finished must not come back. A request the report shows done is
// finished here: "Completed", then its files go.
// With a share, other shares of the request may be queued already.
void PushAll(const std::string& path, const std::string& id, bool page, CRequestQueue& queue,
             std::vector<CQueueEntry>& entries, bool done, SchedulerState& state, bool share) {
  if (entries.empty() && !done) return;
  QueueLock lock(queue);
  if ((!share && queue.ContainsId(id)) || !FileExists(path)) return;
  if (done) {
    CQueueEntry finished;
    finished.Id = id;
    finished.RequestFile = path;
    if (ReportSteps(state, kIntakeOperation, page).Finish(finished, true)) {
      DeleteRequestFiles(finished, *state.clock(), std::stop_token());
    }
    return;
  }
  for (CQueueEntry& entry : entries) queue.Push(std::move(entry));
}

}  // namespace

HRESULT QueueRequestFile(const std::string& path, SchedulerState& state, const ShareSlice* slice,
                         IntakeOutcome* outcome) {
  IntakeOutcome ignored;
  if (outcome == nullptr) outcome = &ignored;
  *outcome = {};
  xml::Document document;
  const HRESULT loaded = document.Load(path);
  if (Failed(loaded)) throw ComError(loaded);
  if (loaded != S_OK) {
    state.unbooked().IntakeDone(path);
    return S_FALSE;
  }

  const pugi::xml_node request = document.FirstChild();
  const pugi::xml_attribute id_attribute = request.attribute("ID");
  if (request.type() != pugi::node_element || !id_attribute) throw ComError(E_FAIL);
  const std::string id = id_attribute.value();
  const pugi::xml_attribute type = request.attribute("Type");
  const bool page = type && EqualsIgnoringCase(type.value(), "Page");
  CRequestQueue& queue = page ? state.page_queue() : state.dial_queue();
  if (slice == nullptr && queue.ContainsId(id)) return S_OK;

  const pugi::xml_node start_time = RequiredChild(request, "StartTime");
  const pugi::xml_node stop_time = RequiredChild(request, "StopTime");

  CQueueEntry model;
  model.Id = id;
  model.RequestFile = path;
  for (const RetryPair& pair : kRetryPairs) {
    const std::optional<std::int32_t> count = RetryValue(request, pair.count);
    if (!count) continue;
    model.*pair.count_field = *count;
    const std::optional<std::int32_t> delay = RetryValue(request, pair.delay);
    if (delay) model.*pair.delay_field = *delay;
  }

  pugi::xml_node container = xml::ChildElement(request, "Recipients");
  if (!container) container = RequiredChild(request, "PhoneNumbers");

  // A date that does not convert is the invalid date: an invalid StartTime
  // makes the entry due at once, an invalid StopTime fails it at once.
  model.NextTime = xml::TypedDate(start_time).value_or(kInvalidDate);
  model.StopTime = xml::TypedDate(stop_time).value_or(kInvalidDate);

  std::vector<CQueueEntry> entries;
  std::exception_ptr failure;
  try {
    for (pugi::xml_node recipient : container.children()) {
      // Only elements are recipients; comments and processing instructions
      // between them are not numbers to dial.
      if (recipient.type() != pugi::node_element) continue;
      const std::string text = RecipientText(recipient);
      const std::string_view phone = Trim(text);
      if (phone.empty()) continue;
      const std::int32_t place = static_cast<std::int32_t>(entries.size());
      CQueueEntry& entry = entries.emplace_back(model);
      entry.PhoneNumber = phone;
      if (slice != nullptr) entry.Share = place % std::max(slice->count, 1);
      if (page) entry.Service = recipient.attribute("Service").value();
    }
  } catch (...) {
    failure = std::current_exception();
  }
  // A request that could not be read whole is never taken as done.
  const Resumed resumed = ResumeFromReport(path, page, entries, state, slice);
  if (resumed == Resumed::kLater) {
    entries.clear();
    outcome->later = true;
    if (state.unbooked().DeferIntake(path)) {
      const std::string report = ReportPathForRequestFile(path);
      xml::Document unread;
      std::string reason;
      unread.Load(report, &reason);
      LogFailure(dialqueue_msg::kErrorIn, kIntakeOperation, reason,
                 {.request_id = id, .path = report});
    }
  } else {
    state.unbooked().IntakeDone(path);
  }
  const bool done = resumed == Resumed::kDone && !failure;
  outcome->queued = entries.size();
  PushAll(path, id, page, queue, entries, done, state, slice != nullptr);
  if (failure) std::rethrow_exception(failure);
  return S_OK;
}

}  // namespace ringwell::dialqueue
