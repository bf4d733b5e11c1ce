// Results a host could not book. On a storage root that hosts share, two
// hosts are two scheduler states of this process, each with its own share
// owner: their locks are open file description locks, which exclude each
// other as two machines' would. The report is written by the report
// generator itself; a host whose report cannot be written is one whose
// report generator fails.
#include "inherited_results.h"

#include <filesystem>

#include "ctallier.h"
#include "ringwell/common/xml.h"
#include "scheduler_fixture.h"
#include "share_owner.h"

namespace ringwell::dialqueue::testing {
namespace {

namespace fs = std::filesystem;

constexpr char kOperation[] = "CModemHelper::ProcessDialRequest";

class InheritedResultsTest : public SchedulerTest {
 protected:
  struct Host {
    Host(const std::string& root, const std::string& name, ComPtr<tallier::ITallier> tallier)
        : owner(state, {.requests_dir = root + "Requests/", .host_id = name, .shares = 1}) {
      state.SetTallier(std::move(tallier));
      state.SetShares(&owner);
      owner.SetLines(1);
    }
    ~Host() { state.SetShares(nullptr); }
    SchedulerState state{std::make_shared<FakeClock>()};
    ShareOwner owner;
  };

  void SetUp() override {
    SchedulerTest::SetUp();
    // Made once the test's storage root is configured: it reads it.
    report_ = ComPtr<tallier::ITallier>(
        MakeComObject<tallier::CTallier>(std::chrono::milliseconds(0)).Get());
    failing_->fail_with = E_ACCESSDENIED;
    spec_.recipients = {"r0", "r1"};
    WriteRequest(spec_);
    std::string xml = spec_.Xml();  // as a client submits it, with its user
    xml.insert(xml.find(" ID="), " UserID=\"{0}\"");
    ringwell::testing::WriteFile(RequestPath(spec_), xml);
    ASSERT_EQ(report_->CreateNewReport(RequestPath(spec_).c_str()), S_OK);
  }

  // A line of `state` calls `number`: its start is saved, then the report
  // can no longer be written and the result is kept.
  void CallAndKeep(SchedulerState& state, const std::string& number, double minute) {
    CQueueEntry entry;
    entry.Id = spec_.id;
    entry.RequestFile = RequestPath(spec_);
    entry.PhoneNumber = number;
    state.SetTallier(report_);
    ASSERT_TRUE(ReportSteps(state, kOperation).StartAttempt(entry));
    state.SetTallier(failing_);
    const std::string result =
        "<Call Status=\"Completed\"><Time xmlns:dt=\"urn:schemas-microsoft-com:datatypes\" "
        "dt:dt=\"dateTime\">" +
        IsoAtMinute(minute) + "</Time><Answer>Answered</Answer></Call>";
    ReportSteps(state, kOperation).EndAttempt(entry, result, "Completed");
  }
  std::string Store(const std::string& host) const {
    return root() + "Requests/.unbooked/" + host + "/" + spec_.id + ".unbooked";
  }
  std::vector<std::string> KeptFor(const std::string& host) const {
    std::vector<std::string> numbers;
    if (auto kept = UnbookedResults::ReadStoreFile(RequestPath(spec_), Store(host))) {
      for (const KeptChange& change : kept->changes) numbers.push_back(change.recipient);
    }
    return numbers;
  }
  // The status of the report ("") or of a recipient, and its calls' statuses.
  std::string StatusIn(const std::string& number) const {
    xml::Document report;
    EXPECT_EQ(report.Load(root() + "Reports/" + spec_.id + ".xml"), S_OK);
    if (number.empty()) return report.FirstChild().attribute("Status").value();
    for (pugi::xml_node sub : xml::ElementsByName(report.FirstChild(), "SubReport")) {
      if (std::string_view(sub.attribute("Recipient").value()) != number) continue;
      std::string status = sub.attribute("Status").value();
      for (pugi::xml_node call : xml::ElementsByName(sub, "Call")) {
        status += std::string(" ") + call.attribute("Status").value();
      }
      return status;
    }
    return "none";
  }

  RequestSpec spec_;
  ComPtr<tallier::ITallier> report_;
  ComPtr<FakeTallier> failing_ = MakeComObject<FakeTallier>();
};

TEST_F(InheritedResultsTest, ADeadHostsResultIsBookedOnceByTheHostTakingItsShare) {
  auto dying = std::make_unique<Host>(root(), "a", report_);
  dying->owner.Know(RequestPath(spec_));
  dying->owner.Pass();
  ASSERT_THAT(Numbers(dying->state.dial_queue()), ElementsAre("r0", "r1"));
  CallAndKeep(dying->state, "r0", 1);
  ASSERT_THAT(KeptFor("a"), ElementsAre("r0", "r0"));
  EXPECT_FALSE(fs::exists(root() + "Requests/" + spec_.id + ".unbooked"));
  const std::string copy = scratch() + "a.unbooked";
  fs::copy_file(Store("a"), copy);
  dying.reset();  // nothing booked; its locks go with it

  // The heir books the result before it reads the report: r0 is done, with
  // the one call it made, and not taken for an interrupted one.
  Host heir(root(), "b", report_);
  heir.owner.Know(RequestPath(spec_));
  heir.owner.Pass();
  EXPECT_THAT(Numbers(heir.state.dial_queue()), ElementsAre("r1"));
  EXPECT_EQ(StatusIn("r0"), "Completed Completed");
  EXPECT_FALSE(fs::exists(Store("a")));

  // A host that died between booking a store and removing it left the store
  // behind: it goes, and nothing is booked twice.
  fs::copy_file(copy, Store("a"));
  RetryUnbooked(heir.state, std::stop_token());
  EXPECT_FALSE(fs::exists(Store("a")));
  EXPECT_EQ(StatusIn("r0"), "Completed Completed");
  EXPECT_EQ(StatusIn(""), "InProgress");
}

TEST_F(InheritedResultsTest, HostsKeepTheirOwnAndTheRequestEndsOnceAllIsBooked) {
  auto first = std::make_unique<Host>(root(), "a", report_);
  Host second(root(), "b", report_);
  CallAndKeep(first->state, "r0", 1);
  CallAndKeep(second.state, "r1", 2);
  EXPECT_THAT(KeptFor("a"), ElementsAre("r0", "r0"));
  EXPECT_THAT(KeptFor("b"), ElementsAre("r1", "r1"));

  // The second host books its own; the first, alive, keeps its result: the
  // request is neither "Completed" nor are its files gone.
  second.state.SetTallier(report_);
  RetryUnbooked(second.state, std::stop_token());
  EXPECT_FALSE(fs::exists(Store("b")));
  EXPECT_EQ(StatusIn("r1"), "Completed Completed");
  EXPECT_EQ(StatusIn("r0"), "InProgress");
  EXPECT_EQ(StatusIn(""), "InProgress");
  EXPECT_TRUE(fs::exists(RequestPath(spec_)));

  // The first dies: the second books what it kept, then ends the request.
  first.reset();
  RetryUnbooked(second.state, std::stop_token());
  EXPECT_FALSE(fs::exists(Store("a")));
  EXPECT_EQ(StatusIn("r0"), "Completed Completed");
  EXPECT_EQ(StatusIn("r1"), "Completed Completed");
  EXPECT_EQ(StatusIn(""), "Completed");
  EXPECT_TRUE(RequestFilesGone(spec_));
}

TEST_F(InheritedResultsTest, OnARootOfOneHostARestartBooksWhatWasKeptBesideTheRequest) {
  const std::string kept = root() + "Requests/" + spec_.id + ".unbooked";
  auto stopped = std::make_unique<SchedulerState>(clock_);
  CallAndKeep(*stopped, "r0", 1);
  ASSERT_TRUE(fs::exists(kept));
  EXPECT_FALSE(fs::exists(root() + "Requests/.unbooked"));
  stopped.reset();

  state_.SetTallier(report_);
  ASSERT_EQ(QueueRequestFile(RequestPath(spec_), state_), S_OK);
  EXPECT_FALSE(fs::exists(kept));
  EXPECT_EQ(StatusIn("r0"), "Completed Completed");
  EXPECT_THAT(Numbers(state_.dial_queue()), ElementsAre("r1"));
}

}  // namespace
}  // namespace ringwell::dialqueue::testing
