// What the scheduler's tests share: a clock that moves on only when a worker
// sleeps, a report generator that records what it is told, a modem and a pager
// that record what they are asked and answer as the test decides, request files
// as the preprocessing daemon leaves them in Requests, and a fixture with its
// own storage root and scheduler state.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "intake.h"
#include "ringwell/common/message_tables.h"
#include "ringwell/dialqueue/dialqueue.h"
#include "ringwell/testing/fixture.h"
#include "scheduler_state.h"

namespace ringwell::dialqueue::testing {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::SizeIs;

// 1 March 2024, 10:00 local time (where the fake clock starts) moved by `minutes`.
inline OleDate AtMinute(double minutes) {
  return *OleDateFromCivil({.year = 2024, .month = 3, .day = 1, .hour = 10}) + minutes / 1440;
}
inline std::string IsoAtMinute(double minutes) { return OleDateToIso(AtMinute(minutes)); }

// Each sleep moves the time on by 100 times its duration (a 300 ms poll stands
// for 30 s) and takes a moment of real time, so retries come due after a few
// quick polls.
class FakeClock final : public Clock {
 public:
  OleDate Now() override {
    std::lock_guard lock(mutex_);
    return now_;
  }
  void SleepFor(std::chrono::milliseconds duration, const std::stop_token&) override {
    {
      std::lock_guard lock(mutex_);
      now_ += static_cast<double>(duration.count()) * 100 / 86'400'000;
      if (sleeps_.size() < 100'000) sleeps_.push_back(duration);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  // Every sleep asked for so far.
  std::vector<std::chrono::milliseconds> Sleeps() const {
    std::lock_guard lock(mutex_);
    return sleeps_;
  }

 private:
  mutable std::mutex mutex_;
  OleDate now_ = AtMinute(0);
  std::vector<std::chrono::milliseconds> sleeps_;
};

struct ReportCall {
  std::string method;  // "UpdateStatus" or "AddCallResult"
  std::string report, number, value;
};

// Changes applied together are recorded one by one, in order.
class FakeTallier final : public ComObject<tallier::ITallier, tallier::ITallierChanges> {
 public:
  HRESULT CreateNewReport(const char*) override { return S_OK; }
  HRESULT UpdateStatus(const char* report, const char* number, const char* status) override {
    return Record({"UpdateStatus", report, number, status});
  }
  HRESULT AddCallResult(const char* report, const char* number, const char* result) override {
    return Record({"AddCallResult", report, number, result});
  }
  HRESULT ApplyChanges(const char* report, const tallier::ReportChange* changes,
                       std::int32_t count) override {
    for (std::int32_t i = 0; i < count; ++i) {
      const bool status = changes[i].kind == tallier::ReportChange::kStatus;
      if (const HRESULT hr = status ? UpdateStatus(report, changes[i].recipient, changes[i].text)
                                    : AddCallResult(report, changes[i].recipient, changes[i].text);
          hr != S_OK) {
        return hr;
      }
    }
    return S_OK;
  }
  std::vector<ReportCall> Calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  // The statuses set for `number` ("" for the request as a whole), in order.
  std::vector<std::string> Statuses(const std::string& number) const {
    return Values("UpdateStatus", number);
  }
  std::vector<std::string> Results(const std::string& number) const {
    return Values("AddCallResult", number);
  }

  std::atomic<HRESULT> fail_with{S_OK};  // when set, every call fails with it

 private:
  HRESULT Record(ReportCall call) {
    if (fail_with != S_OK) return fail_with;
    std::lock_guard lock(mutex_);
    calls_.push_back(std::move(call));
    return S_OK;
  }
  std::vector<std::string> Values(const std::string& method, const std::string& number) const {
    std::vector<std::string> values;
    for (const ReportCall& call : Calls()) {
      if (call.method == method && call.number == number) values.push_back(call.value);
    }
    return values;
  }
  mutable std::mutex mutex_;
  std::vector<ReportCall> calls_;
};

inline std::string CallResult(const std::string& answer, const std::string& status) {
  return "<Call Status=\"" + status + "\" Error=\"\"><Answer>" + answer + "</Answer></Call>";
}

// What a fake device does at one attempt: fail with `hr`, or return `result`.
struct Reply {
  HRESULT hr = S_OK;
  std::string result = CallResult("Answered", "Completed");
};

struct DeviceCall {
  std::string number, request_xml;
  std::string detail;     // the wav directory of a call, the service of a page
  std::size_t batch = 0;  // pages: the batch's number, from 1
  OleDate time = 0;       // the clock's time when the call began
};

// A modem or pager that records what it is asked. `answer`, when set (before
// a worker starts), decides each call or page; else calls are answered and
// pages sent.
template <class Interface>
class FakeDevice : public ComObject<Interface> {
 public:
  explicit FakeDevice(Clock& clock) : clock_(clock) {}
  HRESULT Describe(std::string* description) override {
    *description = "fake device";
    return S_OK;
  }
  std::vector<DeviceCall> Calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }

  std::function<Reply(const std::string& number)> answer;

 protected:
  Reply Attempt(DeviceCall call, Reply fallback) {
    {
      std::lock_guard lock(mutex_);
      call.time = clock_.Now();
      calls_.push_back(call);
    }
    return answer ? answer(call.number) : fallback;
  }

 private:
  Clock& clock_;
  mutable std::mutex mutex_;
  std::vector<DeviceCall> calls_;
};

class FakeModem final : public FakeDevice<IModem> {
 public:
  using FakeDevice::FakeDevice;
  HRESULT MakeCall(const char* number, const char* request_xml, const char* wav_dir,
                   std::string* result) override {
    const Reply reply = Attempt({number, request_xml, wav_dir}, {});
    if (reply.hr == S_OK) *result = reply.result;
    return reply.hr;
  }
};

// A page whose reply fails fails the whole batch.
class FakePager final : public FakeDevice<IPager> {
 public:
  using FakeDevice::FakeDevice;
  HRESULT SendPages(std::int32_t count, const char* const* numbers, const char* const* services,
                    const char* const* request_xmls, std::vector<std::string>* results) override {
    const std::size_t batch = ++batches_;
    HRESULT hr = S_OK;
    results->clear();
    for (std::int32_t i = 0; i < count; ++i) {
      const Reply reply = Attempt({numbers[i], request_xmls[i], services[i], batch},
                                  {S_OK, CallResult("Sent", "Sent")});
      if (reply.hr != S_OK) hr = reply.hr;
      results->push_back(reply.result);
    }
    return hr;
  }
  // The numbers of each batch, in order.
  std::vector<std::vector<std::string>> Batches() const {
    std::vector<std::vector<std::string>> found(batches_);
    for (const DeviceCall& call : Calls()) found[call.batch - 1].push_back(call.number);
    return found;
  }

 private:
  std::atomic<std::size_t> batches_{0};
};

inline std::uint32_t RefCount(IUnknown* object) {
  object->AddRef();
  return object->Release();
}

// A request file in the format the preprocessing daemon leaves in Requests.
struct RequestSpec {
  struct Rule {
    int attempts = 0;
    int delay = 0;  // minutes
  };
  std::string id = "{6B29FC40-CA47-1067-B31D-00DD010662DA}";
  std::string type = "Call";
  std::string start = IsoAtMinute(-60);
  std::string stop = IsoAtMinute(24 * 60);
  std::vector<std::string> recipients = {"5550001"};
  std::map<std::string, std::string> services = {};  // recipient -> its "Service"
  Rule busy = {}, no_answer = {}, error = {};

  std::string Xml() const {
    std::string xml = "<Request xmlns:dt=\"urn:schemas-microsoft-com:datatypes\" ID=\"" + id +
                      "\" Type=\"" + type + "\">";
    auto typed = [&](const std::string& name, const char* type, const std::string& text) {
      xml += "<" + name + " dt:dt=\"" + type + "\">" + text + "</" + name + ">";
    };
    typed("StartTime", "dateTime", start);
    typed("StopTime", "dateTime", stop);
    xml += "<Recipients>";
    for (const std::string& number : recipients) {
      const auto service = services.find(number);
      xml += "<Recipient" +
             (service == services.end() ? "" : " Service=\"" + service->second + "\"") + ">" +
             number + "</Recipient>";
    }
    xml += "</Recipients>";
    const std::pair<std::string, Rule> rules[] = {
        {"Busy", busy}, {"NoAnswer", no_answer}, {"Error", error}};
    for (const auto& [name, rule] : rules) {
      typed("NumberOfAttemptsIf" + name, "int", std::to_string(rule.attempts));
      typed("DelayIf" + name, "int", std::to_string(rule.delay));
    }
    return xml +
           "<CallTree><Message Replays=\"0\" Timeout=\"2\"/><Responses/></CallTree></Request>";
  }
};

// Polls `condition` until it holds or `timeout` passes; returns its last value.
inline bool WaitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// The numbers of a queue's entries in order, each followed by its service if it has one.
inline std::vector<std::string> Numbers(const CRequestQueue& queue) {
  std::vector<std::string> numbers;
  for (const CQueueEntry& entry : queue.Snapshot()) {
    numbers.push_back(entry.PhoneNumber + (entry.Service.empty() ? "" : " " + entry.Service));
  }
  return numbers;
}

class SchedulerTest : public ringwell::testing::RingwellTest {
 protected:
  void SetUp() override {
    RingwellTest::SetUp();
    state_.SetTallier(tallier_);
  }

  std::string RequestPath(const RequestSpec& spec) const {
    return root() + "Requests/" + spec.id + ".xml";
  }
  std::string WavDir(const RequestSpec& spec) const { return root() + "Requests/" + spec.id + "/"; }
  // Writes Requests/ID.xml and the wav directory Requests/ID/ with one file in it.
  void WriteRequest(const RequestSpec& spec) {
    std::filesystem::create_directories(WavDir(spec));
    ringwell::testing::WriteFile(WavDir(spec) + "part1.wav", "RIFF");
    ringwell::testing::WriteFile(RequestPath(spec), spec.Xml());
  }
  // Writes the request and takes it into the queues.
  void Queue(const RequestSpec& spec) {
    WriteRequest(spec);
    ASSERT_EQ(QueueRequestFile(RequestPath(spec), state_), S_OK);
  }
  bool Queued(const RequestSpec& spec) {
    return state_.dial_queue().ContainsId(spec.id) || state_.page_queue().ContainsId(spec.id);
  }
  bool RequestFilesGone(const RequestSpec& spec) const {
    return !std::filesystem::exists(RequestPath(spec)) && !std::filesystem::exists(WavDir(spec));
  }
  // Event-log entries with message `id` naming `operation`.
  std::vector<ringwell::testing::EventLogEntry> Events(std::uint32_t id,
                                                       const std::string& operation) const {
    std::vector<ringwell::testing::EventLogEntry> found;
    for (auto& entry : EventLogEntries()) {
      if (entry.event_id == id && !entry.strings.empty() && entry.strings[0] == operation) {
        found.push_back(entry);
      }
    }
    return found;
  }

  std::shared_ptr<FakeClock> clock_ = std::make_shared<FakeClock>();
  SchedulerState state_{clock_};
  ComPtr<FakeTallier> tallier_ = MakeComObject<FakeTallier>();
};

}  // namespace ringwell::dialqueue::testing
