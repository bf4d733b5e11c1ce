#include "intake.h"

#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "queue_entry.h"
#include "ringwell/common/error_info.h"
#include "ringwell/common/files.h"
#include "ringwell/common/text.h"
#include "ringwell/common/xml.h"

namespace ringwell::dialqueue {
namespace {

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

// Pushes what was read (also when reading stopped early), unless the request
// got queued or its file went away meanwhile: a request whose last recipient
// was just finished must not come back.
void PushAll(const std::string& path, const std::string& id, CRequestQueue& queue,
             std::vector<CQueueEntry>& entries) {
  if (entries.empty()) return;
  QueueLock lock(queue);
  if (queue.ContainsId(id) || !FileExists(path)) return;
  for (CQueueEntry& entry : entries) queue.Push(std::move(entry));
}

}  // namespace

HRESULT QueueRequestFile(const std::string& path, SchedulerState& state) {
  xml::Document document;
  const HRESULT loaded = document.Load(path);
  if (Failed(loaded)) throw ComError(loaded);
  if (loaded != S_OK) return S_FALSE;

  const pugi::xml_node request = document.FirstChild();
  const pugi::xml_attribute id_attribute = request.attribute("ID");
  if (request.type() != pugi::node_element || !id_attribute) throw ComError(E_FAIL);
  const std::string id = id_attribute.value();
  const pugi::xml_attribute type = request.attribute("Type");
  const bool page = type && EqualsIgnoringCase(type.value(), "Page");
  CRequestQueue& queue = page ? state.page_queue() : state.dial_queue();
  if (queue.ContainsId(id)) return S_OK;

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
  try {
    for (pugi::xml_node recipient : container.children()) {
      // Only elements are recipients; comments and processing instructions
      // between them are not numbers to dial.
      if (recipient.type() != pugi::node_element) continue;
      const std::string text = RecipientText(recipient);
      const std::string_view phone = Trim(text);
      if (phone.empty()) continue;
      CQueueEntry& entry = entries.emplace_back(model);
      entry.PhoneNumber = phone;
      if (page) entry.Service = recipient.attribute("Service").value();
    }
  } catch (...) {
    PushAll(path, id, queue, entries);
    throw;
  }
  PushAll(path, id, queue, entries);
  return S_OK;
}

}  // namespace ringwell::dialqueue
