// The service's Location and SubmitRequest with the checks it runs: what lands
// in Inbox, and the refusals with their messages.
#include "kel_service.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <functional>

#include "kel_test_util.h"
#include "ringwell/common/message_tables.h"
#include "ringwell/common/xml.h"
#include "ringwell/testing/concurrent_reader.h"
#include "ringwell/testing/fixture.h"

namespace ringwell::kel {
namespace {

using namespace testing_util;
using testing::ListDir;

class KelServiceTest : public testing::RingwellTest {
 protected:
  void SetUp() override {
    RingwellTest::SetUp();
    service_ = MakeComObject<CKelService>();  // reads the fixture's configuration
    AddRecipient(request_.Get(), "555");
    ASSERT_EQ(request_->put_StartTime(40000.0), S_OK);
    ASSERT_EQ(request_->put_StopTime(40000.5), S_OK);
  }
  static std::string Location(IKelService* service) {
    std::string location = "<unset>";
    EXPECT_EQ(service->get_Location(&location), S_OK);
    return location;
  }
  std::vector<std::string> Inbox() { return ListDir(root() + "Inbox"); }

  ComPtr<CKelService> service_;
  ComPtr<IKelRequest> request_ = NewRequest();
};

TEST_F(KelServiceTest, DefaultLocationComesFromTheConfiguration) {
  EXPECT_EQ(Location(service_.Get()), root());
  SetConfigString("RootDir", root().substr(0, root().size() - 1));  // without "/"
  EXPECT_EQ(Location(MakeComObject<CKelService>().Get()), root());
  SetConfigString("RootDir", scratch() + "missing");
  EXPECT_EQ(Location(MakeComObject<CKelService>().Get()), "");
  DeleteConfigKey();
  EXPECT_EQ(Location(MakeComObject<CKelService>().Get()), "");
  EXPECT_FALSE(GetErrorInfo());  // creation reports nothing
  EXPECT_TRUE(EventLogEntries().empty());
}

TEST_F(KelServiceTest, LocationIsStoredAsGivenAndSubmissionWritesBelowIt) {
  const std::string other = scratch() + "store";
  std::filesystem::create_directories(other + "/Inbox");
  ASSERT_EQ(service_->put_Location(other.c_str()), S_OK);
  EXPECT_EQ(Location(service_.Get()), other);
  std::string id;
  ASSERT_EQ(service_->SubmitRequest(request_.Get(), &id), S_OK);
  EXPECT_EQ(ListDir(other + "/Inbox"), std::vector<std::string>{id + ".xml"});
  EXPECT_TRUE(Inbox().empty());

  // A directory that does not exist is refused and the location stays.
  const std::string missing = scratch() + "nowhere";
  EXPECT_EQ(service_->put_Location(missing.c_str()), MakeHresult(kel_msg::kPathNotFound));
  EXPECT_EQ(TakeError(),
            "Kel.KelService.1: The system cannot find path specified: " + missing + "/.\r\n");
  EXPECT_EQ(Location(service_.Get()), other);
}

TEST_F(KelServiceTest, SubmittingTwiceWritesTwoCompleteFilesWithTheirOwnIdentifiers) {
  ComPtr<_IKelNode> node = CallTree(request_.Get());
  for (const char* button : {"1", "2", "3"}) {
    ComPtr<IKelResponse> response = AddResponse(node.Get(), button);
    AddPart(response.Get(), button, kelTextMessagePart);
    node = ComPtr<_IKelNode>(response.Get());
  }
  // The daemon polls Inbox while clients submit: a reader doing the same
  // must find only whole requests, never a file being written.
  testing::ConcurrentXmlReader reader(root() + "Inbox");
  std::string first, second;
  ASSERT_EQ(service_->SubmitRequest(request_.Get(), &first), S_OK);
  ASSERT_TRUE(reader.WaitForParsed(1));
  ASSERT_EQ(request_->put_NumberOfRings(4), S_OK);
  ASSERT_EQ(service_->SubmitRequest(request_.Get(), &second), S_OK);
  ASSERT_TRUE(reader.WaitForParsed(reader.parsed() + 2));
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
    EXPECT_EQ(xml::Text(file.FirstChild().child("NumberOfRings")), id == first ? "7" : "4");
    // The call tree, nested three levels deep, is written completely.
    pugi::xml_node level = file.FirstChild().child("CallTree");
    for (const char* button : {"1", "2", "3"}) {
      level = level.child("Responses").child("Response");
      ASSERT_TRUE(level) << button;
      EXPECT_STREQ(level.attribute("Button").value(), button);
      EXPECT_EQ(xml::Text(level.child("Message").child("MessagePart")), button);
    }
    EXPECT_FALSE(level.child("Responses"));  // the deepest has none
  }
  for (int i = 0; i < 10; ++i) {
    std::string id;
    ASSERT_EQ(service_->SubmitRequest(request_.Get(), &id), S_OK);
  }
  ASSERT_TRUE(reader.WaitForParsed(reader.parsed() + 12));
  reader.Stop();
  EXPECT_EQ(reader.Unparsable(), std::vector<std::string>{});
  EXPECT_EQ(Inbox().size(), 12u);
}

TEST_F(KelServiceTest, RefusedRequestsWriteNothing) {
  auto valid = [&](OleDate start, OleDate stop) {
    EXPECT_EQ(request_->put_StartTime(start) | request_->put_StopTime(stop), S_OK);
    return service_->ValidateRequest(request_.Get()) == S_OK;
  };
  EXPECT_FALSE(valid(40000.25, 40000.25));  // stop must be strictly later
  // Before 30 December 1899 the fraction still counts forward: -1.25 is
  // 29 December 06:00 and -1.5 is 29 December 12:00.
  EXPECT_TRUE(valid(-1.25, -1.5));
  EXPECT_FALSE(valid(-1.5, -1.25));
  EXPECT_FALSE(valid(-0.5, 0.5));  // both 30 December 1899 12:00
  EXPECT_TRUE(valid(-2.75, 0.0));

  // Recipients are checked before the times (a new request's times are equal).
  ComPtr<IKelRequest> empty = NewRequest();
  std::string id = "unchanged";
  EXPECT_EQ(service_->SubmitRequest(empty.Get(), &id), MakeHresult(kel_msg::kNoRecipients));
  EXPECT_EQ(TakeError(),
            "Kel.KelService.1: At least one recipient must be specified for request.\r\n");
  AddRecipient(empty.Get(), "555");
  EXPECT_EQ(service_->SubmitRequest(empty.Get(), &id), MakeHresult(kel_msg::kStopBeforeStart));
  EXPECT_EQ(TakeError(), "Kel.KelService.1: StopTime must be specified after StartTime.\r\n");

  // An empty location is accepted, but nothing can be submitted to it.
  ASSERT_EQ(service_->put_Location(""), S_OK);
  EXPECT_EQ(Location(service_.Get()), "");
  EXPECT_EQ(service_->SubmitRequest(request_.Get(), &id), MakeHresult(kel_msg::kLocationRequired));
  EXPECT_EQ(TakeError(), "Kel.KelService.1: A ServiceLocation property must be specified.\r\n");
  EXPECT_EQ(id, "unchanged");
  EXPECT_TRUE(Inbox().empty());
  EXPECT_TRUE(EventLogEntries().empty());
}

TEST_F(KelServiceTest, CallTreesThatCannotBeWrittenAreRefused) {
  // Where the cycle is closed, so that the test can open it again afterwards.
  ComPtr<IKelResponses> closing;
  struct Case {
    const char* name;
    std::function<void(_IKelNode*)> build;
    const char* description;
  };
  const Case cases[] = {
      {"a response appended below itself",
       [&](_IKelNode* tree) {
         ComPtr<IKelResponse> first = AddResponse(tree, "1");
         ComPtr<IKelResponse> second = AddResponse(ComPtr<_IKelNode>(first.Get()).Get(), "2");
         ASSERT_EQ(second->get_Responses(closing.Put()), S_OK);
         ASSERT_EQ(closing->Append(first.Get()), S_OK);
       },
       "A response is appended below itself: the call tree has a cycle."},
      {"a menu nested 65 responses deep",
       [](_IKelNode* tree) {
         ComPtr<_IKelNode> node(tree);
         for (int i = 0; i < 65; ++i) node = ComPtr<_IKelNode>(AddResponse(node.Get(), "1").Get());
       },
       "The call tree is nested more than 64 responses deep."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ComPtr<IKelRequest> request = NewRequest();
    AddRecipient(request.Get(), "555");
    ASSERT_EQ(request->put_StartTime(40000.0) | request->put_StopTime(40000.5), S_OK);
    c.build(CallTree(request.Get()).Get());
    std::string id = "unchanged";
    EXPECT_EQ(service_->SubmitRequest(request.Get(), &id), E_INVALIDARG);
    EXPECT_EQ(TakeError(),
              std::string("Kel.KelService.1: Error in CKelService::ValidateResponse: ") +
                  c.description + "\r\n");
    EXPECT_EQ(id, "unchanged");
    if (closing) {
      EXPECT_EQ(closing->Delete(Variant(0)), S_OK);  // the objects can go
    }
    closing.Reset();
  }
  // 64 levels are written completely.
  ComPtr<_IKelNode> node = CallTree(request_.Get());
  for (int i = 0; i < 64; ++i) node = ComPtr<_IKelNode>(AddResponse(node.Get(), "1").Get());
  std::string id;
  EXPECT_EQ(service_->SubmitRequest(request_.Get(), &id), S_OK);
  EXPECT_EQ(Inbox(), std::vector<std::string>{id + ".xml"});
}

TEST_F(KelServiceTest, InboxFailuresNameTheirPath) {
  std::filesystem::remove(root() + "Inbox");
  std::string id;
  EXPECT_EQ(service_->SubmitRequest(request_.Get(), &id), MakeHresult(kel_msg::kPathNotFound));
  EXPECT_EQ(TakeError(),
            "Kel.KelService.1: The system cannot find path specified: " + root() + "Inbox/.\r\n");
  EXPECT_EQ(ListDir(root()), (std::vector<std::string>{"Files", "Reports", "Requests"}));

  ASSERT_TRUE(std::filesystem::create_directory(root() + "Inbox"));
  ASSERT_EQ(::chmod((root() + "Inbox").c_str(), 0555), 0);
  HRESULT hr;
  {
    testing::PermissionsEnforced enforced;
    hr = service_->SubmitRequest(request_.Get(), &id);
  }
  EXPECT_EQ(hr, MakeHresult(kel_msg::kSaveNotPermitted));
  EXPECT_EQ(TakeError(), "Kel.KelService.1: Save operation is not permitted: " + root() + "Inbox/" +
                             id + ".xml.\r\n");
  EXPECT_TRUE(Inbox().empty());

  // Other failures carry the system's text: here a name too long.
  std::string location = scratch();
  while (location.size() < 4070) location += std::string(200, 'd') + "/";
  location.resize(4074);
  std::filesystem::create_directories(location + "/Inbox");
  ASSERT_EQ(service_->put_Location(location.c_str()), S_OK);
  hr = service_->SubmitRequest(request_.Get(), &id);
  EXPECT_EQ(hr, HresultFromErrno(ENAMETOOLONG));
  EXPECT_EQ(TakeError(), "Kel.KelService.1: Failed to save XML file " + location + "/Inbox/" + id +
                             ".xml with error: " + ErrorText(hr) + ".\r\n");
  EXPECT_TRUE(ListDir(location + "/Inbox").empty());
}

}  // namespace
}  // namespace ringwell::kel
