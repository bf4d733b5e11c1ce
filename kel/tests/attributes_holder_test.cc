#include "attributes_holder.h"

#include <gtest/gtest.h>

#include "ringwell/kel/kel.h"
#include "ringwell/testing/fixture.h"

namespace ringwell::kel {
namespace {

class CTestRecipient final : public CAttributed<IKelRecipient> {
 public:
  CTestRecipient() : CAttributed("Kel.KelRecipient.1") {}
  HRESULT get_Recipient(std::string* value) override {
    *value = "555";
    return S_OK;
  }
  HRESULT put_Recipient(const char*) override { return S_OK; }
};

class AttributesHolderTest : public testing::RingwellTest {
 protected:
  ComPtr<IKelRecipient> recipient_ = MakeComObject<CTestRecipient>();
  CAttributesHolder& holder() { return *static_cast<CTestRecipient*>(recipient_.Get()); }
  std::string Get(const char* name) {
    std::string value = "unchanged";
    EXPECT_EQ(recipient_->GetAttribute(name, &value), S_OK);
    return value;
  }
  std::string Written() {
    xml::Document doc;
    pugi::xml_node element = doc.dom().append_child("Recipient");
    EXPECT_EQ(holder().XMLize(&doc, element), S_OK);
    return doc.Xml();
  }
};

TEST_F(AttributesHolderTest, NamesIgnoreCaseAndKeepTheLatestSpelling) {
  EXPECT_EQ(Get("Voice"), "");  // never set: success, empty
  ASSERT_EQ(recipient_->SetAttribute("voice", "x"), S_OK);
  ASSERT_EQ(recipient_->SetAttribute("Voice", "y"), S_OK);
  EXPECT_EQ(Get("VOICE"), "y");
  EXPECT_EQ(Written(), "<Recipient Voice=\"y\"/>");
}

TEST_F(AttributesHolderTest, AttributesAreWrittenInNameOrder) {
  ASSERT_EQ(recipient_->SetAttribute("b", "2"), S_OK);
  ASSERT_EQ(recipient_->SetAttribute("A", "1"), S_OK);
  ASSERT_EQ(recipient_->SetAttribute("c", "3"), S_OK);
  EXPECT_EQ(Written(), "<Recipient A=\"1\" b=\"2\" c=\"3\"/>");
}

TEST_F(AttributesHolderTest, NullArgumentsAreRefusedAndEmptyValuesStored) {
  ASSERT_EQ(recipient_->SetAttribute("Service", "sms"), S_OK);
  EXPECT_EQ(recipient_->SetAttribute("Service", nullptr), E_INVALIDARG);
  EXPECT_EQ(Get("Service"), "sms");
  EXPECT_EQ(recipient_->SetAttribute(nullptr, "x"), E_INVALIDARG);
  EXPECT_EQ(recipient_->GetAttribute(nullptr, nullptr), E_INVALIDARG);
  EXPECT_EQ(recipient_->GetAttribute("Service", nullptr), E_INVALIDARG);
  EXPECT_EQ(holder().RemoveAttribute(nullptr), E_INVALIDARG);
  ASSERT_EQ(recipient_->SetAttribute("Service", ""), S_OK);
  EXPECT_EQ(Get("Service"), "");
  EXPECT_EQ(Written(), "<Recipient Service=\"\"/>");
  EXPECT_EQ(holder().XMLize(nullptr, pugi::xml_node()), E_INVALIDARG);
}

TEST_F(AttributesHolderTest, NameThatIsNotAnXmlNameFailsTheWriteAndIsLogged) {
  ASSERT_EQ(recipient_->SetAttribute("two words", "x"), S_OK);
  xml::Document doc;
  pugi::xml_node element = doc.dom().append_child("Recipient");
  EXPECT_EQ(holder().XMLize(&doc, element), E_INVALIDARG);
  auto info = GetErrorInfo();
  ASSERT_TRUE(info);
  EXPECT_EQ(info->source, "Kel.KelRecipient.1");
  auto entries = EventLogEntries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].strings[0], "CAttributesHolder::XMLize");
}

}  // namespace
}  // namespace ringwell::kel
