#include "kel_service.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>

#include "kel_test_util.h"
#include "ringwell/common/message_tables.h"
#include "ringwell/common/ole_date.h"
#include "ringwell/common/xml.h"
#include "ringwell/testing/fixture.h"

namespace ringwell::kel {
namespace {

using namespace testing_util;
using testing::ListDir;

class KelServiceTest : public testing::RingwellTest {
 protected:
  void SetUp() override {
    RingwellTest::SetUp();
    AddRecipient(request_.Get(), "555");
    ASSERT_EQ(request_->put_StartTime(40000.0), S_OK);
    ASSERT_EQ(request_->put_StopTime(40000.5), S_OK);
  }

  ComPtr<IKelService> NewService() {
    return ComPtr<IKelService>(MakeComObject<CKelService>().Get());
  }

  std::string Location(IKelService* service) {
    std::string location = "<unset>";
    EXPECT_EQ(service->get_Location(&location), S_OK);
    return location;
  }

  std::vector<std::string> Inbox() { return ListDir(root() + "Inbox"); }

  ComPtr<IKelRequest> request_ = NewRequest();
};

TEST_F(KelServiceTest, DefaultLocationComesFromTheConfiguration) {
  EXPECT_EQ(Location(NewService().Get()), root());

  SetConfigString("RootDir", root().substr(0, root().size() - 1));  // without "/"
  EXPECT_EQ(Location(NewService().Get()), root());

  SetConfigString("RootDir", scratch() + "missing");
  EXPECT_EQ(Location(NewService().Get()), "");
  DeleteConfigKey();
  EXPECT_EQ(Location(NewService().Get()), "");
  EXPECT_FALSE(GetErrorInfo());  // creation reports nothing
  EXPECT_TRUE(EventLogEntries().empty());
}

TEST_F(KelServiceTest, LocationIsStoredAsGivenAndSubmissionWritesBelowIt) {
  auto service = NewService();
  const std::string other = scratch() + "store";
  std::filesystem::create_directories(other + "/Inbox");
  ASSERT_EQ(service->put_Location(other.c_str()), S_OK);
  EXPECT_EQ(Location(service.Get()), other);

  std::string id;
  ASSERT_EQ(service->SubmitRequest(request_.Get(), &id), S_OK);
  EXPECT_EQ(ListDir(other + "/Inbox"), std::vector<std::string>{id + ".xml"});
  EXPECT_TRUE(Inbox().empty());

  // A directory that does not exist is refused and the location stays.
  const std::string missing = scratch() + "nowhere";
  EXPECT_EQ(service->put_Location(missing.c_str()), MakeHresult(kel_msg::kPathNotFound));
  auto info = GetErrorInfo();
  ASSERT_TRUE(info);
  EXPECT_EQ(info->description, "The system cannot find path specified: " + missing + "/.\r\n");
  EXPECT_EQ(info->source, "Kel.KelService.1");
  EXPECT_EQ(Location(service.Get()), other);
  EXPECT_TRUE(EventLogEntries().empty());
}

TEST_F(KelServiceTest, SubmittingTwiceWritesTwoFilesWithTheirOwnIdentifiers) {
  auto service = NewService();
  std::string first, second;
  ASSERT_EQ(service->SubmitRequest(request_.Get(), &first), S_OK);
  ASSERT_EQ(request_->put_NumberOfRings(4), S_OK);
  ASSERT_EQ(service->SubmitRequest(request_.Get(), &second), S_OK);
  EXPECT_NE(first, second);
  EXPECT_EQ(RequestId(request_.Get()), second);
  std::vector<std::string> expected{first + ".xml", second + ".xml"};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(Inbox(), expected);  // and no temporary file left behind

  for (const std::string& id : {first, second}) {
    EXPECT_TRUE(Guid::Parse(id)) << id;
    xml::Document file;
    ASSERT_EQ(file.Load(root() + "Inbox/" + id + ".xml"), S_OK);
    EXPECT_EQ(file.FirstChild().attribute("ID").value(), id);
  }
  xml::Document later;
  ASSERT_EQ(later.Load(root() + "Inbox/" + second + ".xml"), S_OK);
  EXPECT_EQ(xml::Text(later.FirstChild().child("NumberOfRings")), "4");
}

TEST_F(KelServiceTest, CallTreeNestedThreeLevelsIsValidatedAndWrittenCompletely) {
  ComPtr<_IKelNode> node = CallTree(request_.Get());
  for (const char* button : {"1", "2", "3"}) {
    ComPtr<IKelResponse> response = AddResponse(node.Get(), button);
    AddPart(response.Get(), button, kelTextMessagePart);
    node = ComPtr<_IKelNode>(response.Get());
  }
  auto service = NewService();
  std::string id;
  ASSERT_EQ(service->SubmitRequest(request_.Get(), &id), S_OK);
  xml::Document file;
  ASSERT_EQ(file.Load(root() + "Inbox/" + id + ".xml"), S_OK);
  pugi::xml_node level = file.FirstChild().child("CallTree");
  for (const char* button : {"1", "2", "3"}) {
    level = level.child("Responses").child("Response");
    ASSERT_TRUE(level) << button;
    EXPECT_STREQ(level.attribute("Button").value(), button);
    EXPECT_EQ(xml::Text(level.child("Message").child("MessagePart")), button);
  }
  EXPECT_FALSE(level.child("Responses"));  // the deepest has none
}

TEST_F(KelServiceTest, BadInputReturnsItsCodeAndWritesNothing) {
  auto service = NewService();
  std::string id;
  EXPECT_EQ(service->SubmitRequest(nullptr, &id), E_INVALIDARG);
  EXPECT_EQ(service->SubmitRequest(request_.Get(), nullptr), E_INVALIDARG);

  // A request with no recipients fails for that even when its times are wrong.
  ComPtr<IKelRequest> empty = NewRequest();
  EXPECT_EQ(service->SubmitRequest(empty.Get(), &id), MakeHresult(kel_msg::kNoRecipients));
  EXPECT_EQ(TakeDescription(), "At least one recipient must be specified for request.\r\n");
  AddRecipient(empty.Get(), "555");
  EXPECT_EQ(service->SubmitRequest(empty.Get(), &id), MakeHresult(kel_msg::kStopBeforeStart));
  EXPECT_EQ(TakeDescription(), "StopTime must be specified after StartTime.\r\n");

  // An empty location is accepted, but nothing can be submitted to it.
  ASSERT_EQ(service->put_Location(""), S_OK);
  EXPECT_EQ(Location(service.Get()), "");
  id = "unchanged";
  EXPECT_EQ(service->SubmitRequest(request_.Get(), &id), MakeHresult(kel_msg::kLocationRequired));
  auto info = GetErrorInfo();
  ASSERT_TRUE(info);
  EXPECT_EQ(info->description, "A ServiceLocation property must be specified.\r\n");
  EXPECT_EQ(info->source, "Kel.KelService.1");
  EXPECT_EQ(id, "unchanged");

  EXPECT_TRUE(Inbox().empty());
  EXPECT_TRUE(EventLogEntries().empty());
}

TEST_F(KelServiceTest, MissingInboxNamesTheInboxDirectory) {
  auto service = NewService();
  std::filesystem::remove(root() + "Inbox");
  std::string id;
  EXPECT_EQ(service->SubmitRequest(request_.Get(), &id), MakeHresult(kel_msg::kPathNotFound));
  EXPECT_EQ(TakeDescription(), "The system cannot find path specified: " + root() + "Inbox/.\r\n");
  // The identifier was given out before the save failed.
  EXPECT_TRUE(Guid::Parse(id));
  EXPECT_EQ(RequestId(request_.Get()), id);
  EXPECT_EQ(ListDir(root()), (std::vector<std::string>{"Files", "Reports", "Requests"}));
}

TEST_F(KelServiceTest, InboxWithoutWritePermissionNamesTheFile) {
  auto service = NewService();
  ASSERT_EQ(::chmod((root() + "Inbox").c_str(), 0555), 0);
  std::string id;
  HRESULT hr;
  {
    testing::PermissionsEnforced enforced;
    hr = service->SubmitRequest(request_.Get(), &id);
  }
  EXPECT_EQ(hr, MakeHresult(kel_msg::kSaveNotPermitted));
  EXPECT_EQ(TakeDescription(),
            "Save operation is not permitted: " + root() + "Inbox/" + id + ".xml.\r\n");
  EXPECT_TRUE(Inbox().empty());
}

TEST_F(KelServiceTest, OtherSaveFailuresCarryTheSystemsText) {
  // A location so deep that the request file's name becomes too long.
  std::string location = scratch();
  while (location.size() < 4070) location += std::string(200, 'd') + "/";
  location.resize(4074);
  std::filesystem::create_directories(location + "/Inbox");
  auto service = NewService();
  ASSERT_EQ(service->put_Location(location.c_str()), S_OK);
  std::string id;
  const HRESULT hr = service->SubmitRequest(request_.Get(), &id);
  EXPECT_EQ(hr, HresultFromErrno(ENAMETOOLONG));
  EXPECT_EQ(TakeDescription(), "Failed to save XML file " + location + "/Inbox/" + id +
                                   ".xml with error: " + ErrorText(hr) + ".\r\n");
  EXPECT_TRUE(ListDir(location + "/Inbox").empty());
}

}  // namespace
}  // namespace ringwell::kel
