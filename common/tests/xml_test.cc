#include "ringwell/common/xml.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "ringwell/common/error_info.h"
#include "ringwell/testing/concurrent_reader.h"
#include "ringwell/testing/fixture.h"

namespace ringwell::xml {
namespace {

using testing::ListDir;
using testing::ReadFile;
using testing::RingwellTest;
using testing::WriteFile;

class XmlTest : public RingwellTest {};

TEST_F(XmlTest, TypedValuesAreWrittenAndReadBack) {
  Document doc;
  pugi::xml_node root = doc.dom().append_child("Request");
  pugi::xml_node start = root.append_child("StartTime");
  SetTypedDate(start, 29221.5);
  pugi::xml_node rings = root.append_child("NumberOfRings");
  SetTypedInt(rings, -7);
  pugi::xml_node name = root.append_child("Recipient");
  SetTypedString(name, "a<b");
  EXPECT_EQ(doc.Xml(),
            "<Request><StartTime dt:dt=\"dateTime\">1980-01-01T12:00:00</StartTime>"
            "<NumberOfRings dt:dt=\"int\">-7</NumberOfRings>"
            "<Recipient dt:dt=\"string\">a&lt;b</Recipient></Request>");
  EXPECT_EQ(DataType(rings), "int");
  EXPECT_DOUBLE_EQ(*TypedDate(start), 29221.5);
  EXPECT_EQ(*TypedInt(rings), -7);
  EXPECT_FALSE(TypedInt(name));
  EXPECT_FALSE(TypedDate(ChildElement(root, "Missing")));
}

TEST_F(XmlTest, SaveReplacesAtomicallyWithoutDeclaration) {
  Document doc;
  ASSERT_EQ(doc.LoadXml("<?xml version=\"1.0\"?><Report Status=\"\"/>"), S_OK);
  // The declaration is kept as the document's first child ...
  EXPECT_EQ(doc.FirstChild().type(), pugi::node_declaration);
  Document fresh;
  fresh.dom().append_child("Report").append_attribute("Status") = "Done";
  const std::string path = root() + "Reports/r.xml";
  WriteFile(path, "old");
  ASSERT_EQ(fresh.Save(path), S_OK);
  // ... while a saved document starts directly with its root element.
  EXPECT_EQ(ReadFile(path), "<Report Status=\"Done\"/>");
  EXPECT_EQ(ListDir(root() + "Reports"), std::vector<std::string>{"r.xml"});

  // A reader polling the directory meanwhile finds the old document or the
  // new one, never a part of either, however large they are.
  testing::ConcurrentXmlReader reader(root() + "Reports");
  for (int save = 0; save < 40; ++save) {
    Document large;
    pugi::xml_node report = large.dom().append_child("Report");
    for (int i = 0; i < 2000; ++i) {
      report.append_child("SubReport").append_attribute("Recipient") = save * 10000 + i;
    }
    ASSERT_EQ(large.Save(path), S_OK);
    ASSERT_TRUE(reader.WaitForParsed(reader.parsed() + 1));
  }
  reader.Stop();
  EXPECT_EQ(reader.Unparsable(), std::vector<std::string>{});
  EXPECT_EQ(ListDir(root() + "Reports"), std::vector<std::string>{"r.xml"});

  EXPECT_EQ(fresh.Save(root() + "NoSuchDir/r.xml"), HresultFromWin32(ERROR_PATH_NOT_FOUND));
}

TEST_F(XmlTest, SaveIntoAReadOnlyDirectoryIsAccessDenied) {
  const std::string dir = scratch() + "ro";
  ASSERT_EQ(mkdir(dir.c_str(), 0555), 0);
  testing::PermissionsEnforced enforced;
  Document doc;
  doc.dom().append_child("Report");
  EXPECT_EQ(doc.Save(dir + "/r.xml"), E_ACCESSDENIED);
}

TEST_F(XmlTest, LoadDistinguishesUnparsableFromParsed) {
  Document doc;
  std::string reason;
  EXPECT_EQ(doc.Load(root() + "missing.xml", &reason), S_FALSE);
  EXPECT_FALSE(reason.empty());
  WriteFile(root() + "half.xml", "<Request ID=\"x\"><Recip");
  EXPECT_EQ(doc.Load(root() + "half.xml", &reason), S_FALSE);
  EXPECT_FALSE(doc.FirstChild());
  WriteFile(root() + "empty.xml", "");
  EXPECT_EQ(doc.Load(root() + "empty.xml"), S_FALSE);
  WriteFile(root() + "ok.xml", "<!-- note --><Call Status=\"Done\"/>");
  EXPECT_EQ(doc.Load(root() + "ok.xml"), S_OK);
  EXPECT_EQ(doc.FirstChild().type(), pugi::node_comment);
}

TEST_F(XmlTest, TextAndMarkupOfNodes) {
  Document doc;
  ASSERT_EQ(doc.LoadXml("<R><Info>a&amp;b</Info><X><Extra k=\"v\">1<i>2</i></Extra></X></R>"),
            S_OK);
  pugi::xml_node root_element = doc.FirstChild();
  EXPECT_EQ(Text(root_element), "a&b12");
  EXPECT_EQ(Markup(ChildElement(root_element, "Info").first_child()), "a&amp;b");
  EXPECT_EQ(Markup(ChildElement(root_element, "X").first_child()),
            "<Extra k=\"v\">1<i>2</i></Extra>");
  ASSERT_EQ(doc.LoadXml("<R><S n=\"1\"><S n=\"2\"/></S><T><S n=\"3\"/></T></R>"), S_OK);
  auto found = ElementsByName(doc.FirstChild(), "S");
  ASSERT_EQ(found.size(), 3u);
  EXPECT_STREQ(found[1].attribute("n").value(), "2");
  EXPECT_STREQ(found[2].attribute("n").value(), "3");
}

}  // namespace
}  // namespace ringwell::xml

namespace ringwell::xml {
namespace {

TEST(XmlBuildTest, NamesAndTextsThatXmlCannotHoldAreRefused) {
  Document doc;
  pugi::xml_node root = AppendElement(doc.dom(), "Request");
  EXPECT_THROW(AppendElement(root, "two words"), ComError);
  EXPECT_THROW(SetAttribute(root, "1st", "x"), ComError);
  EXPECT_THROW(SetAttribute(root, "Voice", "bell\x07"), ComError);
  EXPECT_THROW(SetText(root, std::string("nul\0", 4)), ComError);
  SetAttribute(root, "Voice", "tab\tand\nline");
  SetAttribute(root, "Voice", "Female");  // replaces, keeps one attribute
  EXPECT_EQ(doc.Xml(), "<Request Voice=\"Female\"/>");
}

}  // namespace
}  // namespace ringwell::xml
