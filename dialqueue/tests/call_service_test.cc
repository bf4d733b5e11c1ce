#include "call_service.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>

#include "ringwell/common/class_registry.h"
#include "scheduler_fixture.h"

namespace ringwell::dialqueue::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::SizeIs;

// Serves the report generator class: hands out the given objects in turn,
// the last one again and again.
class TallierFactory final : public ComObject<IClassFactory> {
 public:
  explicit TallierFactory(std::vector<ComPtr<FakeTallier>> objects)
      : objects_(std::move(objects)) {}
  HRESULT CreateInstance(IUnknown*, const Guid& iid, void** ppv) override {
    std::lock_guard lock(mutex_);
    const std::size_t index = std::min(next_++, objects_.size() - 1);
    return objects_[index]->QueryInterface(iid, ppv);
  }
  HRESULT LockServer(bool) override { return S_OK; }

 private:
  std::mutex mutex_;
  std::size_t next_ = 0;
  std::vector<ComPtr<FakeTallier>> objects_;
};

// A device object whose interface query fails outright.
struct IOther : IUnknown {
  static constexpr Guid kIid = "{0B0E5A52-8C1E-4D64-9E0A-3A7B6C5D4E3F}"_guid;
  using Base = IUnknown;
};
class BrokenDevice final : public ComObject<IOther> {
 public:
  HRESULT QueryInterface(const Guid& iid, void** ppv) override {
    if (iid == IModem::kIid || iid == IPager::kIid) {
      *ppv = nullptr;
      return E_FAIL;
    }
    return ComObject::QueryInterface(iid, ppv);
  }
};

class CallServiceTest : public SchedulerTest {
 protected:
  void SetUp() override {
    speed_ = 100;
    SchedulerTest::SetUp();
    state_->SetTallier(nullptr);  // the service brings its own
    Serve({tallier_});
  }
  void Serve(std::vector<ComPtr<FakeTallier>> talliers) {
    if (cookie_ != 0) CoRevokeClassObject(cookie_);
    cookie_ = CoRegisterClassObject(tallier::kTallierClsid,
                                    MakeComObject<TallierFactory>(std::move(talliers)));
  }
  void TearDown() override {
    if (cookie_ != 0) CoRevokeClassObject(cookie_);
    SchedulerTest::TearDown();
  }

  ComPtr<IDialqueue> MakeService() {
    auto service = MakeComObject<CCallService>(*state_);
    EXPECT_EQ(service->FinalConstruct(), S_OK);
    ComPtr<IDialqueue> dialqueue;
    EXPECT_EQ(service.As(&dialqueue), S_OK);
    return dialqueue;
  }

  std::uint32_t RefCount(IUnknown* object) {
    object->AddRef();
    return object->Release();
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
  auto newer = MakeComObject<FakeTallier>();
  Serve({tallier_, newer});
  ComPtr<IDialqueue> first = MakeService();
  EXPECT_EQ(state_->Tallier().Get(), tallier_.Get());
  ComPtr<IDialqueue> second = MakeService();
  EXPECT_EQ(state_->Tallier().Get(), newer.Get());
  EXPECT_EQ(RefCount(tallier_.Get()), 3u);  // the test's, the factory's, the first service's
  first.Reset();
  EXPECT_EQ(state_->Tallier().Get(), newer.Get());  // the first service let go of its own only
  EXPECT_EQ(RefCount(tallier_.Get()), 2u);
  second.Reset();
  EXPECT_FALSE(state_->Tallier());
  EXPECT_EQ(RefCount(newer.Get()), 2u);
}

TEST_F(CallServiceTest, AddRequestReportsWhatItCannotRead) {
  ComPtr<IDialqueue> service = MakeService();
  EXPECT_EQ(service->AddRequest((root() + "Requests/none.xml").c_str()), S_FALSE);
  EXPECT_EQ(service->AddRequest(nullptr), S_FALSE);
  EXPECT_THAT(EventLogEntries(), IsEmpty());

  ringwell::testing::WriteFile(root() + "Requests/noid.xml", "<Request><StartTime/></Request>");
  EXPECT_EQ(service->AddRequest((root() + "Requests/noid.xml").c_str()), S_OK);
  const auto events = EventLogEntries();
  ASSERT_THAT(events, SizeIs(1));
  EXPECT_EQ(events[0].source, "Ringwell Dialqueue");
  EXPECT_EQ(events[0].event_id, 0xC0000002u);
  EXPECT_THAT(events[0].strings, ElementsAre("CCallService::AddRequest", "Unspecified error"));
  const auto info = GetErrorInfo();
  ASSERT_TRUE(info);
  EXPECT_EQ(info->description, "XML error in CCallService::AddRequest: Unspecified error.\r\n");
  EXPECT_EQ(info->source, "Dialqueue.Dialqueue.1");

  ComPtr<ISupportErrorInfo> support;
  ASSERT_EQ(service.As(&support), S_OK);
  EXPECT_EQ(support->InterfaceSupportsErrorInfo(IDialqueue::kIid), S_OK);
  EXPECT_EQ(support->InterfaceSupportsErrorInfo(IUnknown::kIid), S_FALSE);
}

TEST_F(CallServiceTest, ADeviceThatCannotBeAskedIsReportedAndLeftOut) {
  ComPtr<IDialqueue> service = MakeService();
  auto broken = MakeComObject<BrokenDevice>();
  EXPECT_EQ(service->AddModem(broken.Get(), 1), S_OK);
  EXPECT_EQ(service->AddPager(broken.Get(), 2), S_OK);
  const auto events = EventLogEntries();
  ASSERT_THAT(events, SizeIs(2));
  EXPECT_EQ(events[0].text, "Error in CCallService::AddModem: Unspecified error.\r\n");
  EXPECT_EQ(events[1].text, "Error in CCallService::AddPager: Unspecified error.\r\n");
  EXPECT_EQ(RefCount(broken.Get()), 1u);
}

TEST_F(CallServiceTest, RequestsGoThroughAndReleaseStopsEveryWorker) {
  ComPtr<IDialqueue> service = MakeService();
  auto modem1 = MakeComObject<FakeModem>(clock_.get());
  auto modem2 = MakeComObject<FakeModem>(clock_.get());
  auto pager = MakeComObject<FakePager>();
  ASSERT_EQ(service->AddModem(modem1.Get(), 1), S_OK);
  ASSERT_EQ(service->AddModem(modem2.Get(), 2), S_OK);
  ASSERT_EQ(service->AddPager(pager.Get(), 3), S_OK);

  RequestSpec calls;
  calls.recipients = {"11", "12", "13", "14"};
  RequestSpec pages;
  pages.id = "{00000000-0000-0000-0000-0000000000AA}";
  pages.type = "Page";
  pages.recipients = {"21", "22"};
  ASSERT_EQ(service->AddRequest(WriteRequest(calls).c_str()), S_OK);
  ASSERT_EQ(service->AddRequest(WriteRequest(pages).c_str()), S_OK);
  ASSERT_TRUE(WaitUntil([&] { return RequestFilesGone(calls) && RequestFilesGone(pages); }));

  EXPECT_EQ(modem1->Calls().size() + modem2->Calls().size(), 4u);
  EXPECT_THAT(pager->Batches(), SizeIs(1));
  for (const std::string& number : calls.recipients) {
    EXPECT_EQ(tallier_->Statuses(number).back(), "Completed") << number;
  }
  for (const std::string& number : pages.recipients) {
    EXPECT_EQ(tallier_->Statuses(number).back(), "Sent") << number;
  }
  ASSERT_EQ(RefCount(modem1.Get()), 2u);
  service.Reset();
  EXPECT_EQ(RefCount(modem1.Get()), 1u);
  EXPECT_EQ(RefCount(modem2.Get()), 1u);
  EXPECT_EQ(RefCount(pager.Get()), 1u);
  EXPECT_THAT(EventLogEntries(), IsEmpty());
}

}  // namespace
}  // namespace ringwell::dialqueue::testing
