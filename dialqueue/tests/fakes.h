// Test doubles for the scheduler: a clock that moves on only when a worker
// sleeps, a report generator that records what it is told, a modem and a pager
// that answer from a script, and a writer of request files.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "clock.h"
#include "ringwell/common/com.h"
#include "ringwell/dialqueue/dialqueue.h"
#include "ringwell/tallier/tallier.h"

namespace ringwell::dialqueue::testing {

// 1 March 2024, 10:00 local time: the fake clock's start.
OleDate TestStart();
// TestStart() moved by `minutes` (may be negative).
OleDate MinutesFromStart(double minutes);
std::string IsoMinutesFromStart(double minutes);

// Each sleep moves the time on by its duration (times `speed`) and waits a
// moment of real time, so workers poll quickly and retries come due after a
// few polls.
class FakeClock final : public Clock {
 public:
  explicit FakeClock(double speed = 1.0) : speed_(speed) {}
  OleDate Now() override;
  void SleepFor(std::chrono::milliseconds duration, const std::stop_token& stop) override;
  void Advance(double minutes);
  // Every sleep asked for so far.
  std::vector<std::chrono::milliseconds> Sleeps() const;

 private:
  const double speed_;
  mutable std::mutex mutex_;
  OleDate now_ = TestStart();
  std::vector<std::chrono::milliseconds> sleeps_;
};

// What the report generator was told.
struct ReportCall {
  std::string method;  // "UpdateStatus" or "AddCallResult"
  std::string report;
  std::string number;
  std::string value;  // the status or the result
};

class FakeTallier final : public ComObject<tallier::ITallier> {
 public:
  HRESULT CreateNewReport(const char*) override { return S_OK; }
  HRESULT UpdateStatus(const char* report, const char* number, const char* status) override;
  HRESULT AddCallResult(const char* report, const char* number, const char* result) override;

  std::vector<ReportCall> Calls() const;
  // The statuses set for `number` ("" for the request level), in order.
  std::vector<std::string> Statuses(const std::string& number) const;
  std::size_t ResultCount(const std::string& number) const;
  // Makes every later call fail with `hr` (S_OK: succeed again).
  void FailWith(HRESULT hr) { fail_with_ = hr; }

 private:
  std::atomic<HRESULT> fail_with_{S_OK};
  mutable std::mutex mutex_;
  std::vector<ReportCall> calls_;
};

// A call result as a line returns it.
std::string CallResult(const std::string& answer, const std::string& status);

// What a fake device does for one attempt: fail with `hr`, or return `result`.
struct Reply {
  HRESULT hr = S_OK;
  std::string result;
};

struct ModemCall {
  std::string number;
  std::string request_xml;
  std::string wav_dir;
  OleDate time = 0;  // the clock's time when the call began
};

class FakeModem final : public ComObject<IModem> {
 public:
  explicit FakeModem(Clock* clock) : clock_(clock) {}
  HRESULT Describe(std::string* description) override;
  HRESULT MakeCall(const char* number, const char* request_xml, const char* wav_dir,
                   std::string* result) override;

  // Replies for `number`, one per attempt; the last one repeats. Numbers
  // without a script are answered.
  void Script(const std::string& number, std::vector<Reply> replies);
  // Runs during every call, before the reply is given.
  void OnCall(std::function<void(const std::string& number)> hook) { hook_ = std::move(hook); }
  std::vector<ModemCall> Calls() const;
  std::uint32_t RefCount() {
    AddRef();
    return Release();
  }

 private:
  Clock* clock_;
  std::function<void(const std::string&)> hook_;
  mutable std::mutex mutex_;
  std::map<std::string, std::vector<Reply>> scripts_;
  std::map<std::string, std::size_t> attempts_;
  std::vector<ModemCall> calls_;
};

struct PageBatch {
  std::vector<std::string> numbers;
  std::vector<std::string> services;
};

class FakePager final : public ComObject<IPager> {
 public:
  HRESULT Describe(std::string* description) override;
  HRESULT SendPages(std::int32_t count, const char* const* numbers, const char* const* services,
                    const char* const* request_xmls, std::vector<std::string>* results) override;

  // Results for `number`, one per page sent to it; the last repeats. Pages
  // without a script are "Sent".
  void Script(const std::string& number, std::vector<std::string> results);
  // Makes every later batch fail with `hr`.
  void FailWith(HRESULT hr) { fail_with_ = hr; }
  std::vector<PageBatch> Batches() const;

 private:
  std::atomic<HRESULT> fail_with_{S_OK};
  mutable std::mutex mutex_;
  std::map<std::string, std::vector<std::string>> scripts_;
  std::map<std::string, std::size_t> attempts_;
  std::vector<PageBatch> batches_;
};

// A request file in the format the preprocessing daemon leaves in Requests.
struct RequestSpec {
  std::string id = "{6B29FC40-CA47-1067-B31D-00DD010662DA}";
  std::string type = "Call";
  std::string start = IsoMinutesFromStart(-60);
  std::string stop = IsoMinutesFromStart(24 * 60);
  std::vector<std::string> recipients = {"5550001"};
  std::map<std::string, std::string> services;  // recipient -> Service attribute
  int busy_attempts = 0;
  int busy_delay = 0;
  int no_answer_attempts = 0;
  int no_answer_delay = 0;
  int error_attempts = 0;
  int error_delay = 0;
};
std::string RequestXml(const RequestSpec& spec);

// Polls `condition` until it holds or `timeout` passes; returns its last value.
bool WaitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::seconds(20));

}  // namespace ringwell::dialqueue::testing
