#include "attributes_holder.h"

#include <gtest/gtest.h>

#include "kel_recipient.h"
#include "ringwell/testing/fixture.h"

namespace ringwell::kel {
namespace {

class AttributesHolderTest : public testing::RingwellTest {
 protected:
  ComPtr<CKelRecipient> recipient_ = MakeComObject<CKelRecipient>();

  std::string Get(const char* name) {
    std::string value = "unchanged";
    EXPECT_EQ(recipient_->GetAttribute(name, &value), S_OK);
    return value;
  }
  // The attributes as written onto an element; "<failed>" when the write fails.
  std::string Written() {
    xml::Document doc;
    pugi::xml_node element = doc.dom().append_child("Recipient");
    CAttributesHolder& holder = *recipient_.Get();
    return holder.XMLize(&doc, element) == S_OK ? doc.Xml() : "<failed>";
  }
};

TEST_F(AttributesHolderTest, NamesIgnoreCaseAndAreWrittenInNameOrder) {
  EXPECT_EQ(Get("Voice"), "");  // never set: success, empty
  ASSERT_EQ(recipient_->SetAttribute("voice", "x"), S_OK);
  ASSERT_EQ(recipient_->SetAttribute("Voice", "y"), S_OK);
  EXPECT_EQ(Get("VOICE"), "y");
  ASSERT_EQ(recipient_->SetAttribute("b", "2"), S_OK);
  ASSERT_EQ(recipient_->SetAttribute("A", "1"), S_OK);
  EXPECT_EQ(Written(), "<Recipient A=\"1\" b=\"2\" Voice=\"y\"/>");
}

TEST_F(AttributesHolderTest, NullValueIsRefusedAndAnEmptyOneStored) {
  ASSERT_EQ(recipient_->SetAttribute("Service", "sms"), S_OK);
  EXPECT_EQ(recipient_->SetAttribute("Service", nullptr), E_INVALIDARG);
  EXPECT_EQ(Get("Service"), "sms");
  ASSERT_EQ(recipient_->SetAttribute("Service", ""), S_OK);
  EXPECT_EQ(Written(), "<Recipient Service=\"\"/>");
}

TEST_F(AttributesHolderTest, NameThatIsNotAnXmlNameFailsTheWriteAndIsLogged) {
  ASSERT_EQ(recipient_->SetAttribute("two words", "x"), S_OK);
  EXPECT_EQ(Written(), "<failed>");
  auto info = GetErrorInfo();
  ASSERT_TRUE(info);
  EXPECT_EQ(info->source, "Kel.KelRecipient.1");
  auto entries = EventLogEntries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].strings[0], "CAttributesHolder::XMLize");
}

}  // namespace
}  // namespace ringwell::kel
