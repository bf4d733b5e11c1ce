// Two hosts sharing one storage root, as two scheduler states of this
// process: their share locks are taken on descriptors of their own, which
// exclude each other as two machines' would.
#include "share_owner.h"

#include <condition_variable>
#include <filesystem>
#include <set>

#include "modem_helper.h"
#include "scheduler_fixture.h"

namespace ringwell::dialqueue::testing {
namespace {

using ::testing::UnorderedElementsAre;

// A line whose calls to the numbers in `held` last until it is hung up;
// every other call is answered at once.
class HoldingModem final : public ComObject<IModem, IModemHangUp> {
 public:
  explicit HoldingModem(std::set<std::string> held) : held_(std::move(held)) {}
  HRESULT Describe(std::string* description) override {
    *description = "holding modem";
    return S_OK;
  }
  HRESULT MakeCall(const char* number, const char*, const char*, std::string* result) override {
    std::unique_lock lock(mutex_);
    called_.push_back(number);
    bool hung_up = false;
    if (held_.contains(number)) {
      in_call_ = true;
      changed_.notify_all();
      changed_.wait(lock, [&] { return hang_ups_ > 0; });
      in_call_ = false;
      hung_up = true;
    }
    *result = hung_up ? CallResult("Failed", "Failed") : CallResult("Answered", "Completed");
    return S_OK;
  }
  HRESULT HangUp() override {
    std::lock_guard lock(mutex_);
    if (in_call_) ++hang_ups_;
    changed_.notify_all();
    return S_OK;
  }
  bool InCall() {
    std::lock_guard lock(mutex_);
    return in_call_;
  }
  std::size_t HangUps() {
    std::lock_guard lock(mutex_);
    return hang_ups_;
  }
  std::vector<std::string> Called() {
    std::lock_guard lock(mutex_);
    return called_;
  }

 private:
  const std::set<std::string> held_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool in_call_ = false;
  std::size_t hang_ups_ = 0;
  std::vector<std::string> called_;
};

class ShareOwnerTest : public SchedulerTest {
 protected:
  ShareSettings Settings(const std::string& host) const {
    return {.requests_dir = root() + "Requests/", .host_id = host, .shares = 4};
  }
  RequestSpec Eight() const {
    RequestSpec spec;
    spec.recipients = {"r0", "r1", "r2", "r3", "r4", "r5", "r6", "r7"};
    return spec;
  }
  std::string ReportPath(const RequestSpec& spec) const {
    return root() + "Reports/" + spec.id + ".xml";
  }
  // A report whose recipients have the given statuses.
  void WriteReport(const RequestSpec& spec, const std::vector<std::string>& statuses,
                   const std::string& status = "InProgress") {
    std::string xml = "<Report Status=\"" + status + "\">";
    for (std::size_t i = 0; i < statuses.size(); ++i) {
      xml += "<SubReport Recipient=\"" + spec.recipients[i] + "\" Status=\"" + statuses[i] + "\"/>";
    }
    ringwell::testing::WriteFile(ReportPath(spec), xml + "</Report>");
  }

  std::shared_ptr<FakeClock> other_clock_ = std::make_shared<FakeClock>();
  SchedulerState other_{other_clock_};
  ComPtr<FakeTallier> other_tallier_ = MakeComObject<FakeTallier>();
};

TEST_F(ShareOwnerTest, HostsTakeSharesWhileTheyHaveRoomAndNeverTheSameOne) {
  other_.SetTallier(other_tallier_);
  const RequestSpec spec = Eight();
  WriteRequest(spec);
  ShareOwner one(state_, Settings("one"));
  ShareOwner two(other_, Settings("two"));
  one.SetLines(1);
  two.SetLines(1);
  one.Know(RequestPath(spec));
  two.Know(RequestPath(spec));

  // One line: room for fewer than two due calls, so one share of two each.
  one.Pass();
  two.Pass();
  one.Pass();
  EXPECT_THAT(Numbers(state_.dial_queue()), UnorderedElementsAre("r0", "r4"));
  EXPECT_THAT(Numbers(other_.dial_queue()), UnorderedElementsAre("r1", "r5"));
  EXPECT_EQ(one.OwnedCount(), 1u);

  // Host one's share is done: it lets it go and takes the next free one.
  state_.dial_queue().Clear();
  one.Pass();
  EXPECT_THAT(Numbers(state_.dial_queue()), UnorderedElementsAre("r2", "r6"));
  EXPECT_EQ(one.OwnedCount(), 1u);

  // A host without lines has no room.
  ShareOwner idle(other_, Settings("idle"));
  idle.Know(RequestPath(spec));
  other_.dial_queue().Clear();
  idle.Pass();
  EXPECT_EQ(idle.OwnedCount(), 0u);
}

TEST_F(ShareOwnerTest, ADeadHostsShareIsTakenOverAndItsCallInProgressBookedOnce) {
  other_.SetTallier(other_tallier_);
  RequestSpec spec = Eight();
  spec.error = {1, 5};
  WriteRequest(spec);
  WriteReport(spec, {"InProgress", "Scheduled", "Scheduled", "Scheduled", "Completed", "Scheduled",
                     "Scheduled", "Scheduled"});
  auto dying = std::make_unique<ShareOwner>(state_, Settings("dying"));
  state_.SetShares(dying.get());
  dying->SetLines(1);
  dying->Know(RequestPath(spec));
  dying->Pass();
  // The final recipient r4 is left out; r0 was in a call when the host
  // restarted: booked as interrupted, and retried after the error delay (not
  // due, so the host has room for the next share).
  EXPECT_THAT(Numbers(state_.dial_queue()), ElementsAre("r1", "r5", "r0"));
  EXPECT_THAT(tallier_->Results("r0"), SizeIs(1));

  ShareOwner heir(other_, Settings("heir"));
  other_.SetShares(&heir);
  heir.SetLines(1);
  heir.Know(RequestPath(spec));
  heir.Pass();
  EXPECT_THAT(Numbers(other_.dial_queue()), UnorderedElementsAre("r2", "r6"));
  other_.dial_queue().Clear();

  // The host dies in a call to r0, after r1 and r5 were done: its locks go,
  // and the heir takes its shares in as a restarted host would.
  WriteReport(spec, {"InProgress", "Completed", "Scheduled", "Scheduled", "Completed", "Completed",
                     "Scheduled", "Scheduled"});
  state_.SetShares(nullptr);
  dying.reset();
  ASSERT_TRUE(WaitUntil([&] {
    heir.Pass();
    return other_.dial_queue().ContainsId(spec.id);
  }));
  const std::vector<CQueueEntry> taken = other_.dial_queue().Snapshot();
  EXPECT_THAT(Numbers(other_.dial_queue()), UnorderedElementsAre("r0", "r3", "r7"));
  for (const CQueueEntry& entry : taken) {
    // The interrupted call spent the one retry after an error.
    if (entry.PhoneNumber == "r0") {
      EXPECT_EQ(entry.NumberOfAttemptsIfError, 0);
    }
  }
  // Nobody books "Completed" while r3 and r7 wait, and the files stay.
  EXPECT_THAT(other_tallier_->Statuses(""), IsEmpty());
  EXPECT_FALSE(RequestFilesGone(spec));
  const std::vector<std::string> results = other_tallier_->Results("r0");
  ASSERT_THAT(results, SizeIs(1));
  EXPECT_THAT(results[0], ::testing::HasSubstr("Interrupted"));
  EXPECT_THAT(other_tallier_->Statuses("r0"), ElementsAre("Scheduled"));
  EXPECT_THAT(other_tallier_->Results("r4"), IsEmpty());
}

TEST_F(ShareOwnerTest, ARequestIsCompletedOnlyWhenTheReportSaysEveryRecipientIsFinal) {
  const RequestSpec spec = Eight();
  WriteRequest(spec);
  ShareOwner owner(state_, Settings("one"));
  CQueueEntry entry;
  entry.Id = spec.id;
  entry.RequestFile = RequestPath(spec);
  int booked = 0;
  const auto book = [&] { ++booked; };

  WriteReport(spec, {"Completed", "Busy", "Failed", "Completed", "NoAnswer", "Completed",
                     "Scheduled", "Completed"});
  EXPECT_FALSE(owner.Finish(entry, book));  // another host still calls r6
  EXPECT_EQ(booked, 0);
  WriteReport(spec, {"Completed", "Busy", "Failed", "Completed", "NoAnswer", "Completed",
                     "Canceled", "Completed"});
  EXPECT_TRUE(owner.Finish(entry, book));
  EXPECT_EQ(booked, 1);
  // Another host booked it first: the files may go, nothing is booked twice.
  WriteReport(spec, std::vector<std::string>(8, "Completed"), "Completed");
  EXPECT_TRUE(owner.Finish(entry, book));
  EXPECT_EQ(booked, 1);
}

TEST_F(ShareOwnerTest, AHostThatCannotRenewStopsDiallingAndLetsItsSharesGo) {
  other_.SetTallier(other_tallier_);
  const RequestSpec spec = Eight();
  WriteRequest(spec);
  ShareSettings settings = Settings("cut");
  settings.lease = std::chrono::seconds(2);
  // Its probe file cannot be written: a directory stands in its place.
  std::filesystem::create_directories(root() + "Requests/.alive-cut");
  ShareOwner cut(state_, settings);
  cut.SetLines(4);
  cut.Know(RequestPath(spec));
  cut.Pass();
  ASSERT_GT(state_.dial_queue().Size(), 0u);
  EXPECT_FALSE(cut.Probe());

  ASSERT_TRUE(WaitUntil([&] {
    cut.Watch();
    return cut.Fenced();
  }));
  EXPECT_EQ(state_.dial_queue().Size(), 0u);
  cut.Pass();
  EXPECT_EQ(cut.OwnedCount(), 0u);
  EXPECT_EQ(state_.dial_queue().Size(), 0u);  // no share is taken while cut off

  ShareOwner heir(other_, Settings("heir"));
  heir.SetLines(4);
  heir.Know(RequestPath(spec));
  heir.Pass();
  EXPECT_EQ(other_.dial_queue().Size(), 8u);
}

TEST_F(ShareOwnerTest, AFencedHostHangsUpItsCallBooksNothingOfItAndComesBackClean) {
  other_.SetTallier(other_tallier_);
  RequestSpec spec;
  spec.recipients = {"r0"};
  spec.error = {1, 5};
  WriteRequest(spec);
  ShareSettings settings = Settings("cut");
  settings.lease = std::chrono::seconds(2);
  ShareOwner cut(state_, settings);
  state_.SetShares(&cut);
  cut.SetLines(1);
  ASSERT_TRUE(cut.Probe());
  cut.Know(RequestPath(spec));
  cut.Pass();
  ASSERT_THAT(Numbers(state_.dial_queue()), ElementsAre("r0"));

  const ComPtr<HoldingModem> modem = MakeComObject<HoldingModem>(std::set<std::string>{"r0"});
  CModemHelper line(static_cast<IModem*>(modem.Get()), 1, state_);
  ASSERT_TRUE(WaitUntil([&] { return modem->InCall(); }));
  EXPECT_THAT(tallier_->Statuses("r0"), ElementsAre("InProgress"));

  // No probe for half the lease: the host fences itself and hangs up.
  ASSERT_TRUE(WaitUntil([&] {
    cut.Watch();
    return cut.Fenced();
  }));
  ASSERT_TRUE(WaitUntil([&] {
    cut.Watch();
    return modem->HangUps() > 0 && state_.dial_queue().Size() == 0;
  }));
  cut.Pass();
  EXPECT_EQ(cut.OwnedCount(), 0u);
  // Nothing of the cut call is booked: no result, no new status.
  EXPECT_THAT(tallier_->Results("r0"), IsEmpty());
  EXPECT_THAT(tallier_->Statuses("r0"), ElementsAre("InProgress"));

  // The taker books the call once, as an interrupted attempt.
  WriteReport(spec, {"InProgress"});
  ShareOwner heir(other_, Settings("heir"));
  other_.SetShares(&heir);
  heir.SetLines(1);
  heir.Know(RequestPath(spec));
  heir.Pass();
  EXPECT_THAT(Numbers(other_.dial_queue()), ElementsAre("r0"));
  const std::vector<std::string> results = other_tallier_->Results("r0");
  ASSERT_THAT(results, SizeIs(1));
  EXPECT_THAT(results[0], ::testing::HasSubstr("Interrupted"));
  EXPECT_THAT(tallier_->Results("r0"), IsEmpty());

  // Its probe works again: the host takes new work and books it as usual,
  // and leaves the heir's share alone.
  ASSERT_TRUE(cut.Probe());
  RequestSpec next;
  next.id = "{6B29FC40-CA47-1067-B31D-00DD010662DB}";
  next.recipients = {"n0"};
  WriteRequest(next);
  cut.Know(RequestPath(next));
  cut.Pass();
  EXPECT_FALSE(cut.Fenced());
  ASSERT_TRUE(WaitUntil([&] { return !tallier_->Results("n0").empty(); }));
  EXPECT_THAT(modem->Called(), ElementsAre("r0", "n0"));
  EXPECT_THAT(tallier_->Results("r0"), IsEmpty());
  state_.SetShares(nullptr);
  other_.SetShares(nullptr);
}

TEST_F(ShareOwnerTest, OffsetsAreDistinctPerShareAndIgnoreTheCaseOfTheId) {
  EXPECT_EQ(ShareOwner::OffsetFor("{ab-CD}", 3), ShareOwner::OffsetFor("{AB-cd}", 3));
  EXPECT_NE(ShareOwner::OffsetFor("{ab-CD}", 3), ShareOwner::OffsetFor("{ab-CD}", 4));
  EXPECT_NE(ShareOwner::OffsetFor("{ab-CD}", ShareOwner::kMaxShares + 1),
            ShareOwner::OffsetFor("{ab-CE}", ShareOwner::kMaxShares + 1));
  EXPECT_GE(ShareOwner::OffsetFor("{ab-CD}", 0), 0);
}

}  // namespace
}  // namespace ringwell::dialqueue::testing
