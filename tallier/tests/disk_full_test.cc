// The report generator on a storage root whose file system is full: a save
// that finds no room fails with the no-space status and leaves the report as
// it was, whole, with no temporary file beside it; once space is back the
// same change is saved. Needs root for the tmpfs.
#include <gtest/gtest.h>

#include <filesystem>

#include "ctallier.h"
#include "ringwell/common/disk_space.h"
#include "ringwell/common/xml.h"
#include "ringwell/testing/fixture.h"
#include "ringwell/testing/small_disk.h"

namespace ringwell::tallier {
namespace {

using testing::ListDir;
using testing::ReadFile;
using testing::WriteFile;

constexpr char kReportId[] = "{9A7C1E22-5B1D-4C3E-8F00-00000000D15C}";

class TallierDiskFullTest : public testing::RingwellTest {
 protected:
  void SetUp() override {
    RingwellTest::SetUp();
    std::string why;
    if (!disk_.Mount(root(), 1 << 20, &why)) GTEST_SKIP() << why;
  }
  std::string Report() const { return root() + "Reports/" + kReportId + ".xml"; }
  testing::SmallDisk disk_;
};

TEST_F(TallierDiskFullTest, ASaveWithoutRoomLeavesTheReportWholeAndSucceedsOnceSpaceIsBack) {
  std::string xml = "<Request xmlns=\"urn:schemas-microsoft-com:xml-data\" ID=\"" +
                    std::string(kReportId) + "\" UserID=\"{0}\" Type=\"Call\"><Recipients>";
  // Large enough that a save needs more than the few bytes left.
  for (int i = 0; i < 400; ++i)
    xml += "<Recipient>555" + std::to_string(10000 + i) + "</Recipient>";
  xml += "</Recipients></Request>";
  WriteFile(root() + "Inbox/r.xml", xml);
  const ComPtr<CTallier> tallier = MakeComObject<CTallier>(std::chrono::milliseconds(5));
  ASSERT_EQ(tallier->CreateNewReport((root() + "Inbox/r.xml").c_str()), S_OK);
  ASSERT_EQ(tallier->UpdateStatus(Report().c_str(), "*", "Scheduled"), S_OK);
  const std::string before = ReadFile(Report());
  const std::vector<std::string> entries = ListDir(root() + "Reports");

  disk_.Fill(0);
  const HRESULT hr = tallier->UpdateStatus(Report().c_str(), "55510000", "InProgress");
  EXPECT_TRUE(IsNoSpace(hr)) << HexCode(static_cast<std::uint32_t>(hr));
  EXPECT_EQ(ReadFile(Report()), before);
  EXPECT_EQ(ListDir(root() + "Reports"), entries);  // no temporary file left

  disk_.Free();
  ASSERT_EQ(tallier->UpdateStatus(Report().c_str(), "55510000", "InProgress"), S_OK);
  xml::Document report;
  ASSERT_EQ(report.Load(Report()), S_OK);
  const auto subs = xml::ElementsByName(report.dom(), "SubReport");
  ASSERT_EQ(subs.size(), 400u);
  EXPECT_STREQ(subs[0].attribute("Status").value(), "InProgress");
  EXPECT_STREQ(subs[1].attribute("Status").value(), "Scheduled");
}

}  // namespace
}  // namespace ringwell::tallier
