// Submission on a storage root whose file system is full: the request is
// refused with the no-space status and the system's text, nothing is left in
// Inbox (no half file, no temporary one), and once space is back the same
// request goes in. Needs root for the tmpfs.
#include <gtest/gtest.h>

#include "kel_service.h"
#include "kel_test_util.h"
#include "ringwell/common/disk_space.h"
#include "ringwell/common/error_info.h"
#include "ringwell/testing/fixture.h"
#include "ringwell/testing/small_disk.h"

namespace ringwell::kel {
namespace {

using namespace testing_util;
using testing::ListDir;

class KelDiskFullTest : public testing::RingwellTest {
 protected:
  void SetUp() override {
    RingwellTest::SetUp();
    std::string why;
    if (!disk_.Mount(root(), 1 << 20, &why)) GTEST_SKIP() << why;
    AddRecipient(request_.Get(), "555");
    ASSERT_EQ(request_->put_StartTime(40000.0), S_OK);
    ASSERT_EQ(request_->put_StopTime(40000.5), S_OK);
  }
  testing::SmallDisk disk_;
  ComPtr<IKelRequest> request_ = NewRequest();
};

TEST_F(KelDiskFullTest, ARequestThatCannotBeWrittenWholeIsRefusedAndLeavesNothing) {
  const ComPtr<CKelService> service = MakeComObject<CKelService>();
  disk_.Fill(0);
  std::string id;
  const HRESULT hr = service->SubmitRequest(request_.Get(), &id);
  EXPECT_TRUE(IsNoSpace(hr)) << HexCode(static_cast<std::uint32_t>(hr));
  const std::optional<ErrorInfo> error = GetErrorInfo();
  ASSERT_TRUE(error);
  EXPECT_NE(error->description.find("There is not enough space on the disk."), std::string::npos)
      << error->description;
  EXPECT_TRUE(ListDir(root() + "Inbox").empty());

  disk_.Free();
  ASSERT_EQ(service->SubmitRequest(request_.Get(), &id), S_OK);
  EXPECT_EQ(ListDir(root() + "Inbox"), std::vector<std::string>{id + ".xml"});
}

}  // namespace
}  // namespace ringwell::kel
