#include "call_service.h"

#include <pthread.h>

#include <cerrno>

#include "ringwell/common/class_registry.h"
#include "scheduler_fixture.h"

namespace ringwell::dialqueue::testing {
namespace {

// A device object whose interface query fails outright.
struct IOther : IUnknown {
  static constexpr Guid kIid = "{0B0E5A52-8C1E-4D64-9E0A-3A7B6C5D4E3F}"_guid;
  using Base = IUnknown;
};
class BrokenDevice final : public ComObject<IOther> {
 public:
  HRESULT QueryInterface(const Guid& iid, void** ppv) override {
    if (iid != IModem::kIid && iid != IPager::kIid) return ComObject::QueryInterface(iid, ppv);
    *ppv = nullptr;
    return E_FAIL;
  }
};

// While it exists no thread can start: new threads ask for a stack larger
// than any address space.
class NoNewThreads {
 public:
  NoNewThreads() {
    pthread_getattr_default_np(&saved_);
    pthread_attr_t huge;
    pthread_attr_init(&huge);
    pthread_attr_setstacksize(&huge, std::size_t{1} << 50);
    pthread_setattr_default_np(&huge);
    pthread_attr_destroy(&huge);
  }
  ~NoNewThreads() {
    pthread_setattr_default_np(&saved_);
    pthread_attr_destroy(&saved_);
  }
  NoNewThreads(const NoNewThreads&) = delete;
  NoNewThreads& operator=(const NoNewThreads&) = delete;

 private:
  pthread_attr_t saved_;
};

// The report generator class is served by FakeTallier: each scheduler object
// brings a new one, which becomes `tallier_`.
class CallServiceTest : public SchedulerTest {
 protected:
  void SetUp() override {
    SchedulerTest::SetUp();
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(CreateClassFactory<FakeTallier>(factory.Put()), S_OK);
    cookie_ = CoRegisterClassObject(tallier::kTallierClsid, factory);
  }
  void TearDown() override {
    if (cookie_ != 0) CoRevokeClassObject(cookie_);
    SchedulerTest::TearDown();
  }
  ComPtr<IDialqueue> MakeService() {
    auto service = MakeComObject<CCallService>(state_);
    EXPECT_EQ(service->FinalConstruct(), S_OK);
    tallier_ = ComPtr<FakeTallier>(static_cast<FakeTallier*>(state_.Tallier().Get()));
    ComPtr<IDialqueue> dialqueue;
    EXPECT_EQ(service.As(&dialqueue), S_OK);
    return dialqueue;
  }

  std::uint32_t cookie_ = 0;
};

TEST_F(CallServiceTest, CreationFailsWithoutAReportGenerator) {
  CoRevokeClassObject(std::exchange(cookie_, 0));
  ComPtr<IClassFactory> factory;
  ASSERT_EQ(CreateClassFactory<CCallService>(factory.Put()), S_OK);
  ComPtr<IDialqueue> dialqueue;
  EXPECT_EQ(factory->CreateInstance(nullptr, IDialqueue::kIid, dialqueue.PutVoid()),
            REGDB_E_CLASSNOTREG);
  EXPECT_FALSE(dialqueue);
}

TEST_F(CallServiceTest, TheNewestReportGeneratorServesEveryWorker) {
  ComPtr<IDialqueue> first = MakeService();
  const ComPtr<FakeTallier> first_tallier = tallier_;
  ComPtr<IDialqueue> second = MakeService();
  first.Reset();  // lets go of its own report generator only
  EXPECT_EQ(state_.Tallier(), tallier_);
  EXPECT_EQ(RefCount(static_cast<tallier::ITallier*>(first_tallier.Get())), 1u);
  second.Reset();
  EXPECT_FALSE(state_.Tallier());
  EXPECT_EQ(RefCount(static_cast<tallier::ITallier*>(tallier_.Get())), 1u);
}

TEST_F(CallServiceTest, AddRequestReportsWhatItCannotRead) {
  ComPtr<IDialqueue> service = MakeService();
  ringwell::testing::WriteFile(root() + "Requests/broken.xml", "<Request ID=\"x\">");
  for (const std::string name : {"none.xml", "broken.xml"}) {
    EXPECT_EQ(service->AddRequest((root() + "Requests/" + name).c_str()), S_FALSE) << name;
  }
  EXPECT_EQ(service->AddRequest(nullptr), S_FALSE);
  EXPECT_THAT(EventLogEntries(), IsEmpty());

  ringwell::testing::WriteFile(root() + "Requests/noid.xml", "<Request><StartTime/></Request>");
  EXPECT_EQ(service->AddRequest((root() + "Requests/noid.xml").c_str()), S_OK);
  const auto events = EventLogEntries();
  ASSERT_THAT(events, SizeIs(1));
  EXPECT_EQ(events[0].source, "Ringwell Dialqueue");
  EXPECT_EQ(events[0].text, "XML error in CCallService::AddRequest: Unspecified error.\r\n");
  EXPECT_EQ(events[0].path, root() + "Requests/noid.xml");
  const auto info = GetErrorInfo();  // for the caller too
  ASSERT_TRUE(info);
  EXPECT_EQ(info->description, events[0].text);
  EXPECT_EQ(info->source, "Dialqueue.Dialqueue.1");
}

TEST_F(CallServiceTest, TheLineDispatchIsOneOfTwoModes) {
  ComPtr<IDialqueue> service = MakeService();
  ComPtr<IDialqueueDispatch> dispatch;
  ASSERT_EQ(service.As(&dispatch), S_OK);
  EXPECT_EQ(dispatch->SetLineDispatch(2), E_INVALIDARG);
  EXPECT_EQ(dispatch->SetLineDispatch(dqImmediateDispatch), S_OK);
  auto modem = MakeComObject<FakeModem>(*clock_);
  EXPECT_EQ(service->AddModem(modem.Get(), 1), S_OK);
  const RequestSpec spec;
  Queue(spec);
  EXPECT_TRUE(WaitUntil([&] { return !Queued(spec); }));
  EXPECT_THAT(modem->Calls(), SizeIs(1));
}

TEST_F(CallServiceTest, ADeviceThatCannotBeAskedIsReportedAndLeftOut) {
  ComPtr<IDialqueue> service = MakeService();
  auto broken = MakeComObject<BrokenDevice>();
  EXPECT_EQ(service->AddModem(broken.Get(), 1), S_OK);
  EXPECT_EQ(service->AddPager(broken.Get(), 2), S_OK);
  const auto events = EventLogEntries();
  ASSERT_THAT(events, SizeIs(2));
  EXPECT_EQ(events[0].text, "Error in CCallService::AddModem: Unspecified error.\r\n");
  EXPECT_EQ(events[0].line, 1);
  EXPECT_EQ(events[1].text, "Error in CCallService::AddPager: Unspecified error.\r\n");
  EXPECT_EQ(events[1].line, 2);
  EXPECT_EQ(RefCount(broken.Get()), 1u);
}

// A line whose worker cannot start must not look as if it worked: AddModem and
// AddPager report it (the worker's constructor, then the line with the
// reason, and an error object for the host) and keep no worker for it.
TEST_F(CallServiceTest, AWorkerWhoseThreadCannotStartIsReportedAndLeftOut) {
  ComPtr<IDialqueue> service = MakeService();
  auto modem = MakeComObject<FakeModem>(*clock_);
  auto pager = MakeComObject<FakePager>(*clock_);
  {
    NoNewThreads no_threads;
    EXPECT_EQ(service->AddModem(modem.Get(), 1), S_OK);
    EXPECT_EQ(service->AddPager(pager.Get(), 2), S_OK);
  }
  const std::optional<ErrorInfo> info = GetErrorInfo();
  ASSERT_TRUE(info.has_value());
  std::string reason = ErrorText(HresultFromErrno(EAGAIN));
  if (reason.ends_with('.')) reason.pop_back();
  EXPECT_EQ(info->description, "Error in CCallService::AddPager: " + reason + ".\r\n");
  std::vector<std::string> texts;
  std::vector<std::optional<std::int32_t>> lines;
  for (const auto& entry : EventLogEntries()) {
    texts.push_back(entry.text);
    lines.push_back(entry.line);
  }
  EXPECT_THAT(texts, ElementsAre("Error in CModemHelper::CModemHelper: Unspecified error.\r\n",
                                 "Error in CCallService::AddModem: " + reason + ".\r\n",
                                 "Error in CPagerHelper::CPagerHelper: Unspecified error.\r\n",
                                 "Error in CCallService::AddPager: " + reason + ".\r\n"));
  // The line goes beside the entry, not into its text.
  EXPECT_EQ(lines[1], 1);
  EXPECT_EQ(lines[3], 2);
  EXPECT_EQ(RefCount(modem.Get()), 1u);
  EXPECT_EQ(RefCount(pager.Get()), 1u);

  // Added again once threads start, the line calls.
  ASSERT_EQ(service->AddModem(modem.Get(), 1), S_OK);
  const RequestSpec spec;
  Queue(spec);
  EXPECT_TRUE(WaitUntil([&] { return !Queued(spec); }));
  EXPECT_THAT(modem->Calls(), SizeIs(1));
}

TEST_F(CallServiceTest, RequestsGoThroughLinesTakeTurnsAndReleaseStopsEveryWorker) {
  auto modem1 = MakeComObject<FakeModem>(*clock_);
  auto modem2 = MakeComObject<FakeModem>(*clock_);
  auto pager = MakeComObject<FakePager>(*clock_);
  // The second modem and the pager share line 2: never in two calls at once.
  std::atomic<int> on_line{0};
  std::atomic<bool> overlap{false};
  modem2->answer = pager->answer = [&](const std::string& number) {
    if (on_line.fetch_add(1) != 0) overlap = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    on_line.fetch_sub(1);
    return number.starts_with("2") ? Reply{S_OK, CallResult("Sent", "Sent")} : Reply{};
  };
  ComPtr<IDialqueue> service = MakeService();
  ASSERT_EQ(service->AddModem(modem1.Get(), 1), S_OK);
  ASSERT_EQ(service->AddModem(modem2.Get(), 2), S_OK);
  ASSERT_EQ(service->AddPager(pager.Get(), 2), S_OK);

  RequestSpec calls{.recipients = {}}, pages{.id = "{AA}", .type = "Page", .recipients = {}};
  for (int i = 0; i < 10; ++i) {
    calls.recipients.push_back("1" + std::to_string(i));
    pages.recipients.push_back("2" + std::to_string(i));
  }
  for (const RequestSpec& spec : {calls, pages}) {
    WriteRequest(spec);
    ASSERT_EQ(service->AddRequest(RequestPath(spec).c_str()), S_OK);
  }
  ASSERT_TRUE(WaitUntil([&] { return RequestFilesGone(calls) && RequestFilesGone(pages); }));

  EXPECT_FALSE(overlap);
  EXPECT_EQ(modem1->Calls().size() + modem2->Calls().size(), 10u);
  EXPECT_THAT(pager->Calls(), SizeIs(10));
  for (const std::string& number : calls.recipients) {
    EXPECT_EQ(tallier_->Statuses(number).back(), "Completed") << number;
  }
  for (const std::string& number : pages.recipients) {
    EXPECT_EQ(tallier_->Statuses(number).back(), "Sent") << number;
  }
  ASSERT_EQ(RefCount(modem1.Get()), 2u);
  service.Reset();
  for (IUnknown* device : {modem1.Get(), modem2.Get()}) EXPECT_EQ(RefCount(device), 1u);
  EXPECT_EQ(RefCount(pager.Get()), 1u);
  EXPECT_THAT(EventLogEntries(), IsEmpty());
}

}  // namespace
}  // namespace ringwell::dialqueue::testing
