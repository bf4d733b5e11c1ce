// Whether a page can be sent, as the heartbeats of the hosts of several
// boxes on a shared root tell it.
#include "host_devices.h"

#include <gtest/gtest.h>

#include <optional>

#include "ringwell/common/status_file.h"
#include "ringwell/testing/fixture.h"

namespace ringwell::kel::client {
namespace {

using namespace std::chrono_literals;

class HostDevicesTest : public ringwell::testing::RingwellTest {
 protected:
  // A host heartbeat of box `host` with a pager of `kind`.
  std::optional<status_file::Heartbeat>& Host(const std::string& host, const std::string& kind) {
    auto& beat = beats_[host];
    beat.emplace(
        root(), "ringwell-host", 60s,
        [kind] {
          return nlohmann::json{{"pager", {{"kind", kind}}}};
        },
        host);
    return beat;
  }
  std::map<std::string, std::optional<status_file::Heartbeat>> beats_;
};

TEST_F(HostDevicesTest, OnASharedRootAnyLiveBoxWithAPagerWillDo) {
  SetConfigNumber("SharedRoot", 1);
  SetConfigString("HostId", "box1");
  Host("box1", "none");
  Host("box2", "real");
  EXPECT_EQ(PagerProblem(root()), "");
  // Box 2's host stops: only box 1's is left, and it has none.
  beats_["box2"].reset();
  const std::string problem = PagerProblem(root());
  EXPECT_EQ(problem.rfind("no pager is configured: the telephony host", 0), 0u) << problem;
  EXPECT_NE(problem.find("on box1"), std::string::npos) << problem;
}

}  // namespace
}  // namespace ringwell::kel::client
