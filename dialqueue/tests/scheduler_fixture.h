// The fixture of the scheduler's tests: its own storage root (from
// RingwellTest), a scheduler state with a fake clock and a recording report
// generator, and helpers to lay down scheduled requests.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "fakes.h"
#include "ringwell/common/message_tables.h"
#include "ringwell/testing/fixture.h"
#include "scheduler_state.h"

namespace ringwell::dialqueue::testing {

class SchedulerTest : public ringwell::testing::RingwellTest {
 protected:
  void SetUp() override {
    RingwellTest::SetUp();
    clock_ = std::make_shared<FakeClock>(speed_);
    state_ = std::make_unique<SchedulerState>(clock_);
    tallier_ = MakeComObject<FakeTallier>();
    state_->SetTallier(tallier_);
  }

  // Writes Requests/ID.xml and the request's wav directory Requests/ID/ with
  // one file in it; returns the request file's path.
  std::string WriteRequest(const RequestSpec& spec) {
    const std::string path = RequestPath(spec);
    std::filesystem::create_directories(WavDir(spec));
    ringwell::testing::WriteFile(WavDir(spec) + "part1.wav", "RIFF");
    ringwell::testing::WriteFile(path, RequestXml(spec));
    return path;
  }
  std::string RequestPath(const RequestSpec& spec) const {
    return root() + "Requests/" + spec.id + ".xml";
  }
  std::string WavDir(const RequestSpec& spec) const { return root() + "Requests/" + spec.id + "/"; }
  std::string ReportPath(const RequestSpec& spec) const {
    return root() + "Reports/" + spec.id + ".xml";
  }
  bool RequestFilesGone(const RequestSpec& spec) const {
    return !std::filesystem::exists(RequestPath(spec)) && !std::filesystem::exists(WavDir(spec));
  }

  // Event-log entries with message `id` and operation name `operation`.
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

  // Clock speed of the fake clock: how many simulated milliseconds one
  // millisecond of sleep stands for.
  double speed_ = 1.0;
  std::shared_ptr<FakeClock> clock_;
  std::unique_ptr<SchedulerState> state_;
  ComPtr<FakeTallier> tallier_;
};

}  // namespace ringwell::dialqueue::testing
