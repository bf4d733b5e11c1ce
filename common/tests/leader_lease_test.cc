// The leader lease on a temporary root: one holder at a time across
// processes, the next one taking over once the holder is killed (its lock
// goes with its descriptors), a holder whose probes stop (a volume that does
// not answer) dropping the leadership without touching a file and taking it
// again through the lock, and the lease's own threads doing the same.
#include "ringwell/common/leader_lease.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>

#include "ringwell/testing/fixture.h"
#include "ringwell/testing/wait.h"

namespace ringwell {
namespace {

using namespace std::chrono_literals;
using ringwell::testing::RingwellTest;
using ringwell::testing::WaitUntil;

class LeaderLeaseTest : public RingwellTest {
 protected:
  LeaderLease::Settings Settings(const std::string& host,
                                 std::chrono::milliseconds lease = 2000ms) const {
    SharedRootSettings shared;
    shared.on = true;
    shared.host_id = host;
    shared.lease_seconds = 2;
    LeaderLease::Settings settings = RoleLease(root(), "test", kApiLeaseByte, shared);
    settings.lease = lease;
    return settings;
  }
};

TEST_F(LeaderLeaseTest, OneProcessLeadsAndAnotherTakesOverOnceItIsKilled) {
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(ready[0]);
    LeaderLease lease(Settings("child"));
    lease.Start();
    while (!lease.Held()) ::usleep(10'000);
    if (::write(ready[1], "1", 1) != 1) ::_exit(1);
    for (;;) ::pause();
  }
  ::close(ready[1]);
  pollfd readable{ready[0], POLLIN, 0};
  char byte = 0;
  const bool led = ::poll(&readable, 1, 60'000) == 1 && ::read(ready[0], &byte, 1) == 1;
  ::close(ready[0]);
  if (!led) ::kill(child, SIGKILL);
  ASSERT_TRUE(led) << "the child never led";

  int gains = 0, losses = 0;
  LeaderLease lease(
      Settings("parent"), [&] { ++gains; }, [&] { ++losses; });
  lease.Round();
  EXPECT_FALSE(lease.Held());  // the child holds it
  EXPECT_EQ(gains, 0);

  ASSERT_EQ(::kill(child, SIGKILL), 0);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WaitUntil([&] {
    lease.Round();
    return lease.Held();
  }));
  EXPECT_EQ(gains, 1);
  EXPECT_TRUE(std::filesystem::exists(root() + ".alive-test-parent"));

  LeaderLease third(Settings("third"));
  third.Round();
  EXPECT_FALSE(third.Held());
  lease.Stop();  // an orderly stop lets it go at once
  EXPECT_EQ(losses, 1);
  third.Round();
  EXPECT_TRUE(third.Held());
}

TEST_F(LeaderLeaseTest, AHolderWhoseProbesStopDropsTheLeadAndTakesItAgainOnlyThroughTheLock) {
  int gains = 0, losses = 0;
  LeaderLease stuck(
      Settings("stuck", 1000ms), [&] { ++gains; }, [&] { ++losses; });
  stuck.Round();
  ASSERT_TRUE(stuck.Held());
  // No probe for more than half the lease, as when the volume hangs: the
  // watchdog, which touches no file, drops the lead.
  ASSERT_TRUE(WaitUntil([&] {
    stuck.Watch();
    return !stuck.Held();
  }));
  EXPECT_EQ(losses, 1);
  stuck.Watch();
  EXPECT_EQ(losses, 1);  // once
  // The lock itself goes only with the holder's next round (or the lease).
  LeaderLease heir(Settings("heir"));
  heir.Round();
  EXPECT_FALSE(heir.Held());
  // A good probe again: taken again, through the lock.
  stuck.Round();
  EXPECT_TRUE(stuck.Held());
  EXPECT_EQ(gains, 2);
  heir.Round();
  EXPECT_FALSE(heir.Held());
}

TEST_F(LeaderLeaseTest, WithTheirThreadsOneOfTwoLeadsAndTheOtherFollowsAStop) {
  std::atomic<int> gains{0};
  LeaderLease first(Settings("first", 10'000ms), [&] { ++gains; });
  LeaderLease second(Settings("second", 10'000ms), [&] { ++gains; });
  first.Start();
  second.Start();
  ASSERT_TRUE(WaitUntil([&] { return first.Held() || second.Held(); }));
  EXPECT_NE(first.Held(), second.Held());
  LeaderLease& holder = first.Held() ? first : second;
  LeaderLease& other = first.Held() ? second : first;
  holder.Stop();
  EXPECT_TRUE(WaitUntil([&] { return other.Held(); }));
  EXPECT_EQ(gains, 2);
}

TEST_F(LeaderLeaseTest, TheRegistrySaysWhetherTheRootIsSharedItsLeaseAndTheHostsName) {
  SharedRootSettings settings = ReadSharedRootSettings();
  EXPECT_FALSE(settings.on);
  EXPECT_EQ(settings.lease_seconds, 42u);
  EXPECT_EQ(settings.host_id, MachineHostId());
  SetConfigNumber("SharedRoot", 1);
  SetConfigNumber("LeaseSeconds", 10);
  SetConfigString("HostId", "box2");
  settings = ReadSharedRootSettings();
  EXPECT_TRUE(settings.on);
  EXPECT_EQ(settings.lease_seconds, 10u);
  EXPECT_EQ(settings.host_id, "box2");
  SetConfigString("HostId", "../box");  // not a plain name: the machine's
  EXPECT_EQ(ReadSharedRootSettings().host_id, MachineHostId());
}

}  // namespace
}  // namespace ringwell
