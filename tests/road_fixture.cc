#include "road_fixture.h"

#include <signal.h>
#include <sys/wait.h>

#include <filesystem>
#include <thread>

#include "ringwell/common/class_registry.h"
#include "ringwell/testing/wait.h"

namespace ringwell::road {

using namespace std::chrono_literals;
using namespace ringwell::kel;
using ringwell::testing::LibraryPath;
using ringwell::testing::ProgramPath;

void RoadTest::SetUp() {
  RingwellTest::SetUp();
  SetConfigNumber("AudioFormat", 49);  // 8 kHz mu-law
  ASSERT_EQ(ringwell::testing::RunProgram({ProgramPath("ringwell-regsvr"), LibraryPath("kel"),
                                           LibraryPath("tallier"), LibraryPath("wavshift"),
                                           LibraryPath("dialqueue")}),
            0);
  ASSERT_EQ(ringwell::testing::RunProgram({ProgramPath("prepax"), "-RegServer"},
                                          {{"RINGWELL_REGISTRY", registry_path()}}),
            0);
  ASSERT_EQ(CreateInstance(kKelServiceClsid, &service_), S_OK);
  heard_dir_ = scratch() + "heard/";
  std::filesystem::create_directories(heard_dir_);
}

void RoadTest::TearDown() {
  service_.Reset();
  RingwellTest::TearDown();
}

void RoadTest::StartServices(const std::string& scenario_json,
                             const std::vector<std::string>& host_arguments) {
  const std::map<std::string, std::string> env = {{"RINGWELL_REGISTRY", registry_path()},
                                                  {"RINGWELL_EVENTLOG", event_log_path()},
                                                  {"RINGWELL_JOURNAL", "0"}};
  ringwell::testing::WriteFile(scratch() + "scenario.json", scenario_json);
  ASSERT_TRUE(prepax_.Start({ProgramPath("prepax")}, env));
  ASSERT_TRUE(prepax_.WaitForLine("Prepax is running", 60s)) << prepax_.output();
  std::vector<std::string> argv = {ProgramPath("ringwell-host"), "--scenario",
                                   scratch() + "scenario.json", "--heard-dir", heard_dir_};
  argv.insert(argv.end(), host_arguments.begin(), host_arguments.end());
  ASSERT_TRUE(host_.Start(argv, env));
  ASSERT_TRUE(host_.WaitForLine("ready", 60s)) << host_.output();
}

void RoadTest::StopServices() {
  for (auto* process : {&host_, &prepax_}) {
    process->Signal(SIGTERM);
    const int status = process->Wait(60s);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
}

ComPtr<IKelRequest> RoadTest::NewRequest(const std::vector<std::string>& recipients,
                                         double start_minutes, double stop_minutes) {
  ComPtr<IKelRequest> request;
  EXPECT_EQ(CreateInstance(kKelRequestClsid, &request), S_OK);
  const OleDate now = OleDateNow();
  request->put_StartTime(now + start_minutes / 1440);
  request->put_StopTime(now + stop_minutes / 1440);
  ComPtr<IKelRecipients> list;
  request->get_Recipients(list.Put());
  for (const auto& number : recipients) {
    ComPtr<IKelRecipient> recipient;
    EXPECT_EQ(CreateInstance(kKelRecipientClsid, &recipient), S_OK);
    recipient->put_Recipient(number.c_str());
    list->Append(recipient.Get());
  }
  return request;
}

ComPtr<IKelMessagePart> RoadTest::AddPart(_IKelNode* node, EKelMessagePartType type,
                                          const std::string& content) {
  ComPtr<IKelMessagePart> part;
  EXPECT_EQ(CreateInstance(kKelMessagePartClsid, &part), S_OK);
  EXPECT_EQ(part->SetContent(content.c_str(), type), S_OK);
  ComPtr<IKelMessage> message;
  ComPtr<IKelMessageParts> parts;
  node->get_Message(message.Put());
  message->get_Parts(parts.Put());
  parts->Append(part.Get());
  return part;
}

std::string RoadTest::Submit(IKelRequest* request) {
  std::string id;
  EXPECT_EQ(service_->SubmitRequest(request, &id), S_OK);
  return id;
}

ComPtr<IKelReport> RoadTest::Report(const std::string& id) {
  ComPtr<IKelReport> report;
  const HRESULT hr = service_->GetReport(id.c_str(), report.Put());
  EXPECT_TRUE(Succeeded(hr)) << ErrorText(hr);
  return report;
}

std::string RoadTest::Status(const std::string& id) {
  ComPtr<IKelReport> report = Report(id);
  std::string status = "<no report>";
  if (report) report->get_Status(&status);
  return status;
}

bool RoadTest::WaitForStatus(const std::string& id, const std::string& status,
                             std::chrono::seconds timeout) {
  return ringwell::testing::WaitUntil([&] { return Status(id) == status; }, timeout, 100ms);
}

bool RoadTest::WaitForEmpty(const std::string& dir, std::chrono::seconds timeout) {
  return ringwell::testing::WaitUntil(
      [&] { return ringwell::testing::ListDir(root() + dir).empty(); }, timeout, 50ms);
}

std::vector<RecipientResult> Results(IKelReport* report) {
  std::vector<RecipientResult> results;
  ComPtr<IKelSubReports> subs;
  report->get_SubReports(subs.Put());
  std::int32_t count = 0;
  subs->get_Count(&count);
  for (std::int32_t i = 0; i < count; ++i) {
    ComPtr<IKelSubReport> sub;
    subs->get_Item(i, sub.Put());
    RecipientResult result;
    sub->get_Recipient(&result.recipient);
    sub->get_Status(&result.status);
    ComPtr<IKelCalls> calls;
    sub->get_Calls(calls.Put());
    std::int32_t call_count = 0;
    calls->get_Count(&call_count);
    for (std::int32_t c = 0; c < call_count; ++c) {
      ComPtr<IKelCall> call;
      calls->get_Item(c, call.Put());
      std::string text;
      call->get_Answer(&text);
      result.answers.push_back(text);
      call->get_Protocol(&text);
      result.protocols.push_back(text);
      OleDate time = 0;
      call->get_Time(&time);
      result.times.push_back(time);
    }
    results.push_back(std::move(result));
  }
  return results;
}

}  // namespace ringwell::road
