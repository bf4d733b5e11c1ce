// A whole Ringwell installation for a test: a storage root and registry with
// every component registered, the preprocessing daemon and the telephony host
// running as processes, and a client using the toolkit.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "ringwell/kel/kel.h"
#include "ringwell/testing/fixture.h"
#include "ringwell/testing/process.h"

namespace ringwell::road {

class RoadTest : public ringwell::testing::RingwellTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Starts prepax, and ringwell-host with `host_arguments` and the scenario.
  void StartServices(const std::string& scenario_json,
                     const std::vector<std::string>& host_arguments);
  // Stops both with SIGTERM and expects a clean exit.
  void StopServices();

  // A request from `start` to `stop` (as "+Nm" minutes from now) for the
  // recipients, with a spoken greeting.
  ComPtr<kel::IKelRequest> NewRequest(const std::vector<std::string>& recipients,
                                      double start_minutes = 0, double stop_minutes = 30);
  ComPtr<kel::IKelMessagePart> AddPart(kel::_IKelNode* node, kel::EKelMessagePartType type,
                                       const std::string& content);
  std::string Submit(kel::IKelRequest* request);

  // The request's report, or null when there is none yet.
  ComPtr<kel::IKelReport> Report(const std::string& id);
  std::string Status(const std::string& id);
  // Waits until the report's status is `status`; false on timeout.
  bool WaitForStatus(const std::string& id, const std::string& status,
                     std::chrono::seconds timeout);
  // Waits until the storage root's directory `dir` ("Inbox", "Requests") is
  // empty: a finished request's files go after its report says so.
  bool WaitForEmpty(const std::string& dir, std::chrono::seconds timeout);

  ComPtr<kel::IKelService> service_;
  std::string heard_dir_;

 private:
  ringwell::testing::ChildProcess prepax_;
  ringwell::testing::ChildProcess host_;
};

// The sub-reports of a report: recipient, status and the calls' answers.
struct RecipientResult {
  std::string recipient;
  std::string status;
  std::vector<std::string> answers;
  std::vector<std::string> protocols;
  std::vector<OleDate> times;  // when each call was dialled (to the second)
};
std::vector<RecipientResult> Results(kel::IKelReport* report);

}  // namespace ringwell::road
