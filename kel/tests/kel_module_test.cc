// libkel.so as clients meet it: registered with ringwell-regsvr, its objects
// created by ProgID, and the example client, which builds and submits a request
// through them, run against a storage root.
#include <gtest/gtest.h>

#include "ringwell/common/class_registry.h"
#include "ringwell/common/registry.h"
#include "ringwell/common/xml.h"
#include "ringwell/kel/kel.h"
#include "ringwell/testing/fixture.h"
#include "ringwell/testing/process.h"

namespace ringwell::kel {
namespace {

using testing::LibraryPath;
using testing::ListDir;
using testing::ProgramPath;
using testing::RunProgram;

std::string QueryDefault(const std::string& key_path, std::string_view name = "") {
  registry::Key key;
  std::string value;
  if (Failed(registry::Key::Open(key_path, &key)) || Failed(key.QueryString(name, &value, 4096))) {
    return "<missing>";
  }
  return value;
}

class KelModuleTest : public testing::RingwellTest {
 protected:
  void SetUp() override {
    RingwellTest::SetUp();
    ASSERT_EQ(RunProgram({ProgramPath("ringwell-regsvr"), LibraryPath("kel")}), 0);
  }
};

TEST_F(KelModuleTest, RegistrationDescribesEveryClassAndOnlyCreatableOnesHaveAFactory) {
  struct Class {
    Guid clsid;
    const char* progid;
    const char* description;
    bool creatable;
  };
  const Class classes[] = {
      {kKelRequestClsid, "Kel.KelRequest", "CV KelRequest Class", true},
      {kKelNodeClsid, "Kel.KelNode", "CV KelNode Class", false},
      {kKelMessageClsid, "Kel.KelMessage", "CV KelMessage Class", false},
      {kKelMessagePartClsid, "Kel.KelMessagePart", "CV KelMessagePart Class", true},
      {kKelResponseClsid, "Kel.KelResponse", "CV KelResponse Class", true},
      {kKelRecipientClsid, "Kel.KelRecipient", "CV KelRecipient Class", true},
      {kKelServiceClsid, "Kel.KelService", "CV KelService Class", true},
      {kKelFileInfoClsid, "Kel.KelFileInfo", "CV KelFileInfo Class", false},
      {kKelReportClsid, "Kel.KelReport", "CV KelReport Class", false},
      {kKelSubReportClsid, "Kel.KelSubReport", "CV KelSubReport Class", false},
      {kKelCallClsid, "Kel.KelCall", "KelCallInfo Class", false},
  };
  for (const Class& c : classes) {
    SCOPED_TRACE(c.progid);
    const std::string key = ClassKeyPath(c.clsid);
    const std::string progid = std::string(c.progid) + ".1";
    EXPECT_EQ(QueryDefault(key), c.description);
    EXPECT_EQ(QueryDefault(key + "\\ProgID"), progid);
    EXPECT_EQ(QueryDefault(key + "\\VersionIndependentProgID"), c.progid);
    EXPECT_EQ(QueryDefault(key + "\\InprocServer32"), LibraryPath("kel"));
    EXPECT_EQ(QueryDefault(key + "\\InprocServer32", "ThreadingModel"), "Apartment");
    EXPECT_EQ(QueryDefault(key + "\\TypeLib"), kKelLibId.ToString());
    registry::Key programmable;
    EXPECT_EQ(registry::Key::Open(key + "\\Programmable", &programmable), S_OK);
    EXPECT_EQ(QueryDefault(ProgIdKeyPath(c.progid) + "\\CurVer"), progid);

    ComPtr<IUnknown> object;
    const HRESULT hr = CreateInstance(std::string_view(c.progid), &object);
    EXPECT_EQ(hr, c.creatable ? S_OK : CLASS_E_CLASSNOTAVAILABLE);
  }
  EXPECT_EQ(QueryDefault("SOFTWARE\\Classes\\TypeLib\\" + kKelLibId.ToString() + "\\1.0"),
            "Kel 1.0 Type Library");

  ASSERT_EQ(RunProgram({ProgramPath("ringwell-regsvr"), "-u", LibraryPath("kel")}), 0);
  EXPECT_EQ(QueryDefault(ClassKeyPath(kKelNodeClsid)), "<missing>");
  EXPECT_EQ(QueryDefault(ProgIdKeyPath("Kel.KelService.1")), "<missing>");
}

TEST_F(KelModuleTest, ExampleClientSubmitsOneRequest) {
  std::string output;
  ASSERT_EQ(RunProgram({ProgramPath("kel-submit-example"), root()}, {}, &output), 0) << output;
  const std::string id = output.substr(0, output.find('\n'));
  ASSERT_TRUE(Guid::Parse(id)) << output;
  ASSERT_EQ(ListDir(root() + "Inbox"), std::vector<std::string>{id + ".xml"});
  xml::Document file;
  ASSERT_EQ(file.Load(root() + "Inbox/" + id + ".xml"), S_OK);
  pugi::xml_node request = file.FirstChild();
  EXPECT_EQ(request.attribute("ID").value(), id);
  EXPECT_EQ(xml::ElementsByName(request, "Recipient").size(), 2u);
  EXPECT_EQ(xml::ElementsByName(request, "Response").size(), 2u);
  pugi::xml_node text = request.child("CallTree").child("Message").child("MessagePart");
  EXPECT_STREQ(text.attribute("Voice").value(), "Female");
  EXPECT_STREQ(text.next_sibling().attribute("Type").value(), "File");
}

}  // namespace
}  // namespace ringwell::kel
