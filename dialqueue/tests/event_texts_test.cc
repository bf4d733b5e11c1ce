// The scheduler's events as operators' log filters see them: for each failure
// the processing rules name, the message, its two insertion strings (the
// operation's name and the error's message text, as the error gives it) and
// the formatted text, exactly; the request and file it concerns only beside
// the text. Read from the JSON event lines.
#include "call_service.h"
#include "modem_helper.h"
#include "pager_helper.h"
#include "ringwell/common/class_registry.h"
#include "scheduler_fixture.h"

namespace ringwell::dialqueue::testing {
namespace {

using ringwell::testing::EventLogEntry;

constexpr char kErrorIn[] = "Error in ";
constexpr char kXmlErrorIn[] = "XML error in ";

struct Row {
  const char* failure;
  std::function<void()> provoke;
  std::uint32_t message;
  std::string operation, text;   // the insertion strings
  std::string request_id, path;  // beside the text
};

class EventTextsTest : public SchedulerTest {
 protected:
  // Runs `device` as a modem on line 1, or as the pager, until `spec` is done.
  void RunModem(const RequestSpec& spec, IUnknown* device) {
    Queue(spec);
    CModemHelper helper(device, 1, state_);
    EXPECT_TRUE(WaitUntil([&] { return !Queued(spec); }));
  }
  void RunPager(const RequestSpec& spec, IUnknown* device) {
    Queue(spec);
    CPagerHelper helper(device, 0, state_);
    EXPECT_TRUE(WaitUntil([&] { return !Queued(spec); }));
  }
  // Runs the worker `start` makes while the report generator fails, until
  // an entry is logged, then lets the report recover until `spec` is done.
  void RunUntilLogged(const RequestSpec& spec,
                      const std::function<std::shared_ptr<void>()>& start) {
    Queue(spec);
    const std::shared_ptr<void> worker = start();
    EXPECT_TRUE(WaitUntil([&] { return !EventLogEntries().empty(); }));
    tallier_->fail_with = S_OK;
    EXPECT_TRUE(WaitUntil([&] { return !Queued(spec); }));
  }
  // A call service on this fixture's state, with FakeTallier as its report
  // generator.
  ComPtr<IDialqueue> MakeService() {
    ComPtr<IClassFactory> factory;
    EXPECT_EQ(CreateClassFactory<FakeTallier>(factory.Put()), S_OK);
    const std::uint32_t cookie = CoRegisterClassObject(tallier::kTallierClsid, factory);
    auto service = MakeComObject<CCallService>(state_);
    EXPECT_EQ(service->FinalConstruct(), S_OK);
    CoRevokeClassObject(cookie);
    ComPtr<IDialqueue> dialqueue;
    EXPECT_EQ(service.As(&dialqueue), S_OK);
    return dialqueue;
  }
  std::string ReportPath(const RequestSpec& spec) const {
    return root() + "Reports/" + spec.id + ".xml";
  }
};

TEST_F(EventTextsTest, EachFailureIsLoggedWithTheTextsOfTheMessageTable) {
  const RequestSpec call;
  const RequestSpec page{.type = "Page"};
  auto modem = MakeComObject<FakeModem>(*clock_);
  auto pager = MakeComObject<FakePager>(*clock_);
  const Row rows[] = {
      {"a line without a device", [&] { RunModem(call, nullptr); }, dialqueue_msg::kXmlErrorIn,
       "CModemHelper::ProcessDialRequest", ErrorText(E_POINTER), call.id, RequestPath(call)},
      {"a report the line cannot update",
       [&] {
         tallier_->fail_with = E_ACCESSDENIED;
         RunUntilLogged(call,
                        [&] { return std::make_shared<CModemHelper>(modem.Get(), 1, state_); });
       },
       dialqueue_msg::kErrorIn, "CModemHelper::ProcessDialRequest", ErrorText(E_ACCESSDENIED), "",
       ReportPath(call)},
      {"a call result that is not XML",
       [&] {
         modem->answer = [](const std::string&) { return Reply{S_OK, "no XML"}; };
         RunModem(call, modem.Get());
       },
       dialqueue_msg::kErrorIn, "CModemHelper::ProcessDialRequest", ErrorText(E_FAIL), call.id,
       RequestPath(call)},
      {"a report the pager cannot update",
       [&] {
         tallier_->fail_with = E_ACCESSDENIED;
         RunUntilLogged(page,
                        [&] { return std::make_shared<CPagerHelper>(pager.Get(), 0, state_); });
       },
       dialqueue_msg::kErrorIn, "CPagerHelper::ProcessDialRequests", ErrorText(E_ACCESSDENIED), "",
       ReportPath(page)},
      {"a page result that is not XML",
       [&] {
         pager->answer = [](const std::string&) { return Reply{S_OK, "no XML"}; };
         RunPager(page, pager.Get());
       },
       dialqueue_msg::kErrorIn, "CPagerHelper::ProcessPagerRequests", ErrorText(E_FAIL), page.id,
       RequestPath(page)},
      // Last: the service brings a report generator of its own.
      {"a request file without ID",
       [&] {
         ringwell::testing::WriteFile(root() + "Requests/noid.xml", "<Request/>");
         MakeService()->AddRequest((root() + "Requests/noid.xml").c_str());
       },
       dialqueue_msg::kXmlErrorIn, "CCallService::AddRequest", ErrorText(E_FAIL), "",
       root() + "Requests/noid.xml"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.failure);
    ClearEventLog();
    tallier_->fail_with = S_OK;
    row.provoke();
    // Every entry of the operation reads alike.
    const std::vector<EventLogEntry> entries = Events(row.message, row.operation);
    ASSERT_FALSE(entries.empty());
    for (const EventLogEntry& entry : entries) {
      EXPECT_EQ(entry.source, "Ringwell Dialqueue");
      EXPECT_EQ(entry.type, "error");
      EXPECT_EQ(entry.strings, (std::vector<std::string>{row.operation, row.text}));
      EXPECT_EQ(entry.text, (row.message == dialqueue_msg::kErrorIn ? kErrorIn : kXmlErrorIn) +
                                row.operation + ": " + row.text + ".\r\n");
      EXPECT_EQ(entry.request_id, row.request_id);
      EXPECT_EQ(entry.path, row.path);
    }
  }
}

}  // namespace
}  // namespace ringwell::dialqueue::testing
