#include "fakes.h"

#include <thread>

#include "ringwell/common/xml.h"

namespace ringwell::dialqueue::testing {

OleDate TestStart() { return *OleDateFromCivil({.year = 2024, .month = 3, .day = 1, .hour = 10}); }

OleDate MinutesFromStart(double minutes) { return TestStart() + minutes / 1440.0; }

std::string IsoMinutesFromStart(double minutes) { return OleDateToIso(MinutesFromStart(minutes)); }

OleDate FakeClock::Now() {
  std::lock_guard lock(mutex_);
  return now_;
}

void FakeClock::SleepFor(std::chrono::milliseconds duration, const std::stop_token&) {
  {
    std::lock_guard lock(mutex_);
    now_ += static_cast<double>(duration.count()) * speed_ / 86'400'000.0;
    if (sleeps_.size() < 100'000) sleeps_.push_back(duration);
  }
  std::this_thread::sleep_for(std::chrono::microseconds(500));
}

void FakeClock::Advance(double minutes) {
  std::lock_guard lock(mutex_);
  now_ += minutes / 1440.0;
}

std::vector<std::chrono::milliseconds> FakeClock::Sleeps() const {
  std::lock_guard lock(mutex_);
  return sleeps_;
}

HRESULT FakeTallier::UpdateStatus(const char* report, const char* number, const char* status) {
  if (fail_with_ != S_OK) return fail_with_;
  std::lock_guard lock(mutex_);
  calls_.push_back({"UpdateStatus", report, number, status});
  return S_OK;
}

HRESULT FakeTallier::AddCallResult(const char* report, const char* number, const char* result) {
  if (fail_with_ != S_OK) return fail_with_;
  std::lock_guard lock(mutex_);
  calls_.push_back({"AddCallResult", report, number, result});
  return S_OK;
}

std::vector<ReportCall> FakeTallier::Calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

std::vector<std::string> FakeTallier::Statuses(const std::string& number) const {
  std::vector<std::string> statuses;
  for (const ReportCall& call : Calls()) {
    if (call.method == "UpdateStatus" && call.number == number) statuses.push_back(call.value);
  }
  return statuses;
}

std::size_t FakeTallier::ResultCount(const std::string& number) const {
  std::size_t count = 0;
  for (const ReportCall& call : Calls()) {
    if (call.method == "AddCallResult" && call.number == number) ++count;
  }
  return count;
}

std::string CallResult(const std::string& answer, const std::string& status) {
  return "<Call Status=\"" + status + "\" Error=\"\"><Time dt:dt=\"dateTime\" xmlns:dt=\"" +
         xml::kDataTypesNamespace + "\">2024-03-01T10:00:00</Time><Answer>" + answer +
         "</Answer><Protocol>test</Protocol><Duration>1</Duration></Call>";
}

HRESULT FakeModem::Describe(std::string* description) {
  *description = "fake modem";
  return S_OK;
}

HRESULT FakeModem::MakeCall(const char* number, const char* request_xml, const char* wav_dir,
                            std::string* result) {
  Reply reply{S_OK, CallResult("Answered", "Completed")};
  {
    std::lock_guard lock(mutex_);
    calls_.push_back({number, request_xml, wav_dir, clock_->Now()});
    if (auto it = scripts_.find(number); it != scripts_.end() && !it->second.empty()) {
      std::size_t& attempt = attempts_[number];
      reply = it->second[std::min(attempt, it->second.size() - 1)];
      ++attempt;
    }
  }
  if (hook_) hook_(number);
  if (reply.hr == S_OK) *result = reply.result;
  return reply.hr;
}

void FakeModem::Script(const std::string& number, std::vector<Reply> replies) {
  std::lock_guard lock(mutex_);
  scripts_[number] = std::move(replies);
}

std::vector<ModemCall> FakeModem::Calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

HRESULT FakePager::Describe(std::string* description) {
  *description = "fake pager";
  return S_OK;
}

HRESULT FakePager::SendPages(std::int32_t count, const char* const* numbers,
                             const char* const* services, const char* const*,
                             std::vector<std::string>* results) {
  std::lock_guard lock(mutex_);
  PageBatch batch;
  for (std::int32_t i = 0; i < count; ++i) {
    batch.numbers.push_back(numbers[i]);
    batch.services.push_back(services[i]);
  }
  batches_.push_back(batch);
  if (fail_with_ != S_OK) return fail_with_;
  results->clear();
  for (const std::string& number : batch.numbers) {
    std::string result = CallResult("Sent", "Sent");
    if (auto it = scripts_.find(number); it != scripts_.end() && !it->second.empty()) {
      std::size_t& attempt = attempts_[number];
      result = it->second[std::min(attempt, it->second.size() - 1)];
      ++attempt;
    }
    results->push_back(result);
  }
  return S_OK;
}

void FakePager::Script(const std::string& number, std::vector<std::string> results) {
  std::lock_guard lock(mutex_);
  scripts_[number] = std::move(results);
}

std::vector<PageBatch> FakePager::Batches() const {
  std::lock_guard lock(mutex_);
  return batches_;
}

std::string RequestXml(const RequestSpec& spec) {
  xml::Document document;
  pugi::xml_node request = xml::AppendElement(document.dom(), "Request");
  xml::SetAttribute(request, "xmlns", xml::kXmlDataNamespace);
  xml::SetAttribute(request, "xmlns:dt", xml::kDataTypesNamespace);
  xml::SetAttribute(request, "ID", spec.id);
  xml::SetAttribute(request, "UserID", "{0}");
  xml::SetAttribute(request, "Type", spec.type);
  auto typed_text = [&](const char* name, const std::string& text, const char* type) {
    pugi::xml_node element = xml::AppendElement(request, name);
    xml::SetAttribute(element, xml::kDataTypeAttribute, type);
    xml::SetText(element, text);
  };
  typed_text("StartTime", spec.start, "dateTime");
  typed_text("StopTime", spec.stop, "dateTime");
  pugi::xml_node recipients = xml::AppendElement(request, "Recipients");
  for (const std::string& number : spec.recipients) {
    pugi::xml_node recipient = xml::AppendElement(recipients, "Recipient");
    xml::SetAttribute(recipient, xml::kDataTypeAttribute, "string");
    xml::SetAttribute(recipient, "Type", spec.type == "Page" ? "PagerNumber" : "PhoneNumber");
    if (auto it = spec.services.find(number); it != spec.services.end()) {
      xml::SetAttribute(recipient, "Service", it->second);
    }
    xml::SetText(recipient, number);
  }
  auto typed_int = [&](const char* name, int value) {
    xml::SetTypedInt(xml::AppendElement(request, name), value);
  };
  typed_int("NumberOfRings", 7);
  typed_int("NumberOfAttemptsIfBusy", spec.busy_attempts);
  typed_int("DelayIfBusy", spec.busy_delay);
  typed_int("NumberOfAttemptsIfNoAnswer", spec.no_answer_attempts);
  typed_int("DelayIfNoAnswer", spec.no_answer_delay);
  typed_int("MaxGreetingDuration", 30);
  typed_int("NumberOfAttemptsIfError", spec.error_attempts);
  typed_int("DelayIfError", spec.error_delay);
  pugi::xml_node tree = xml::AppendElement(request, "CallTree");
  pugi::xml_node message = xml::AppendElement(tree, "Message");
  xml::SetAttribute(message, "Replays", "0");
  xml::SetAttribute(message, "Timeout", "2");
  xml::AppendElement(tree, "Responses");
  return document.Xml();
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace ringwell::dialqueue::testing
